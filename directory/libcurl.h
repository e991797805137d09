#pragma once
// libcurl, loaded at run time rather than by the dynamic loader before main: with it come some
// 26 libraries (TLS, Kerberos, LDAP, SSH, ...) whose mapping and relocation the messenger's start
// would otherwise wait for, and the windows need none of them. The program loads it on a thread
// of its own once its windows are up (loadLibcurl in directory.h); a request that comes first
// loads it itself, or waits for the load under way.
//
// Threads: the program's loader thread and every thread that makes a request. What they share is
// the table below, filled in once, inside the initialisation of a function-local static, which
// makes every other caller wait until it is complete; afterwards it is only read. Nothing stops:
// the load ends by itself, and the library stays loaded until the process ends.
#ifndef CURL_DISABLE_TYPECHECK
#define CURL_DISABLE_TYPECHECK // the table's pointers are called, not the type-checking macros
#endif
#include <curl/curl.h>

#include <optional>
#include <string>

namespace sorvane::directory::libcurl {

// The functions of libcurl this client calls, with their own types.
struct Functions {
    decltype(&::curl_global_init) global_init = nullptr;
    decltype(&::curl_easy_init) easy_init = nullptr;
    decltype(&::curl_easy_cleanup) easy_cleanup = nullptr;
    decltype(&::curl_easy_setopt) easy_setopt = nullptr;
    decltype(&::curl_easy_perform) easy_perform = nullptr;
    decltype(&::curl_easy_getinfo) easy_getinfo = nullptr;
    decltype(&::curl_easy_strerror) easy_strerror = nullptr;
    decltype(&::curl_slist_append) slist_append = nullptr;
    decltype(&::curl_multi_init) multi_init = nullptr;
    decltype(&::curl_multi_cleanup) multi_cleanup = nullptr;
    decltype(&::curl_multi_add_handle) multi_add_handle = nullptr;
    decltype(&::curl_multi_remove_handle) multi_remove_handle = nullptr;
    decltype(&::curl_multi_perform) multi_perform = nullptr;
    decltype(&::curl_multi_info_read) multi_info_read = nullptr;
    decltype(&::curl_multi_poll) multi_poll = nullptr;
};

// libcurl's ABI, the same since 2006 (7.16); the package depends on it (libcurl4).
constexpr const char* kSoname = "libcurl.so.4";

// What loading a libcurl gave: its functions, or why there are none.
struct Loaded {
    std::optional<Functions> functions;
    std::string problem; // the loader's text, or the function missing; empty when loaded
};

// Loads the library `soname`, finds every function above and runs curl_global_init; not safe to
// call on two threads at once (functions() calls it once).
Loaded load(const char* soname);

// libcurl loaded and curl_global_init done, on the first call. Throws EDirectoryClientMissing
// (errors.h), on every call, when the library cannot be loaded, lacks one of the functions, or
// fails to initialise: every request then says so in its error box.
const Functions& functions();

} // namespace sorvane::directory::libcurl

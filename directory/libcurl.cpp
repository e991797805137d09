// libcurl loaded at run time; see libcurl.h for the threads and what they share.
#include "libcurl.h"

#include "directory.h"
#include "errors.h"

#include <dlfcn.h>

namespace sorvane::directory {

namespace libcurl {

namespace {

template <typename Pointer> bool find(void* library, const char* name, Pointer& into) {
    into = reinterpret_cast<Pointer>(::dlsym(library, name));
    return into != nullptr;
}

} // namespace

Loaded load(const char* soname) {
    Loaded out;
    // Kept for the life of the process: handles and threads of libcurl may outlive any owner.
    void* library = ::dlopen(soname, RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        const char* why = ::dlerror();
        out.problem = why != nullptr ? why : soname;
        return out;
    }
    Functions f;
    const char* missing = nullptr;
    const auto need = [&](const char* name, auto& into) {
        if (missing == nullptr && !find(library, name, into))
            missing = name;
    };
    need("curl_global_init", f.global_init);
    need("curl_easy_init", f.easy_init);
    need("curl_easy_cleanup", f.easy_cleanup);
    need("curl_easy_setopt", f.easy_setopt);
    need("curl_easy_perform", f.easy_perform);
    need("curl_easy_getinfo", f.easy_getinfo);
    need("curl_easy_strerror", f.easy_strerror);
    need("curl_slist_append", f.slist_append);
    need("curl_multi_init", f.multi_init);
    need("curl_multi_cleanup", f.multi_cleanup);
    need("curl_multi_add_handle", f.multi_add_handle);
    need("curl_multi_remove_handle", f.multi_remove_handle);
    need("curl_multi_perform", f.multi_perform);
    need("curl_multi_info_read", f.multi_info_read);
    need("curl_multi_poll", f.multi_poll);
    if (missing != nullptr) {
        out.problem = std::string(soname) + " has no " + missing;
        return out;
    }
    // curl_global_init is not safe to run on two threads at once; functions() runs this inside
    // a static's initialisation, exactly once.
    if (f.global_init(CURL_GLOBAL_DEFAULT) != CURLE_OK) {
        out.problem = std::string(soname) + " failed to initialise";
        return out;
    }
    out.functions = f;
    return out;
}

const Functions& functions() {
    static const Loaded loaded = load(kSoname);
    if (!loaded.functions)
        throw EDirectoryClientMissing(loaded.problem);
    return *loaded.functions;
}

} // namespace libcurl

std::string loadLibcurl() {
    try {
        libcurl::functions();
        return {};
    } catch (const EDirectoryClientMissing& missing) {
        return missing.what();
    }
}

} // namespace sorvane::directory

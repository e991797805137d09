#pragma once

// Request targets as they arrive on the wire, taken apart without any HTTP
// machinery so that they can be checked (and fuzzed) on their own.

#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace sorvane::server {

using Params = std::vector<std::pair<std::string, std::string>>;

struct Target {
    std::string path; // percent-decoded, without the query
    Params params;    // in arrival order, keys and values percent-decoded
};

// RFC 3986 percent-decoding. '+' stays '+': clients encode a blank as %20.
// A '%' that does not start a valid escape is kept as it is.
std::string percentDecode(std::string_view text);

// The inverse for logging: every byte outside the unreserved set becomes %XX,
// so no value can break a log line.
std::string percentEncode(std::string_view text);

// "/messenger/c.php?u=a&p=b" -> {"/messenger/c.php", {{"u","a"},{"p","b"}}}.
// A fragment ("#...") is dropped; an empty query part ("&&") is skipped; a
// part without "=" is a key with an empty value.
Target parseTarget(std::string_view target);

// The first value of `key`, if present.
std::optional<std::string_view> param(const Params& params, std::string_view key);

} // namespace sorvane::server

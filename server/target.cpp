#include "target.h"

namespace sorvane::server {
namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

bool unreserved(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' ||
           c == '.' || c == '_' || c == '~';
}

} // namespace

std::string percentDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            int hi = hexValue(text[i + 1]);
            int lo = hexValue(text[i + 2]);
            if (hi >= 0 && lo >= 0) {
                out += static_cast<char>(hi * 16 + lo);
                i += 2;
                continue;
            }
        }
        out += text[i];
    }
    return out;
}

std::string percentEncode(std::string_view text) {
    static constexpr char hex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (unsigned char c : text) {
        if (unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

Target parseTarget(std::string_view target) {
    Target result;
    if (size_t hash = target.find('#'); hash != std::string_view::npos)
        target = target.substr(0, hash);
    size_t question = target.find('?');
    result.path = percentDecode(target.substr(0, question));
    if (question == std::string_view::npos)
        return result;

    std::string_view query = target.substr(question + 1);
    while (!query.empty()) {
        size_t amp = query.find('&');
        std::string_view part = query.substr(0, amp);
        query = amp == std::string_view::npos ? std::string_view{} : query.substr(amp + 1);
        if (part.empty())
            continue;
        size_t eq = part.find('=');
        if (eq == std::string_view::npos) {
            result.params.emplace_back(percentDecode(part), std::string{});
        } else {
            result.params.emplace_back(percentDecode(part.substr(0, eq)),
                                       percentDecode(part.substr(eq + 1)));
        }
    }
    return result;
}

std::optional<std::string_view> param(const Params& params, std::string_view key) {
    for (const auto& [k, v] : params)
        if (k == key)
            return std::string_view(v);
    return std::nullopt;
}

} // namespace sorvane::server

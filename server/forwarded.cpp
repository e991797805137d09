#include "forwarded.h"

#include "directory_service.h"

#include <arpa/inet.h>

#include <charconv>

namespace sorvane::server {
namespace {

// "1.2.3.4", "::1", "::ffff:1.2.3.4" (as IPv4) into family and bytes.
bool parseAddress(std::string_view text, int& family, std::array<std::uint8_t, 16>& bytes) {
    const std::string address = normalizeRemoteAddress(text);
    bytes = {};
    if (::inet_pton(AF_INET, address.c_str(), bytes.data()) == 1) {
        family = AF_INET;
        return true;
    }
    if (::inet_pton(AF_INET6, address.c_str(), bytes.data()) == 1) {
        family = AF_INET6;
        return true;
    }
    return false;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
        text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t'))
        text.remove_suffix(1);
    return text;
}

// One X-Forwarded-For entry as an address: proxies may add a port
// ("1.2.3.4:5678", "[2001:db8::1]:5678") or brackets. Empty when it is none.
std::string entryAddress(std::string_view entry) {
    entry = trim(entry);
    if (!entry.empty() && entry.front() == '[') {
        const size_t close = entry.find(']');
        if (close == std::string_view::npos)
            return {};
        entry = entry.substr(1, close - 1);
    } else if (const size_t colon = entry.find(':');
               colon != std::string_view::npos &&
               entry.find(':', colon + 1) == std::string_view::npos) {
        entry = entry.substr(0, colon); // IPv4 with a port
    }
    int family = 0;
    std::array<std::uint8_t, 16> bytes{};
    if (!parseAddress(entry, family, bytes))
        return {};
    char text[INET6_ADDRSTRLEN] = {};
    ::inet_ntop(family, bytes.data(), text, sizeof text);
    return text;
}

bool isTrusted(const std::vector<Network>& trusted, std::string_view address) {
    for (const Network& network : trusted)
        if (network.contains(address))
            return true;
    return false;
}

} // namespace

bool Network::contains(std::string_view address) const {
    int otherFamily = 0;
    std::array<std::uint8_t, 16> other{};
    if (!parseAddress(address, otherFamily, other) || otherFamily != family)
        return false;
    for (int bit = 0; bit < prefix; ++bit) {
        const int mask = 0x80 >> (bit % 8);
        if ((bytes[static_cast<size_t>(bit / 8)] & mask) !=
            (other[static_cast<size_t>(bit / 8)] & mask))
            return false;
    }
    return true;
}

std::optional<Network> parseNetwork(std::string_view text) {
    Network network;
    const size_t slash = text.find('/');
    if (!parseAddress(text.substr(0, slash), network.family, network.bytes))
        return std::nullopt;
    const int bits = network.family == AF_INET ? 32 : 128;
    network.prefix = bits;
    if (slash != std::string_view::npos) {
        const std::string_view length = text.substr(slash + 1);
        int prefix = -1;
        auto [end, ec] = std::from_chars(length.data(), length.data() + length.size(), prefix);
        if (length.empty() || ec != std::errc{} || end != length.data() + length.size() ||
            prefix < 0 || prefix > bits)
            return std::nullopt;
        network.prefix = prefix;
    }
    return network;
}

std::string clientAddress(std::string_view peer, std::optional<std::string_view> forwardedFor,
                          const std::vector<Network>& trusted) {
    std::string client = normalizeRemoteAddress(peer);
    if (!forwardedFor || !isTrusted(trusted, client))
        return client;
    std::string_view rest = *forwardedFor;
    while (!trim(rest).empty()) {
        const size_t comma = rest.rfind(',');
        const std::string_view entry =
            comma == std::string_view::npos ? rest : rest.substr(comma + 1);
        rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(0, comma);
        if (trim(entry).empty())
            continue;
        std::string address = entryAddress(entry);
        if (address.empty())
            return client; // forged or mangled: the proxy that wrote it down is all we know
        client = std::move(address);
        if (!isTrusted(trusted, client))
            return client;
    }
    // Every hop was a trusted proxy: the left-most is as far back as it goes.
    return client;
}

} // namespace sorvane::server

#pragma once

// The address a request really came from when the directory runs behind
// reverse proxies. A proxy appends the address it got the request from to
// X-Forwarded-For, so the header reads "client, proxy1, proxy2" and the
// connection comes from the last proxy. Everything left of the first proxy
// we trust was written by whoever sent the request, and may be forged: the
// client is therefore the right-most address that is not a trusted proxy, and
// the header counts only on a connection from a trusted proxy.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::server {

// An IPv4 or IPv6 network: "192.0.2.0/24", "2001:db8::/32", or one address.
struct Network {
    int family = 0;                       // AF_INET or AF_INET6
    std::array<std::uint8_t, 16> bytes{}; // network order; IPv4 in the first four
    int prefix = 0;                       // leading bits that must match

    // "1.2.3.4" (or "::ffff:1.2.3.4", taken as IPv4) and "::1" forms.
    bool contains(std::string_view address) const;
};

// Empty when `text` is no address or network.
std::optional<Network> parseNetwork(std::string_view text);

// The address the request came from, in the form the directory stores
// ("1.2.3.4", "::1"): `peer` itself unless it is one of `trusted` and
// `forwardedFor` (every X-Forwarded-For line of the request, joined by ",")
// names an earlier hop. Then the right-most address that is not trusted; an
// entry that is no address stops the walk at the proxy that wrote it down.
std::string clientAddress(std::string_view peer, std::optional<std::string_view> forwardedFor,
                          const std::vector<Network>& trusted);

} // namespace sorvane::server

#include "net/address.h"
#include "net/address_detail.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <limits>
#include <vector>

namespace sorvane::net {

namespace detail {

std::string DottedText(in_addr address) {
    const auto* b = reinterpret_cast<const unsigned char*>(&address.s_addr);
    char text[16];
    std::snprintf(text, sizeof text, "%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
    return text;
}

bool MakeAddress(const std::string& host, const std::string& port, sockaddr_in& address) {
    address = sockaddr_in{};
    address.sin_family = AF_INET;
    const std::string dotted = HostToDottedText(host);
    const std::uint16_t number = PortTextToNumber(port);
    address.sin_port = htons(number);
    return !dotted.empty() && inet_aton(dotted.c_str(), &address.sin_addr) != 0;
}

} // namespace detail

namespace {

bool ServicePort(const std::string& name, std::uint16_t& port) {
    // The reentrant lookup: several endpoints may open at once on different threads.
    std::vector<char> buffer(1024);
    servent entry{};
    servent* found = nullptr;
    int rc;
    while ((rc = getservbyname_r(name.c_str(), nullptr, &entry, buffer.data(), buffer.size(),
                                 &found)) == ERANGE &&
           buffer.size() < 65536)
        buffer.resize(buffer.size() * 2);
    if (rc != 0 || found == nullptr)
        return false;
    port = ntohs(static_cast<std::uint16_t>(found->s_port));
    return true;
}

bool DecimalInteger(const std::string& text, long long& value) {
    std::size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    if (i == text.size())
        return false;
    long long magnitude = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        magnitude = magnitude * 10 + (text[i] - '0');
        if (magnitude > std::numeric_limits<int>::max() + 1LL)
            return false;
    }
    value = negative ? -magnitude : magnitude;
    return value >= std::numeric_limits<int>::min() && value <= std::numeric_limits<int>::max();
}

} // namespace

std::string HostToDottedText(const std::string& host) {
    if (host.empty())
        return "0.0.0.0";
    if (host[0] >= '0' && host[0] <= '9') {
        in_addr parsed{};
        return inet_aton(host.c_str(), &parsed) != 0 ? host : std::string();
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* results = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &results) != 0 || results == nullptr)
        return {};
    std::string dotted;
    for (const addrinfo* r = results; r != nullptr; r = r->ai_next) {
        if (r->ai_family == AF_INET && r->ai_addr != nullptr) {
            dotted = detail::DottedText(reinterpret_cast<const sockaddr_in*>(r->ai_addr)->sin_addr);
            break;
        }
    }
    freeaddrinfo(results);
    return dotted;
}

std::uint16_t PortTextToNumber(const std::string& port) {
    if (port.empty())
        return 0;
    // A service name holds at least one letter, so digits alone never name one; they skip the
    // services database, whose lookup reads a file each time and would cost every connect
    // more than the connect itself on loopback.
    const bool digitsOnly =
        std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; });
    std::uint16_t service = 0;
    if (!digitsOnly && ServicePort(port, service))
        return service;
    long long value = 0;
    if (!DecimalInteger(port, value))
        throw EConvertError("'" + port + "' is not a valid integer value");
    return static_cast<std::uint16_t>(value & 0xFFFF);
}

} // namespace sorvane::net

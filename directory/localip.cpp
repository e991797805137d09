// The client's own IPv4 address, which the log-in registers with the directory.
#include "directory.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>

namespace sorvane::directory {

namespace {

bool isLoopback(std::uint32_t networkOrder) {
    return (ntohl(networkOrder) >> 24) == 127;
}

std::string dotted(std::uint32_t networkOrder) {
    in_addr a{};
    a.s_addr = networkOrder;
    char text[INET_ADDRSTRLEN] = {};
    ::inet_ntop(AF_INET, &a, text, sizeof text);
    return text;
}

// The last non-loopback address of the list, or nothing.
const std::uint32_t* lastReal(const std::vector<std::uint32_t>& list) {
    for (auto it = list.rbegin(); it != list.rend(); ++it)
        if (!isLoopback(*it))
            return &*it;
    return nullptr;
}

std::vector<std::uint32_t> resolveHostName() {
    char name[HOST_NAME_MAX + 1] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return {};

    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM; // one entry per address, not one per socket type
    addrinfo* found = nullptr;
    if (::getaddrinfo(name, nullptr, &hints, &found) != 0)
        return {};
    std::vector<std::uint32_t> list;
    for (const addrinfo* ai = found; ai != nullptr; ai = ai->ai_next)
        if (ai->ai_family == AF_INET && ai->ai_addr != nullptr)
            list.push_back(reinterpret_cast<const sockaddr_in*>(ai->ai_addr)->sin_addr.s_addr);
    ::freeaddrinfo(found);
    return list;
}

std::vector<std::uint32_t> interfaceAddresses() {
    ifaddrs* all = nullptr;
    if (::getifaddrs(&all) != 0)
        return {};
    std::vector<std::uint32_t> list;
    for (const ifaddrs* i = all; i != nullptr; i = i->ifa_next)
        if (i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET && (i->ifa_flags & IFF_UP))
            list.push_back(reinterpret_cast<const sockaddr_in*>(i->ifa_addr)->sin_addr.s_addr);
    ::freeifaddrs(all);
    return list;
}

} // namespace

std::string chooseLocalIP(const std::vector<std::uint32_t>& resolved,
                          const std::vector<std::uint32_t>& interfaces) {
    if (resolved.empty())
        return {};
    if (const auto* a = lastReal(resolved))
        return dotted(*a);
    // Friends on other machines cannot reach a loopback address; an interface's address can.
    if (const auto* a = lastReal(interfaces))
        return dotted(*a);
    return dotted(resolved.back());
}

std::string LocalIP() {
    const auto resolved = resolveHostName();
    if (resolved.empty())
        return {};
    if (lastReal(resolved) != nullptr)
        return chooseLocalIP(resolved, {});
    return chooseLocalIP(resolved, interfaceAddresses());
}

} // namespace sorvane::directory

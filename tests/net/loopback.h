#pragma once
// Bare loopback sockets for the other end of every connection under test, so that a fault in
// the endpoints cannot hide itself on both ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

namespace loopback {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct Closer {
    void operator()(const int* fd) const {
        ::close(*fd);
        delete fd;
    }
};
// An owned descriptor; null when the call that made it failed.
using Fd = std::unique_ptr<int, Closer>;
inline Fd Own(int fd) {
    return fd < 0 ? nullptr : Fd(new int(fd));
}

inline sockaddr_in Address(std::uint16_t port) {
    sockaddr_in a{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
    return a;
}

inline std::uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

// Bound to 127.0.0.1 on a free port; listening unless `backlog` is negative.
struct Listener {
    Fd fd = Own(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    explicit Listener(int backlog = 16) {
        const sockaddr_in a = Address(0);
        bind(*fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        if (backlog >= 0)
            listen(*fd, backlog);
    }
    std::string port() const { return std::to_string(LocalPort(*fd)); }
    // The next connection, or null when none arrives within `waitMs` (-1: no limit).
    Fd Accept(int waitMs = -1) const {
        pollfd p{*fd, POLLIN, 0};
        return poll(&p, 1, waitMs) == 1 ? Own(accept4(*fd, nullptr, nullptr, SOCK_CLOEXEC))
                                        : nullptr;
    }
};

inline Fd Connect(std::uint16_t port, int flags = 0) {
    Fd fd = Own(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | flags, 0));
    const sockaddr_in a = Address(port);
    const int rc = connect(*fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    return rc == 0 || flags != 0 ? std::move(fd) : nullptr;
}

// A connection from another loopback address (127.0.0.0/8 is all this machine), as from
// another host.
inline Fd ConnectFrom(const char* source, std::uint16_t port) {
    Fd fd = Own(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in from{AF_INET, 0, {}, {}};
    inet_pton(AF_INET, source, &from.sin_addr);
    const sockaddr_in a = Address(port);
    if (bind(*fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0 ||
        connect(*fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        return nullptr;
    return fd;
}

inline void Send(int fd, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return;
        at += static_cast<std::size_t>(n);
    }
}

// All bytes up to the peer's close, or nothing when it has not closed within `limit`.
inline std::optional<std::string> ReadToClose(int fd, std::chrono::milliseconds limit = 3s) {
    std::string all;
    char buffer[4096];
    for (const auto deadline = Clock::now() + limit;;) {
        pollfd p{fd, POLLIN, 0};
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
            return std::nullopt;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return all;
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = 5s) {
    for (const auto deadline = Clock::now() + limit; !condition(); std::this_thread::sleep_for(2ms))
        if (Clock::now() > deadline)
            return false;
    return true;
}

} // namespace loopback

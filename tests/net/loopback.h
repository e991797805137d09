#pragma once
// Bare loopback sockets for the endpoint tests: the other side of every connection under test
// is plain POSIX, so a fault in the endpoints cannot hide itself on both ends.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <thread>
#include <utility>

namespace loopback {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        reset(std::exchange(other.fd_, -1));
        return *this;
    }
    ~Fd() { reset(); }
    void reset(int fd = -1) {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = fd;
    }
    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

inline sockaddr_in Address(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

inline std::uint16_t LocalPort(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    if (getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw std::runtime_error("getsockname failed");
    return ntohs(a.sin_port);
}

// A socket bound to 127.0.0.1 on a free port; listening unless `backlog` is negative.
class Listener {
public:
    explicit Listener(int backlog = 16) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        const sockaddr_in a = Address(0);
        if (!fd_ || bind(fd_.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0 ||
            (backlog >= 0 && listen(fd_.get(), backlog) != 0))
            throw std::runtime_error("loopback listener failed");
    }
    std::uint16_t port() const { return LocalPort(fd_.get()); }
    std::string portText() const { return std::to_string(port()); }
    int fd() const { return fd_.get(); }
    Fd Accept() const { return Fd(accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC)); }
    // Whether a connection waits to be accepted within `wait`.
    bool Pending(std::chrono::milliseconds wait) const {
        pollfd p{fd_.get(), POLLIN, 0};
        return poll(&p, 1, static_cast<int>(wait.count())) == 1;
    }

private:
    Fd fd_;
};

inline Fd Connect(std::uint16_t port) {
    Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    const sockaddr_in a = Address(port);
    if (!fd || connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0)
        throw std::runtime_error("loopback connect failed");
    return fd;
}

// Sends every byte unless the peer goes away; never raises SIGPIPE.
inline bool SendAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

// Everything that arrives until the peer closes, or what came within `limit`.
inline std::string ReadToEnd(int fd, std::chrono::milliseconds limit = 3000ms) {
    std::string all;
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
            return all;
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return all;
        all.append(buffer, static_cast<std::size_t>(n));
    }
}

// Whether the peer has closed (end of stream or reset) within `limit`, discarding any data.
inline bool PeerClosed(int fd, std::chrono::milliseconds limit = 3000ms) {
    const auto deadline = Clock::now() + limit;
    char buffer[4096];
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) != 1)
            return false;
        if (recv(fd, buffer, sizeof buffer, 0) <= 0)
            return true;
    }
}

inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds limit = 5000ms) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(2ms);
    }
    return true;
}

} // namespace loopback

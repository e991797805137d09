#include "delay_proxy.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <deque>
#include <list>
#include <stdexcept>
#include <vector>

namespace sorvane::bench {

namespace {

using Clock = std::chrono::steady_clock;

// Reply bytes on their way to the client; empty bytes stand for the server's end of stream.
struct Held {
    Clock::time_point due;
    std::string bytes;
};

struct Pair {
    int client = -1, server = -1;
    std::deque<Held> held;
    bool serverDone = false; // no more bytes will come from the server
    bool gone = false;       // either side has finished: the pair is closed
};

bool sendAll(int fd, const std::string& bytes) {
    for (std::size_t at = 0; at < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + at, bytes.size() - at, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        at += static_cast<std::size_t>(n);
    }
    return true;
}

void noDelay(int fd) {
    const int one = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

DelayingProxy::DelayingProxy(std::uint16_t serverPort, std::chrono::milliseconds delay)
    : delay_(delay), serverPort_(serverPort) {
    listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener_, SOMAXCONN) != 0 ||
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw std::runtime_error("delaying proxy: cannot listen");
    port_ = ntohs(a.sin_port);
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    thread_ = std::thread([this] { run(); });
}

DelayingProxy::~DelayingProxy() {
    const std::uint64_t one = 1;
    [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    thread_.join();
    ::close(listener_);
    ::close(wake_);
}

std::string DelayingProxy::through(const std::string& base) const {
    const std::size_t colon = base.find(':', base.find("//") + 2);
    const std::size_t slash = base.find('/', colon);
    return base.substr(0, colon + 1) + std::to_string(port_) + base.substr(slash);
}

void DelayingProxy::run() {
    std::list<Pair> pairs;
    const auto close = [](Pair& p) {
        ::close(p.client);
        ::close(p.server);
    };
    for (;;) {
        std::vector<pollfd> waits{{wake_, POLLIN, 0}, {listener_, POLLIN, 0}};
        Clock::time_point nearest = Clock::time_point::max();
        for (const Pair& p : pairs) {
            waits.push_back({p.client, POLLIN, 0});
            waits.push_back({p.serverDone ? -1 : p.server, POLLIN, 0});
            if (!p.held.empty())
                nearest = std::min(nearest, p.held.front().due);
        }
        // To the nanosecond: a wait rounded up to whole milliseconds would add half a
        // millisecond to every reply on average.
        timespec timeout{};
        const timespec* until = nullptr;
        if (nearest != Clock::time_point::max()) {
            const auto left = std::max(Clock::duration::zero(), nearest - Clock::now());
            const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
            timeout = {static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
            until = &timeout;
        }
        if (::ppoll(waits.data(), waits.size(), until, nullptr) < 0 && errno != EINTR)
            break;
        if (waits[0].revents != 0)
            break;
        if (waits[1].revents & POLLIN) {
            const int client = ::accept4(listener_, nullptr, nullptr, SOCK_CLOEXEC);
            if (client >= 0) {
                const int server = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in to{};
                to.sin_family = AF_INET;
                to.sin_port = htons(serverPort_);
                to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) {
                    noDelay(client);
                    noDelay(server);
                    pairs.push_back({client, server, {}, false, false});
                } else {
                    ::close(server);
                    ::close(client);
                }
            }
        }
        // Reads, for the pairs that were waited on (a pair accepted just now comes last).
        std::size_t at = 2;
        for (auto it = pairs.begin(); at < waits.size(); ++it, at += 2) {
            Pair& p = *it;
            char buffer[16384];
            if (waits[at].revents != 0) { // the client: a request goes on at once
                const ssize_t n = ::recv(p.client, buffer, sizeof buffer, 0);
                if (n <= 0 || !sendAll(p.server, std::string(buffer, static_cast<std::size_t>(n))))
                    p.gone = true;
            }
            if (!p.gone && waits[at + 1].revents != 0) { // the server: its reply is held
                const ssize_t n = ::recv(p.server, buffer, sizeof buffer, 0);
                p.held.push_back(
                    {Clock::now() + delay_,
                     n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string()});
                if (n <= 0)
                    p.serverDone = true;
            }
        }
        // Held replies that are due go to their clients.
        for (auto it = pairs.begin(); it != pairs.end();) {
            Pair& p = *it;
            while (!p.gone && !p.held.empty() && p.held.front().due <= Clock::now()) {
                const Held h = std::move(p.held.front());
                p.held.pop_front();
                if (h.bytes.empty() || !sendAll(p.client, h.bytes))
                    p.gone = true; // the server's end reaches the client, or the client left
            }
            if (p.gone) {
                close(p);
                it = pairs.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Pair& p : pairs)
        close(p);
}

} // namespace sorvane::bench

#pragma once
// A TCP proxy on loopback that puts a server far away: whatever the server sends reaches the
// client `delay` later (each request's reply is held that long); what the client sends goes on
// at once. Userspace, for machines without the kernel's netem.
//
// Threads: one, which accepts, connects to the server, and moves the bytes of every connection
// pair in a poll loop with a queue of held replies per pair. It shares nothing but the stop
// flag, and stops when the proxy is destroyed.
#include <chrono>
#include <cstdint>
#include <string>
#include <thread>

namespace sorvane::bench {

class DelayingProxy {
public:
    DelayingProxy(std::uint16_t serverPort, std::chrono::milliseconds delay);
    ~DelayingProxy();
    DelayingProxy(const DelayingProxy&) = delete;
    DelayingProxy& operator=(const DelayingProxy&) = delete;

    std::uint16_t port() const { return port_; }
    // `base` ("http://127.0.0.1:<server port>/...") with the proxy's port instead.
    std::string through(const std::string& base) const;

private:
    void run();

    std::chrono::milliseconds delay_;
    std::uint16_t serverPort_;
    int listener_ = -1;
    int wake_ = -1; // an eventfd: the destructor's stop signal
    std::uint16_t port_ = 0;
    std::thread thread_;
};

} // namespace sorvane::bench

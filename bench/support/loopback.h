#pragma once
// Peers on loopback for the benchmarks: listeners that take every connection at once, one
// that takes none (a full queue, as an address that swallows connects looks from here), and
// bare sockets and libcurl for the floors the figures are measured against.
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::bench {

// Accepts and closes every connection on its own thread; the deepest queue the system allows.
class AcceptingPeer {
public:
    AcceptingPeer();
    ~AcceptingPeer();
    AcceptingPeer(const AcceptingPeer&) = delete;
    AcceptingPeer& operator=(const AcceptingPeer&) = delete;
    int port() const { return port_; }
    long accepted() const { return accepted_.load(); }

private:
    int listener_;
    int port_;
    std::atomic<long> accepted_{0};
    std::thread thread_;
};

// A listener whose queue is full and that never accepts: connects to it neither succeed nor
// fail until the connecting side gives up.
class SwallowingPeer {
public:
    SwallowingPeer();
    ~SwallowingPeer();
    SwallowingPeer(const SwallowingPeer&) = delete;
    SwallowingPeer& operator=(const SwallowingPeer&) = delete;
    int port() const { return port_; }

private:
    int listener_;
    int port_;
    std::vector<int> fillers_; // the connects that fill the queue
};

// connect + close on loopback; true when the connect succeeded.
bool bareConnect(int port);

// A fresh libcurl handle, one GET, the body in memory, the handle closed.
std::string bareGet(const std::string& url);
// The same as a POST of `body`.
std::string barePost(const std::string& url, const std::string& body);

} // namespace sorvane::bench

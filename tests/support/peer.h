#pragma once
// Another client as seen from the network: a listener on a free loopback port that records
// every line it receives (empty lines for connections that close without one).
#include "net/sockets.h"

#include <mutex>
#include <string>
#include <vector>

namespace sorvane::test {

class Peer {
public:
    // Listens on `port`, or on a free port when 0.
    explicit Peer(int port = 0);
    ~Peer();
    int port() const { return port_; }
    std::string portText() const { return std::to_string(port_); }
    std::vector<std::string> lines() const;    // every connection's line, in arrival order
    std::vector<std::string> nonEmpty() const; // the lines that carried something
    int connections() const;
    void stop();

private:
    net::TTcpServer server_;
    int port_;
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// A listener whose backlog is full takes no more connections: a connect to it waits as one to
// a far host that does not answer would, until the connect bound.
class SwallowingListener {
public:
    SwallowingListener();
    ~SwallowingListener();
    SwallowingListener(const SwallowingListener&) = delete;
    SwallowingListener& operator=(const SwallowingListener&) = delete;
    int port() const { return port_; }

private:
    int fd_ = -1, port_ = 0;
    std::vector<int> fillers_;
};

// Sends one peer line to 127.0.0.1:port the way a client does: connect, one line, close.
bool sendLine(int port, const std::string& line);

// A loopback port nobody listens on.
int deadPort();

} // namespace sorvane::test

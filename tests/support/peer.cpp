#include "peer.h"

#include "directory_server.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <stdexcept>

namespace sorvane::test {

Peer::Peer(int port) {
    server_.setConnectionReadTimeout(std::chrono::milliseconds(2000));
    server_.OnAccept = [this](net::TCustomTcpServer&, net::TCustomIpClient& client) {
        std::string line = client.ReceiveLine("\r\n");
        std::lock_guard lock(mutex_);
        lines_.push_back(std::move(line));
    };
    for (int attempt = 0; attempt < 20 && !server_.listening(); ++attempt) {
        port_ = port > 0 ? port : freeLoopbackPort();
        server_.setActive(false);
        server_.setLocalHost("127.0.0.1");
        server_.setLocalPort(std::to_string(port_));
        server_.setActive(true);
    }
    if (!server_.listening())
        throw std::runtime_error("peer: cannot listen");
}

Peer::~Peer() {
    stop();
}

void Peer::stop() {
    server_.setActive(false);
}

std::vector<std::string> Peer::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

std::vector<std::string> Peer::nonEmpty() const {
    std::vector<std::string> out;
    for (const std::string& l : lines())
        if (!l.empty())
            out.push_back(l);
    return out;
}

int Peer::connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(lines_.size());
}

SwallowingListener::SwallowingListener() {
    fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(fd_, 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    for (int i = 0; i < 4; ++i) { // fill the backlog
        const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers_.push_back(f);
    }
}

SwallowingListener::~SwallowingListener() {
    for (int f : fillers_)
        ::close(f);
    ::close(fd_);
}

bool sendLine(int port, const std::string& line) {
    net::TTcpClient client;
    client.setRemoteHost("127.0.0.1");
    client.setRemotePort(std::to_string(port));
    client.setActive(true);
    const bool sent = client.connected() && client.SendLine(line, "\r\n") > 0;
    client.setActive(false);
    return sent;
}

int deadPort() {
    return freeLoopbackPort();
}

} // namespace sorvane::test

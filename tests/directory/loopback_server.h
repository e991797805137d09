#pragma once
// A small HTTP server on a free loopback port that records what reaches it and answers with
// whatever the test set, so fetches can be checked end to end.
#include <httplib.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace sorvane::test {

struct SeenRequest {
    std::string target; // as sent: path and query, still encoded
    std::string path;
    httplib::Params params;
    std::string userAgent;
};

class LoopbackServer {
public:
    LoopbackServer() {
        server_.set_tcp_nodelay(true);
        server_.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard lock(mutex_);
            seen_.push_back({req.target, req.path, req.params, req.get_header_value("User-Agent")});
            res.status = status_;
            res.set_content(body_, "text/plain");
        });
        port_ = server_.bind_to_any_port("127.0.0.1");
        if (port_ <= 0)
            throw std::runtime_error("cannot bind a loopback port");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        // Stopping a server whose loop has not started yet would leave the loop running.
        while (!server_.is_running())
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    ~LoopbackServer() {
        server_.stop();
        thread_.join();
    }
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    int port() const { return port_; }
    std::string url(const std::string& path = "/") const {
        return "http://127.0.0.1:" + std::to_string(port_) + path;
    }
    std::string base() const { return url("/messenger/"); }

    void reply(std::string body, int status = 200) {
        std::lock_guard lock(mutex_);
        body_ = std::move(body);
        status_ = status;
    }
    std::vector<SeenRequest> seen() const {
        std::lock_guard lock(mutex_);
        return seen_;
    }
    SeenRequest last() const {
        std::lock_guard lock(mutex_);
        if (seen_.empty())
            throw std::runtime_error("no request reached the server");
        return seen_.back();
    }

private:
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
    mutable std::mutex mutex_;
    std::vector<SeenRequest> seen_;
    std::string body_;
    int status_ = 200;
};

// A loopback port that nothing listens on: bound by a plain socket, then released.
inline int closedLoopbackPort() {
    const int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        throw std::runtime_error("cannot bind a loopback port");
    ::close(s);
    return ntohs(a.sin_port);
}

} // namespace sorvane::test

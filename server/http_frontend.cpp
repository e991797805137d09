#include "http_frontend.h"

#include "directory_service.h"
#include "target.h"

#include <httplib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <ctime>

namespace sorvane::server {
namespace {

void writeLog(const std::string& text) {
    char stamp[40];
    auto now = std::chrono::system_clock::now();
    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    ::gmtime_r(&seconds, &tm);
    size_t n = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
    std::snprintf(stamp + n, sizeof stamp - n, ".%03dZ ", static_cast<int>(ms));
    // One write per line, so lines of concurrent requests do not interleave.
    std::string line = stamp + text + "\n";
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

} // namespace

HttpFrontend::HttpFrontend(DirectoryService& service, int threads)
    : service_(service), server_(std::make_unique<httplib::Server>()) {
    auto poolSize = static_cast<size_t>(threads);
    server_->new_task_queue = [poolSize] { return new httplib::ThreadPool(poolSize); };
    // Without this, a keep-alive client waits ~40 ms per request for Nagle.
    server_->set_tcp_nodelay(true);
    server_->set_keep_alive_timeout(2);
    server_->set_read_timeout(5);
    server_->set_write_timeout(5);
    server_->set_payload_max_length(64 * 1024);
    server_->set_socket_options([this](int fd) {
        // SO_REUSEADDR lets a restarted server take its port back at once;
        // unlike SO_REUSEPORT it does not let a second server share it.
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenFd_ = fd;
    });

    server_->set_pre_routing_handler([this](const httplib::Request& req, httplib::Response& res) {
        const auto start = std::chrono::steady_clock::now();
        const Target target = parseTarget(req.target);
        Reply reply;
        if (req.method == "GET" || req.method == "HEAD") {
            reply = service_.handle(target, req.remote_addr);
        } else {
            reply.status = 405;
            res.set_header("Allow", "GET, HEAD");
        }
        res.status = reply.status;
        res.set_header("Cache-Control", "no-store");
        res.set_content(reply.body, "text/plain; charset=utf-8");

        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        std::string text =
            logLine(req.method, target, normalizeRemoteAddress(req.remote_addr), reply.status, ms);
        if (!reply.note.empty())
            text += " (" + reply.note + ")";
        writeLog(text);
        return httplib::Server::HandlerResponse::Handled;
    });
}

HttpFrontend::~HttpFrontend() = default;

std::string HttpFrontend::bind(const std::string& host, int port) {
    int bound = port == 0 ? server_->bind_to_any_port(host)
                          : (server_->bind_to_port(host, port) ? port : -1);
    if (bound < 0)
        return "cannot listen on " + host + ":" + std::to_string(port);
    port_ = bound;
    // The library listens with a backlog of 5; a burst of clients would then
    // see dropped connects and retry a second later.
    if (listenFd_ >= 0)
        ::listen(listenFd_, SOMAXCONN);
    return {};
}

bool HttpFrontend::run() {
    if (stopRequested_)
        return true;
    return server_->listen_after_bind();
}

void HttpFrontend::stop() {
    stopRequested_ = true;
    server_->stop();
}

} // namespace sorvane::server

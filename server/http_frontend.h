#pragma once

#include <atomic>
#include <memory>
#include <string>

namespace httplib {
class Server;
}

namespace sorvane::server {

class DirectoryService;

// Serves a DirectoryService over HTTP/1.1 and logs one line per request on
// standard error.
class HttpFrontend {
public:
    HttpFrontend(DirectoryService& service, int threads);
    ~HttpFrontend();

    // Binds and listens; port 0 picks a free port. Empty on success, else why not.
    std::string bind(const std::string& host, int port);
    int port() const { return port_; }
    // Serves until stop(); false when serving could not start.
    bool run();
    // Safe from any thread. A stop() before run() makes run() return at once;
    // one that lands while run() is starting up can be missed, so a caller
    // that must stop repeats it until run() has returned.
    void stop();

private:
    DirectoryService& service_;
    std::unique_ptr<httplib::Server> server_;
    std::atomic<bool> stopRequested_{false};
    int listenFd_ = -1;
    int port_ = 0;
};

} // namespace sorvane::server

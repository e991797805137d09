#pragma once
// A minimal HTTP/1.1 client on one keep-alive loopback connection, for load on the directory
// server: the load generator must cost as little as possible next to the server it measures.
#include <string>
#include <string_view>

namespace sorvane::bench {

class KeepAliveClient {
public:
    explicit KeepAliveClient(int port);
    ~KeepAliveClient();
    KeepAliveClient(const KeepAliveClient&) = delete;
    KeepAliveClient& operator=(const KeepAliveClient&) = delete;

    // GET `target` ("/messenger/g.php?u=..."); the status, or 0 when no reply came. A
    // connection the server closes is opened again, as browsers and libcurl do.
    int get(std::string_view target, std::string& body);

private:
    int exchange(std::string_view target, std::string& body);
    bool open();
    void close();

    int port_;
    int fd_ = -1;
    std::string buffer_; // bytes received beyond the last reply
};

} // namespace sorvane::bench

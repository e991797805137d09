#include "http_client.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>

namespace sorvane::bench {

KeepAliveClient::KeepAliveClient(int port) : port_(port) {}

KeepAliveClient::~KeepAliveClient() {
    close();
}

bool KeepAliveClient::open() {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd_ < 0)
        return false;
    const int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    timeval tv{10, 0};
    ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port_));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close();
        return false;
    }
    buffer_.clear();
    return true;
}

void KeepAliveClient::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

int KeepAliveClient::get(std::string_view target, std::string& body) {
    // A kept connection the server has closed meanwhile fails at once: one more try on a new one.
    const bool reused = fd_ >= 0;
    const int status = exchange(target, body);
    return status == 0 && reused ? exchange(target, body) : status;
}

int KeepAliveClient::exchange(std::string_view target, std::string& body) {
    body.clear();
    if (fd_ < 0 && !open())
        return 0;
    std::string request = "GET ";
    request.append(target).append(" HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n");
    if (::send(fd_, request.data(), request.size(), MSG_NOSIGNAL) !=
        static_cast<ssize_t>(request.size())) {
        close();
        return 0;
    }
    char chunk[16384];
    std::size_t headerEnd;
    while ((headerEnd = buffer_.find("\r\n\r\n")) == std::string::npos) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            close();
            return 0;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    const int status = std::atoi(buffer_.c_str() + buffer_.find(' ') + 1);
    std::size_t length = 0;
    bool closing = false;
    const std::string_view headers(buffer_.data(), headerEnd);
    for (std::size_t at = headers.find("\r\n"); at != std::string_view::npos;
         at = headers.find("\r\n", at + 2)) {
        constexpr std::string_view key = "content-length:";
        if (headers.size() - (at + 2) >= key.size() &&
            ::strncasecmp(headers.data() + at + 2, key.data(), key.size()) == 0)
            length = std::strtoul(headers.data() + at + 2 + key.size(), nullptr, 10);
        constexpr std::string_view close = "connection: close";
        if (headers.size() - (at + 2) >= close.size() &&
            ::strncasecmp(headers.data() + at + 2, close.data(), close.size()) == 0)
            closing = true;
    }
    const std::size_t bodyStart = headerEnd + 4;
    while (buffer_.size() < bodyStart + length) {
        const ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
        if (n <= 0) {
            close();
            return 0;
        }
        buffer_.append(chunk, static_cast<std::size_t>(n));
    }
    body.assign(buffer_, bodyStart, length);
    buffer_.erase(0, bodyStart + length);
    if (closing)
        close();
    return status;
}

} // namespace sorvane::bench

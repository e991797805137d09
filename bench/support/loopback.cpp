#include "loopback.h"

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

namespace sorvane::bench {

namespace {

sockaddr_in loopback(int port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

int listenOn(int backlog, int& port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a = loopback(0);
    socklen_t length = sizeof a;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(fd, backlog) != 0 ||
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length) != 0)
        throw std::runtime_error("bench: cannot listen on loopback");
    port = ntohs(a.sin_port);
    return fd;
}

extern "C" std::size_t appendTo(char* data, std::size_t size, std::size_t count, void* user) {
    static_cast<std::string*>(user)->append(data, size * count);
    return size * count;
}

} // namespace

AcceptingPeer::AcceptingPeer() : listener_(listenOn(SOMAXCONN, port_)) {
    thread_ = std::thread([this] {
        for (;;) {
            const int fd = ::accept(listener_, nullptr, nullptr);
            if (fd < 0) {
                if (errno == EINTR || errno == ECONNABORTED)
                    continue;
                return; // shut down
            }
            ++accepted_;
            ::close(fd);
        }
    });
}

AcceptingPeer::~AcceptingPeer() {
    ::shutdown(listener_, SHUT_RDWR);
    thread_.join();
    ::close(listener_);
}

SwallowingPeer::SwallowingPeer() : listener_(listenOn(0, port_)) {
    // Connect until one connect hangs: from then on the queue is full and the system drops
    // every new connection request without an answer.
    for (int i = 0; i < 64; ++i) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        const sockaddr_in a = loopback(port_);
        const int rc = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        pollfd p{fd, POLLOUT, 0};
        if (rc == 0 || (errno == EINPROGRESS && ::poll(&p, 1, 200) == 1)) {
            fillers_.push_back(fd);
            continue;
        }
        ::close(fd);
        return;
    }
    throw std::runtime_error("bench: the listener's queue did not fill up");
}

SwallowingPeer::~SwallowingPeer() {
    for (const int fd : fillers_)
        ::close(fd);
    ::close(listener_);
}

bool bareConnect(int port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = loopback(port);
    const bool connected = ::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
    ::close(fd);
    return connected;
}

std::string bareGet(const std::string& url) {
    return barePost(url, {});
}

std::string barePost(const std::string& url, const std::string& sent) {
    static const CURLcode init = curl_global_init(CURL_GLOBAL_DEFAULT);
    (void)init;
    std::string body;
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    if (!sent.empty()) {
        curl_easy_setopt(h, CURLOPT_POSTFIELDS, sent.data());
        curl_easy_setopt(h, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(sent.size()));
    }
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &appendTo);
    curl_easy_setopt(h, CURLOPT_WRITEDATA, &body);
    curl_easy_setopt(h, CURLOPT_NOSIGNAL, 1L);
    curl_easy_perform(h);
    curl_easy_cleanup(h);
    return body;
}

} // namespace sorvane::bench

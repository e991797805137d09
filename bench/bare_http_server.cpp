// The floor for the directory server's request rate: the same HTTP library, with the same
// serving threads (libmicrohttpd's epoll pool of 32) and socket settings, answering every
// request with a constant address reply. Takes the directory server's command line (only
// --listen is used) and announces itself the same way, so benchmarks start it like the real
// server. SIGTERM or SIGINT stops it.
#include <microhttpd.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <string_view>

namespace {

constexpr std::string_view kReply = "127.0.0.1\r\n4242\r\n";

MHD_Result answer(void*, MHD_Connection* connection, const char*, const char*, const char*,
                  const char*, size_t* uploadSize, void** requestContext) {
    // Answered on the second call, as the directory does: a reply queued on the first one
    // closes the connection.
    static int waited;
    if (*requestContext != &waited) {
        *requestContext = &waited;
        return MHD_YES;
    }
    if (*uploadSize != 0) {
        *uploadSize = 0;
        return MHD_YES;
    }
    MHD_Response* response = MHD_create_response_from_buffer(
        kReply.size(), const_cast<char*>(kReply.data()), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, "text/plain; charset=utf-8");
    MHD_Result queued = MHD_queue_response(connection, MHD_HTTP_OK, response);
    MHD_destroy_response(response);
    return queued;
}

} // namespace

int main(int argc, char* argv[]) {
    std::string host = "127.0.0.1";
    int port = 0;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string_view(argv[i]) == "--listen") {
            const std::string listen = argv[i + 1];
            const auto colon = listen.rfind(':');
            host = listen.substr(0, colon);
            port = std::stoi(listen.substr(colon + 1));
        }
    sigset_t stop;
    sigemptyset(&stop);
    sigaddset(&stop, SIGTERM);
    sigaddset(&stop, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stop, nullptr);

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int yes = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    ::inet_pton(AF_INET, host.c_str(), &address.sin_addr);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
        ::listen(fd, SOMAXCONN) != 0) {
        std::fprintf(stderr, "bare_http_server: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    socklen_t length = sizeof address;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    MHD_Daemon* daemon = MHD_start_daemon(
        MHD_USE_EPOLL_INTERNAL_THREAD, 0, nullptr, nullptr, &answer, nullptr,
        MHD_OPTION_LISTEN_SOCKET, fd, MHD_OPTION_THREAD_POOL_SIZE, 32u, MHD_OPTION_CONNECTION_LIMIT,
        4096u, MHD_OPTION_CONNECTION_TIMEOUT, 10u, MHD_OPTION_END);
    if (!daemon) {
        std::fprintf(stderr, "bare_http_server: cannot serve on %s:%d\n", host.c_str(), port);
        return 1;
    }
    std::printf("listening on %s:%d\n", host.c_str(), ntohs(address.sin_port));
    std::fflush(stdout);
    int signal = 0;
    sigwait(&stop, &signal);
    MHD_stop_daemon(daemon);
    return 0;
}

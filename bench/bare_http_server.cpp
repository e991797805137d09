// The floor for the directory server's request rate: the same HTTP library, with the same
// threads and socket settings, answering every request with a constant address reply.
// Takes the directory server's command line (only --listen is used) and announces itself the
// same way, so benchmarks start it like the real server.
#include <httplib.h>

#include <sys/socket.h>

#include <cstdio>
#include <string>
#include <string_view>

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
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(32); };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_timeout(2);
    server.set_read_timeout(5);
    server.set_write_timeout(5);
    int listenFd = -1;
    server.set_socket_options([&](int fd) {
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        listenFd = fd;
    });
    server.Get(R"(/messenger/.*)", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("127.0.0.1\r\n4242\r\n", "text/plain; charset=utf-8");
    });
    if (!server.bind_to_port(host, port)) {
        std::fprintf(stderr, "bare_http_server: cannot listen on %s:%d\n", host.c_str(), port);
        return 1;
    }
    if (listenFd >= 0)
        ::listen(listenFd, SOMAXCONN);
    std::printf("listening on %s:%d\n", host.c_str(), port);
    std::fflush(stdout);
    return server.listen_after_bind() ? 0 : 1;
}

// Another user's client, reduced to its listener: accepts connections on 127.0.0.1, reads one
// line from each, and prints it. The first output line is "listening PORT". Runs until killed.
#include "net/sockets.h"

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdio>
#include <mutex>
#include <string>
#include <unistd.h>

int main(int argc, char** argv) {
    sorvane::net::TTcpServer server;
    std::mutex output;
    server.OnAccept = [&](sorvane::net::TCustomTcpServer&, sorvane::net::TCustomIpClient& client) {
        const std::string line = client.ReceiveLine("\r\n");
        std::lock_guard lock(output);
        std::printf("line %s\n", line.c_str());
        std::fflush(stdout);
    };
    server.setLocalHost("127.0.0.1");
    server.setLocalPort(argc > 1 ? argv[1] : "0");
    server.setActive(true);
    if (!server.listening())
        return 1;
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(server.handle(), reinterpret_cast<sockaddr*>(&address), &length);
    {
        std::lock_guard lock(output);
        std::printf("listening %d\n", ntohs(address.sin_port));
        std::fflush(stdout);
    }
    for (;;)
        pause();
}

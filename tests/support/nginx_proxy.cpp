#include "nginx_proxy.h"

#include "directory_server.h"
#include "process.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace sorvane::test {
namespace {

namespace fs = std::filesystem;

constexpr const char* kNginx = "/usr/sbin/nginx";

} // namespace

bool TestNginx::available(std::string* whyNot) {
    if (::access(kNginx, X_OK) == 0)
        return true;
    if (whyNot)
        *whyNot =
            "nginx is not installed (Debian package nginx-light; scripts/deps.sh installs it)";
    return false;
}

TestNginx::TestNginx(const std::vector<int>& upstreamPorts) {
    std::string pattern = (fs::temp_directory_path() / "sorvane-nginx-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    // Its workers may run as another user, who needs to reach its temporary files.
    fs::permissions(dir_, fs::perms::owner_all | fs::perms::group_exec | fs::perms::others_exec);
    port_ = freeLoopbackPort();

    std::ofstream conf(dir_ + "/nginx.conf");
    conf << "daemon off;\n"
            "worker_processes 1;\n"
            "pid "
         << dir_ << "/nginx.pid;\n"
         << "error_log " << dir_ << "/error.log warn;\n"
         << "events { worker_connections 1024; }\n"
            "http {\n"
            "    access_log off;\n";
    for (const char* temp : {"client_body", "proxy", "fastcgi", "uwsgi", "scgi"})
        conf << "    " << temp << "_temp_path " << dir_ << "/" << temp << ";\n";
    conf << "    upstream directory {\n";
    for (int port : upstreamPorts)
        conf << "        server 127.0.0.1:" << port << ";\n";
    conf << "        keepalive 32;\n"
            "    }\n"
            "    server {\n"
            "        listen 127.0.0.1:"
         << port_
         << ";\n"
            "        location /messenger/ {\n"
            "            proxy_pass http://directory;\n"
            "            proxy_http_version 1.1;\n"
            "            proxy_set_header Connection \"\";\n"
            "            proxy_set_header Host $host;\n"
            "            proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;\n"
            "        }\n"
            "    }\n"
            "}\n";
    conf.close();

    pid_ = spawnLogged({kNginx, "-p", dir_, "-c", dir_ + "/nginx.conf", "-e", dir_ + "/error.log"},
                       ::geteuid(), ::getegid(), dir_ + "/output.log", SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(15);
    while (httpGet(port_, "/messenger/g.php?u=").status == 0) {
        if (std::chrono::steady_clock::now() > deadline) {
            const std::string log = errorLog() + readFile(dir_ + "/output.log");
            stopChild(pid_, SIGTERM, 5);
            std::error_code ec;
            fs::remove_all(dir_, ec);
            throw std::runtime_error("nginx did not start:\n" + log);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TestNginx::~TestNginx() {
    // SIGTERM: a fast stop.
    stopChild(pid_, SIGTERM, 5);
    std::error_code ec;
    fs::remove_all(dir_, ec);
}

std::string TestNginx::errorLog() const {
    return readFile(dir_ + "/error.log");
}

} // namespace sorvane::test

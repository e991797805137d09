// The directory's HTTP side under hostile clients, against a real
// sorvane-directory: many slow or silent connections from other loopback
// addresses, too many from one address, oversized heads, and HTTPS with good
// and bad certificate files.

#include "directory_server.h"

#include <curl/curl.h>
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

using sorvane::test::httpGet;
using sorvane::test::TestDirectoryServer;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// A thousand connections need more descriptors than the usual soft limit.
void raiseDescriptorLimit() {
    rlimit limit{};
    ::getrlimit(RLIMIT_NOFILE, &limit);
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);
}

// Connected sockets from given loopback addresses, closed together.
class Crowd {
public:
    ~Crowd() {
        for (int fd : fds_)
            ::close(fd);
    }
    // Opens `count` connections, at most `perAddress` from each address
    // 127.0.<k>.<j>, starting at 127.0.1.2. False when a connect failed.
    bool open(int port, int count, int perAddress) {
        for (int i = 0; i < count; ++i) {
            int host = 2 + i / perAddress;
            std::string source =
                "127.0." + std::to_string(1 + host / 250) + "." + std::to_string(host % 250 + 1);
            if (!connectFrom(source, port))
                return false;
        }
        return true;
    }
    bool connectFrom(const std::string& source, int port) {
        int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return false;
        fds_.push_back(fd);
        sockaddr_in src{};
        src.sin_family = AF_INET;
        ::inet_pton(AF_INET, source.c_str(), &src.sin_addr);
        sockaddr_in dst{};
        dst.sin_family = AF_INET;
        dst.sin_port = htons(static_cast<uint16_t>(port));
        dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        return ::bind(fd, reinterpret_cast<sockaddr*>(&src), sizeof src) == 0 &&
               ::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == 0;
    }
    // Sends one byte of a request head on every connection of `from`..`to`.
    void drip(size_t from, size_t to, char byte) {
        for (size_t i = from; i < to && i < fds_.size(); ++i)
            ::send(fds_[i], &byte, 1, MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    // How many connections the server has closed (end of stream or reset).
    size_t closedByServer() const {
        size_t closed = 0;
        for (int fd : fds_) {
            char byte;
            ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
            if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
                ++closed;
        }
        return closed;
    }
    // Waits (up to `limit`) until `count` connections are closed; returns how many are.
    size_t waitForClosed(size_t count, std::chrono::milliseconds limit) const {
        const auto deadline = Clock::now() + limit;
        size_t closed = closedByServer();
        while (closed < count && Clock::now() < deadline) {
            std::this_thread::sleep_for(50ms);
            closed = closedByServer();
        }
        return closed;
    }
    size_t size() const { return fds_.size(); }

private:
    std::vector<int> fds_;
};

// VmRSS or VmHWM of a process, in KiB.
long memoryKiB(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0)
            return std::stol(line.substr(field.size() + 1));
    return -1;
}

// Opens a connection from 127.0.0.1, sends `bytes` (as far as the server
// takes them) and returns what came back until the server closed (or 5 s).
std::string exchange(int port, const std::string& bytes) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in dst{};
    dst.sin_family = AF_INET;
    dst.sin_port = htons(static_cast<uint16_t>(port));
    dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::string reply;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == 0) {
        for (size_t sent = 0; sent < bytes.size();) {
            ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break; // the server closed while the head was still coming
            sent += static_cast<size_t>(n);
        }
        char buffer[4096];
        ssize_t n;
        while ((n = ::recv(fd, buffer, sizeof buffer, 0)) > 0)
            reply.append(buffer, static_cast<size_t>(n));
    }
    ::close(fd);
    return reply;
}

std::string headWith(size_t headerBytes) {
    std::string head = "GET /messenger/g.php?u=ann HTTP/1.1\r\nHost: x\r\n";
    while (head.size() + 2 < headerBytes)
        head +=
            "a: " + std::string(std::min<size_t>(60, headerBytes - head.size() - 7), 'b') + "\r\n";
    return head + "\r\n";
}

} // namespace

TEST(DirectoryEngine, SlowAndSilentCrowdsNeitherStallOthersNorStayPastTheHeadTime) {
    raiseDescriptorLimit();
    TestDirectoryServer server;
    server.registerAndLogin("ann", "pw", "127.0.0.9", 4000);

    // 500 connections dripping a request head and 500 sending nothing, from
    // 16 other addresses (at most 63 each, under the per-address limit).
    Crowd crowd;
    ASSERT_TRUE(crowd.open(server.port(), 1000, 63));
    const auto opened = Clock::now();
    std::atomic<bool> dripping{true};
    std::thread dripper([&] {
        const std::string head = "GET /messenger/g.php?u=ann HTTP/1.1\r\n";
        for (size_t k = 0; dripping && k < head.size(); ++k) {
            crowd.drip(0, 500, head[k]);
            for (int i = 0; dripping && i < 40; ++i)
                std::this_thread::sleep_for(100ms); // one byte every 4 s
        }
    });

    // A normal client is answered at once, repeatedly, while the crowd is there.
    for (int i = 0; i < 5; ++i) {
        const auto asked = Clock::now();
        auto reply = httpGet(server.port(), "/messenger/g.php?u=ann");
        EXPECT_EQ(reply.body, "127.0.0.9\r\n4000\r\n");
        EXPECT_LT(Clock::now() - asked, 1s) << "request " << i;
        std::this_thread::sleep_for(500ms);
    }
    EXPECT_EQ(crowd.closedByServer(), 0u) << "closed before their head time ran out";

    // Ten seconds after opening, no head is complete: every connection goes.
    EXPECT_EQ(crowd.waitForClosed(crowd.size(), 15s), crowd.size());
    EXPECT_GE(Clock::now() - opened, 10s);
    dripping = false;
    dripper.join();
    EXPECT_EQ(server.request("g.php", {{"u", "ann"}}), "127.0.0.9\r\n4000\r\n");
}

TEST(DirectoryEngine, OneAddressHoldsAtMostItsShareOfConnections) {
    raiseDescriptorLimit();
    for (int limit : {64, 3}) {
        SCOPED_TRACE(limit);
        TestDirectoryServer::Options options;
        if (limit != 64) // 64 is the default
            options.extraArgs = {"--max-connections-per-address", std::to_string(limit)};
        TestDirectoryServer server(options);
        Crowd crowd;
        for (int i = 0; i < limit + 6; ++i)
            ASSERT_TRUE(crowd.connectFrom("127.0.0.3", server.port()));
        // The six beyond the limit are closed as soon as they are accepted;
        // the others stay open.
        EXPECT_EQ(crowd.waitForClosed(6, 5s), 6u);
        std::this_thread::sleep_for(300ms);
        EXPECT_EQ(crowd.closedByServer(), 6u);
        // Other addresses are not affected.
        EXPECT_EQ(httpGet(server.port(), "/messenger/g.php?u=x", "127.0.0.4").status, 404);
        EXPECT_EQ(httpGet(server.port(), "/messenger/g.php?u=x", "127.0.0.3").status, 0);
    }
}

TEST(DirectoryEngine, HeadsOver32KiBAreRefusedWithoutGrowingTheServer) {
    TestDirectoryServer server;
    server.registerAndLogin("ann", "pw", "127.0.0.9", 4000);

    // Two requests on one connection are both answered (it is kept alive).
    const std::string twice =
        exchange(server.port(), "GET /messenger/g.php?u=ann HTTP/1.1\r\nHost: x\r\n\r\n"
                                "GET /messenger/g.php?u=ann HTTP/1.1\r\nHost: x\r\n"
                                "Connection: close\r\n\r\n");
    EXPECT_NE(twice.find("127.0.0.9\r\n4000\r\nHTTP/1.1 200 OK\r\n"), std::string::npos) << twice;

    // A head just under the limit is answered; one over it gets 431 and the
    // connection closed, however far over it goes.
    std::string small = exchange(server.port(), headWith(32 * 1024 - 200));
    EXPECT_EQ(small.substr(0, 15), "HTTP/1.1 200 OK") << small.substr(0, 200);
    EXPECT_NE(small.find("\r\n\r\n127.0.0.9\r\n4000\r\n"), std::string::npos);
    for (size_t size : {33 * 1024, 40 * 1024, 100 * 1024, 1024 * 1024}) {
        std::string reply = exchange(server.port(), headWith(size));
        EXPECT_EQ(reply.substr(0, 12), "HTTP/1.1 431") << size << ": " << reply.substr(0, 200);
    }

    // 64 MB of small header lines over four connections at once, each
    // reconnecting whenever the server closes it.
    const long idle = memoryKiB(server.pid(), "VmRSS");
    std::string lines;
    for (int i = 0; i < 8192; ++i)
        lines += "a: b\r\n";
    constexpr size_t kTotal = 64u << 20, kSenders = 4;
    std::atomic<size_t> sent{0};
    std::vector<std::thread> senders;
    for (size_t t = 0; t < kSenders; ++t) {
        senders.emplace_back([&] {
            while (sent < kTotal) {
                int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
                sockaddr_in dst{};
                dst.sin_family = AF_INET;
                dst.sin_port = htons(static_cast<uint16_t>(server.port()));
                dst.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
                if (::connect(fd, reinterpret_cast<sockaddr*>(&dst), sizeof dst) == 0) {
                    const std::string start = "GET /messenger/g.php?u=ann HTTP/1.1\r\n";
                    ::send(fd, start.data(), start.size(), MSG_NOSIGNAL);
                    while (sent < kTotal) {
                        ssize_t n = ::send(fd, lines.data(), lines.size(), MSG_NOSIGNAL);
                        if (n <= 0)
                            break;
                        sent += static_cast<size_t>(n);
                    }
                }
                ::close(fd);
            }
        });
    }
    for (auto& t : senders)
        t.join();
    const long peak = memoryKiB(server.pid(), "VmHWM");
    EXPECT_LT(peak - idle, 20 * 1024) << "idle " << idle << " KiB, peak " << peak << " KiB";
    EXPECT_EQ(server.request("g.php", {{"u", "ann"}}), "127.0.0.9\r\n4000\r\n");
}

namespace {

struct Certificate {
    std::string certificate, key;
};

// A fresh self-signed certificate for 127.0.0.1 in `dir`, made the way the
// server's help text says.
Certificate makeCertificate(const std::string& dir, const std::string& name) {
    Certificate c{dir + "/" + name + "-cert.pem", dir + "/" + name + "-key.pem"};
    const std::string command = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 "
                                "-nodes -days 2 -subj /CN=127.0.0.1 "
                                "-addext subjectAltName=IP:127.0.0.1 -keyout " +
                                c.key + " -out " + c.certificate + " >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error("openssl could not make a certificate");
    return c;
}

size_t collect(char* data, size_t size, size_t count, void* out) {
    static_cast<std::string*>(out)->append(data, size * count);
    return size * count;
}

// GET over HTTPS, trusting only `caFile`; the body, or "error: ..." when the
// request failed.
std::string httpsGet(const std::string& url, const std::string& caFile) {
    CURL* curl = curl_easy_init();
    std::string body;
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_CAPATH, nullptr);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &collect);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &body);
    CURLcode rc = curl_easy_perform(curl);
    curl_easy_cleanup(curl);
    return rc == CURLE_OK ? body : std::string("error: ") + curl_easy_strerror(rc);
}

struct ServerRun {
    int status = -1; // exit status, -1 when it did not exit by itself
    std::string output;
};

// Runs the server with `args` (after --db and --listen) until it exits, at most 10 s.
ServerRun runServer(const std::string& dir, const std::string& args) {
    const std::string command = "timeout 10 " SORVANE_DIRECTORY_EXE " --db " + dir +
                                "/refused.db --listen 127.0.0.1:0 " + args + " 2>&1";
    ServerRun run;
    FILE* out = ::popen(command.c_str(), "r");
    char buffer[256];
    while (size_t n = std::fread(buffer, 1, sizeof buffer, out))
        run.output.append(buffer, n);
    int status = ::pclose(out);
    if (WIFEXITED(status) && WEXITSTATUS(status) != 124)
        run.status = WEXITSTATUS(status);
    return run;
}

class TempDir {
public:
    TempDir() {
        std::string pattern =
            (std::filesystem::temp_directory_path() / "sorvane-tls-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

} // namespace

TEST(DirectoryEngine, ServesHttpsWithAGoodPairAndRefusesToStartWithABadOne) {
    TempDir dir;
    const Certificate good = makeCertificate(dir.path(), "good");
    const Certificate other = makeCertificate(dir.path(), "other");

    TestDirectoryServer::Options options;
    options.tlsCertificate = good.certificate;
    options.tlsKey = good.key;
    TestDirectoryServer server(options);
    ASSERT_EQ(server.base().substr(0, 8), "https://");
    EXPECT_EQ(httpsGet(server.base() + "n.php?u=ann&p=pw", good.certificate), "OK\r\n");
    EXPECT_EQ(httpsGet(server.base() + "c.php?u=ann&p=pw&ip=127.0.0.9&port=4000", good.certificate)
                  .substr(0, 4),
              "OK\r\n");
    EXPECT_EQ(httpsGet(server.base() + "g.php?u=ann", good.certificate), "127.0.0.9\r\n4000\r\n");
    // Plain HTTP gets no answer; a client that trusts another certificate refuses.
    EXPECT_EQ(httpGet(server.port(), "/messenger/g.php?u=ann").status, 0);
    EXPECT_EQ(httpsGet(server.base() + "g.php?u=ann", other.certificate).substr(0, 6), "error:");

    const std::string garbage = dir.path() + "/garbage.pem";
    std::ofstream(garbage) << "not a certificate\n";
    struct {
        std::string args;
        std::string says; // part of the one line
    } refused[] = {
        {"--tls-cert " + dir.path() + "/missing.pem --tls-key " + good.key,
         "cannot read " + dir.path() + "/missing.pem"},
        {"--tls-cert " + good.certificate + " --tls-key " + dir.path(),
         "cannot read " + dir.path()},
        {"--tls-cert " + good.certificate + " --tls-key " + other.key, "do not make a pair"},
        {"--tls-cert " + garbage + " --tls-key " + good.key, "do not make a pair"},
        {"--tls-cert " + good.key + " --tls-key " + good.certificate, "do not make a pair"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.args);
        ServerRun run = runServer(dir.path(), r.args);
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.output.find(r.says), std::string::npos) << run.output;
        EXPECT_EQ(run.output.find('\n'), run.output.size() - 1) << run.output;
        EXPECT_EQ(run.output.find("listening"), std::string::npos) << run.output;
    }
    ServerRun half = runServer(dir.path(), "--tls-cert " + good.certificate);
    EXPECT_EQ(half.status, 2) << half.output;
}

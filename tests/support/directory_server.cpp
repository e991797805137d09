#include "directory_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef SORVANE_DIRECTORY_EXE
#error "SORVANE_DIRECTORY_EXE must name the sorvane-directory program"
#endif

namespace sorvane::test {
namespace {

using Clock = std::chrono::steady_clock;

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0)
            ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }

private:
    int fd_;
};

sockaddr_in loopback(std::string_view address, int port) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    std::string text(address);
    if (::inet_pton(AF_INET, text.c_str(), &sa.sin_addr) != 1)
        throw std::invalid_argument("not an IPv4 address: " + text);
    return sa;
}

bool sendAll(int fd, std::string_view data) {
    while (!data.empty()) {
        ssize_t n = ::send(fd, data.data(), data.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        data.remove_prefix(static_cast<size_t>(n));
    }
    return true;
}

std::string query(std::initializer_list<std::pair<std::string_view, std::string_view>> params) {
    std::string q;
    for (const auto& [key, value] : params) {
        q += q.empty() ? '?' : '&';
        q += key;
        q += '=';
        q += percentEncode(value);
    }
    return q;
}

} // namespace

std::string takeLoginToken(std::string& body) {
    // Lines ended by CR LF: "OK", the friend line, the token.
    std::vector<std::string> lines;
    for (size_t start = 0; start < body.size();) {
        size_t end = body.find("\r\n", start);
        if (end == std::string::npos)
            return {};
        lines.push_back(body.substr(start, end - start));
        start = end + 2;
    }
    if (lines.size() != 3 || lines[0] != "OK")
        return {};
    body = "OK\r\n";
    if (!lines[1].empty())
        body += lines[1] + "\r\n";
    return lines[2];
}

int freeLoopbackPort() {
    Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0)
        throw std::runtime_error("socket: " + std::string(std::strerror(errno)));
    sockaddr_in sa = loopback("127.0.0.1", 0);
    if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0)
        throw std::runtime_error("bind: " + std::string(std::strerror(errno)));
    socklen_t len = sizeof sa;
    ::getsockname(sock.get(), reinterpret_cast<sockaddr*>(&sa), &len);
    return ntohs(sa.sin_port);
}

std::string percentEncode(std::string_view value) {
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : value) {
        if (std::isalnum(c) && c < 0x80) {
            out += static_cast<char>(c);
        } else if (c == '-' || c == '.' || c == '_' || c == '~') {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        }
    }
    return out;
}

HttpReply httpGet(int port, std::string_view target, std::string_view sourceAddress,
                  std::string_view extraHeaders, std::string_view method, std::string_view body) {
    HttpReply reply;
    Fd sock(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (sock.get() < 0)
        return reply;
    timeval tv{10, 0};
    ::setsockopt(sock.get(), SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    ::setsockopt(sock.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (!sourceAddress.empty()) {
        sockaddr_in src = loopback(sourceAddress, 0);
        if (::bind(sock.get(), reinterpret_cast<sockaddr*>(&src), sizeof src) != 0)
            return reply;
    }
    sockaddr_in dst = loopback("127.0.0.1", port);
    if (::connect(sock.get(), reinterpret_cast<sockaddr*>(&dst), sizeof dst) != 0)
        return reply;

    std::string req(method);
    req += " ";
    req += target;
    req += " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nConnection: close\r\n";
    req += extraHeaders;
    if (!body.empty())
        req += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    req += "\r\n";
    req += body;
    if (!sendAll(sock.get(), req))
        return reply;

    std::string raw;
    char buf[4096];
    for (;;) {
        ssize_t n = ::recv(sock.get(), buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        raw.append(buf, static_cast<size_t>(n));
    }
    size_t headerEnd = raw.find("\r\n\r\n");
    if (headerEnd == std::string::npos || raw.compare(0, 5, "HTTP/") != 0)
        return reply;
    size_t space = raw.find(' ');
    reply.status = std::atoi(raw.c_str() + space + 1);
    reply.body = raw.substr(headerEnd + 4);
    reply.head = raw.substr(0, headerEnd);
    return reply;
}

TestDirectoryServer::TestDirectoryServer() : TestDirectoryServer(Options{}) {}

TestDirectoryServer::TestDirectoryServer(Options options) : options_(std::move(options)) {
    if (options_.executable.empty())
        options_.executable = SORVANE_DIRECTORY_EXE;
    std::string pattern =
        (std::filesystem::temp_directory_path() / "sorvane-directory-test-XXXXXX").string();
    if (!::mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    dir_ = pattern;
    database_ = options_.database.empty() ? dir_ + "/directory.db" : options_.database;
    log_ = dir_ + "/directory.log";
    port_ = freeLoopbackPort();
    try {
        start();
    } catch (...) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
        throw;
    }
}

TestDirectoryServer::~TestDirectoryServer() {
    stop();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string TestDirectoryServer::base() const {
    return std::string(options_.tlsCertificate.empty() ? "http" : "https") +
           "://127.0.0.1:" + std::to_string(port_) + "/messenger/";
}

std::string TestDirectoryServer::logText() const {
    std::ifstream in(log_, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void TestDirectoryServer::start() {
    std::vector<std::string> args = {
        options_.executable, "--listen",    "127.0.0.1:" + std::to_string(port_), "--db",
        database_,           "--hash-cost", std::to_string(options_.hashCost),
    };
    if (options_.observedAddress)
        args.push_back("--observed-address");
    if (!options_.rationed)
        args.insert(args.end(), {"--search-rate", "0", "--register-rate", "0"});
    if (!options_.tlsCertificate.empty())
        args.insert(args.end(),
                    {"--tls-cert", options_.tlsCertificate, "--tls-key", options_.tlsKey});
    args.insert(args.end(), options_.extraArgs.begin(), options_.extraArgs.end());
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    int logFd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    if (logFd < 0) {
        ::close(out[0]);
        ::close(out[1]);
        throw std::runtime_error("cannot open " + log_);
    }
    pid_t parent = ::getpid();
    pid_t pid = ::fork();
    if (pid == 0) {
        // Only async-signal-safe calls until exec.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(out[1], STDOUT_FILENO);
        ::dup2(logFd, STDERR_FILENO);
        int devnull = ::open("/dev/null", O_RDONLY);
        if (devnull >= 0)
            ::dup2(devnull, STDIN_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    ::close(logFd);
    if (pid < 0) {
        ::close(out[0]);
        throw std::runtime_error("fork failed");
    }
    pid_ = pid;
    stdoutFd_ = out[0];
    try {
        waitUntilAnswering();
    } catch (...) {
        kill9();
        throw;
    }
}

void TestDirectoryServer::waitUntilAnswering() {
    const auto deadline = Clock::now() + std::chrono::seconds(15);
    auto fail = [&](const std::string& why) {
        throw std::runtime_error("sorvane-directory did not start (" + why + "); its log:\n" +
                                 logText());
    };

    // The server prints "listening on HOST:PORT" once its socket is listening.
    std::string line;
    while (line.find('\n') == std::string::npos) {
        auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0)
            fail("no 'listening on' line");
        pollfd p{stdoutFd_, POLLIN, 0};
        int r = ::poll(&p, 1, static_cast<int>(left));
        if (r < 0 && errno == EINTR)
            continue;
        if (r <= 0)
            continue;
        char buf[256];
        ssize_t n = ::read(stdoutFd_, buf, sizeof buf);
        if (n <= 0)
            fail("it exited");
        line.append(buf, static_cast<size_t>(n));
    }
    if (line.rfind("listening on ", 0) != 0)
        fail("unexpected output: " + line);
    if (line.find(":" + std::to_string(port_) + "\n") == std::string::npos)
        fail("it listens elsewhere: " + line);

    // The line comes once requests are served; plain HTTP is tried as well.
    while (options_.tlsCertificate.empty() && httpGet(port_, "/messenger/g.php?u=").status == 0) {
        if (Clock::now() > deadline)
            fail("no HTTP answer");
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

void TestDirectoryServer::reap(int signal) {
    if (pid_ <= 0)
        return;
    ::kill(pid_, signal);
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    for (;;) {
        int status = 0;
        pid_t r = ::waitpid(pid_, &status, WNOHANG);
        if (r == pid_ || (r < 0 && errno != EINTR))
            break;
        if (Clock::now() > deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    if (stdoutFd_ >= 0)
        ::close(stdoutFd_);
    stdoutFd_ = -1;
}

void TestDirectoryServer::stop() {
    reap(SIGTERM);
}

void TestDirectoryServer::kill9() {
    reap(SIGKILL);
}

void TestDirectoryServer::restart() {
    stop();
    start();
}

HttpReply TestDirectoryServer::requestReply(
    std::string_view script,
    std::initializer_list<std::pair<std::string_view, std::string_view>> params,
    std::string_view sourceAddress) const {
    std::string target = "/messenger/";
    target += script;
    target += query(params);
    std::string_view user;
    bool hasToken = false;
    for (const auto& [key, value] : params) {
        if (key == "u" && user.empty())
            user = value;
        hasToken = hasToken || key == "t";
    }
    const bool change = script == "f.php" || script == "d.php" || script == "e.php";
    if (std::string t = token(user); change && !hasToken && !t.empty())
        target += "&t=" + percentEncode(t);
    HttpReply reply = httpGet(port_, target, sourceAddress);
    if (script == "c.php") {
        std::string body = reply.body;
        if (std::string t = takeLoginToken(body); !t.empty()) {
            std::lock_guard lock(tokensMutex_);
            tokens_[std::string(user)] = t;
        }
    }
    return reply;
}

std::string TestDirectoryServer::request(
    std::string_view script,
    std::initializer_list<std::pair<std::string_view, std::string_view>> params,
    std::string_view sourceAddress) const {
    return requestReply(script, params, sourceAddress).body;
}

std::string TestDirectoryServer::registerUser(std::string_view name,
                                              std::string_view password) const {
    return request("n.php", {{"u", name}, {"p", password}});
}

std::string TestDirectoryServer::login(std::string_view name, std::string_view password,
                                       std::string_view ip, int listenPort) const {
    std::string port = std::to_string(listenPort);
    std::string body = request("c.php", {{"u", name}, {"p", password}, {"ip", ip}, {"port", port}});
    takeLoginToken(body);
    return body;
}

std::string TestDirectoryServer::token(std::string_view name) const {
    std::lock_guard lock(tokensMutex_);
    auto it = tokens_.find(name);
    return it == tokens_.end() ? std::string() : it->second;
}

void TestDirectoryServer::registerAndLogin(std::string_view name, std::string_view password,
                                           std::string_view ip, int listenPort) const {
    std::string created = registerUser(name, password);
    if (created != "OK\r\n")
        throw std::runtime_error("registering " + std::string(name) + " was refused: " + created);
    std::string in = login(name, password, ip, listenPort);
    if (in.rfind("OK\r\n", 0) != 0)
        throw std::runtime_error("logging in " + std::string(name) + " was refused: " + in);
}

} // namespace sorvane::test

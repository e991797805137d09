#include "bed.h"

#include <atomic>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace sorvane::test {

namespace {

namespace fs = std::filesystem;

const std::string kPrefix = "sorvane-bed-";
const fs::path kNamespaces = "/run/netns";
const fs::path kHostsFiles = "/etc/netns"; // `ip netns exec` mounts <ns>/hosts over /etc/hosts

std::vector<char*> pointers(std::vector<std::string>& texts) {
    std::vector<char*> out;
    for (std::string& text : texts)
        out.push_back(text.data());
    out.push_back(nullptr);
    return out;
}

// Forks and executes `command` with the given descriptors as its standard streams. The child
// dies with this process: a test killed half-way leaves no program running in a bed.
pid_t spawn(std::vector<std::string> command, std::vector<std::string> environment, int in, int out,
            int err) {
    const std::vector<char*> argv = pointers(command);
    const std::vector<char*> envp = pointers(environment);
    const pid_t parent = ::getpid();
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        ::dup2(in, STDIN_FILENO);
        ::dup2(out, STDOUT_FILENO);
        ::dup2(err, STDERR_FILENO);
        ::execvpe(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    return pid;
}

std::vector<std::string> currentEnvironment() {
    std::vector<std::string> out;
    for (char** e = environ; *e != nullptr; ++e)
        out.emplace_back(*e);
    return out;
}

int waitFor(pid_t pid) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

void mustRun(const std::vector<std::string>& command) {
    const Ran ran = runCommand(command);
    if (ran.status != 0) {
        std::string line;
        for (const std::string& word : command)
            line += word + ' ';
        throw BedUnavailable(line + "failed: " + ran.output);
    }
}

// Takes a namespace away with whatever still runs in it.
void removeNamespace(const std::string& ns) {
    const Ran pids = runCommand({"ip", "netns", "pids", ns});
    std::size_t at = 0;
    while (at < pids.output.size()) {
        const std::size_t end = pids.output.find('\n', at);
        const std::string pid = pids.output.substr(at, end - at);
        if (!pid.empty() && pid.find_first_not_of("0123456789") == std::string::npos)
            ::kill(static_cast<pid_t>(std::stol(pid)), SIGKILL);
        at = end == std::string::npos ? pids.output.size() : end + 1;
    }
    runCommand({"ip", "netns", "delete", ns});
    std::error_code ignored;
    fs::remove_all(kHostsFiles / ns, ignored);
    fs::remove_all(fs::temp_directory_path() / ns, ignored);
}

// Beds of runs that ended without tearing theirs down: the process named in the name is gone.
void removeLeftovers() {
    std::error_code ec;
    std::vector<std::string> names;
    for (const fs::path& dir : {kNamespaces, kHostsFiles, fs::temp_directory_path()})
        for (const auto& entry : fs::directory_iterator(dir, ec))
            names.push_back(entry.path().filename().string());
    for (const std::string& ns : names) {
        if (ns.rfind(kPrefix, 0) != 0)
            continue;
        const pid_t owner = static_cast<pid_t>(std::atol(ns.c_str() + kPrefix.size()));
        if (owner > 0 && ::kill(owner, 0) != 0 && errno == ESRCH)
            removeNamespace(ns);
    }
}

} // namespace

Ran runCommand(const std::vector<std::string>& command) {
    Ran ran;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0)
        return ran;
    const int devnull = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
    const pid_t pid = spawn(command, currentEnvironment(), devnull, pipeFds[1], pipeFds[1]);
    ::close(pipeFds[1]);
    ::close(devnull);
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        ran.output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    ran.status = pid > 0 ? waitFor(pid) : -1;
    return ran;
}

Bed::Bed(const std::vector<std::string>& hosts,
         const std::map<std::string, std::string>& behindRouters) {
    static std::atomic<int> made{0};
    prefix_ = kPrefix + std::to_string(::getpid()) + '-' + std::to_string(made++) + '-';
    if (runCommand({"ip", "-V"}).status != 0)
        throw BedUnavailable("the program ip (Debian package iproute2) is missing");
    removeLeftovers();
    folder_ = (fs::temp_directory_path() / (prefix_ + "files")).string();
    fs::create_directories(folder_);
    try {
        build(hosts, behindRouters);
    } catch (...) {
        tearDown();
        throw;
    }
}

Bed::~Bed() {
    tearDown();
}

void Bed::build(const std::vector<std::string>& hosts,
                const std::map<std::string, std::string>& behindRouters) {
    const std::string bridge = prefix_ + "bridge";
    namespaces_.push_back(bridge);
    mustRun({"ip", "netns", "add", bridge});
    mustRun({"ip", "-n", bridge, "link", "set", "lo", "up"});
    mustRun({"ip", "-n", bridge, "link", "add", "br0", "type", "bridge", "forward_delay", "0"});
    mustRun({"ip", "-n", bridge, "link", "set", "br0", "up"});

    std::vector<std::string> all = hosts;
    for (const std::string& host : hosts)
        hosts_.emplace(host, static_cast<int>(hosts_.size()));
    for (const auto& [host, router] : behindRouters) {
        behind_.emplace(host, static_cast<int>(behind_.size()));
        all.push_back(host);
    }
    for (const auto& [host, index] : hosts_) {
        const std::string ns = namespaceOf(host);
        const std::string port = "port" + std::to_string(index);
        namespaces_.push_back(ns);
        mustRun({"ip", "netns", "add", ns});
        mustRun({"ip", "-n", bridge, "link", "add", port, "type", "veth", "peer", "name", "eth0",
                 "netns", ns});
        mustRun({"ip", "-n", bridge, "link", "set", port, "master", "br0", "up"});
        mustRun({"ip", "-n", ns, "link", "set", "lo", "up"});
        mustRun({"ip", "-n", ns, "address", "add", address(host) + "/24", "dev", "eth0"});
        mustRun({"ip", "-n", ns, "link", "set", "eth0", "up"});
        writeHosts(host, all);
    }
    for (const auto& [host, router] : behindRouters) {
        const std::string ns = namespaceOf(host);
        const std::string home = namespaceOf(router);
        const std::string lan = "lan" + std::to_string(behind_.at(host));
        namespaces_.push_back(ns);
        mustRun({"ip", "netns", "add", ns});
        mustRun({"ip", "-n", home, "link", "add", lan, "type", "veth", "peer", "name", "eth0",
                 "netns", ns});
        mustRun({"ip", "-n", home, "address", "add", "192.168.77.1/24", "dev", lan});
        mustRun({"ip", "-n", home, "link", "set", lan, "up"});
        mustRun({"ip", "-n", ns, "link", "set", "lo", "up"});
        mustRun({"ip", "-n", ns, "address", "add", address(host) + "/24", "dev", "eth0"});
        mustRun({"ip", "-n", ns, "link", "set", "eth0", "up"});
        mustRun({"ip", "-n", ns, "route", "add", "default", "via", "192.168.77.1"});
        // The router forwards for its private network and answers for it with its own address:
        // connections go out, none come in.
        mustRun(inside(router, {"sysctl", "-q", "-w", "net.ipv4.ip_forward=1"}));
        mustRun(inside(router, {"nft", "add", "table", "ip", "home"}));
        mustRun(inside(router, {"nft", "add", "chain", "ip", "home", "out",
                                "{ type nat hook postrouting priority 100 ; }"}));
        mustRun(inside(
            router, {"nft", "add", "rule", "ip", "home", "out", "oifname", "eth0", "masquerade"}));
        writeHosts(host, all);
    }
}

void Bed::writeHosts(const std::string& host, const std::vector<std::string>& all) {
    char machine[256] = "";
    ::gethostname(machine, sizeof machine - 1);
    const std::string ns = namespaceOf(host);
    std::error_code ec;
    fs::create_directories(kHostsFiles / ns, ec);
    std::ofstream file(kHostsFiles / ns / "hosts");
    file << "127.0.0.1 localhost\n" << address(host) << ' ' << machine << '\n';
    for (const std::string& other : all)
        file << address(other) << ' ' << name(other) << '\n';
    if (!file.flush())
        throw BedUnavailable("cannot write " + (kHostsFiles / ns / "hosts").string());
}

void Bed::tearDown() {
    // Hosts first: their links go with them, then the bridge.
    for (auto it = namespaces_.rbegin(); it != namespaces_.rend(); ++it)
        removeNamespace(*it);
    namespaces_.clear();
    std::error_code ignored;
    fs::remove_all(folder_, ignored);
}

std::string Bed::namespaceOf(const std::string& host) const {
    return prefix_ + host; // "bridge" is the bridge's own
}

std::string Bed::address(const std::string& host) const {
    if (const auto home = behind_.find(host); home != behind_.end())
        return "192.168.77." + std::to_string(10 + home->second);
    return "10.77.1." + std::to_string(10 + hosts_.at(host));
}

std::vector<std::string> Bed::inside(const std::string& host,
                                     const std::vector<std::string>& command) const {
    std::vector<std::string> out{"ip", "netns", "exec", namespaceOf(host)};
    out.insert(out.end(), command.begin(), command.end());
    return out;
}

BedProcess::BedProcess(const Bed& bed, const std::string& host,
                       const std::vector<std::string>& command,
                       const std::map<std::string, std::string>& environment,
                       const std::string& log) {
    // A program that died must fail the test's next question, not end the test.
    std::signal(SIGPIPE, SIG_IGN);
    // The settings a test gives are the only ones: none of the machine's own directory
    // settings or proxies reach the bed.
    std::vector<std::string> env;
    for (const std::string& entry : currentEnvironment()) {
        const std::string key = entry.substr(0, entry.find('='));
        std::string lower = key;
        for (char& c : lower)
            c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (key.rfind("SORVANE_DIRECTORY_", 0) == 0 || key.rfind("XDG_CONFIG_", 0) == 0 ||
            lower.find("_proxy") != std::string::npos || environment.count(key) != 0)
            continue;
        env.push_back(entry);
    }
    for (const auto& [key, value] : environment)
        env.push_back(key + '=' + value);

    int toChild[2];
    int fromChild[2];
    if (::pipe2(toChild, O_CLOEXEC) != 0 || ::pipe2(fromChild, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int err = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_ = spawn(bed.inside(host, command), env, toChild[0], fromChild[1], err < 0 ? 2 : err);
    ::close(toChild[0]);
    ::close(fromChild[1]);
    if (err >= 0)
        ::close(err);
    in_ = toChild[1];
    out_ = fromChild[0];
    if (pid_ < 0)
        throw std::runtime_error("fork failed");
}

BedProcess::~BedProcess() {
    if (in_ >= 0)
        ::close(in_);
    if (out_ >= 0)
        ::close(out_);
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        waitFor(pid_);
    }
}

std::optional<std::string> BedProcess::readLine(std::chrono::seconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        if (const std::size_t nl = buffered_.find('\n'); nl != std::string::npos) {
            std::string line = buffered_.substr(0, nl);
            buffered_.erase(0, nl + 1);
            return line;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        pollfd p{out_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        char buffer[4096];
        const ssize_t n = ::read(out_, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return std::nullopt;
        buffered_.append(buffer, static_cast<std::size_t>(n));
    }
}

void BedProcess::writeLine(const std::string& line) {
    const std::string text = line + '\n';
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(in_, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return;
        done += static_cast<std::size_t>(n);
    }
}

std::string BedProcess::ask(const std::string& line) {
    writeLine(line);
    return readLine().value_or("<no answer>");
}

} // namespace sorvane::test

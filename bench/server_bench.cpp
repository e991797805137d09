// The directory server under load, on loopback, over databases the benchmark generates itself:
//  - Gphp*: "g.php" requests per second from 16 concurrent keep-alive clients over 100 000
//    accounts, next to the same HTTP library answering a constant body;
//  - SearchLatency: "s.php" latency over 1 000 000 accounts for a mix of realistic texts and
//    texts built to be hard (every piece common, the whole text found nowhere);
//  - Login: "c.php" latency of accounts logging in one after the other;
//  - each of them on PostgreSQL too (*_Postgres), over the same accounts;
//  - Gphp_Nginx*: "g.php" through nginx in front of one or two servers on that PostgreSQL;
//  - Gphp_HeldFetches: "g.php" requests per second while 10 000 messengers each keep a mailbox
//    fetch held at the directory, next to none held on the same server, and the directory's
//    resident memory with and without them.
#include "cpu.h"
#include "directory_server.h"
#include "http_client.h"
#include "names.h"
#include "nginx_proxy.h"
#include "seed.h"
#include "stats.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

namespace {

using sorvane::bench::accountName;
using sorvane::bench::cachedDirectory;
using sorvane::bench::cachedPostgresDirectory;
using sorvane::bench::KeepAliveClient;
using sorvane::test::percentEncode;
using sorvane::test::TestDirectoryServer;
using Clock = std::chrono::steady_clock;

constexpr std::uint64_t kThroughputAccounts = 100000;
constexpr std::uint64_t kSearchAccounts = 1000000;
constexpr int kClients = 16;
// Each load run stops at whichever comes first.
constexpr int kLoadRequests = 60000;
constexpr auto kLoadTime = std::chrono::seconds(4);
constexpr int kWarmUpRequests = 2000;

// `database`: a SQLite file or a PostgreSQL URI.
std::unique_ptr<TestDirectoryServer> startServer(const std::string& executable,
                                                 const std::string& database) {
    TestDirectoryServer::Options options;
    options.executable = executable;
    options.observedAddress = true;
    options.database = database;
    return std::make_unique<TestDirectoryServer>(options);
}

std::string addressTarget(std::uint64_t account) {
    return "/messenger/g.php?u=" + percentEncode(accountName(account));
}

struct LoadResult {
    double seconds = 0;
    long requests = 0;
    long failed = 0;
};

// kClients threads, each on its own keep-alive connection, asking for random accounts'
// addresses until the count or the time is used up.
LoadResult addressLoad(int port, int requests) {
    std::atomic<long> issued{0}, done{0}, failed{0};
    const auto deadline = Clock::now() + kLoadTime;
    const auto start = Clock::now();
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c)
        clients.emplace_back([&, c] {
            KeepAliveClient client(port);
            std::mt19937_64 random(1000 + static_cast<unsigned>(c));
            std::string body;
            while (issued.fetch_add(1) < requests && Clock::now() < deadline) {
                const std::string target = addressTarget(random() % kThroughputAccounts);
                if (client.get(target, body) != 200 || body.find("127.0.0.1\r\n") != 0)
                    ++failed;
                ++done;
            }
        });
    for (std::thread& t : clients)
        t.join();
    LoadResult result;
    result.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    result.requests = done.load();
    result.failed = failed.load();
    return result;
}

// The processes whose CPU time a load's requests are split into (directory servers, the
// database server and its connections, nginx and its workers): name and pid.
using Processes = std::vector<std::pair<std::string, pid_t>>;

void measureAddressLoad(benchmark::State& state, int port, const Processes& processes = {}) {
    addressLoad(port, kWarmUpRequests);
    for (auto _ : state) {
        std::vector<double> before;
        for (const auto& [name, pid] : processes)
            before.push_back(sorvane::bench::treeCpuSeconds(pid));
        const LoadResult r = addressLoad(port, kLoadRequests);
        state.SetIterationTime(r.seconds);
        // CPU microseconds per request of each kind of process, for sizing machines.
        for (size_t i = 0; i < processes.size(); ++i) {
            const double used = sorvane::bench::treeCpuSeconds(processes[i].second) - before[i];
            state.counters[processes[i].first + "_cpu_us_per_request"] +=
                used * 1e6 / static_cast<double>(r.requests);
        }
        state.counters["requests"] = static_cast<double>(r.requests);
        state.counters["requests_per_s"] = static_cast<double>(r.requests) / r.seconds;
        state.counters["failed"] = static_cast<double>(r.failed);
        if (r.failed != 0)
            state.SkipWithError("some requests failed");
    }
}

void runAddressLoad(benchmark::State& state, const std::string& executable,
                    const std::string& database, bool onPostgres = false) {
    const auto server = startServer(executable, database);
    Processes processes = {{"directory", server->pid()}};
    if (onPostgres)
        processes.emplace_back("database", sorvane::bench::benchPostgresPid());
    measureAddressLoad(state, server->port(), processes);
}

// The same load through nginx in front of `servers` directory servers on one PostgreSQL
// database; every process shares the machine's cores with the clients.
void runAddressLoadThroughNginx(benchmark::State& state, int servers) {
    std::string whyNot;
    if (!sorvane::test::TestNginx::available(&whyNot)) {
        state.SkipWithError(whyNot.c_str());
        return;
    }
    const std::string database = cachedPostgresDirectory(kThroughputAccounts);
    std::vector<std::unique_ptr<TestDirectoryServer>> running;
    std::vector<int> ports;
    Processes processes = {{"database", sorvane::bench::benchPostgresPid()}};
    for (int i = 0; i < servers; ++i) {
        running.push_back(startServer(SORVANE_DIRECTORY_EXE, database));
        ports.push_back(running.back()->port());
        processes.emplace_back("directory", running.back()->pid());
    }
    sorvane::test::TestNginx nginx(ports);
    processes.emplace_back("nginx", nginx.pid());
    measureAddressLoad(state, nginx.port(), processes);
    state.counters["servers"] = servers;
}

void Gphp_NginxOneServer(benchmark::State& state) {
    runAddressLoadThroughNginx(state, 1);
}

void Gphp_NginxTwoServers(benchmark::State& state) {
    runAddressLoadThroughNginx(state, 2);
}

void Gphp_Directory(benchmark::State& state) {
    runAddressLoad(state, SORVANE_DIRECTORY_EXE, cachedDirectory(kThroughputAccounts));
}

void Gphp_Postgres(benchmark::State& state) {
    runAddressLoad(state, SORVANE_DIRECTORY_EXE, cachedPostgresDirectory(kThroughputAccounts),
                   true);
}

void Gphp_SameLibraryConstantBody(benchmark::State& state) {
    runAddressLoad(state, SORVANE_BARE_HTTP_SERVER, cachedDirectory(kThroughputAccounts));
}

// ---- search ------------------------------------------------------------------------------

bool foundAnywhere(const std::string& all, const std::string& text) {
    return all.find(text) != std::string::npos;
}

struct SearchText {
    std::string text;
    bool hard; // every three-character piece common, the text itself found nowhere
};

// How many accounts hold each three-character piece (ASCII names: bytes are characters).
using PieceCounts = std::unordered_map<std::string, int>;

PieceCounts trigramCounts() {
    PieceCounts counts;
    for (std::uint64_t i = 0; i < kSearchAccounts; ++i) {
        const std::string name = accountName(i);
        std::vector<std::string> seen;
        for (std::size_t at = 0; at + 3 <= name.size(); ++at)
            seen.push_back(name.substr(at, 3));
        std::sort(seen.begin(), seen.end());
        seen.erase(std::unique(seen.begin(), seen.end()), seen.end());
        for (const std::string& t : seen)
            ++counts[t];
    }
    return counts;
}

int rarestTrigram(const PieceCounts& counts, const std::string& text) {
    int rarest = text.size() < 3 ? 0 : INT32_MAX;
    for (std::size_t at = 0; at + 3 <= text.size(); ++at) {
        const auto found = counts.find(text.substr(at, 3));
        rarest = std::min(rarest, found == counts.end() ? 0 : found->second);
    }
    return rarest;
}

// Texts as people type them: pieces of existing names, first names, whole addresses, one or
// two characters; and hard ones: two names spliced where they share a character, kept only
// when every three-character piece is held by at least kCommon accounts and no account holds
// the whole text ("a.example" is such a text).
std::vector<SearchText> searchTexts(int realistic, int hard, unsigned seed) {
    constexpr int kCommon = 1000;
    std::mt19937_64 random(seed);
    const auto account = [&] { return accountName(random() % kSearchAccounts); };
    std::vector<SearchText> texts;
    for (int i = 0; i < realistic; ++i) {
        const std::string name = account();
        switch (i % 6) {
        case 0:
            texts.push_back({name, false});
            break;
        case 1:
            texts.push_back({name.substr(0, name.find('.')), false});
            break;
        case 2:
            texts.push_back({name.substr(random() % 3, 1 + random() % 2), false});
            break;
        default: {
            const std::size_t length = 3 + random() % 10;
            const std::size_t from = random() % (name.size() - 2);
            texts.push_back({name.substr(from, length), false});
        }
        }
    }
    // Every name, one per line, to check that a hard text matches nobody.
    std::string all;
    all.reserve(kSearchAccounts * 32);
    for (std::uint64_t i = 0; i < kSearchAccounts; ++i)
        all.append(accountName(i)).append("\n");
    static const PieceCounts counts = trigramCounts();
    const auto isHard = [&](const std::string& text) {
        return text.size() >= 4 && text.find('\n') == std::string::npos &&
               rarestTrigram(counts, text) >= kCommon && !foundAnywhere(all, text);
    };
    for (const char* known : {"a.example", "a.ex", "zoe.exa", "aul.exam", "chloe.exa"})
        if (isHard(known))
            texts.push_back({known, true});
    for (int attempts = 0; static_cast<int>(texts.size()) < realistic + hard && attempts < 200000;
         ++attempts) {
        const std::string a = account(), b = account();
        const std::size_t cut = 1 + random() % (a.size() - 1);
        const std::size_t join = b.find(a[cut]);
        if (join == std::string::npos)
            continue;
        const std::size_t before = std::min<std::size_t>(cut, 2 + random() % 6);
        const std::string text = a.substr(cut - before, before) + b.substr(join, 2 + random() % 6);
        if (isHard(text))
            texts.push_back({text, true});
    }
    std::shuffle(texts.begin(), texts.end(), random);
    return texts;
}

void runSearchLatency(benchmark::State& state, const std::string& database) {
    const auto server = startServer(SORVANE_DIRECTORY_EXE, database);
    const std::vector<SearchText> warmUp = searchTexts(200, 20, 7);
    const std::vector<SearchText> texts = searchTexts(600, 150, 11);
    KeepAliveClient client(server->port());
    std::string body;
    for (const SearchText& t : warmUp)
        client.get("/messenger/s.php?u=" + percentEncode(t.text), body);
    for (auto _ : state) {
        std::vector<double> all, hard, realistic;
        double worst = 0;
        std::string worstText;
        long failed = 0;
        const auto start = Clock::now();
        for (const SearchText& t : texts) {
            const std::string target = "/messenger/s.php?u=" + percentEncode(t.text);
            const auto before = Clock::now();
            const int status = client.get(target, body);
            const double ms =
                std::chrono::duration<double, std::milli>(Clock::now() - before).count();
            failed += status != 200;
            if (t.hard && !body.empty())
                ++failed; // a hard text matches nobody
            all.push_back(ms);
            (t.hard ? hard : realistic).push_back(ms);
            if (ms > worst)
                worst = ms, worstText = t.text;
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        using sorvane::bench::percentile;
        state.counters["texts"] = static_cast<double>(all.size());
        state.counters["hard_texts"] = static_cast<double>(hard.size());
        state.counters["median_ms"] = percentile(all, 0.5);
        state.counters["p99_ms"] = percentile(all, 0.99);
        state.counters["max_ms"] = worst;
        state.counters["realistic_p99_ms"] = percentile(realistic, 0.99);
        state.counters["hard_median_ms"] = percentile(hard, 0.5);
        state.counters["hard_p99_ms"] = percentile(hard, 0.99);
        state.counters["failed"] = static_cast<double>(failed);
        state.SetLabel("slowest: " + worstText);
        if (failed != 0)
            state.SkipWithError("a search failed or a hard text matched");
    }
}

void SearchLatency(benchmark::State& state) {
    runSearchLatency(state, cachedDirectory(kSearchAccounts));
}

void SearchLatency_Postgres(benchmark::State& state) {
    const std::string database = cachedPostgresDirectory(kSearchAccounts);
    sorvane::bench::warmPostgresDirectory(database);
    runSearchLatency(state, database);
}

// ---- login --------------------------------------------------------------------------------

constexpr int kLogins = 2000;

// Logins of random accounts one after the other on one keep-alive connection: the password
// check (cost 1 hashes, as seeded), the guessing throttle, the address written and the friend
// list read.
void runLoginLatency(benchmark::State& state, const std::string& database) {
    const auto server = startServer(SORVANE_DIRECTORY_EXE, database);
    KeepAliveClient client(server->port());
    std::mt19937_64 random(5);
    std::string body;
    const auto login = [&] {
        const std::uint64_t account = random() % kThroughputAccounts;
        return client.get("/messenger/c.php?u=" + percentEncode(accountName(account)) +
                              "&p=pw&ip=127.0.0.1&port=" + std::to_string(1024 + account % 60000),
                          body);
    };
    for (int i = 0; i < 100; ++i)
        login();
    for (auto _ : state) {
        std::vector<double> times;
        long failed = 0;
        const auto start = Clock::now();
        for (int i = 0; i < kLogins; ++i) {
            const auto before = Clock::now();
            failed += login() != 200 || body.rfind("OK\r\n", 0) != 0;
            times.push_back(
                std::chrono::duration<double, std::milli>(Clock::now() - before).count());
        }
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        using sorvane::bench::percentile;
        state.counters["logins"] = static_cast<double>(times.size());
        state.counters["median_ms"] = percentile(times, 0.5);
        state.counters["p99_ms"] = percentile(times, 0.99);
        state.counters["failed"] = static_cast<double>(failed);
        if (failed != 0)
            state.SkipWithError("a login was refused");
    }
}

void Login_Directory(benchmark::State& state) {
    runLoginLatency(state, cachedDirectory(kThroughputAccounts));
}

void Login_Postgres(benchmark::State& state) {
    runLoginLatency(state, cachedPostgresDirectory(kThroughputAccounts));
}

// ---- held fetches -------------------------------------------------------------------------

constexpr int kHeldFetches = 10000;
// What the README and the manual give a directory for 10 000 held fetches; the process raises
// its open-file limit itself as far as the system lets it.
const std::vector<std::string> kHeldFetchOptions = {"--max-connections", "16384"};
// Fetches are opened this many at a time, each group once the server has had time to hold the
// one before: until a fetch is held, its connection counts against its address's limit (64).
constexpr int kOpenAtOnce = 32;
constexpr auto kOpenEvery = std::chrono::milliseconds(20);

// Messengers that each keep a mailbox fetch held at the directory, all from 127.0.0.1 as from
// one office: one socket each, one thread for all of them. A fetch whose answer comes is sent
// again on its connection, as a messenger does; a connection the server closes is opened again.
class HeldFetches {
public:
    HeldFetches(int port, std::vector<std::string> targets)
        : port_(port), targets_(std::move(targets)), connections_(targets_.size()),
          epoll_(::epoll_create1(EPOLL_CLOEXEC)) {
        for (size_t i = 0; i < targets_.size(); ++i)
            toOpen_.push_back(i);
        thread_ = std::thread([this] { run(); });
    }
    ~HeldFetches() {
        stop_ = true;
        thread_.join();
        for (const Connection& c : connections_)
            if (c.fd >= 0)
                ::close(c.fd);
        ::close(epoll_);
    }

    long sent() const { return sent_; }
    long answered() const { return answered_; }
    long closed() const { return closed_; }
    // Fetches out without an answer: held at the directory.
    long held() const { return sent_ - answered_ - closed_; }

private:
    struct Connection {
        int fd = -1;
        std::string in;
    };

    void send(size_t i) {
        const std::string request = "GET " + targets_[i] + " HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
        if (::send(connections_[i].fd, request.data(), request.size(), MSG_NOSIGNAL) ==
            static_cast<ssize_t>(request.size()))
            ++sent_;
    }

    void open(size_t i) {
        Connection& c = connections_[i];
        c.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<std::uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (c.fd < 0 || ::connect(c.fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            drop(i);
            return;
        }
        epoll_event e{};
        e.events = EPOLLIN;
        e.data.u64 = i;
        ::epoll_ctl(epoll_, EPOLL_CTL_ADD, c.fd, &e);
        send(i);
    }

    void drop(size_t i) {
        Connection& c = connections_[i];
        if (c.fd >= 0)
            ::close(c.fd);
        c.fd = -1;
        c.in.clear();
        toOpen_.push_back(i);
    }

    // Takes the whole answers off the connection's input; false when it was closed.
    bool read(size_t i) {
        Connection& c = connections_[i];
        char buffer[4096];
        const ssize_t n = ::recv(c.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return false;
        if (n > 0)
            c.in.append(buffer, static_cast<size_t>(n));
        for (;;) {
            const size_t head = c.in.find("\r\n\r\n");
            if (head == std::string::npos)
                return true;
            const size_t length = c.in.find("Content-Length: ");
            const size_t body =
                length < head ? std::strtoul(c.in.c_str() + length + 16, nullptr, 10) : 0;
            if (c.in.size() < head + 4 + body)
                return true;
            c.in.erase(0, head + 4 + body);
            ++answered_;
            send(i);
        }
    }

    void run() {
        epoll_event events[256];
        auto openAt = Clock::now();
        while (!stop_) {
            if (!toOpen_.empty() && Clock::now() >= openAt) {
                for (int k = 0; k < kOpenAtOnce && !toOpen_.empty(); ++k) {
                    const size_t i = toOpen_.front();
                    toOpen_.pop_front();
                    open(i);
                }
                openAt = Clock::now() + kOpenEvery;
            }
            const int n = ::epoll_wait(epoll_, events, 256, 10);
            for (int k = 0; k < n; ++k) {
                const size_t i = events[k].data.u64;
                if (connections_[i].fd >= 0 && !read(i)) {
                    ++closed_;
                    drop(i);
                }
            }
        }
    }

    int port_;
    std::vector<std::string> targets_;
    std::vector<Connection> connections_;
    std::deque<size_t> toOpen_;
    int epoll_;
    std::atomic<bool> stop_{false};
    std::atomic<long> sent_{0}, answered_{0}, closed_{0};
    std::thread thread_;
};

// VmRSS of a process, in MB.
double residentMb(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stod(line.substr(6)) / 1024;
    return 0;
}

// c.php with an identity key for accounts 0 .. count - 1 from 127.0.0.1, four at a time; their
// fetch targets, each with the login's token.
std::vector<std::string> logInWithKeys(int port, int count) {
    const std::string key = "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo";
    std::vector<std::string> fetches(static_cast<size_t>(count));
    std::vector<std::thread> clients;
    for (int c = 0; c < 4; ++c)
        clients.emplace_back([&, c] {
            KeepAliveClient client(port);
            std::string body;
            for (int i = c; i < count; i += 4) {
                const std::string name = percentEncode(accountName(static_cast<std::uint64_t>(i)));
                client.get("/messenger/c.php?u=" + name + "&p=pw&ip=127.0.0.1&port=4000&k=" + key,
                           body);
                // "OK", the friend line, the token.
                const size_t token = body.find("\r\n", body.find("\r\n") + 2) + 2;
                fetches[static_cast<size_t>(i)] =
                    "/messenger/m.php?u=" + name +
                    "&t=" + body.substr(token, body.find("\r\n", token) - token) + "&wait=20";
            }
        });
    for (std::thread& t : clients)
        t.join();
    return fetches;
}

void Gphp_HeldFetches(benchmark::State& state) {
    // One socket per held fetch here as in the server.
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    files.rlim_cur = files.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &files);
    if (files.rlim_cur < kHeldFetches + 256) {
        state.SkipWithError("this process may not open enough files for the held fetches");
        return;
    }
    // A copy: the logins give the accounts keys, which the other figures' directory has not.
    const std::filesystem::path copy =
        std::filesystem::temp_directory_path() / ("sorvane-held-" + std::to_string(::getpid()));
    std::filesystem::create_directories(copy);
    const std::filesystem::path original = cachedDirectory(kThroughputAccounts);
    for (const char* suffix : {"", "-wal"})
        if (std::filesystem::exists(original.string() + suffix))
            std::filesystem::copy_file(original.string() + suffix,
                                       copy / (std::string("directory.db") + suffix));
    {
        TestDirectoryServer::Options options;
        options.observedAddress = true;
        options.database = (copy / "directory.db").string();
        options.extraArgs = kHeldFetchOptions;
        TestDirectoryServer server(options);
        const std::vector<std::string> fetches = logInWithKeys(server.port(), kHeldFetches);
        addressLoad(server.port(), kWarmUpRequests);
        for (auto _ : state) {
            const LoadResult none = addressLoad(server.port(), kLoadRequests);
            state.counters["rss_mb_none_held"] = residentMb(server.pid());
            HeldFetches held(server.port(), fetches);
            const auto opening = Clock::now() + std::chrono::seconds(30);
            while (held.sent() < kHeldFetches && Clock::now() < opening)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::this_thread::sleep_for(std::chrono::seconds(1));
            const long heldBefore = held.held();
            state.counters["rss_mb_held"] = residentMb(server.pid());
            const LoadResult r = addressLoad(server.port(), kLoadRequests);
            state.SetIterationTime(r.seconds);
            state.counters["held"] = static_cast<double>(std::min(heldBefore, held.held()));
            state.counters["requests_per_s"] = static_cast<double>(r.requests) / r.seconds;
            state.counters["requests_per_s_none_held"] =
                static_cast<double>(none.requests) / none.seconds;
            state.counters["failed"] = static_cast<double>(r.failed + none.failed);
            if (r.failed + none.failed != 0)
                state.SkipWithError("some requests failed");
            else if (std::min(heldBefore, held.held()) < kHeldFetches)
                state.SkipWithError("not every fetch was held through the measurement");
        }
    }
    std::filesystem::remove_all(copy);
}

BENCHMARK(Gphp_Directory)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Gphp_Postgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Gphp_NginxOneServer)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Gphp_NginxTwoServers)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Gphp_SameLibraryConstantBody)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(SearchLatency)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(SearchLatency_Postgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Login_Directory)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Login_Postgres)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(Gphp_HeldFetches)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

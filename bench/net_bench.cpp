// The TCP endpoints on loopback, each next to its floor, bare sockets doing the same work, the
// two measured interleaved in rounds (rounds.h):
//  - ListenerLines: lines per second one listener takes from 20 concurrent senders, one line per
//    connection as peers send them, every line checked to arrive exactly once; the floor is a
//    bare accept loop on ten threads;
//  - RoundTrip: one connect + send of a line + the listener reading it and closing.
#include "net/sockets.h"
#include "rounds.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

using sorvane::net::TCustomIpClient;
using sorvane::net::TCustomTcpServer;
using sorvane::net::TTcpClient;
using sorvane::net::TTcpServer;

using Clock = std::chrono::steady_clock;

constexpr int kSenders = 20;
constexpr int kLines = 5000;       // lines per run of a listener
constexpr int kListenerRounds = 5; // a run of each listener per round
constexpr int kRoundTripRounds = 9;
constexpr int kRoundTripsPerRound = 1000;
constexpr int kBareThreads = 10;
constexpr int kBacklog = TCustomTcpServer::ListenBacklog; // the same queue for both listeners

sockaddr_in Loopback(std::uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

std::uint16_t PortOf(int fd) {
    sockaddr_in a{};
    socklen_t length = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &length);
    return ntohs(a.sin_port);
}

int BareConnect(std::uint16_t port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(port);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Waits until the other side closes.
void WaitForClose(int fd) {
    char buffer[64];
    while (recv(fd, buffer, sizeof buffer, 0) > 0) {
    }
}

// One line on its own connection, as a peer sends a message; the sender keeps the connection
// until the listener has closed it.
bool SendOne(std::uint16_t port, const std::string& line) {
    const int fd = BareConnect(port);
    if (fd < 0)
        return false;
    const bool sent =
        send(fd, line.data(), line.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(line.size());
    WaitForClose(fd);
    close(fd);
    return sent;
}

// Every line carries its number; each must arrive exactly once.
struct Tally {
    std::unique_ptr<std::atomic<int>[]> seen { new std::atomic<int>[ kLines ]() };
    std::atomic<int> received{0};
    std::atomic<int> bad{0};

    void Reset() {
        for (int i = 0; i < kLines; ++i)
            seen[i] = 0;
        received = 0;
        bad = 0;
    }
    void Take(const std::string& line) {
        const int n = std::atoi(line.c_str() + line.find(' ') + 1);
        if (n < 0 || n >= kLines || seen[n]++ != 0)
            ++bad;
        ++received;
    }
    int lost() const {
        int missing = 0;
        for (int i = 0; i < kLines; ++i)
            missing += seen[i].load() == 0;
        return missing;
    }
};

void RunSenders(std::uint16_t port, std::atomic<int>& failed) {
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int i = s; i < kLines; i += kSenders)
                if (!SendOne(port,
                             "<sender" + std::to_string(s) + "> " + std::to_string(i) + "\r\n"))
                    ++failed;
        });
    for (std::thread& t : senders)
        t.join();
}

// Faults summed over every run.
struct Faults {
    int lost = 0, bad = 0;
    std::atomic<int> sendFailed{0};
    void Add(const Tally& tally) {
        lost += tally.lost();
        bad += tally.bad.load();
    }
    bool any() const { return lost != 0 || bad != 0 || sendFailed.load() != 0; }
};

double Seconds(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

// One run of kLines lines into the listener; lines per second.
double TTcpServerRun(Tally& tally, Faults& faults) {
    tally.Reset();
    TTcpServer server;
    server.setLocalHost("127.0.0.1");
    server.setLocalPort("0");
    server.OnAccept = [&](TCustomTcpServer&, TCustomIpClient& client) {
        tally.Take(client.ReceiveLine());
    };
    server.setActive(true);
    const std::uint16_t port = PortOf(server.handle());
    const auto start = Clock::now();
    RunSenders(port, faults.sendFailed);
    const double seconds = Seconds(start);
    server.setActive(false);
    faults.Add(tally);
    return kLines / seconds;
}

// The same work with ten threads that each accept and read for themselves.
double BareAcceptLoopRun(Tally& tally, Faults& faults) {
    tally.Reset();
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(0);
    bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    listen(listener, kBacklog);
    std::vector<std::thread> acceptors;
    for (int t = 0; t < kBareThreads; ++t)
        acceptors.emplace_back([&] {
            for (;;) {
                const int fd = accept(listener, nullptr, nullptr);
                if (fd < 0)
                    return; // the listener was shut down
                std::string line;
                char c;
                while (recv(fd, &c, 1, 0) == 1 && c != '\n')
                    line += c;
                tally.Take(line);
                close(fd);
            }
        });
    const std::uint16_t port = PortOf(listener);
    const auto start = Clock::now();
    RunSenders(port, faults.sendFailed);
    const double seconds = Seconds(start);
    shutdown(listener, SHUT_RDWR);
    for (std::thread& t : acceptors)
        t.join();
    close(listener);
    faults.Add(tally);
    return kLines / seconds;
}

// Lines per second of the listener next to the bare accept loop; the ratio is the listener's
// share of the floor's throughput (higher is better). A line lost, doubled or not sent in any
// run, the warm-up's included, makes the whole figure an error.
void ListenerLines(benchmark::State& state) {
    Tally tally;
    Faults faults;
    for (auto _ : state) {
        // The first runs pay for the threads' stacks and the sockets' memory: not counted.
        BareAcceptLoopRun(tally, faults);
        TTcpServerRun(tally, faults);
        const sorvane::bench::Rounds rounds = sorvane::bench::interleave(
            kListenerRounds, [&] { return BareAcceptLoopRun(tally, faults); },
            [&] { return TTcpServerRun(tally, faults); });
        rounds.report(state);
        state.SetIterationTime(1);
    }
    state.counters["lines_per_run"] = kLines;
    state.counters["lost"] = faults.lost;
    state.counters["doubled_or_bad"] = faults.bad;
    state.counters["send_failed"] = faults.sendFailed.load();
    if (faults.any())
        state.SkipWithError("lines were lost, doubled or not sent");
}

// A bare listener on its own thread that reads one line per connection and closes it.
class BareLineListener {
public:
    BareLineListener() {
        listener_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const sockaddr_in a = Loopback(0);
        bind(listener_, reinterpret_cast<const sockaddr*>(&a), sizeof a);
        listen(listener_, kBacklog);
        port_ = PortOf(listener_);
        acceptor_ = std::thread([this] {
            for (;;) {
                const int fd = accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    return;
                std::string line;
                char c;
                while (recv(fd, &c, 1, 0) == 1 && c != '\n')
                    line += c;
                benchmark::DoNotOptimize(line);
                close(fd);
            }
        });
    }
    ~BareLineListener() {
        shutdown(listener_, SHUT_RDWR);
        acceptor_.join();
        close(listener_);
    }
    std::uint16_t port() const { return port_; }

private:
    int listener_ = -1;
    std::uint16_t port_ = 0;
    std::thread acceptor_;
};

// One connect + SendLine + the listener reading the line and closing, TTcpClient to TTcpServer,
// next to the same with bare sockets on both ends; microseconds per round trip.
void RoundTrip(benchmark::State& state) {
    TTcpServer server;
    server.setLocalHost("127.0.0.1");
    server.setLocalPort("0");
    server.OnAccept = [](TCustomTcpServer&, TCustomIpClient& client) {
        benchmark::DoNotOptimize(client.ReceiveLine());
    };
    server.setActive(true);
    if (!server.listening()) {
        state.SkipWithError("listener did not open");
        return;
    }
    TTcpClient client;
    client.setRemoteHost("127.0.0.1");
    client.setRemotePort(std::to_string(PortOf(server.handle())));
    BareLineListener bare;
    const std::string line = "<ann> hello\r\n";
    const auto endpoints = [&](int count) {
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            client.setActive(false);
            client.setActive(true);
            client.SendLine("<ann> hello");
            // Empty text once the listener has read the line and closed the connection.
            benchmark::DoNotOptimize(client.ReceiveLine());
        }
        client.setActive(false);
        return Seconds(start) * 1e6 / count;
    };
    const auto bareSockets = [&](int count) {
        const auto start = Clock::now();
        for (int i = 0; i < count; ++i) {
            const int fd = BareConnect(bare.port());
            send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            WaitForClose(fd);
            close(fd);
        }
        return Seconds(start) * 1e6 / count;
    };
    for (auto _ : state) {
        bareSockets(kRoundTripsPerRound / 4);
        endpoints(kRoundTripsPerRound / 4);
        const sorvane::bench::Rounds rounds = sorvane::bench::interleave(
            kRoundTripRounds, [&] { return bareSockets(kRoundTripsPerRound); },
            [&] { return endpoints(kRoundTripsPerRound); });
        rounds.report(state);
        state.SetIterationTime(1);
    }
}

BENCHMARK(ListenerLines)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(RoundTrip)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

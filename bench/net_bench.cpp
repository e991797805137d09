// The TCP endpoints on loopback, each next to bare sockets doing the same work:
//  - Listener*: lines per second one listener takes from 20 concurrent senders, one line per
//    connection as peers send them, every line checked to arrive exactly once;
//  - RoundTrip*: one connect + send of a line + the listener reading it and closing.
#include "net/sockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
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

constexpr int kSenders = 20;
constexpr int kLines = 10000;
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
};

void Report(benchmark::State& state, const Faults& faults) {
    state.SetItemsProcessed(state.iterations() * kLines);
    state.counters["lost"] = faults.lost;
    state.counters["doubled_or_bad"] = faults.bad;
    state.counters["send_failed"] = faults.sendFailed.load();
    if (faults.lost != 0 || faults.bad != 0 || faults.sendFailed.load() != 0)
        state.SkipWithError("lines were lost, doubled or not sent");
}

void ListenerLines_TTcpServer(benchmark::State& state) {
    Tally tally;
    Faults faults;
    for (auto _ : state) {
        state.PauseTiming();
        tally.Reset();
        TTcpServer server;
        server.setLocalHost("127.0.0.1");
        server.setLocalPort("0");
        server.OnAccept = [&](TCustomTcpServer&, TCustomIpClient& client) {
            tally.Take(client.ReceiveLine());
        };
        server.setActive(true);
        const std::uint16_t port = PortOf(server.handle());
        state.ResumeTiming();
        RunSenders(port, faults.sendFailed);
        state.PauseTiming();
        server.setActive(false);
        faults.Add(tally);
        state.ResumeTiming();
    }
    Report(state, faults);
}

// The same work with ten threads that each accept and read for themselves.
void ListenerLines_BareAcceptLoop(benchmark::State& state) {
    Tally tally;
    Faults faults;
    for (auto _ : state) {
        state.PauseTiming();
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
        state.ResumeTiming();
        RunSenders(port, faults.sendFailed);
        state.PauseTiming();
        shutdown(listener, SHUT_RDWR);
        for (std::thread& t : acceptors)
            t.join();
        close(listener);
        faults.Add(tally);
        state.ResumeTiming();
    }
    Report(state, faults);
}

void RoundTrip_TTcpClientToTTcpServer(benchmark::State& state) {
    TTcpServer server;
    server.setLocalHost("127.0.0.1");
    server.setLocalPort("0");
    server.OnAccept = [](TCustomTcpServer&, TCustomIpClient& client) {
        benchmark::DoNotOptimize(client.ReceiveLine());
    };
    server.setActive(true);
    TTcpClient client;
    client.setRemoteHost("127.0.0.1");
    client.setRemotePort(std::to_string(PortOf(server.handle())));
    for (auto _ : state) {
        client.setActive(false);
        client.setActive(true);
        client.SendLine("<ann> hello");
        // Empty text once the listener has read the line and closed the connection.
        benchmark::DoNotOptimize(client.ReceiveLine());
    }
    client.setActive(false);
    if (!client.remotePort().empty() && !server.listening())
        state.SkipWithError("listener did not open");
}

void RoundTrip_BareSockets(benchmark::State& state) {
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in a = Loopback(0);
    bind(listener, reinterpret_cast<const sockaddr*>(&a), sizeof a);
    listen(listener, kBacklog);
    std::thread acceptor([&] {
        for (;;) {
            const int fd = accept(listener, nullptr, nullptr);
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
    const std::uint16_t port = PortOf(listener);
    const std::string line = "<ann> hello\r\n";
    for (auto _ : state) {
        const int fd = BareConnect(port);
        send(fd, line.data(), line.size(), MSG_NOSIGNAL);
        WaitForClose(fd);
        close(fd);
    }
    shutdown(listener, SHUT_RDWR);
    acceptor.join();
    close(listener);
}

// Whole runs of 10 000 connections: few of them, and the time is the wall clock's.
BENCHMARK(ListenerLines_TTcpServer)->Iterations(3)->UseRealTime()->Unit(benchmark::kMillisecond);
BENCHMARK(ListenerLines_BareAcceptLoop)
    ->Iterations(3)
    ->UseRealTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(RoundTrip_TTcpClientToTTcpServer)->UseRealTime()->Unit(benchmark::kMicrosecond);
BENCHMARK(RoundTrip_BareSockets)->UseRealTime()->Unit(benchmark::kMicrosecond);

} // namespace

BENCHMARK_MAIN();

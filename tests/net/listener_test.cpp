// The listener: OnAccept on pooled connection threads, the pool's limit and reuse, a failing
// handler, the read limits, and closing or destroying it while threads are at work.
#include "loopback.h"
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <set>
#include <stdexcept>
#include <vector>

using namespace std::chrono_literals;
using sorvane::net::TCustomIpClient;
using sorvane::net::TCustomTcpServer;
using sorvane::net::TServerSocketThread;
using sorvane::net::TTcpServer;

namespace {

// What the handlers saw, shared with the test thread.
struct Seen {
    std::mutex mutex;
    std::vector<std::string> lines;
    std::vector<std::string> hosts; // the peer's address of each line
    std::set<std::thread::id> threads;
    std::atomic<int> entered{0};

    void Serve(TCustomIpClient& client) {
        ++entered;
        std::string line = client.ReceiveLine();
        std::lock_guard lock(mutex);
        lines.push_back(std::move(line));
        hosts.push_back(client.remoteHost());
        threads.insert(std::this_thread::get_id());
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return lines.size();
    }
    bool WaitFor(std::size_t n) {
        return loopback::WaitUntil([&] { return count() >= n; });
    }
};

class Listener : public testing::Test {
protected:
    Listener() {
        server->setLocalHost("127.0.0.1");
        server->setLocalPort("0");
        server->OnAccept = [seen = seen](TCustomTcpServer&, TCustomIpClient& c) { seen->Serve(c); };
    }
    std::uint16_t Open() {
        server->setActive(true);
        EXPECT_TRUE(server->listening());
        return loopback::LocalPort(server->handle());
    }
    // One line on a new connection; returns once the listener has closed it.
    void Exchange(const std::string& line) {
        loopback::Fd fd = loopback::Connect(port);
        loopback::Send(*fd, line + "\r\n");
        EXPECT_TRUE(loopback::ReadToClose(*fd));
    }
    TServerSocketThread& acceptThread() { return *server->serverSocketThread(); }
    bool AllIdle() { return acceptThread().idleCount() == acceptThread().poolSize(); }

    std::shared_ptr<Seen> seen = std::make_shared<Seen>();
    std::unique_ptr<TTcpServer> server = std::make_unique<TTcpServer>();
    std::uint16_t port = 0;
};

TEST_F(Listener, CallsOnAcceptOnAConnectionThreadWithThePeer) {
    std::string peer;
    TCustomTcpServer* sender = nullptr;
    server->OnAccept = [&](TCustomTcpServer& s, TCustomIpClient& client) {
        sender = &s;
        peer = client.remoteHost() + ":" + client.remotePort();
        EXPECT_EQ(client.readTimeout(), 5000ms);
        EXPECT_EQ(client.maxLineLength(), 1u << 20);
        seen->Serve(client);
    };
    port = Open(); // port "0": the system picks one
    EXPECT_NE(port, 0);
    loopback::Fd fd = loopback::Connect(port);
    loopback::Send(*fd, "<ann> hi\r\nnot read\r\n");
    EXPECT_EQ(loopback::ReadToClose(*fd), ""); // closed after the handler, nothing sent
    ASSERT_TRUE(seen->WaitFor(1));
    ASSERT_EQ(seen->lines, std::vector<std::string>{"<ann> hi"});
    EXPECT_FALSE(seen->threads.count(std::this_thread::get_id()));
    EXPECT_EQ(sender, server.get());
    EXPECT_EQ(peer, "127.0.0.1:" + std::to_string(loopback::LocalPort(*fd)));
}

TEST_F(Listener, PortInUseLeavesItActiveButNotListening) {
    loopback::Listener other;
    server->setLocalPort(other.port());
    EXPECT_NO_THROW(server->setActive(true));
    EXPECT_TRUE(server->active());
    EXPECT_FALSE(server->listening());
    EXPECT_EQ(server->serverSocketThread(), nullptr);
    EXPECT_EQ(server->runningThreadCount(), 0u);
}

TEST_F(Listener, EleventhConnectionWaitsUntilAThreadIsFree) {
    std::mutex gate;
    std::unique_lock closed(gate);
    server->OnAccept = [&](TCustomTcpServer&, TCustomIpClient& client) {
        std::lock_guard wait(gate);
        seen->Serve(client);
    };
    port = Open();
    std::vector<loopback::Fd> peers;
    // From four hosts: one host alone may hold only three connection threads.
    const char* hosts[] = {"127.0.0.2", "127.0.0.3", "127.0.0.4", "127.0.0.5"};
    for (int i = 0; i < 11; ++i) {
        peers.push_back(loopback::ConnectFrom(hosts[i / 3], port));
        loopback::Send(*peers.back(), std::to_string(i) + "\r\n");
    }
    ASSERT_TRUE(loopback::WaitUntil(
        [&] { return acceptThread().idleCount() == 0 && acceptThread().poolSize() == 10; }));
    std::this_thread::sleep_for(300ms);
    EXPECT_EQ(acceptThread().poolSize(), TServerSocketThread::PoolLimit);
    EXPECT_EQ(seen->count(), 0u);
    closed.unlock();
    ASSERT_TRUE(seen->WaitFor(11));
    EXPECT_EQ(std::set<std::string>(seen->lines.begin(), seen->lines.end()).size(), 11u);
}

TEST_F(Listener, ThreadsAreReused) {
    port = Open();
    for (int i = 0; i < 20; ++i) { // one after another: the idle thread takes the next
        Exchange("s" + std::to_string(i));
        ASSERT_TRUE(loopback::WaitUntil([&] { return AllIdle(); }));
    }
    EXPECT_EQ(acceptThread().poolSize(), 1u);
    EXPECT_EQ(seen->threads.size(), 1u);
    std::vector<std::thread> senders; // at once: never more threads than the limit
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&] {
            for (int i = 0; i < 10; ++i)
                Exchange("c");
        });
    for (std::thread& s : senders)
        s.join();
    EXPECT_LE(acceptThread().poolSize(), TServerSocketThread::PoolLimit);
    std::lock_guard lock(seen->mutex);
    EXPECT_LE(seen->threads.size(), TServerSocketThread::PoolLimit);
}

TEST_F(Listener, ExceptionInOnAcceptEndsOnlyThatThread) {
    server->OnAccept = [&](TCustomTcpServer&, TCustomIpClient& client) {
        seen->Serve(client);
        if (seen->count() == 2)
            throw std::runtime_error("handler failed");
    };
    port = Open();
    Exchange("one");
    ASSERT_TRUE(loopback::WaitUntil([&] { return AllIdle(); }));
    Exchange("boom"); // its connection is still closed
    ASSERT_TRUE(loopback::WaitUntil([&] { return acceptThread().poolSize() == 0; }));
    EXPECT_TRUE(loopback::WaitUntil([&] { return server->runningThreadCount() == 1; }));
    Exchange("three");
    EXPECT_EQ(seen->count(), 3u);
    EXPECT_EQ(acceptThread().poolSize(), 1u);
}

TEST_F(Listener, ReadLimitsEndSilentAndEndlessPeers) {
    server->setConnectionReadTimeout(200ms);
    port = Open();
    loopback::Fd silent = loopback::Connect(port);
    const auto start = loopback::Clock::now();
    ASSERT_TRUE(seen->WaitFor(1));
    EXPECT_GE(loopback::Clock::now() - start, 150ms);
    loopback::Fd endless = loopback::Connect(port);
    loopback::Send(*endless, std::string((1u << 20) + 4096, 'f'));
    ASSERT_TRUE(seen->WaitFor(2));
    EXPECT_EQ(seen->lines, (std::vector<std::string>{"", std::string(1u << 20, 'f')}));
}

TEST_F(Listener, SilentConnectionsDoNotStarveALine) {
    server->setConnectionReadTimeout(2000ms);
    port = Open();
    std::vector<loopback::Fd> silent;
    for (int i = 0; i < 30; ++i) // from ten hosts, none at its limit
        silent.push_back(
            loopback::ConnectFrom(("127.0.0." + std::to_string(2 + i % 10)).c_str(), port));
    // The last free thread sets the silent ones aside instead of waiting on them.
    ASSERT_TRUE(loopback::WaitUntil([&] { return acceptThread().parkedCount() == 21; }));
    EXPECT_EQ(seen->entered, 9);

    const auto start = loopback::Clock::now();
    loopback::Fd fd = loopback::Connect(port);
    loopback::Send(*fd, "through\r\n");
    ASSERT_TRUE(seen->WaitFor(1));
    EXPECT_LT(loopback::Clock::now() - start, 500ms);
    EXPECT_EQ(seen->lines, std::vector<std::string>{"through"});

    // A parked one that speaks up is served with its line; the rest are handed to OnAccept
    // as silent peers once their read time-out is over, and closed.
    loopback::Send(*silent.back(), "late\r\n");
    ASSERT_TRUE(loopback::WaitUntil([&] { return seen->count() >= 2; }, 500ms));
    ASSERT_TRUE(seen->WaitFor(31));
    for (const loopback::Fd& s : silent)
        EXPECT_TRUE(loopback::ReadToClose(*s, 2s));
    EXPECT_EQ(acceptThread().parkedCount(), 0u);
    std::lock_guard lock(seen->mutex);
    EXPECT_EQ(std::count(seen->lines.begin(), seen->lines.end(), ""), 29);
    EXPECT_EQ(std::count(seen->lines.begin(), seen->lines.end(), "late"), 1);
    // A connection that waited set aside still knows who it came from.
    const auto late = std::find(seen->lines.begin(), seen->lines.end(), "late");
    EXPECT_EQ(seen->hosts[static_cast<std::size_t>(late - seen->lines.begin())], "127.0.0.11");
}

TEST_F(Listener, ADrippingHostIsCutOffAndHoldsAtMostThreeThreads) {
    // Ten connections from one host, each dripping a byte more often than the read time-out.
    server->setConnectionReadTimeout(1000ms);
    server->setConnectionLineTimeout(1500ms);
    const std::string dripHost = "127.0.0.2";
    std::mutex mutex;
    std::map<std::string, int> serving;
    int mostFromDripHost = 0;
    server->OnAccept = [&, seen = seen](TCustomTcpServer&, TCustomIpClient& client) {
        const std::string host = client.remoteHost();
        {
            std::lock_guard lock(mutex);
            if (++serving[host] > mostFromDripHost && host == dripHost)
                mostFromDripHost = serving[host];
        }
        seen->Serve(client);
        std::lock_guard lock(mutex);
        --serving[host];
    };
    port = Open();
    std::vector<loopback::Fd> drips;
    for (int i = 0; i < 10; ++i)
        drips.push_back(loopback::ConnectFrom(dripHost.c_str(), port));
    std::atomic<bool> dripping{true};
    std::thread dripper([&] {
        for (int round = 0; round < 25 && dripping; ++round) {
            for (const loopback::Fd& fd : drips)
                send(*fd, "x", 1, MSG_NOSIGNAL);
            std::this_thread::sleep_for(200ms);
        }
    });

    // Another host's lines are served at once meanwhile.
    for (int i = 0; i < 3; ++i) {
        loopback::Fd fd = loopback::ConnectFrom("127.0.0.3", port);
        loopback::Send(*fd, "other " + std::to_string(i) + "\r\n");
        EXPECT_TRUE(loopback::ReadToClose(*fd, 1s)) << i;
    }
    // Each dripping connection is closed at its line deadline, although it keeps sending.
    for (const loopback::Fd& fd : drips)
        EXPECT_TRUE(loopback::ReadToClose(*fd, 3s));
    dripping = false;
    dripper.join();

    // The host is served as any other once it sends a whole line.
    loopback::Fd fd = loopback::ConnectFrom(dripHost.c_str(), port);
    loopback::Send(*fd, "real\r\n");
    EXPECT_TRUE(loopback::ReadToClose(*fd, 1s));
    server.reset(); // no handler runs once what it writes to is gone
    EXPECT_LE(mostFromDripHost, 3);
    std::lock_guard lock(seen->mutex);
    for (const char* line : {"other 0", "other 1", "other 2", "real"})
        EXPECT_EQ(std::count(seen->lines.begin(), seen->lines.end(), line), 1) << line;
}

TEST_F(Listener, ClosingWakesAndEndsEveryThreadAndFreesThePort) {
    port = Open();
    for (int i = 0; i < 3; ++i)
        Exchange("warm");
    std::vector<loopback::Fd> silent; // handlers that would wait 5 s for a line
    for (int i = 0; i < 3; ++i)
        silent.push_back(loopback::Connect(port));
    ASSERT_TRUE(loopback::WaitUntil([&] { return seen->entered == 6; }));

    const auto start = loopback::Clock::now();
    server->setActive(false);
    EXPECT_LT(loopback::Clock::now() - start, 2s);
    EXPECT_EQ(server->runningThreadCount(), 0u);
    EXPECT_EQ(server->serverSocketThread(), nullptr);
    EXPECT_EQ(seen->count(), 6u);
    for (const loopback::Fd& fd : silent)
        EXPECT_TRUE(loopback::ReadToClose(*fd, 100ms));

    server->setLocalPort(std::to_string(port));
    server->setActive(true);
    EXPECT_TRUE(server->listening());
    Exchange("again");
    EXPECT_EQ(seen->count(), 7u);
}

TEST_F(Listener, ClosingFromInsideAHandlerDoesNotWaitForItself) {
    server->OnAccept = [&](TCustomTcpServer& sender, TCustomIpClient& client) {
        seen->Serve(client);
        sender.setActive(false);
    };
    port = Open();
    Exchange("last");
    EXPECT_TRUE(loopback::WaitUntil([&] { return server->runningThreadCount() == 0; }));
    EXPECT_FALSE(server->active());
}

TEST_F(Listener, DestroyingItEndsEveryThread) {
    port = Open();
    loopback::Fd silent = loopback::Connect(port);
    loopback::Fd half = loopback::Connect(port);
    loopback::Send(*half, "half a li");
    ASSERT_TRUE(loopback::WaitUntil([&] { return seen->entered == 2; }));
    const auto start = loopback::Clock::now();
    server.reset();
    EXPECT_LT(loopback::Clock::now() - start, 2s);
    EXPECT_TRUE(loopback::ReadToClose(*silent, 100ms));
    EXPECT_EQ(seen->count(), 2u);
}

} // namespace

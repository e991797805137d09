// The listener: accepting on pooled connection threads, the pool's limit and reuse, failures in
// handlers, and closing and destroying with threads at work.
#include "loopback.h"
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <memory>
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
    std::condition_variable changed;
    std::vector<std::string> lines;
    std::vector<std::thread::id> threads;
    std::string remoteHost, remotePort;
    std::chrono::milliseconds readTimeout{};
    std::size_t maxLineLength = 0;
    int inside = 0, mostInside = 0;
    std::atomic<int> entered{0}; // handlers that have started

    void Record(TCustomIpClient& client, const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
        threads.push_back(std::this_thread::get_id());
        remoteHost = client.remoteHost();
        remotePort = client.remotePort();
        readTimeout = client.readTimeout();
        maxLineLength = client.maxLineLength();
        changed.notify_all();
    }
    std::size_t count() {
        std::lock_guard lock(mutex);
        return lines.size();
    }
    bool WaitForLines(std::size_t n, std::chrono::milliseconds limit = 5000ms) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, limit, [&] { return lines.size() >= n; });
    }
};

class Listener : public testing::Test {
protected:
    void SetUp() override {
        server.setLocalHost("127.0.0.1");
        server.setLocalPort("0");
    }
    // Opens the server on a free port and returns the port.
    std::uint16_t Open() {
        server.setActive(true);
        EXPECT_TRUE(server.listening());
        return server.listening() ? loopback::LocalPort(server.handle()) : 0;
    }
    void ReadOneLine() {
        server.OnAccept = [this](TCustomTcpServer&, TCustomIpClient& client) {
            ++seen.entered;
            seen.Record(client, client.ReceiveLine());
        };
    }
    // Sends one line on a new connection and waits until the listener has closed it.
    void Exchange(std::uint16_t port, const std::string& line) {
        loopback::Fd fd = loopback::Connect(port);
        loopback::SendAll(fd.get(), line + "\r\n");
        EXPECT_TRUE(loopback::PeerClosed(fd.get()));
    }
    TServerSocketThread& acceptThread() { return *server.serverSocketThread(); }
    std::size_t Busy() { return acceptThread().poolSize() - acceptThread().idleCount(); }
    bool AllIdle() { return Busy() == 0; }

    Seen seen;
    TTcpServer server;
};

TEST_F(Listener, CallsOnAcceptOnAConnectionThreadWithThePeer) {
    const TCustomTcpServer* sender = nullptr;
    server.OnAccept = [&](TCustomTcpServer& s, TCustomIpClient& client) {
        sender = &s;
        seen.Record(client, client.ReceiveLine());
    };
    const std::uint16_t port = Open();
    ASSERT_NE(server.serverSocketThread(), nullptr);

    loopback::Fd fd = loopback::Connect(port);
    loopback::SendAll(fd.get(), "<ann> hi\r\nnot read\r\n");
    ASSERT_TRUE(seen.WaitForLines(1));
    EXPECT_TRUE(loopback::PeerClosed(fd.get())); // closed after the handler

    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.lines[0], "<ann> hi");
    EXPECT_NE(seen.threads[0], std::this_thread::get_id());
    EXPECT_EQ(sender, &server);
    EXPECT_EQ(seen.remoteHost, "127.0.0.1");
    EXPECT_EQ(seen.remotePort, std::to_string(loopback::LocalPort(fd.get())));
    EXPECT_EQ(seen.readTimeout, 5000ms);
    EXPECT_EQ(seen.maxLineLength, 1u << 20);
}

TEST_F(Listener, PortInUseLeavesItActiveButNotListening) {
    loopback::Listener other;
    server.setLocalPort(other.portText());
    EXPECT_NO_THROW(server.setActive(true));
    EXPECT_TRUE(server.active());
    EXPECT_FALSE(server.listening());
    EXPECT_EQ(server.serverSocketThread(), nullptr);
    EXPECT_EQ(server.runningThreadCount(), 0u);
}

TEST_F(Listener, BadPortTextRaisesAndLeavesItNotListening) {
    server.setLocalPort("abc");
    EXPECT_THROW(server.setActive(true), sorvane::net::EConvertError);
    EXPECT_TRUE(server.active());
    EXPECT_FALSE(server.listening());
}

TEST_F(Listener, PortZeroListensOnAPortTheSystemPicks) {
    ReadOneLine();
    const std::uint16_t port = Open();
    EXPECT_NE(port, 0);
    Exchange(port, "x");
    EXPECT_TRUE(seen.WaitForLines(1));
}

TEST_F(Listener, EleventhConnectionWaitsUntilAThreadIsFree) {
    std::mutex gateMutex;
    std::condition_variable gate;
    bool open = false;
    server.OnAccept = [&](TCustomTcpServer&, TCustomIpClient& client) {
        const std::string line = client.ReceiveLine();
        {
            std::lock_guard lock(seen.mutex);
            seen.mostInside = std::max(seen.mostInside, ++seen.inside);
        }
        {
            std::unique_lock lock(gateMutex);
            gate.wait(lock, [&] { return open; });
        }
        {
            std::lock_guard lock(seen.mutex);
            --seen.inside;
        }
        seen.Record(client, line);
    };
    const std::uint16_t port = Open();
    std::vector<loopback::Fd> peers;
    for (int i = 0; i < 11; ++i) {
        peers.push_back(loopback::Connect(port));
        loopback::SendAll(peers.back().get(), "n" + std::to_string(i) + "\r\n");
    }
    ASSERT_TRUE(loopback::WaitUntil([&] {
        std::lock_guard lock(seen.mutex);
        return seen.inside == 10;
    }));
    std::this_thread::sleep_for(300ms);
    {
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(seen.inside, 10);
        EXPECT_EQ(seen.lines.size(), 0u);
    }
    EXPECT_EQ(acceptThread().poolSize(), TServerSocketThread::PoolLimit);
    {
        std::lock_guard lock(gateMutex);
        open = true;
    }
    gate.notify_all();
    ASSERT_TRUE(seen.WaitForLines(11));
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.mostInside, 10);
    EXPECT_EQ(std::set<std::string>(seen.lines.begin(), seen.lines.end()).size(), 11u);
}

TEST_F(Listener, ThreadsAreReused) {
    ReadOneLine();
    const std::uint16_t port = Open();
    // One after another: the idle thread serves each next connection.
    for (int i = 0; i < 20; ++i) {
        Exchange(port, "s" + std::to_string(i));
        ASSERT_TRUE(loopback::WaitUntil([&] { return AllIdle(); }));
    }
    EXPECT_EQ(acceptThread().poolSize(), 1u);
    {
        std::lock_guard lock(seen.mutex);
        EXPECT_EQ(std::set<std::thread::id>(seen.threads.begin(), seen.threads.end()).size(), 1u);
    }
    // At once from several senders: never more than the pool limit.
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t)
        senders.emplace_back([&, t] {
            for (int i = 0; i < 10; ++i)
                Exchange(port, "c" + std::to_string(t) + "-" + std::to_string(i));
        });
    for (std::thread& s : senders)
        s.join();
    ASSERT_TRUE(seen.WaitForLines(60));
    EXPECT_LE(acceptThread().poolSize(), TServerSocketThread::PoolLimit);
    std::lock_guard lock(seen.mutex);
    EXPECT_LE(std::set<std::thread::id>(seen.threads.begin(), seen.threads.end()).size(),
              TServerSocketThread::PoolLimit);
}

TEST_F(Listener, ExceptionInOnAcceptEndsOnlyThatThread) {
    server.OnAccept = [&](TCustomTcpServer&, TCustomIpClient& client) {
        const std::string line = client.ReceiveLine();
        if (line == "boom")
            throw std::runtime_error("handler failed");
        seen.Record(client, line);
    };
    const std::uint16_t port = Open();
    Exchange(port, "one");
    ASSERT_TRUE(loopback::WaitUntil([&] { return AllIdle(); }));
    ASSERT_EQ(acceptThread().poolSize(), 1u);

    Exchange(port, "boom"); // the connection is still closed
    ASSERT_TRUE(loopback::WaitUntil([&] { return acceptThread().poolSize() == 0; }));
    EXPECT_TRUE(loopback::WaitUntil([&] { return server.runningThreadCount() == 1; }));

    Exchange(port, "two");
    ASSERT_TRUE(seen.WaitForLines(2));
    EXPECT_TRUE(server.listening());
    EXPECT_EQ(acceptThread().poolSize(), 1u);
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.lines, (std::vector<std::string>{"one", "two"}));
}

TEST_F(Listener, ReadLimitsApplyToAcceptedConnections) {
    ReadOneLine();
    server.setConnectionReadTimeout(200ms);
    const std::uint16_t port = Open();
    // Connects and never sends: the handler gets empty text after the time-out.
    loopback::Fd silent = loopback::Connect(port);
    const auto start = loopback::Clock::now();
    ASSERT_TRUE(seen.WaitForLines(1));
    const auto waited = loopback::Clock::now() - start;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 3s);
    // Sends without end: the line stops at 1 MiB.
    loopback::Fd flood = loopback::Connect(port);
    loopback::SendAll(flood.get(), std::string((1u << 20) + 4096, 'f'));
    ASSERT_TRUE(seen.WaitForLines(2));
    std::lock_guard lock(seen.mutex);
    EXPECT_EQ(seen.lines[0], "");
    EXPECT_EQ(seen.lines[1], std::string(1u << 20, 'f'));
}

TEST_F(Listener, ClosingWakesAndEndsEveryThread) {
    ReadOneLine();
    const std::uint16_t port = Open();
    // Idle threads, and three handlers waiting for peers that never send.
    for (int i = 0; i < 3; ++i)
        Exchange(port, "warm" + std::to_string(i));
    std::vector<loopback::Fd> silent;
    for (int i = 0; i < 3; ++i)
        silent.push_back(loopback::Connect(port));
    ASSERT_TRUE(loopback::WaitUntil([&] { return seen.entered == 6; }));

    const auto start = loopback::Clock::now();
    server.setActive(false);
    EXPECT_LT(loopback::Clock::now() - start, 2s); // far below the 5 s read time-out
    EXPECT_EQ(server.runningThreadCount(), 0u);
    EXPECT_EQ(server.serverSocketThread(), nullptr);
    EXPECT_FALSE(server.listening());
    for (const loopback::Fd& fd : silent)
        EXPECT_TRUE(loopback::PeerClosed(fd.get(), 100ms));
    EXPECT_EQ(seen.count(), 6u); // the waiting handlers got their (empty) text

    // The same port can be listened on again at once.
    server.setLocalPort(std::to_string(port));
    server.setActive(true);
    EXPECT_TRUE(server.listening());
    Exchange(port, "again");
    EXPECT_TRUE(seen.WaitForLines(7));
}

TEST_F(Listener, ClosingFromInsideAHandlerDoesNotWaitForItself) {
    server.OnAccept = [&](TCustomTcpServer& sender, TCustomIpClient& client) {
        seen.Record(client, client.ReceiveLine());
        sender.setActive(false);
    };
    const std::uint16_t port = Open();
    Exchange(port, "last");
    ASSERT_TRUE(seen.WaitForLines(1));
    EXPECT_TRUE(loopback::WaitUntil([&] { return server.runningThreadCount() == 0; }));
    EXPECT_FALSE(server.active());
}

TEST(ListenerLifetime, DestroyingTheServerEndsEveryThread) {
    auto seen = std::make_shared<Seen>();
    auto server = std::make_unique<TTcpServer>();
    server->setLocalHost("127.0.0.1");
    server->setLocalPort("0");
    server->OnAccept = [seen](TCustomTcpServer&, TCustomIpClient& client) {
        ++seen->entered;
        seen->Record(client, client.ReceiveLine());
    };
    server->setActive(true);
    ASSERT_TRUE(server->listening());
    const std::uint16_t port = loopback::LocalPort(server->handle());
    loopback::Fd silent = loopback::Connect(port);
    loopback::Fd sent = loopback::Connect(port);
    loopback::SendAll(sent.get(), "half a li");
    ASSERT_TRUE(loopback::WaitUntil([&] { return seen->entered == 2; }));

    const auto start = loopback::Clock::now();
    server.reset();
    EXPECT_LT(loopback::Clock::now() - start, 2s);
    EXPECT_TRUE(loopback::PeerClosed(silent.get(), 100ms));
    std::lock_guard lock(seen->mutex);
    EXPECT_EQ(seen->lines.size(), 2u);
}

} // namespace

// Opening a client: address building, the state after success and failure, the property
// setters that close, and the bounded connect.
#include "loopback.h"
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <vector>

using namespace std::chrono_literals;
using sorvane::net::EConvertError;
using sorvane::net::HostToDottedText;
using sorvane::net::PortTextToNumber;
using sorvane::net::TTcpClient;
using sorvane::net::TTcpServer;

namespace {

TEST(AddressBuilding, HostTexts) {
    const struct {
        const char* host;
        const char* dotted;
    } cases[] = {
        {"", "0.0.0.0"},
        {"127.0.0.1", "127.0.0.1"},
        {"127.1", "127.1"},       // the short dotted forms count as dotted
        {"1.2.3.4.5", ""},        // starts with a digit, so it is never looked up
        {"999.0.0.1", ""},
        {"4chan", ""},
        {"localhost", "127.0.0.1"},
        {"no-such-host.invalid", ""},
    };
    for (const auto& c : cases)
        EXPECT_EQ(HostToDottedText(c.host), c.dotted) << '"' << c.host << '"';
}

TEST(AddressBuilding, PortTexts) {
    EXPECT_EQ(PortTextToNumber(""), 0);
    EXPECT_EQ(PortTextToNumber("1000"), 1000);
    EXPECT_EQ(PortTextToNumber("http"), 80); // from the services database
    for (const char* bad : {"abc", "12a", " 12", "99999999999", "+"}) {
        try {
            PortTextToNumber(bad);
            ADD_FAILURE() << "no error for '" << bad << "'";
        } catch (const EConvertError& e) {
            EXPECT_EQ(std::string(e.what()), "'" + std::string(bad) + "' is not a valid integer value");
        }
    }
}

struct Probe {
    TTcpClient client;
    std::vector<int> errors;
    Probe(const std::string& host, const std::string& port) {
        client.OnError = [this](int code) { errors.push_back(code); };
        client.setRemoteHost(host);
        client.setRemotePort(port);
    }
};

TEST(ClientOpening, ConnectsToDottedAndNamedHosts) {
    loopback::Listener listener;
    for (const char* host : {"127.0.0.1", "localhost"}) {
        Probe probe(host, listener.portText());
        probe.client.setActive(true);
        EXPECT_TRUE(probe.client.active()) << host;
        EXPECT_TRUE(probe.client.connected()) << host;
        EXPECT_TRUE(listener.Accept()) << host;
    }
}

TEST(ClientOpening, HostsWithoutAUsableAddressFailQuietly) {
    // Something listens on 127.0.0.1 at that port: an empty host must still not reach it,
    // although the platform takes 0.0.0.0 for this machine.
    loopback::Listener listener;
    for (const char* host : {"", "0.0.0.0", "no-such-host.invalid", "1.2.3.4.5"}) {
        Probe probe(host, listener.portText());
        EXPECT_NO_THROW(probe.client.setActive(true)) << host;
        EXPECT_TRUE(probe.client.active()) << host;
        EXPECT_FALSE(probe.client.connected()) << host;
        EXPECT_FALSE(probe.errors.empty()) << host;
    }
    EXPECT_FALSE(listener.Pending(100ms));
}

TEST(ClientOpening, RefusedConnectLeavesTheSocketAndReportsTheError) {
    loopback::Listener bound(-1); // bound, not listening: connects are refused
    Probe probe("127.0.0.1", bound.portText());
    probe.client.setActive(true);
    EXPECT_TRUE(probe.client.active());
    EXPECT_FALSE(probe.client.connected());
    EXPECT_EQ(probe.errors, std::vector<int>{ECONNREFUSED});
    // Active already: a second open neither connects nor tries again.
    probe.client.setActive(true);
    EXPECT_FALSE(probe.client.connected());
    EXPECT_EQ(probe.errors.size(), 1u);
}

TEST(ClientOpening, BadPortTextRaisesAfterTheSocketExists) {
    Probe probe("127.0.0.1", "abc");
    try {
        probe.client.setActive(true);
        ADD_FAILURE() << "no conversion error";
    } catch (const EConvertError& e) {
        EXPECT_STREQ(e.what(), "'abc' is not a valid integer value");
    }
    EXPECT_TRUE(probe.client.active());
    EXPECT_FALSE(probe.client.connected());
}

TEST(ClientOpening, ServiceNamePortOnBothEnds) {
    TTcpServer server;
    server.setLocalHost("127.0.0.1");
    server.setLocalPort("http");
    server.setActive(true);
    if (!server.listening())
        GTEST_SKIP() << "port 80 on loopback is not available here";
    Probe probe("127.0.0.1", "http");
    probe.client.setActive(true);
    EXPECT_TRUE(probe.client.connected());
}

TEST(ClientOpening, SettingTextsClosesOnlyOnChange) {
    loopback::Listener listener;
    Probe probe("127.0.0.1", listener.portText());
    probe.client.setActive(true);
    ASSERT_TRUE(probe.client.connected());
    loopback::Fd peer = listener.Accept();
    const int handle = probe.client.handle();

    probe.client.setRemoteHost("127.0.0.1");
    probe.client.setRemotePort(listener.portText());
    probe.client.setActive(true); // a second open changes nothing either
    EXPECT_TRUE(probe.client.connected());
    EXPECT_EQ(probe.client.handle(), handle);
    EXPECT_FALSE(listener.Pending(100ms)); // no second connection was made

    probe.client.setRemoteHost("localhost");
    EXPECT_FALSE(probe.client.active());
    EXPECT_FALSE(probe.client.connected());
    EXPECT_EQ(probe.client.remoteHost(), "localhost");
    EXPECT_TRUE(loopback::PeerClosed(peer.get()));

    probe.client.setActive(true);
    ASSERT_TRUE(probe.client.connected());
    peer = listener.Accept();
    probe.client.setRemotePort("1");
    EXPECT_FALSE(probe.client.active());
    EXPECT_TRUE(loopback::PeerClosed(peer.get()));
}

TEST(ClientOpening, ConnectToAnUnansweringAddressGivesUpAtItsBound) {
    // A listener whose backlog is full drops further connection requests without an answer,
    // as an unreachable host would.
    loopback::Listener full(0);
    std::vector<loopback::Fd> fillers;
    for (int i = 0; i < 4; ++i) {
        loopback::Fd fd(socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        const sockaddr_in a = loopback::Address(full.port());
        connect(fd.get(), reinterpret_cast<const sockaddr*>(&a), sizeof a);
        fillers.push_back(std::move(fd));
    }
    std::this_thread::sleep_for(100ms);

    Probe probe("127.0.0.1", full.portText());
    EXPECT_EQ(probe.client.connectTimeout(), 3000ms);
    probe.client.setConnectTimeout(300ms);
    const auto start = loopback::Clock::now();
    probe.client.setActive(true);
    const auto waited = loopback::Clock::now() - start;
    EXPECT_TRUE(probe.client.active());
    EXPECT_FALSE(probe.client.connected());
    EXPECT_EQ(probe.errors, std::vector<int>{ETIMEDOUT});
    EXPECT_GE(waited, 250ms);
    EXPECT_LT(waited, 5s);
}

} // namespace

// Opening a client: address building, the state after success and failure, the setters that
// close, and the bounded connect.
#include "loopback.h"
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <vector>

using namespace std::chrono_literals;
using sorvane::net::EConvertError;

namespace {

TEST(AddressBuilding, HostAndPortTexts) {
    const std::pair<const char*, const char*> hosts[] = {{"", "0.0.0.0"},
                                                         {"127.0.0.1", "127.0.0.1"},
                                                         {"127.1", "127.1"},
                                                         {"1.2.3.4.5", ""},
                                                         {"999.0.0.1", ""},
                                                         {"4chan", ""},
                                                         {"localhost", "127.0.0.1"},
                                                         {"no-such-host.invalid", ""}};
    for (const auto& [host, dotted] : hosts)
        EXPECT_EQ(sorvane::net::HostToDottedText(host), dotted) << '"' << host << '"';

    EXPECT_EQ(sorvane::net::PortTextToNumber(""), 0);
    EXPECT_EQ(sorvane::net::PortTextToNumber("1000"), 1000);
    EXPECT_EQ(sorvane::net::PortTextToNumber("http"), 80); // the services database
    EXPECT_EQ(sorvane::net::PortTextToNumber("0080"), 80);
    EXPECT_EQ(sorvane::net::PortTextToNumber("+80"), 80);
    EXPECT_EQ(sorvane::net::PortTextToNumber("65537"), 1); // the low 16 bits, as ever
    for (const std::string bad : {"abc", "12a", " 12", "99999999999"}) {
        try {
            sorvane::net::PortTextToNumber(bad);
            ADD_FAILURE() << bad;
        } catch (const EConvertError& e) {
            EXPECT_EQ(e.what(), "'" + bad + "' is not a valid integer value");
        }
    }
}

struct Probe {
    sorvane::net::TTcpClient client;
    std::vector<int> errors;
    Probe(const std::string& host, const std::string& port) {
        client.OnError = [this](int code) { errors.push_back(code); };
        client.setRemoteHost(host);
        client.setRemotePort(port);
    }
};

TEST(ClientOpening, ConnectedOnlyWhereTheTextsLeadToAListener) {
    // 127.0.0.1 listens at that port: an empty host must still not reach it, although the
    // platform takes 0.0.0.0 for this machine.
    loopback::Listener listener, refusing(-1);
    const struct {
        const char* host;
        std::string port;
        bool connected;
    } targets[] = {{"127.0.0.1", listener.port(), true},
                   {"localhost", listener.port(), true},
                   {"", listener.port(), false},
                   {"0.0.0.0", listener.port(), false},
                   {"no-such-host.invalid", listener.port(), false},
                   {"1.2.3.4.5", listener.port(), false},
                   {"127.0.0.1", refusing.port(), false}};
    for (const auto& t : targets) {
        Probe probe(t.host, t.port);
        EXPECT_NO_THROW(probe.client.setActive(true)) << t.host;
        EXPECT_TRUE(probe.client.active()) << t.host;
        EXPECT_EQ(probe.client.connected(), t.connected) << t.host;
        EXPECT_EQ(probe.errors.size(), t.connected ? 0u : 1u) << t.host;
        EXPECT_EQ(bool(listener.Accept(t.connected ? -1 : 0)), t.connected) << t.host;
        probe.client.setActive(true); // already active: no second attempt
        EXPECT_EQ(probe.errors.size(), t.connected ? 0u : 1u) << t.host;
    }
}

TEST(ClientOpening, BadPortTextRaisesAfterTheSocketExists) {
    Probe probe("127.0.0.1", "abc");
    EXPECT_THROW(probe.client.setActive(true), EConvertError);
    EXPECT_TRUE(probe.client.active());
    EXPECT_FALSE(probe.client.connected());
}

TEST(ClientOpening, SettingTextsClosesOnlyOnChange) {
    loopback::Listener listener;
    Probe probe("127.0.0.1", listener.port());
    probe.client.setActive(true);
    loopback::Fd peer = listener.Accept();
    const int handle = probe.client.handle();
    probe.client.setRemoteHost("127.0.0.1");
    probe.client.setRemotePort(listener.port());
    probe.client.setActive(true);
    EXPECT_TRUE(probe.client.connected());
    EXPECT_EQ(probe.client.handle(), handle);
    EXPECT_FALSE(listener.Accept(100)); // no second connection

    for (const auto change : {+[](Probe& p) { p.client.setRemoteHost("localhost"); },
                              +[](Probe& p) { p.client.setRemotePort("1"); }}) {
        change(probe);
        EXPECT_FALSE(probe.client.active());
        EXPECT_FALSE(probe.client.connected());
        EXPECT_TRUE(loopback::ReadToClose(*peer));
        probe.client.setRemotePort(listener.port());
        probe.client.setActive(true);
        peer = listener.Accept();
    }
}

TEST(ClientOpening, ConnectToAnUnansweringAddressGivesUpAtItsBound) {
    // A listener whose backlog is full drops further connection requests unanswered, as an
    // unreachable host would.
    loopback::Listener full(0);
    std::vector<loopback::Fd> fillers;
    for (int i = 0; i < 4; ++i)
        fillers.push_back(loopback::Connect(loopback::LocalPort(*full.fd), SOCK_NONBLOCK));
    std::this_thread::sleep_for(100ms);

    Probe probe("127.0.0.1", full.port());
    EXPECT_EQ(probe.client.connectTimeout(), 3000ms);
    probe.client.setConnectTimeout(300ms);
    const auto start = loopback::Clock::now();
    probe.client.setActive(true);
    EXPECT_GE(loopback::Clock::now() - start, 250ms);
    EXPECT_LT(loopback::Clock::now() - start, 5s);
    EXPECT_TRUE(probe.client.active());
    EXPECT_FALSE(probe.client.connected());
    EXPECT_EQ(probe.errors, std::vector<int>{ETIMEDOUT});
}

} // namespace

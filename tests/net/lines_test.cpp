// Reading and sending lines over a real loopback connection: a TTcpClient on one end, a bare
// socket on the other.
#include "loopback.h"
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <vector>

using namespace std::chrono_literals;
using sorvane::net::TTcpClient;

namespace {

struct Connection {
    loopback::Listener listener;
    TTcpClient client;
    loopback::Fd peer;

    Connection() {
        client.setRemoteHost("127.0.0.1");
        client.setRemotePort(listener.portText());
        client.setActive(true);
        peer = listener.Accept();
    }
    bool ok() const { return client.connected() && peer; }
};

struct LineCase {
    const char* name;
    std::vector<std::string> chunks; // sent apart, so that each is looked at by itself
    std::string separator;
    std::string line;   // what ReceiveLine returns
    std::string unread; // what stays in the socket after it
};

// Test names show the case's name, not its bytes.
void PrintTo(const LineCase& c, std::ostream* os) { *os << c.name; }

std::string Bytes(const char* data, std::size_t size) { return std::string(data, size); }

class LineReading : public testing::TestWithParam<LineCase> {};

TEST_P(LineReading, ReturnsTheTextBeforeTheSeparatorAndLeavesTheRest) {
    const LineCase& c = GetParam();
    Connection conn;
    ASSERT_TRUE(conn.ok());
    std::thread sender([&] {
        for (std::size_t i = 0; i < c.chunks.size(); ++i) {
            if (i > 0)
                std::this_thread::sleep_for(100ms);
            loopback::SendAll(conn.peer.get(), c.chunks[i]);
        }
        std::this_thread::sleep_for(50ms);
        conn.peer.reset(); // the peer closes after its last chunk
    });
    const std::string line = conn.client.ReceiveLine(c.separator);
    sender.join();
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(loopback::ReadToEnd(conn.client.handle()), c.unread);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineReading,
    testing::Values(
        LineCase{"Plain", {"abc\r\n"}, "\r\n", "abc", ""},
        LineCase{"SeparatorAlone", {"\r\n"}, "\r\n", "", ""},
        LineCase{"PeerClosesWithoutSeparator", {"abc"}, "\r\n", "abc", ""},
        LineCase{"PeerClosesWithoutAByte", {}, "\r\n", "", ""},
        LineCase{"LaterLineStaysUnread", {"a\r\nb\r\n"}, "\r\n", "a", "b\r\n"},
        LineCase{"ThousandBytes", {std::string(1000, 'x') + "\r\nz"}, "\r\n",
                 std::string(1000, 'x'), "z"},
        LineCase{"ZeroByteHidesSeparatorInSamePeek",
                 {Bytes("ab\0cd\r\n", 7), "ef\r\ngh"}, "\r\n", "abef", "gh"},
        LineCase{"SeparatorSplitAcrossTwoSends", {"abc\r", "\ndef\r\n"}, "\r\n", "abc",
                 "def\r\n"},
        LineCase{"CarriageReturnNotFollowedByLineFeed", {"ab\r", "cd\r\n"}, "\r\n", "ab\rcd",
                 ""},
        LineCase{"LongSeparatorSplit", {"xyEN", "Dz"}, "END", "xy", "z"},
        LineCase{"SplitSeparatorAfterManyPeeks", {std::string(600, 'q') + "\r", "\nw"}, "\r\n",
                 std::string(600, 'q'), "w"}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(LineLimits, ReadTimeoutReturnsWhatArrived) {
    Connection conn;
    ASSERT_TRUE(conn.ok());
    std::vector<int> errors;
    conn.client.OnError = [&](int code) { errors.push_back(code); };
    conn.client.setReadTimeout(200ms);
    ASSERT_TRUE(loopback::SendAll(conn.peer.get(), "ab"));
    const auto start = loopback::Clock::now();
    EXPECT_EQ(conn.client.ReceiveLine(), "ab");
    const auto waited = loopback::Clock::now() - start;
    EXPECT_GE(waited, 150ms);
    EXPECT_LT(waited, 3s);
    EXPECT_EQ(errors, std::vector<int>{ETIMEDOUT});
}

TEST(LineLimits, TooLongLineIsCutAndTheRestOfTheConnectionDropped) {
    Connection conn;
    ASSERT_TRUE(conn.ok());
    conn.client.setMaxLineLength(1000);
    ASSERT_TRUE(loopback::SendAll(conn.peer.get(), std::string(3000, 'x') + "\r\nnext\r\n"));
    EXPECT_EQ(conn.client.ReceiveLine(), std::string(1000, 'x'));
    const auto start = loopback::Clock::now();
    EXPECT_EQ(conn.client.ReceiveLine(), "");
    EXPECT_LT(loopback::Clock::now() - start, 1s);
}

TEST(LineLimits, LineOfExactlyTheLimitIsWhole) {
    Connection conn;
    ASSERT_TRUE(conn.ok());
    conn.client.setMaxLineLength(1000);
    ASSERT_TRUE(loopback::SendAll(conn.peer.get(), std::string(1000, 'y') + "\r\nnext\r\n"));
    EXPECT_EQ(conn.client.ReceiveLine(), std::string(1000, 'y'));
    EXPECT_EQ(conn.client.ReceiveLine(), "next");
}

TEST(SendingLines, SendsTextAndSeparatorInOneGo) {
    Connection conn;
    ASSERT_TRUE(conn.ok());
    EXPECT_EQ(conn.client.SendLine("<ann> hi"), 10);
    EXPECT_EQ(conn.client.SendLine("x", "|"), 2);
    conn.client.setActive(false);
    EXPECT_EQ(loopback::ReadToEnd(conn.peer.get()), "<ann> hi\r\nx|");
}

TEST(SendingLines, FailureGivesMinusOneAndNeverKillsTheProcess) {
    TTcpClient idle;
    EXPECT_EQ(idle.SendLine("nobody"), -1);

    Connection conn;
    ASSERT_TRUE(conn.ok());
    conn.peer.reset();
    // The first sends may still be taken by the system; the peer's reset then makes them fail,
    // and a signal for the broken pipe would end this test program.
    int result = 0;
    for (int i = 0; i < 50 && result != -1; ++i) {
        result = conn.client.SendLine("late");
        std::this_thread::sleep_for(10ms);
    }
    EXPECT_EQ(result, -1);
}

} // namespace

// Reading and sending lines: a TTcpClient on one end of a loopback connection, a bare socket
// on the other.
#include "loopback.h"
#include "net/sockets.h"

#include <gtest/gtest.h>

#include <vector>

using namespace std::chrono_literals;

namespace {

struct Connection {
    loopback::Listener listener;
    sorvane::net::TTcpClient client;
    loopback::Fd peer;
    Connection() {
        client.setRemoteHost("127.0.0.1");
        client.setRemotePort(listener.port());
        client.setActive(true);
        peer = listener.Accept();
    }
};

struct LineCase {
    const char* name;
    std::vector<std::string> chunks; // sent 100 ms apart, so each is looked at by itself
    std::string separator, line, unread;
};
void PrintTo(const LineCase& c, std::ostream* os) {
    *os << c.name;
}

class LineReading : public testing::TestWithParam<LineCase> {};

TEST_P(LineReading, ReturnsTheTextBeforeTheSeparatorAndLeavesTheRest) {
    const LineCase& c = GetParam();
    Connection conn;
    ASSERT_TRUE(conn.client.connected() && conn.peer);
    std::thread sender([&] {
        for (const std::string& chunk : c.chunks) {
            loopback::Send(*conn.peer, chunk);
            std::this_thread::sleep_for(100ms);
        }
        conn.peer.reset(); // the peer closes after its last chunk
    });
    const std::string line = conn.client.ReceiveLine(c.separator);
    sender.join();
    EXPECT_EQ(line, c.line);
    EXPECT_EQ(loopback::ReadToClose(conn.client.handle()), c.unread);
}

INSTANTIATE_TEST_SUITE_P(
    Lines, LineReading,
    testing::Values(
        LineCase{"Plain", {"abc\r\n"}, "\r\n", "abc", ""},
        LineCase{"SeparatorAlone", {"\r\n"}, "\r\n", "", ""},
        LineCase{"PeerClosesAfterText", {"abc"}, "\r\n", "abc", ""},
        LineCase{"PeerClosesWithoutAByte", {}, "\r\n", "", ""},
        LineCase{"NextLineStaysUnread", {"a\r\nb\r\n"}, "\r\n", "a", "b\r\n"},
        LineCase{"ThousandBytes",
                 {std::string(1000, 'x') + "\r\nz"},
                 "\r\n",
                 std::string(1000, 'x'),
                 "z"},
        LineCase{"ZeroByteHidesSeparatorInSamePeek",
                 {std::string("ab\0cd\r\n", 7), "ef\r\ngh"},
                 "\r\n",
                 "abef",
                 "gh"},
        LineCase{"SeparatorSplitAcrossSends", {"abc\r", "\ndef\r\n"}, "\r\n", "abc", "def\r\n"},
        LineCase{"LoneCarriageReturnAtPeekEnd", {"ab\r", "cd\r\n"}, "\r\n", "ab\rcd", ""},
        LineCase{"LongSeparatorSplit", {"xyEN", "Dz"}, "END", "xy", "z"},
        LineCase{"SplitAfterSeveralPeeks",
                 {std::string(600, 'q') + "\r", "\nw"},
                 "\r\n",
                 std::string(600, 'q'),
                 "w"}),
    [](const testing::TestParamInfo<LineCase>& info) { return std::string(info.param.name); });

TEST(LineLimits, ReadTimeoutReturnsWhatArrived) {
    Connection conn;
    std::vector<int> errors;
    conn.client.OnError = [&](int code) { errors.push_back(code); };
    conn.client.setReadTimeout(200ms);
    loopback::Send(*conn.peer, "ab");
    const auto start = loopback::Clock::now();
    EXPECT_EQ(conn.client.ReceiveLine(), "ab");
    EXPECT_GE(loopback::Clock::now() - start, 150ms);
    EXPECT_LT(loopback::Clock::now() - start, 3s);
    EXPECT_EQ(errors, std::vector<int>{ETIMEDOUT});
}

TEST(LineLimits, LongerLineIsCutAndTheRestOfTheConnectionDropped) {
    Connection conn;
    conn.client.setMaxLineLength(1000);
    loopback::Send(*conn.peer,
                   std::string(1000, 'y') + "\r\n" + std::string(3000, 'x') + "\r\nnext\r\n");
    EXPECT_EQ(conn.client.ReceiveLine(), std::string(1000, 'y')); // exactly the limit: whole
    EXPECT_EQ(conn.client.ReceiveLine(), std::string(1000, 'x'));
    EXPECT_EQ(conn.client.ReceiveLine(), ""); // at once, though "next" is there
}

TEST(LineLimits, LineJustOverTheLimitCutAlsoWhenTheStreamEndsOrStalls) {
    // One byte over the limit is held back in case it starts a separator; when the stream
    // ends or stalls instead, the line still comes back no longer than the limit.
    for (const bool close : {true, false}) {
        SCOPED_TRACE(close ? "stream ends" : "stream stalls");
        Connection conn;
        conn.client.setMaxLineLength(1000);
        conn.client.setReadTimeout(200ms);
        loopback::Send(*conn.peer, std::string(1001, 'z'));
        if (close)
            conn.peer.reset();
        EXPECT_EQ(conn.client.ReceiveLine(), std::string(1000, 'z'));
        EXPECT_EQ(conn.client.ReceiveLine(), "");
    }
}

TEST(SendingLines, SendsTextAndSeparatorOrGivesMinusOne) {
    EXPECT_EQ(sorvane::net::TTcpClient().SendLine("nobody"), -1);
    Connection conn;
    EXPECT_EQ(conn.client.SendLine("<ann> hi"), 10);
    EXPECT_EQ(conn.client.SendLine("x", "|"), 2);
    conn.client.setActive(false);
    EXPECT_EQ(loopback::ReadToClose(*conn.peer), "<ann> hi\r\nx|");

    Connection gone;
    gone.peer.reset();
    // Once the peer's reset is back the sends fail; a broken-pipe signal would end this test.
    int result = 0;
    for (int i = 0; i < 50 && result != -1; ++i, std::this_thread::sleep_for(10ms))
        result = gone.client.SendLine("late");
    EXPECT_EQ(result, -1);
}

TEST(SendingLines, ALineThePeerDoesNotTakeFailsAtTheSendTimeOut) {
    // A peer that takes the connection and then reads nothing: no line larger than the
    // buffers on the way can go out whole.
    loopback::Listener listener;
    sorvane::net::TTcpClient client;
    client.setRemoteHost("127.0.0.1");
    client.setRemotePort(listener.port());
    client.setSendTimeout(300ms);
    client.setActive(true);
    ASSERT_TRUE(client.connected());
    const loopback::Fd peer = listener.Accept(1000);
    ASSERT_TRUE(peer);
    const auto start = loopback::Clock::now();
    EXPECT_EQ(client.SendLine(std::string(64u << 20, 'x')), -1);
    EXPECT_GE(loopback::Clock::now() - start, 250ms);
}

} // namespace

// The presence run: friends whose clients answer move online, the rest offline, and the next
// run is always due a minute after this one ended.
#include "globals.h"
#include "login.h"
#include "main.h"
#include "peer.h"
#include "ui/timer.h"
#include "world.h"

#include <QElapsedTimer>
#include <QListWidget>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

using namespace sorvane::test;

namespace {

std::string at(int port) {
    return "127.0.0.1\r\n" + std::to_string(port) + "\r\n";
}

class Presence : public ::testing::Test {
protected:
    void logInWith(const std::string& friendLine) {
        w.logInAs("me@x.org", friendLine);
        // The login armed the first run; the tests start it themselves.
        w.main->Timer2->setEnabled(false);
        w.scripted.clearRequests();
    }
    void run() { w.main->Timer2->fire(); }
    void expectRearmed() {
        EXPECT_TRUE(w.main->Timer2->enabled());
        EXPECT_EQ(w.main->Timer2->interval(), 60000);
        EXPECT_TRUE(w.boxes.messages.isEmpty());
        EXPECT_TRUE(w.boxes.errors.isEmpty());
    }
    ScriptedWorld w;
};

TEST_F(Presence, EmptyListsAskNothingAndWaitAMinute) {
    logInWith("");
    run();
    EXPECT_TRUE(w.scripted.requests().empty());
    expectRearmed();
}

TEST_F(Presence, ReachableFriendMovesOnlineAndIsProbedAgainInPassTwo) {
    Peer bob;
    w.scripted.reply("g.php?u=bob", {at(bob.port())});
    logInWith("#bob");
    run();
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList{"bob"});
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{});
    EXPECT_EQ(w.scripted.count("g.php", "bob"), 2);
    EXPECT_TRUE(waitFor([&] { return bob.connections() == 2; }));
    EXPECT_TRUE(bob.nonEmpty().empty()); // probes send nothing
    expectRearmed();
    // Every probe request carries a cache-buster.
    for (const std::string& target : w.scripted.requests())
        EXPECT_NE(target.find("&random="), std::string::npos) << target;
}

TEST_F(Presence, ReachableOnlyInPassOneEndsAtTheEndOfTheOfflineList) {
    Peer bob;
    w.scripted.reply("g.php?u=bob", {at(bob.port()), at(deadPort())});
    logInWith("#bob#cy");
    w.scripted.reply("g.php?u=cy", {at(deadPort())});
    run();
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList{});
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"cy", "bob"}));
    expectRearmed();
}

TEST_F(Presence, SilentOnlineFriendMovesOfflineAndIsProbedOnce) {
    logInWith("");
    w.main->ui.ListBox1->addItem("gone");
    w.main->ui.ListBox2->addItem("off");
    w.scripted.reply("g.php?u=gone", {at(deadPort())});
    w.scripted.reply("g.php?u=off", {at(deadPort())});
    run();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"off", "gone"}));
    EXPECT_EQ(w.scripted.count("g.php", "gone"), 1);
    expectRearmed();
}

TEST_F(Presence, FirstAndThirdOfThreeReachable) {
    Peer a, c;
    w.scripted.reply("g.php?u=a", {at(a.port())});
    w.scripted.reply("g.php?u=b", {at(deadPort())});
    w.scripted.reply("g.php?u=c", {at(c.port())});
    logInWith("#a#b#c");
    run();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{"b"});
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList({"a", "c"}));
    EXPECT_EQ(w.scripted.count("g.php", "b"), 1);
}

class BrokenReply : public Presence, public ::testing::WithParamInterface<std::string> {};

TEST_P(BrokenReply, CountsAsUnreachableAndTheRunGoesOn) {
    Peer c;
    w.scripted.reply("g.php?u=a", {GetParam()});
    w.scripted.reply("g.php?u=c", {at(c.port())});
    logInWith("#a#c");
    run();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{"a"});
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList{"c"});
    expectRearmed();
}

INSTANTIATE_TEST_SUITE_P(Replies, BrokenReply,
                         ::testing::Values(std::string(""), std::string("127.0.0.1\r\n"),
                                           std::string("127.0.0.1\r\nabc\r\n"),
                                           std::string("no.such.host.invalid\r\n80\r\n")));

TEST_F(Presence, DirectoryDownMarksEveryoneOfflineQuietly) {
    Peer a;
    w.scripted.reply("g.php?u=a", {at(a.port())});
    logInWith("#a");
    run();
    ASSERT_EQ(items(w.main->ui.ListBox1), QStringList{"a"});
    // Aim the lookups at a port nobody answers on: the directory is gone.
    w.scripted.reply("g.php?u=a", {""});
    run();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{"a"});
    expectRearmed();
}

TEST_F(Presence, AddingAFriendDuringTheWaitStartsARunAtOnce) {
    Peer bob;
    logInWith("");
    run();
    ASSERT_EQ(w.main->Timer2->interval(), 60000);
    w.scripted.reply("f.php", {"OK\r\n"});
    w.scripted.reply("g.php?u=bob", {at(bob.port())});
    w.main->ui.Edit1->setText("bob");
    w.main->ui.SpeedButton1->click();
    EXPECT_EQ(w.main->Timer2->interval(), 1);
    ASSERT_TRUE(waitFor([&] { return w.main->ui.ListBox1->count() == 1; }));
    EXPECT_EQ(w.main->Timer2->interval(), 60000);
}

TEST_F(Presence, AddressesThatSwallowConnectsCostOneBoundNotOneEach) {
    // A listener whose backlog is full takes no more connections: a connect to it waits
    // as one to a far host that does not answer would.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(fd, 0), 0);
    socklen_t len = sizeof addr;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len);
    const int port = ntohs(addr.sin_port);
    std::vector<int> fillers;
    for (int i = 0; i < 4; ++i) { // fill the backlog
        const int f = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ::connect(f, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        fillers.push_back(f);
    }
    for (const char* name : {"a", "b", "c", "d"})
        w.scripted.reply(std::string("g.php?u=") + name, {at(port)});
    logInWith("#a#b#c#d");
    QElapsedTimer clock;
    clock.start();
    run();
    EXPECT_LT(clock.elapsed(), 4 * 3000); // one connect bound of about 3 s, not four
    expectRearmed();
    for (int f : fillers)
        ::close(f);
    ::close(fd);
}

TEST(PresenceWithDirectory, FriendsSeeEachOtherThroughARealDirectory) {
    World w(observedAddress());
    Peer bob;
    w.server.registerUser("bob@x.org", "pw");
    w.server.login("bob@x.org", "pw", "10.9.9.9", bob.port()); // the server keeps 127.0.0.1
    w.registerAndLogIn("ann@x.org");
    w.main->ui.Edit1->setText("bob@x.org");
    w.main->ui.SpeedButton1->click();
    ASSERT_TRUE(waitFor([&] { return w.main->ui.ListBox1->count() == 1; }));
    EXPECT_EQ(w.main->ui.ListBox1->item(0)->text(), "bob@x.org");
    EXPECT_TRUE(w.boxes.errors.isEmpty());

    // The directory goes away: the next run is quiet and shows bob offline; once the
    // directory is back, bob comes online again without a new login.
    w.server.kill9();
    w.main->Timer2->fire();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{"bob@x.org"});
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    w.server.restart();
    w.main->Timer2->fire();
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList{"bob@x.org"});
}

} // namespace

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

using namespace sorvane::test;

namespace {

class Presence : public ::testing::Test {
protected:
    void logInWith(const std::string& friendLine) {
        w.logInAs("me@x.org", friendLine);
        // The login armed the first run; the tests start it themselves.
        w.main->Timer2->setEnabled(false);
        w.scripted.clearRequests();
    }
    void run() { ASSERT_TRUE(runPresence(*w.main)); }
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
                         ::testing::Values(std::string(""),
                                           std::string("no.such.host.invalid\r\n80\r\n")));

// A failed lookup ends the run there, quietly; everybody after it stays where they are.
using Reply = std::pair<int, std::string>; // status, body
class DirectoryDown : public Presence, public ::testing::WithParamInterface<Reply> {};

TEST_P(DirectoryDown, EndsTheRunThereAndLeavesTheRestWhereTheyAre) {
    Peer x;
    w.scripted.reply("g.php", {at(x.port())}); // y's client answers too
    w.scripted.reply("g.php?u=flaky", {GetParam().second}, GetParam().first);
    w.scripted.reply("g.php?u=gone", {at(deadPort())}); // online, but their client is not
    logInWith("#x#flaky#y");
    w.main->ui.ListBox1->addItem("gone");
    run();
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList({"gone", "x"}));
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"flaky", "y"}));
    expectRearmed();
}

INSTANTIATE_TEST_SUITE_P(Failures, DirectoryDown,
                         ::testing::Values(Reply{500, ""}, Reply{502, "<p>Bad Gateway</p>"},
                                           Reply{429, ""}, Reply{200, "127.0.0.1\r\nabc\r\n"}));

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
    ASSERT_TRUE(waitFor([&] { return !w.main->presence().running(); }));
    EXPECT_EQ(w.main->Timer2->interval(), 60000);
}

// What the user does while a run is out stands: the run's result goes by name to whoever is
// still in the list, the lists change once per pass, and an adding gets a run of its own.
TEST_F(Presence, ADeletionAndAnAdditionWhileARunIsOutAreKept) {
    Peer a, b, c;
    w.scripted.reply("g.php?u=a", {at(a.port())});
    w.scripted.reply("g.php?u=b", {at(b.port())});
    w.scripted.reply("g.php?u=c", {at(c.port())});
    w.scripted.reply("f.php", {"OK\r\n"});
    w.scripted.reply("d.php", {"OK\r\n"});
    logInWith("#a#b");
    struct Ended {
        QStringList online, offline;
        int interval;
    };
    std::vector<Ended> ended;
    QObject::connect(&w.main->presence(), &sorvane::engine::PresenceRun::runDone, [&] {
        ended.push_back(
            {items(w.main->ui.ListBox1), items(w.main->ui.ListBox2), w.main->Timer2->interval()});
    });

    w.scripted.hold("g.php?u=b");
    w.main->Timer2->fire();
    // a has been looked up and probed (reachable), b's lookup waits: nothing moved yet.
    ASSERT_TRUE(waitFor([&] { return w.scripted.count("g.php", "b") == 1; }));
    ASSERT_TRUE(waitFor([&] { return a.connections() == 1; }));
    EXPECT_TRUE(w.main->presence().running());
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList{});
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"a", "b"}));
    // The window takes the user's actions meanwhile.
    w.main->ui.ListBox2->setCurrentRow(0);
    w.main->ui.Delete2->trigger();
    w.main->ui.Edit1->setText("c");
    w.main->ui.SpeedButton1->click();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"b", "c"}));
    w.scripted.release();

    // The run ends with b online, a still deleted and c waiting for the run it asked for,
    // which follows at once and brings c online.
    ASSERT_TRUE(waitFor([&] { return ended.size() == 2; }));
    EXPECT_EQ(ended[0].online, QStringList{"b"});
    EXPECT_EQ(ended[0].offline, QStringList{"c"});
    EXPECT_EQ(ended[0].interval, 1);
    EXPECT_EQ(ended[1].online, QStringList({"b", "c"}));
    EXPECT_EQ(ended[1].offline, QStringList{});
    EXPECT_EQ(ended[1].interval, 60000);
    EXPECT_EQ(w.scripted.count("g.php", "a"), 1);
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

// Closing the program while a lookup waits for a directory that does not answer, or while a
// probe waits for an address that swallows connects, takes no time-out and no connect bound.
class ClosingDuringARun : public Presence, public ::testing::WithParamInterface<bool> {};

TEST_P(ClosingDuringARun, EndsAtOnce) {
    const bool lookupWaits = GetParam();
    SwallowingListener swallowing;
    w.scripted.reply("g.php?u=far", {at(swallowing.port())});
    logInWith("#far");
    if (lookupWaits)
        w.scripted.hold("g.php?u=far");
    w.main->Timer2->fire();
    ASSERT_TRUE(waitFor([&] { return w.scripted.count("g.php", "far") == 1; }));
    waitFor([] { return false; }, std::chrono::milliseconds(200)); // the probe is out by now
    ASSERT_TRUE(w.main->presence().running());
    QElapsedTimer clock;
    clock.start();
    delete w.main; // as the program's end does
    w.main = nullptr;
    Form3 = nullptr;
    EXPECT_LT(clock.elapsed(), 1000);
}

INSTANTIATE_TEST_SUITE_P(Waiting, ClosingDuringARun, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Lookup" : "Connect"; });

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

    // The directory goes away: the next run is quiet and leaves bob where he is, online; the
    // runs go on finding him once the directory is back.
    w.server.kill9();
    ASSERT_TRUE(runPresence(*w.main));
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList{"bob@x.org"});
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    w.server.restart();
    ASSERT_TRUE(runPresence(*w.main));
    EXPECT_EQ(items(w.main->ui.ListBox1), QStringList{"bob@x.org"});
}

} // namespace

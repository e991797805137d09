// The presence run without its window: which names each pass moves, probes that overlap, and
// runs that end whatever threads the system will make.
#include "engine/presence.h"
#include "engine_test.h"
#include "peer.h"

#include <QElapsedTimer>
#include <gtest/gtest.h>

#include <system_error>
#include <thread>

using namespace sorvane::test;
using sorvane::engine::FriendPresence;
using sorvane::engine::presenceMoves;
using sorvane::engine::PresencePass;
using sorvane::engine::PresenceRun;

namespace {

TEST(PresenceMoves, PassOneMovesWhoAnswersAndPassTwoWhoDoesNotInProbeOrder) {
    const std::vector<FriendPresence> probed{{"a", true, "127.0.0.1", "1", {}},
                                             {"b", false, {}, {}, {}},
                                             {"c", true, "127.0.0.1", "2", {}}};
    EXPECT_EQ(presenceMoves(PresencePass::OfflineToOnline, probed), QStringList({"a", "c"}));
    EXPECT_EQ(presenceMoves(PresencePass::OnlineToOffline, probed), QStringList{"b"});
    EXPECT_EQ(presenceMoves(PresencePass::OfflineToOnline, {}), QStringList{});
}

// A run over a fixed offline list and an online list that pass 1's moves join, as the main
// window's lists do.
class Run : public ::testing::Test {
protected:
    // Starts a run and waits for its end; false when it did not end in time.
    bool run(QStringList offline, QStringList online = {}) {
        bool ended = false;
        const auto done =
            QObject::connect(&presence, &PresenceRun::runDone,
                             [&](const std::vector<FriendPresence>&) { ended = true; });
        const auto pass =
            QObject::connect(&presence, &PresenceRun::passDone,
                             [&](PresencePass p, const std::vector<FriendPresence>& probed) {
                                 if (p == PresencePass::OfflineToOnline)
                                     online << presenceMoves(p, probed);
                                 else
                                     for (const QString& gone : presenceMoves(p, probed))
                                         online.removeAll(gone);
                             });
        const bool started = presence.start(
            [&](PresencePass p) { return p == PresencePass::OfflineToOnline ? offline : online; });
        const bool finished = started && waitFor([&] { return ended; }, std::chrono::seconds(15));
        QObject::disconnect(done);
        QObject::disconnect(pass);
        lastOnline = online;
        return finished;
    }
    ScriptedClient client;
    PresenceRun presence{client.directory};
    QStringList lastOnline;
};

TEST_F(Run, AddressesThatSwallowConnectsCostOneBoundNotOneEach) {
    SwallowingListener swallowing;
    for (const char* name : {"a", "b", "c", "d"})
        client.scripted.reply(std::string("g.php?u=") + name, {at(swallowing.port())});
    QElapsedTimer clock;
    clock.start();
    ASSERT_TRUE(run({"a", "b", "c", "d"}));
    EXPECT_LT(clock.elapsed(), 4 * 3000); // one connect bound of about 3 s, not four
    EXPECT_EQ(lastOnline, QStringList{});
}

// Threads that cannot be made cost the run its work, never its end: without a worker the run
// ends at once, without probe threads the worker probes by itself; the next run is due either way.
TEST_F(Run, ThreadsThatCannotBeMadeNeverStopTheRuns) {
    Peer a;
    client.scripted.reply("g.php?u=a", {at(a.port())});
    int made = 0;
    presence.setThreadMaker([&made](std::function<void()> body) {
        if (made++ != 1) // only the second thread asked for: the worker of the second run
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        return std::thread(std::move(body));
    });
    ASSERT_TRUE(run({"a"}));
    EXPECT_EQ(lastOnline, QStringList{});
    EXPECT_EQ(client.scripted.count("g.php"), 0);
    ASSERT_TRUE(run({"a"}));
    EXPECT_EQ(lastOnline, QStringList{"a"});
    EXPECT_TRUE(waitFor([&] { return a.connections() == 2; })); // probed in both passes
}

// Friends online when the run begins are looked up and probed while pass 1 waits on a
// connect that is swallowed, and pass 2 takes those answers; a friend pass 1 moves online is
// probed again in pass 2.
TEST_F(Run, FriendsOnlineAreProbedWhilePassOneWaits) {
    SwallowingListener swallowing;
    Peer bob, cy;
    client.scripted.reply("g.php?u=gone", {at(swallowing.port())});
    client.scripted.reply("g.php?u=bob", {at(bob.port())});
    client.scripted.reply("g.php?u=cy", {at(cy.port())});
    int bobSeenBeforePassOne = -1;
    QObject::connect(&presence, &PresenceRun::passDone, [&](PresencePass p, const auto&) {
        if (p == PresencePass::OfflineToOnline)
            bobSeenBeforePassOne = bob.connections();
    });
    ASSERT_TRUE(run({"gone", "cy"}, {"bob"}));
    EXPECT_EQ(bobSeenBeforePassOne, 1);
    EXPECT_EQ(lastOnline, QStringList({"bob", "cy"}));
    EXPECT_EQ(bob.connections(), 1);
    EXPECT_EQ(client.scripted.count("g.php", "bob"), 1);
    EXPECT_TRUE(waitFor([&] { return cy.connections() == 2; }));
}

} // namespace

// Lines in and out without a window: the notes a checked sender gets, the limit on windows that
// made-up senders open, and the queue of lines that wait for their partner.
#include "engine/arrivals.h"
#include "engine/outgoing.h"
#include "engine/sender_check.h"
#include "engine_test.h"
#include "peer.h"

#include <gtest/gtest.h>

using namespace sorvane::test;
using namespace sorvane::engine;

namespace {

TEST(SenderNotes, SayWhereALineCameFromUnlessItIsTheRegisteredAddress) {
    const QString elsewhere =
        QStringLiteral("(not verified: this line came from 127.0.0.2, not from ann's address)");
    const struct {
        SenderAddress registered;
        const char* from;
        QString note;
    } rows[] = {
        {{SenderAddress::Kind::Registered, {"127.0.0.9", "127.0.0.2"}, {}}, "127.0.0.2", {}},
        {{SenderAddress::Kind::Registered, {"127.0.0.1"}, {}}, "127.0.0.2", elsewhere},
        {{SenderAddress::Kind::Unregistered, {}, {}}, "127.0.0.2", elsewhere},
        {{SenderAddress::Kind::DirectoryDown, {}, {}},
         "127.0.0.2",
         QStringLiteral("(not verified: the directory could not be reached)")},
    };
    for (const auto& row : rows)
        EXPECT_EQ(senderNote("ann", row.from, row.registered), row.note) << row.from;
    EXPECT_EQ(registeredAddresses("127.0.0.1", std::chrono::milliseconds(100)),
              std::vector<std::string>{"127.0.0.1"});
    EXPECT_TRUE(registeredAddresses("", std::chrono::milliseconds(100)).empty());
}

// Lines from strangers, and from "pal", the one friend, with every sender at one address.
class ArrivalsFromStrangers : public ::testing::Test {
protected:
    ArrivalsFromStrangers() {
        client.scripted.reply("g.php", {at(7)});
        QObject::connect(&arrivals, &Arrivals::arrived,
                         [this](const Arrival& arrival) { shown << arrival.sender; });
    }
    ScriptedClient client;
    Trust trust;
    Arrivals arrivals{
        client.directory,
        trust,
        {[](const QString& name) { return name == "pal"; }, [](const QString&) { return false; }}};
    QStringList shown; // senders of the lines handed out, in order
};

TEST_F(ArrivalsFromStrangers, OpenTenWindowsAMinuteTheRestGoAsideButAFriendsLineNever) {
    for (int i = 0; i < Arrivals::NewWindowsPerMinute + 2; ++i) {
        const QString sender = QStringLiteral("stranger%1").arg(i);
        arrivals.receive(sender, '<' + sender + "> buy now", "127.0.0.1");
    }
    arrivals.receive("pal", "<pal> still here", "127.0.0.1");
    ASSERT_TRUE(waitFor([&] { return shown.size() == Arrivals::NewWindowsPerMinute + 1; }));
    EXPECT_TRUE(shown.contains("pal"));
    EXPECT_FALSE(shown.contains(QStringLiteral("stranger%1").arg(Arrivals::NewWindowsPerMinute)));
    EXPECT_TRUE(waitFor([&] { return arrivals.setAsideCount() == 2; }));
    EXPECT_EQ(arrivals.setAsidePeople(), 2);
}

// While the directory is slow, what waits for the sender check is bounded: beyond it a stranger's
// line is set aside at once, unchecked and said so, while a friend's line still waits its turn.
TEST_F(ArrivalsFromStrangers, BeyondTheBoundOfUncheckedLinesTheyGoAsideUncheckedButAFriendWaits) {
    client.scripted.hold("g.php");
    for (std::size_t i = 0; i < Arrivals::MaxUncheckedLines; ++i) {
        const QString sender = QStringLiteral("s%1").arg(i % 100);
        arrivals.receive(sender, '<' + sender + "> buy now", "127.0.0.1");
    }
    EXPECT_EQ(arrivals.setAsideCount(), 0);
    arrivals.receive("s1", "<s1> one too many", "127.0.0.1");
    arrivals.receive("pal", "<pal> still here", "127.0.0.1");
    ASSERT_EQ(arrivals.setAsideCount(), 1);
    const SetAsideLines aside = arrivals.takeSetAside();
    EXPECT_EQ(aside.lines.front().line, "<s1> one too many");
    EXPECT_EQ(aside.lines.front().note, Arrivals::uncheckedNote());
    EXPECT_TRUE(shown.isEmpty());
    client.scripted.release();
    EXPECT_TRUE(waitFor([&] { return shown.contains("pal"); }, std::chrono::seconds(20)));
}

// Lines to a partner who cannot be reached wait in order, each said once, and go out once, in
// order, when the partner is back.
TEST(WaitingQueue, KeepsTheOrderAndSendsEachLineOnce) {
    ScriptedClient client;
    const int bobPort = deadPort();
    client.scripted.reply("g.php?u=bob", {at(bobPort)});
    Trust trust;
    Addresses addresses;
    Outbox outbox(client.directory);
    OutgoingLines outgoing(outbox, trust, addresses);
    int waiting = 0;
    QStringList delivered;
    QObject::connect(&outgoing, &OutgoingLines::waiting,
                     [&](const QString& partner, OutgoingLines::WaitReason reason) {
                         EXPECT_EQ(partner, "bob");
                         EXPECT_EQ(reason, OutgoingLines::WaitReason::Unreachable);
                         ++waiting;
                     });
    const auto line = [](const std::string& text) {
        return Outbox::Line{"<me> " + text, text, sealing::newMessageId(), 0};
    };
    QObject::connect(&outgoing, &OutgoingLines::delivered,
                     [&](const QString&, const QString& text) { delivered << text; });
    const Outbox::Address bob{"127.0.0.1", std::to_string(bobPort), std::nullopt};
    outgoing.send("bob", line("one"), bob);
    ASSERT_TRUE(waitFor([&] { return waiting == 1; }));
    outgoing.send("bob", line("two"), bob);
    ASSERT_TRUE(waitFor([&] { return waiting == 2; }));
    EXPECT_EQ(outgoing.undelivered("bob"), 2);
    EXPECT_EQ(outgoing.undelivered(), (std::vector<std::pair<QString, int>>{{"bob", 2}}));

    Peer back(bobPort);
    outgoing.sendWaiting("bob");
    outgoing.sendWaiting("bob"); // a second call while the send is out sends nothing more
    ASSERT_TRUE(waitFor([&] { return outgoing.undelivered("bob") == 0; }));
    outgoing.sendWaiting("bob");
    EXPECT_EQ(delivered, QStringList({"one", "two"}));
    EXPECT_TRUE(waitFor([&] { return back.nonEmpty().size() == 2; }));
    EXPECT_EQ(back.nonEmpty(), std::vector<std::string>({"<me> one", "<me> two"}));
    EXPECT_EQ(waiting, 2);

    // A discarded queue hears nothing more of the send that was out for it.
    back.stop();
    outgoing.send("bob", line("three"), bob);
    outgoing.discard("bob");
    EXPECT_EQ(outgoing.undelivered("bob"), 0);
    QTest::qWait(200);
    EXPECT_EQ(waiting, 2);
}

} // namespace

// Conversations: received lines find their sender's window, and Enter sends the input to the
// partner's client.
#include "globals.h"
#include "login.h"
#include "main.h"
#include "message.h"
#include "peer.h"
#include "ui/timer.h"
#include "world.h"

#include <QApplication>
#include <QListWidget>
#include <QTest>
#include <gtest/gtest.h>

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>

using namespace sorvane::test;

namespace {

std::vector<TForm4*> openWindows() {
    std::vector<TForm4*> out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* f = qobject_cast<TForm4*>(w); f && f->isVisible())
            out.push_back(f);
    return out;
}

// ---- the sender's name ----------------------------------------------------------------------

struct PartRow {
    const char* line;
    const char* part;
    friend void PrintTo(const PartRow& row, std::ostream* os) { *os << '"' << row.line << '"'; }
};

class SenderExtraction : public ::testing::TestWithParam<PartRow> {};

TEST_P(SenderExtraction, TakesFromTheStartMarkerToTheEndMarker) {
    EXPECT_EQ(TForm3::GetPartOfLine1(GetParam().line, "<", ">"), GetParam().part);
}

INSTANTIATE_TEST_SUITE_P(Rows, SenderExtraction,
                         ::testing::Values(PartRow{"<ann> hi", "<ann"},
                                           PartRow{"  <bob> x", "<bob"}, PartRow{"<> x", "<"},
                                           PartRow{"<abc", ""}, PartRow{"ab> cd", "ab>"},
                                           PartRow{"hello", ""}, PartRow{"", ""},
                                           PartRow{"<a<b> x>", "<a<b"}));

// ---- receiving ------------------------------------------------------------------------------

class Receiving : public ::testing::Test {
protected:
    void SetUp() override {
        w.logInAs("me@x.org");
        w.main->Timer2->setEnabled(false);
        port = std::stoi(w.main->TcpServer1.localPort());
        // Every sender is registered where the lines come from: no notes here.
        w.scripted.reply("g.php", {"127.0.0.1\r\n1\r\n"});
    }
    void receive(const std::string& line) {
        ASSERT_TRUE(sendLine(port, line));
        ASSERT_TRUE(waitFor([&] { return !w.main->Timer1->enabled() && shown() > before; }))
            << line;
        before = shown();
    }
    int shown() const {
        int n = 0;
        for (TForm4* f : openWindows())
            n += history(f).size();
        return n;
    }
    TForm4* windowFor(const QString& partner) { return TForm3::openChatWindow(partner); }

    ScriptedWorld w;
    int port = 0;
    int before = 0;
};

TEST_F(Receiving, NewSenderOpensAWindowThatLaterLinesFill) {
    receive("<ann> hi");
    TForm4* ann = windowFor("ann");
    ASSERT_NE(ann, nullptr);
    EXPECT_EQ(ann->windowTitle(), "ann - Message");
    EXPECT_EQ(ann->ui.Label2->text(), "ann");
    EXPECT_EQ(OpenChats, QStringList{"ann"});
    receive("<bob> yo");
    receive("<ann> again");
    EXPECT_EQ(history(ann), QStringList({"<ann> hi", "<ann> again"}));
    EXPECT_EQ(openWindows().size(), 2u);
    EXPECT_TRUE(w.boxes.messages.isEmpty());
}

TEST_F(Receiving, ALineForAWindowThatIsNotActiveCallsForAttention) {
    receive("<ann> hi");
    TForm4* ann = windowFor("ann");
    EXPECT_EQ(w.desktop.calledForAttention, QList<QWidget*>{ann});
    ann->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(ann));
    receive("<ann> again");
    EXPECT_EQ(w.desktop.calledForAttention.size(), 1); // the user is looking at it
}

TEST_F(Receiving, NamesAreCaseSensitive) {
    receive("<Ann> one");
    receive("<ann> two");
    EXPECT_NE(windowFor("Ann"), windowFor("ann"));
    EXPECT_EQ(openWindows().size(), 2u);
}

TEST_F(Receiving, AClosedWindowIsNotReused) {
    receive("<ann> hi");
    TForm4* first = windowFor("ann");
    first->ui.BitBtn2->click(); // Cancel
    EXPECT_FALSE(first->isVisible());
    EXPECT_TRUE(OpenChats.isEmpty());
    before = 0;
    receive("<ann> back");
    TForm4* second = windowFor("ann");
    ASSERT_NE(second, nullptr);
    EXPECT_NE(second, first);
    EXPECT_EQ(history(second), QStringList{"<ann> back"});
}

TEST_F(Receiving, ProbeConnectionsShowNothing) {
    ASSERT_TRUE(sendLine(port, "")); // a line of nothing, as a probe leaves
    {
        sorvane::net::TTcpClient probe;
        probe.setRemoteHost("127.0.0.1");
        probe.setRemotePort(std::to_string(port));
        probe.setActive(true);
        ASSERT_TRUE(probe.connected());
    }
    sendLine(port, " \t ");
    QTest::qWait(200);
    EXPECT_TRUE(openWindows().empty());
}

TEST_F(Receiving, LinesArrivingTogetherGoToTheirOwnWindows) {
    InboundLines.append({"<a> hi", "127.0.0.1"});
    InboundLines.append({"<b> yo", "127.0.0.1"});
    w.main->Timer1Timer();
    ASSERT_TRUE(waitFor([&] { return windowFor("a") && windowFor("b"); }));
    EXPECT_EQ(history(windowFor("a")), QStringList{"<a> hi"});
    EXPECT_EQ(history(windowFor("b")), QStringList{"<b> yo"});
}

TEST_F(Receiving, LinesWithoutHeaderAreFiledQuietly) {
    receive("hello");
    receive("ab> cd");
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    ASSERT_NE(windowFor(""), nullptr);
    EXPECT_EQ(windowFor("")->windowTitle(), " - Message");
    ASSERT_NE(windowFor("b>"), nullptr);
}

TEST_F(Receiving, ManyConcurrentSendersLoseNothing) {
    constexpr int kSenders = 8, kLines = 25;
    std::vector<std::thread> senders;
    for (int s = 0; s < kSenders; ++s)
        senders.emplace_back([&, s] {
            for (int i = 0; i < kLines; ++i)
                sendLine(port, "<s" + std::to_string(s) + "> " + std::to_string(i));
        });
    for (std::thread& t : senders)
        t.join();
    ASSERT_TRUE(waitFor([&] { return shown() == kSenders * kLines; }, std::chrono::seconds(10)));
    for (int s = 0; s < kSenders; ++s) {
        const QString sender = QString("s%1").arg(s);
        const QStringList lines = history(windowFor(sender));
        EXPECT_EQ(lines.size(), kLines);
        for (const QString& line : lines)
            EXPECT_TRUE(line.startsWith('<' + sender + "> ")) << line.toStdString();
    }
}

// ---- sending --------------------------------------------------------------------------------

class Sending : public ::testing::Test {
protected:
    void SetUp() override {
        w.scripted.reply("g.php?u=bob", {at(bob.port())});
        w.logInAs("me@x.org", "#bob");
        w.main->Timer2->setEnabled(false);
        w.main->ui.ListBox2->clear();
        w.main->ui.ListBox1->addItem("bob");
        w.main->ui.ListBox1->setCurrentRow(0);
        w.main->ui.SendMessage1->trigger();
        chat = TForm3::openChatWindow("bob");
        ASSERT_NE(chat, nullptr);
    }
    void typeAndEnter(const QString& text, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        chat->ui.Memo1->setPlainText(text);
        chat->ui.Memo1->moveCursor(QTextCursor::End);
        QTest::keyClick(chat->ui.Memo1, Qt::Key_Return, modifiers);
        waitFor([&] { return !chat->Timer1->enabled(); });
    }
    std::string received(size_t count = 1) {
        waitFor([&] { return bob.nonEmpty().size() >= count; });
        const auto lines = bob.nonEmpty();
        return lines.size() >= count ? lines[count - 1] : std::string("<nothing>");
    }

    Peer bob;
    ScriptedWorld w;
    TForm4* chat = nullptr;
};

TEST_F(Sending, SendMessageOpensOneWindowPerPartner) {
    EXPECT_EQ(chat->windowTitle(), "bob - Message");
    EXPECT_EQ(chat->focusWidget(), chat->ui.Memo1); // ready for typing
    EXPECT_EQ(OpenChats, QStringList{"bob"});
    w.main->ui.SendMessage1->trigger(); // already open: nothing happens
    EXPECT_EQ(openWindows().size(), 1u);
}

TEST_F(Sending, EnterSendsTheLineAndShowsItInTheHistory) {
    typeAndEnter("  hello there  ");
    EXPECT_EQ(received(), "<me@x.org>   hello there");
    EXPECT_EQ(history(chat), QStringList{"<me@x.org>   hello there"});
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().isEmpty());
    EXPECT_EQ(w.scripted.count("g.php", "bob"), 1); // asked for at Enter, used by OK
    // The line went to the address the directory gave, looked up without a cache-buster.
    for (const std::string& target : w.scripted.requests())
        if (target.find("g.php") != std::string::npos) {
            EXPECT_EQ(target.find("random"), std::string::npos);
        }
}

TEST_F(Sending, EmptyInputStillSendsTheHeader) {
    typeAndEnter("");
    EXPECT_EQ(received(), "<me@x.org> ");
}

TEST_F(Sending, EveryEnterSendsOnceWhateverModifierIsHeld) {
    const Qt::KeyboardModifiers held[] = {Qt::ShiftModifier, Qt::ControlModifier, Qt::AltModifier,
                                          Qt::ControlModifier | Qt::AltModifier};
    QStringList sent;
    for (const Qt::KeyboardModifiers modifiers : held) {
        sent << "<me@x.org> " + QString::number(sent.size());
        typeAndEnter(QString::number(sent.size() - 1), modifiers);
    }
    EXPECT_EQ(history(chat), sent); // a second press would have added "<me@x.org> "
    received(sent.size());
    std::vector<std::string> expected;
    for (const QString& line : sent)
        expected.push_back(line.toStdString());
    EXPECT_EQ(bob.nonEmpty(), expected);
}

TEST_F(Sending, EnterOnAFocusedCancelClosesWithoutSending) {
    chat->ui.Memo1->setPlainText("draft");
    chat->ui.BitBtn2->setFocus();
    QTest::keyClick(chat->ui.BitBtn2, Qt::Key_Return);
    EXPECT_FALSE(chat->isVisible());
    EXPECT_TRUE(history(chat).isEmpty());
    EXPECT_EQ(w.scripted.count("g.php", "bob"), 0);
}

TEST_F(Sending, SeveralLinesArriveWhole) {
    typeAndEnter("first\r\nsecond\nthird");
    EXPECT_EQ(received(), "<me@x.org> first\nsecond\nthird");
}

TEST_F(Sending, ALineLongerThanAListenerTakesIsRefusedWhereItIsTypedKeepingTheText) {
    // In lines of 64, as a long paste would be: with its header, over the listener's 1 MiB.
    const QString text = QString(QString(63, 'x') + '\n').repeated((1 << 20) / 64);
    typeAndEnter(text);
    EXPECT_EQ(w.boxes.messages, QStringList{TForm4::tooLongMessage()});
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().startsWith(text));
    EXPECT_TRUE(history(chat).isEmpty());
    EXPECT_EQ(chat->undeliveredLines(), 0);
}

TEST_F(Sending, UnreachablePartnerQueuesTheLineAndEmptiesTheInput) {
    bob.stop();
    typeAndEnter("are you there?");
    ASSERT_TRUE(waitFor([&] { return history(chat).size() == 2; }));
    EXPECT_EQ(history(chat),
              QStringList({"<me@x.org> are you there?", TForm4::waitingNote("bob")}));
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().isEmpty());
    EXPECT_EQ(chat->undeliveredLines(), 1);
}

TEST_F(Sending, APartnerThatStopsReadingGetsTheWaitingNote) {
    // bob's address now leads to a host that takes the connection and then reads nothing, as
    // one that vanished while a long pasted text was going out.
    const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int small = 4096;
    ::setsockopt(listener, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t length = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    w.scripted.reply("g.php?u=bob", {at(ntohs(addr.sin_port))});
    w.main->outbox().setSendTimeout(std::chrono::milliseconds(300));

    QString text;
    for (int i = 0; i < 1000; ++i) // 1 MB: more than the buffers on the way hold
        text += QString(1000, 'y') + '\n';
    text += "end";
    typeAndEnter(text);
    // The window takes input while the send waits for the partner.
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().isEmpty());
    ASSERT_TRUE(waitFor([&] {
        const QStringList lines = history(chat);
        return !lines.isEmpty() && lines.last() == TForm4::waitingNote("bob");
    }));
    EXPECT_EQ(chat->undeliveredLines(), 1);
    ::close(listener);
}

TEST_F(Sending, FailedLookupShowsTheErrorAndSendsNothing) {
    w.scripted.reply("g.php?u=bob", {"127.0.0.1\r\n"});
    typeAndEnter("hi");
    EXPECT_EQ(w.boxes.errors,
              QStringList{"The directory server's reply was not understood (HTTP 200)."});
    EXPECT_TRUE(history(chat).isEmpty());
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().startsWith("hi"));
}

TEST_F(Sending, TwoWindowsSendToTheirOwnPartners) {
    Peer cy;
    w.scripted.reply("g.php?u=cy", {at(cy.port())});
    w.main->ui.ListBox1->addItem("cy");
    w.main->ui.ListBox1->setCurrentRow(1);
    w.main->ui.SendMessage1->trigger();
    TForm4* cyChat = TForm3::openChatWindow("cy");
    ASSERT_NE(cyChat, nullptr);
    cyChat->ui.Memo1->setPlainText("for cy");
    cyChat->ui.BitBtn1->click();
    typeAndEnter("for bob");
    EXPECT_EQ(received(), "<me@x.org> for bob");
    ASSERT_TRUE(waitFor([&] { return cy.nonEmpty().size() == 1; }));
    EXPECT_EQ(cy.nonEmpty()[0], "<me@x.org> for cy");
}

TEST_F(Sending, ClosingRemovesThePartnerFromTheOpenChats) {
    chat->close();
    EXPECT_TRUE(OpenChats.isEmpty());
    w.main->ui.SendMessage1->trigger();
    TForm4* again = TForm3::openChatWindow("bob");
    ASSERT_NE(again, nullptr);
    EXPECT_NE(again, chat);
    EXPECT_TRUE(history(again).isEmpty());
}

// ---- two users ------------------------------------------------------------------------------

TEST(TwoUsers, RegisterLogInBefriendGoOnlineAndTalk) {
    World w(observedAddress());
    // The other user: an account, a listener of its own and a friend line back.
    Peer bob;
    w.server.registerUser("bob@x.org", "pw");
    w.server.login("bob@x.org", "pw", "127.0.0.1", bob.port());
    w.registerAndLogIn("ann@x.org", "secret");
    ASSERT_EQ(w.main->windowTitle(), "[ann@x.org]");
    w.server.request("f.php", {{"u", "bob@x.org"}, {"f", "ann@x.org"}});

    w.main->ui.Edit1->setText("bob@x.org");
    w.main->ui.SpeedButton1->click();
    ASSERT_TRUE(waitFor([&] { return w.main->ui.ListBox1->count() == 1; }));

    // bob sees ann online the way his client would: her registered address answers.
    const std::string annAt = w.server.request("g.php", {{"u", "ann@x.org"}});
    const int annPort = std::stoi(annAt.substr(annAt.find("\r\n") + 2));
    ASSERT_TRUE(sendLine(annPort, "<bob@x.org> hi ann"));
    ASSERT_TRUE(waitFor([&] { return TForm3::openChatWindow("bob@x.org") != nullptr; }));
    TForm4* chat = TForm3::openChatWindow("bob@x.org");
    ASSERT_TRUE(waitFor([&] { return history(chat).size() == 1; }));
    EXPECT_EQ(history(chat), QStringList{"<bob@x.org> hi ann"});

    chat->ui.Memo1->setPlainText("hi bob");
    chat->ui.Memo1->moveCursor(QTextCursor::End);
    QTest::keyClick(chat->ui.Memo1, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return !bob.nonEmpty().empty(); }));
    EXPECT_EQ(bob.nonEmpty()[0], "<ann@x.org> hi bob");
    EXPECT_EQ(history(chat), QStringList({"<bob@x.org> hi ann", "<ann@x.org> hi bob"}));
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

} // namespace

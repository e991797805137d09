// Trust and delivery, end to end through the real listener on loopback: each received line
// says whether it came from where its sender is registered, lines to a friend who cannot be
// reached wait and go out when the friend is back, lines raise desktop notifications through a
// real D-Bus daemon, and floods of made-up senders neither open windows without end nor get
// lost.
#include "globals.h"
#include "loopback.h"
#include "main.h"
#include "message.h"
#include "peer.h"
#include "process.h"
#include "setaside.h"
#include "ui/notifier.h"
#include "ui/timer.h"
#include "world.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVirtualObject>
#include <QListWidget>
#include <QStandardPaths>
#include <QTest>
#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <set>
#include <thread>

using namespace sorvane::test;

namespace {

int openWindows() {
    int n = 0;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (qobject_cast<TForm4*>(w) && w->isVisible())
            ++n;
    return n;
}

// One peer line from the loopback address `from`, returning once the listener has read it and
// closed the connection: lines sent one after another arrive in that order.
void deliver(int port, const std::string& line, const char* from = "127.0.0.1") {
    const loopback::Fd fd = loopback::ConnectFrom(from, static_cast<std::uint16_t>(port));
    ASSERT_TRUE(fd) << from;
    loopback::Send(*fd, line + "\r\n");
    ASSERT_TRUE(loopback::ReadToClose(*fd)) << line;
}

class LoggedIn : public ::testing::Test {
protected:
    explicit LoggedIn(sorvane::ui::INotifier* notifier = nullptr) : w(notifier) {}
    void logIn(const std::string& friends = {}) {
        w.logInAs("me@x.org", friends);
        w.main->Timer2->setEnabled(false);
        port = std::stoi(w.main->TcpServer1.localPort());
    }
    ScriptedWorld w;
    int port = 0;
};

// ---- who sent a line ------------------------------------------------------------------------

using SenderCheck = LoggedIn;

TEST_F(SenderCheck, EachLineSaysWhereItCameFromAndOneSendersLinesKeepTheirOrder) {
    logIn();
    const auto note = [](const char* from, const char* sender) {
        return QStringLiteral("(not verified: this line came from %1, not from %2's address)")
            .arg(from, sender);
    };
    struct Row {
        const char* sender;
        std::string registered; // the directory's "g.php" reply
        const char* from;
        QString note;
        int status = 200;
    } rows[] = {
        {"ann@x.org", at(7), "127.0.0.1", {}},
        {"host@x.org", "localhost\r\n7\r\n", "127.0.0.1", {}}, // a host name is resolved
        {"eve@x.org", at(7), "127.0.0.2", note("127.0.0.2", "eve@x.org")},
        {"ghost@x.org", "", "127.0.0.3", note("127.0.0.3", "ghost@x.org")}, // no such user
        {"busy@x.org", at(7), "127.0.0.1", "(not verified: the directory could not be reached)",
         503},
    };
    for (const Row& row : rows) {
        w.scripted.reply(std::string("g.php?u=") + row.sender, {row.registered}, row.status);
        const std::string line = std::string("<") + row.sender + "> hello";
        deliver(port, line, row.from);
        QStringList expected{QString::fromStdString(line)};
        if (!row.note.isEmpty())
            expected << row.note;
        EXPECT_TRUE(waitFor([&] {
            return history(TForm3::openChatWindow(row.sender)) == expected;
        })) << row.sender
            << ": " << history(TForm3::openChatWindow(row.sender)).join('|').toStdString();
    }

    // An address the directory confirmed stands in for the sender's next lookup.
    deliver(port, "<ann@x.org> again");
    EXPECT_TRUE(waitFor([&] { return history(TForm3::openChatWindow("ann@x.org")).size() == 2; }));
    EXPECT_EQ(w.scripted.count("g.php", "ann@x.org"), 1);

    // A friend's line from the address the last presence run found needs no lookup, but it
    // still waits behind the friend's earlier line whose lookup is slow.
    Peer bob;
    w.scripted.reply("g.php?u=bob", {at(bob.port())});
    w.main->ui.ListBox2->addItem("bob");
    ASSERT_TRUE(runPresence(*w.main));
    w.scripted.hold("g.php?u=bob");
    deliver(port, "<bob> 1", "127.0.0.2");
    deliver(port, "<bob> 2");
    QTest::qWait(100);
    EXPECT_EQ(TForm3::openChatWindow("bob"), nullptr);
    w.scripted.release();
    EXPECT_TRUE(waitFor([&] {
        return history(TForm3::openChatWindow("bob")) ==
               QStringList({"<bob> 1", note("127.0.0.2", "bob"), "<bob> 2"});
    })) << history(TForm3::openChatWindow("bob")).join('|').toStdString();

    // The directory gone: the line is still shown, with the other note.
    w.scripted.stop();
    deliver(port, "<zed@x.org> anyone?");
    EXPECT_TRUE(waitFor([&] {
        return history(TForm3::openChatWindow("zed@x.org")) ==
               QStringList(
                   {"<zed@x.org> anyone?", "(not verified: the directory could not be reached)"});
    }));
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

// ---- lines that wait for the friend ---------------------------------------------------------

using WaitingLines = LoggedIn;

TEST_F(WaitingLines, GoOutInOrderOnceWhenAPresenceRunOrALineFindsTheFriendBack) {
    const int bobPort = deadPort();
    w.scripted.reply("g.php?u=bob", {at(bobPort)});
    logIn();
    w.main->ui.ListBox1->addItem("bob");
    w.main->ui.ListBox1->setCurrentRow(0);
    w.main->ui.SendMessage1->trigger();
    TForm4* chat = TForm3::openChatWindow("bob");
    ASSERT_NE(chat, nullptr);
    const QString waiting = "(waiting: bob cannot be reached; it goes out when bob is back online)";
    const auto type = [&](const QString& text) {
        chat->ui.Memo1->setPlainText(text);
        chat->ui.Memo1->moveCursor(QTextCursor::End);
        QTest::keyClick(chat->ui.Memo1, Qt::Key_Return);
        // The text is safe in the queue: the input is empty at once.
        ASSERT_TRUE(waitFor([&] { return chat->ui.Memo1->toPlainText().isEmpty(); }));
        ASSERT_TRUE(waitFor([&] { return history(chat).endsWith(waiting); }));
    };
    const QString longLine = "one, and then a line longer than forty characters";
    type(longLine);
    type("two"); // joins the end of the queue
    EXPECT_EQ(chat->undeliveredLines(), 2);
    EXPECT_EQ(history(chat),
              QStringList({"<me@x.org> " + longLine, waiting, "<me@x.org> two", waiting}));

    // bob's client starts on its registered port; the next presence run sends the queue.
    {
        Peer bob(bobPort);
        ASSERT_TRUE(runPresence(*w.main));
        ASSERT_TRUE(waitFor([&] { return chat->undeliveredLines() == 0; }));
        EXPECT_TRUE(waitFor([&] { return bob.nonEmpty().size() == 2; }));
        ASSERT_TRUE(runPresence(*w.main)); // nothing goes out twice
        EXPECT_EQ(bob.nonEmpty(), std::vector<std::string>(
                                      {"<me@x.org> " + longLine.toStdString(), "<me@x.org> two"}));
        EXPECT_EQ(history(chat).mid(4),
                  QStringList({"(delivered: " + longLine.left(40) + ")", "(delivered: two)"}));
    }

    // Gone again; a line from bob brings the next waiting line out.
    type("three");
    {
        Peer bob(bobPort);
        deliver(port, "<bob> back");
        EXPECT_TRUE(waitFor([&] { return bob.nonEmpty().size() == 1; }));
        EXPECT_EQ(bob.nonEmpty(), std::vector<std::string>{"<me@x.org> three"});
        EXPECT_TRUE(waitFor([&] { return history(chat).endsWith("(delivered: three)"); }));
        EXPECT_TRUE(history(chat).contains("<bob> back"));
    }

    // Closing with lines waiting asks first; No keeps the window and the lines.
    type("four");
    type("five");
    w.boxes.answer = false;
    chat->ui.BitBtn2->click();
    EXPECT_TRUE(chat->isVisible());
    w.main->ui.Close1->trigger(); // the tray's "Close"
    EXPECT_EQ(w.desktop.ended, 0);
    EXPECT_EQ(w.boxes.questions,
              QStringList({"2 lines to bob have not been delivered yet. Close the window and "
                           "discard them?",
                           "2 lines to bob have not been delivered yet. Close the program and "
                           "discard them?"}));
    w.boxes.answer = true;
    chat->ui.BitBtn2->click();
    EXPECT_FALSE(chat->isVisible());
    w.main->ui.Close1->trigger(); // nothing waits any more: no question
    EXPECT_EQ(w.boxes.questions.size(), 3);
    EXPECT_EQ(w.desktop.ended, 1);
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

// ---- desktop notifications ------------------------------------------------------------------

// A session bus of the test's own: dbus-daemon on a socket in a temporary folder. Started with
// a plain fork (not QProcess, whose clone-based start ThreadSanitizer cannot follow).
class PrivateBus {
public:
    PrivateBus() {
        const QString program = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
        if (program.isEmpty())
            return;
        const std::string socket = (dir_.path() / "bus").string();
        pid_ = sorvane::test::spawnLogged({program.toStdString(), "--session", "--nofork",
                                           "--nopidfile", "--address=unix:path=" + socket},
                                          ::getuid(), ::getgid(), (dir_.path() / "log").string(),
                                          SIGKILL);
        // Ready once its socket takes a connection.
        for (int i = 0; i < 1000 && address.isEmpty(); ++i) {
            const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", socket.c_str());
            if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0)
                address = QString::fromStdString("unix:path=" + socket);
            ::close(fd);
            if (address.isEmpty())
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
    }
    ~PrivateBus() {
        if (pid_ > 0)
            sorvane::test::stopChild(pid_, SIGTERM, 5);
    }
    QString address;

private:
    TempDir dir_;
    pid_t pid_ = -1;
};

// A notification service that records what it is asked to show; ids as a real one hands out.
class RecordingNotifications final : public QDBusVirtualObject {
public:
    struct Call {
        QString app;
        uint replaces;
        QString icon, summary, body;
        QStringList actions;
        uint id;
    };
    std::vector<Call> calls;

    bool handleMessage(const QDBusMessage& message, const QDBusConnection& connection) override {
        if (message.member() != QLatin1String("Notify"))
            return false;
        const QList<QVariant> a = message.arguments();
        Call call{a[0].toString(),
                  a[1].toUInt(),
                  a[2].toString(),
                  a[3].toString(),
                  a[4].toString(),
                  a[5].toStringList(),
                  0};
        call.id = call.replaces != 0 ? call.replaces : ++lastId_;
        calls.push_back(call);
        connection.send(message.createReply(QVariant::fromValue(call.id)));
        return true;
    }
    QString introspect(const QString&) const override { return {}; }
    std::vector<Call> of(const QString& summary) const {
        std::vector<Call> out;
        for (const Call& c : calls)
            if (c.summary == summary)
                out.push_back(c);
        return out;
    }

private:
    uint lastId_ = 0;
};

class Notifying : public ::testing::Test {
protected:
    void SetUp() override {
        if (bus.address.isEmpty())
            GTEST_SKIP() << "dbus-daemon did not start";
        ASSERT_TRUE(serviceBus.isConnected());
        ASSERT_TRUE(serviceBus.registerVirtualObject(
            QStringLiteral("/org/freedesktop/Notifications"), &service));
        ASSERT_TRUE(serviceBus.registerService(QStringLiteral("org.freedesktop.Notifications")));
    }
    void TearDown() override {
        QDBusConnection::disconnectFromBus(QStringLiteral("service"));
        QDBusConnection::disconnectFromBus(QStringLiteral("client"));
    }
    PrivateBus bus;
    QDBusConnection serviceBus =
        QDBusConnection::connectToBus(bus.address, QStringLiteral("service"));
    RecordingNotifications service;
};

TEST_F(Notifying, OnePerSenderPlainTextAndNoneForTheActiveWindow) {
    sorvane::ui::DBusNotifier notifier(
        [&] { return QDBusConnection::connectToBus(bus.address, QStringLiteral("client")); });
    ScriptedWorld w(&notifier);
    w.logInAs("me@x.org");
    w.main->Timer2->setEnabled(false);
    const int port = std::stoi(w.main->TcpServer1.localPort());
    w.scripted.reply("g.php", {at(7)});

    // Windows open first; then the user looks at another window while bursts arrive.
    const QString markupName = "<img src=/usr/share/pixmaps/debian-logo.png";
    deliver(port, "<ann@x.org> first");
    deliver(port, "<" + markupName.toStdString() + "> <b>bold</b> & <i>more</i>");
    ASSERT_TRUE(waitFor([&] { return openWindows() == 2; }));
    QWidget elsewhere;
    elsewhere.show();
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    for (int i = 1; i <= 5; ++i)
        deliver(port, "<ann@x.org> line " + std::to_string(i));
    deliver(port, "<cy@x.org> hi");
    TForm4* ann = TForm3::openChatWindow("ann@x.org");
    ASSERT_TRUE(waitFor([&] { return history(ann).size() == 6; }));
    ASSERT_TRUE(waitFor([&] {
        const auto calls = service.of("ann@x.org");
        return !calls.empty() && calls.back().body == "line 5" && !service.of("cy@x.org").empty();
    }));

    // One notification per sender, replaced in place; what the service was told.
    for (const QString& sender : {QStringLiteral("ann@x.org"), markupName}) {
        std::set<uint> ids;
        for (const auto& call : service.of(sender))
            ids.insert(call.id);
        EXPECT_EQ(ids.size(), 1u) << sender.toStdString();
    }
    const auto shown = service.of(markupName);
    ASSERT_FALSE(shown.empty());
    EXPECT_EQ(shown.back().app, "Sorvane Messenger");
    EXPECT_EQ(shown.back().icon, "sorvane-messenger");
    EXPECT_EQ(shown.back().body, "&lt;b&gt;bold&lt;/b&gt; &amp; &lt;i&gt;more&lt;/i&gt;");
    EXPECT_TRUE(shown.back().actions.contains("default"));

    // The sender's name is text everywhere it is shown.
    TForm4* odd = TForm3::openChatWindow(markupName);
    ASSERT_NE(odd, nullptr);
    EXPECT_EQ(odd->ui.Label2->textFormat(), Qt::PlainText);
    EXPECT_EQ(odd->windowTitle(), markupName + " - Message");
    EXPECT_EQ(history(odd).first(), "<" + markupName + "> <b>bold</b> & <i>more</i>");

    // The default action shows and activates the sender's window.
    TForm4* cy = TForm3::openChatWindow("cy@x.org");
    ASSERT_NE(cy, nullptr);
    elsewhere.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&elsewhere));
    QDBusMessage invoked = QDBusMessage::createSignal(
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("ActionInvoked"));
    invoked << service.of("cy@x.org").back().id << QStringLiteral("default");
    serviceBus.send(invoked);
    EXPECT_TRUE(waitFor([&] { return cy->isVisible() && cy->isActiveWindow(); }));

    // A line for the window the user is looking at raises nothing.
    const std::size_t before = service.calls.size();
    deliver(port, "<cy@x.org> seen");
    ASSERT_TRUE(waitFor([&] { return history(cy).size() == 2; }));
    QTest::qWait(200); // a notification call would be out by now
    EXPECT_EQ(service.calls.size(), before);
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

TEST(NoBus, LinesArriveAsBeforeWithoutABoxOrAnError) {
    sorvane::ui::DBusNotifier notifier([] {
        return QDBusConnection::connectToBus(QStringLiteral("unix:path=/nonexistent/bus"),
                                             QStringLiteral("nowhere"));
    });
    ScriptedWorld w(&notifier);
    w.desktop.tray = false;
    w.logInAs("me@x.org");
    w.main->Timer2->setEnabled(false);
    w.scripted.reply("g.php", {at(7)});
    deliver(std::stoi(w.main->TcpServer1.localPort()), "<ann@x.org> hi");
    EXPECT_TRUE(waitFor([&] {
        return history(TForm3::openChatWindow("ann@x.org")) == QStringList{"<ann@x.org> hi"};
    }));
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

// ---- floods ---------------------------------------------------------------------------------

using Floods = LoggedIn;

TEST_F(Floods, MadeUpSendersOpenTenWindowsTheRestAreSetAsideAndHistoriesStayBounded) {
    logIn("#pal");
    w.scripted.reply("g.php", {at(7)});
    for (int i = 0; i < 50; ++i)
        deliver(port, "<made-up-" + std::to_string(i) + "@x.org> buy now");
    deliver(port, "<pal> still here"); // a friend is never held back
    ASSERT_TRUE(waitFor([&] { return TForm3::openChatWindow("pal") != nullptr; }));
    ASSERT_TRUE(waitFor([&] { return w.main->arrivals().setAsideCount() == 40; }));
    EXPECT_EQ(openWindows(), 11);
    EXPECT_EQ(w.main->arrivals().setAsidePeople(), 40);

    // Offered in one message; choosing it shows them all in one place.
    const QString offer = "40 lines from 40 people who are not your friends were set aside";
    const auto offered = [&] {
        for (const auto& shown : w.notifications.shown)
            if (shown.body == offer)
                return shown.activated;
        return RecordingNotifier::Activation{};
    };
    ASSERT_TRUE(waitFor([&] { return offered() != nullptr; }));
    offered()();
    TSetAsideBox* box = nullptr;
    for (QWidget* widget : QApplication::topLevelWidgets())
        if (auto* b = qobject_cast<TSetAsideBox*>(widget); b && b->isVisible())
            box = b;
    ASSERT_NE(box, nullptr);
    const QStringList aside = box->ui.Memo1->toPlainText().split('\n');
    ASSERT_EQ(aside.size(), 40);
    EXPECT_EQ(aside.first(), "<made-up-10@x.org> buy now");
    EXPECT_EQ(w.main->arrivals().setAsideCount(), 0);

    // A window fed 6,000 lines keeps the last 5,000 below a line that counts the others.
    for (int i = 0; i < 6000; ++i)
        InboundLines.append({"<pal> " + std::to_string(i), "127.0.0.1"});
    w.main->Timer1Timer();
    TForm4* pal = TForm3::openChatWindow("pal");
    ASSERT_TRUE(
        waitFor([&] { return history(pal).last() == "<pal> 5999"; }, std::chrono::seconds(30)));
    const QStringList kept = history(pal);
    ASSERT_EQ(kept.size(), 5001);
    EXPECT_EQ(kept[0], "(1001 earlier lines were dropped)"); // "still here" among them
    EXPECT_EQ(kept[1], "<pal> 1000");
}

} // namespace

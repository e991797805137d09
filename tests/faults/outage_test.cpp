// Parties that go away in the middle of a session: the directory server is killed and comes
// back, and a friend's client dies between the lookup of its address and the send.
#include "peer_process.h"

#include "globals.h"
#include "login.h"
#include "main.h"
#include "message.h"
#include "ui/timer.h"
#include "world.h"

#include <QListWidget>
#include <QTest>
#include <gtest/gtest.h>
#include <httplib.h>

#include <functional>
#include <mutex>
#include <thread>

using namespace sorvane::test;
using namespace std::chrono_literals;

namespace {

QStringList entries(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

const QString kUnreachable = QStringLiteral("Cannot reach the directory server.");

TEST(DirectoryOutage, RequestsSayItPresenceGoesOnAndFriendsComeBackWithTheServer) {
    World w(observedAddress());
    PeerProcess pal;
    w.server.registerUser("pal@x.org", "pw");
    ASSERT_EQ(w.server.login("pal@x.org", "pw", "127.0.0.1", pal.port()).substr(0, 2), "OK");
    w.registerAndLogIn("me@x.org");
    w.main->ui.Edit1->setText("pal@x.org");
    w.main->ui.SpeedButton1->click(); // adds pal and starts a presence run at once
    ASSERT_TRUE(waitFor([&] { return entries(w.main->ui.ListBox1) == QStringList{"pal@x.org"}; }));
    ASSERT_TRUE(w.boxes.errors.isEmpty());

    w.server.kill9();

    // The next request the user makes says what is wrong, once, and changes nothing.
    w.main->ui.Edit1->setText("zed@x.org");
    w.main->ui.SpeedButton1->click();
    EXPECT_EQ(w.boxes.errors, QStringList{kUnreachable});
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_EQ(entries(w.main->ui.ListBox2), QStringList{});
    w.main->ui.ListBox1->setCurrentRow(0);
    w.main->ui.SendMessage1->trigger();
    TForm4* chat = TForm3::openChatWindow("pal@x.org");
    ASSERT_NE(chat, nullptr);
    chat->ui.Memo1->setPlainText("anyone?");
    chat->ui.BitBtn1->click();
    EXPECT_EQ(w.boxes.errors, QStringList({kUnreachable, kUnreachable}));
    EXPECT_EQ(chat->ui.Memo1->toPlainText(), "anyone?");
    w.boxes.clear();

    // Presence runs go on in the background: no box, pal left where pal was, the next run due.
    ASSERT_TRUE(runPresence(*w.main));
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_EQ(entries(w.main->ui.ListBox1), QStringList{"pal@x.org"});
    EXPECT_EQ(entries(w.main->ui.ListBox2), QStringList{});
    EXPECT_TRUE(w.main->Timer2->enabled());
    EXPECT_EQ(w.main->Timer2->interval(), 60000);
    ASSERT_TRUE(runPresence(*w.main));
    EXPECT_TRUE(w.boxes.errors.isEmpty());

    // The server comes back with its database: the next run finds pal again, no restart of
    // the client needed, and requests work as before.
    w.server.restart();
    ASSERT_TRUE(runPresence(*w.main));
    EXPECT_EQ(entries(w.main->ui.ListBox1), QStringList{"pal@x.org"});
    EXPECT_EQ(entries(w.main->ui.ListBox2), QStringList{});
    chat->ui.BitBtn1->click();
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().isEmpty());
    EXPECT_EQ(history(chat), QStringList{"<me@x.org> anyone?"});
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    EXPECT_TRUE(w.boxes.messages.isEmpty());
}

// A directory that lets the test act between answering a lookup and the client's next step.
class HookedDirectory {
public:
    HookedDirectory() {
        server_.Get(R"(/messenger/(\w)\.php)",
                    [this](const httplib::Request& req, httplib::Response& res) {
                        std::string body;
                        if (req.matches[1] == "c")
                            body = "OK\r\n#pal\r\n";
                        else if (req.matches[1] == "g") {
                            std::lock_guard lock(mutex_);
                            if (beforeLookupReply_)
                                beforeLookupReply_();
                            body = "127.0.0.1\r\n" + std::to_string(peerPort_) + "\r\n";
                        }
                        res.set_content(body, "text/plain");
                    });
        port_ = server_.bind_to_any_port("127.0.0.1");
        thread_ = std::thread([this] { server_.listen_after_bind(); });
        while (!server_.is_running())
            std::this_thread::sleep_for(1ms);
    }
    ~HookedDirectory() {
        server_.stop();
        thread_.join();
    }
    std::string base() const { return "http://127.0.0.1:" + std::to_string(port_) + "/messenger/"; }

    // What the lookup answers, and what happens just before it answers (on the server's
    // thread).
    void answer(int peerPort, std::function<void()> beforeReply = {}) {
        std::lock_guard lock(mutex_);
        peerPort_ = peerPort;
        beforeLookupReply_ = std::move(beforeReply);
    }

private:
    std::mutex mutex_;
    std::function<void()> beforeLookupReply_;
    int peerPort_ = 0;
    httplib::Server server_;
    std::thread thread_;
    int port_ = 0;
};

TEST(PeerDies, BetweenTheLookupAndTheSendTheLineWaitsAndGoesOutWhenThePeerIsBack) {
    HookedDirectory directory;
    PeerProcess pal;
    directory.answer(pal.port());
    Windows w(directory.base());
    w.logIn("me@x.org", "pw");
    w.main->Timer2->setEnabled(false);
    w.main->ui.ListBox2->clear();
    w.main->ui.ListBox1->addItem("pal");
    w.main->ui.ListBox1->setCurrentRow(0);
    w.main->ui.SendMessage1->trigger();
    TForm4* chat = TForm3::openChatWindow("pal");
    ASSERT_NE(chat, nullptr);

    // The directory still gives pal's address, but pal's client is gone by the time it arrives.
    directory.answer(pal.port(), [&] { pal.kill9(); });
    chat->ui.Memo1->setPlainText("see you at eight");
    chat->ui.Memo1->moveCursor(QTextCursor::End);
    QTest::keyClick(chat->ui.Memo1, Qt::Key_Return);
    ASSERT_TRUE(waitFor([&] { return history(chat).size() == 2; }));
    EXPECT_FALSE(pal.running());
    EXPECT_EQ(history(chat),
              QStringList({"<me@x.org> see you at eight", TForm4::waitingNote("pal")}));
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    EXPECT_TRUE(w.boxes.messages.isEmpty());

    // pal's client starts again on a new port: the next presence run finds pal and the line
    // goes out.
    PeerProcess again;
    directory.answer(again.port());
    ASSERT_TRUE(runPresence(*w.main));
    ASSERT_TRUE(waitFor([&] { return chat->undeliveredLines() == 0; }));
    EXPECT_EQ(history(chat).last(), "(delivered: see you at eight)");
}

} // namespace

// The login window: the OK-button rule, the two modes, the attention animation, the friend
// text of the login reply, and logging in against a directory.
#include "globals.h"
#include "login.h"
#include "main.h"
#include "message.h"
#include "peer.h" // sendLine
#include "ui/timer.h"
#include "world.h"

#include <QApplication>
#include <QListWidget>
#include <QTest>
#include <gtest/gtest.h>

using namespace sorvane::test;

namespace {

struct OkRuleRow {
    bool loginMode;
    const char* email;
    const char* password;
    bool enabled;
    friend void PrintTo(const OkRuleRow& r, std::ostream* os) {
        *os << (r.loginMode ? "login" : "new user") << " '" << r.email << "' '" << r.password
            << "'";
    }
};

class OkButtonRule : public ::testing::TestWithParam<OkRuleRow> {};

TEST_P(OkButtonRule, FollowsModeAndBoxes) {
    ScriptedWorld w;
    const OkRuleRow row = GetParam();
    w.login->ui.Edit1->setText(row.email);
    w.login->ui.MaskEdit1->setText(row.password);
    if (!row.loginMode)
        w.login->ui.RadioButton1->setChecked(true);
    EXPECT_EQ(w.login->ui.BitBtn1->isEnabled(), row.enabled);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, OkButtonRule,
    ::testing::Values(OkRuleRow{true, "", "", false}, OkRuleRow{true, "a@b.c", "", false},
                      OkRuleRow{true, "", "pw", false}, OkRuleRow{true, "a@b.c", "pw", true},
                      OkRuleRow{true, "a@b.c", " ", true}, OkRuleRow{false, "", "", true},
                      OkRuleRow{false, "a@b.c", "pw", true}));

TEST(LoginWindow, StartsInLoginModeWithOkDisabled) {
    ScriptedWorld w;
    EXPECT_TRUE(w.login->ui.RadioButton2->isChecked());
    EXPECT_FALSE(w.login->ui.BitBtn1->isEnabled());
    EXPECT_TRUE(w.login->Timer1->enabled());
    EXPECT_EQ(w.login->Timer1->interval(), 100);
}

TEST(LoginWindow, ComesUpActiveAndTypingFillsTheEmailBoxThenTabThePassword) {
    ScriptedWorld w;
    w.main->show(); // as start-up does: the main window hands over to the login window
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.login));
    QTest::keyClicks(QApplication::focusWidget(), "ann@x.org");
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    QTest::keyClicks(QApplication::focusWidget(), "secret");
    EXPECT_EQ(w.login->ui.Edit1->text(), "ann@x.org");
    EXPECT_EQ(w.login->ui.MaskEdit1->text(), "secret");
}

TEST(LoginWindow, OkButtonGetsItsPictureOnceTheWindowIsDrawn) {
    ScriptedWorld w;
    EXPECT_TRUE(w.login->ui.BitBtn1->icon().isNull());
    w.main->show();
    EXPECT_TRUE(waitFor([&] { return !w.login->ui.BitBtn1->icon().isNull(); }));
}

TEST(LoginWindow, ModeChangesHideTheBoxesAndKeepTheirTexts) {
    ScriptedWorld w;
    w.login->show();
    w.login->ui.Edit1->setText("ann@x.org");
    w.login->ui.RadioButton1->setChecked(true);
    EXPECT_FALSE(w.login->ui.GroupBox1->isVisible());
    EXPECT_TRUE(w.login->ui.BitBtn1->isEnabled());
    w.login->ui.RadioButton2->setChecked(true);
    EXPECT_TRUE(w.login->ui.GroupBox1->isVisible());
    EXPECT_EQ(w.login->ui.Edit1->text(), "ann@x.org");
    EXPECT_FALSE(w.login->ui.BitBtn1->isEnabled()); // no password yet
}

TEST(LoginWindow, EmailBoxForcesLowerCaseAlsoFromCode) {
    ScriptedWorld w;
    w.login->ui.Edit1->setText("Ann@X.Org");
    EXPECT_EQ(w.login->ui.Edit1->text(), "ann@x.org");
}

TEST(LoginWindow, AnimationCirclesThroughFourPlaces) {
    ScriptedWorld w;
    QRadioButton* b = w.login->ui.RadioButton1;
    ASSERT_EQ(b->pos(), QPoint(16, 5));
    const QPoint expected[] = {{18, 7}, {16, 9}, {14, 7}, {16, 5}, {18, 7}};
    for (const QPoint& p : expected) {
        w.login->Timer1Timer();
        EXPECT_EQ(b->pos(), p);
    }
    ShakeStep = 7; // out of range: nothing moves
    w.login->Timer1Timer();
    EXPECT_EQ(b->pos(), QPoint(18, 7));
    EXPECT_EQ(ShakeStep, 7);
}

struct FriendTextRow {
    const char* text;
    QStringList names;
    friend void PrintTo(const FriendTextRow& r, std::ostream* os) { *os << '"' << r.text << '"'; }
};

class FriendText : public ::testing::TestWithParam<FriendTextRow> {};

TEST_P(FriendText, GivesTheNamesInOrder) {
    EXPECT_EQ(TForm1::parseFriendText(GetParam().text), GetParam().names);
}

INSTANTIATE_TEST_SUITE_P(Rows, FriendText,
                         ::testing::Values(FriendTextRow{"#a#b#c", {"a", "b", "c"}},
                                           FriendTextRow{"#a##b#", {"a", "", "b", ""}},
                                           FriendTextRow{"#", {""}}, FriendTextRow{"", {}},
                                           FriendTextRow{"#Ann Lee# x", {"Ann Lee", " x"}},
                                           // text before the first "#" names nobody
                                           FriendTextRow{"junk#a#b", {"a", "b"}},
                                           FriendTextRow{"no names", {}}));

TEST(Login, AcceptedFillsTheOfflineListAndOpensTheListener) {
    World w(observedAddress());
    w.server.registerUser("bob@x.org", "pw");
    w.server.registerUser("cy@x.org", "pw");
    w.server.registerUser("ann@x.org", "secret");
    w.server.login("ann@x.org", "secret");
    w.server.request("f.php", {{"u", "ann@x.org"}, {"f", "bob@x.org"}});
    w.server.request("f.php", {{"u", "ann@x.org"}, {"f", "cy@x.org"}});
    w.main->ui.ListBox2->addItem("kept");
    w.main->setEnabled(false);
    w.login->show();

    w.logIn("ann@x.org", "secret");

    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"kept", "bob@x.org", "cy@x.org"}));
    EXPECT_EQ(w.main->windowTitle(), "[ann@x.org]");
    EXPECT_TRUE(w.main->isEnabled());
    EXPECT_FALSE(w.login->isVisible());
    EXPECT_FALSE(w.login->Timer1->enabled());
    EXPECT_TRUE(w.main->Timer2->enabled());
    EXPECT_EQ(w.main->Timer2->interval(), 1);
    // The port the directory holds is the one the listener opened.
    const std::string lookup = w.server.request("g.php", {{"u", "ann@x.org"}});
    const std::string port = w.main->TcpServer1.localPort();
    EXPECT_EQ(lookup.substr(0, lookup.find("\r\n", 11) + 2), "127.0.0.1\r\n" + port + "\r\n");
    EXPECT_TRUE(w.main->TcpServer1.listening());
    EXPECT_GE(std::stoi(port), 1024);
    EXPECT_LE(std::stoi(port), 9999);
}

TEST(Login, ReplyOfOneLineLogsInWithNoFriends) {
    ScriptedWorld w;
    w.scripted.reply("c.php", {"OK"});
    w.logIn("ann@x.org", "pw");
    EXPECT_EQ(w.main->windowTitle(), "[ann@x.org]");
    EXPECT_EQ(w.main->ui.ListBox2->count(), 0);
    EXPECT_TRUE(w.main->TcpServer1.listening());
}

class RefusedReply : public ::testing::TestWithParam<const char*> {};

TEST_P(RefusedReply, SaysWrongUsernameAndChangesNothing) {
    ScriptedWorld w;
    w.scripted.reply("c.php", {GetParam()});
    w.main->setEnabled(false);
    w.login->show();
    w.logIn("ann@x.org", "pw");
    EXPECT_EQ(w.boxes.messages, QStringList{"Wrong username or password!"});
    EXPECT_TRUE(w.login->isVisible());
    EXPECT_FALSE(w.main->isEnabled());
    EXPECT_EQ(w.main->windowTitle(), "Messenger");
    EXPECT_EQ(w.login->ui.MaskEdit1->text(), "pw");
    EXPECT_FALSE(w.main->TcpServer1.active());
    EXPECT_TRUE(w.login->Timer1->enabled());
}

INSTANTIATE_TEST_SUITE_P(Replies, RefusedReply,
                         ::testing::Values("ok\r\n#a", "OK \r\n#a", "\xEF\xBB\xBFOK\r\n", "Error"));

TEST(Login, WrongPasswordAgainstTheRealDirectory) {
    World w;
    w.server.registerUser("ann@x.org", "secret");
    w.logIn("ann@x.org", "guess");
    EXPECT_EQ(w.boxes.messages, QStringList{"Wrong username or password!"});
}

TEST(Login, EmptyReplyShowsTheIndexErrorAndChangesNothing) {
    ScriptedWorld w;
    w.scripted.reply("c.php", {""});
    w.logIn("ann@x.org", "pw");
    EXPECT_EQ(w.boxes.errors, QStringList{"List index out of bounds (0)."});
    EXPECT_EQ(w.main->windowTitle(), "Messenger");
    EXPECT_FALSE(w.main->TcpServer1.active());
}

TEST(Login, DirectoryDownIsSaidPlainly) {
    auto w = std::make_unique<World>();
    w->server.stop();
    w->logIn("ann@x.org", "pw");
    EXPECT_EQ(w->boxes.errors, QStringList{"Cannot reach the directory server."});
    EXPECT_EQ(w->main->windowTitle(), "Messenger");
}

TEST(Login, ARefusedChangeAsksForANewLoginThatCarriesOnWithTheSameWindows) {
    World w(observedAddress());
    w.server.registerAndLogin("bob@x.org", "pw"); // at 127.0.0.1, where his line comes from
    w.registerAndLogIn("ann@x.org");
    w.main->addFriend("bob@x.org");
    TForm4* chat = w.main->openChat("bob@x.org", false);
    for (const char* from : {"127.0.0.1", "127.0.0.2"}) { // the token replaced, then the address
        w.server.request("c.php", {{"u", "ann@x.org"}, {"p", "pw"}, {"port", "1"}}, from);
        w.main->ui.ListBox2->setCurrentRow(0);
        w.main->ui.Delete2->trigger();
    }
    EXPECT_EQ(w.boxes.messages,
              QStringList(2, "You logged in elsewhere, or your address changed. Log in again."));
    EXPECT_TRUE(w.login->isVisible() && w.login->ui.Edit1->isReadOnly());
    EXPECT_EQ(w.login->ui.Edit1->text(), "ann@x.org");
    w.login->ui.MaskEdit1->setText("pw");
    w.login->ui.BitBtn1->click();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{"bob@x.org"}); // not twice
    const std::string annAt = w.server.request("g.php", {{"u", "ann@x.org"}});
    ASSERT_TRUE(sendLine(std::stoi(annAt.substr(annAt.find("\r\n") + 2)), "<bob@x.org> hi"));
    EXPECT_TRUE(waitFor([&] { return history(chat) == QStringList{"<bob@x.org> hi"}; }));
}

TEST(Login, ListeningPortsAreUsableAndInRange) {
    std::mt19937 generator(42);
    for (int i = 0; i < 50; ++i) {
        const int port = TForm1::drawListeningPort(generator);
        EXPECT_GE(port, 1024);
        EXPECT_LE(port, 9999);
    }
}

} // namespace

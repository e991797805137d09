// The new user window: the address test, the order of the checks, the directory's answers and
// the hand-back to the login window.
#include "globals.h"
#include "login.h"
#include "main.h"
#include "newuser.h"
#include "tidy_world.h"

#include <QTest>
#include <gtest/gtest.h>

using namespace sorvane::test;

namespace {

struct AddressRow {
    const char* text;
    bool real;
};

class AddressTest : public ::testing::TestWithParam<AddressRow> {};

TEST_P(AddressTest, FollowsTheSevenRules) {
    EXPECT_EQ(TForm2::IsRealAddress(QString::fromUtf8(GetParam().text)), GetParam().real)
        << GetParam().text;
}

INSTANTIATE_TEST_SUITE_P(Rows, AddressTest,
                         ::testing::Values(AddressRow{"a@b.c", true}, AddressRow{"a.b@c", true},
                                           AddressRow{"a@b@c.d", true},
                                           AddressRow{"x_y-z+1@b.c", true},
                                           AddressRow{"\xc3\xa5se@b\xc3\xa6.no", true},
                                           AddressRow{"", false}, AddressRow{"ab.c", false},
                                           AddressRow{"@b.c", false}, AddressRow{".a@b.c", false},
                                           AddressRow{"a.@b.c", false}, AddressRow{"a@.b", false},
                                           AddressRow{"a@b", false}, AddressRow{"a@b.", false},
                                           AddressRow{"a@", false}, AddressRow{"a b@c.d", false},
                                           AddressRow{"a@b.c ", false}));

// Opens the window as the user does: "Create New User" and OK in the login window.
TForm2* openFromLogin(Windows& w) {
    w.login->show();
    QTest::mouseClick(w.login->ui.RadioButton1, Qt::LeftButton);
    QTest::mouseClick(w.login->ui.BitBtn1, Qt::LeftButton);
    return Form2;
}

void fill(TForm2* form, const char* email, const char* password, const char* confirm) {
    QTest::keyClicks(form->ui.Edit1, email);
    QTest::keyClicks(form->ui.MaskEdit1, password);
    QTest::keyClicks(form->ui.MaskEdit2, confirm);
}

int requestsTo(const World& w, const std::string& script) {
    const std::string log = w.server.logText();
    int n = 0;
    for (size_t at = log.find(script); at != std::string::npos; at = log.find(script, at + 1))
        ++n;
    return n;
}

TEST(NewUserWindow, ChecksRunInOrderAndOnlyTheFirstFailureSpeaks) {
    Tidy<World> w;
    struct Case {
        const char *email, *password, *confirm, *message;
    } const cases[] = {
        {"", "pw", "other", "Please write your e-mail!"},
        {"ab.c", "", "", "Please write your e-mail correctly!"},
        {"a@b.c", "", "x", "Please write a password!"},
        {"a@b.c", "pw", "", "Please check your password!"},
        {"a@b.c", "Secret", "secret", "Please check your password!"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        TForm2* form = openFromLogin(w);
        ASSERT_NE(form, nullptr);
        fill(form, c.email, c.password, c.confirm);
        w.boxes.clear();
        QTest::mouseClick(form->ui.BitBtn1, Qt::LeftButton);
        EXPECT_EQ(w.boxes.messages, QStringList{c.message});
        EXPECT_TRUE(form->isVisible());
        EXPECT_EQ(form->ui.MaskEdit2->text(), c.confirm);
        QTest::keyClick(form, Qt::Key_Escape);
    }
    EXPECT_EQ(requestsTo(w, "n.php"), 0);
}

TEST(NewUserWindow, TakenNameIsReportedAndTheWindowStays) {
    Tidy<World> w;
    w.server.registerUser("taken@x.org", "pw");
    TForm2* form = openFromLogin(w);
    fill(form, "taken@x.org", "pw", "pw");
    QTest::keyClick(form->ui.MaskEdit2, Qt::Key_Return); // Enter presses OK
    EXPECT_EQ(w.boxes.messages, QStringList{"taken@x.org is already exist!"});
    EXPECT_TRUE(form->isVisible());
    EXPECT_FALSE(w.login->isVisible());
}

TEST(NewUserWindow, CreatedAccountIsHandedBackReadyForThePassword) {
    Tidy<World> w;
    TForm2* form = openFromLogin(w);
    fill(form, "new@x.org", "pw", "pw");
    bool handedBackBeforeTheBoxClosed = true;
    w.boxes.onBox = [&] { handedBackBeforeTheBoxClosed = w.login->isVisible(); };
    QTest::mouseClick(form->ui.BitBtn1, Qt::LeftButton);
    w.boxes.onBox = nullptr;

    EXPECT_EQ(w.boxes.messages, QStringList{"Your account is created."});
    EXPECT_FALSE(handedBackBeforeTheBoxClosed);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(w.login->isVisible());
    EXPECT_EQ(w.login->ui.Edit1->text(), "new@x.org");
    EXPECT_TRUE(w.login->ui.RadioButton2->isChecked());
    EXPECT_TRUE(w.login->ui.GroupBox1->isVisible());
    EXPECT_TRUE(w.login->ui.MaskEdit1->text().isEmpty());
    EXPECT_FALSE(w.login->ui.BitBtn1->isEnabled());
    ASSERT_TRUE(QTest::qWaitForWindowActive(w.login)); // in front, the password box next
    EXPECT_TRUE(w.login->ui.MaskEdit1->hasFocus());

    QTest::keyClicks(w.login->ui.MaskEdit1, "pw");
    ASSERT_TRUE(w.login->ui.BitBtn1->isEnabled());
    QTest::mouseClick(w.login->ui.BitBtn1, Qt::LeftButton);
    EXPECT_EQ(w.main->windowTitle(), "[new@x.org]"); // the new account logs in
}

TEST(NewUserWindow, AnyOtherAnswerAsksForAnotherNameAndNoAnswerIsAnError) {
    Tidy<ScriptedWorld> w;
    for (const char* body : {"OK \r\n", "ok\r\n", "refused\r\n", "\r\nOK\r\n", ""}) {
        SCOPED_TRACE(body);
        w.scripted.reply("n.php", {body});
        TForm2* form = openFromLogin(w);
        fill(form, "a@b.c", "pw", "pw");
        w.boxes.clear();
        QTest::mouseClick(form->ui.BitBtn1, Qt::LeftButton);
        if (*body) {
            EXPECT_EQ(w.boxes.messages, QStringList{"Please choose another username"});
        } else {
            EXPECT_TRUE(w.boxes.messages.isEmpty());
            EXPECT_EQ(w.boxes.errors, QStringList{"List index out of bounds (0)."});
        }
        EXPECT_TRUE(form->isVisible());
        EXPECT_FALSE(w.login->isVisible());
        form->close();
    }
}

TEST(NewUserWindow, OpensWithTheFocusInTheEmailBoxAndEnterOnAFocusedCancelCancels) {
    Tidy<World> w;
    TForm2* form = openFromLogin(w);
    EXPECT_EQ(form->focusWidget(), form->ui.Edit1);
    form->ui.BitBtn2->setFocus(); // Tab, Tab, Tab, Tab
    QTest::keyClick(form->ui.BitBtn2, Qt::Key_Return);
    EXPECT_FALSE(form->isVisible());
    EXPECT_TRUE(w.boxes.messages.isEmpty()); // OK would have asked for the e-mail
    EXPECT_TRUE(w.login->isVisible());
}

TEST(NewUserWindow, CancelReturnsToCreateNewUserAndTheNextWindowIsNew) {
    Tidy<World> w;
    TForm2* first = openFromLogin(w);
    QTest::keyClicks(first->ui.Edit1, "half@typed");
    QTest::mouseClick(first->ui.BitBtn2, Qt::LeftButton);
    EXPECT_FALSE(first->isVisible());
    EXPECT_TRUE(w.login->isVisible());
    EXPECT_TRUE(w.login->ui.RadioButton1->isChecked());
    EXPECT_FALSE(w.login->ui.GroupBox1->isVisible());

    TForm2* second = openFromLogin(w);
    EXPECT_NE(second, first);
    EXPECT_TRUE(second->ui.Edit1->text().isEmpty());
    second->close(); // the title bar's close box: the login window comes back as well
    EXPECT_TRUE(w.login->isVisible());
    EXPECT_FALSE(first->isVisible());
}

} // namespace

// The view and edit information windows: loading a profile into the fields, and saving the
// own profile back.
#include "directory/directory.h"
#include "editinfo.h"
#include "globals.h"
#include "login.h"
#include "main.h"
#include "search.h"
#include "tidy_world.h"
#include "viewinfo.h"

#include <QRegularExpression>
#include <QTest>
#include <gtest/gtest.h>

using namespace sorvane::test;

namespace {

QStringList fields(const TForm6* f) {
    return {f->ui.Edit1->text(), f->ui.Edit2->text(), f->ui.Edit3->text(), f->ui.Edit4->text(),
            f->ui.Edit5->text(), f->ui.Edit6->text(), f->ui.Edit7->text(), f->ui.Edit8->text()};
}

QStringList fields(const TForm7* f) {
    return {f->ui.Edit1->text(),
            f->ui.Edit2->text(),
            f->ui.ComboBox2->currentText(),
            f->ui.ComboBox3->currentText(),
            f->ui.ComboBox4->currentText(),
            f->ui.ComboBox5->currentText(),
            f->ui.Edit7->text(),
            f->ui.ComboBox1->currentText()};
}

std::string lines(std::initializer_list<const char*> list) {
    std::string body;
    for (const char* line : list)
        body.append(line).append("\r\n");
    return body;
}

// Logged in with two offline friends; "View Information..." on one of them.
struct ViewWorld : Tidy<ScriptedWorld> {
    ViewWorld() { logInAs("me@x.org", "#ann@x.org#bob@x.org"); }
    TForm6* view(int row) {
        main->ui.ListBox2->setCurrentRow(row);
        main->ui.ViewInformation2->trigger();
        return Form6;
    }
};

TEST(ViewInformationWindow, ReplyLinesFillCaptionAndFieldsAndLinesPastEightAreIgnored) {
    ViewWorld w;
    w.scripted.reply("v.php?u=ann@x.org",
                     {lines({"Ann Smith", "Ann", "Smith", "Female", "1", "2", "1990", "Oslo",
                             "Norway", "extra", "more", "last"})});
    TForm6* form = w.view(0);
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->windowTitle(), "Ann Smith");
    EXPECT_EQ(fields(form),
              (QStringList{"Ann", "Smith", "Female", "1", "2", "1990", "Oslo", "Norway"}));
    EXPECT_EQ(w.scripted.count("v.php", "ann@x.org"), 1);
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

TEST(ViewInformationWindow, ShortRepliesFillWhatTheyReach) {
    ViewWorld w;
    w.scripted.reply("v.php?u=ann@x.org", {lines({"Someone Else"})});
    TForm6* one = w.view(0);
    EXPECT_EQ(one->windowTitle(), "Someone Else");
    EXPECT_EQ(fields(one), QStringList(8));

    TForm6* none = w.view(1); // bob: the directory answers nothing
    EXPECT_NE(none, one);
    EXPECT_EQ(none->windowTitle(), "bob@x.org");
    EXPECT_EQ(fields(none), QStringList(8));
    EXPECT_TRUE(one->isVisible() && none->isVisible());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

TEST(ViewInformationWindow, EachFriendGetsAWindowWithTheirOwnProfile) {
    Tidy<World> w;
    w.registerAndLogIn("me@x.org");
    for (const char* name : {"ann@x.org", "bob@x.org"}) {
        w.server.registerAndLogin(name, "pw");
        w.server.request("e.php", {{"u", name}, {"n", name}, {"co", "Norway"}});
        w.main->addFriend(name);
    }
    w.main->ui.ListBox2->setCurrentRow(0);
    w.main->ui.ViewInformation2->trigger();
    TForm6* ann = Form6;
    w.main->ui.ListBox2->setCurrentRow(1);
    w.main->ui.ViewInformation2->trigger();
    TForm6* bob = Form6;
    ASSERT_NE(ann, bob);
    EXPECT_EQ(ann->windowTitle(), "ann@x.org");
    EXPECT_EQ(ann->ui.Edit1->text(), "ann@x.org");
    EXPECT_EQ(bob->ui.Edit1->text(), "bob@x.org");
    EXPECT_EQ(bob->ui.Edit8->text(), "Norway");
    QTest::keyClick(ann, Qt::Key_Return); // OK is the default button
    EXPECT_FALSE(ann->isVisible());
    EXPECT_TRUE(bob->isVisible());
}

struct EditWorld : Tidy<ScriptedWorld> {
    EditWorld() {
        logInAs("me@x.org");
        scripted.reply("v.php", {lines({"me@x.org", "", "", "", "", "", "", "", ""})}); // unfilled
    }
    TForm7* open() {
        QTest::mouseClick(main->ui.BitBtn3, Qt::LeftButton); // "Edit My Profile..."
        return Form7;
    }
    std::string lastRequest() const { return scripted.requests().back(); }
};

TEST(EditInformationWindow, LoadFillsEveryControlEvenWithTextsOutsideTheItems) {
    EditWorld w;
    w.scripted.reply("v.php", {lines({"me@x.org", "Ann", "Smith", "Undisclosed", "31", "2", "1850",
                                      "Oslo", "Atlantis", "ignored"})});
    TForm7* form = w.open();
    ASSERT_NE(form, nullptr);
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(w.scripted.count("v.php", "me@x.org"), 1);
    EXPECT_EQ(fields(form),
              (QStringList{"Ann", "Smith", "Undisclosed", "31", "2", "1850", "Oslo", "Atlantis"}));
    EXPECT_EQ(form->ui.ComboBox3->currentIndex(), 30); // the list opens at "31"
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
}

// A failed read is said and leaves nothing to act on: no search rows to add, no edit window whose
// OK would send back values it did not read and blank the profile.
TEST(FailedReads, AreSaidAndLeaveNothingToActOn) {
    EditWorld w;
    w.scripted.reply("s.php", {"Error: too many searches, try again later\r\n"}, 429);
    auto* search = new TForm5(w.context);
    search->ui.BitBtn1->click();
    EXPECT_EQ(search->ui.ListView1->rowCount(), 0);
    Form7 = nullptr;
    using Reply = std::pair<int, std::string>;
    for (const auto& [status, body] : {Reply{500, ""}, Reply{200, "<p>Sign in</p>"}, Reply{404, ""},
                                       Reply{200, "me@x.org\r\n"}, Reply{0, ""}}) {
        status == 0 ? w.scripted.stop() : w.scripted.reply("v.php", {body}, status);
        EXPECT_EQ(w.open(), nullptr);
    }
    EXPECT_EQ(w.boxes.messages,
              QStringList{"Error: too many searches, try again later"} +
                  QStringList(5, "Your profile could not be read. Try again later."));
}

TEST(EditInformationWindow, SaveSendsEveryKeyInOrderAndOkCloses) {
    EditWorld w;
    w.scripted.reply("e.php", {"OK\r\n"});
    TForm7* form = w.open();
    QTest::keyClick(form->ui.ComboBox1->lineEdit(), Qt::Key_Return); // Enter in a list box too
    const QString own = QString::fromStdString(sorvane::directory::encodeValue("me@x.org"));
    const QRegularExpression empty("^/messenger/e\\.php\\?u=" + QRegularExpression::escape(own) +
                                   "&n=&s=&g=&d=&m=&y=&ci=&co=&random=\\d+$");
    EXPECT_TRUE(empty.match(QString::fromStdString(w.lastRequest())).hasMatch()) << w.lastRequest();
    EXPECT_FALSE(form->isVisible());
}

TEST(EditInformationWindow, RefusalSaysErrorAndEmptyReplyDoesNothing) {
    EditWorld w;
    TForm7* form = w.open();
    QTest::keyClicks(form->ui.Edit1, "Ann");
    w.scripted.reply("e.php", {"OK \r\n", ""});
    QTest::keyClick(form->ui.Edit1, Qt::Key_Return); // Enter presses OK
    EXPECT_EQ(w.boxes.messages, QStringList{"Error"});
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(form->ui.Edit1->text(), "Ann");
    w.boxes.clear();
    QTest::mouseClick(form->ui.BitBtn1, Qt::LeftButton);
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_TRUE(w.boxes.errors.isEmpty());
    EXPECT_TRUE(form->isVisible());
    EXPECT_EQ(w.scripted.count("e.php"), 2);
}

TEST(EditInformationWindow, AFocusedButtonTakesEnterAndSpaceItself) {
    EditWorld w;
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        TForm7* form = w.open();
        form->ui.BitBtn2->setFocus(); // "Cancel"
        QTest::keyClick(form->ui.BitBtn2, key);
        EXPECT_FALSE(form->isVisible()) << key;
    }
    EXPECT_EQ(w.scripted.count("e.php"), 0); // nothing saved
    TForm7* form = w.open();
    w.scripted.reply("e.php", {"OK\r\n"});
    form->ui.BitBtn1->setFocus();
    QTest::keyClick(form->ui.BitBtn1, Qt::Key_Return);
    EXPECT_EQ(w.scripted.count("e.php"), 1);
}

TEST(EditInformationWindow, OffersTheFixedItemsAndStartsWithNoChoice) {
    EditWorld w;
    TForm7* form = w.open();
    const auto item = [](const QComboBox* box, int i) {
        return box->itemText(i < 0 ? box->count() + i : i);
    };
    EXPECT_EQ(form->ui.ComboBox2->count(), 2);
    EXPECT_EQ(item(form->ui.ComboBox2, 0) + item(form->ui.ComboBox2, 1), "FemaleMale");
    EXPECT_EQ(form->ui.ComboBox3->count(), 31);
    EXPECT_EQ(item(form->ui.ComboBox3, -1), "31");
    EXPECT_EQ(form->ui.ComboBox4->count(), 12);
    ASSERT_EQ(form->ui.ComboBox5->count(), 110);
    EXPECT_EQ(item(form->ui.ComboBox5, 0), "2009");
    EXPECT_EQ(item(form->ui.ComboBox5, -1), "1900");
    const QComboBox* countries = form->ui.ComboBox1;
    ASSERT_EQ(countries->count(), 244);
    EXPECT_EQ(item(countries, 0), "Afghanistan");
    EXPECT_EQ(item(countries, -1), "Zimbabwe");
    EXPECT_EQ(countries->findText("Cocos (Keeling) Islands"), 47);
    // The list's own order, not a sorted one: "US Virgin Islands" follows "Uruguay".
    EXPECT_EQ(countries->findText("US Virgin Islands"), countries->findText("Uruguay") + 1);
    EXPECT_EQ(fields(form), QStringList(8)); // no item is chosen until the user chooses
}

TEST(EditInformationWindow, TabVisitsTheCountryBeforeTheCity) {
    EditWorld w;
    TForm7* form = w.open();
    QApplication::setActiveWindow(form);
    ASSERT_TRUE(QTest::qWaitForWindowActive(form));
    EXPECT_TRUE(form->ui.Edit1->hasFocus());
    form->ui.ComboBox5->setFocus();
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_TRUE(form->ui.ComboBox1->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_TRUE(form->ui.Edit7->hasFocus());
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_TRUE(form->ui.BitBtn1->hasFocus());
}

TEST(EditInformationWindow, SavedProfileIsWhatTheDirectoryThenShows) {
    Tidy<World> w;
    w.registerAndLogIn("me@x.org");
    QTest::mouseClick(w.main->ui.BitBtn3, Qt::LeftButton);
    TForm7* form = Form7;
    QTest::keyClicks(form->ui.Edit1, "Ann & Co");
    form->ui.ComboBox2->setCurrentIndex(1);
    QTest::keyClicks(form->ui.ComboBox1->lineEdit(), "Narnia");
    QTest::mouseClick(form->ui.BitBtn1, Qt::LeftButton);
    ASSERT_TRUE(w.boxes.messages.isEmpty()) << w.boxes.messages.join('|').toStdString();
    EXPECT_FALSE(form->isVisible());

    QTest::mouseClick(w.main->ui.BitBtn3, Qt::LeftButton);
    EXPECT_NE(Form7, form);
    EXPECT_EQ(fields(Form7), (QStringList{"Ann & Co", "", "Male", "", "", "", "", "Narnia"}));
}

} // namespace

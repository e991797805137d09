// The search window: what is sent, how the results read, and adding a found user as a friend.
#include "globals.h"
#include "main.h"
#include "search.h"
#include "tidy_world.h"
#include "ui/timer.h"

#include <QContextMenuEvent>
#include <QMenu>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

using namespace sorvane::test;

namespace {

QStringList rows(const TForm5* form) {
    QStringList out;
    for (int r = 0; r < form->ui.ListView1->rowCount(); ++r)
        out << form->ui.ListView1->item(r, 0)->text();
    return out;
}

int count(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}

// A logged-in user with three others in the directory, registered in reverse alphabetical
// order, so that the directory answers a search in that order.
struct SearchWorld : Tidy<World> {
    SearchWorld() {
        registerAndLogIn("me@x.org");
        // The login's presence run is over before the friend lists are set up by a test.
        EXPECT_TRUE(waitFor([&] { return main->Timer2->interval() == 60000; }));
        for (const char* name : {"carol@x.org", "bob@x.org", "alice@x.org"})
            server.registerUser(name, "pw");
        form = new TForm5(context);
        Form5 = form;
        form->show();
    }
    void search(const char* text) {
        form->ui.Edit1->clear();
        QTest::keyClicks(form->ui.Edit1, text);
        QTest::mouseClick(form->ui.BitBtn1, Qt::LeftButton);
    }
    // Clicks the row with `caption`, which selects it and opens the pop-up menu.
    void clickRow(const QString& caption) {
        const auto found = form->ui.ListView1->findItems(caption, Qt::MatchExactly);
        ASSERT_EQ(found.size(), 1);
        const QRect place = form->ui.ListView1->visualItemRect(found.first());
        QTest::mouseClick(form->ui.ListView1->viewport(), Qt::LeftButton, {}, place.center());
        menuOpens();
    }
    // The menu opens once the click has been delivered.
    void menuOpens() {
        EXPECT_TRUE(waitFor([&] { return form->PopupMenu1->isVisible(); }));
    }
    void chooseAdd() {
        ASSERT_TRUE(form->PopupMenu1->isVisible());
        QTest::mouseClick(form->PopupMenu1, Qt::LeftButton, {},
                          form->PopupMenu1->actionGeometry(form->ui.Add1).center());
    }
    int friendRequests() const { return count(server.logText(), "/f.php?"); }
    TForm5* form;
};

TEST(SearchWindow, ResultsReadAlphabeticallyAndEachSearchReplacesThem) {
    SearchWorld w;
    w.search("x.org");
    EXPECT_EQ(rows(w.form), (QStringList{"alice@x.org", "bob@x.org", "carol@x.org", "me@x.org"}));
    w.search("carol");
    EXPECT_EQ(rows(w.form), QStringList{"carol@x.org"});
    w.search(""); // sent as it stands, and nobody matches it
    EXPECT_TRUE(rows(w.form).isEmpty());
    EXPECT_EQ(count(w.server.logText(), "/s.php?u=&random="), 1);
    EXPECT_TRUE(w.boxes.messages.isEmpty());
}

TEST(SearchWindow, AddIsOfferedOnlyWithASelectedRow) {
    SearchWorld w;
    w.search("nobody-here");
    QTest::mouseClick(w.form->ui.ListView1->viewport(), Qt::LeftButton);
    w.menuOpens();
    EXPECT_FALSE(w.form->ui.Add1->isEnabled());
    w.form->PopupMenu1->hide();

    w.search("x.org");
    const QPoint at(5, 5);
    QContextMenuEvent rightClick(QContextMenuEvent::Mouse, at,
                                 w.form->ui.ListView1->viewport()->mapToGlobal(at));
    QApplication::sendEvent(w.form->ui.ListView1->viewport(), &rightClick);
    EXPECT_TRUE(w.form->PopupMenu1->isVisible());
    EXPECT_FALSE(w.form->ui.Add1->isEnabled()); // a new search selects nothing
    w.form->PopupMenu1->hide();

    w.clickRow("bob@x.org");
    EXPECT_TRUE(w.form->PopupMenu1->isVisible());
    EXPECT_TRUE(w.form->ui.Add1->isEnabled());
}

TEST(SearchWindow, FriendsInEitherListAreRefusedWithoutARequest) {
    SearchWorld w;
    w.main->ui.ListBox1->addItem("bob@x.org");
    w.main->ui.ListBox2->addItem("carol@x.org");
    w.search("x.org");
    for (const char* name : {"bob@x.org", "carol@x.org"}) {
        SCOPED_TRACE(name);
        w.boxes.clear();
        w.clickRow(name);
        w.chooseAdd();
        EXPECT_EQ(w.boxes.messages, QStringList{"User is already your friend!"});
    }
    EXPECT_EQ(w.friendRequests(), 0);
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{"carol@x.org"});
}

TEST(SearchWindow, AddingAppendsToTheOfflineListAndStartsAPresenceRunAtOnce) {
    SearchWorld w;
    w.main->ui.ListBox2->addItem("ALICE@x.org"); // differs only in case: not a friend yet
    w.search("x.org");
    w.clickRow("alice@x.org");
    w.chooseAdd();
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    EXPECT_EQ(w.friendRequests(), 1);
    EXPECT_EQ(items(w.main->ui.ListBox2), (QStringList{"ALICE@x.org", "alice@x.org"}));
    EXPECT_EQ(w.main->Timer2->interval(), 1);
    EXPECT_TRUE(w.main->Timer2->enabled());
    EXPECT_TRUE(waitFor([&] { return w.main->Timer2->interval() == 60000; }));
    EXPECT_TRUE(w.form->isVisible());
    EXPECT_EQ(rows(w.form).size(), 4); // the row stays
}

TEST(SearchWindow, MainWindowShowsAFreshOneModallyWhereEnterStartsNothing) {
    SearchWorld w;
    TForm5* const before = Form5;
    bool modal = false;
    QTimer::singleShot(0, [&] {
        modal = Form5 != before && Form5->isVisible() && Form5->isModal() &&
                Form5->ui.ListView1->columnWidth(0) == 150 && rows(Form5).isEmpty() &&
                Form5->focusWidget() == Form5->ui.Edit1;
        QTest::keyClicks(Form5->ui.Edit1, "x.org");
        QTest::keyClick(Form5->ui.Edit1, Qt::Key_Return); // no default button: nothing
        QTest::keyClick(Form5->ui.Edit1, Qt::Key_Escape);
    });
    QTest::mouseClick(w.main->ui.BitBtn1, Qt::LeftButton); // returns when the window closes
    EXPECT_TRUE(modal);
    EXPECT_FALSE(Form5->isVisible());
    EXPECT_EQ(count(w.server.logText(), "/s.php?"), 0);
}

} // namespace

// The main window: placement, adding and deleting friends, the pop-up menus, hiding to the
// tray and ending the program.
// Mouse input goes through the window system's path, as a real click does (a right button
// press there is also what asks for a context menu).
#define QTEST_QPA_MOUSE_HANDLING
#include "globals.h"
#include "login.h"
#include "main.h"
#include "ui/timer.h"
#include "world.h"

#include <QListWidget>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace sorvane::test;

namespace {

void select(QListWidget* list, const QString& name) {
    for (int i = 0; i < list->count(); ++i)
        if (list->item(i)->text() == name)
            list->setCurrentRow(i);
}

struct PlacementRow {
    QSize display, outer;
    QPoint expected;
    friend void PrintTo(const PlacementRow& r, std::ostream* os) {
        *os << r.display.width() << 'x' << r.display.height() << " outer " << r.outer.width() << 'x'
            << r.outer.height();
    }
};

class Placement : public ::testing::TestWithParam<PlacementRow> {};

TEST_P(Placement, RightEdgeOnTheDisplayAndCentredVertically) {
    EXPECT_EQ(TForm3::placement(GetParam().display, GetParam().outer), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(Rows, Placement,
                         ::testing::Values(PlacementRow{{1280, 1024}, {218, 379}, {1062, 322}},
                                           PlacementRow{{1280, 1025}, {218, 379}, {1062, 323}},
                                           PlacementRow{{200, 374}, {218, 379}, {-18, -2}}));

TEST(MainWindow, CreatedAsTheLayoutSays) {
    ScriptedWorld w;
    EXPECT_EQ(w.main->windowTitle(), "Messenger");
    EXPECT_FALSE(w.main->Timer1->enabled());
    EXPECT_EQ(w.main->Timer1->interval(), 1);
    EXPECT_FALSE(w.main->Timer2->enabled());
    EXPECT_EQ(w.main->Timer2->interval(), 1);
    EXPECT_EQ(w.main->TcpClient1.remotePort(), "1000");
    EXPECT_EQ(w.main->TcpServer1.localPort(), "1000");
    EXPECT_FALSE(w.main->TcpServer1.active());
    EXPECT_EQ(w.main->TrayIcon1->toolTip(), "Sorvane Messenger");
    EXPECT_EQ(w.main->PopupMenu2->defaultAction(), w.main->ui.ShowSorvaneMessenger1);
}

TEST(MainWindow, ShowHandsOverToTheLoginWindowUntilSomeoneLogsIn) {
    ScriptedWorld w;
    w.main->show();
    EXPECT_FALSE(w.main->isEnabled());
    EXPECT_TRUE(w.login->isVisible());
    w.logInAs("ann@x.org");
    EXPECT_TRUE(w.main->isEnabled());
    w.main->hide();
    w.main->show();
    EXPECT_TRUE(w.main->isEnabled());
    EXPECT_FALSE(w.login->isVisible());
}

class AddFriend : public ::testing::Test {
protected:
    void SetUp() override {
        w.server.registerUser("bob@x.org", "pw");
        w.registerAndLogIn("ann@x.org");
        w.main->Timer2->setEnabled(false);
        w.main->Timer2->setInterval(60000);
    }
    int addRequests() const {
        const std::string log = w.server.logText();
        int n = 0;
        for (size_t at = log.find("f.php"); at != std::string::npos; at = log.find("f.php", at + 1))
            ++n;
        return n;
    }
    World w;
};

TEST_F(AddFriend, AcceptedAppendsAndStartsAPresenceRunAtOnce) {
    w.main->ui.Edit1->setText("bob@x.org");
    QTest::keyClick(w.main->ui.Edit1, Qt::Key_Return);
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList{"bob@x.org"});
    EXPECT_TRUE(w.main->Timer2->enabled());
    EXPECT_EQ(w.main->Timer2->interval(), 1);
    EXPECT_EQ(w.main->ui.Edit1->text(), "bob@x.org");
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    // Enter again: the friend is there now.
    QTest::keyClick(w.main->ui.Edit1, Qt::Key_Return);
    EXPECT_EQ(w.boxes.messages, QStringList{"User is already your friend!"});
}

TEST_F(AddFriend, AlreadyInEitherListSendsNothing) {
    w.main->ui.ListBox1->addItem("on@x.org");
    w.main->ui.ListBox2->addItem("off@x.org");
    const int before = addRequests();
    for (const char* name : {"on@x.org", "off@x.org"}) {
        w.main->ui.Edit1->setText(name);
        w.main->ui.SpeedButton1->click();
    }
    EXPECT_EQ(w.boxes.messages,
              QStringList({"User is already your friend!", "User is already your friend!"}));
    EXPECT_EQ(addRequests(), before);
}

TEST_F(AddFriend, NamesDifferingInCaseAreDifferentFriends) {
    w.main->ui.ListBox2->addItem("Bob@x.org"); // arrived from the directory like that
    w.main->ui.Edit1->setText("bob@x.org");
    w.main->ui.SpeedButton1->click();
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"Bob@x.org", "bob@x.org"}));
}

TEST_F(AddFriend, RefusedSaysNoSuchUserAndLeavesTheTimer) {
    for (const char* name : {"nobody@x.org", ""}) {
        w.main->ui.Edit1->setText(name);
        w.main->ui.SpeedButton1->click();
    }
    EXPECT_EQ(w.boxes.messages, QStringList({"No such user!", "No such user!"}));
    EXPECT_EQ(w.main->ui.ListBox2->count(), 0);
    EXPECT_FALSE(w.main->Timer2->enabled());
    EXPECT_EQ(addRequests(), 2); // the empty name went to the directory too
}

TEST(DeleteFriend, AcceptedRemovesTheEntryAndLetsEventsThrough) {
    World w;
    w.server.registerUser("bob@x.org", "pw");
    w.registerAndLogIn("ann@x.org");
    w.main->Timer2->setEnabled(false);
    w.server.request("f.php", {{"u", "ann@x.org"}, {"f", "bob@x.org"}});
    w.main->ui.ListBox1->addItem("bob@x.org");
    select(w.main->ui.ListBox1, "bob@x.org");
    bool ranMeanwhile = false;
    QTimer::singleShot(0, [&] { ranMeanwhile = true; });
    w.main->ui.Delete1->trigger();
    EXPECT_TRUE(ranMeanwhile);
    EXPECT_EQ(w.main->ui.ListBox1->count(), 0);
    EXPECT_TRUE(w.boxes.messages.isEmpty());
    // The directory forgot the friend too: a new login names nobody.
    const std::string relogin = w.server.login("ann@x.org", "pw");
    EXPECT_EQ(relogin.find('#'), std::string::npos) << relogin;
}

TEST(DeleteFriend, RefusedOrFailedPutsTheEntryBack) {
    ScriptedWorld w;
    w.logInAs("ann@x.org", "#a#b#c");
    w.main->Timer2->setEnabled(false);
    w.scripted.reply("d.php", {"Error!"});
    select(w.main->ui.ListBox2, "a");
    w.main->ui.Delete2->trigger();
    EXPECT_EQ(w.boxes.messages, QStringList{"Error!"});
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"b", "c", "a"}));

    w.scripted.reply("d.php", {""});
    select(w.main->ui.ListBox2, "b");
    w.main->ui.Delete2->trigger();
    EXPECT_EQ(w.boxes.errors, QStringList{"List index out of bounds (0)."});
    EXPECT_EQ(items(w.main->ui.ListBox2), QStringList({"c", "a", "b"}));
}

TEST(PopupMenus, ARightClickOpensTheMenuWithoutChangingTheSelection) {
    ScriptedWorld w;
    w.logInAs("ann@x.org", "#a#b");
    w.main->Timer2->setEnabled(false);
    w.main->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(w.main));
    QListWidget* list = w.main->ui.ListBox2;
    select(list, "a");
    QTest::mouseClick(list->viewport(), Qt::RightButton, {},
                      list->visualItemRect(list->item(1)).center());
    EXPECT_TRUE(waitFor([&] { return w.main->PopupMenu3->isVisible(); }));
    w.main->PopupMenu3->hide();
    ASSERT_EQ(list->selectedItems().size(), 1);
    EXPECT_EQ(list->selectedItems().first()->text(), "a");
}

TEST(PopupMenus, ItemsNeedASelectionButViewInformation) {
    ScriptedWorld w;
    w.logInAs("ann@x.org", "#a");
    w.main->Timer2->setEnabled(false);
    w.main->PopupMenu1Popup();
    w.main->PopupMenu3Popup();
    EXPECT_FALSE(w.main->ui.SendMessage1->isEnabled());
    EXPECT_FALSE(w.main->ui.Delete1->isEnabled());
    EXPECT_FALSE(w.main->ui.Delete2->isEnabled());
    EXPECT_TRUE(w.main->ui.ViewInformation1->isEnabled());
    EXPECT_TRUE(w.main->ui.ViewInformation2->isEnabled());
    // Without a selection, "View Information..." quietly does nothing.
    w.main->ui.ViewInformation2->trigger();
    EXPECT_TRUE(w.boxes.errors.isEmpty());

    select(w.main->ui.ListBox2, "a");
    w.main->PopupMenu3Popup();
    EXPECT_TRUE(w.main->ui.Delete2->isEnabled());
    w.main->ui.ListBox1->addItem("b");
    select(w.main->ui.ListBox1, "b");
    w.main->PopupMenu1Popup();
    EXPECT_TRUE(w.main->ui.SendMessage1->isEnabled());
    EXPECT_TRUE(w.main->ui.Delete1->isEnabled());
}

TEST(Tray, CloseHidesAndTheTrayShowsAgainAtTheSamePlace) {
    ScriptedWorld w;
    w.logInAs("ann@x.org");
    w.main->show();
    const QPoint place = w.main->pos();
    w.main->close();
    EXPECT_FALSE(w.main->isVisible());
    EXPECT_TRUE(w.main->TcpServer1.listening());                 // still running
    emit w.main->TrayIcon1->activated(QSystemTrayIcon::Context); // the menu's business
    EXPECT_FALSE(w.main->isVisible());
    emit w.main->TrayIcon1->activated(QSystemTrayIcon::Trigger); // a left click
    EXPECT_TRUE(w.main->isVisible());
    EXPECT_EQ(w.main->pos(), place);
}

TEST(Tray, BeforeALoginTheMenuWorksAndClosingTheLoginWindowEndsNothing) {
    ScriptedWorld w;
    w.main->show();
    w.login->close(); // only hides it
    EXPECT_FALSE(w.login->isVisible());
    EXPECT_TRUE(w.main->isVisible());
    EXPECT_FALSE(w.main->isEnabled());
    QMenu* menu = w.main->TrayIcon1->contextMenu();
    const auto choose = [menu](QAction* item) {
        menu->popup(QPoint(10, 10));
        ASSERT_TRUE(QTest::qWaitForWindowExposed(menu));
        QTest::mouseClick(menu, Qt::LeftButton, {}, menu->actionGeometry(item).center());
    };
    choose(w.main->ui.ShowSorvaneMessenger1);
    EXPECT_TRUE(w.main->isVisible());
    EXPECT_FALSE(w.login->isVisible()); // the main window was not hidden: no hand-over again
    EXPECT_EQ(w.desktop.ended, 0);
    choose(w.main->ui.Close1);
    EXPECT_EQ(w.desktop.ended, 1);
}

TEST(Tray, CloseEndsTheProgramAndStopsListening) {
    ScriptedWorld w;
    w.logInAs("ann@x.org");
    ASSERT_TRUE(w.main->TcpServer1.listening());
    w.main->ui.Close1->trigger();
    EXPECT_EQ(w.desktop.ended, 1);
    EXPECT_FALSE(w.main->TcpServer1.active());
}

TEST(Tray, WithoutANotificationAreaClosingEndsTheProgram) {
    ScriptedWorld w;
    w.desktop.tray = false;
    w.logInAs("ann@x.org");
    w.main->show();
    w.main->close();
    EXPECT_EQ(w.desktop.ended, 1);
    EXPECT_FALSE(w.main->TcpServer1.active());
}

// The program itself (its start-up and exit path) played through by the program driver once;
// the driver's wait status, or -1 when it did not end within a minute. `box`: see the driver.
// `libraryPath`: LD_LIBRARY_PATH for the program, where not empty.
int runProgram(const std::string& directory, const std::filesystem::path& cache,
               const std::string& box = {}, const std::string& libraryPath = {}) {
    std::vector<std::string> env = {"SORVANE_DIRECTORY_URL=" + directory,
                                    "SORVANE_TEST_USER=ann@x.org",
                                    "XDG_CACHE_HOME=" + cache.string()};
    if (!box.empty())
        env.push_back("SORVANE_TEST_EXPECT_BOX=" + box);
    if (!libraryPath.empty())
        env.push_back("LD_LIBRARY_PATH=" + libraryPath);
    for (char** e = environ; *e; ++e)
        if (std::string_view(*e).rfind("XDG_CACHE_HOME=", 0) != 0 &&
            std::string_view(*e).rfind("SORVANE_DIRECTORY_", 0) != 0 &&
            std::string_view(*e).rfind("SORVANE_TEST_EXPECT_BOX=", 0) != 0 &&
            (libraryPath.empty() || std::string_view(*e).rfind("LD_LIBRARY_PATH=", 0) != 0))
            env.emplace_back(*e);
    std::vector<char*> envp;
    for (std::string& e : env)
        envp.push_back(e.data());
    envp.push_back(nullptr);
    char* argv[] = {const_cast<char*>(SORVANE_PROGRAM_DRIVER_EXE), nullptr};
    pid_t pid = 0;
    if (posix_spawn(&pid, argv[0], nullptr, nullptr, argv, envp.data()) != 0)
        return -1;
    for (int i = 0; i < 600; ++i) {
        int status = 0;
        if (waitpid(pid, &status, WNOHANG) == pid)
            return status;
        usleep(100 * 1000);
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

TEST(Program, EndsWithStatusZeroThroughTheTrayAfterTheSearchAndEditWindows) {
    TestDirectoryServer server;
    server.registerUser("ann@x.org", "pw");
    TempDir cache;
    for (int run = 1; run <= 5; ++run) {
        const int status = runProgram(server.base(), cache.path());
        EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0)
            << "run " << run << ": "
            << (status == -1          ? std::string("did not end")
                : WIFSIGNALED(status) ? "signal " + std::to_string(WTERMSIG(status))
                                      : "status " + std::to_string(WEXITSTATUS(status)));
    }
}

// The settings are read once the windows are up; a bad one is still said, in a box.
TEST(Program, SaysABadDirectorySettingOnceTheWindowsAreUp) {
    TempDir cache;
    const int status =
        runProgram("ftp://nowhere.example/", cache.path(), "is not an http:// or https:// address");
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

// libcurl is loaded once the windows are up; one the program cannot use is said in a box,
// naming the package to install, and the program goes on and ends as usual.
TEST(Program, SaysALibcurlItCannotUseOnceTheWindowsAreUp) {
    TestDirectoryServer server;
    TempDir cache;
    const int status =
        runProgram(server.base(), cache.path(),
                   "libcurl could not be loaded (libcurl.so.4 has no curl_global_init)"
                   ". Install the libcurl4 package.",
                   SORVANE_STAND_IN_LIBCURL_DIR);
    EXPECT_TRUE(status != -1 && WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

} // namespace

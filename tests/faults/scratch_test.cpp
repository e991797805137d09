// The scratch folder turns read-only while the program runs: every request that needs a
// scratch file fails with the file's I/O error, shown once per action; background presence
// runs show nothing; nothing crashes; once the folder is writable again, all works as before.
#include "peer.h"
#include "privileges.h"

#include "globals.h"
#include "login.h"
#include "main.h"
#include "message.h"
#include "ui/timer.h"
#include "viewinfo.h"
#include "world.h"

#include <QApplication>
#include <QListWidget>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

using namespace sorvane::test;
namespace fs = std::filesystem;

namespace {

QStringList entries(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

// Takes write permission away from the folder and from every file in it.
void makeReadOnly(const fs::path& folder, bool readOnly) {
    for (const auto& entry : fs::directory_iterator(folder))
        fs::permissions(entry.path(), readOnly ? fs::perms::owner_read
                                               : fs::perms::owner_read | fs::perms::owner_write);
    fs::permissions(folder, readOnly ? fs::perms::owner_read | fs::perms::owner_exec
                                     : fs::perms::owner_all);
}

bool canCreateIn(const fs::path& folder) {
    const fs::path probe = folder / "probe.txt";
    const int fd = ::open(probe.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    fs::remove(probe);
    return true;
}

TEST(ReadOnlyScratch, EachActionShowsTheFileErrorOnceAndTheProgramGoesOn) {
    World w(observedAddress());
    Peer pal;
    w.server.registerUser("pal@x.org", "pw");
    w.server.login("pal@x.org", "pw", "127.0.0.1", pal.port());
    w.server.registerUser("zed@x.org", "pw");
    w.registerAndLogIn("me@x.org");
    w.main->Timer2->setEnabled(false);
    w.main->ui.Edit1->setText("pal@x.org");
    w.main->ui.SpeedButton1->click();
    ASSERT_TRUE(runPresence(*w.main));
    ASSERT_EQ(entries(w.main->ui.ListBox1), QStringList{"pal@x.org"});
    w.main->ui.ListBox1->setCurrentRow(0);
    w.main->ui.SendMessage1->trigger();
    TForm4* chat = TForm3::openChatWindow("pal@x.org");
    ASSERT_NE(chat, nullptr);
    ASSERT_TRUE(w.boxes.errors.isEmpty());

    const fs::path scratch = w.directory.scratchDir();
    makeReadOnly(scratch, true);
    const QString denied = QStringLiteral("Permission denied.");
    {
        WithoutFileOverride asAnyUser;
        ASSERT_FALSE(canCreateIn(scratch)) << "the scratch folder is still writable";
        auto oneMoreBox = [&, before = qsizetype(0)]() mutable {
            const bool one = w.boxes.errors.size() == before + 1 && w.boxes.errors.last() == denied;
            before = w.boxes.errors.size();
            return one;
        };

        // Adding a friend ("temp.txt"): one box, no friend added.
        w.main->ui.Edit1->setText("zed@x.org");
        w.main->ui.SpeedButton1->click();
        EXPECT_TRUE(oneMoreBox()) << w.boxes.errors.join(" | ").toStdString();
        EXPECT_EQ(entries(w.main->ui.ListBox2), QStringList{});

        // Sending ("temp2.txt") when the presence run's address is out of date: one box,
        // nothing sent or shown, the input kept.
        w.main->engine().addresses().forget("pal@x.org");
        chat->ui.Memo1->setPlainText("are you there?");
        chat->ui.BitBtn1->click();
        EXPECT_TRUE(oneMoreBox()) << w.boxes.errors.join(" | ").toStdString();
        EXPECT_TRUE(chat->ui.Memo2->toPlainText().isEmpty());
        EXPECT_EQ(chat->ui.Memo1->toPlainText(), "are you there?");
        EXPECT_TRUE(pal.nonEmpty().empty());

        // Deleting a friend ("temp4.txt"): one box, the friend stays.
        w.main->ui.ListBox1->setCurrentRow(0);
        w.main->ui.Delete1->trigger();
        EXPECT_TRUE(oneMoreBox()) << w.boxes.errors.join(" | ").toStdString();
        EXPECT_EQ(entries(w.main->ui.ListBox1), QStringList{"pal@x.org"});

        // Viewing a profile ("temp5.txt"): one box, the window still opens.
        w.main->ui.ListBox1->setCurrentRow(0);
        w.main->ui.ViewInformation1->trigger();
        EXPECT_TRUE(oneMoreBox()) << w.boxes.errors.join(" | ").toStdString();

        // Presence runs ("temp3.txt") work in the background: no box at all, next run due.
        ASSERT_TRUE(runPresence(*w.main));
        ASSERT_TRUE(runPresence(*w.main));
        EXPECT_EQ(w.boxes.errors.size(), 4);
        EXPECT_TRUE(w.main->Timer2->enabled());
        EXPECT_EQ(w.main->Timer2->interval(), 60000);
        EXPECT_TRUE(w.boxes.messages.isEmpty());
    }

    // Writable again: the same actions succeed without a restart.
    makeReadOnly(scratch, false);
    w.boxes.clear();
    ASSERT_TRUE(runPresence(*w.main));
    EXPECT_EQ(entries(w.main->ui.ListBox1), QStringList{"pal@x.org"});
    chat->ui.BitBtn1->click();
    EXPECT_TRUE(waitFor([&] { return pal.nonEmpty().size() == 1; }));
    EXPECT_TRUE(chat->ui.Memo1->toPlainText().isEmpty());
    w.main->ui.Edit1->setText("zed@x.org");
    w.main->ui.SpeedButton1->click();
    EXPECT_TRUE(entries(w.main->ui.ListBox2).contains("zed@x.org"));
    EXPECT_TRUE(w.boxes.errors.isEmpty()) << w.boxes.errors.join(" | ").toStdString();
}

} // namespace

// One user's messenger on a bed host: the program's own windows, aimed at the directory the
// way the program aims them (the environment and the settings files), and worked by a test
// through commands on standard input, as a user would work them. Each command gets one line
// on standard output: "ok" or "failed <what the windows said>". Message boxes are recorded,
// not shown, so nothing waits for a click.
//
//   sorvane-bed-messenger SCRATCH-FOLDER
//   -> ready <directory base>[ | <box> ...]
//   register USER PASSWORD      the new user window
//   login USER PASSWORD         the login window
//   add FRIEND                  the main window's add box
//   online FRIEND               waits until FRIEND is in the online list
//   send FRIEND TEXT            the conversation window open for FRIEND, or one opened from the
//                               online list, Send
//   await LINE                  waits until a conversation window shows LINE
//   history FRIEND              -> "history" + each line of FRIEND's conversation, " / " between
//   presence                    a presence run now, answered once it ended
#include "app/directory_settings.h"
#include "directory/directory.h"
#include "forms/context.h"
#include "forms/globals.h"
#include "forms/login.h"
#include "forms/main.h"
#include "forms/message.h"
#include "forms/newuser.h"
#include "ui/desktop.h"
#include "ui/fonts.h"
#include "ui/messages.h"
#include "ui/notifier.h"
#include "ui/screen.h"
#include "ui/timer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>

#include <cstdio>
#include <functional>
#include <unistd.h>

namespace {

class RecordedBoxes final : public sorvane::ui::IMessageBoxes {
public:
    void showMessage(const QString& text) override { said << QStringLiteral("box: ") + text; }
    void showError(const QString& text) override { said << QStringLiteral("error: ") + text; }
    bool askYesNo(const QString& text) override {
        said << QStringLiteral("question: ") + text;
        return true;
    }
    QStringList said;
};

void answer(const QString& text) {
    std::printf("%s\n", text.toUtf8().replace('\n', " / ").constData());
    std::fflush(stdout);
}

bool hasItem(const QListWidget* list, const QString& name) {
    return !list->findItems(name, Qt::MatchExactly).isEmpty();
}

bool shownInAConversation(const QString& line) {
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* chat = qobject_cast<TForm4*>(w))
            if (chat->ui.Memo2->toPlainText().split('\n').contains(line))
                return true;
    return false;
}

class Driver {
public:
    explicit Driver(RecordedBoxes& boxes) : boxes_(boxes) {
        poll_.setInterval(20);
        QObject::connect(&poll_, &QTimer::timeout, [this] { check(); });
    }

    void run(const QString& line) {
        const QString command = line.section(' ', 0, 0);
        const QString first = line.section(' ', 1, 1);
        const QString rest = line.section(' ', 2);
        said_ = boxes_.said.size();
        if (command == "register") {
            Form1->ui.RadioButton1->setChecked(true);
            Form1->ui.BitBtn1->click();
            Form2->ui.Edit1->setText(first);
            Form2->ui.MaskEdit1->setText(rest);
            Form2->ui.MaskEdit2->setText(rest);
            Form2->ui.BitBtn1->click();
            reply(newSaid().contains("box: Your account is created."));
        } else if (command == "login") {
            Form1->ui.RadioButton2->setChecked(true);
            Form1->ui.Edit1->setText(first);
            Form1->ui.MaskEdit1->setText(rest);
            Form1->ui.BitBtn1->click();
            reply(Form3->isEnabled() && Form3->windowTitle() == '[' + first + ']');
        } else if (command == "add") {
            Form3->ui.Edit1->setText(first);
            Form3->ui.SpeedButton1->click();
            reply(newSaid().isEmpty());
        } else if (command == "online") {
            waitUntil([first] { return hasItem(Form3->ui.ListBox1, first); });
        } else if (command == "send") {
            const QList<QListWidgetItem*> found =
                Form3->ui.ListBox1->findItems(first, Qt::MatchExactly);
            if (!TForm3::openChatWindow(first)) {
                if (found.isEmpty())
                    return reply(false);
                Form3->ui.ListBox1->setCurrentItem(found.first());
                Form3->ui.SendMessage1->trigger();
            }
            TForm4* chat = TForm3::openChatWindow(first);
            if (!chat)
                return reply(false);
            chat->ui.Memo1->setPlainText(rest);
            chat->ui.BitBtn1->click();
            const QString sent = '<' + Form1->ui.Edit1->text() + "> " + rest;
            const QString note = TForm4::waitingNote(first);
            // Sent once nothing typed there waits any more; not delivered once the note says so.
            sentLine_ = sent;
            notDelivered_ = note;
            waitUntil([chat = QPointer<TForm4>(chat), sent, note] {
                return shownInAConversation(sent) &&
                       (!chat || chat->undeliveredLines() == 0 || shownInAConversation(note));
            });
        } else if (command == "await") {
            waitUntil([line = line.section(' ', 1)] { return shownInAConversation(line); });
        } else if (command == "history") {
            const TForm4* chat = TForm3::openChatWindow(first);
            answer("history " + (chat ? chat->ui.Memo2->toPlainText() : QString()));
        } else if (command == "presence") {
            Form3->Timer2->fire();
            waitUntil([] { return !Form3->presence().running(); });
        } else {
            answer("failed unknown command " + command);
        }
    }

private:
    QStringList newSaid() const { return boxes_.said.mid(said_); }

    void reply(bool ok) { answer(ok ? QStringLiteral("ok") : "failed " + newSaid().join(" | ")); }

    // Answers once `done` holds; a generous deadline keeps a broken run from hanging forever.
    void waitUntil(std::function<bool()> done) {
        done_ = std::move(done);
        deadline_.start();
        poll_.start();
        check();
    }

    void check() {
        if (!done_)
            return;
        const bool done = done_();
        if (!done && deadline_.elapsed() < 60000)
            return;
        poll_.stop();
        done_ = nullptr;
        // A send counts when its line reached the partner, not only the own history.
        const bool undelivered = !sentLine_.isEmpty() && shownInAConversation(notDelivered_);
        sentLine_.clear();
        reply(done && !undelivered);
    }

    RecordedBoxes& boxes_;
    qsizetype said_ = 0;
    QTimer poll_;
    QElapsedTimer deadline_;
    std::function<bool()> done_;
    QString sentLine_;
    QString notDelivered_;
};

} // namespace

int main(int argc, char* argv[]) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SCRATCH-FOLDER\n", argv[0]);
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane Messenger"));
    QApplication::setQuitOnLastWindowClosed(false);
    sorvane::ui::installFontSubstitutions();

    // As the program reads them.
    const sorvane::app::DirectorySettings settings = sorvane::app::readDirectorySettings(
        sorvane::directory::directoryBase(), sorvane::app::sourcesFromEnvironment());
    sorvane::directory::Directory directory(settings.base, argv[1], settings.caFile);
    RecordedBoxes boxes;
    sorvane::ui::QtScreen screen;
    sorvane::ui::QtDesktop desktop;
    sorvane::ui::DBusNotifier notifier([] { return QDBusConnection::sessionBus(); });
    Context context{directory, boxes, screen, desktop, notifier, {}};
    Form3 = new TForm3(context);
    Form1 = new TForm1(context);
    if (!settings.problems.isEmpty())
        boxes.showError(settings.problems.join('\n'));
    Form3->show();
    answer(QStringLiteral("ready ") + QString::fromStdString(settings.base) +
           (boxes.said.isEmpty() ? QString() : " | " + boxes.said.join(" | ")));

    Driver driver(boxes);
    QByteArray input;
    QSocketNotifier stdinReady(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&stdinReady, &QSocketNotifier::activated, [&] {
        char buffer[4096];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            stdinReady.setEnabled(false);
            QApplication::quit();
            return;
        }
        input.append(buffer, n);
        for (qsizetype nl; (nl = input.indexOf('\n')) >= 0;) {
            const QString line = QString::fromUtf8(input.left(nl));
            input.remove(0, nl + 1);
            driver.run(line);
        }
    });
    const int result = QApplication::exec();
    delete Form3;
    Form3 = nullptr;
    delete Form1;
    Form1 = nullptr;
    return result;
}

#include "world.h"

#include "globals.h"
#include "login.h"
#include "main.h"
#include "message.h"
#include "ui/timer.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QPointer>
#include <QTest>
#include <QWidget>
#include <cstdlib>
#include <stdexcept>

namespace sorvane::test {

void RecordingMessageBoxes::showMessage(const QString& text) {
    messages << text;
    if (onBox)
        onBox();
}

void RecordingMessageBoxes::showError(const QString& text) {
    errors << text;
    if (onBox)
        onBox();
}

bool RecordingMessageBoxes::askYesNo(const QString& text) {
    questions << text;
    if (onBox)
        onBox();
    return answer;
}

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "sorvane-test-XXXXXX").string();
    if (!mkdtemp(pattern.data()))
        throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(path_, ignored);
}

Windows::Windows(const std::string& base, ui::INotifier* notifier)
    : directory(base, scratch.path()), context{directory,
                                               boxes,
                                               screen,
                                               desktop,
                                               notifier ? *notifier : notifications,
                                               scratch.path() / "data"} {
    main = new TForm3(context);
    Form3 = main;
    login = new TForm1(context);
    Form1 = login;
}

Windows::~Windows() {
    // Every window, as the program frees them at its end: the main window first.
    sorvane::ui::Form::freeAll();
    Form3 = nullptr;
    Form1 = nullptr;
    // Anything else a test made on its own. Pop-ups owned by a window (menus, combo box lists)
    // are top-level too and go with their window, hence the guarded pointers.
    QList<QPointer<QWidget>> opened;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (!w->parentWidget())
            opened << w;
    for (const QPointer<QWidget>& w : opened)
        delete w.data();
    QApplication::processEvents();
}

void Windows::logIn(const QString& user, const QString& password) {
    login->ui.RadioButton2->setChecked(true);
    login->ui.Edit1->setText(user);
    login->ui.MaskEdit1->setText(password);
    login->ui.BitBtn1->click();
}

World::World(TestDirectoryServer::Options options)
    : ServerHolder{TestDirectoryServer(std::move(options))}, Windows(server.base()) {}

void World::registerAndLogIn(const QString& user, const QString& password) {
    const std::string reply = server.registerUser(user.toStdString(), password.toStdString());
    if (reply.rfind("OK", 0) != 0)
        throw std::runtime_error("could not register " + user.toStdString() + ": " + reply);
    logIn(user, password);
}

ScriptedWorld::ScriptedWorld(ui::INotifier* notifier) : Windows(scripted.base(), notifier) {}

void ScriptedWorld::logInAs(const QString& user, const std::string& friendLine) {
    scripted.reply("c.php", {"OK\r\n" + friendLine + "\r\n"});
    logIn(user, QStringLiteral("pw"));
}

QStringList history(const TForm4* window) {
    return window ? window->ui.Memo2->toPlainText().split('\n', Qt::SkipEmptyParts) : QStringList{};
}

QStringList items(const QListWidget* list) {
    QStringList out;
    for (int i = 0; i < list->count(); ++i)
        out << list->item(i)->text();
    return out;
}

bool waitFor(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > timeout.count())
            return false;
        QApplication::processEvents(QEventLoop::AllEvents, 10);
        QTest::qWait(1);
    }
    return true;
}

bool runPresence(TForm3& main, std::chrono::milliseconds timeout) {
    // A run that is out already (an adding started it) ends first.
    if (!waitFor([&] { return !main.presence().running(); }, timeout))
        return false;
    main.Timer2->fire();
    return waitFor([&] { return !main.presence().running(); }, timeout);
}

} // namespace sorvane::test

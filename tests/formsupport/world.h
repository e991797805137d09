#pragma once
// A running program for window tests: the main and login windows created as start-up creates
// them, aimed at a real directory server on a free loopback port, with every message box and
// error box recorded instead of shown.
#include "context.h"
#include "directory/directory.h"
#include "directory_server.h"
#include "scripted_directory.h"
#include "ui/desktop.h"
#include "ui/messages.h"
#include "ui/notifier.h"
#include "ui/screen.h"

#include <QSize>
#include <QString>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

class QListWidget;
class TForm1;
class TForm3;
class TForm4;

namespace sorvane::test {

class RecordingMessageBoxes final : public ui::IMessageBoxes {
public:
    void showMessage(const QString& text) override;
    void showError(const QString& text) override;
    bool askYesNo(const QString& text) override;
    QStringList messages;        // plain messages, in order
    QStringList errors;          // default error boxes, in order
    QStringList questions;       // Yes/No questions, in order
    bool answer = true;          // what the user answers them
    std::function<void()> onBox; // runs inside each box, as a user would while it is open
    void clear() { messages.clear(), errors.clear(), questions.clear(); }
};

class RecordingNotifier final : public ui::INotifier {
public:
    struct Shown {
        QString key, summary, body;
        Activation activated;
    };
    void notify(const QString& key, const QString& summary, const QString& body,
                Activation activated) override {
        shown.push_back({key, summary, body, std::move(activated)});
    }
    void setFallback(Fallback f) override { fallback = std::move(f); }
    std::vector<Shown> shown;
    Fallback fallback;
};

class FakeScreen final : public ui::IScreen {
public:
    QSize size() const override { return displaySize; }
    QSize displaySize{1280, 1024};
};

class FakeDesktop final : public ui::IDesktop {
public:
    void open(const QString& address) override { opened << address; }
    bool hasTray() const override { return tray; }
    void endProgram() override { ++ended; }
    void callForAttention(QWidget* window) override { calledForAttention << window; }
    QStringList opened;
    bool tray = true;
    int ended = 0;
    QList<QWidget*> calledForAttention;
};

// A temporary folder, removed with everything in it.
class TempDir {
public:
    TempDir();
    ~TempDir();
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// The program's windows aimed at the directory at `base`; notifications go to `notifier`, or
// are recorded in `notifications`.
class Windows {
public:
    explicit Windows(const std::string& base, ui::INotifier* notifier = nullptr);
    ~Windows();
    Windows(const Windows&) = delete;
    Windows& operator=(const Windows&) = delete;

    TempDir scratch;
    directory::Directory directory;
    RecordingMessageBoxes boxes;
    FakeScreen screen;
    FakeDesktop desktop;
    RecordingNotifier notifications;
    Context context;
    TForm3* main;
    TForm1* login;

    // Types into the login window and presses OK.
    void logIn(const QString& user, const QString& password);
};

struct ServerHolder {
    TestDirectoryServer server;
};

// Server options for tests where clients reach each other: the server keeps the address a
// login came from.
inline TestDirectoryServer::Options observedAddress() {
    TestDirectoryServer::Options options;
    options.observedAddress = true;
    return options;
}

// The windows and a real directory server.
class World : public ServerHolder, public Windows {
public:
    explicit World(TestDirectoryServer::Options options = {});

    // Registers `user` on the server and logs in through the login window as a user would.
    void registerAndLogIn(const QString& user, const QString& password = QStringLiteral("pw"));
};

struct ScriptedHolder {
    ScriptedDirectory scripted;
};

// The windows and a scripted directory.
class ScriptedWorld : public ScriptedHolder, public Windows {
public:
    // Notifications go to `notifier`, or are recorded in `notifications`.
    explicit ScriptedWorld(ui::INotifier* notifier = nullptr);
    // Logs in through the login window against a scripted "OK" + `friendLine` reply.
    void logInAs(const QString& user, const std::string& friendLine = {});
};

// The entries of a friend list, top to bottom.
QStringList items(const QListWidget* list);

// The lines of a conversation window's history, top to bottom; none without a window.
QStringList history(const TForm4* window);

// Lets the event loop run until `done` holds or `timeout` passes; returns `done()`.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A presence run as Timer2 starts it, with the event loop running until the run has ended;
// false when it did not end within `timeout`.
bool runPresence(TForm3& main, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace sorvane::test

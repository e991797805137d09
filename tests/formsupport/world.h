#pragma once
// A running program for window tests: the main and login windows created as start-up creates
// them, aimed at a real directory server on a free loopback port, with every message box and
// error box recorded instead of shown.
#include "context.h"
#include "directory/directory.h"
#include "directory_server.h"
#include "ui/desktop.h"
#include "ui/messages.h"
#include "ui/screen.h"

#include <QSize>
#include <QString>
#include <QStringList>
#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>

class TForm1;
class TForm3;

namespace sorvane::test {

class RecordingMessageBoxes final : public ui::IMessageBoxes {
public:
    void showMessage(const QString& text) override;
    void showError(const QString& text) override;
    QStringList messages; // plain messages, in order
    QStringList errors;   // default error boxes, in order
    std::function<void()> onBox; // runs inside each box, as a user would while it is open
    void clear() { messages.clear(), errors.clear(); }
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
    QStringList opened;
    bool tray = true;
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

class World {
public:
    explicit World(TestDirectoryServer::Options options = {});
    ~World();

    TestDirectoryServer server;
    TempDir scratch;
    directory::Directory directory;
    RecordingMessageBoxes boxes;
    FakeScreen screen;
    FakeDesktop desktop;
    Context context;
    TForm3* main;
    TForm1* login;

    // Registers `user` on the server and logs in through the login window as a user would.
    void registerAndLogIn(const QString& user, const QString& password = QStringLiteral("pw"));
    // Types into the login window and presses OK.
    void logIn(const QString& user, const QString& password);
};

// Lets the event loop run until `done` holds or `timeout` passes; returns `done()`.
bool waitFor(const std::function<bool()>& done,
             std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace sorvane::test

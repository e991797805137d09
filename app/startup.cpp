// Start-up. The main window comes first, so that it is the application's main window; the
// login window is created hidden and the main window's show brings it up.
//
// Threads: the user-interface thread and two short-lived helpers, so that the windows wait for
// nothing that only this program needs before they show.
// - "ahead", started once the application exists, draws the program icon's pictures while the
//   user-interface thread builds the windows. What they share is the pictures, made once inside
//   a function-local static (ui/artwork); the user-interface thread, reaching it before it is
//   made, waits for it. The stand-in faces are decided by the user-interface thread as the first
//   window shows: deciding them here set up the system's font configuration a second time, side
//   by side with the toolkit's own, and the windows came up later for it.
// - "preparation", started once the windows are up, reads the directory settings and loads
//   libcurl. It keeps the directory's location (a promise; every request waits for it) and hands
//   the settings' problems to the user-interface thread as a queued call that shows them.
// Both end by themselves and are joined on the way out.
#include "startup.h"

#include "app/directory_settings.h"
#include "directory/directory.h"
#include "engine/thread.h"
#include "forms/context.h"
#include "forms/globals.h"
#include "forms/login.h"
#include "forms/main.h"
#include "ui/artwork.h"
#include "ui/desktop.h"
#include "ui/fonts.h"
#include "ui/messages.h"
#include "ui/notifier.h"
#include "ui/screen.h"

#include <QApplication>
#include <QProxyStyle>

#include <future>
#include <thread>

namespace sorvane::app {

namespace {
// Password boxes show "*" for every character, as the windows were drawn for. A style hint
// rather than an application style sheet: a style sheet puts every widget of every window
// through its rules as the widget is polished, which made start-up noticeably slower.
class PasswordStarStyle final : public QProxyStyle {
public:
    int styleHint(StyleHint hint, const QStyleOption* option, const QWidget* widget,
                  QStyleHintReturn* data) const override {
        if (hint == SH_LineEdit_PasswordCharacter)
            return '*';
        return QProxyStyle::styleHint(hint, option, widget, data);
    }
};
} // namespace

int runMessenger(int& argc, char** argv) {
    QApplication app(argc, argv);
    // The title must be there before the main window's tray icon copies it.
    QApplication::setApplicationName(QStringLiteral("Sorvane Messenger"));
    // Closing windows never ends the program; only the tray menu's "Close" does.
    QApplication::setQuitOnLastWindowClosed(false);
    ui::installFontSubstitutions();
    std::jthread ahead([] { ui::artwork::drawProgramIconAhead(); });
    QApplication::setStyle(new PasswordStarStyle); // owned by the application

    std::promise<directory::Location> location;
    directory::Directory directory(location.get_future().share(), directory::defaultScratchDir());
    ui::QtMessageBoxes boxes;
    ui::QtScreen screen;
    ui::QtDesktop desktop;
    // Without a session bus the connection is simply not there; notifications then go to the
    // tray icon's message.
    ui::DBusNotifier notifier([] { return QDBusConnection::sessionBus(); });
    Context context{directory, boxes, screen, desktop, notifier, {}};

    Form3 = new TForm3(context);
    Form1 = new TForm1(context);
    // Every window's icon unless it has its own; set now that the pictures are surely drawn.
    QApplication::setWindowIcon(ui::artwork::programIcon());
    Form3->show();
    std::jthread preparation([&location, &boxes, &app] {
        const DirectorySettings settings =
            readDirectorySettings(directory::directoryBase(), sourcesFromEnvironment());
        location.set_value({settings.base, settings.caFile});
        // Said once, as the windows come up; the program goes on with the built-in address.
        if (!settings.problems.isEmpty())
            engine::queueOn(&app, [&boxes, text = settings.problems.join(QLatin1Char('\n'))] {
                boxes.showError(text);
            });
        // Without libcurl nothing reaches the directory: said at once rather than at the first
        // login, and again by every request.
        if (const std::string missing = directory::loadLibcurl(); !missing.empty())
            engine::queueOn(
                &app, [&boxes, text = QString::fromStdString(missing)] { boxes.showError(text); });
    });
    const int result = QApplication::exec();

    // Every window still there, each once, the main window first (its listener's threads end
    // before anything else goes); the pop-ups go with the window that owns them.
    ui::Form::freeAll();
    Form1 = nullptr;
    Form2 = nullptr;
    Form3 = nullptr;
    Form4 = nullptr;
    Form5 = nullptr;
    Form6 = nullptr;
    Form7 = nullptr;
    AboutBox = nullptr;
    return result;
}

} // namespace sorvane::app

// Start-up. The main window comes first, so that it is the application's main window; the
// login window is created hidden and the main window's show brings it up.
#include "startup.h"

#include "app/directory_settings.h"
#include "directory/directory.h"
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
    QApplication::setWindowIcon(ui::artwork::programIcon());
    // Closing windows never ends the program; only the tray menu's "Close" does.
    QApplication::setQuitOnLastWindowClosed(false);
    ui::installFontSubstitutions();
    QApplication::setStyle(new PasswordStarStyle); // owned by the application

    const DirectorySettings settings =
        readDirectorySettings(directory::directoryBase(), sourcesFromEnvironment());
    directory::Directory directory(settings.base, directory::defaultScratchDir(), settings.caFile);
    ui::QtMessageBoxes boxes;
    ui::QtScreen screen;
    ui::QtDesktop desktop;
    // Without a session bus the connection is simply not there; notifications then go to the
    // tray icon's message.
    ui::DBusNotifier notifier([] { return QDBusConnection::sessionBus(); });
    Context context{directory, boxes, screen, desktop, notifier, {}};

    Form3 = new TForm3(context);
    Form1 = new TForm1(context);
    // Said once, before the windows come up; the program goes on with the built-in address.
    if (!settings.problems.isEmpty())
        boxes.showError(settings.problems.join(QLatin1Char('\n')));
    Form3->show();
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

// Sorvane Messenger: start-up. The main window comes first, so that it is the application's
// main window; the login window is created hidden and the main window's show brings it up.
#include "forms/main.h"
#include "forms/context.h"
#include "forms/globals.h"
#include "forms/login.h"

#include "app/directory_settings.h"
#include "directory/directory.h"
#include "ui/artwork.h"
#include "ui/desktop.h"
#include "ui/fonts.h"
#include "ui/messages.h"
#include "ui/screen.h"

#include <QApplication>
#include <QWidget>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    // The title must be there before the main window's tray icon copies it.
    QApplication::setApplicationName(QStringLiteral("Sorvane Messenger"));
    QApplication::setWindowIcon(sorvane::ui::artwork::programIcon());
    // Closing windows never ends the program; only the tray menu's "Close" does.
    QApplication::setQuitOnLastWindowClosed(false);
    sorvane::ui::installFontSubstitutions();
    app.setStyleSheet(QStringLiteral("QLineEdit { lineedit-password-character: 42; }"));

    const sorvane::app::DirectorySettings settings = sorvane::app::readDirectorySettings(
        sorvane::directory::directoryBase(), sorvane::app::sourcesFromEnvironment());
    sorvane::directory::Directory directory(settings.base, sorvane::directory::defaultScratchDir(),
                                            settings.caFile);
    sorvane::ui::QtMessageBoxes boxes;
    sorvane::ui::QtScreen screen;
    sorvane::ui::QtDesktop desktop;
    Context context{directory, boxes, screen, desktop};

    Form3 = new TForm3(context);
    Form1 = new TForm1(context);
    // Said once, before the windows come up; the program goes on with the built-in address.
    if (!settings.problems.isEmpty())
        boxes.showError(settings.problems.join(QLatin1Char('\n')));
    Form3->show();
    const int result = QApplication::exec();

    // The main window goes first: its listener's threads end before anything else does.
    delete Form3;
    Form3 = nullptr;
    delete Form1;
    Form1 = nullptr;
    for (QWidget* window : QApplication::topLevelWidgets())
        delete window;
    return result;
}

#include "desktop.h"
#include "screen.h"

#include <QApplication>
#include <QDesktopServices>
#include <QGuiApplication>
#include <QScreen>
#include <QSystemTrayIcon>
#include <QUrl>

namespace sorvane::ui {

QSize QtScreen::size() const {
    const QScreen* screen = QGuiApplication::primaryScreen();
    return screen ? screen->geometry().size() : QSize(1024, 768);
}

void QtDesktop::open(const QString& address) {
    QDesktopServices::openUrl(QUrl(address)); // result ignored on purpose
}

bool QtDesktop::hasTray() const {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

void QtDesktop::endProgram() {
    QApplication::quit();
}

void QtDesktop::callForAttention(QWidget* window) {
    QApplication::alert(window);
}

} // namespace sorvane::ui

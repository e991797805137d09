// The floors for start-up and memory: a Qt Widgets program that shows its windows and waits.
// Plain: an empty window, which lays out no text. With --dialog: what the messenger must have up
// once its login window shows, built in code: a second window with the main window's kind of
// controls (labels, a line edit, a tool button, three push buttons, two lists), built disabled
// and shown without taking the keyboard as the main window is while nobody is logged in; a tray
// icon with a picture drawn in code; and a dialog of the login window's controls (two radio
// buttons, a group box with two labels and two line edits, a push button), in the login window's
// font sizes and weights, shown last. With --report-memory it prints its resident memory once
// its windows are shown.
#include "support/resident.h"

#include <QApplication>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolButton>
#include <QWidget>

#include <cstdio>
#include <cstring>

namespace {

// The faces the messenger's windows ask for (see forms/login.ui and forms/main.ui).
QFont face(const char* family, int points, bool bold = false) {
    QFont font(QString::fromLatin1(family), points);
    font.setBold(bold);
    return font;
}

template <typename Control>
Control* place(QWidget* parent, int x, int y, int width, int height, const QString& text = {}) {
    auto* control = new Control(parent);
    control->setGeometry(x, y, width, height);
    if constexpr (requires { control->setText(text); })
        if (!text.isEmpty())
            control->setText(text);
    return control;
}

void buildDialog(QWidget& window) {
    window.setWindowTitle(QStringLiteral("Bare dialog"));
    window.setFont(face("Tahoma", 8));
    window.setFixedSize(291, 155);
    const QFont bold = face("MS Sans Serif", 8, true);
    auto* create = place<QRadioButton>(&window, 16, 5, 122, 17, QStringLiteral("Create New User"));
    create->setFont(bold);
    auto* login = place<QRadioButton>(&window, 152, 8, 89, 17, QStringLiteral("Login"));
    login->setFont(bold);
    login->setChecked(true);
    auto* group = place<QGroupBox>(&window, 8, 32, 275, 65);
    place<QLabel>(group, 8, 16, 70, 13, QStringLiteral("E-mail :"));
    place<QLabel>(group, 8, 40, 70, 13, QStringLiteral("Password :"));
    auto* email = place<QLineEdit>(group, 80, 11, 185, 21);
    email->setFont(bold);
    auto* password = place<QLineEdit>(group, 80, 38, 185, 21);
    password->setFont(bold);
    password->setEchoMode(QLineEdit::Password);
    auto* ok = place<QPushButton>(&window, 168, 112, 115, 33, QStringLiteral("&OK"));
    ok->setFont(face("MS Sans Serif", 12));
    ok->setEnabled(false);
}

void buildSecondWindow(QWidget& window) {
    window.setWindowTitle(QStringLiteral("Bare second window"));
    window.setFont(face("Tahoma", 8));
    window.setFixedSize(212, 353);
    place<QLabel>(&window, 8, 21, 60, 13, QStringLiteral("Add Friend:"));
    place<QLineEdit>(&window, 70, 18, 113, 21);
    auto* add = place<QToolButton>(&window, 184, 18, 20, 21);
    add->setAutoRaise(true);
    add->setToolTip(QStringLiteral("Add Friend"));
    place<QPushButton>(&window, 8, 48, 95, 25, QStringLiteral("Edit My Profile..."));
    place<QPushButton>(&window, 109, 48, 95, 25, QStringLiteral("Search People..."));
    place<QPushButton>(&window, 8, 79, 196, 25, QStringLiteral("About..."));
    place<QLabel>(&window, 8, 110, 60, 13, QStringLiteral("Online:"));
    place<QListWidget>(&window, 6, 127, 201, 96);
    place<QLabel>(&window, 8, 229, 60, 13, QStringLiteral("Offline:"));
    place<QListWidget>(&window, 6, 247, 201, 96);
    window.setEnabled(false);
    window.setAttribute(Qt::WA_ShowWithoutActivating);
}

QIcon trayPicture() {
    QPixmap picture(32, 32);
    picture.fill(Qt::transparent);
    QPainter painter(&picture);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setBrush(QColor(60, 120, 220));
    painter.drawRoundedRect(QRectF(2, 6, 28, 20), 5, 5);
    painter.end();
    return QIcon(picture);
}

} // namespace

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    bool dialog = false, reportMemory = false;
    for (int i = 1; i < argc; ++i) {
        dialog = dialog || std::strcmp(argv[i], "--dialog") == 0;
        reportMemory = reportMemory || std::strcmp(argv[i], "--report-memory") == 0;
    }
    QDialog dialogWindow;
    QDialog secondWindow;
    QWidget plainWindow;
    QSystemTrayIcon tray;
    if (dialog) {
        buildSecondWindow(secondWindow);
        tray.setIcon(trayPicture());
        tray.setToolTip(QStringLiteral("Bare dialog"));
        tray.show();
        buildDialog(dialogWindow);
        secondWindow.show();
        dialogWindow.show();
    } else {
        plainWindow.setWindowTitle(QStringLiteral("Bare window"));
        plainWindow.resize(297, 298);
        plainWindow.show();
    }
    if (reportMemory) {
        QTimer::singleShot(500, [] {
            std::printf("rss_kb %ld\n", sorvane::bench::residentKb());
            std::fflush(stdout);
        });
    }
    return QApplication::exec();
}

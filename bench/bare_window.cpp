// The floors for start-up and memory: a Qt Widgets program that shows one window and waits.
// Plain: an empty window. With --dialog: a dialog built in code with the kind of controls the
// login window shows (two line edits, two radio buttons, a push button), so that its text is
// laid out in loaded fonts as the login window's is. With --report-memory it prints its
// resident memory once the window is shown.
#include "support/resident.h"

#include <QApplication>
#include <QDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstring>

namespace {

void buildDialog(QWidget& window) {
    window.setWindowTitle(QStringLiteral("Bare dialog"));
    window.resize(291, 155);
    auto* create = new QRadioButton(QStringLiteral("Create New User"), &window);
    create->setGeometry(16, 5, 122, 17);
    auto* login = new QRadioButton(QStringLiteral("Login"), &window);
    login->setGeometry(152, 8, 89, 17);
    login->setChecked(true);
    auto* email = new QLineEdit(&window);
    email->setGeometry(88, 43, 185, 21);
    auto* password = new QLineEdit(&window);
    password->setEchoMode(QLineEdit::Password);
    password->setGeometry(88, 70, 185, 21);
    auto* ok = new QPushButton(QStringLiteral("&OK"), &window);
    ok->setGeometry(168, 112, 115, 33);
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
    QWidget plainWindow;
    QWidget& window = dialog ? static_cast<QWidget&>(dialogWindow) : plainWindow;
    if (dialog) {
        buildDialog(window);
    } else {
        window.setWindowTitle(QStringLiteral("Bare window"));
        window.resize(297, 298);
    }
    window.show();
    if (reportMemory) {
        QTimer::singleShot(500, [] {
            std::printf("rss_kb %ld\n", sorvane::bench::residentKb());
            std::fflush(stdout);
        });
    }
    return QApplication::exec();
}

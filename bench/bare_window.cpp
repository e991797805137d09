// The floor for start-up and memory: a Qt Widgets program that shows one empty window and
// waits. With --report-memory it prints its resident memory once the window is shown.
#include "support/resident.h"

#include <QApplication>
#include <QTimer>
#include <QWidget>

#include <cstdio>
#include <cstring>

int main(int argc, char* argv[]) {
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle(QStringLiteral("Bare window"));
    window.resize(297, 298);
    window.show();
    if (argc > 1 && std::strcmp(argv[1], "--report-memory") == 0) {
        QTimer::singleShot(500, [] {
            std::printf("rss_kb %ld\n", sorvane::bench::residentKb());
            std::fflush(stdout);
        });
    }
    return QApplication::exec();
}

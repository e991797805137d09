#pragma once
// Windows, timers, directory requests and the TCP client belong to the user-interface thread;
// code that must run there says so.
#include <QCoreApplication>
#include <QThread>

#define SORVANE_ASSERT_UI_THREAD()                                                                 \
    Q_ASSERT_X(QThread::currentThread() == QCoreApplication::instance()->thread(), Q_FUNC_INFO,    \
               "must run on the user-interface thread")

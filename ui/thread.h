#pragma once
// Windows, timers, directory requests and the TCP client belong to the user-interface thread;
// code that must run there says so. Worker threads hand their results over with queueOn.
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#define SORVANE_ASSERT_UI_THREAD()                                                                 \
    Q_ASSERT_X(QThread::currentThread() == QCoreApplication::instance()->thread(), Q_FUNC_INFO,    \
               "must run on the user-interface thread")

namespace sorvane::ui {

#if defined(__SANITIZE_THREAD__)
// Qt's event queue hands a queued call from one thread to another under Qt's own locks, which
// ThreadSanitizer does not see (Qt is not built for it); this address stands for the queue, so
// that what a worker wrote before queueing a call is known to come before the call.
inline char queuedCallOrder;
#endif

// Runs `call` on the thread of `context` (for a window, the user-interface thread) as a queued
// call, from any thread; dropped when `context` is gone first.
template <typename Call> void queueOn(QObject* context, Call&& call) {
#if defined(__SANITIZE_THREAD__)
    __tsan_release(&queuedCallOrder);
    QMetaObject::invokeMethod(
        context,
        [call = std::forward<Call>(call)]() mutable {
            __tsan_acquire(&queuedCallOrder);
            call();
        },
        Qt::QueuedConnection);
#else
    QMetaObject::invokeMethod(context, std::forward<Call>(call), Qt::QueuedConnection);
#endif
}

} // namespace sorvane::ui

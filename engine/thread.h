#pragma once
// Windows, timers, directory requests and the TCP client belong to the user-interface thread;
// code that must run there says so. Worker threads hand their results over with queueOn.
#include <QCoreApplication>
#include <QMetaObject>
#include <QObject>
#include <QThread>

#include <type_traits>
#include <utility>

#if defined(__SANITIZE_THREAD__)
#include <sanitizer/tsan_interface.h>
#endif

#define SORVANE_ASSERT_UI_THREAD()                                                                 \
    Q_ASSERT_X(QThread::currentThread() == QCoreApplication::instance()->thread(), Q_FUNC_INFO,    \
               "must run on the user-interface thread")

namespace sorvane::engine {

#if defined(__SANITIZE_THREAD__)
// Qt's event queue hands a queued call from one thread to another under Qt's own locks, which
// ThreadSanitizer does not see (Qt is not built for it). This address stands for the queue: the
// call is released into it once written where the queue keeps it (every copy and move ends with
// the release), and acquired from it before it runs, so what the worker wrote comes first.
inline char queuedCallOrder;

template <typename Call> class QueuedCall {
public:
    explicit QueuedCall(Call call) : call_(std::move(call)) { __tsan_release(&queuedCallOrder); }
    QueuedCall(QueuedCall&& other) : call_(std::move(other.call_)) {
        __tsan_release(&queuedCallOrder);
    }
    QueuedCall(const QueuedCall& other) : call_(other.call_) { __tsan_release(&queuedCallOrder); }
    QueuedCall& operator=(const QueuedCall&) = delete;
    void operator()() {
        __tsan_acquire(&queuedCallOrder);
        call_();
    }

private:
    Call call_;
};
#endif

// Runs `call` on the thread of `context` (for a window, the user-interface thread) as a queued
// call, from any thread; dropped when `context` is gone first.
template <typename Call> void queueOn(QObject* context, Call&& call) {
#if defined(__SANITIZE_THREAD__)
    QMetaObject::invokeMethod(context, QueuedCall<std::decay_t<Call>>(std::forward<Call>(call)),
                              Qt::QueuedConnection);
#else
    QMetaObject::invokeMethod(context, std::forward<Call>(call), Qt::QueuedConnection);
#endif
}

} // namespace sorvane::engine

#pragma once
// A timer with an interval in milliseconds and an enabled flag; its handler runs inside the
// default error handler and leaves the timer in whatever state it set.
#include <QObject>
#include <QTimer>
#include <functional>

class QSocketNotifier;

namespace sorvane::ui {

class IMessageBoxes;

class Timer : public QObject {
    Q_OBJECT
public:
    Timer(IMessageBoxes& boxes, int intervalMs, bool enabled, QObject* parent = nullptr);
    ~Timer() override;

    int interval() const { return interval_; }
    bool enabled() const { return enabled_; }
    // A new interval on a running timer starts its wait again.
    void setInterval(int ms);
    void setEnabled(bool on);

    std::function<void()> onTimer;

    // Runs the handler as a tick would (tests, and callers that must not wait a tick).
    void fire();

private:
    void restart();
    void tick();

    IMessageBoxes& boxes_;
    // The system's clock for this timer (a timerfd), watched by the event loop. Qt's own timers
    // round every wait up to a whole millisecond from wherever the loop happens to be, so a
    // 1 ms timer fired anywhere between 1 and 2 ms; this one fires when its time is up.
    int clock_ = -1;
    QSocketNotifier* notifier_ = nullptr;
    QTimer fallback_; // only when the system gives no timerfd
    int interval_;
    bool enabled_;
    bool firing_ = false;
};

} // namespace sorvane::ui

#pragma once
// A timer with an interval in milliseconds and an enabled flag; its handler runs inside the
// default error handler and leaves the timer in whatever state it set.
#include <QObject>
#include <QTimer>
#include <functional>

namespace sorvane::ui {

class IMessageBoxes;

class Timer : public QObject {
    Q_OBJECT
public:
    Timer(IMessageBoxes& boxes, int intervalMs, bool enabled, QObject* parent = nullptr);

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

    IMessageBoxes& boxes_;
    QTimer timer_;
    int interval_;
    bool enabled_;
};

} // namespace sorvane::ui

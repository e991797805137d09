#include "timer.h"

#include "messages.h"

namespace sorvane::ui {

Timer::Timer(IMessageBoxes& boxes, int intervalMs, bool enabled, QObject* parent)
    : QObject(parent), boxes_(boxes), interval_(intervalMs), enabled_(enabled) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, &Timer::fire);
    restart();
}

void Timer::setInterval(int ms) {
    interval_ = ms;
    restart();
}

void Timer::setEnabled(bool on) {
    if (on == enabled_)
        return;
    enabled_ = on;
    restart();
}

void Timer::restart() {
    if (enabled_)
        timer_.start(interval_);
    else
        timer_.stop();
}

void Timer::fire() {
    if (onTimer)
        guarded(boxes_, onTimer);
}

} // namespace sorvane::ui

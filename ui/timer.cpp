#include "timer.h"

#include "messages.h"

#include <QPointer>
#include <QSocketNotifier>

#include <sys/timerfd.h>
#include <unistd.h>

#include <cstdint>

namespace sorvane::ui {

Timer::Timer(IMessageBoxes& boxes, int intervalMs, bool enabled, QObject* parent)
    : QObject(parent), boxes_(boxes), interval_(intervalMs), enabled_(enabled) {
    clock_ = ::timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    if (clock_ >= 0) {
        notifier_ = new QSocketNotifier(clock_, QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, &Timer::tick);
    } else {
        fallback_.setTimerType(Qt::PreciseTimer);
        connect(&fallback_, &QTimer::timeout, this, &Timer::fire);
    }
    restart();
}

Timer::~Timer() {
    if (clock_ >= 0) {
        delete notifier_;
        ::close(clock_);
    }
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
    if (clock_ < 0) {
        if (enabled_)
            fallback_.start(interval_);
        else
            fallback_.stop();
        return;
    }
    itimerspec every{}; // all zero: stopped
    if (enabled_) {
        const long ms = interval_ > 0 ? interval_ : 0;
        every.it_value = {ms / 1000, (ms % 1000) * 1000000L};
        if (ms == 0)
            every.it_value.tv_nsec = 1; // as soon as the loop comes round; zero would stop it
        every.it_interval = every.it_value;
    }
    ::timerfd_settime(clock_, 0, &every, nullptr);
    // A tick that came due under the old setting is not delivered any more.
    std::uint64_t due;
    [[maybe_unused]] const ssize_t n = ::read(clock_, &due, sizeof due);
}

void Timer::tick() {
    std::uint64_t due = 0;
    if (::read(clock_, &due, sizeof due) != sizeof due)
        return; // taken back by a restart since the loop saw it
    // Ticks that came due meanwhile count as one, and a handler that waits in a message box
    // is not entered again by its own timer: as Qt's timers behave.
    if (firing_)
        return;
    firing_ = true;
    const QPointer<Timer> alive(this); // a handler may close and free the timer's window
    fire();
    if (alive)
        firing_ = false;
}

void Timer::fire() {
    if (onTimer)
        guarded(boxes_, onTimer);
}

} // namespace sorvane::ui

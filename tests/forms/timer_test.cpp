// The windows' timer: ticks while enabled, stops for good when its handler switches it off,
// is not entered again by its own ticks while its handler waits in a nested event loop, and
// keeps going after a handler error, which shows in the error box.
#include "ui/timer.h"
#include "world.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>

#include <gtest/gtest.h>

#include <stdexcept>

namespace {

using sorvane::test::RecordingMessageBoxes;
using sorvane::test::waitFor;
using sorvane::ui::Timer;

void runEventsFor(int ms) {
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < ms)
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
}

TEST(Timer, TicksWhileEnabledAndStaysOffOnceItsHandlerSwitchesItOff) {
    RecordingMessageBoxes boxes;
    Timer timer(boxes, 1, true);
    int ticks = 0;
    timer.onTimer = [&] {
        if (++ticks == 3)
            timer.setEnabled(false);
    };
    ASSERT_TRUE(waitFor([&] { return ticks == 3; }));
    runEventsFor(30);
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(timer.enabled());
}

TEST(Timer, ADisabledTimerNeverTicks) {
    RecordingMessageBoxes boxes;
    Timer timer(boxes, 1, false);
    int ticks = 0;
    timer.onTimer = [&] { ++ticks; };
    runEventsFor(20);
    timer.setEnabled(true);
    timer.setEnabled(false);
    runEventsFor(20);
    EXPECT_EQ(ticks, 0);
}

TEST(Timer, IsNotEnteredAgainWhileItsHandlerWaits) {
    RecordingMessageBoxes boxes;
    Timer timer(boxes, 1, true);
    int depth = 0, deepest = 0, ticks = 0;
    timer.onTimer = [&] {
        ++ticks;
        deepest = std::max(deepest, ++depth);
        if (ticks == 1)
            runEventsFor(30); // as a message box opened by the handler would
        --depth;
        if (ticks == 3)
            timer.setEnabled(false);
    };
    ASSERT_TRUE(waitFor([&] { return ticks == 3; }));
    EXPECT_EQ(deepest, 1);
}

TEST(Timer, AHandlerErrorShowsInTheErrorBoxAndTheTimerGoesOn) {
    RecordingMessageBoxes boxes;
    Timer timer(boxes, 1, true);
    int ticks = 0;
    timer.onTimer = [&] {
        if (++ticks == 1)
            throw std::runtime_error("List index out of bounds (1)");
        timer.setEnabled(false);
    };
    ASSERT_TRUE(waitFor([&] { return ticks == 2; }));
    EXPECT_EQ(boxes.errors, QStringList{"List index out of bounds (1)."});
}

TEST(Timer, ANewIntervalOnARunningTimerStartsItsWaitAgain) {
    RecordingMessageBoxes boxes;
    Timer timer(boxes, 60000, true);
    int ticks = 0;
    timer.onTimer = [&] {
        ++ticks;
        timer.setEnabled(false);
    };
    timer.setInterval(1); // as adding a friend re-arms the presence timer
    ASSERT_TRUE(waitFor([&] { return ticks == 1; }, std::chrono::milliseconds(2000)));
}

} // namespace

// Start-up to the login window shown: the real sorvane-messenger started on the X display of
// this session (Xvfb under `make bench`), timed from the start of the process to the moment the
// X server maps its login window; next to two floors timed the same way: a bare Qt window,
// which loads no fonts, and a dialog built in code with the login window's kind of controls.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include "stats.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kStarts = 15;
constexpr auto kPatience = std::chrono::seconds(20);

std::string windowName(Display* display, Window window) {
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    for (const Atom property : {netName, static_cast<Atom>(XA_WM_NAME)}) {
        Atom type;
        int format;
        unsigned long count, after;
        unsigned char* data = nullptr;
        if (XGetWindowProperty(display, window, property, 0, 1024, False, AnyPropertyType, &type,
                               &format, &count, &after, &data) == Success &&
            data != nullptr) {
            std::string name(reinterpret_cast<char*>(data), count);
            XFree(data);
            if (!name.empty())
                return name;
        }
    }
    return {};
}

// Starts `program` and waits until a top-level window named `title` is mapped; the seconds from
// the fork to the map, or nothing. The program is ended afterwards.
std::optional<double> timeToWindow(const std::string& program, const std::string& title,
                                   const char* argument) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return std::nullopt;
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    const auto start = Clock::now();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        execl(program.c_str(), program.c_str(), argument, static_cast<char*>(nullptr));
        _exit(127);
    }
    std::optional<double> seconds;
    const auto deadline = start + kPatience;
    while (!seconds && Clock::now() < deadline) {
        if (XPending(display) == 0) {
            pollfd p{ConnectionNumber(display), POLLIN, 0};
            poll(&p, 1, 20);
            int status = 0;
            if (waitpid(pid, &status, WNOHANG) == pid)
                break; // ended before showing anything
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify && windowName(display, event.xmap.window) == title)
            seconds = std::chrono::duration<double>(Clock::now() - start).count();
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    XCloseDisplay(display);
    return seconds;
}

void startUp(benchmark::State& state, const std::string& program, const std::string& title,
             const char* argument = nullptr) {
    if (!std::getenv("DISPLAY")) {
        state.SkipWithError("needs an X display (make bench runs this under Xvfb)");
        return;
    }
    // Held for the whole run: an X server may reset itself whenever its last client leaves.
    Display* keepAlive = XOpenDisplay(nullptr);
    timeToWindow(program, title, argument); // caches warm
    std::vector<double> ms;
    for (auto _ : state) {
        for (int i = 0; i < kStarts; ++i) {
            const auto seconds = timeToWindow(program, title, argument);
            if (!seconds) {
                XCloseDisplay(keepAlive);
                state.SkipWithError("the window was not shown");
                return;
            }
            ms.push_back(*seconds * 1000);
        }
    }
    XCloseDisplay(keepAlive);
    double total = 0;
    for (const double m : ms)
        total += m;
    state.SetIterationTime(total / 1000);
    state.counters["starts"] = static_cast<double>(ms.size());
    state.counters["median_ms"] = sorvane::bench::median(ms);
    state.counters["p90_ms"] = sorvane::bench::percentile(ms, 0.9);
}

void StartUp_Messenger(benchmark::State& state) {
    startUp(state, SORVANE_MESSENGER_EXE, "Sorvane Messenger");
}

void StartUp_BareWindow(benchmark::State& state) {
    startUp(state, SORVANE_BARE_WINDOW_EXE, "Bare window");
}

void StartUp_BareDialog(benchmark::State& state) {
    startUp(state, SORVANE_BARE_WINDOW_EXE, "Bare dialog", "--dialog");
}

BENCHMARK(StartUp_BareWindow)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(StartUp_BareDialog)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(StartUp_Messenger)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

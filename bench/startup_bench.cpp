// Start-up to the login window shown: the real sorvane-messenger started on the X display of
// this session (Xvfb under `make bench`), timed from the start of the process to the moment the
// X server maps its login window; next to two floors timed the same way, in interleaved rounds
// (support/rounds.h): a bare Qt window, which loads no fonts, and what the messenger must have
// up by then, built in code (bare_window --dialog: a dialog of the login window's controls, a
// second window built disabled, a tray icon).
//
// Then the first login, which loads what start-up no longer does (libcurl, the directory
// settings): timed from Enter pressed in the login window, e-mail and password typed, to the
// main window's title naming the user, against a local directory server; next to a bare libcurl
// GET of the same c.php from this process, the request itself. Enter goes once at once, as soon
// as the window takes keys (libcurl may still be loading then), and once a second later, as a
// person would. SORVANE_BENCH_MESSENGER names another messenger to time, to compare two builds.
#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>
#include <curl/curl.h>

#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "directory_server.h"
#include "rounds.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kRounds = 9;
constexpr int kStartsPerRound = 5;
constexpr auto kPatience = std::chrono::seconds(20);
constexpr int kLoginRounds = 7;

std::string messengerExe() {
    const char* other = std::getenv("SORVANE_BENCH_MESSENGER");
    return other != nullptr && *other != '\0' ? other : SORVANE_MESSENGER_EXE;
}

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

// A program whose start is timed: its executable, the title of the window that counts as up,
// and its argument (or none).
struct Program {
    std::string exe;
    std::string title;
    const char* argument = nullptr;
};

std::optional<double> startMs(const Program& p) {
    const auto seconds = timeToWindow(p.exe, p.title, p.argument);
    if (!seconds)
        return std::nullopt;
    return *seconds * 1000;
}

// The messenger next to both floors, in interleaved rounds (rounds.h): the floors' round starts
// the dialog floor and the empty window in turn, kStartsPerRound times each, the messenger's
// round starts it kStartsPerRound times; a round's values are the medians of its starts.
void StartUp_Messenger(benchmark::State& state) {
    if (!std::getenv("DISPLAY")) {
        state.SkipWithError("needs an X display (make bench runs this under Xvfb)");
        return;
    }
    const Program window{SORVANE_BARE_WINDOW_EXE, "Bare window"};
    const Program floor{SORVANE_BARE_WINDOW_EXE, "Bare dialog", "--dialog"};
    const Program messenger{messengerExe(), "Sorvane Messenger"};
    // Held for the whole run: an X server may reset itself whenever its last client leaves.
    Display* keepAlive = XOpenDisplay(nullptr);
    for (const Program* p : {&window, &floor, &messenger})
        startMs(*p); // caches warm
    bool shown = true;
    // The median of kStartsPerRound starts of each of `programs`, in turn; into `medians`.
    const auto startsOf = [&shown](std::initializer_list<const Program*> programs,
                                   std::initializer_list<std::vector<double>*> medians,
                                   std::vector<double>& all) {
        std::vector<std::vector<double>> ms(programs.size());
        for (int turn = 0; turn < kStartsPerRound && shown; ++turn)
            for (std::size_t k = 0; k < programs.size() && shown; ++k) {
                const auto took = startMs(*programs.begin()[k]);
                shown = took.has_value();
                if (shown)
                    ms[k].push_back(*took);
            }
        for (std::size_t k = 0; k < programs.size(); ++k)
            medians.begin()[k]->push_back(shown ? sorvane::bench::median(ms[k]) : 0);
        all.insert(all.end(), ms.back().begin(), ms.back().end());
    };
    sorvane::bench::Rounds againstWindow, againstFloor;
    std::vector<double> all, windows, floors, figures, ignored;
    for (auto _ : state)
        againstFloor = sorvane::bench::interleave(
            kRounds,
            [&] {
                startsOf({&window, &floor}, {&windows, &floors}, ignored);
                return floors.back();
            },
            [&] {
                startsOf({&messenger}, {&figures}, all);
                return figures.back();
            });
    XCloseDisplay(keepAlive);
    if (!shown) {
        state.SkipWithError("a window was not shown");
        return;
    }
    for (std::size_t round = 0; round < figures.size(); ++round)
        againstWindow.add(figures[round], windows[round]);
    double total = 0;
    for (const double m : all)
        total += m;
    state.SetIterationTime(total / 1000);
    state.counters["starts"] = static_cast<double>(all.size());
    againstWindow.report(state, "window_");
    againstFloor.report(state, "floor_");
}

// ---- the first login ---------------------------------------------------------------------

const std::string kUser = "me@bench.example";
const std::string kPassword = "pw";

double msSince(Clock::time_point start) {
    return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

// Presses and releases the key that gives `symbol`, with Shift where the keyboard needs it.
void press(Display* display, KeySym symbol) {
    const KeyCode code = XKeysymToKeycode(display, symbol);
    const bool shifted = XkbKeycodeToKeysym(display, code, 0, 0) != symbol;
    const KeyCode shift = XKeysymToKeycode(display, XK_Shift_L);
    if (shifted)
        XTestFakeKeyEvent(display, shift, True, CurrentTime);
    XTestFakeKeyEvent(display, code, True, CurrentTime);
    XTestFakeKeyEvent(display, code, False, CurrentTime);
    if (shifted)
        XTestFakeKeyEvent(display, shift, False, CurrentTime);
}

void type(Display* display, const std::string& text) {
    for (const char c : text)
        press(display, static_cast<KeySym>(static_cast<unsigned char>(c)));
}

// Starts the messenger with `environment` added, types the e-mail and the password into its
// login window once that has the keyboard, waits `pause`, presses Enter and returns the
// milliseconds until the main window's title names the user; nothing when that does not come.
std::optional<double> firstLoginMs(const std::vector<std::string>& environment,
                                   std::chrono::milliseconds pause) {
    Display* display = XOpenDisplay(nullptr);
    if (!display)
        return std::nullopt;
    XSelectInput(display, DefaultRootWindow(display), SubstructureNotifyMask);
    XSync(display, False);
    const std::string exe = messengerExe();
    const pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        for (const std::string& variable : environment)
            putenv(const_cast<char*>(variable.c_str()));
        execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    const auto deadline = Clock::now() + kPatience;
    const std::string signedIn = '[' + kUser + ']';
    Window login = 0, main = 0;
    bool typed = false;
    std::optional<Clock::time_point> entered;
    std::optional<double> ms;
    while (!ms && Clock::now() < deadline) {
        if (login != 0 && main != 0 && !typed) {
            Window focus = 0;
            int revert = 0;
            XGetInputFocus(display, &focus, &revert);
            if (focus == login) {
                type(display, kUser);
                press(display, XK_Tab);
                type(display, kPassword);
                XSync(display, False);
                std::this_thread::sleep_for(pause);
                typed = true;
                entered = Clock::now();
                press(display, XK_Return);
                XFlush(display);
            }
        }
        if (XPending(display) == 0) {
            pollfd p{ConnectionNumber(display), POLLIN, 0};
            poll(&p, 1, typed ? 20 : 2);
            if (waitpid(pid, nullptr, WNOHANG) == pid)
                break; // ended before logging in
            continue;
        }
        XEvent event;
        XNextEvent(display, &event);
        if (event.type == MapNotify) {
            const std::string name = windowName(display, event.xmap.window);
            if (name == "Sorvane Messenger")
                login = event.xmap.window;
            if (name == "Messenger") {
                main = event.xmap.window;
                XSelectInput(display, main, PropertyChangeMask);
            }
        } else if (event.type == PropertyNotify && event.xproperty.window == main && entered &&
                   windowName(display, main) == signedIn) {
            ms = msSince(*entered);
        }
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    XCloseDisplay(display);
    return ms;
}

extern "C" std::size_t discard(char*, std::size_t size, std::size_t count, void*) {
    return size * count;
}

// The request itself: a fresh libcurl handle GETs `url` from this process, libcurl loaded.
std::optional<double> bareGetMs(const std::string& url) {
    const auto start = Clock::now();
    CURL* h = curl_easy_init();
    curl_easy_setopt(h, CURLOPT_URL, url.c_str());
    curl_easy_setopt(h, CURLOPT_WRITEFUNCTION, &discard);
    const CURLcode rc = curl_easy_perform(h);
    curl_easy_cleanup(h);
    if (rc != CURLE_OK)
        return std::nullopt;
    return msSince(start);
}

void FirstLogin(benchmark::State& state) {
    if (!std::getenv("DISPLAY")) {
        state.SkipWithError("needs an X display (make bench runs this under Xvfb)");
        return;
    }
    sorvane::test::TestDirectoryServer server;
    server.registerUser(kUser, kPassword);
    // Its own folders: no settings file names another directory, and its identity, made on the
    // first login, is there for the next ones.
    const std::filesystem::path home = std::filesystem::temp_directory_path() /
                                       ("sorvane-first-login-" + std::to_string(getpid()));
    std::filesystem::create_directories(home / "config");
    const std::vector<std::string> environment = {"SORVANE_DIRECTORY_URL=" + server.base(),
                                                  "XDG_CONFIG_HOME=" + (home / "config").string(),
                                                  "XDG_CONFIG_DIRS=" + (home / "config").string(),
                                                  "XDG_DATA_HOME=" + (home / "data").string()};
    const std::string url =
        server.base() + "c.php?u=me%40bench.example&p=pw&ip=127.0.0.1&port=5000";
    curl_global_init(CURL_GLOBAL_DEFAULT);
    Display* keepAlive = XOpenDisplay(nullptr);
    const auto at = [&](std::chrono::milliseconds pause) {
        return firstLoginMs(environment, pause);
    };
    bool done = at(std::chrono::milliseconds(0)) && bareGetMs(url); // identity made, caches warm
    sorvane::bench::Rounds atOnce, later;
    for (auto _ : state) {
        for (int round = 0; round < kLoginRounds && done; ++round) {
            const auto floor = bareGetMs(url);
            const auto now = at(std::chrono::milliseconds(0));
            const auto second = at(std::chrono::milliseconds(1000));
            done = floor && now && second;
            if (done) {
                atOnce.add(*now, *floor);
                later.add(*second, *floor);
            }
        }
    }
    XCloseDisplay(keepAlive);
    std::filesystem::remove_all(home);
    if (!done) {
        state.SkipWithError("a login did not come through");
        return;
    }
    atOnce.report(state, "at_once_");
    later.report(state, "after_1s_");
}

BENCHMARK(StartUp_Messenger)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FirstLogin)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

// Presence runs of the real main window (its Timer2Timer), logged in against the real directory
// server, over friends whose registered addresses are listeners on loopback, each measured next
// to its floor in interleaved rounds (rounds.h):
//  - PresenceRun_AllOnline/N: the run every minute, N friends online and all still reachable,
//    per friend, next to N times a bare lookup (libcurl GET of the same "g.php") and a bare
//    connect, the same work written in a few lines;
//  - PresenceRun_AfterLogin/N: the first run, N friends offline and reachable, so each is
//    probed twice (moved online in the first pass, probed again in the second), per friend,
//    next to twice that floor;
//  - PresenceRun_20Of100Unreachable: 80 friends online, 20 offline whose addresses swallow
//    connects, next to the connect bound plus 1.5 times the floor of the 80 reachable ones.
// With the directory 20 ms away (a delaying proxy holds each of its replies):
//  - FarRun_200Online, FarRun_20Of100Unreachable: the longest time the user-interface thread
//    was busy during a run, as the largest gap of a timer ticking every 5 ms on it, next to the
//    same timer's largest gap while no run is out; and for the 200 friends the run's wall time
//    next to 200 bare lookups through the same proxy, one at a time, and bare connects.
// Every run is measured from Timer2 firing to the end of the run's result on the lists. The
// first runs of each figure, and of its floor, warm the caches and are not counted.
#include "delay_proxy.h"
#include "directory/directory.h"
#include "engine/presence.h"
#include "globals.h"
#include "loopback.h"
#include "main.h"
#include "net/sockets.h"
#include "rounds.h"
#include "ui/fonts.h"
#include "ui/timer.h"
#include "world.h"

#include <QApplication>
#include <QEventLoop>
#include <QListWidget>
#include <QTimer>

#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace {

using sorvane::bench::AcceptingPeer;
using sorvane::bench::DelayingProxy;
using sorvane::bench::SwallowingPeer;
using sorvane::test::observedAddress;
using sorvane::test::TestDirectoryServer;
using sorvane::test::Windows;
using sorvane::test::World;
using Clock = std::chrono::steady_clock;

constexpr int kMaxFriends = 500;
constexpr int kUnreachable = 20;
constexpr int kPeers = 8;
constexpr int kFarFriends = 200;
constexpr auto kFarDelay = std::chrono::milliseconds(20);
constexpr int kAllOnlineRounds = 5;
constexpr int kAfterLoginRounds = 5;
constexpr int kUnreachableRounds = 3; // each run waits for the connect bound
constexpr int kFarRounds = 3;         // each run looks every friend up 20 ms away
constexpr int kFriendsPerRound = 100; // small runs are repeated up to this many friends a round
constexpr auto kIdleWindow = std::chrono::milliseconds(500);
constexpr double kLongestPauseMs = 50;

double millisecondsSince(Clock::time_point start, Clock::time_point end = Clock::now()) {
    return std::chrono::duration<double, std::milli>(end - start).count();
}

// A ticking timer on the user-interface thread: the largest gap between its ticks (and from the
// last tick to the end) is the longest the thread was kept from its events.
class GapWatch {
public:
    GapWatch() {
        tick_.setTimerType(Qt::PreciseTimer);
        tick_.setInterval(5);
        QObject::connect(&tick_, &QTimer::timeout, [this] { mark(); });
    }
    void start() {
        last_ = Clock::now();
        tick_.start();
    }
    double stop() {
        mark();
        tick_.stop();
        return longestMs_;
    }

private:
    void mark() {
        const auto now = Clock::now();
        longestMs_ = std::max(longestMs_, millisecondsSince(last_, now));
        last_ = now;
    }
    QTimer tick_;
    Clock::time_point last_;
    double longestMs_ = 0;
};

struct RunFigures {
    bool ended = false;
    double ms = 0; // Timer2 firing to the end of the run
    double longestGapMs = 0;
};

// One presence run as Timer2 starts it, with the event loop running until its end.
RunFigures watchRun(TForm3& main) {
    RunFigures figures;
    QEventLoop loop;
    QObject::connect(&main.presence(), &sorvane::engine::PresenceRun::runDone, &loop, [&] {
        figures.ended = true;
        loop.quit();
    });
    QTimer::singleShot(std::chrono::seconds(60), &loop, &QEventLoop::quit);
    GapWatch gaps;
    gaps.start();
    const auto start = Clock::now();
    main.Timer2->fire();
    if (main.presence().running())
        loop.exec();
    else
        figures.ended = true; // a run over no names ends before it returns
    figures.ms = millisecondsSince(start);
    figures.longestGapMs = gaps.stop();
    return figures;
}

QString friendName(int i) {
    return QStringLiteral("friend%1@bench.example").arg(i);
}
QString unreachableName(int i) {
    return QStringLiteral("gone%1@bench.example").arg(i);
}

void fillLists(TForm3& main, const std::vector<QString>& online,
               const std::vector<QString>& offline) {
    main.ui.ListBox1->clear();
    main.ui.ListBox2->clear();
    for (const QString& n : online)
        main.ui.ListBox1->addItem(n);
    for (const QString& n : offline)
        main.ui.ListBox2->addItem(n);
}

// One logged-in user, kMaxFriends reachable accounts spread over kPeers listeners, and
// kUnreachable accounts registered at a listener that swallows connects.
struct Setting {
    Setting() : world(observedAddress()) {
        for (int i = 0; i < kPeers; ++i)
            peers.push_back(std::make_unique<AcceptingPeer>());
        for (int i = 0; i < kMaxFriends; ++i)
            world.server.registerAndLogin(friendName(i).toStdString(), "pw", "127.0.0.1",
                                          portOf(i));
        for (int i = 0; i < kUnreachable; ++i)
            world.server.registerAndLogin(unreachableName(i).toStdString(), "pw", "127.0.0.1",
                                          swallowing.port());
        world.registerAndLogIn(QStringLiteral("me@bench.example"));
        // The first run after the login, over no friends, and its reply handling.
        sorvane::test::waitFor([&] { return world.main->windowTitle() == "[me@bench.example]"; });
        QApplication::processEvents();
    }
    int portOf(int i) const { return peers[static_cast<std::size_t>(i % kPeers)]->port(); }

    void fill(const std::vector<QString>& online, const std::vector<QString>& offline) {
        fillLists(*world.main, online, offline);
    }

    World world;
    std::vector<std::unique_ptr<AcceptingPeer>> peers;
    SwallowingPeer swallowing;
};

std::unique_ptr<Setting> setting;

Setting& theSetting() {
    if (!setting)
        setting = std::make_unique<Setting>();
    return *setting;
}

std::vector<QString> friends(int n) {
    std::vector<QString> names;
    for (int i = 0; i < n; ++i)
        names.push_back(friendName(i));
    return names;
}

// The addresses a run asks the directory at `base` for the first `n` friends.
std::vector<std::string> probeUrls(const std::string& base, int n) {
    std::vector<std::string> urls;
    for (int i = 0; i < n; ++i)
        urls.push_back(
            sorvane::directory::address::probeLookup(base, friendName(i).toStdString(), i % 19999));
    return urls;
}

// The floor of a run: for each address a bare lookup, then a bare connect to the port it gave,
// `repeats` times over. Milliseconds in all, or nothing when a connect failed.
std::optional<double> bareLookups(const std::vector<std::string>& urls, int repeats = 1) {
    const auto start = Clock::now();
    for (int r = 0; r < repeats; ++r)
        for (const std::string& url : urls) {
            const std::string reply = sorvane::bench::bareGet(url);
            const int port = std::stoi(reply.substr(reply.find('\n') + 1));
            if (!sorvane::bench::bareConnect(port))
                return std::nullopt;
        }
    return millisecondsSince(start);
}

// Runs over few friends are repeated within a round, so that a round is not one blink long.
int runsPerRound(int n) {
    return std::max(1, kFriendsPerRound / n);
}

// Rounds of runs over `n` friends, each starting from `online`/`offline` and expected to end
// with all `n` online, next to `probes` times the bare floor of those friends; microseconds per
// friend. Empty after an error, which is reported on `state`.
std::optional<sorvane::bench::Rounds> perFriendRounds(benchmark::State& state, int n, int rounds,
                                                      bool startOnline, int probes,
                                                      const char* wrongLists) {
    Setting& s = theSetting();
    const std::vector<std::string> urls = probeUrls(s.world.server.base(), n);
    const int repeats = runsPerRound(n);
    const double friendsPerRound = static_cast<double>(repeats) * n;
    bool wrong = false, floorFailed = false;
    const auto figure = [&] {
        double ms = 0;
        for (int r = 0; r < repeats; ++r) {
            if (startOnline)
                s.fill(friends(n), {});
            else
                s.fill({}, friends(n));
            const RunFigures run = watchRun(*s.world.main);
            ms += run.ms;
            wrong = wrong || !run.ended || s.world.main->ui.ListBox1->count() != n;
        }
        return ms * 1000 / friendsPerRound;
    };
    const auto floor = [&] {
        const std::optional<double> ms = bareLookups(urls, repeats);
        floorFailed = floorFailed || !ms;
        return probes * ms.value_or(0) * 1000 / friendsPerRound;
    };
    figure();
    floor();
    const sorvane::bench::Rounds out = sorvane::bench::interleave(rounds, floor, figure);
    if (floorFailed) {
        state.SkipWithError("a bare connect failed");
        return std::nullopt;
    }
    if (wrong) {
        state.SkipWithError(wrongLists);
        return std::nullopt;
    }
    return out;
}

void PresenceRun_AllOnline(benchmark::State& state) {
    for (auto _ : state) {
        const auto rounds =
            perFriendRounds(state, static_cast<int>(state.range(0)), kAllOnlineRounds, true, 1,
                            "a reachable friend went offline");
        if (!rounds)
            return;
        rounds->report(state);
        state.SetIterationTime(1);
    }
}

// The first run probes each friend twice: its floor is two bare lookups and connects a friend.
void PresenceRun_AfterLogin(benchmark::State& state) {
    for (auto _ : state) {
        const auto rounds =
            perFriendRounds(state, static_cast<int>(state.range(0)), kAfterLoginRounds, false, 2,
                            "a reachable friend stayed offline");
        if (!rounds)
            return;
        rounds->report(state);
        state.SetIterationTime(1);
    }
}

// A run over 80 reachable friends and 20 whose connects are swallowed, in milliseconds, next to
// the floor of the 80: 80 times the per-friend floor of a bare pass over 100 friends. The run
// may take the connect bound once plus 1.5 times that floor: each round's ratio is the run over
// that bound.
void PresenceRun_20Of100Unreachable(benchmark::State& state) {
    Setting& s = theSetting();
    constexpr int reachable = 100 - kUnreachable;
    std::vector<QString> gone;
    for (int i = 0; i < kUnreachable; ++i)
        gone.push_back(unreachableName(i));
    const std::vector<std::string> urls = probeUrls(s.world.server.base(), 100);
    const double boundMs =
        static_cast<double>(sorvane::net::TCustomIpClient::DefaultConnectTimeout.count());
    bool wrong = false, floorFailed = false;
    const auto figure = [&] {
        s.fill(friends(reachable), gone);
        const RunFigures run = watchRun(*s.world.main);
        wrong = wrong || !run.ended || s.world.main->ui.ListBox1->count() != reachable ||
                s.world.main->ui.ListBox2->count() != kUnreachable;
        return run.ms;
    };
    const auto floor = [&] {
        const std::optional<double> ms = bareLookups(urls);
        floorFailed = floorFailed || !ms;
        return reachable * ms.value_or(0) / static_cast<double>(urls.size());
    };
    for (auto _ : state) {
        // The warm-up leaves out the unreachable friends: their connects only wait out the bound.
        s.fill(friends(reachable), {});
        watchRun(*s.world.main);
        floor();
        const sorvane::bench::Rounds rounds = sorvane::bench::interleave(
            kUnreachableRounds, floor, figure,
            [boundMs](double run, double floorMs) { return run / (boundMs + 1.5 * floorMs); });
        if (floorFailed) {
            state.SkipWithError("a bare connect failed");
            return;
        }
        if (wrong) {
            state.SkipWithError("a friend ended in the wrong list");
            return;
        }
        rounds.report(state);
        state.SetIterationTime(1);
    }
    state.counters["connect_bound_ms"] = boundMs;
}

// The same friends on a directory of their own, reached by the windows through a proxy that
// holds each reply 20 ms.
struct FarSetting {
    FarSetting()
        : server(sorvane::test::observedAddress()),
          proxy(static_cast<std::uint16_t>(server.port()), kFarDelay),
          windows(proxy.through(server.base())) {
        for (int i = 0; i < kPeers; ++i)
            peers.push_back(std::make_unique<AcceptingPeer>());
        for (int i = 0; i < kFarFriends; ++i)
            server.registerAndLogin(friendName(i).toStdString(), "pw", "127.0.0.1",
                                    peers[static_cast<std::size_t>(i % kPeers)]->port());
        for (int i = 0; i < kUnreachable; ++i)
            server.registerAndLogin(unreachableName(i).toStdString(), "pw", "127.0.0.1",
                                    swallowing.port());
        server.registerUser("me@bench.example", "pw");
        windows.logIn(QStringLiteral("me@bench.example"), QStringLiteral("pw"));
        sorvane::test::waitFor([&] { return windows.main->windowTitle() == "[me@bench.example]"; },
                               std::chrono::seconds(10));
        sorvane::test::waitFor([&] { return !windows.main->presence().running(); });
    }
    void fill(const std::vector<QString>& online, const std::vector<QString>& offline) {
        fillLists(*windows.main, online, offline);
    }

    TestDirectoryServer server;
    DelayingProxy proxy;
    Windows windows;
    std::vector<std::unique_ptr<AcceptingPeer>> peers;
    SwallowingPeer swallowing;
};

std::unique_ptr<FarSetting> farSetting;

FarSetting& theFarSetting() {
    if (!farSetting) {
        setting.reset(); // one logged-in program at a time
        farSetting = std::make_unique<FarSetting>();
    }
    return *farSetting;
}

// The largest gap of the 5 ms timer while no run is out.
double idleGapMs() {
    GapWatch gaps;
    QEventLoop loop;
    QTimer::singleShot(kIdleWindow, &loop, &QEventLoop::quit);
    gaps.start();
    loop.exec();
    return gaps.stop();
}

// Rounds of runs over friends who all stay where they are (the reachable ones online, the others
// offline). In each round, next to the idle timer's largest gap, the run's longest pause of the
// user-interface thread, which may not pass 50 ms: the round's ratio is that pause over 50 ms
// ("pause_"). With `wallFloor`, also the run's wall time next to the same friends looked up bare
// through the proxy one at a time ("wall_"), reported only.
void farRuns(benchmark::State& state, const std::vector<QString>& online,
             const std::vector<QString>& offline, bool wallFloor) {
    FarSetting& s = theFarSetting();
    const std::vector<std::string> urls =
        probeUrls(s.proxy.through(s.server.base()), static_cast<int>(online.size()));
    bool wrong = false, floorFailed = false;
    const auto run = [&] {
        s.fill(online, offline);
        const RunFigures figures = watchRun(*s.windows.main);
        wrong = wrong || !figures.ended ||
                s.windows.main->ui.ListBox1->count() != static_cast<int>(online.size()) ||
                s.windows.main->ui.ListBox2->count() != static_cast<int>(offline.size());
        return figures;
    };
    const auto bare = [&]() -> double {
        if (!wallFloor)
            return 0;
        const std::optional<double> ms = bareLookups(urls);
        floorFailed = floorFailed || !ms;
        return ms.value_or(0);
    };
    sorvane::bench::Rounds pause, wall;
    for (auto _ : state) {
        // A warm-up over a few of the friends, reachable ones only: each far lookup only waits
        // out the proxy, and an unreachable friend's connect the connect bound.
        constexpr int warmUp = 20;
        s.fill({online.begin(), online.begin() + warmUp}, {});
        watchRun(*s.windows.main);
        if (wallFloor &&
            !bareLookups(std::vector<std::string>(urls.begin(), urls.begin() + warmUp)))
            floorFailed = true;
        for (int round = 0; round < kFarRounds; ++round) {
            double idle = 0, bareMs = 0;
            RunFigures figures;
            if (round % 2 == 0) {
                idle = idleGapMs();
                bareMs = bare();
                figures = run();
            } else {
                figures = run();
                bareMs = bare();
                idle = idleGapMs();
            }
            pause.add(figures.longestGapMs, idle,
                      [](double gap, double) { return gap / kLongestPauseMs; });
            if (wallFloor)
                wall.add(figures.ms, bareMs);
        }
        if (floorFailed) {
            state.SkipWithError("a bare connect failed");
            return;
        }
        if (wrong) {
            state.SkipWithError("a friend ended in the wrong list");
            return;
        }
        state.SetIterationTime(1);
    }
    pause.report(state, "pause_");
    wall.report(state, "wall_");
}

void FarRun_200Online(benchmark::State& state) {
    farRuns(state, friends(kFarFriends), {}, true);
}

void FarRun_20Of100Unreachable(benchmark::State& state) {
    std::vector<QString> gone;
    for (int i = 0; i < kUnreachable; ++i)
        gone.push_back(unreachableName(i));
    farRuns(state, friends(100 - kUnreachable), gone, false);
}

BENCHMARK(PresenceRun_AllOnline)
    ->Arg(10)
    ->Arg(100)
    ->Arg(500)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PresenceRun_AfterLogin)
    ->Arg(10)
    ->Arg(100)
    ->Arg(500)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PresenceRun_20Of100Unreachable)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
// These replace the loopback setting with the far one: after every figure above.
BENCHMARK(FarRun_200Online)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FarRun_20Of100Unreachable)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    // The windows need no screen.
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane Messenger"));
    QApplication::setQuitOnLastWindowClosed(false);
    sorvane::ui::installFontSubstitutions();
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    farSetting.reset();
    setting.reset();
    return 0;
}

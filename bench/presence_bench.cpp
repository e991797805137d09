// Presence runs of the real main window (its Timer2Timer), logged in against the real directory
// server, over friends whose registered addresses are listeners on loopback:
//  - PresenceRun_AllOnline/N: the run every minute, N friends online and all still reachable;
//  - PresenceRun_AfterLogin/N: the first run, N friends offline and reachable, so each is
//    probed twice (moved online in the first pass, probed again in the second);
//  - PresenceFloor/N: N times a bare lookup (libcurl GET of the same "g.php") and a bare
//    connect, the same work written in a few lines;
//  - PresenceRun_20Of100Unreachable: 80 friends online, 20 offline whose addresses swallow
//    connects, next to the connect bound.
// With the directory 20 ms away (a delaying proxy holds each of its replies):
//  - FarRun_200Online, FarRun_20Of100Unreachable: the run's wall time and the longest time the
//    user-interface thread was busy meanwhile, as the largest gap of a timer ticking every 5 ms
//    on it;
//  - FarIdleGaps: the same timer's largest gap while no run is out, the floor of those gaps;
//  - FarFloor_200: 200 bare lookups through the same proxy, one at a time, and bare connects.
// Every run is measured from Timer2 firing to the end of the run's result on the lists.
#include "delay_proxy.h"
#include "directory/directory.h"
#include "engine/presence.h"
#include "globals.h"
#include "loopback.h"
#include "main.h"
#include "net/sockets.h"
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

void perFriend(benchmark::State& state, double seconds, int friendsProbed) {
    state.counters["per_friend_us"] = seconds * 1e6 / friendsProbed;
}

void PresenceRun_AllOnline(benchmark::State& state) {
    Setting& s = theSetting();
    const int n = static_cast<int>(state.range(0));
    double total = 0;
    for (auto _ : state) {
        s.fill(friends(n), {});
        const RunFigures run = watchRun(*s.world.main);
        const double seconds = run.ms / 1000;
        state.SetIterationTime(seconds);
        total += seconds;
        if (!run.ended || s.world.main->ui.ListBox1->count() != n) {
            state.SkipWithError("a reachable friend went offline");
            return;
        }
    }
    perFriend(state, total / static_cast<double>(state.iterations()), n);
}

void PresenceRun_AfterLogin(benchmark::State& state) {
    Setting& s = theSetting();
    const int n = static_cast<int>(state.range(0));
    double total = 0;
    for (auto _ : state) {
        s.fill({}, friends(n));
        const RunFigures run = watchRun(*s.world.main);
        const double seconds = run.ms / 1000;
        state.SetIterationTime(seconds);
        total += seconds;
        if (!run.ended || s.world.main->ui.ListBox1->count() != n) {
            state.SkipWithError("a reachable friend stayed offline");
            return;
        }
    }
    perFriend(state, total / static_cast<double>(state.iterations()), n);
}

void PresenceFloor(benchmark::State& state) {
    Setting& s = theSetting();
    const int n = static_cast<int>(state.range(0));
    std::vector<std::string> urls;
    for (int i = 0; i < n; ++i)
        urls.push_back(sorvane::directory::address::probeLookup(
            s.world.server.base(), friendName(i).toStdString(), i % 19999));
    double total = 0;
    for (auto _ : state) {
        const auto start = Clock::now();
        for (int i = 0; i < n; ++i) {
            const std::string reply = sorvane::bench::bareGet(urls[static_cast<std::size_t>(i)]);
            const int port = std::stoi(reply.substr(reply.find('\n') + 1));
            if (!sorvane::bench::bareConnect(port)) {
                state.SkipWithError("a bare connect failed");
                return;
            }
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
    }
    perFriend(state, total / static_cast<double>(state.iterations()), n);
}

void PresenceRun_20Of100Unreachable(benchmark::State& state) {
    Setting& s = theSetting();
    std::vector<QString> gone;
    for (int i = 0; i < kUnreachable; ++i)
        gone.push_back(unreachableName(i));
    for (auto _ : state) {
        s.fill(friends(100 - kUnreachable), gone);
        const RunFigures run = watchRun(*s.world.main);
        state.SetIterationTime(run.ms / 1000);
        if (!run.ended || s.world.main->ui.ListBox1->count() != 100 - kUnreachable ||
            s.world.main->ui.ListBox2->count() != kUnreachable) {
            state.SkipWithError("a friend ended in the wrong list");
            return;
        }
    }
    state.counters["connect_bound_ms"] =
        static_cast<double>(sorvane::net::TCustomIpClient::DefaultConnectTimeout.count());
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

// Runs over friends who all stay where they are: the reachable ones online, the others offline.
void farRuns(benchmark::State& state, const std::vector<QString>& online,
             const std::vector<QString>& offline) {
    FarSetting& s = theFarSetting();
    std::vector<RunFigures> runs;
    for (auto _ : state) {
        s.fill(online, offline);
        runs.push_back(watchRun(*s.windows.main));
        state.SetIterationTime(runs.back().ms / 1000);
        if (!runs.back().ended ||
            s.windows.main->ui.ListBox1->count() != static_cast<int>(online.size()) ||
            s.windows.main->ui.ListBox2->count() != static_cast<int>(offline.size())) {
            state.SkipWithError("a friend ended in the wrong list");
            return;
        }
    }
    double longestGap = 0, total = 0;
    for (const RunFigures& r : runs) {
        longestGap = std::max(longestGap, r.longestGapMs);
        total += r.ms;
    }
    state.counters["longest_gap_ms"] = longestGap;
    state.counters["run_ms"] = total / static_cast<double>(runs.size());
}

void FarRun_200Online(benchmark::State& state) {
    farRuns(state, friends(kFarFriends), {});
}

void FarRun_20Of100Unreachable(benchmark::State& state) {
    std::vector<QString> gone;
    for (int i = 0; i < kUnreachable; ++i)
        gone.push_back(unreachableName(i));
    farRuns(state, friends(100 - kUnreachable), gone);
}

void FarIdleGaps(benchmark::State& state) {
    theFarSetting();
    double longestGap = 0;
    for (auto _ : state) {
        GapWatch gaps;
        QEventLoop loop;
        QTimer::singleShot(std::chrono::seconds(2), &loop, &QEventLoop::quit);
        const auto start = Clock::now();
        gaps.start();
        loop.exec();
        longestGap = std::max(longestGap, gaps.stop());
        state.SetIterationTime(millisecondsSince(start) / 1000);
    }
    state.counters["longest_gap_ms"] = longestGap;
}

void FarFloor_200(benchmark::State& state) {
    FarSetting& s = theFarSetting();
    const std::string base = s.proxy.through(s.server.base());
    std::vector<std::string> urls;
    for (int i = 0; i < kFarFriends; ++i)
        urls.push_back(
            sorvane::directory::address::probeLookup(base, friendName(i).toStdString(), i % 19999));
    for (auto _ : state) {
        const auto start = Clock::now();
        for (const std::string& url : urls) {
            const std::string reply = sorvane::bench::bareGet(url);
            const int port = std::stoi(reply.substr(reply.find('\n') + 1));
            if (!sorvane::bench::bareConnect(port)) {
                state.SkipWithError("a bare connect failed");
                return;
            }
        }
        state.SetIterationTime(millisecondsSince(start) / 1000);
    }
}

BENCHMARK(PresenceFloor)
    ->Arg(10)
    ->Arg(100)
    ->Arg(500)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PresenceRun_AllOnline)
    ->Arg(10)
    ->Arg(100)
    ->Arg(500)
    ->Iterations(5)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PresenceRun_AfterLogin)
    ->Arg(10)
    ->Arg(100)
    ->Arg(500)
    ->Iterations(3)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(PresenceRun_20Of100Unreachable)
    ->Iterations(2)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
BENCHMARK(FarIdleGaps)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FarFloor_200)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FarRun_200Online)->Iterations(3)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(FarRun_20Of100Unreachable)->Iterations(2)->UseManualTime()->Unit(benchmark::kMillisecond);

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

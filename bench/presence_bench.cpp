// Presence runs of the real main window (its Timer2Timer), logged in against the real directory
// server, over friends whose registered addresses are listeners on loopback:
//  - PresenceRun_AllOnline/N: the run every minute, N friends online and all still reachable;
//  - PresenceRun_AfterLogin/N: the first run, N friends offline and reachable, so each is
//    probed twice (moved online in the first pass, probed again in the second);
//  - PresenceFloor/N: N times a bare lookup (libcurl GET of the same "g.php") and a bare
//    connect, the same work written in a few lines;
//  - PresenceRun_20Of100Unreachable: 80 friends online, 20 offline whose addresses swallow
//    connects, next to the connect bound.
#include "directory/directory.h"
#include "globals.h"
#include "loopback.h"
#include "main.h"
#include "net/sockets.h"
#include "ui/fonts.h"
#include "world.h"

#include <QApplication>
#include <QListWidget>

#include <benchmark/benchmark.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace {

using sorvane::bench::AcceptingPeer;
using sorvane::bench::SwallowingPeer;
using sorvane::test::observedAddress;
using sorvane::test::World;
using Clock = std::chrono::steady_clock;

constexpr int kMaxFriends = 500;
constexpr int kUnreachable = 20;
constexpr int kPeers = 8;

QString friendName(int i) {
    return QStringLiteral("friend%1@bench.example").arg(i);
}
QString unreachableName(int i) {
    return QStringLiteral("gone%1@bench.example").arg(i);
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
        world.main->ui.ListBox1->clear();
        world.main->ui.ListBox2->clear();
        for (const QString& n : online)
            world.main->ui.ListBox1->addItem(n);
        for (const QString& n : offline)
            world.main->ui.ListBox2->addItem(n);
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
        const auto start = Clock::now();
        s.world.main->Timer2Timer();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
        if (s.world.main->ui.ListBox1->count() != n) {
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
        const auto start = Clock::now();
        s.world.main->Timer2Timer();
        const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        state.SetIterationTime(seconds);
        total += seconds;
        if (s.world.main->ui.ListBox1->count() != n) {
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
        const auto start = Clock::now();
        s.world.main->Timer2Timer();
        state.SetIterationTime(std::chrono::duration<double>(Clock::now() - start).count());
        if (s.world.main->ui.ListBox1->count() != 100 - kUnreachable ||
            s.world.main->ui.ListBox2->count() != kUnreachable) {
            state.SkipWithError("a friend ended in the wrong list");
            return;
        }
    }
    state.counters["connect_bound_ms"] =
        static_cast<double>(sorvane::net::TCustomIpClient::DefaultConnectTimeout.count());
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
    setting.reset();
    return 0;
}

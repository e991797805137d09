// Resident memory of a client after login with 1 000 friends (all reachable, so all online) and
// 20 open conversation windows, next to a bare Qt window program, in interleaved rounds. The client
// runs in a process of its own, started from this program: the program's main and login windows,
// logged in through the login window against the real directory server on loopback.
#include "directory_server.h"
#include "globals.h"
#include "loopback.h"
#include "main.h"
#include "message.h"
#include "resident.h"
#include "rounds.h"
#include "ui/fonts.h"
#include "ui/timer.h"
#include "world.h"

#include <QApplication>
#include <QListWidget>

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>

namespace {

using sorvane::test::TestDirectoryServer;

constexpr int kFriends = 1000;
constexpr int kOpenChats = 20;
constexpr int kRounds = 3;
const QString kUser = QStringLiteral("me@bench.example");

std::string friendName(int i) {
    return "friend" + std::to_string(i) + "@bench.example";
}

// The client: logs in, waits for its first presence run to bring every friend online, opens
// the conversation windows through "Send Message...", and prints its resident memory.
int runClient(const std::string& base) {
    sorvane::test::Windows client(base);
    client.logIn(kUser, QStringLiteral("pw"));
    QListWidget* online = client.main->ui.ListBox1;
    if (!sorvane::test::waitFor([&] { return online->count() == kFriends; },
                                std::chrono::seconds(60)))
        return 1;
    for (int i = 0; i < kOpenChats; ++i) {
        online->clearSelection();
        online->item(i)->setSelected(true);
        client.main->ui.SendMessage1->trigger();
    }
    if (OpenChats.size() != kOpenChats)
        return 1;
    sorvane::test::waitFor([] { return false; }, std::chrono::milliseconds(500)); // painted
    std::printf("rss_kb %ld\n", sorvane::bench::residentKb());
    std::fflush(stdout);
    return 0;
}

// Runs `argv` and returns the number after "rss_kb" on its standard output, or -1.
long residentOf(const std::vector<std::string>& args, bool stopAfterReport) {
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0)
        return -1;
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        ::dup2(out[1], STDOUT_FILENO);
        std::vector<char*> argv;
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(out[1]);
    std::string text;
    char chunk[256];
    for (ssize_t n;
         text.find('\n') == std::string::npos && (n = ::read(out[0], chunk, sizeof chunk)) > 0;)
        text.append(chunk, static_cast<std::size_t>(n));
    ::close(out[0]);
    if (stopAfterReport)
        ::kill(pid, SIGKILL);
    ::waitpid(pid, nullptr, 0);
    const std::size_t at = text.find("rss_kb ");
    return at == std::string::npos ? -1 : std::strtol(text.c_str() + at + 7, nullptr, 10);
}

// The client next to the bare window, in interleaved rounds (rounds.h): each round runs both,
// the bare window first in even rounds.
void Memory_ClientAfterLogin(benchmark::State& state) {
    TestDirectoryServer::Options options;
    options.observedAddress = true;
    TestDirectoryServer server(options);
    sorvane::bench::AcceptingPeer peer;
    server.registerAndLogin(kUser.toStdString(), "pw");
    for (int i = 0; i < kFriends; ++i) {
        server.registerAndLogin(friendName(i), "pw", "127.0.0.1", peer.port());
        server.request("f.php", {{"u", kUser.toStdString()}, {"f", friendName(i)}});
    }
    bool reported = true;
    const auto megabytes = [&reported](long kb) {
        reported = reported && kb >= 0;
        return static_cast<double>(kb) / 1024;
    };
    sorvane::bench::Rounds rounds;
    for (auto _ : state)
        rounds = sorvane::bench::interleave(
            kRounds,
            [&] {
                return megabytes(residentOf({SORVANE_BARE_WINDOW_EXE, "--report-memory"}, true));
            },
            [&] {
                return megabytes(residentOf({"/proc/self/exe", "--client", server.base()}, false));
            });
    if (!reported) {
        state.SkipWithError("the client or the bare window did not report");
        return;
    }
    rounds.report(state);
}

BENCHMARK(Memory_ClientAfterLogin)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::strcmp(argv[1], "--client") == 0) {
        QApplication app(argc, argv);
        QApplication::setApplicationName(QStringLiteral("Sorvane Messenger"));
        QApplication::setQuitOnLastWindowClosed(false);
        sorvane::ui::installFontSubstitutions();
        return runClient(argv[2]);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// Two floods against a logged-in messenger, run by hand (not part of `make bench`):
//
//   flood_attack senders   2,000 made-up senders, one line each, from 200 loopback addresses
//   flood_attack long      1,000 lines of 50 KB from one made-up sender
//
// The messenger is the real main and login windows in this process (offscreen unless
// QT_QPA_PLATFORM says otherwise), logged in against a real directory server on loopback, with
// one friend. Half-way through the flood the friend sends one line. Printed: conversation
// windows opened, resident memory before and after (and the peak), the longest time the
// user-interface thread did not get to a 5 ms timer while the flood was handled, the time until
// the windows stopped changing, and the time from the friend's send to the friend's line in its
// window.
#include "globals.h"
#include "main.h"
#include "message.h"
#include "resident.h"
#include "ui/timer.h"
#include "world.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QListWidget>
#include <QTimer>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

// One peer line over its own connection from `from` (a loopback address), as a client sends.
void sendFrom(const std::string& from, int port, const std::string& line) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in source{}, to{};
    source.sin_family = to.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &source.sin_addr);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<std::uint16_t>(port));
    const std::string bytes = line + "\r\n";
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&source), sizeof source) == 0 &&
        ::connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            const ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0)
                break;
            sent += static_cast<std::size_t>(n);
        }
        // Wait for the listener to close its side, so that the line was read whole.
        char sink;
        ::recv(fd, &sink, 1, 0);
    }
    ::close(fd);
}

struct Windows {
    int count = 0;
    long lines = 0;
};

Windows conversations() {
    Windows out;
    for (QWidget* w : QApplication::topLevelWidgets())
        if (auto* chat = qobject_cast<TForm4*>(w); chat && chat->isVisible()) {
            ++out.count;
            out.lines += chat->ui.Memo2->document()->blockCount();
        }
    return out;
}

long peakKb() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    char line[256];
    long kb = -1;
    while (status && std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmHWM:", 6) == 0)
            kb = std::strtol(line + 6, nullptr, 10);
    if (status)
        std::fclose(status);
    return kb;
}

} // namespace

int main(int argc, char* argv[]) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode != "senders" && mode != "long") {
        std::fprintf(stderr, "usage: %s senders|long\n", argv[0]);
        return 2;
    }
    if (!qEnvironmentVariableIsSet("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Sorvane Messenger"));
    QApplication::setQuitOnLastWindowClosed(false);

    sorvane::test::World world;
    world.server.registerUser("pal@x.org", "pw");
    world.server.login("pal@x.org", "pw", "127.0.0.1", 9);
    world.server.registerUser("me@x.org", "pw");
    world.logIn("me@x.org", "pw");
    // pal becomes a friend the way a user adds one, with the login's token.
    world.main->ui.Edit1->setText("pal@x.org");
    world.main->ui.SpeedButton1->click();
    if (world.main->ui.ListBox2->findItems("pal@x.org", Qt::MatchExactly).isEmpty() &&
        world.main->ui.ListBox1->findItems("pal@x.org", Qt::MatchExactly).isEmpty()) {
        std::fprintf(stderr, "pal@x.org could not be made a friend\n");
        return 1;
    }
    world.main->Timer2->setEnabled(false); // no presence run in the middle of the figures
    const int port = std::stoi(world.main->TcpServer1.localPort());
    sorvane::test::waitFor([] { return false; }, std::chrono::milliseconds(300));

    const long before = sorvane::bench::residentKb();
    std::atomic<bool> sending{true};
    std::atomic<int> sent{0};
    const int total = mode == "senders" ? 2000 : 1000;
    std::vector<std::thread> attackers;
    constexpr int kThreads = 8;
    const Clock::time_point start = Clock::now();
    for (int t = 0; t < kThreads; ++t)
        attackers.emplace_back([&, t] {
            if (mode == "senders") {
                for (int i = t; i < 2000; i += kThreads) {
                    sendFrom("127.0.0." + std::to_string(2 + i % 200), port,
                             "<made-up-" + std::to_string(i) + "@x.org> hello from nobody");
                    ++sent;
                }
            } else {
                std::string text;
                for (int i = 0; text.size() < 50 * 1024; ++i)
                    text += "flooding" + std::to_string(i % 10) + ' ';
                // One sender: the lines go one after another, as one client sends them.
                if (t == 0)
                    for (int i = 0; i < 1000; ++i) {
                        sendFrom("127.0.0.2", port, "<flooder@x.org> " + text);
                        ++sent;
                    }
            }
        });

    // The user-interface thread's longest stall while the flood is handled.
    long longestGapMs = 0;
    QElapsedTimer sinceTick;
    sinceTick.start();
    QTimer tick;
    tick.setInterval(5);
    QObject::connect(&tick, &QTimer::timeout,
                     [&] { longestGapMs = std::max<long>(longestGapMs, sinceTick.restart()); });
    tick.start();

    // The friend's line, half-way through the flood.
    std::atomic<Clock::rep> friendSentAt{0};
    std::thread pal([&] {
        while (sent < total / 2)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        friendSentAt = Clock::now().time_since_epoch().count();
        sendFrom("127.0.0.1", port, "<pal@x.org> are you there?");
    });
    const auto friendShown = [] {
        const TForm4* chat = TForm3::openChatWindow("pal@x.org");
        return chat && chat->ui.Memo2->toPlainText().contains("are you there?");
    };
    Clock::time_point friendSeen{};
    std::thread joiner([&] {
        for (std::thread& t : attackers)
            t.join();
        sending = false;
    });
    // Until everything was sent and the windows have not changed for 3 s.
    Windows last = conversations();
    Clock::time_point lastChange = Clock::now();
    for (;;) {
        QApplication::processEvents(QEventLoop::AllEvents, 20);
        if (friendSeen == Clock::time_point{} && friendSentAt != 0 && friendShown())
            friendSeen = Clock::now();
        const Windows now = conversations();
        if (now.count != last.count || now.lines != last.lines) {
            last = now;
            lastChange = Clock::now();
        }
        if (!sending && friendSeen != Clock::time_point{} &&
            Clock::now() - lastChange > std::chrono::seconds(3))
            break;
        if (Clock::now() - start > std::chrono::minutes(10))
            break;
    }
    joiner.join();
    tick.stop();
    const auto settled =
        std::chrono::duration_cast<std::chrono::milliseconds>(lastChange - start).count();

    pal.join();
    const auto friendMs = std::chrono::duration_cast<std::chrono::milliseconds>(
                              friendSeen - Clock::time_point(Clock::duration(friendSentAt.load())))
                              .count();

    const Windows end = conversations();
    std::printf("mode %s\n", mode.c_str());
    std::printf("conversation windows opened: %d (history blocks %ld)\n", end.count, end.lines);
    std::printf("resident memory: %ld MB before, %ld MB after, peak %ld MB\n", before / 1024,
                sorvane::bench::residentKb() / 1024, peakKb() / 1024);
    std::printf("longest user-interface stall while the flood was handled: %ld ms\n", longestGapMs);
    std::printf("windows stopped changing %lld ms after the flood began\n",
                static_cast<long long>(settled));
    std::printf("friend's line in its window %lld ms after it was sent\n",
                static_cast<long long>(friendMs));
    return 0;
}

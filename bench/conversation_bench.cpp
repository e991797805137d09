// From Enter in a conversation window to the line in the partner's history: complete clients,
// this process and partner processes started from the same program, each with its main and
// login window logged in against the real directory server on loopback (the server registers
// the address a login came from). Each partner reports the moment each line lands in its
// history; all processes read the same monotonic clock. Every figure is measured next to its
// floor in interleaved rounds (rounds.h):
//  - EnterToPartnerHistory: lines to a partner who publishes a key (sealed), to one who does not
//    (plain) and to one whose listener is gone (through the directory's mailbox, whose fetch is
//    held), each round next to the floors: a libcurl GET of the partner's "g.php" and one bare
//    connect/send/receive of a line; and a bare fetch held at the directory woken by a bare
//    deposit;
//  - EnterToPartnerHistory_FarDirectory: sealed lines with this process's directory 20 ms away
//    (a delaying proxy holds each reply), next to the loopback floor and what the proxy adds.
#include "delay_proxy.h"
#include "directory/directory.h"
#include "directory_server.h"
#include "engine/sealing.h"
#include "engine/user_data.h"
#include "globals.h"
#include "loopback.h"
#include "main.h"
#include "message.h"
#include "rounds.h"
#include "stats.h"
#include "ui/fonts.h"
#include "world.h"

#include <QApplication>
#include <QEventLoop>
#include <QListWidget>
#include <QSocketNotifier>
#include <QTest>
#include <QTextBlock>
#include <QTextDocument>
#include <QTimer>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using sorvane::test::TestDirectoryServer;
using sorvane::test::Windows;
using Clock = std::chrono::steady_clock;

constexpr int kRounds = 10;
constexpr int kLinesPerRound = 100;   // per figure and round: 1,000 lines for a p99
constexpr int kMailboxPerRound = 20;  // lines through the directory per round
constexpr int kFarLinesPerRound = 10; // lines with the directory 20 ms away per round
constexpr int kWarmUpLines = 5;
constexpr double kMailboxTargetMs = 20;
const QString kSender = QStringLiteral("ann@bench.example");
const QString kSealed = QStringLiteral("bob@bench.example");  // publishes a key
const QString kPlain = QStringLiteral("cy@bench.example");    // publishes none
const QString kMailbox = QStringLiteral("dan@bench.example"); // cannot be reached directly

long long nowNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch())
        .count();
}

void writeOut(const std::string& text) {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, p, left);
        if (n <= 0)
            return;
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

// ---- a partner's process ----------------------------------------------------------------

// Logs in as `name` and reports "<nanoseconds>\t<line>" for every line that lands in its
// conversation window's history, until it is told to stop. "plain": its identity file is no
// key, so it publishes none and lines to it go plain; "mailbox": once its fetch is held at the
// directory, its listener closes, so lines reach it only through the directory.
int stopPipe[2] = {-1, -1};

int runPartner(const QString& name, const std::string& base, const std::string& mode) {
    // Told to stop, the program ends its event loop, so that its windows close and its scratch
    // folder goes away.
    if (::pipe2(stopPipe, O_CLOEXEC) != 0)
        return 1;
    ::signal(SIGTERM, [](int) { [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], "x", 1); });
    QSocketNotifier stop(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, [] { QApplication::quit(); });
    Windows partner(base);
    if (mode == "plain") {
        const auto folder =
            partner.context.dataRoot / sorvane::engine::folderNameOf(name.toStdString());
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "identity") << "no key here\n";
    }
    partner.logIn(name, QStringLiteral("pw"));
    if (!sorvane::test::waitFor([&] { return partner.main->TcpServer1.listening(); }))
        return 1;
    if (mode == "mailbox") {
        const std::string lookup =
            sorvane::directory::address::sendLookup(base, name.toStdString());
        if (!sorvane::test::waitFor(
                [&] {
                    return sorvane::bench::bareGet(lookup).find("mailbox") != std::string::npos;
                },
                std::chrono::seconds(10)))
            return 1;
        partner.main->TcpServer1.setActive(false);
    }
    writeOut("ready\n");
    // The first line opens the window; from then on its history reports each line as it lands.
    QTimer watch;
    watch.setInterval(1);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        TForm4* chat = TForm3::openChatWindow(kSender);
        if (!chat)
            return;
        watch.stop();
        writeOut("0\t" + chat->ui.Memo2->document()->lastBlock().text().toStdString() + "\n");
        QObject::connect(chat->ui.Memo2, &QPlainTextEdit::textChanged, chat, [chat] {
            const long long at = nowNs();
            writeOut(std::to_string(at) + "\t" +
                     chat->ui.Memo2->document()->lastBlock().text().toStdString() + "\n");
        });
    });
    watch.start();
    return QApplication::exec();
}

// ---- this process --------------------------------------------------------------------------

// A partner's process, its reports read as they come while this process's windows go on.
class PartnerProcess {
public:
    PartnerProcess(const QString& name, const std::string& base, const std::string& mode) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        const pid_t parent = ::getpid();
        const std::string user = name.toStdString();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            ::dup2(out[1], STDOUT_FILENO);
            const char* self = "/proc/self/exe";
            ::execl(self, self, "--partner", user.c_str(), base.c_str(), mode.c_str(),
                    static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(out[1]);
        fd_ = out[0];
        notifier_ = std::make_unique<QSocketNotifier>(fd_, QSocketNotifier::Read);
        QObject::connect(notifier_.get(), &QSocketNotifier::activated, [this] { readSome(); });
    }
    ~PartnerProcess() {
        notifier_.reset();
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        ::close(fd_);
    }

    bool ready() {
        return waitFor([](const std::string& s) { return s == "ready"; }, std::chrono::seconds(30))
            .has_value();
    }

    // Runs this process's event loop until the partner has reported a line for which `wanted`
    // holds, or `timeout` passes. The line's report, or nothing.
    std::optional<std::pair<long long, std::string>>
    waitFor(const std::function<bool(const std::string&)>& wanted,
            std::chrono::milliseconds timeout) {
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            while (!reports_.empty()) {
                auto report = std::move(reports_.front());
                reports_.erase(reports_.begin());
                if (wanted(report.second))
                    return report;
            }
            if (Clock::now() > deadline)
                return std::nullopt;
            QEventLoop loop;
            got_ = &loop;
            QTimer::singleShot(50, &loop, &QEventLoop::quit);
            loop.exec();
            got_ = nullptr;
        }
    }

private:
    void readSome() {
        char chunk[4096];
        const ssize_t n = ::read(fd_, chunk, sizeof chunk);
        if (n <= 0) {
            notifier_->setEnabled(false);
            return;
        }
        pending_.append(chunk, static_cast<std::size_t>(n));
        for (std::size_t end; (end = pending_.find('\n')) != std::string::npos;) {
            const std::string line = pending_.substr(0, end);
            pending_.erase(0, end + 1);
            const std::size_t tab = line.find('\t');
            if (tab == std::string::npos)
                reports_.emplace_back(0, line);
            else
                reports_.emplace_back(std::stoll(line.substr(0, tab)), line.substr(tab + 1));
        }
        if (got_ && !reports_.empty())
            got_->quit();
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::unique_ptr<QSocketNotifier> notifier_;
    std::string pending_;
    std::vector<std::pair<long long, std::string>> reports_;
    QEventLoop* got_ = nullptr;
};

// The directory with every user of the run; dan has added ann, so her lines may wait for him
// in the directory. "fx" and "fy" are the bare mailbox floor's two ends.
struct Setting {
    Setting() : server(options()) {
        for (const QString& user : {kSender, kSealed, kPlain, kMailbox})
            if (server.registerUser(user.toStdString(), "pw") != "OK\r\n")
                throw std::runtime_error("cannot register " + user.toStdString());
        server.login(kMailbox.toStdString(), "pw");
        server.request("f.php", {{"u", kMailbox.toStdString()}, {"f", kSender.toStdString()}});
    }
    static TestDirectoryServer::Options options() {
        TestDirectoryServer::Options o;
        o.observedAddress = true;
        return o;
    }
    TestDirectoryServer server;
};

double msSince(long long startNs, long long endNs) {
    return static_cast<double>(endNs - startNs) / 1e6;
}

// The sending end: ann's windows, one conversation window per partner.
class Sender {
public:
    explicit Sender(const std::string& base) : me_(base) {
        me_.logIn(kSender, QStringLiteral("pw"));
        sorvane::test::waitFor([&] { return me_.main->TcpServer1.listening(); });
    }
    // Enter in the conversation with `partner`, `count` times: each line's time from Enter to
    // the partner's history, or nothing when a line did not arrive.
    std::optional<std::vector<double>> send(const QString& partner, PartnerProcess& process,
                                            int count) {
        // One window per partner for the whole run, as a user keeps it open.
        TForm4* chat = TForm3::openChatWindow(partner);
        if (!chat)
            chat = me_.main->openChat(partner, true);
        std::vector<double> ms;
        for (int i = 0; i < count; ++i) {
            const QString text = QStringLiteral("line %1").arg(++sent_);
            const std::string expected = '<' + kSender.toStdString() + "> " + text.toStdString();
            chat->ui.Memo1->setPlainText(text);
            chat->ui.Memo1->moveCursor(QTextCursor::End);
            // The typed line is on the screen before Enter is pressed, as a user's typing is.
            QCoreApplication::processEvents();
            const long long pressed = nowNs();
            QTest::keyClick(chat->ui.Memo1, Qt::Key_Return);
            const auto report =
                process.waitFor([&](const std::string& line) { return line == expected; },
                                std::chrono::seconds(10));
            if (!report)
                return std::nullopt;
            ms.push_back(msSince(pressed, report->first));
        }
        return ms;
    }

private:
    Windows me_;
    int sent_ = 0;
};

// A peer that reads one line per connection and closes it, on its own thread.
class BareLinePeer {
public:
    BareLinePeer() {
        listener_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        ::bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        ::listen(listener_, SOMAXCONN);
        ::getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] {
            for (;;) {
                const int fd = ::accept(listener_, nullptr, nullptr);
                if (fd < 0)
                    return;
                char c;
                while (::recv(fd, &c, 1, 0) == 1 && c != '\n') {
                }
                ::close(fd);
            }
        });
    }
    ~BareLinePeer() {
        ::shutdown(listener_, SHUT_RDWR);
        thread_.join();
        ::close(listener_);
    }
    int port() const { return port_; }

private:
    int listener_;
    int port_;
    std::thread thread_;
};

// The floor of a line: a bare GET of the partner's g.php (what a send asks first when the
// directory has not given the partner's address within the last minute), then one bare
// connect/send/receive of a line at the address it gave.
class BareLine {
public:
    BareLine(TestDirectoryServer& server, const std::string& base, const std::string& name) {
        server.registerAndLogin(name, "pw", "127.0.0.1", peer_.port());
        url_ = sorvane::directory::address::sendLookup(base, name);
    }
    std::optional<std::vector<double>> send(int count) {
        const std::string line = "<ann@bench.example> line\r\n";
        std::vector<double> ms;
        for (int i = 0; i < count; ++i) {
            const auto start = Clock::now();
            const std::string reply = sorvane::bench::bareGet(url_);
            if (reply.rfind("127.0.0.1\r\n", 0) != 0)
                return std::nullopt;
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(peer_.port()));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            char c;
            while (::recv(fd, &c, 1, 0) > 0) {
            }
            ::close(fd);
            ms.push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        return ms;
    }

private:
    BareLinePeer peer_;
    std::string url_;
};

// The floor of a line through the directory: a bare fetch held at the directory, woken by a
// bare deposit; from the deposit sent to the fetch answered.
class BareMailbox {
public:
    BareMailbox(TestDirectoryServer& server, const std::string& base) : base_(base) {
        const std::string key = sorvane::engine::sealing::toBase64Url(
            sorvane::engine::sealing::newIdentity().publicKey);
        for (const char* user : {"fx@bench.example", "fy@bench.example"}) {
            server.registerUser(user, "pw");
            server.request(
                "c.php",
                {{"u", user}, {"p", "pw"}, {"ip", "127.0.0.1"}, {"port", "1"}, {"k", key}});
        }
        server.request("f.php", {{"u", "fx@bench.example"}, {"f", "fy@bench.example"}});
        fetch_ = base + "m.php?u=fx%40bench.example&t=" + server.token("fx@bench.example");
        deposit_ = base + "m.php?u=fy%40bench.example&to=fx%40bench.example&k=" + key +
                   "&t=" + server.token("fy@bench.example") + "&id=";
    }
    std::optional<std::vector<double>> send(int count) {
        std::vector<double> ms;
        for (int i = 0; i < count; ++i) {
            char id[33];
            std::snprintf(id, sizeof id, "%032x", ++sent_);
            std::atomic<long long> answered{0};
            std::string got;
            std::thread held([&] {
                got = sorvane::bench::bareGet(fetch_ + ack_ + "&wait=20");
                answered = nowNs();
            });
            // The fetch is held once the directory has had it for a moment.
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const long long start = nowNs();
            const std::string reply = sorvane::bench::barePost(deposit_ + id, "sv1:AAAA");
            held.join();
            if (reply != "OK\r\n" || got.rfind(id, 0) != 0)
                return std::nullopt;
            ack_ = std::string("&ack=") + id;
            ms.push_back(msSince(start, answered));
        }
        return ms;
    }

private:
    std::string base_, fetch_, deposit_, ack_;
    unsigned sent_ = 0;
};

double bound(double floorMs, double extraMs) {
    return 2.0 + extraMs + 1.5 * floorMs;
}

// Lines to the three partners, each round next to the floors, in alternating order.
void EnterToPartnerHistory(benchmark::State& state) {
    Setting setting;
    const std::string base = setting.server.base();
    PartnerProcess bob(kSealed, base, "sealed"), cy(kPlain, base, "plain"),
        dan(kMailbox, base, "mailbox");
    if (!bob.ready() || !cy.ready() || !dan.ready()) {
        state.SkipWithError("a partner's client did not log in");
        return;
    }
    Sender ann(base);
    BareLine bare(setting.server, base, "floor@bench.example");
    BareMailbox bareMailbox(setting.server, base);
    sorvane::bench::Rounds sealed, plain, mailbox, p99;
    std::vector<double> allSealed, allFloor;
    using Batch = std::function<std::optional<std::vector<double>>()>;
    const std::vector<Batch> warm = {
        [&] { return ann.send(kSealed, bob, kWarmUpLines); },
        [&] { return ann.send(kPlain, cy, kWarmUpLines); },
        [&] { return ann.send(kMailbox, dan, kWarmUpLines); },
        [&] { return bare.send(kWarmUpLines); },
        [&] { return bareMailbox.send(kWarmUpLines); },
    };
    for (auto _ : state) {
        for (const Batch& b : warm)
            if (!b()) {
                state.SkipWithError("a line did not arrive while warming up");
                return;
            }
        for (int round = 0; round < kRounds; ++round) {
            std::optional<std::vector<double>> f, s, p, mf, m;
            sorvane::bench::inRoundOrder(round,
                                         {
                                             [&] { f = bare.send(kLinesPerRound); },
                                             [&] { s = ann.send(kSealed, bob, kLinesPerRound); },
                                             [&] { p = ann.send(kPlain, cy, kLinesPerRound); },
                                             [&] { mf = bareMailbox.send(kMailboxPerRound); },
                                             [&] { m = ann.send(kMailbox, dan, kMailboxPerRound); },
                                         });
            if (!f || !s || !p || !mf || !m) {
                state.SkipWithError("a line did not arrive");
                return;
            }
            using sorvane::bench::median;
            sealed.add(median(*s), median(*f),
                       [](double figure, double floor) { return figure / bound(floor, 0); });
            plain.add(median(*s), median(*p),
                      [](double figure, double floor) { return figure / (floor + 1.0); });
            mailbox.add(median(*m), median(*mf),
                        [](double figure, double) { return figure / kMailboxTargetMs; });
            allSealed.insert(allSealed.end(), s->begin(), s->end());
            allFloor.insert(allFloor.end(), f->begin(), f->end());
        }
    }
    p99.add(sorvane::bench::percentile(allSealed, 0.99), sorvane::bench::percentile(allFloor, 0.99),
            [](double figure, double floor) { return figure / bound(floor, 0); });
    sealed.report(state);
    p99.report(state, "p99_");
    plain.report(state, "plain_");
    mailbox.report(state, "mailbox_");
    state.counters["lines"] = static_cast<double>(allSealed.size());
    state.SetIterationTime(1);
}

// Sealed lines with this process's directory 20 ms away (a delaying proxy holds each reply),
// each round next to the loopback floor plus what the proxy added to a bare lookup in the same
// round; beside it, that bare lookup and line through the proxy.
void EnterToPartnerHistory_FarDirectory(benchmark::State& state) {
    constexpr std::chrono::milliseconds delay(20);
    Setting setting;
    const std::string base = setting.server.base();
    PartnerProcess bob(kSealed, base, "sealed");
    if (!bob.ready()) {
        state.SkipWithError("the partner's client did not log in");
        return;
    }
    sorvane::bench::DelayingProxy proxy(static_cast<std::uint16_t>(setting.server.port()), delay);
    Sender ann(proxy.through(base));
    BareLine bare(setting.server, base, "floor@bench.example"),
        bareFar(setting.server, proxy.through(base), "far@bench.example");
    sorvane::bench::Rounds far, proxied;
    for (auto _ : state) {
        if (!ann.send(kSealed, bob, kWarmUpLines) || !bare.send(kWarmUpLines) ||
            !bareFar.send(kWarmUpLines)) {
            state.SkipWithError("a line did not arrive while warming up");
            return;
        }
        for (int round = 0; round < kRounds; ++round) {
            std::optional<std::vector<double>> f, s, pf;
            sorvane::bench::inRoundOrder(round,
                                         {
                                             [&] { f = bare.send(kFarLinesPerRound); },
                                             [&] { s = ann.send(kSealed, bob, kFarLinesPerRound); },
                                             [&] { pf = bareFar.send(kFarLinesPerRound); },
                                         });
            if (!f || !s || !pf) {
                state.SkipWithError("a line did not arrive");
                return;
            }
            using sorvane::bench::median;
            // What the directory's distance adds is measured, not assumed: the proxy's own
            // relaying adds to its 20 ms, and a bare lookup through it pays that too.
            const double distance = median(*pf) - median(*f);
            far.add(median(*s), median(*f), [distance](double figure, double floor) {
                return figure / bound(floor, distance);
            });
            proxied.add(median(*pf), median(*f));
        }
    }
    far.report(state);
    proxied.report(state, "proxy_");
    state.counters["directory_delay_ms"] = static_cast<double>(delay.count());
    state.SetIterationTime(1);
}

BENCHMARK(EnterToPartnerHistory)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(EnterToPartnerHistory_FarDirectory)
    ->Iterations(1)
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
    if (argc == 5 && std::strcmp(argv[1], "--partner") == 0)
        return runPartner(QString::fromUtf8(argv[2]), argv[3], argv[4]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// From Enter in a conversation window to the line in the partner's history: two complete
// clients, this process and a second one started from the same program, each with its main and
// login window logged in against the real directory server on loopback (the server registers
// the address a login came from). The partner reports the moment each line lands in its history;
// both processes read the same monotonic clock.
//  - EnterToPartnerHistory: 200 lines, median and 99th percentile;
//  - EnterToPartnerHistory_FarDirectory: 50 lines, with this process's directory 20 ms away (a
//    delaying proxy holds each reply), so that the lookup before each send costs what it costs
//    between real hosts;
//  - BareLookupAndLine: the floor, a libcurl GET of the partner's "g.php" and one bare
//    connect/send/receive of a line on loopback; BareLookupAndLine_FarDirectory the same with
//    the GET through the delaying proxy.
#include "delay_proxy.h"
#include "directory/directory.h"
#include "directory_server.h"
#include "globals.h"
#include "loopback.h"
#include "main.h"
#include "message.h"
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

#include <chrono>
#include <cstdio>
#include <cstring>
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

constexpr int kLines = 200;
constexpr int kWarmUpLines = 5;
const QString kSender = QStringLiteral("ann@bench.example");
const QString kPartner = QStringLiteral("bob@bench.example");

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

// ---- the partner's process ---------------------------------------------------------------

// Logs in as the partner and reports "<nanoseconds>\t<line>" for every line that lands in a
// conversation window's history, until it is told to stop.
int stopPipe[2] = {-1, -1};

int runPartner(const std::string& base) {
    // Told to stop, the program ends its event loop, so that its windows close and its scratch
    // folder goes away.
    if (::pipe2(stopPipe, O_CLOEXEC) != 0)
        return 1;
    ::signal(SIGTERM, [](int) { [[maybe_unused]] const ssize_t n = ::write(stopPipe[1], "x", 1); });
    QSocketNotifier stop(stopPipe[0], QSocketNotifier::Read);
    QObject::connect(&stop, &QSocketNotifier::activated, [] { QApplication::quit(); });
    Windows partner(base);
    partner.logIn(kPartner, QStringLiteral("pw"));
    if (!sorvane::test::waitFor([&] { return partner.main->TcpServer1.listening(); }))
        return 1;
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

// The partner's process, its reports read as they come while this process's windows go on.
class PartnerProcess {
public:
    explicit PartnerProcess(const std::string& base) {
        int out[2];
        if (::pipe2(out, O_CLOEXEC) != 0)
            throw std::runtime_error("pipe");
        const pid_t parent = ::getpid();
        pid_ = ::fork();
        if (pid_ == 0) {
            ::prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (::getppid() != parent)
                ::_exit(127);
            ::dup2(out[1], STDOUT_FILENO);
            const char* self = "/proc/self/exe";
            ::execl(self, self, "--partner", base.c_str(), static_cast<char*>(nullptr));
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

struct Setting {
    Setting() : server(options()) {
        for (const QString& user : {kSender, kPartner})
            if (server.registerUser(user.toStdString(), "pw") != "OK\r\n")
                throw std::runtime_error("cannot register " + user.toStdString());
    }
    static TestDirectoryServer::Options options() {
        TestDirectoryServer::Options o;
        o.observedAddress = true;
        return o;
    }
    TestDirectoryServer server;
};

void enterToPartnerHistory(benchmark::State& state, int lines, std::chrono::milliseconds delay) {
    Setting setting;
    PartnerProcess partner(setting.server.base());
    if (!partner.waitFor([](const std::string& s) { return s == "ready"; },
                         std::chrono::seconds(20))) {
        state.SkipWithError("the partner's client did not log in");
        return;
    }
    std::optional<sorvane::bench::DelayingProxy> proxy;
    if (delay.count() > 0)
        proxy.emplace(static_cast<std::uint16_t>(setting.server.port()), delay);
    Windows me(proxy ? proxy->through(setting.server.base()) : setting.server.base());
    me.logIn(kSender, QStringLiteral("pw"));
    sorvane::test::waitFor([&] { return me.main->TcpServer1.listening(); });
    // "Send Message..." on the partner in the online list.
    me.main->ui.ListBox1->addItem(kPartner);
    me.main->ui.ListBox1->item(0)->setSelected(true);
    me.main->ui.SendMessage1->trigger();
    TForm4* chat = TForm3::openChatWindow(kPartner);
    if (!chat) {
        state.SkipWithError("no conversation window");
        return;
    }
    std::vector<double> ms;
    for (auto _ : state) {
        for (int i = 0; i < kWarmUpLines + lines; ++i) {
            const QString text = QStringLiteral("line %1").arg(i);
            const std::string expected = '<' + kSender.toStdString() + "> " + text.toStdString();
            chat->ui.Memo1->setPlainText(text);
            chat->ui.Memo1->moveCursor(QTextCursor::End);
            const long long pressed = nowNs();
            QTest::keyClick(chat->ui.Memo1, Qt::Key_Return);
            const auto report =
                partner.waitFor([&](const std::string& line) { return line == expected; },
                                std::chrono::seconds(10));
            if (!report) {
                state.SkipWithError("a line did not arrive");
                return;
            }
            if (i >= kWarmUpLines)
                ms.push_back(static_cast<double>(report->first - pressed) / 1e6);
        }
    }
    state.SetIterationTime(0.001 * [&] {
        double t = 0;
        for (double m : ms)
            t += m;
        return t;
    }());
    state.counters["lines"] = static_cast<double>(ms.size());
    state.counters["median_ms"] = sorvane::bench::median(ms);
    state.counters["p99_ms"] = sorvane::bench::percentile(ms, 0.99);
    state.counters["max_ms"] = sorvane::bench::percentile(ms, 1.0);
}

void EnterToPartnerHistory(benchmark::State& state) {
    enterToPartnerHistory(state, kLines, std::chrono::milliseconds(0));
}

void EnterToPartnerHistory_FarDirectory(benchmark::State& state) {
    enterToPartnerHistory(state, 50, std::chrono::milliseconds(20));
    state.counters["directory_delay_ms"] = 20;
}

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

void bareLookupAndLine(benchmark::State& state, std::chrono::milliseconds delay) {
    Setting setting;
    setting.server.login(kPartner.toStdString(), "pw", "127.0.0.1", 4242);
    BareLinePeer peer;
    std::optional<sorvane::bench::DelayingProxy> proxy;
    if (delay.count() > 0)
        proxy.emplace(static_cast<std::uint16_t>(setting.server.port()), delay);
    const std::string url = sorvane::directory::address::sendLookup(
        proxy ? proxy->through(setting.server.base()) : setting.server.base(),
        kPartner.toStdString());
    const std::string line = "<ann@bench.example> line\r\n";
    std::vector<double> ms;
    for (auto _ : state) {
        for (int i = 0; i < kWarmUpLines + kLines; ++i) {
            const auto start = Clock::now();
            const std::string reply = sorvane::bench::bareGet(url);
            if (reply.rfind("127.0.0.1\r\n", 0) != 0) {
                state.SkipWithError("no address");
                return;
            }
            const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_port = htons(static_cast<std::uint16_t>(peer.port()));
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            ::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
            ::send(fd, line.data(), line.size(), MSG_NOSIGNAL);
            char c;
            while (::recv(fd, &c, 1, 0) > 0) {
            }
            ::close(fd);
            if (i >= kWarmUpLines)
                ms.push_back(
                    std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
    }
    state.SetIterationTime(0.001 * [&] {
        double t = 0;
        for (double m : ms)
            t += m;
        return t;
    }());
    state.counters["lines"] = static_cast<double>(ms.size());
    state.counters["median_ms"] = sorvane::bench::median(ms);
    state.counters["p99_ms"] = sorvane::bench::percentile(ms, 0.99);
    state.counters["max_ms"] = sorvane::bench::percentile(ms, 1.0);
}

void BareLookupAndLine(benchmark::State& state) {
    bareLookupAndLine(state, std::chrono::milliseconds(0));
}

// The same through the delaying proxy: what the proxy itself adds beyond its 20 ms shows here.
void BareLookupAndLine_FarDirectory(benchmark::State& state) {
    bareLookupAndLine(state, std::chrono::milliseconds(20));
}

BENCHMARK(BareLookupAndLine)->Iterations(1)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BareLookupAndLine_FarDirectory)
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond);
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
    if (argc == 3 && std::strcmp(argv[1], "--partner") == 0)
        return runPartner(argv[2]);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

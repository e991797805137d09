// Fetching replies from a real HTTP server on a loopback port into real scratch files.
#include "directory/directory.h"
#include "directory/errors.h"
#include "directory/libcurl.h"
#include "loopback_server.h"
#include "scratch_helpers.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <future>
#include <thread>

namespace dir = sorvane::directory;
using sorvane::EDirectoryUnreachable;
using sorvane::EInOutError;
using sorvane::EListError;
using sorvane::LineList;
using sorvane::test::closedLoopbackPort;
using sorvane::test::LoopbackServer;
using sorvane::test::readFile;
using sorvane::test::ScopedEnv;
using sorvane::test::TempDir;
using sorvane::test::writeFile;

namespace {

std::string patterned(std::size_t size) {
    std::string s(size, '\0');
    for (std::size_t i = 0; i < size; ++i)
        s[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return s;
}

template <class E> std::string messageOf(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    }
    return "<nothing raised>";
}

class Fetch : public ::testing::Test {
protected:
    // A proxy configured on the build machine must not take the loopback traffic away.
    ScopedEnv noProxy_{"no_proxy", "127.0.0.0/8,localhost"};
    TempDir dir_;
    LoopbackServer server_;
    std::filesystem::path file_ = dir_ / "temp.txt";
};

TEST_F(Fetch, BodyArrivesWholeAndByteForByte) {
    const std::string body = patterned(300 * 1024 + 17); // hundreds of 1024-byte chunks
    server_.reply(body);
    dir::GetInetFile(server_.url("/messenger/s.php?u=a"), file_);
    EXPECT_EQ(readFile(file_), body);
}

TEST_F(Fetch, ShorterReplyLeavesNoTraceOfLongerOne) {
    server_.reply("OK\r\n#ann@x.org#bob@y.org#carol@z.org\r\n");
    dir::GetInetFile(server_.url("/messenger/c.php"), file_);
    server_.reply("no\r\n");
    dir::GetInetFile(server_.url("/messenger/c.php"), file_);
    EXPECT_EQ(readFile(file_), "no\r\n");
}

TEST_F(Fetch, ErrorStatusBodyIsStored) {
    for (const int status : {404, 500, 503}) {
        const std::string body = "Error " + std::to_string(status) + "\r\nsomething went wrong\r\n";
        server_.reply(body, status);
        dir::GetInetFile(server_.url("/messenger/f.php?u=a&f=b"), file_);
        EXPECT_EQ(readFile(file_), body) << status;
    }
}

TEST_F(Fetch, IdentifiesItselfWithTheAgentText) {
    server_.reply("OK");
    dir::GetInetFile(server_.url("/messenger/n.php?u=a&p=b"), file_);
    EXPECT_EQ(server_.last().userAgent, "Sorvane Messenger - http://www.sorvane.example/");
}

TEST_F(Fetch, ClosedPortIsUnreachable) {
    const auto url =
        "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/messenger/c.php";
    EXPECT_EQ(messageOf<EDirectoryUnreachable>([&] { dir::GetInetFile(url, file_); }),
              "Cannot reach the directory server.");
}

TEST_F(Fetch, ServerThatHangsUpWithoutAnswerIsUnreachable) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    std::thread rude([listener] {
        const int c = ::accept(listener, nullptr, nullptr);
        char buf[4096];
        (void)::recv(c, buf, sizeof buf, 0);
        ::close(c);
    });
    const auto url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/messenger/c.php";
    EXPECT_THROW(dir::GetInetFile(url, file_), EDirectoryUnreachable);
    rude.join();
    ::close(listener);
}

TEST_F(Fetch, ReplyBrokenOffKeepsOnlyWhatArrivedOfIt) {
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 1), 0);
    ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len), 0);
    std::thread halfway([listener] {
        const int c = ::accept(listener, nullptr, nullptr);
        char buf[4096];
        (void)::recv(c, buf, sizeof buf, 0);
        const std::string part = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort";
        (void)::send(c, part.data(), part.size(), MSG_NOSIGNAL);
        ::close(c);
    });
    writeFile(file_, std::string(300, 'x')); // an earlier, longer reply
    const auto url = "http://127.0.0.1:" + std::to_string(ntohs(a.sin_port)) + "/messenger/s.php";
    EXPECT_THROW(dir::GetInetFile(url, file_), EDirectoryUnreachable);
    halfway.join();
    ::close(listener);
    EXPECT_EQ(readFile(file_), "short");
}

TEST_F(Fetch, MissingFolderIsAnInOutError) {
    server_.reply("OK");
    EXPECT_EQ(messageOf<EInOutError>([&] {
                  dir::GetInetFile(server_.url("/messenger/c.php"), dir_ / "gone" / "temp.txt");
              }),
              "No such file or directory");
}

TEST_F(Fetch, FolderAtTheScratchPathIsAnInOutError) {
    server_.reply("OK");
    std::filesystem::create_directory(file_);
    EXPECT_EQ(messageOf<EInOutError>([&] { dir::GetInetFile(server_.url("/"), file_); }),
              "Is a directory");
}

TEST_F(Fetch, WriteFailureInTheMiddleOfTheReplyIsAnInOutError) {
    // A file-size limit makes writes past 4 KiB fail the way a full disk does.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);

    server_.reply(patterned(64 * 1024));
    const auto message = messageOf<EInOutError>(
        [&] { dir::GetInetFile(server_.url("/messenger/s.php?u=a"), file_); });

    ::setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(message, "File too large");
    EXPECT_EQ(std::filesystem::file_size(file_), 4096u);
}

TEST_F(Fetch, PlantedSymbolicLinkIsNotFollowed) {
    const auto victim = dir_ / "precious.txt";
    writeFile(victim, "keep me");
    std::filesystem::create_symlink(victim, file_);
    server_.reply("overwritten");
    EXPECT_THROW(dir::GetInetFile(server_.url("/"), file_), EInOutError);
    EXPECT_EQ(readFile(victim), "keep me");
}

TEST_F(Fetch, PlantedFifoIsRefusedAtOnce) {
    ASSERT_EQ(::mkfifo(file_.c_str(), 0600), 0);
    server_.reply("OK");
    // Opening a FIFO for writing would wait for a reader for ever.
    EXPECT_THROW(dir::GetInetFile(server_.url("/"), file_), EInOutError);
}

TEST_F(Fetch, GoesThroughTheProxyOfTheEnvironment) {
    ScopedEnv noLower("no_proxy", nullptr);
    ScopedEnv noUpper("NO_PROXY", nullptr);
    ScopedEnv proxy("http_proxy", server_.url("").c_str());
    server_.reply("via proxy");
    // Nothing listens at the address itself, so only the proxy can answer.
    const auto url =
        "http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/messenger/v.php?u=a";
    dir::GetInetFile(url, file_);
    EXPECT_EQ(readFile(file_), "via proxy");
    EXPECT_EQ(server_.last().target, url);
}

TEST_F(Fetch, RedirectsFromHttpsStayOnHttps) {
    const std::string cert = (dir_ / "c.pem").string(), key = (dir_ / "k.pem").string();
    const std::string make = "openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:P-256 -nodes "
                             "-subj /CN=127.0.0.1 -addext subjectAltName=IP:127.0.0.1 -out " +
                             cert + " -keyout " + key + " 2>/dev/null";
    ASSERT_EQ(std::system(make.c_str()), 0);
    httplib::SSLServer tls(cert.c_str(), key.c_str());
    tls.Get("/go", [](const auto& req, auto& res) { res.set_redirect(req.get_param_value("to")); });
    tls.Get("/there", [](const auto&, auto& res) { res.set_content("arrived", "text/plain"); });
    const std::string go = "https://127.0.0.1:" + std::to_string(tls.bind_to_any_port("127.0.0.1"));
    std::thread serving([&] { tls.listen_after_bind(); });
    EXPECT_EQ(dir::GetInetFile(go + "/go?p=pw&to=" + dir::encodeValue(go + "/there"), file_, cert),
              200);
    // Never on to plain http, where the password would travel in clear.
    EXPECT_THROW(
        dir::GetInetFile(go + "/go?p=pw&to=" + dir::encodeValue(server_.url()), file_, cert),
        sorvane::EDirectoryRedirectRefused);
    EXPECT_TRUE(server_.seen().empty());
    tls.stop();
    serving.join();
}

// ---- Directory: the request methods the windows call, end to end ----

struct Call {
    const char* name;
    std::function<LineList(dir::Directory&)> send;
    std::string path;
    std::vector<std::pair<std::string, std::string>> keys; // in order, values as typed
    bool buster;
    dir::Scratch scratch;
};

std::ostream& operator<<(std::ostream& os, const Call& c) {
    return os << c.name;
}

const dir::Profile kProfile{"Zo\xC3\xAB", "O'Neil & Sons",    "f=m", "#1", "50%",
                            "19 90",      "S\xC3\xA3o Paulo", "a+b"};

const Call kCalls[] = {
    {"LogIn",
     [](dir::Directory& d) { return d.login("ann@x.org", "p&q=r #%", "10.0.0.5", "4321"); },
     "/messenger/c.php",
     {{"u", "ann@x.org"}, {"p", "p&q=r #%"}, {"ip", "10.0.0.5"}, {"port", "4321"}},
     false,
     dir::Scratch::Temp},
    {"NewUser",
     [](dir::Directory& d) { return d.newUser("bob@y.org", "s\xC3\xA9same"); },
     "/messenger/n.php",
     {{"u", "bob@y.org"}, {"p", "s\xC3\xA9same"}},
     false,
     dir::Scratch::Temp},
    {"AddFriend",
     [](dir::Directory& d) { return d.addFriend("ann@x.org", "bob@y.org"); },
     "/messenger/f.php",
     {{"u", "ann@x.org"}, {"f", "bob@y.org"}},
     false,
     dir::Scratch::Temp},
    {"DeleteFriend",
     [](dir::Directory& d) { return d.deleteFriend("ann@x.org", "bob@y.org"); },
     "/messenger/d.php",
     {{"u", "ann@x.org"}, {"f", "bob@y.org"}},
     false,
     dir::Scratch::Temp4},
    {"ProbeLookup",
     [](dir::Directory& d) { return d.probeLookup("bob@y.org", 4711); },
     "/messenger/g.php",
     {{"u", "bob@y.org"}},
     true,
     dir::Scratch::Temp3},
    {"SendLookup",
     [](dir::Directory& d) { return d.sendLookup("bob@y.org"); },
     "/messenger/g.php",
     {{"u", "bob@y.org"}},
     false,
     dir::Scratch::Temp2},
    {"Search",
     [](dir::Directory& d) { return d.search("j smith&x=1"); },
     "/messenger/s.php",
     {{"u", "j smith&x=1"}},
     true,
     dir::Scratch::Temp5},
    {"ViewProfile",
     [](dir::Directory& d) { return d.viewProfile("bob@y.org"); },
     "/messenger/v.php",
     {{"u", "bob@y.org"}},
     true,
     dir::Scratch::Temp5},
    {"SaveProfile",
     [](dir::Directory& d) { return d.saveProfile("ann@x.org", kProfile); },
     "/messenger/e.php",
     {{"u", "ann@x.org"},
      {"n", kProfile.name},
      {"s", kProfile.surname},
      {"g", kProfile.gender},
      {"d", kProfile.day},
      {"m", kProfile.month},
      {"y", kProfile.year},
      {"ci", kProfile.city},
      {"co", kProfile.country}},
     true,
     dir::Scratch::Temp5},
};

std::vector<std::string> keyOrder(const std::string& target) {
    std::vector<std::string> keys;
    const auto q = target.find('?');
    if (q == std::string::npos)
        return keys;
    std::size_t pos = q + 1;
    while (pos <= target.size()) {
        const auto amp = std::min(target.find('&', pos), target.size());
        const auto pair = target.substr(pos, amp - pos);
        keys.push_back(pair.substr(0, pair.find('=')));
        pos = amp + 1;
    }
    return keys;
}

class DirectoryRequest : public Fetch, public ::testing::WithParamInterface<Call> {};

TEST_P(DirectoryRequest, ReachesTheServerAsTypedAndReadsItsScratchFileBack) {
    const Call& call = GetParam();
    const std::string reply = std::string("reply-to-") + call.name + "\r\n4321\r\n";
    server_.reply(reply);
    dir::Directory d(server_.base(), dir_.path());

    const LineList lines = call.send(d);

    const auto seen = server_.last();
    EXPECT_EQ(seen.path, call.path);
    std::vector<std::string> expectedKeys;
    for (const auto& [key, value] : call.keys) {
        expectedKeys.push_back(key);
        ASSERT_EQ(seen.params.count(key), 1u) << key;
        EXPECT_EQ(seen.params.find(key)->second, value) << key;
    }
    if (call.buster)
        expectedKeys.push_back("random");
    EXPECT_EQ(keyOrder(seen.target), expectedKeys);
    if (call.buster) {
        const std::string n = seen.params.find("random")->second;
        ASSERT_FALSE(n.empty());
        EXPECT_EQ(n.find_first_not_of("0123456789"), std::string::npos) << n;
        EXPECT_TRUE(n == "0" || n[0] != '0') << "leading zero: " << n;
        EXPECT_LE(std::stoi(n), 19998);
    }

    EXPECT_EQ(lines.lines(),
              (std::vector<std::string>{std::string("reply-to-") + call.name, "4321"}));
    EXPECT_EQ(readFile(d.scratchPath(call.scratch)), reply);
    for (const auto other : {dir::Scratch::Temp, dir::Scratch::Temp2, dir::Scratch::Temp3,
                             dir::Scratch::Temp4, dir::Scratch::Temp5}) {
        if (other != call.scratch) {
            EXPECT_FALSE(std::filesystem::exists(d.scratchPath(other)))
                << dir::scratchFileName(other);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Rows, DirectoryRequest, ::testing::ValuesIn(kCalls),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(Fetch, DirectoryShorterReplyLeavesNoTraceOfLongerOne) {
    dir::Directory d(server_.base(), dir_.path());
    server_.reply("ann\r\nannabel\r\njoanna\r\n");
    EXPECT_EQ(d.search("ann").count(), 3);
    server_.reply("ann\r\n");
    EXPECT_EQ(d.search("ann").lines(), std::vector<std::string>{"ann"});
    EXPECT_EQ(readFile(d.scratchPath(dir::Scratch::Temp5)), "ann\r\n");
}

TEST_F(Fetch, EmptyReplyHasNoLineZero) {
    dir::Directory d(server_.base(), dir_.path());
    writeFile(d.scratchPath(dir::Scratch::Temp2), "10.0.0.5\r\n4321\r\n");
    server_.reply("");
    const auto lines = d.sendLookup("nobody");
    EXPECT_EQ(lines.count(), 0);
    EXPECT_EQ(std::filesystem::file_size(d.scratchPath(dir::Scratch::Temp2)), 0u);
    EXPECT_EQ(messageOf<EListError>([&] { (void)lines[0]; }), "List index out of bounds (0)");
}

bool lockIsFree(const std::filesystem::path& p) {
    const int fd = ::open(p.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    const bool free = ::flock(fd, LOCK_EX | LOCK_NB) == 0;
    ::close(fd);
    return free;
}

TEST_F(Fetch, WaitsWhileAnotherClientHoldsTheScratchFile) {
    dir::Directory d(server_.base(), dir_.path());
    const auto path = d.scratchPath(dir::Scratch::Temp2);
    const int other = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    writeFile(path, "the other client's reply\r\n");

    server_.reply("10.0.0.5\r\n4321\r\n");
    std::atomic<bool> done{false};
    LineList lines;
    std::thread client([&] {
        lines = d.sendLookup("bob");
        done = true;
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done) << "fetched while another client held the file";
    EXPECT_EQ(readFile(path), "the other client's reply\r\n");

    ::flock(other, LOCK_UN);
    ::close(other);
    client.join();
    EXPECT_EQ(lines.lines(), (std::vector<std::string>{"10.0.0.5", "4321"}));
}

// The program reads its settings and loads libcurl once its windows are up: a request made
// before waits for the location, and for a load under way on another thread.
TEST_F(Fetch, RequestMadeBeforeTheLocationIsKnownWaitsForItAndForTheLoad) {
    std::promise<dir::Location> location;
    const dir::Directory d(location.get_future().share(), dir_.path());
    server_.reply("10.0.0.5\r\n4321\r\n");
    std::atomic<bool> done{false};
    LineList lines;
    std::thread client([&] {
        lines = d.sendLookup("bob");
        done = true;
    });
    std::thread load(dir::loadLibcurl);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(done) << "went out before the location was known";
    location.set_value({server_.base(), {}});
    client.join();
    load.join();
    EXPECT_EQ(lines.lines(), (std::vector<std::string>{"10.0.0.5", "4321"}));
}

// Not installed: the loader's own words, which name the library, go into the error box.
TEST(Libcurl, ALibraryThatIsNotThereIsNamedInWhatWentWrong) {
    const dir::libcurl::Loaded loaded = dir::libcurl::load("libsorvane-not-installed.so.4");
    EXPECT_FALSE(loaded.functions);
    EXPECT_NE(loaded.problem.find("libsorvane-not-installed.so.4"), std::string::npos)
        << loaded.problem;
}

TEST_F(Fetch, ReleasesTheScratchFileAfterSuccessAndFailure) {
    dir::Directory d(server_.base(), dir_.path());
    server_.reply("OK");
    d.addFriend("a", "b");
    EXPECT_TRUE(lockIsFree(d.scratchPath(dir::Scratch::Temp)));

    dir::Directory gone("http://127.0.0.1:" + std::to_string(closedLoopbackPort()) + "/messenger/",
                        dir_.path());
    EXPECT_THROW(gone.addFriend("a", "b"), EDirectoryUnreachable);
    EXPECT_TRUE(lockIsFree(gone.scratchPath(dir::Scratch::Temp)));
}

} // namespace

TEST_F(Fetch, ChangesGoWithoutATokenToADirectoryThatSentNone) {
    dir::Directory d{server_.base(), dir_.path()};
    const std::string changes[] = {"f.php", "d.php", "e.php"};
    auto sendChanges = [&] {
        d.addFriend("ann@x.org", "bob@y.org");
        d.deleteFriend("ann@x.org", "bob@y.org");
        d.saveProfile("ann@x.org", dir::Profile{});
    };
    struct {
        const char* loginReply;
        const char* sentToken; // "&t=..." at the end of each change, or "" for none
    } cases[] = {
        {"OK\r\n#bob@y.org\r\n", ""},
        {"OK\r\n", ""},
        {"OK\r\n\r\nAbC-_9\r\n", "&t=AbC-_9"},
        {"OK\r\n#bob@y.org\r\nAbC-_9\r\nmore\r\n", "&t=AbC-_9"},
        {"OK\r\n#bob@y.org\r\n", ""}, // a later login without one drops the old token
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.loginReply);
        server_.reply(c.loginReply);
        ASSERT_EQ(d.login("ann@x.org", "pw", "127.0.0.1", "4000")[0], "OK");
        sendChanges();
        auto seen = server_.seen();
        ASSERT_GE(seen.size(), 3u);
        for (size_t i = 0; i < 3; ++i) {
            const std::string& target = seen[seen.size() - 3 + i].target;
            EXPECT_EQ(target.substr(11, 5), changes[i]);
            const std::string tail = c.sentToken; // last, or before the cache-buster
            const std::size_t end = std::min(target.find("&random="), target.size());
            EXPECT_EQ(target.find("&t="), tail.empty() ? std::string::npos : end - tail.size())
                << target;
        }
    }
    // A refused login keeps the token of the last successful one.
    server_.reply("OK\r\n\r\nKept\r\n");
    d.login("ann@x.org", "pw", "127.0.0.1", "4000");
    server_.reply("Error: wrong user name or password\r\n");
    d.login("ann@x.org", "bad", "127.0.0.1", "4000");
    d.addFriend("ann@x.org", "bob@y.org");
    EXPECT_EQ(server_.last().target, "/messenger/f.php?u=ann%40x.org&f=bob%40y.org&t=Kept");
}

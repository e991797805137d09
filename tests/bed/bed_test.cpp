// Messengers on separate hosts meeting through an https directory on a third: a bed of network
// namespaces, the real directory server, and the program's own windows on each user's host,
// each aimed at the directory only through its user's settings file.
#include "bed.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <memory>
#include <optional>
#include <thread>

#ifndef SORVANE_BED_MESSENGER_EXE
#error "SORVANE_BED_MESSENGER_EXE must name the bed's messenger"
#endif

using namespace sorvane::test;
namespace fs = std::filesystem;

namespace {

constexpr const char* kPort = "8443";
const std::string kAnn = "ann@bed.example";
const std::string kBob = "bob@bed.example";

class ThreeHosts : public ::testing::Test {
protected:
    // bobAtHome: bob's host sits behind a home router, which is the third host.
    explicit ThreeHosts(bool bobAtHome = false) : bobAtHome_(bobAtHome) {}

    void SetUp() override {
        try {
            if (bobAtHome_)
                bed_.emplace(std::vector<std::string>{"directory", "ann", "router"},
                             std::map<std::string, std::string>{{"bob", "router"}});
            else
                bed_.emplace(std::vector<std::string>{"directory", "ann", "bob"});
        } catch (const BedUnavailable& e) {
            GTEST_SKIP() << "network namespaces cannot be made here, so there is no bed of "
                            "hosts: "
                         << e.what();
        }
        work_ = bed_->folder();
        // The directory's own certificate, for its bed name, signed by nobody else.
        const Ran made = runCommand(
            {"openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1",
             "-nodes", "-days", "2", "-subj", "/CN=" + Bed::name("directory"), "-addext",
             "subjectAltName=DNS:" + Bed::name("directory"), "-keyout",
             (work_ / "key.pem").string(), "-out", (work_ / "cert.pem").string()});
        ASSERT_EQ(made.status, 0) << made.output;
    }
    void TearDown() override {
        ann_.reset();
        bob_.reset();
        directory_.reset();
        bed_.reset();
    }

    void startDirectory(bool observedAddress) {
        std::vector<std::string> command{SORVANE_DIRECTORY_EXE,
                                         "--listen",
                                         bed_->address("directory") + ':' + kPort,
                                         "--db",
                                         (work_ / "directory.db").string(),
                                         "--hash-cost",
                                         "1",
                                         "--tls-cert",
                                         (work_ / "cert.pem").string(),
                                         "--tls-key",
                                         (work_ / "key.pem").string()};
        if (observedAddress)
            command.push_back("--observed-address");
        directory_ = std::make_unique<BedProcess>(*bed_, "directory", command,
                                                  std::map<std::string, std::string>{},
                                                  (work_ / "directory.log").string());
        ASSERT_EQ(directory_->readLine(),
                  "listening on " + bed_->address("directory") + ':' + kPort);
    }

    // A user's messenger on `host`, told where the directory is by its settings file alone.
    std::unique_ptr<BedProcess> messenger(const std::string& host, bool trustTheDirectory) {
        const fs::path home = work_ / host;
        fs::create_directories(home / "config" / "sorvane-messenger");
        fs::create_directories(home / "scratch");
        std::ofstream(home / "config" / "sorvane-messenger" / "sorvane-messenger.conf")
            << "[directory]\nurl=https://" << Bed::name("directory") << ':' << kPort
            << "/messenger/\n"
            << (trustTheDirectory ? "ca-file=" + (work_ / "cert.pem").string() + '\n' : "");
        auto process = std::make_unique<BedProcess>(
            *bed_, host,
            std::vector<std::string>{SORVANE_BED_MESSENGER_EXE, (home / "scratch").string()},
            std::map<std::string, std::string>{{"HOME", home.string()},
                                               {"XDG_CONFIG_HOME", (home / "config").string()},
                                               {"XDG_CONFIG_DIRS", (home / "none").string()},
                                               {"QT_QPA_PLATFORM", "offscreen"}},
            (work_ / (host + ".log")).string());
        EXPECT_EQ(process->readLine(),
                  "ready https://" + Bed::name("directory") + ':' + kPort + "/messenger/");
        return process;
    }

    // Both users register, log in, add each other, see each other online and talk.
    void meet() {
        ann_ = messenger("ann", true);
        bob_ = messenger("bob", true);
        ASSERT_EQ(ann_->ask("register " + kAnn + " ann-pw"), "ok");
        ASSERT_EQ(bob_->ask("register " + kBob + " bob-pw"), "ok");
        ASSERT_EQ(ann_->ask("login " + kAnn + " ann-pw"), "ok");
        ASSERT_EQ(bob_->ask("login " + kBob + " bob-pw"), "ok");
        bobLoggedIn_ = std::chrono::steady_clock::now();
        // bob first: his friend list lets ann's lines into his mailbox.
        ASSERT_EQ(bob_->ask("add " + kAnn), "ok");
        ASSERT_EQ(ann_->ask("add " + kBob), "ok");
        if (bobAtHome_) {
            // The directory notes bob's waiting fetch within a second; ann's next minute's run
            // would find it, this one does it now.
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            ASSERT_EQ(ann_->ask("presence"), "ok");
        }
        ASSERT_EQ(ann_->ask("online " + kBob), "ok");
        ASSERT_EQ(bob_->ask("online " + kAnn), "ok");
        ASSERT_EQ(ann_->ask("send " + kBob + " hello from the ann host"), "ok");
        EXPECT_EQ(bob_->ask("await <" + kAnn + "> hello from the ann host"), "ok");
        ASSERT_EQ(bob_->ask("send " + kAnn + " and back from bob"), "ok");
        EXPECT_EQ(ann_->ask("await <" + kBob + "> and back from bob"), "ok");
    }

    // user -> "address the directory gives out (address the login came from)", as stored.
    std::map<std::string, std::string> registered() const {
        std::map<std::string, std::string> out;
        sqlite3* db = nullptr;
        const std::string path = (work_ / "directory.db").string();
        sqlite3_stmt* rows = nullptr;
        if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
            sqlite3_prepare_v2(db, "SELECT name, ip, login_origin FROM users", -1, &rows,
                               nullptr) == SQLITE_OK) {
            const auto text = [rows](int column) {
                const unsigned char* t = sqlite3_column_text(rows, column);
                return t ? std::string(reinterpret_cast<const char*>(t)) : std::string("-");
            };
            while (sqlite3_step(rows) == SQLITE_ROW) {
                out[text(0)] = text(1) + " (" + text(2) + ')';
                std::cout << "directory: " << text(0) << " registered " << text(1)
                          << ", logged in from " << text(2) << '\n';
            }
        }
        sqlite3_finalize(rows);
        sqlite3_close(db);
        return out;
    }

    // The text of the directory's database files, for what must not be there.
    std::string databaseBytes() const {
        std::string bytes;
        for (const char* suffix : {"", "-wal", "-shm"}) {
            std::ifstream in(work_ / (std::string("directory.db") + suffix), std::ios::binary);
            bytes.append(std::istreambuf_iterator<char>(in), {});
        }
        return bytes;
    }

    const bool bobAtHome_;
    std::chrono::steady_clock::time_point bobLoggedIn_;
    fs::path work_;
    std::optional<Bed> bed_;
    std::unique_ptr<BedProcess> directory_, ann_, bob_;
};

// What the directory holds once both have met: each user at the bed address of the user's host.
std::map<std::string, std::string> atTheirHosts(const Bed& bed) {
    const std::string ann = bed.address("ann");
    const std::string bob = bed.address("bob");
    return {{kAnn, ann + " (" + ann + ')'}, {kBob, bob + " (" + bob + ')'}};
}

// The directory keeps the address each login came from.
TEST_F(ThreeHosts, UsersOnTwoHostsMeetThroughTheDirectoryOnAThird) {
    startDirectory(true);
    meet();
    EXPECT_EQ(registered(), atTheirHosts(*bed_));
}

// The directory keeps the address each messenger sends as its own.
TEST_F(ThreeHosts, EachMessengerRegistersItsOwnHostsAddress) {
    startDirectory(false);
    meet();
    EXPECT_EQ(registered(), atTheirHosts(*bed_));
}

// What crosses the network between the hosts holds none of the users' text.
TEST_F(ThreeHosts, ACaptureOnTheBridgeHoldsNoneOfTheLinesText) {
    startDirectory(true);
    const fs::path capture = work_ / "bridge.pcap", log = work_ / "tcpdump.log";
    BedProcess tcpdump(*bed_, "bridge",
                       {"tcpdump", "-i", "any", "--immediate-mode", "-U", "-s", "0", "-Z", "root",
                        "-w", capture.string()},
                       {}, log.string());
    const auto said = [&](const std::string& what) {
        std::ifstream in(log);
        return std::string(std::istreambuf_iterator<char>(in), {}).find(what) != std::string::npos;
    };
    for (int i = 0; i < 100 && !said("listening on"); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_TRUE(said("listening on")) << "tcpdump did not start";
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    meet();
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the last packets written
    std::ifstream in(capture, std::ios::binary);
    const std::string seen(std::istreambuf_iterator<char>(in), {});
    EXPECT_NE(seen.find("<" + kAnn + "> sv1:"), std::string::npos) << "the capture saw no line";
    for (const std::string text : {"hello from the ann host", "and back from bob"})
        EXPECT_EQ(seen.find(text), std::string::npos) << text;
    std::cout << "capture on the bridge: " << seen.size() << " bytes, none of the lines' text\n";
}

TEST_F(ThreeHosts, AnUntrustedDirectoryGetsNothing) {
    startDirectory(true);
    ann_ = messenger("ann", false);
    const std::string refused = "failed error: The directory server's certificate is not trusted: ";
    for (const std::string command : {"register ", "login "}) {
        const std::string reply = ann_->ask(command + kAnn + " ann-pw");
        EXPECT_TRUE(reply.starts_with(refused)) << reply;
        std::cout << "ann's " << command << "-> " << reply << '\n';
    }
    // Neither request reached the directory: nobody registered, nobody logged in.
    EXPECT_TRUE(registered().empty());
}

// ---- bob behind a home router: the directory's mailbox carries ann's lines to him ------------

class BobAtHome : public ThreeHosts {
protected:
    BobAtHome() : ThreeHosts(true) {}
    static double secondsSince(std::chrono::steady_clock::time_point start) {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    }
};

TEST_F(BobAtHome, AFriendBehindARouterIsOnlineAndGetsLinesThroughTheMailbox) {
    startDirectory(true);
    meet();
    const double online = secondsSince(bobLoggedIn_);
    EXPECT_LT(online, 70);
    const auto sent = std::chrono::steady_clock::now();
    ASSERT_EQ(ann_->ask("send " + kBob + " over the router"), "ok");
    ASSERT_EQ(bob_->ask("await <" + kAnn + "> over the router"), "ok");
    const double arrived = secondsSince(sent);
    EXPECT_LT(arrived, 2);
    std::cout << "bob behind the router: online at ann's " << online << " s after his login; "
              << "ann's line in his window " << arrived << " s after she sent it\n";
}

TEST_F(BobAtHome, LinesForAFriendWhoIsNotRunningArriveOnceInOrderAtHisNextLogin) {
    startDirectory(true);
    meet();
    bob_.reset(); // bob ends his messenger
    for (const std::string text : {"first while you were away", "second", "third"})
        ASSERT_EQ(ann_->ask("send " + kBob + " " + text), "ok") << text;
    bob_ = messenger("bob", true);
    ASSERT_EQ(bob_->ask("login " + kBob + " bob-pw"), "ok");
    ASSERT_EQ(bob_->ask("await <" + kAnn + "> third"), "ok");
    const std::string history = bob_->ask("history " + kAnn);
    EXPECT_EQ(history, "history <" + kAnn + "> first while you were away / <" + kAnn +
                           "> second / <" + kAnn + "> third");
    std::cout << "bob's conversation after his login: " << history << '\n';
    const std::string stored = databaseBytes();
    for (const std::string text : {"while you were away", "second", "third"})
        EXPECT_EQ(stored.find(text), std::string::npos) << text;
}

TEST_F(BobAtHome, ADirectoryKilledWhileLinesAreDepositedLosesAndDoublesNone) {
    startDirectory(true);
    meet();
    ASSERT_EQ(ann_->ask("send " + kBob + " one"), "ok");
    ann_->writeLine("send " + kBob + " two"); // on its way while the directory dies
    directory_.reset();                       // kill -9
    const std::string two = ann_->readLine().value_or("<no answer>");
    const std::string three = ann_->ask("send " + kBob + " three");
    startDirectory(true);
    ASSERT_EQ(ann_->ask("presence"), "ok"); // the next run finds bob through the directory again
    ASSERT_EQ(bob_->ask("await <" + kAnn + "> three"), "ok");
    const std::string history = bob_->ask("history " + kAnn);
    const std::string met =
        "history <" + kAnn + "> hello from the ann host / <" + kBob + "> and back from bob / ";
    EXPECT_EQ(history, met + "<" + kAnn + "> one / <" + kAnn + "> two / <" + kAnn + "> three");
    std::cout << "ann's sends around the kill: two " << two << ", three " << three
              << "; bob's conversation: " << history << '\n';
}

} // namespace

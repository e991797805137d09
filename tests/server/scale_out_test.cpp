// Several directory servers over one PostgreSQL database, as a directory
// that outgrew one machine runs: what one server stores the other serves, the
// guessing pause counts the failures of both, a real nginx in front of them
// hands on the messengers' addresses, and a restart of the database costs the
// requests during the outage and nothing after it.

#include "directory_server.h"
#include "nginx_proxy.h"
#include "postgres_server.h"

#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <chrono>
#include <iterator>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using sorvane::test::httpGet;
using sorvane::test::HttpReply;
using sorvane::test::TestDirectoryServer;
using sorvane::test::TestPostgres;

namespace {

const std::string kOk = "OK\r\n";
const std::string kWrongLogin = "Error: wrong user name or password\r\n";
const std::string kTooMany = "Error: too many failed logins, try again later\r\n";
const std::string kServerError = "Error: server error\r\n";

// Names this process's PostgreSQL `pg`, or skips the test with the reason it cannot run.
#define POSTGRES_OR_SKIP(pg)                                                                       \
    std::string whyNot;                                                                            \
    TestPostgres* pg = TestPostgres::shared(&whyNot);                                              \
    if (!pg)                                                                                       \
    GTEST_SKIP() << whyNot

TestDirectoryServer::Options on(const std::string& database,
                                std::vector<std::string> extraArgs = {}) {
    TestDirectoryServer::Options options;
    options.database = database;
    options.extraArgs = std::move(extraArgs);
    return options;
}

} // namespace

TEST(ScaleOut, TwoServersOnOneDatabaseServeOneDirectory) {
    POSTGRES_OR_SKIP(pg);
    const std::string database = pg->createDatabase();
    TestDirectoryServer first(on(database));
    TestDirectoryServer second(on(database));

    // An account made on one logs in on the other; a friend added through one is listed by the
    // other.
    ASSERT_EQ(first.registerUser("ann", "pw"), kOk);
    ASSERT_EQ(second.registerUser("bob", "pw"), kOk);
    EXPECT_EQ(second.registerUser("ANN", "other"), "username exists\r\n");
    EXPECT_EQ(second.login("ann", "pw", "127.0.0.1", 4000), kOk);
    EXPECT_EQ(first.request("g.php", {{"u", "ann"}}), "127.0.0.1\r\n4000\r\n");
    // The token of a login through one server is good on the other.
    EXPECT_EQ(first.request("f.php", {{"u", "ann"}, {"f", "bob"}, {"t", second.token("ann")}}),
              kOk);
    EXPECT_EQ(second.login("ann", "pw", "127.0.0.1", 4001), "OK\r\n#bob\r\n");
    EXPECT_EQ(second.request("e.php", {{"u", "ann"}, {"n", "Ann"}}), kOk);
    EXPECT_EQ(first.request("v.php", {{"u", "ann"}}).substr(0, 10), "ann\r\nAnn\r\n");
    EXPECT_EQ(first.request("s.php", {{"u", "b"}}), "bob\r\n");

    // Five failed logins from one address spread over both servers pause the name from that
    // address on both; its right password is then refused unchecked there, not elsewhere.
    for (int i = 0; i < 5; ++i) {
        const TestDirectoryServer& server = i % 2 ? second : first;
        EXPECT_EQ(sorvane::test::httpGet(server.port(),
                                         "/messenger/c.php?u=bob&p=guess&ip=127.0.0.1&port=1",
                                         "127.0.0.10")
                      .body,
                  kWrongLogin)
            << i;
    }
    for (const TestDirectoryServer* server : {&first, &second}) {
        const HttpReply reply = server->requestReply(
            "c.php", {{"u", "bob"}, {"p", "pw"}, {"ip", "127.0.0.1"}, {"port", "1"}}, "127.0.0.10");
        EXPECT_EQ(reply.status, 429);
        EXPECT_EQ(reply.body, kTooMany);
    }
    EXPECT_EQ(first.login("bob", "pw"), kOk);
    EXPECT_EQ(second.login("ann", "pw"), "OK\r\n#bob\r\n");
}

TEST(ScaleOut, ADatabaseRestartFailsTheRequestsDuringItAndNoneAfter) {
    POSTGRES_OR_SKIP(pg);
    const std::string database = pg->createDatabase();
    TestDirectoryServer first(on(database));
    TestDirectoryServer second(on(database));
    first.registerAndLogin("ann", "pw", "127.0.0.1", 4000);
    second.registerUser("bob", "pw");

    // Clients keep asking both servers while the database goes away and comes back. Every
    // answer is either the right one or the error a failing database gives, and none takes
    // longer than a few seconds.
    std::atomic<bool> done{false};
    std::atomic<int> right{0}, failed{0}, wrong{0}, slow{0};
    std::vector<std::thread> clients;
    for (const TestDirectoryServer* server : {&first, &second})
        clients.emplace_back([&, server] {
            for (int i = 0; i < 20000 && !done; ++i) {
                const auto start = std::chrono::steady_clock::now();
                const HttpReply address = server->requestReply("g.php", {{"u", "ann"}});
                const HttpReply login = server->requestReply(
                    "c.php", {{"u", "bob"}, {"p", "pw"}, {"ip", "127.0.0.1"}, {"port", "5000"}});
                if (std::chrono::steady_clock::now() - start > std::chrono::seconds(8))
                    ++slow;
                const bool addressRight =
                    address.status == 200 && address.body == "127.0.0.1\r\n4000\r\n";
                std::string loginBody = login.body;
                sorvane::test::takeLoginToken(loginBody);
                const bool loginRight = login.status == 200 && loginBody == kOk;
                const bool addressFailed = address.status == 500 && address.body.empty();
                const bool loginFailed = login.status == 500 && login.body == kServerError;
                (addressRight ? right : addressFailed ? failed : wrong)++;
                (loginRight ? right : loginFailed ? failed : wrong)++;
            }
        });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    pg->stop();
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    pg->start();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    done = true;
    for (std::thread& t : clients)
        t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(slow, 0);
    EXPECT_GT(failed, 0);
    EXPECT_GT(right, 0);

    // After the outage, on both servers, without restarting them.
    ASSERT_TRUE(first.running() && second.running());
    for (const TestDirectoryServer* server : {&first, &second}) {
        EXPECT_EQ(server->request("g.php", {{"u", "ann"}}), "127.0.0.1\r\n4000\r\n");
        EXPECT_EQ(server->login("bob", "pw", "127.0.0.1", 5000), kOk);
    }
    EXPECT_EQ(second.request("f.php", {{"u", "bob"}, {"f", "ann"}}), kOk);
    EXPECT_EQ(first.login("bob", "pw", "127.0.0.1", 5000), "OK\r\n#ann\r\n");
    // The outage shows in the logs as database errors, nothing worse.
    EXPECT_NE(first.logText().find("500"), std::string::npos);
}

TEST(ScaleOut, BehindNginxTheServersSeeTheMessengersAddressesAndNoForgedOnes) {
    POSTGRES_OR_SKIP(pg);
    if (!sorvane::test::TestNginx::available(&whyNot))
        GTEST_SKIP() << whyNot;
    const std::string database = pg->createDatabase();
    // nginx reaches the servers from 127.0.0.1, the only proxy they trust.
    const std::vector<std::string> behindProxy = {"--observed-address", "--trusted-proxy",
                                                  "127.0.0.1"};
    TestDirectoryServer first(on(database, behindProxy));
    TestDirectoryServer second(on(database, behindProxy));
    sorvane::test::TestNginx nginx({first.port(), second.port()});
    // Login replies without their token line (takeLoginToken).
    const auto throughNginx = [&](const std::string& target, const std::string& from,
                                  const std::string& headers = {}) {
        HttpReply reply = httpGet(nginx.port(), "/messenger/" + target, from, headers);
        sorvane::test::takeLoginToken(reply.body);
        return reply;
    };

    ASSERT_EQ(throughNginx("n.php?u=ann&p=pw", "127.0.0.5").body, kOk);
    ASSERT_EQ(throughNginx("n.php?u=bob&p=pw", "127.0.0.5").body, kOk);
    // Several logins, so that both servers take some: each stores the messenger's address.
    for (int i = 0; i < 4; ++i) {
        const std::string from = "127.0.0." + std::to_string(5 + i);
        EXPECT_EQ(throughNginx("c.php?u=ann&p=pw&ip=192.0.2.1&port=4000", from).body, kOk);
        for (const TestDirectoryServer* server : {&first, &second})
            EXPECT_EQ(server->request("g.php", {{"u", "ann"}}), from + "\r\n4000\r\n") << i;
    }
    // What a messenger writes into the header itself stays left of nginx's entry.
    EXPECT_EQ(throughNginx("c.php?u=bob&p=pw&ip=192.0.2.1&port=4001", "127.0.0.9",
                           "X-Forwarded-For: 198.51.100.7\r\n")
                  .body,
              kOk);
    EXPECT_EQ(first.request("g.php", {{"u", "bob"}}), "127.0.0.9\r\n4001\r\n");
    // Straight to a server, the header is not believed at all.
    for (const TestDirectoryServer* server : {&first, &second}) {
        std::string body =
            httpGet(server->port(), "/messenger/c.php?u=bob&p=pw&ip=192.0.2.1&port=4002",
                    "127.0.0.10", "X-Forwarded-For: 198.51.100.7\r\n")
                .body;
        EXPECT_FALSE(sorvane::test::takeLoginToken(body).empty());
        EXPECT_EQ(body, kOk);
        EXPECT_EQ(first.request("g.php", {{"u", "bob"}}), "127.0.0.10\r\n4002\r\n");
    }
    // The log names the messenger, not nginx.
    const std::string logs = first.logText() + second.logText();
    EXPECT_NE(logs.find("127.0.0.5 GET /messenger/n.php"), std::string::npos) << logs;
    EXPECT_EQ(logs.find("198.51.100.7 GET"), std::string::npos) << logs;
}

TEST(ScaleOut, ConnectionsThatFellSilentCostNoRequest) {
    POSTGRES_OR_SKIP(pg);
    const std::string database = pg->createDatabase();
    TestDirectoryServer server(on(database));
    server.registerAndLogin("ann", "pw", "127.0.0.1", 4000);
    // The server's connections stop answering without a word, as when a firewall on the way
    // drops them: their database processes are stopped.
    std::istringstream pids(TestPostgres::query(
        database, "SELECT pid FROM pg_stat_activity WHERE application_name = 'sorvane-directory'"));
    const std::vector<pid_t> silent{std::istream_iterator<pid_t>(pids), {}};
    for (pid_t pid : silent)
        EXPECT_EQ(::kill(pid, SIGSTOP), 0);
    EXPECT_EQ(server.request("g.php", {{"u", "ann"}}), "127.0.0.1\r\n4000\r\n");
    EXPECT_EQ(server.login("ann", "pw", "127.0.0.1", 4001), kOk);
    for (pid_t pid : silent)
        ::kill(pid, SIGCONT);
}

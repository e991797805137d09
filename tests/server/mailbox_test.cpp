// The directory's mailbox (m.php) as messengers use it, against a real
// sorvane-directory on each database: lines deposited for a friend come back
// in order until acknowledged, each refusal with its status and line, a fetch
// held until a line comes, kill -9, g.php's "mailbox" line, many held fetches
// from one address, and two servers on one PostgreSQL database.

#include "backend_test.h"
#include "directory_server.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <chrono>
#include <cstdio>
#include <future>
#include <string>
#include <thread>
#include <vector>

using sorvane::test::BackendTest;
using sorvane::test::httpGet;
using sorvane::test::HttpReply;
using sorvane::test::TestDirectoryServer;
using sorvane::test::TestPostgres;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

const std::string kOk = "OK\r\n";
const std::string kCannotReceive =
    "Error: this user cannot receive this line through the directory\r\n";
// Ed25519 public keys of RFC 8032's test vectors, as c.php's k.
const std::string kKeyA = "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo";
const std::string kKeyB = "PUAXw-hDiVqStwqnTRt-vJyYLM8uxJaMwM1V8Sr0Zgw";
const std::string kKeyC = "_FHNjmIYoaONpH7QAjDwWAgW7RO6MwOsXeuRFUiQgCU";

std::string lineId(int n) {
    char id[33];
    std::snprintf(id, sizeof id, "%032x", n);
    return id;
}

// "sv1:" and base64url whose bits all count (size a multiple of 4).
std::string sealed(int n, size_t size = 40) {
    std::string text = "sv1:n" + std::to_string(n) + "x";
    text.resize(size, 'A');
    return text;
}

// A fetch's reply: the lines `ids` from `sender`, as sealed() made them.
std::string lines(const std::string& sender, std::initializer_list<int> ids) {
    std::string body;
    for (int id : ids)
        body += lineId(id) + " " + sender + " " + sealed(id) + "\r\n";
    return body;
}

std::string acks(int from, int to) {
    std::string query;
    for (int id = from; id < to; ++id)
        query += "&ack=" + lineId(id);
    return query;
}

size_t lineCount(const std::string& body) {
    size_t count = 0;
    for (size_t at = 0; (at = body.find("\r\n", at)) != std::string::npos; at += 2)
        ++count;
    return count;
}

// Messengers' requests from one address, with the token of each user's last login (kept
// by `logins`, the server they logged in through; null: `server`).
struct Messengers {
    const TestDirectoryServer& server;
    std::string from = "127.0.0.1";
    const TestDirectoryServer* logins = nullptr;

    std::string token(const std::string& user) const {
        return (logins ? *logins : server).token(user);
    }
    void logIn(const std::string& name, const std::string& key) const {
        server.request(
            "c.php", {{"u", name}, {"p", "pw"}, {"ip", from}, {"port", "4000"}, {"k", key}}, from);
    }
    void join(const std::string& name, const std::string& key) const {
        server.registerUser(name, "pw");
        logIn(name, key);
    }
    HttpReply deposit(const std::string& sender, const std::string& recipient, int id,
                      const std::string& text = {}, const std::string& key = {}) const {
        return httpGet(server.port(),
                       "/messenger/m.php?u=" + sender + "&t=" + token(sender) + "&to=" + recipient +
                           "&k=" + (key.empty() ? keyOf(recipient) : key) + "&id=" + lineId(id),
                       from, {}, "POST", text.empty() ? sealed(id) : text);
    }
    HttpReply fetch(const std::string& user, const std::string& query = {}) const {
        return httpGet(server.port(), "/messenger/m.php?u=" + user + "&t=" + token(user) + query,
                       from);
    }
    std::future<HttpReply> fetchLater(const std::string& user, const std::string& query) const {
        return std::async(std::launch::async, [this, user, query] { return fetch(user, query); });
    }
    static std::string keyOf(const std::string& user) { return user == "ann" ? kKeyA : kKeyB; }
};

// ann and bob with keys, cat without; bob has added ann.
Messengers annBobAndCat(const TestDirectoryServer& server) {
    Messengers m{server};
    m.join("ann", kKeyA);
    m.join("bob", kKeyB);
    m.join("cat", "");
    server.request("f.php", {{"u", "bob"}, {"f", "ann"}});
    return m;
}

bool ready(std::future<HttpReply>& reply, std::chrono::milliseconds within) {
    return reply.wait_for(within) == std::future_status::ready;
}

} // namespace

class Mailbox : public BackendTest {};
SORVANE_ON_EVERY_BACKEND(Mailbox);

TEST_P(Mailbox, LinesComeInOrderUntilAcknowledgedAndOncePerId) {
    TestDirectoryServer server(serverOptions());
    const Messengers m = annBobAndCat(server);
    for (int id : {1, 2, 3, 2})
        EXPECT_EQ(m.deposit("ann", "bob", id).body, kOk) << id;
    EXPECT_EQ(m.fetch("bob").body, lines("ann", {1, 2, 3}));
    EXPECT_EQ(m.fetch("bob", acks(1, 3)).body, lines("ann", {3}));
    // An acknowledged id is still known, and only the recipient's acks count.
    EXPECT_EQ(m.deposit("ann", "bob", 1).body, kOk);
    EXPECT_EQ(m.fetch("ann", acks(3, 4)).body, "");
    EXPECT_EQ(m.fetch("bob").body, lines("ann", {3}));
    // bob's other computer (another key) gets none of the lines sealed to this one.
    m.logIn("bob", kKeyC);
    EXPECT_EQ(m.fetch("bob").body, "");
    m.logIn("bob", kKeyB);
    EXPECT_EQ(m.fetch("bob", acks(3, 4)).body, "");

    // A reply holds at most 100 lines, or 1 MiB of them.
    for (int id = 10; id < 111; ++id)
        ASSERT_EQ(m.deposit("ann", "bob", id).body, kOk);
    EXPECT_EQ(lineCount(m.fetch("bob").body), 100u);
    EXPECT_EQ(m.fetch("bob", acks(10, 110)).body, lineId(110) + " ann " + sealed(110) + "\r\n");
    for (int id = 200; id < 216; ++id)
        ASSERT_EQ(m.deposit("ann", "bob", id, sealed(id, 64 * 1024)).body, kOk);
    EXPECT_EQ(lineCount(m.fetch("bob", acks(110, 111)).body), 15u);
}

TEST_P(Mailbox, EveryRefusalSaysWhyWithItsStatus) {
    TestDirectoryServer server(serverOptions());
    const Messengers m = annBobAndCat(server);
    server.request("f.php", {{"u", "cat"}, {"f", "ann"}});
    const std::string ann = "/messenger/m.php?u=ann&t=" + server.token("ann");
    const std::string toBob = ann + "&to=bob&k=" + kKeyB + "&id=";
    const std::string badId = "Error: invalid line id\r\n",
                      notSealed = "Error: the line is not sealed text\r\n";
    const std::string tooLong = "Error: line longer than 64 KiB\r\n",
                      badAck = "Error: invalid ack or more than 100\r\n",
                      badWait = "Error: wait must be 0 to 20 seconds\r\n";
    struct {
        std::string target, body; // a body: POST
        int status;
        std::string reply, from = "127.0.0.1", headers = {};
    } cases[] = {
        {toBob + lineId(1), sealed(1), 200, kOk},
        {"/messenger/m.php?u=ann&to=bob&k=" + kKeyB + "&id=" + lineId(2), sealed(2), 403,
         "Error: log in again\r\n"},
        {toBob + lineId(2), sealed(2), 403, "Error: log in from this address first\r\n",
         "127.0.0.2"},
        {ann + "&to=nobody&k=" + kKeyB + "&id=" + lineId(2), sealed(2), 404,
         "Error: no such user\r\n"},
        {ann + "&to=cat&k=&id=" + lineId(2), sealed(2), 409, kCannotReceive},
        {ann + "&to=bob&k=" + kKeyC + "&id=" + lineId(2), sealed(2), 409, kCannotReceive},
        {"/messenger/m.php?u=bob&t=" + server.token("bob") + "&to=ann&k=" + kKeyA +
             "&id=" + lineId(2),
         sealed(2), 403, "Error: ann has not added you as a friend\r\n"},
        {toBob + "ABCDEF0123456789ABCDEF0123456789", sealed(2), 400, badId},
        {toBob + "abc", sealed(2), 400, badId},
        {toBob + lineId(2), "hello", 400, notSealed},
        {toBob + lineId(2), "sv1:", 400, notSealed},
        {toBob + lineId(2), "sv1:AAAA=", 400, notSealed},
        {toBob + lineId(2), "sv1:AB", 400, notSealed}, // bits left over
        {toBob + lineId(2), "sv1:A+/A", 400, notSealed},
        {toBob + lineId(2), sealed(2, 64 * 1024 + 4), 413, tooLong},
        // Refused before any of it arrives.
        {toBob + lineId(2), "", 413, tooLong, "127.0.0.1", "Content-Length: 10000000\r\n"},
        {ann + "&to=bob", "", 400, "Error: a fetch has no to or id\r\n"},
        {ann + "&id=" + lineId(1), "", 400, "Error: a fetch has no to or id\r\n"},
        {ann + acks(1, 102), "", 400, badAck},
        {ann + "&ack=" + lineId(1) + "x", "", 400, badAck},
        {ann + "&wait=21", "", 400, badWait},
        {ann + "&wait=-1", "", 400, badWait},
        {ann + "&wait=", "", 400, badWait},
        {"/messenger/m.php?u=ann&t=x", "", 403, "Error: log in again\r\n"},
    };
    for (const auto& c : cases) {
        const bool post = !c.body.empty() || !c.headers.empty();
        const HttpReply reply =
            httpGet(server.port(), c.target, c.from, c.headers, post ? "POST" : "GET", c.body);
        EXPECT_EQ(reply.status, c.status) << c.target;
        EXPECT_EQ(reply.body, c.reply) << c.target;
    }
    EXPECT_NE(httpGet(server.port(), ann, {}, {}, "HEAD").head.find("\r\nAllow: GET, POST\r\n"),
              std::string::npos);

    // 500 lines from one sender fill the recipient's mailbox for that sender; a line deposited
    // before is still taken.
    for (int id = 2; id <= 500; ++id)
        ASSERT_EQ(m.deposit("ann", "bob", id).body, kOk);
    const HttpReply full = m.deposit("ann", "bob", 501);
    EXPECT_EQ(full.status, 429);
    EXPECT_EQ(full.body, "Error: the mailbox of bob is full\r\n");
    EXPECT_EQ(m.deposit("ann", "bob", 500).body, kOk);
}

TEST_P(Mailbox, AHeldFetchWakesForALineAndANewerFetchEndsIt) {
    TestDirectoryServer server(serverOptions());
    const Messengers m = annBobAndCat(server);
    auto held = m.fetchLater("bob", "&wait=20");
    EXPECT_FALSE(ready(held, 500ms)); // the mailbox is empty
    ASSERT_EQ(m.deposit("ann", "bob", 1).body, kOk);
    ASSERT_TRUE(ready(held, 5s));
    EXPECT_EQ(held.get().body, lines("ann", {1}));

    auto older = m.fetchLater("bob", "&wait=20" + acks(1, 2));
    EXPECT_FALSE(ready(older, 500ms));
    auto newer = m.fetchLater("bob", "&wait=20");
    ASSERT_TRUE(ready(older, 5s));
    const HttpReply ended = older.get();
    EXPECT_EQ(ended.status, 200);
    EXPECT_EQ(ended.body, "");
    EXPECT_FALSE(ready(newer, 300ms));
    ASSERT_EQ(m.deposit("ann", "bob", 2).body, kOk);
    ASSERT_TRUE(ready(newer, 5s));
    EXPECT_EQ(newer.get().body, lines("ann", {2}));
    // When its wait is up, an empty mailbox answers empty.
    const HttpReply waited = m.fetch("bob", "&wait=1" + acks(2, 3));
    EXPECT_EQ(waited.status, 200);
    EXPECT_EQ(waited.body, "");

    // A fetch held for one computer takes no line sealed to the key of a login elsewhere since.
    auto stale = m.fetchLater("bob", "&wait=20");
    EXPECT_FALSE(ready(stale, 500ms));
    m.logIn("bob", kKeyC);
    ASSERT_EQ(m.deposit("ann", "bob", 3, {}, kKeyC).body, kOk);
    EXPECT_FALSE(ready(stale, 500ms));
    EXPECT_EQ(m.fetch("bob").body, lines("ann", {3}));
    ASSERT_TRUE(ready(stale, 5s));
    EXPECT_EQ(stale.get().body, "");
}

TEST_P(Mailbox, KillNineLosesNoLineAndNoAck) {
    TestDirectoryServer server(serverOptions());
    const Messengers m = annBobAndCat(server);
    for (int id : {1, 2, 3})
        ASSERT_EQ(m.deposit("ann", "bob", id).body, kOk);
    ASSERT_EQ(m.fetch("bob", acks(1, 2)).body, lines("ann", {2, 3}));
    server.kill9();
    server.restart();
    EXPECT_EQ(m.deposit("ann", "bob", 1).body, kOk);
    EXPECT_EQ(m.fetch("bob").body, lines("ann", {2, 3}));
}

TEST_P(Mailbox, LookupsSayMailboxForUsersWithAKeyWhoFetchedWithin90Seconds) {
    TestDirectoryServer server(serverOptions());
    const Messengers m = annBobAndCat(server);
    const std::string address = "127.0.0.1\r\n4000\r\n", bob = address + kKeyB + "\r\n";
    const auto lookUp = [&](const char* name) { return server.request("g.php", {{"u", name}}); };
    EXPECT_EQ(lookUp("bob"), bob);
    m.fetch("bob");
    m.fetch("cat");
    // Fetch times are written about once a second.
    for (const auto until = Clock::now() + 5s; lookUp("bob") == bob && Clock::now() < until;)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(lookUp("bob"), bob + "mailbox\r\n");
    EXPECT_EQ(lookUp("cat"), address);
    EXPECT_EQ(lookUp("ann"), address + kKeyA + "\r\n");

    // The time in the database decides, whichever server wrote it and whether it still runs.
    const auto moveFetchBy = [&](int seconds) {
        const std::string s = std::to_string(seconds);
        if (onPostgres()) {
            TestPostgres::query(server.databasePath(), "UPDATE users SET mailbox_seen = "
                                                       "mailbox_seen + interval '" +
                                                           s + " seconds' WHERE name = 'bob'");
            return;
        }
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(server.databasePath().c_str(), &db), SQLITE_OK);
        sqlite3_busy_timeout(db, 5000);
        EXPECT_EQ(sqlite3_exec(db,
                               ("UPDATE users SET mailbox_seen = mailbox_seen + " + s +
                                "000 WHERE name = 'bob'")
                                   .c_str(),
                               nullptr, nullptr, nullptr),
                  SQLITE_OK);
        sqlite3_close(db);
    };
    server.kill9();
    server.restart();
    moveFetchBy(-91);
    EXPECT_EQ(lookUp("bob"), bob);
    moveFetchBy(2);
    EXPECT_EQ(lookUp("bob"), bob + "mailbox\r\n");
}

TEST(MailboxConnections, HeldFetchesFromOneAddressLeaveItsOtherRequestsIn) {
    TestDirectoryServer::Options options;
    options.extraArgs = {"--max-connections-per-address", "4"};
    TestDirectoryServer server(options);
    const Messengers office{server, "127.0.0.7"};
    std::vector<std::future<HttpReply>> held;
    for (int i = 0; i < 12; ++i) {
        const std::string user = "user" + std::to_string(i);
        office.join(user, kKeyA);
        held.push_back(office.fetchLater(user, "&wait=20"));
        EXPECT_EQ(httpGet(server.port(), "/messenger/g.php?u=" + user, office.from).status, 200);
    }
    for (auto& fetch : held)
        EXPECT_FALSE(ready(fetch, 100ms));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(httpGet(server.port(), "/messenger/s.php?u=user", office.from).status, 200);
    server.stop(); // ends the held fetches
}

TEST(MailboxScaleOut, ADepositThroughOneServerWakesAFetchHeldOnTheOther) {
    std::string whyNot;
    TestPostgres* pg = TestPostgres::shared(&whyNot);
    if (!pg)
        GTEST_SKIP() << whyNot;
    const std::string database = pg->createDatabase();
    TestDirectoryServer::Options options;
    options.database = database;
    TestDirectoryServer first(options), second(options);
    const Messengers one = annBobAndCat(first), other{second, "127.0.0.1", &first};

    Clock::time_point answered;
    auto held = std::async(std::launch::async, [&] {
        HttpReply reply = one.fetch("bob", "&wait=20");
        answered = Clock::now();
        return reply;
    });
    EXPECT_FALSE(ready(held, 500ms));
    const auto deposited = Clock::now();
    ASSERT_EQ(other.deposit("ann", "bob", 1).body, kOk);
    ASSERT_TRUE(ready(held, 5s));
    EXPECT_EQ(held.get().body, lines("ann", {1}));
    EXPECT_LT(answered - deposited, 1s);

    // A newer fetch through the other server ends the held one.
    auto older = one.fetchLater("bob", "&wait=20" + acks(1, 2));
    EXPECT_FALSE(ready(older, 500ms));
    auto newer = other.fetchLater("bob", "&wait=20");
    ASSERT_TRUE(ready(older, 5s));
    EXPECT_EQ(older.get().body, "");
    EXPECT_FALSE(ready(newer, 300ms));
    ASSERT_EQ(one.deposit("ann", "bob", 2).body, kOk);
    ASSERT_TRUE(ready(newer, 5s));
    EXPECT_EQ(newer.get().body, lines("ann", {2}));
}

// The directory server as its clients see it: a real sorvane-directory
// process on a free loopback port with its own database, once on a SQLite
// file and once on a PostgreSQL database.

#include "backend_test.h"
#include "directory_server.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <sys/wait.h>

using sorvane::test::BackendTest;
using sorvane::test::httpGet;
using sorvane::test::percentEncode;
using sorvane::test::TestDirectoryServer;

namespace {

const std::string kWrongLogin = "Error: wrong user name or password\r\n";
const std::string kEmpty = "Error: user name and password must not be empty\r\n";
const std::string kTooLong = "Error: value longer than 256 bytes\r\n";
const std::string kBadChars = "Error: invalid characters\r\n";
const std::string kBadAddress = "Error: invalid address or port\r\n";
const std::string kUnknown = "Error: no such user\r\n";
const std::string kOrigin = "Error: log in from this address first\r\n";
const std::string kOk = "OK\r\n";

struct Step {
    std::string target; // after /messenger/, exactly as sent
    std::string body;
    int status;
};

// The value of key `u` in a target "x.php?u=...&...".
std::string userOf(const std::string& target) {
    size_t at = target.find("?u=");
    if (at == std::string::npos)
        return {};
    at += 3;
    return target.substr(at, target.find('&', at) - at);
}

// Sends each step, compares body and status. Login replies are compared
// without their token line (takeLoginToken), and the token goes on to that
// user's later f.php, d.php and e.php steps.
void runSteps(const TestDirectoryServer& server, const std::vector<Step>& steps,
              std::string_view source = {}) {
    std::map<std::string, std::string> tokens;
    for (const Step& step : steps) {
        std::string target = step.target;
        const std::string script = target.substr(0, 5);
        if (script == "f.php" || script == "d.php" || script == "e.php") {
            // A token from these steps, else one from the server's login().
            std::string user = userOf(target);
            std::string token = tokens.count(user) ? tokens[user] : server.token(user);
            if (token.empty() && user.find("%20") != std::string::npos)
                token = server.token(user.replace(user.find("%20"), 3, " "));
            if (!token.empty() && target.find("&t=") == std::string::npos)
                target += "&t=" + token;
        }
        auto reply = httpGet(server.port(), "/messenger/" + target, source);
        if (script == "c.php")
            if (std::string token = sorvane::test::takeLoginToken(reply.body); !token.empty())
                tokens[userOf(target)] = token;
        EXPECT_EQ(reply.body, step.body) << step.target;
        EXPECT_EQ(reply.status, step.status) << step.target;
    }
}

std::string fileBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

const std::string kEmptyProfile = "\r\n\r\n\r\n\r\n\r\n\r\n\r\n\r\n";

} // namespace

class DirectoryHttp : public BackendTest {};
SORVANE_ON_EVERY_BACKEND(DirectoryHttp);

TEST_P(DirectoryHttp, EveryScriptAnswersAndRefusesWithItsLines) {
    TestDirectoryServer server(serverOptions());
    runSteps(
        server,
        {
            // n.php
            {"n.php?u=ann&p=pw", kOk, 200},
            {"n.php?u=ann&p=other", "username exists\r\n", 409},
            {"n.php?u=ANN&p=other", "username exists\r\n", 409},
            {"n.php?u=&p=x", kEmpty, 400},
            {"n.php?u=carl", kEmpty, 400},
            {"n.php?u=a%23b&p=x", kBadChars, 400},
            {"n.php?u=a%0Ab&p=x", kBadChars, 400},
            {"n.php?u=%FF%FE&p=x", kBadChars, 400},
            {"n.php?u=bob&p=pw2", kOk, 200},
            {"n.php?u=cat&p=pw3", kOk, 200},
            // c.php refusals; g.php knows no address before the first login
            {"c.php?u=ann&p=wrong&ip=127.0.0.9&port=4000", kWrongLogin, 403},
            {"c.php?u=nobody&p=pw&ip=127.0.0.9&port=4000", kWrongLogin, 403},
            {"c.php?u=ann&p=&ip=127.0.0.9&port=4000", kWrongLogin, 403},
            {"c.php?u=ann&p=pw&ip=127.0.0.9&port=x1", kBadAddress, 400},
            {"c.php?u=ann&p=pw&ip=127.0.0.9&port=65536", kBadAddress, 400},
            {"c.php?u=ann&p=pw&ip=127.0.0.9", kBadAddress, 400},
            {"c.php?u=ann&p=pw&ip=1.2.3.256&port=1", kBadAddress, 400},
            {"c.php?u=ann&p=pw&ip=localhost&port=1", kBadAddress, 400},
            {"g.php?u=ann", "", 404},
            // c.php success, names case-insensitive, shown as registered
            {"c.php?u=ann&p=pw&ip=127.0.0.9&port=4000&random=17", kOk, 200},
            {"g.php?u=ann", "127.0.0.9\r\n4000\r\n", 200},
            {"g.php?u=ANN&random=3", "127.0.0.9\r\n4000\r\n", 200},
            {"g.php?u=nobody", "", 404},
            {"g.php?u=", "", 404},
            // f.php / d.php and the friend line, in the order added
            {"f.php?u=ann&f=bob", kOk, 200},
            {"f.php?u=ann&f=bob", kOk, 200},
            {"f.php?u=ann&f=CAT", kOk, 200},
            {"f.php?u=ann&f=nobody", kUnknown, 404},
            {"f.php?u=bob&f=ann", kOrigin, 403},
            {"f.php?u=nobody&f=ann", kOrigin, 403},
            {"c.php?u=ann&p=pw&ip=127.0.0.9&port=4001", "OK\r\n#bob#cat\r\n", 200},
            {"d.php?u=ann&f=bob", kOk, 200},
            {"d.php?u=ann&f=bob", kOk, 200},
            {"d.php?u=ann&f=nobody", kUnknown, 404},
            {"c.php?u=ann&p=pw&ip=127.0.0.9&port=4001", "OK\r\n#cat\r\n", 200},
            {"f.php?u=ann&f=bob", kOk, 200},
            {"c.php?u=ann&p=pw&ip=127.0.0.9&port=4001", "OK\r\n#cat#bob\r\n", 200},
            // v.php / e.php
            {"v.php?u=ann&random=5", "ann\r\n" + kEmptyProfile, 200},
            {"e.php?u=ann&n=Ann&s=Lee&g=f&d=1&m=2&y=1990&ci=Oslo&co=Norway&random=9", kOk, 200},
            {"v.php?u=ANN", "ann\r\nAnn\r\nLee\r\nf\r\n1\r\n2\r\n1990\r\nOslo\r\nNorway\r\n", 200},
            {"e.php?u=ann&n=Ann&co=Norway", kOk, 200},
            {"v.php?u=ann", "ann\r\nAnn\r\n\r\n\r\n\r\n\r\n\r\n\r\nNorway\r\n", 200},
            {"e.php?u=bob&n=Bob", kOrigin, 403},
            {"v.php?u=bob", "bob\r\n" + kEmptyProfile, 200},
            {"v.php?u=nobody", "", 404},
            // s.php: oldest account first, case-insensitive, empty text finds nobody
            {"s.php?u=", "", 200},
            {"s.php?u=A", "ann\r\ncat\r\n", 200},
            {"s.php?u=NN", "ann\r\n", 200},
            {"s.php?u=bo", "bob\r\n", 200},
            {"s.php?u=xyz", "", 200},
            // anything else
            {"x.php?u=ann", "", 404},
            {"c.php/x?u=ann", "", 404},
        });
    EXPECT_EQ(httpGet(server.port(), "/other/g.php?u=ann").status, 404);
}

TEST_P(DirectoryHttp, LoginRegistersSentOrObservedAddress) {
    {
        TestDirectoryServer server(serverOptions());
        runSteps(server,
                 {{"n.php?u=ann&p=pw", kOk, 200},
                  {"c.php?u=ann&p=pw&ip=&port=4000", kOk, 200},
                  {"g.php?u=ann", "127.0.0.2\r\n4000\r\n", 200}},
                 "127.0.0.2");
    }
    TestDirectoryServer::Options options;
    options.observedAddress = true;
    TestDirectoryServer server(serverOptions(options));
    runSteps(server,
             {{"n.php?u=ann&p=pw", kOk, 200},
              {"c.php?u=ann&p=pw&ip=192.0.2.7&port=4000", kOk, 200},
              {"g.php?u=ann", "127.0.0.3\r\n4000\r\n", 200}},
             "127.0.0.3");
}

TEST_P(DirectoryHttp, GuessersArePausedButNeverAtTheOwnersLastLoginAddress) {
    TestDirectoryServer::Options options;
    options.extraArgs = {"--account-failure-limit", "8"};
    TestDirectoryServer server(serverOptions(options));
    server.registerUser("ann", "pw");
    server.registerUser("bob", "pw");
    const auto login = [&](const std::string& who, const std::string& from) {
        return httpGet(server.port(), "/messenger/c.php?u=" + who + "&ip=127.0.0.1&port=1",
                       "127.0.0." + from)
            .status;
    };
    EXPECT_EQ(login("ann&p=pw", "2"), 200);
    // Five wrong passwords from one address pause ann from there.
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(login("ann&p=guess", "5"), 403);
    EXPECT_EQ(login("ann&p=pw", "5"), 429);
    EXPECT_EQ(login("ann&p=pw", "2"), 200);
    // Three more from elsewhere reach ann's ceiling (8 here): ann is paused from everywhere but
    // the address of her last login.
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(login("ann&p=guess", std::to_string(10 + i)), 403);
    EXPECT_EQ(login("ann&p=pw", "20"), 429);
    EXPECT_EQ(login("ann&p=pw", "2"), 200);
    EXPECT_EQ(login("bob&p=pw", "20"), 200);
}

TEST_P(DirectoryHttp, OnlyGetLogsInAndTheIdentityKeyIsTheLookupsThirdLine) {
    TestDirectoryServer server(serverOptions());
    ASSERT_EQ(server.registerUser("ann", "pw"), kOk);
    // The public key of RFC 8032's first test vector.
    const std::string key = "11qYAYKxCrfVS_7TyWQHOg7hcvPapiMlrwIaaPcHURo";
    const std::string address = "127.0.0.9\r\n4000\r\n";
    const auto loginWith = [&](const std::string& k) {
        auto reply =
            httpGet(server.port(), "/messenger/c.php?u=ann&p=pw&ip=127.0.0.9&port=4000" + k);
        EXPECT_FALSE(sorvane::test::takeLoginToken(reply.body).empty());
        EXPECT_EQ(reply.body, kOk) << k;
        return server.request("g.php", {{"u", "ann"}});
    };
    EXPECT_EQ(loginWith("&k=" + key), address + key + "\r\n");
    EXPECT_EQ(loginWith(""), address);
    EXPECT_EQ(loginWith("&k=" + key), address + key + "\r\n");
    // Other methods run nothing: no login without the key, no new user.
    for (const char* method : {"HEAD", "POST"})
        for (const char* target : {"c.php?u=ann&p=pw&ip=127.0.0.9&port=4000", "n.php?u=new&p=pw"}) {
            const auto reply =
                httpGet(server.port(), std::string("/messenger/") + target, {}, {}, method);
            EXPECT_EQ(reply.status, 405) << method << target;
            EXPECT_NE(reply.head.find("\r\nAllow: GET\r\n"), std::string::npos) << reply.head;
        }
    EXPECT_EQ(server.request("g.php", {{"u", "ann"}}), address + key + "\r\n");
    EXPECT_EQ(server.request("s.php", {{"u", "new"}}), "");
    // Anything else clears the key too and is logged (43 A's are no point to seal lines to).
    const std::string start = key.substr(0, 42);
    for (const std::string& bad :
         {start, key + "A", start + "%3D", start + "p", "%2B" + key.substr(1), std::string(43, 'A'),
          std::string(300, 'A'), start + "%0A", std::string()})
        EXPECT_EQ(loginWith("&k=" + bad), address) << bad;
    EXPECT_NE(server.logText().find("(k is no identity key, none stored)"), std::string::npos);
}

TEST_P(DirectoryHttp, ChangesAreAcceptedOnlyFromTheLastLoginAddress) {
    TestDirectoryServer server(serverOptions());
    server.registerUser("bob", "pw");
    server.registerAndLogin("ann", "pw"); // from 127.0.0.1
    const std::string firstToken = "&t=" + server.token("ann");
    const std::vector<std::string> mutations = {"f.php?u=ann&f=bob", "d.php?u=ann&f=bob",
                                                "e.php?u=ann&n=Mallory"};
    for (const std::string& m : mutations) {
        SCOPED_TRACE(m);
        EXPECT_EQ(httpGet(server.port(), "/messenger/" + m + firstToken, "127.0.0.2").body,
                  kOrigin);
        EXPECT_EQ(httpGet(server.port(), "/messenger/" + m + firstToken, "127.0.0.1").body, kOk);
    }
    // A login from elsewhere moves the right along with it, with a new token.
    std::string login =
        httpGet(server.port(), "/messenger/c.php?u=ann&p=pw&ip=127.0.0.2&port=1", "127.0.0.2").body;
    const std::string secondToken = "&t=" + sorvane::test::takeLoginToken(login);
    EXPECT_EQ(login, kOk);
    for (const std::string& m : mutations) {
        SCOPED_TRACE(m);
        EXPECT_EQ(httpGet(server.port(), "/messenger/" + m + secondToken, "127.0.0.1").body,
                  kOrigin);
        EXPECT_EQ(httpGet(server.port(), "/messenger/" + m + firstToken, "127.0.0.2").body,
                  "Error: log in again\r\n");
        EXPECT_EQ(httpGet(server.port(), "/messenger/" + m + secondToken, "127.0.0.2").body, kOk);
    }
    EXPECT_EQ(server.request("v.php", {{"u", "ann"}}),
              "ann\r\nMallory\r\n" + kEmptyProfile.substr(2));
}

TEST_P(DirectoryHttp, ValuesOfUpTo256BytesAreAccepted) {
    TestDirectoryServer server(serverOptions());
    const std::string name256(256, 'n'), name257(257, 'n');
    std::string umlauts; // 256 bytes, three times as long on the wire
    for (int i = 0; i < 128; ++i)
        umlauts += "\xC3\xBC";

    EXPECT_EQ(server.registerUser(name257, "pw"), kTooLong);
    EXPECT_EQ(server.registerUser("ann", std::string(257, 'p')), kTooLong);
    EXPECT_EQ(server.registerUser(name256, std::string(256, 'p')), kOk);
    EXPECT_EQ(server.login(name256, std::string(256, 'p')), kOk);
    EXPECT_EQ(server.request("e.php", {{"u", name256}, {"ci", umlauts}}), kOk);
    EXPECT_EQ(server.request("e.php", {{"u", name256}, {"ci", umlauts + "x"}}), kTooLong);
    EXPECT_EQ(server.request("e.php", {{"u", name256}, {"unknown", name257}}), kTooLong);
    EXPECT_EQ(server.request("v.php", {{"u", name256}}),
              name256 + "\r\n\r\n\r\n\r\n\r\n\r\n\r\n" + umlauts + "\r\n\r\n");
    EXPECT_EQ(server.request("s.php", {{"u", name256}}), name256 + "\r\n");
    for (const char* script : {"g.php", "s.php", "v.php"}) {
        auto reply = server.requestReply(script, {{"u", name257}});
        EXPECT_EQ(reply.status, 400) << script;
        EXPECT_EQ(reply.body, "") << script;
    }
}

TEST_P(DirectoryHttp, QueryValuesArePercentDecoded) {
    TestDirectoryServer server(serverOptions());
    const std::string password = "p&p=1#x%25 +\xC3\xA9";
    const std::string city = "S\xC3\xA3o Paulo & Co=1 #2 100% a+b";
    EXPECT_EQ(server.registerUser("ann b", password), kOk);
    EXPECT_EQ(server.login("ann b", password), kOk);
    EXPECT_EQ(server.request("e.php", {{"u", "ann b"}, {"ci", city}}), kOk);
    EXPECT_EQ(server.request("v.php", {{"u", "ann b"}}),
              "ann b\r\n\r\n\r\n\r\n\r\n\r\n\r\n" + city + "\r\n\r\n");
    runSteps(server,
             {
                 // '+' is a plus, not a blank; lower-case escapes and stray '%' are fine
                 {"s.php?u=ann+b", "", 200},
                 {"s.php?u=ann%20b", "ann b\r\n", 200},
                 {"e.php?u=ann%20b&n=a+b%2bc&s=%c3%a9&g=50%&d=%zz", kOk, 200},
                 {"v.php?u=ann%20b", "ann b\r\na+b+c\r\n\xC3\xA9\r\n50%\r\n%zz\r\n\r\n\r\n\r\n\r\n",
                  200},
                 // key names are decoded too, and the first of a repeated key counts
                 {"e.php?%75=ann%20b&n=first&n=second&t=" + server.token("ann b"), kOk, 200},
                 {"v.php?u=ann%20b", "ann b\r\nfirst\r\n" + kEmptyProfile.substr(2), 200},
             });
}

TEST_P(DirectoryHttp, SqlAndSearchSyntaxInValuesIsPlainText) {
    // Ten wrong passwords from one address in a row: without the guessing pause here.
    TestDirectoryServer::Options options;
    options.extraArgs = {"--login-failure-limit", "0"};
    TestDirectoryServer server(serverOptions(options));
    const std::vector<std::string> names = {"o'brien",      "x'; DROP TABLE users; --",
                                            "\" OR 1=1 --", "100%_off",
                                            "back\\slash",  "near(a b)",
                                            "star*",        "\"quoted\"",
                                            "a AND b",      "semi;colon"};
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        ASSERT_EQ(server.registerUser(name, name), kOk);
        EXPECT_EQ(server.login(name, "' OR '1'='1"), kWrongLogin);
        EXPECT_EQ(server.login(name, name), kOk);
        EXPECT_EQ(server.request("e.php", {{"u", name}, {"n", name}}), kOk);
        EXPECT_EQ(server.request("v.php", {{"u", name}}).substr(0, name.size() * 2 + 4),
                  name + "\r\n" + name + "\r\n");
        EXPECT_EQ(server.request("s.php", {{"u", name}}), name + "\r\n");
    }
    struct {
        const char* text;
        std::string found;
    } searches[] = {
        {"%", "100%_off\r\n"},
        {"_", "100%_off\r\n"},
        {"%_", "100%_off\r\n"},
        {"*", "star*\r\n"},
        {"r*", "star*\r\n"},
        {"\"", "\" OR 1=1 --\r\n\"quoted\"\r\n"},
        {"\"q", "\"quoted\"\r\n"},
        {"ed\"", "\"quoted\"\r\n"},
        {"; --", "x'; DROP TABLE users; --\r\n"},
        {"'", "o'brien\r\nx'; DROP TABLE users; --\r\n"},
        {" or ", "\" OR 1=1 --\r\n"},
        {"AND", "a AND b\r\n"},
        {"(a", "near(a b)\r\n"},
        {"\\", "back\\slash\r\n"},
    };
    for (const auto& s : searches)
        EXPECT_EQ(server.request("s.php", {{"u", s.text}}), s.found) << s.text;
    EXPECT_EQ(server.registerUser("fresh", "pw"), kOk); // the tables are still there
}

TEST_P(DirectoryHttp, SearchFindsSubstringsCaseInsensitivelyAtMost100OldestFirst) {
    TestDirectoryServer server(serverOptions());
    std::vector<std::string> names;
    for (int i = 0; i < 130; ++i) {
        // Registration order differs from name order.
        names.push_back((i % 2 ? "User" : "user") + std::to_string(1000 + (i * 37) % 130) +
                        (i % 3 ? "@Mail.example" : "@x.example"));
        ASSERT_EQ(server.registerUser(names.back(), "pw"), kOk);
    }
    // Holds every three-character piece of "abcdef" but not the text itself.
    names.push_back("abcd.cdef@x.example");
    ASSERT_EQ(server.registerUser(names.back(), "pw"), kOk);
    auto lower = [](std::string s) {
        std::transform(s.begin(), s.end(), s.begin(),
                       [](unsigned char c) { return std::tolower(c); });
        return s;
    };
    // Texts below three characters take another path than longer ones; both
    // must agree with a plain substring test.
    for (const char* text :
         {"u", "1", "E1", "11", "02", "r10", "USER", "@MAIL", "1129@m", "x.ex", "zz",
          "mail.examplex", "1000@mail", "ple.x", "a.example", "13@", "e@", "abcdef", "cd.c"}) {
        std::string expected;
        int count = 0;
        for (const auto& n : names)
            if (count < 100 && lower(n).find(lower(text)) != std::string::npos) {
                expected += n + "\r\n";
                ++count;
            }
        EXPECT_EQ(server.request("s.php", {{"u", text}}), expected) << text;
    }
}

TEST_P(DirectoryHttp, PasswordsAreStoredHashedAndLoggedMasked) {
    TestDirectoryServer server(serverOptions());
    const std::string password = "Tr0ub4dor&3-clear-text";
    server.registerAndLogin("ann", password);
    server.login("ann", "wrong-guess-in-the-log");
    const std::string db =
        onPostgres() ? postgres().query(server.databasePath(), "SELECT u::text FROM users u")
                     : fileBytes(server.databasePath()) + fileBytes(server.databasePath() + "-wal");
    EXPECT_EQ(db.find("Tr0ub4dor"), std::string::npos);
    EXPECT_NE(db.find("$y$"), std::string::npos);

    const std::string log = server.logText();
    EXPECT_EQ(log.find("Tr0ub4dor"), std::string::npos);
    EXPECT_EQ(log.find("wrong-guess"), std::string::npos);
    EXPECT_NE(log.find("/messenger/n.php?u=ann&p=*** 200"), std::string::npos) << log;
    EXPECT_NE(log.find("/messenger/c.php?u=ann&p=***&ip=127.0.0.1&port=0 403"), std::string::npos)
        << log;
}

TEST_P(DirectoryHttp, ManyConcurrentClientsKeepTheirData) {
    TestDirectoryServer server(serverOptions());
    constexpr int kClients = 24, kRounds = 8;
    server.registerAndLogin("hub", "pw");
    std::atomic<int> wrong{0}, created{0};
    std::vector<std::thread> clients;
    for (int c = 0; c < kClients; ++c) {
        clients.emplace_back([&, c] {
            const std::string me = "client" + std::to_string(c);
            if (server.registerUser(me, "pw") != kOk)
                ++wrong;
            if (server.login(me, "pw", "127.0.0.1", 5000 + c) != kOk)
                ++wrong;
            if (server.registerUser("contested", "pw") == kOk)
                ++created;
            for (int r = 0; r < kRounds; ++r) {
                const std::string other = "client" + std::to_string((c + r + 1) % kClients);
                std::string reply = server.request("f.php", {{"u", me}, {"f", other}});
                if (reply != kOk && reply != kUnknown)
                    ++wrong; // the other may not exist yet
                if (server.request("e.php", {{"u", me}, {"n", me + "#" + std::to_string(r)}}) !=
                    kOk)
                    ++wrong;
                if (server.request("f.php", {{"u", me}, {"f", "hub"}}) != kOk)
                    ++wrong;
                if (server.request("g.php", {{"u", "hub"}}) != "127.0.0.1\r\n0\r\n")
                    ++wrong;
                server.request("s.php", {{"u", "client"}});
            }
        });
    }
    for (auto& t : clients)
        t.join();
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(created, 1);
    EXPECT_EQ(server.request("s.php", {{"u", "client"}}).size() > 0, true);
    for (int c = 0; c < kClients; ++c) {
        const std::string me = "client" + std::to_string(c);
        EXPECT_EQ(server.request("g.php", {{"u", me}}),
                  "127.0.0.1\r\n" + std::to_string(5000 + c) + "\r\n");
        EXPECT_EQ(server.request("v.php", {{"u", me}}).substr(0, 2 * me.size() + 6),
                  me + "\r\n" + me + "#" + std::to_string(kRounds - 1) + "\r\n");
        EXPECT_NE(server.login(me, "pw").find("#hub"), std::string::npos);
    }
}

TEST_P(DirectoryHttp, KillNineAfterOkLosesNothing) {
    TestDirectoryServer server(serverOptions());
    server.registerAndLogin("ann", "pw", "127.0.0.5", 4100);
    for (int i = 0; i < 20; ++i) {
        const std::string friendName = "friend" + std::to_string(i);
        ASSERT_EQ(server.registerUser(friendName, "pw"), kOk);
        ASSERT_EQ(server.request("f.php", {{"u", "ann"}, {"f", friendName}}), kOk);
    }
    ASSERT_EQ(server.request("d.php", {{"u", "ann"}, {"f", "friend3"}}), kOk);
    ASSERT_EQ(server.request("e.php", {{"u", "ann"}, {"n", "Ann"}, {"co", "Chile"}}), kOk);
    server.kill9();
    server.restart();

    std::string friends = "OK\r\n";
    for (int i = 0; i < 20; ++i)
        if (i != 3)
            friends += "#friend" + std::to_string(i);
    EXPECT_EQ(server.request("g.php", {{"u", "ann"}}), "127.0.0.5\r\n4100\r\n");
    EXPECT_EQ(server.request("v.php", {{"u", "ann"}}),
              "ann\r\nAnn\r\n\r\n\r\n\r\n\r\n\r\n\r\nChile\r\n");
    EXPECT_EQ(server.request("s.php", {{"u", "friend19"}}), "friend19\r\n");
    EXPECT_EQ(server.login("ann", "pw", "127.0.0.5", 4100), friends + "\r\n");
    EXPECT_EQ(server.request("f.php", {{"u", "ann"}, {"f", "friend3"}}),
              kOk); // login origin kept too
}

TEST_P(DirectoryHttp, ASecondServerCannotTakeAPortInUse) {
    TestDirectoryServer first(serverOptions());
    // On PostgreSQL the second server may share the first one's database: the port stops it.
    const std::string db =
        onPostgres() ? "'" + first.databasePath() + "'" : first.databasePath() + "-second";
    const std::string command = "timeout 5 " SORVANE_DIRECTORY_EXE " --hash-cost 1 --db " + db +
                                " --listen 127.0.0.1:" + std::to_string(first.port()) + " 2>&1";
    FILE* second = ::popen(command.c_str(), "r");
    ASSERT_NE(second, nullptr);
    std::string output;
    char buf[256];
    while (size_t n = std::fread(buf, 1, sizeof buf, second))
        output.append(buf, n);
    int status = ::pclose(second);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << output;
    EXPECT_NE(output.find("cannot listen on 127.0.0.1:" + std::to_string(first.port())),
              std::string::npos)
        << output;
    EXPECT_EQ(first.registerUser("ann", "pw"), kOk);
}

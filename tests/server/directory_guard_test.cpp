// What keeps the directory's users safe from each other, against a real
// sorvane-directory: the login token that changes need, the names that may be
// registered, the per-address limits, the login address and the file modes.

#include "directory_server.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using sorvane::test::httpGet;
using sorvane::test::percentEncode;
using sorvane::test::takeLoginToken;
using sorvane::test::TestDirectoryServer;

namespace {

const std::string kOk = "OK\r\n";
const std::string kLogInAgain = "Error: log in again\r\n";
const std::string kOrigin = "Error: log in from this address first\r\n";
const std::string kNotAllowed = "Error: this name is not allowed\r\n";
const std::string kExists = "username exists\r\n";

// c.php from `from` with ip = `from`; the whole reply.
sorvane::test::HttpReply logIn(const TestDirectoryServer& server, const std::string& name,
                               const std::string& from = "127.0.0.1") {
    return httpGet(server.port(),
                   "/messenger/c.php?u=" + percentEncode(name) + "&p=pw&ip=" + from + "&port=4000",
                   from);
}

std::string get(const TestDirectoryServer& server, const std::string& target,
                const std::string& from = "127.0.0.1") {
    return httpGet(server.port(), "/messenger/" + target, from).body;
}

} // namespace

TEST(DirectoryToken, ChangesNeedTheTokenOfTheUsersLastLogin) {
    TestDirectoryServer server;
    for (const char* name : {"ann@x.org", "bob@x.org"})
        ASSERT_EQ(server.registerUser(name, "pw"), kOk);

    // The third line of a login: 128 random bits as URL-safe text; the
    // friend line before it is there even when empty.
    std::string body = logIn(server, "ann@x.org").body;
    ASSERT_EQ(body.substr(0, 6), "OK\r\n\r\n");
    const std::string first = takeLoginToken(body);
    EXPECT_EQ(first.size(), 22u);
    EXPECT_EQ(
        first.find_first_not_of("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_"),
        std::string::npos);
    std::string bobs = logIn(server, "bob@x.org").body;
    const std::string bobToken = takeLoginToken(bobs);

    // The attack as it was: a plain GET from the user's own address.
    EXPECT_EQ(get(server, "e.php?u=ann@x.org&n=PWNED"), kLogInAgain);
    const std::vector<std::string> changes = {"f.php?u=ann@x.org&f=bob@x.org",
                                              "d.php?u=ann@x.org&f=bob@x.org",
                                              "e.php?u=ann@x.org&n=Ann&random=12"};
    for (const std::string& change : changes) {
        SCOPED_TRACE(change);
        for (const std::string& wrong :
             {std::string(), std::string("&t="), "&t=" + first.substr(1), "&t=" + bobToken,
              "&t=" + first + "x", "&t=" + first.substr(0, 21) + (first[21] == 'A' ? "B" : "A")})
            EXPECT_EQ(httpGet(server.port(), "/messenger/" + change + wrong).status, 403) << wrong;
        EXPECT_EQ(get(server, change + "&t=" + first), kOk);
        // The right token from another address is still another address.
        EXPECT_EQ(get(server, change + "&t=" + first, "127.0.0.2"), kOrigin);
    }
    EXPECT_EQ(server.request("v.php", {{"u", "ann@x.org"}}).substr(0, 16), "ann@x.org\r\nAnn\r\n");

    // A later login replaces the token; the old one is refused from then on.
    body = logIn(server, "ann@x.org").body;
    const std::string second = takeLoginToken(body);
    EXPECT_NE(second, first);
    EXPECT_EQ(get(server, changes[0] + "&t=" + first), kLogInAgain);
    EXPECT_EQ(get(server, changes[0] + "&t=" + second), kOk);
    // A failed login does not.
    EXPECT_EQ(get(server, "c.php?u=ann@x.org&p=wrong&ip=127.0.0.1&port=1").substr(0, 6), "Error:");
    EXPECT_EQ(get(server, changes[1] + "&t=" + second), kOk);

    // Only the token's hash is stored, and the log masks it like a password.
    std::ostringstream db;
    for (const char* suffix : {"", "-wal"})
        db << std::ifstream(server.databasePath() + suffix, std::ios::binary).rdbuf();
    EXPECT_EQ(db.str().find(second), std::string::npos);
    const std::string log = server.logText();
    EXPECT_EQ(log.find(second), std::string::npos);
    EXPECT_NE(log.find("f.php?u=ann%40x.org&f=bob%40x.org&t=*** 200"), std::string::npos) << log;
}

TEST(DirectoryToken, AddressOnlyChangesAreAnOptionForOlderMessengers) {
    TestDirectoryServer::Options options;
    options.extraArgs = {"--allow-address-only-changes"};
    TestDirectoryServer server(options);
    ASSERT_EQ(server.registerUser("ann@x.org", "pw"), kOk);
    EXPECT_EQ(get(server, "e.php?u=ann@x.org&n=Ann"), kOrigin); // never logged in
    std::string body = logIn(server, "ann@x.org").body;
    const std::string token = takeLoginToken(body);
    EXPECT_FALSE(token.empty()); // newer messengers still get one
    EXPECT_EQ(get(server, "e.php?u=ann@x.org&n=Ann"), kOk);
    EXPECT_EQ(get(server, "e.php?u=ann@x.org&n=Ann&t=" + token), kOk);
    EXPECT_EQ(get(server, "e.php?u=ann@x.org&n=Ann", "127.0.0.2"), kOrigin);
}

TEST(DirectoryNames, InvisibleMixedAndLookAlikeNamesAreRefused) {
    TestDirectoryServer server;
    for (const char* name : {"bob@x.org", "poe@x.org", "mail@x.org"})
        ASSERT_EQ(server.registerUser(name, "pw"), kOk);
    struct {
        const char* what;
        std::string name;
        const std::string& reply;
    } cases[] = {
        {"right-to-left override", "\u202Egro.x@bob", kNotAllowed},
        {"zero-width space", "b\u200Bob2@x.org", kNotAllowed},
        {"byte order mark", "\uFEFFbob2@x.org", kNotAllowed},
        {"no-break space", "bob\u00A0two@x.org", kNotAllowed},
        {"line separator", "bob\u2028two@x.org", kNotAllowed},
        {"leading blank", " carl@x.org", kNotAllowed},
        {"trailing blank", "carl@x.org ", kNotAllowed},
        {"private use", "carl\uE000@x.org", kNotAllowed},
        {"decomposed (NFD)", "jose\u0301@x.org", kNotAllowed},
        {"Cyrillic o among Latin", "b\u043Eb2@x.org", kNotAllowed},
        {"Greek alpha among Latin", "\u03B1nn@x.org", kNotAllowed},
        {"full-width look-alike", "\uFF42\uFF4F\uFF42@x.org", kExists},
        {"all-Cyrillic look-alike", "\u0440\u043E\u0435@x.org", kExists},
        {"digit look-alike", "b0b@x.org", kExists},
        {"letter pair look-alike", "rnail@x.org", kExists},
        {"other case", "BOB@X.ORG", kExists},
        {"plain", "carl@x.org", kOk},
        {"blank inside", "carl smith", kOk},
        {"composed (NFC)", "jos\u00E9@x.org", kOk},
        {"its capital", "JOS\u00C9@x.org", kExists},
        {"Cyrillic", "\u0438\u0432\u0430\u043D@\u043F\u043E\u0447\u0442\u0430.\u0440\u0444", kOk},
        {"Cyrillic at a Latin domain", "\u0438\u0432\u0430\u043D@x.org", kOk},
        {"Greek", "\u03B1\u03BB\u03AD\u03BE\u03B7\u03C2@x.org", kOk},
        {"Japanese", "\u5C71\u7530\u592A\u90CE@example.jp", kOk},
    };
    for (const auto& c : cases)
        EXPECT_EQ(server.registerUser(c.name, "pw"), c.reply) << c.what;
    // Nothing refused became an account.
    EXPECT_EQ(server.request("s.php", {{"u", "bob"}}), "bob@x.org\r\n");
    EXPECT_EQ(server.request("s.php", {{"u", "@x.org"}}).find("\u202E"), std::string::npos);
}

TEST(DirectoryLimits, SearchesAndNewUsersFromOneAddressAreRationed) {
    TestDirectoryServer::Options options;
    // One search a second (a burst of 20 at once), three new users an hour.
    options.rationed = true;
    options.extraArgs = {"--search-rate", "1,20", "--register-rate", "3"};
    TestDirectoryServer server(options);
    const std::string tooManySearches = "Error: too many searches, try again later\r\n";
    int answered = 0;
    for (int i = 0; i < 30; ++i) {
        auto reply = httpGet(server.port(), "/messenger/s.php?u=a", "127.0.0.2");
        if (reply.status == 200)
            ++answered;
        else
            EXPECT_EQ(reply.body, tooManySearches);
    }
    EXPECT_GE(answered, 20);
    EXPECT_LE(answered, 22); // the burst, and what refilled meanwhile
    // Another address has its own allowance, and lookups are not rationed.
    EXPECT_EQ(httpGet(server.port(), "/messenger/s.php?u=a", "127.0.0.3").status, 200);
    for (int i = 0; i < 50; ++i)
        ASSERT_EQ(httpGet(server.port(), "/messenger/g.php?u=x", "127.0.0.2").status, 404);

    const std::string tooManyUsers =
        "Error: too many new users from this address, try again later\r\n";
    const std::vector<std::pair<std::string, std::string>> registrations = {
        {"u1", kOk}, {"u1", kExists}, {"u2", kOk}, {"u3", tooManyUsers}, {"u4", tooManyUsers}};
    for (const auto& [name, reply] : registrations)
        EXPECT_EQ(get(server, "n.php?u=" + name + "&p=pw", "127.0.0.4"), reply) << name;
    EXPECT_EQ(httpGet(server.port(), "/messenger/n.php?u=u3&p=pw", "127.0.0.4").status, 429);
    EXPECT_EQ(get(server, "n.php?u=u3&p=pw", "127.0.0.5"), kOk);
}

TEST(DirectoryLimits, AnIpv6ClientIsLimitedAsItsWhole64AndStoredAtTheIpv4ItSent) {
    TestDirectoryServer::Options options;
    options.rationed = options.observedAddress = true;
    options.extraArgs = {"--trusted-proxy", "127.0.0.1", "--search-rate", "1,3",
                         "--register-rate", "2"};
    TestDirectoryServer server(options);
    ASSERT_EQ(server.registerUser("ann", "pw"), kOk);
    // Through the proxy; a client ending in "::" takes another address of its /64 each time.
    int host = 0;
    const auto status = [&](std::string client, const std::string& target) {
        client += client.back() == ':' ? std::to_string(++host) : "";
        return httpGet(server.port(), "/messenger/" + target, {},
                       "X-Forwarded-For: " + client + "\r\n")
            .status;
    };
    // Three searches, two new users, five guesses: the next one is refused.
    for (const auto& [target, allowed] :
         {std::pair{"s.php?u=a", 3}, {"n.php?u=c&p=pw", 2}, {"c.php?u=ann&p=guess&port=1", 5}})
        for (int i = 0; i <= allowed; ++i)
            EXPECT_EQ(status("2001:db8:1:2::", target) == 429, i == allowed) << target << i;
    // Another /64 is not, and is stored at the IPv4 address its messenger sent.
    EXPECT_EQ(status("2001:db8:1:3::1", "c.php?u=ann&p=pw&ip=192.0.2.1&port=1"), 200);
    EXPECT_EQ(get(server, "g.php?u=ann"), "192.0.2.1\r\n1\r\n");
    EXPECT_NE(server.logText().find("2001:db8:1:3::1, stored the ip sent"), std::string::npos);
}

TEST(DirectoryLimits, LoginRefusesAnAddressNoHostCanHave) {
    TestDirectoryServer server;
    ASSERT_EQ(server.registerUser("ann", "pw"), kOk);
    const std::string bad = "Error: invalid address or port\r\n";
    for (const char* ip : {"0.0.0.0", "0.1.2.3", "224.0.0.1", "239.255.255.250", "240.0.0.1",
                           "255.255.255.255", "1.2.3", "::1", "1.2.3.4 "})
        EXPECT_EQ(get(server, "c.php?u=ann&p=pw&port=4000&ip=" + percentEncode(ip)), bad) << ip;
    for (const char* ip : {"127.0.0.9", "10.1.2.3", "192.168.0.255", "223.255.255.254"}) {
        EXPECT_EQ(get(server, "c.php?u=ann&p=pw&port=4000&ip=" + std::string(ip)).substr(0, 4),
                  "OK\r\n")
            << ip;
        EXPECT_EQ(get(server, "g.php?u=ann"), std::string(ip) + "\r\n4000\r\n");
    }
    // With --observed-address the sent ip is not looked at.
    TestDirectoryServer::Options options;
    options.observedAddress = true;
    TestDirectoryServer observed(options);
    ASSERT_EQ(observed.registerUser("ann", "pw"), kOk);
    EXPECT_EQ(get(observed, "c.php?u=ann&p=pw&port=4000&ip=0.0.0.0", "127.0.0.7").substr(0, 4),
              "OK\r\n");
    EXPECT_EQ(get(observed, "g.php?u=ann"), "127.0.0.7\r\n4000\r\n");
}

TEST(DirectoryFiles, DatabaseAndItsFoldersAreTheServersAloneWhateverTheUmask) {
    const std::string base =
        (std::filesystem::temp_directory_path() / ("sorvane-modes-" + std::to_string(::getpid())))
            .string();
    const std::string db = base + "/new/folder/directory.db";
    const mode_t before = ::umask(0);
    {
        TestDirectoryServer::Options options;
        options.extraArgs = {"--db", db}; // the later --db wins
        TestDirectoryServer server(options);
        ::umask(before);
        ASSERT_EQ(server.registerUser("ann", "pw"), kOk);
        auto mode = [](const std::string& path) {
            struct stat st {};
            return ::stat(path.c_str(), &st) == 0 ? static_cast<int>(st.st_mode & 07777) : -1;
        };
        EXPECT_EQ(mode(base + "/new"), 0700);
        EXPECT_EQ(mode(base + "/new/folder"), 0700);
        for (const char* suffix : {"", "-wal", "-shm"})
            EXPECT_EQ(mode(db + suffix), 0600) << suffix;
    }
    ::umask(before);
    std::filesystem::remove_all(base);
}

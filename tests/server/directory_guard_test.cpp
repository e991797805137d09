// What keeps the directory's users safe from each other, against a real
// sorvane-directory: the login token that changes need, the names that may be
// registered, the per-address limits, the login address and the file modes.

#include "directory_server.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

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

// The server's parts that need no network: request targets, the command
// line, value checks and the database file's schema version.

#include "args.h"
#include "directory_service.h"
#include "sqlite_storage.h"
#include "target.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>

#include <unistd.h>

using namespace sorvane::server;

TEST(RequestTarget, SplitsAndPercentDecodes) {
    struct Case {
        const char *target;
        std::string path;
        Params params;
    } cases[] = {
        {"/messenger/c.php?u=ann&p=pw", "/messenger/c.php", {{"u", "ann"}, {"p", "pw"}}},
        {"/messenger/g.php", "/messenger/g.php", {}},
        {"/messenger/g.php?", "/messenger/g.php", {}},
        {"/a%2Fb/s.php?u=a%20b+c", "/a/b/s.php", {{"u", "a b+c"}}},
        {"/x?u=%c3%A9&%70=%26%3D%23", "/x", {{"u", "\xC3\xA9"}, {"p", "&=#"}}},
        {"/x?u=100%&v=%4&w=%zz&y=%", "/x", {{"u", "100%"}, {"v", "%4"}, {"w", "%zz"}, {"y", "%"}}},
        {"/x?a=1=2&&b&=c", "/x", {{"a", "1=2"}, {"b", ""}, {"", "c"}}},
        {"/x?u=a%00b", "/x", {{"u", std::string("a\0b", 3)}}},
        {"/x?u=a#fragment&p=1", "/x", {{"u", "a"}}},
    };
    for (const auto &c : cases) {
        Target t = parseTarget(c.target);
        EXPECT_EQ(t.path, c.path) << c.target;
        EXPECT_EQ(t.params, c.params) << c.target;
    }
    for (const char *text : {"", "a b&c=d#e%f+g/\xC3\xA9~._-", "\x01\x7F\xFF"})
        EXPECT_EQ(percentDecode(percentEncode(text)), text);
}

TEST(RequestTarget, LogLineMasksPasswordsAndEscapesLineBreaks) {
    Target t = parseTarget("/messenger/c.php?u=ann%0Aforged&p=secret&p=again&ip=1.2.3.4");
    EXPECT_EQ(logLine("GET", t, "127.0.0.1", 403, 1.3),
              "127.0.0.1 GET /messenger/c.php?u=ann%0Aforged&p=***&p=***&ip=1.2.3.4 403 1.3ms");
}

TEST(ValueCheck, AcceptsPrintableUtf8Only) {
    for (const char *ok : {"", "ann@example.org", "a b", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "#&=%"})
        EXPECT_TRUE(isCleanText(ok)) << ok;
    for (const char *bad : {"a\nb", "a\rb", "\t", "\x7F", "\xC3", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "\xFF", "\x80"})
        EXPECT_FALSE(isCleanText(bad)) << bad;
    EXPECT_FALSE(isCleanText(std::string_view("a\0b", 3)));
    EXPECT_EQ(normalizeRemoteAddress("::ffff:127.0.0.2"), "127.0.0.2");
    EXPECT_EQ(normalizeRemoteAddress("::1"), "::1");
}

TEST(CommandLine, ParsesOptionsAndRefusesMistakes) {
    auto parse = [](std::vector<std::string_view> args) { return parseArgs(args); };

    ParsedArgs defaults = parse({});
    EXPECT_EQ(defaults.error, "");
    EXPECT_EQ(defaults.options.host, "127.0.0.1");
    EXPECT_EQ(defaults.options.port, 8642);
    EXPECT_FALSE(defaults.options.observedAddress);
    EXPECT_EQ(defaults.options.hashCost, 5);

    ParsedArgs all = parse({"--listen", "0.0.0.0:9000", "--db=/tmp/x.db", "--observed-address", "--hash-cost", "1"});
    EXPECT_EQ(all.error, "");
    EXPECT_EQ(all.options.host, "0.0.0.0");
    EXPECT_EQ(all.options.port, 9000);
    EXPECT_EQ(all.options.database, "/tmp/x.db");
    EXPECT_TRUE(all.options.observedAddress);
    EXPECT_EQ(all.options.hashCost, 1);

    ParsedArgs v6 = parse({"--listen", "[::1]:0"});
    EXPECT_EQ(v6.options.host, "::1");
    EXPECT_EQ(v6.options.port, 0);
    EXPECT_TRUE(parse({"--help"}).help);

    for (std::vector<std::string_view> bad : std::vector<std::vector<std::string_view>>{
             {"--listen"}, {"--listen", "8642"}, {"--listen", "host:"}, {"--listen", "host:65536"},
             {"--listen", "::1:80"}, {"--listen", ":80"}, {"--db", ""}, {"--hash-cost", "0"},
             {"--hash-cost", "12"}, {"--threads", "x"}, {"--observed-address=yes"}, {"--port", "1"}, {"extra"}})
        EXPECT_NE(parse(bad).error, "") << bad[0] << (bad.size() > 1 ? bad[1] : "");

    std::string help = helpText("sorvane-directory");
    for (const char *option : {"--listen HOST:PORT", "--db FILE", "--observed-address", "--threads N", "--hash-cost N", "--help"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(CommandLine, DefaultDatabaseFollowsXdgDataHome) {
    EXPECT_EQ(defaultDatabasePath("/data", "/home/a"), "/data/sorvane-directory/directory.db");
    EXPECT_EQ(defaultDatabasePath(nullptr, "/home/a"), "/home/a/.local/share/sorvane-directory/directory.db");
    EXPECT_EQ(defaultDatabasePath("relative", "/home/a"), "/home/a/.local/share/sorvane-directory/directory.db");
    EXPECT_EQ(defaultDatabasePath(nullptr, nullptr), "");
}

TEST(SqliteFile, RefusesADatabaseFromANewerServer) {
    auto dir = std::filesystem::temp_directory_path() / ("sorvane-schema-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "directory.db").string();
    {
        SqliteStorage storage(path);
        EXPECT_TRUE(storage.createAccount("ann", "$y$hash"));
    }
    {
        SqliteStorage reopened(path);  // the current version opens again with its data
        EXPECT_FALSE(reopened.createAccount("ANN", "$y$other"));
    }
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_THROW(SqliteStorage{path}, std::runtime_error);
    std::filesystem::remove_all(dir);
}

TEST(SqliteFile, ImportSkipsTakenNamesAndIndexesTheRest) {
    auto dir = std::filesystem::temp_directory_path() / ("sorvane-import-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        SqliteStorage storage((dir / "directory.db").string());
        ASSERT_TRUE(storage.createAccount("Ann@X", "$y$a"));
        EXPECT_EQ(storage.importAccounts({{"bob@x", "$y$b"}, {"ann@x", "$y$c"}, {"\xC3\xA9va@x", "$y$d"}, {"bob@x", "$y$e"}}), 2u);
        EXPECT_EQ(storage.search("@X", 10), (std::vector<std::string>{"Ann@X", "bob@x", "\xC3\xA9va@x"}));
        EXPECT_EQ(storage.search("\xC3\xA9", 10), (std::vector<std::string>{"\xC3\xA9va@x"}));
        EXPECT_EQ(storage.search("\xC3\xA9va", 10), (std::vector<std::string>{"\xC3\xA9va@x"}));
        EXPECT_EQ(storage.search("b@x", 1), (std::vector<std::string>{"bob@x"}));
        EXPECT_EQ(storage.search("x", 2), (std::vector<std::string>{"Ann@X", "bob@x"}));
        EXPECT_EQ(storage.account("ANN@x")->passwordHash, "$y$a");
    }
    std::filesystem::remove_all(dir);
}

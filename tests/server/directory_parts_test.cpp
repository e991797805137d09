// The server's parts that need no network: request targets, the command
// line, value checks and the database file's schema version.

#include "args.h"
#include "backend_test.h"
#include "directory_service.h"
#include "forwarded.h"
#include "names.h"
#include "postgres_storage.h"
#include "sql.h"
#include "sqlite_storage.h"
#include "target.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <unistd.h>

using namespace sorvane::server;

TEST(RequestTarget, SplitsAndPercentDecodes) {
    struct Case {
        const char* target;
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
    for (const auto& c : cases) {
        Target t = parseTarget(c.target);
        EXPECT_EQ(t.path, c.path) << c.target;
        EXPECT_EQ(t.params, c.params) << c.target;
    }
    for (const char* text : {"", "a b&c=d#e%f+g/\xC3\xA9~._-", "\x01\x7F\xFF"})
        EXPECT_EQ(percentDecode(percentEncode(text)), text);
}

TEST(RequestTarget, LogLineMasksPasswordsAndEscapesLineBreaks) {
    Target t = parseTarget("/messenger/c.php?u=ann%0Aforged&p=secret&p=again&ip=1.2.3.4");
    EXPECT_EQ(logLine("GET", t, "127.0.0.1", 403, 1.3),
              "127.0.0.1 GET /messenger/c.php?u=ann%0Aforged&p=***&p=***&ip=1.2.3.4 403 1.3ms");
}

TEST(ValueCheck, AcceptsPrintableUtf8Only) {
    for (const char* ok :
         {"", "ann@example.org", "a b", "\xC3\xA9", "\xE2\x82\xAC", "\xF0\x9F\x98\x80", "#&=%"})
        EXPECT_TRUE(isCleanText(ok)) << ok;
    for (const char* bad : {"a\nb", "a\rb", "\t", "\x7F", "\xC3", "\xC0\xAF", "\xE0\x80\xAF",
                            "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xFF", "\x80"})
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
    EXPECT_EQ(defaults.options.searchesPerSecond, 5);
    EXPECT_EQ(defaults.options.searchBurst, 20);
    EXPECT_EQ(defaults.options.newUsersPerHour, 20);

    ParsedArgs all = parse(
        {"--listen", "0.0.0.0:9000", "--db=/tmp/x.db", "--observed-address", "--hash-cost", "1"});
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

    for (std::vector<std::string_view> bad :
         std::vector<std::vector<std::string_view>>{{"--listen"},
                                                    {"--listen", "8642"},
                                                    {"--listen", "host:"},
                                                    {"--listen", "host:65536"},
                                                    {"--listen", "::1:80"},
                                                    {"--listen", ":80"},
                                                    {"--db", ""},
                                                    {"--hash-cost", "0"},
                                                    {"--hash-cost", "12"},
                                                    {"--threads", "x"},
                                                    {"--observed-address=yes"},
                                                    {"--port", "1"},
                                                    {"extra"}})
        EXPECT_NE(parse(bad).error, "") << bad[0] << (bad.size() > 1 ? bad[1] : "");

    std::string help = helpText("sorvane-directory");
    for (const char* option : {"--listen HOST:PORT", "--db FILE", "--observed-address",
                               "--threads N", "--hash-cost N", "--help"})
        EXPECT_NE(help.find(option), std::string::npos) << option;
}

TEST(CommandLine, TrustedProxiesAreAddressesOrNetworks) {
    ParsedArgs three = parseArgs({"--trusted-proxy", "127.0.0.1", "--trusted-proxy=10.0.0.0/8",
                                  "--trusted-proxy", "fd00::/8"});
    ASSERT_EQ(three.error, "");
    ASSERT_EQ(three.options.trustedProxies.size(), 3u);
    EXPECT_EQ(three.options.trustedProxies[0].prefix, 32);
    EXPECT_EQ(three.options.trustedProxies[1].prefix, 8);
    for (const char* bad :
         {"", "nginx", "10.0.0.0/33", "10.0.0.0/", "10.0.0.0/8x", "::1/129", "1.2.3", "1.2.3.4/-1"})
        EXPECT_NE(parseArgs({"--trusted-proxy", bad}).error, "") << bad;
    EXPECT_NE(helpText("sorvane-directory").find("--trusted-proxy ADDRESS"), std::string::npos);
}

TEST(ForwardedFor, TheClientIsTheRightMostAddressThatIsNoTrustedProxy) {
    std::vector<Network> trusted;
    for (const char* network : {"127.0.0.1", "10.1.0.0/16", "::1", "fd00::/8"})
        trusted.push_back(*parseNetwork(network));
    struct {
        const char* peer;
        std::optional<std::string_view> header;
        const char* client;
    } cases[] = {
        // Not from a proxy: the header is somebody's claim and counts for nothing.
        {"192.0.2.7", "198.51.100.1", "192.0.2.7"},
        {"10.2.0.1", "198.51.100.1", "10.2.0.1"},
        {"::ffff:192.0.2.7", std::nullopt, "192.0.2.7"},
        // From a proxy without the header, or with nothing in it.
        {"127.0.0.1", std::nullopt, "127.0.0.1"},
        {"127.0.0.1", "", "127.0.0.1"},
        {"127.0.0.1", " , ", "127.0.0.1"},
        // The proxy's own entry names the client; what the client wrote is left of it.
        {"127.0.0.1", "192.0.2.7", "192.0.2.7"},
        {"::ffff:127.0.0.1", "203.0.113.9, 192.0.2.7", "192.0.2.7"},
        {"127.0.0.1", "192.0.2.7, 10.1.4.4", "192.0.2.7"},
        {"127.0.0.1", "192.0.2.7,10.1.4.4 ,	10.1.0.2", "192.0.2.7"},
        {"127.0.0.1", "192.0.2.7, 10.2.4.4", "10.2.4.4"},
        // Ports and brackets that some proxies add.
        {"127.0.0.1", "192.0.2.7:51000", "192.0.2.7"},
        {"::1", "[2001:db8::7]:51000", "2001:db8::7"},
        {"::1", "2001:DB8::7", "2001:db8::7"},
        {"fd12::1", "::ffff:192.0.2.7", "192.0.2.7"},
        // Only proxies: the left-most is as far as it goes.
        {"127.0.0.1", "10.1.9.9, 10.1.0.2", "10.1.9.9"},
        // Rubbish stops the walk at the proxy that wrote it down.
        {"127.0.0.1", "192.0.2.7, unknown", "127.0.0.1"},
        {"127.0.0.1", "x, 10.1.4.4", "10.1.4.4"},
        {"127.0.0.1", "192.0.2.7\r\nX-Evil: 1", "127.0.0.1"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(clientAddress(c.peer, c.header, trusted), c.client)
            << c.peer << " / " << c.header.value_or("(none)");
    EXPECT_EQ(clientAddress("127.0.0.1", "192.0.2.7", {}), "127.0.0.1");
}

TEST(CommandLine, DefaultDatabaseFollowsXdgDataHome) {
    EXPECT_EQ(defaultDatabasePath("/data", "/home/a"), "/data/sorvane-directory/directory.db");
    EXPECT_EQ(defaultDatabasePath(nullptr, "/home/a"),
              "/home/a/.local/share/sorvane-directory/directory.db");
    EXPECT_EQ(defaultDatabasePath("relative", "/home/a"),
              "/home/a/.local/share/sorvane-directory/directory.db");
    EXPECT_EQ(defaultDatabasePath(nullptr, nullptr), "");
}

TEST(SqliteFile, RefusesADatabaseFromANewerServer) {
    auto dir =
        std::filesystem::temp_directory_path() / ("sorvane-schema-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    const std::string path = (dir / "directory.db").string();
    {
        SqliteStorage storage(path);
        EXPECT_TRUE(storage.createAccount("ann", "$y$hash", nameSkeleton("ann")));
    }
    {
        SqliteStorage reopened(path); // the current version opens again with its data
        EXPECT_FALSE(reopened.createAccount("ANN", "$y$other", nameSkeleton("ANN")));
    }
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_exec(db, "PRAGMA user_version = 99", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    EXPECT_THROW(SqliteStorage{path}, std::runtime_error);
    std::filesystem::remove_all(dir);
}

TEST(SqliteFile, ImportSkipsTakenNamesAndIndexesTheRest) {
    auto dir =
        std::filesystem::temp_directory_path() / ("sorvane-import-" + std::to_string(::getpid()));
    std::filesystem::create_directories(dir);
    {
        SqliteStorage storage((dir / "directory.db").string());
        ASSERT_TRUE(storage.createAccount("Ann@X", "$y$a", nameSkeleton("Ann@X")));
        EXPECT_EQ(storage.importAccounts({{"bob@x", "$y$b"},
                                          {"ann@x", "$y$c"},
                                          {"\xC3\xA9va@x", "$y$d"},
                                          {"bob@x", "$y$e"}}),
                  2u);
        EXPECT_EQ(storage.search("@X", 10),
                  (std::vector<std::string>{"Ann@X", "bob@x", "\xC3\xA9va@x"}));
        EXPECT_EQ(storage.search("\xC3\xA9", 10), (std::vector<std::string>{"\xC3\xA9va@x"}));
        EXPECT_EQ(storage.search("\xC3\xA9va", 10), (std::vector<std::string>{"\xC3\xA9va@x"}));
        EXPECT_EQ(storage.search("b@x", 1), (std::vector<std::string>{"bob@x"}));
        EXPECT_EQ(storage.search("x", 2), (std::vector<std::string>{"Ann@X", "bob@x"}));
        EXPECT_EQ(storage.account("ANN@x")->passwordHash, "$y$a");
    }
    std::filesystem::remove_all(dir);
}

namespace {

// A database file of its own, removed afterwards.
struct TempDatabase {
    TempDatabase()
        : dir(std::filesystem::temp_directory_path() /
              ("sorvane-search-" + std::to_string(::getpid()))) {
        std::filesystem::create_directories(dir);
    }
    ~TempDatabase() { std::filesystem::remove_all(dir); }
    std::string path() const { return (dir / "directory.db").string(); }
    std::filesystem::path dir;
};

std::vector<std::string> plainSearch(const std::vector<std::string>& names, std::string text,
                                     size_t limit) {
    const auto lower = [](std::string s) {
        for (char& c : s)
            if (c >= 'A' && c <= 'Z')
                c = static_cast<char>(c - 'A' + 'a');
        return s;
    };
    text = lower(text);
    std::vector<std::string> found;
    for (const std::string& n : names)
        if (found.size() < limit && lower(n).find(text) != std::string::npos)
            found.push_back(n);
    return found;
}

} // namespace

// The same searches on each database the directory can store in.
class StorageSearch : public sorvane::test::BackendTest {
protected:
    std::unique_ptr<Storage> makeStorage() {
        if (onPostgres())
            return std::make_unique<PostgresStorage>(postgres().createDatabase());
        return std::make_unique<SqliteStorage>(file_.path());
    }

private:
    TempDatabase file_;
};
SORVANE_ON_EVERY_BACKEND(StorageSearch);

TEST_P(StorageSearch, EveryLengthOfTextAgreesWithAPlainSubstringTest) {
    const std::unique_ptr<Storage> made = makeStorage();
    Storage& storage = *made;
    // Many names share "a.e", ".ex" and "a.ex" pieces; none holds "a.example" or "oe.exa".
    const std::vector<std::string> names = {"Anna.Evans@mail.example",
                                            "zoe.engel@web.example",
                                            "maria.ernst@box.example",
                                            "chloe.evans7@net.example",
                                            "a.exb@x.org",
                                            "paul.examiner@home.example",
                                            "\xC3\xA9va.m\xC3\xBCller@post.example",
                                            "ida.eriksen@mail.example",
                                            "rita.e@uni.example",
                                            "ann",
                                            "abcd.cdef@x.example",
                                            "zz"};
    for (const auto& n : names)
        ASSERT_TRUE(storage.createAccount(n, "$y$h", nameSkeleton(n)));
    const char* texts[] = {"a",
                           "E",
                           "a.",
                           "\xC3\xA9",
                           "ann",
                           "a.e",
                           "ANN",
                           "a.ex",
                           "a.exa",
                           "a.example",
                           "oe.exa",
                           "l.example",
                           "evans",
                           "evans7",
                           ".evans",
                           "na.evans@m",
                           "abcdef",
                           "cd.cd",
                           "bcd.c",
                           "@mail.example",
                           "\xC3\xA9va.m",
                           "m\xC3\xBCller",
                           "\xC3\xBCller@",
                           "rita.e@",
                           "zzz",
                           "zz",
                           "x.org",
                           "mple",
                           "ample",
                           "example",
                           "ernst@box.example",
                           "anna.evans@mail.example"};
    for (const char* text : texts) {
        EXPECT_EQ(storage.search(text, 100), plainSearch(names, text, 100)) << text;
        EXPECT_EQ(storage.search(text, 2), plainSearch(names, text, 2)) << text;
    }
}

// More holders of a piece than the PostgreSQL storage keeps in one block of
// its lists, added one by one: answers that run across blocks, and longer
// texts whose pieces are common but whose whole is rare.
TEST_P(StorageSearch, PiecesHeldByHundredsAgreeWithAPlainSubstringTest) {
    const std::unique_ptr<Storage> made = makeStorage();
    Storage& storage = *made;
    std::vector<std::string> names;
    for (int i = 0; i < 400; ++i)
        names.push_back("m" + std::to_string(i) + (i % 3 == 0 ? ".ann" : ".bob") + "@x" +
                        std::to_string(i % 7) + ".example");
    for (const auto& n : names)
        ASSERT_TRUE(storage.createAccount(n, "$y$h", nameSkeleton(n)));
    for (const char* text : {"m", "m1", ".EXAMPLE", "x3.e", "ann@x3", "n@x3.ex", "b@x5.example",
                             "9.ann@x", "m39", "1.bob@x1", "ann@x7"}) {
        EXPECT_EQ(storage.search(text, 100), plainSearch(names, text, 100)) << text;
        EXPECT_EQ(storage.search(text, 300), plainSearch(names, text, 300)) << text;
    }
}

TEST(SqliteFile, UpgradesAVersion1DatabaseAndSearchesItsAccounts) {
    TempDatabase db;
    // The layout of version 1: trigram counts and no index of longer pieces.
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.path().c_str(), &raw), SQLITE_OK);
    const char* version1 = R"sql(
        CREATE TABLE users (id INTEGER PRIMARY KEY, name TEXT NOT NULL UNIQUE COLLATE NOCASE,
            password_hash TEXT NOT NULL, ip TEXT, port INTEGER, login_origin TEXT,
            first_name TEXT NOT NULL DEFAULT '', surname TEXT NOT NULL DEFAULT '',
            gender TEXT NOT NULL DEFAULT '', birth_day TEXT NOT NULL DEFAULT '',
            birth_month TEXT NOT NULL DEFAULT '', birth_year TEXT NOT NULL DEFAULT '',
            city TEXT NOT NULL DEFAULT '', country TEXT NOT NULL DEFAULT '') STRICT;
        CREATE TABLE friends (seq INTEGER PRIMARY KEY, user_id INTEGER NOT NULL REFERENCES users(id),
            friend_id INTEGER NOT NULL REFERENCES users(id), UNIQUE (user_id, friend_id)) STRICT;
        CREATE VIRTUAL TABLE user_name_trigrams USING fts5(
            name, content='', detail='none', tokenize='trigram case_sensitive 1');
        CREATE TABLE trigram_counts (trigram TEXT PRIMARY KEY, accounts INTEGER NOT NULL) STRICT, WITHOUT ROWID;
        CREATE VIRTUAL TABLE user_name_grams USING fts5(grams, content='', detail='none', tokenize='ascii');
        INSERT INTO users (id, name, password_hash) VALUES (1, 'Anna.Evans@mail.example', '$y$a'),
                                                           (2, 'zoe.examiner@web.example', '$y$b');
        INSERT INTO user_name_trigrams (rowid, name) VALUES (1, 'anna.evans@mail.example'),
                                                            (2, 'zoe.examiner@web.example');
        INSERT INTO user_name_grams (rowid, grams) VALUES (1, '61 6e 616e'), (2, '7a 6f 7a6f');
        PRAGMA user_version = 1;
    )sql";
    ASSERT_EQ(sqlite3_exec(raw, version1, nullptr, nullptr, nullptr), SQLITE_OK)
        << sqlite3_errmsg(raw);
    sqlite3_close(raw);
    {
        SqliteStorage storage(db.path());
        EXPECT_EQ(storage.search("EVANS", 10), std::vector<std::string>{"Anna.Evans@mail.example"});
        EXPECT_EQ(storage.search("a.ex", 10), std::vector<std::string>{});
        EXPECT_EQ(storage.search("e.exam", 10),
                  std::vector<std::string>{"zoe.examiner@web.example"});
        EXPECT_EQ(
            storage.search(".example", 10),
            (std::vector<std::string>{"Anna.Evans@mail.example", "zoe.examiner@web.example"}));
        EXPECT_EQ(storage.search("ann", 10), std::vector<std::string>{"Anna.Evans@mail.example"});
        // New accounts are indexed like the upgraded ones.
        ASSERT_TRUE(storage.createAccount("kira.exner@web.example", "$y$c",
                                          nameSkeleton("kira.exner@web.example")));
        EXPECT_EQ(storage.search("@web.example", 10),
                  (std::vector<std::string>{"zoe.examiner@web.example", "kira.exner@web.example"}));
    }
    ASSERT_EQ(sqlite3_open(db.path().c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* stmt = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(raw, "PRAGMA user_version", -1, &stmt, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(stmt), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(stmt, 0), sql::kSchemaVersion);
    sqlite3_finalize(stmt);
    sqlite3_close(raw);
    SqliteStorage reopened(db.path()); // opens as it is, without a second upgrade
    EXPECT_EQ(reopened.search("r@web.e", 10),
              (std::vector<std::string>{"zoe.examiner@web.example", "kira.exner@web.example"}));
}

TEST(SqliteFile, UpgradesAVersion2DatabaseKeepingLookAlikesAndRefusingNewOnes) {
    TempDatabase db;
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(db.path().c_str(), &raw), SQLITE_OK);
    // Version 2 as it was: no token, no skeleton; two accounts that look alike.
    for (const char* text : {sql::kCreateSchema, sql::kCreateLongPieces,
                             "INSERT INTO users (name, password_hash, login_origin) VALUES "
                             "('bob@x.org', '$y$a', '127.0.0.1'), ('b\xD0\xBE"
                             "b@x.org', '$y$b', NULL);"
                             "PRAGMA user_version = 2;"})
        ASSERT_EQ(sqlite3_exec(raw, text, nullptr, nullptr, nullptr), SQLITE_OK) << text;
    sqlite3_close(raw);

    SqliteStorage storage(db.path());
    // Existing accounts stay as they are, both of them.
    EXPECT_EQ(storage.account("bob@x.org")->passwordHash, "$y$a");
    EXPECT_EQ(storage.account("bob@x.org")->loginTokenHash, "");
    EXPECT_EQ(storage
                  .account("b\xD0\xBE"
                           "b@x.org")
                  ->passwordHash,
              "$y$b");
    // A new look-alike of either is refused; logins record their token's hash.
    EXPECT_FALSE(storage.createAccount("B0B@x.org", "$y$c", nameSkeleton("B0B@x.org")));
    EXPECT_TRUE(storage.createAccount("carl@x.org", "$y$d", nameSkeleton("carl@x.org")));
    const UserId bob = storage.account("bob@x.org")->id;
    storage.recordLogin(bob, PeerAddress{"127.0.0.5", 4000}, "127.0.0.5", "abc123");
    EXPECT_EQ(storage.account("bob@x.org")->loginTokenHash, "abc123");
    EXPECT_EQ(storage.account("bob@x.org")->loginOrigin, "127.0.0.5");
}

#include "sqlite_storage.h"

#include "sql.h"

#include <sqlite3.h>

#include <array>
#include <stdexcept>
#include <utility>

namespace sorvane::server {
namespace {

[[noreturn]] void fail(sqlite3 *db, const std::string &what) {
    throw std::runtime_error("database: " + what + ": " + (db ? sqlite3_errmsg(db) : "out of memory"));
}

// ASCII lower case, matching SQLite's lower() and NOCASE.
std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return out;
}

size_t codePoints(std::string_view utf8) {
    size_t n = 0;
    for (unsigned char c : utf8)
        if ((c & 0xC0) != 0x80) ++n;
    return n;
}

std::string ftsPhrase(std::string_view text) {
    std::string phrase = "\"";
    for (char c : text) {
        if (c == '"') phrase += '"';
        phrase += c;
    }
    phrase += '"';
    return phrase;
}

std::string columnText(sqlite3_stmt *stmt, int column) {
    const unsigned char *text = sqlite3_column_text(stmt, column);
    if (!text) return {};
    return std::string(reinterpret_cast<const char *>(text), static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

} // namespace

struct SqliteStorage::Connection {
    sqlite3 *db = nullptr;
    std::array<sqlite3_stmt *, sql::StatementCount> statements{};

    ~Connection() {
        for (sqlite3_stmt *stmt : statements) sqlite3_finalize(stmt);
        sqlite3_close_v2(db);
    }

    void exec(const char *text) {
        char *error = nullptr;
        if (sqlite3_exec(db, text, nullptr, nullptr, &error) != SQLITE_OK) {
            std::string message = error ? error : sqlite3_errmsg(db);
            sqlite3_free(error);
            throw std::runtime_error("database: " + message);
        }
    }
};

namespace {

// One use of a prepared statement: binds, steps, and resets on the way out
// so the connection goes back to the pool clean.
class Query {
public:
    Query(SqliteStorage::Connection &connection, sql::Statement id)
        : db_(connection.db), stmt_(connection.statements[id]) {}
    ~Query() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Query(const Query &) = delete;
    Query &operator=(const Query &) = delete;

    Query &bind(int index, std::string_view text) {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_STATIC));
        return *this;
    }
    Query &bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }

    // True while there is a row.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW) return true;
        if (rc == SQLITE_DONE) return false;
        fail(db_, sqlite3_sql(stmt_));
    }
    // For writes that may violate the unique name: false on a constraint failure.
    bool run() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_DONE || rc == SQLITE_ROW) return true;
        if (sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_UNIQUE) return false;
        fail(db_, sqlite3_sql(stmt_));
    }

    std::string text(int column) const { return columnText(stmt_, column); }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    void check(int rc) {
        if (rc != SQLITE_OK) fail(db_, "bind");
    }
    sqlite3 *db_;
    sqlite3_stmt *stmt_;
};

} // namespace

class SqliteStorage::Lease {
public:
    Lease(SqliteStorage &owner, std::unique_ptr<Connection> connection)
        : owner_(owner), connection_(std::move(connection)) {}
    ~Lease() {
        if (connection_) owner_.giveBack(std::move(connection_));
    }
    Lease(const Lease &) = delete;
    Lease &operator=(const Lease &) = delete;
    Connection &operator*() { return *connection_; }

private:
    SqliteStorage &owner_;
    std::unique_ptr<Connection> connection_;
};

namespace {

std::unique_ptr<SqliteStorage::Connection> openConnection(const std::string &path) {
    auto connection = std::make_unique<SqliteStorage::Connection>();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &connection->db, flags, nullptr) != SQLITE_OK)
        fail(connection->db, "cannot open " + path);
    sqlite3_extended_result_codes(connection->db, 1);
    sqlite3_busy_timeout(connection->db, sql::kBusyTimeoutMs);
    connection->exec(sql::kConnectionSetup);
    return connection;
}

void prepareAll(SqliteStorage::Connection &connection) {
    for (const auto &[id, text] : sql::kStatements) {
        if (sqlite3_prepare_v3(connection.db, text, -1, SQLITE_PREPARE_PERSISTENT,
                               &connection.statements[id], nullptr) != SQLITE_OK)
            fail(connection.db, std::string("cannot prepare ") + text);
    }
}

} // namespace

SqliteStorage::SqliteStorage(std::string path) : path_(std::move(path)) {
    auto connection = openConnection(path_);
    migrate(*connection);
    prepareAll(*connection);
    idle_.push_back(std::move(connection));
}

SqliteStorage::~SqliteStorage() = default;

void SqliteStorage::migrate(Connection &connection) {
    // IMMEDIATE takes the write lock first, so two servers starting on one
    // new file do not both lay out the schema.
    connection.exec("BEGIN IMMEDIATE");
    try {
        int version = 0;
        sqlite3_stmt *stmt = nullptr;
        if (sqlite3_prepare_v2(connection.db, "PRAGMA user_version", -1, &stmt, nullptr) != SQLITE_OK)
            fail(connection.db, "cannot read the schema version");
        if (sqlite3_step(stmt) == SQLITE_ROW) version = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);

        if (version > sql::kSchemaVersion)
            throw std::runtime_error("database: " + path_ + " has schema version " + std::to_string(version) +
                                     ", newer than this server's " + std::to_string(sql::kSchemaVersion));
        if (version == 0) {
            connection.exec(sql::kCreateSchema);
            connection.exec(("PRAGMA user_version = " + std::to_string(sql::kSchemaVersion)).c_str());
        }
        connection.exec("COMMIT");
    } catch (...) {
        sqlite3_exec(connection.db, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}

SqliteStorage::Lease SqliteStorage::borrow() {
    {
        std::lock_guard lock(poolMutex_);
        if (!idle_.empty()) {
            auto connection = std::move(idle_.back());
            idle_.pop_back();
            return Lease(*this, std::move(connection));
        }
    }
    auto connection = openConnection(path_);
    prepareAll(*connection);
    return Lease(*this, std::move(connection));
}

void SqliteStorage::giveBack(std::unique_ptr<Connection> connection) {
    std::lock_guard lock(poolMutex_);
    idle_.push_back(std::move(connection));
}

bool SqliteStorage::createAccount(std::string_view name, std::string_view passwordHash) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query q(*lease, sql::InsertUser);
    return q.bind(1, name).bind(2, passwordHash).run();
}

std::optional<Account> SqliteStorage::account(std::string_view name) {
    auto lease = borrow();
    Query q(*lease, sql::SelectAccount);
    q.bind(1, name);
    if (!q.step()) return std::nullopt;
    Account a;
    a.id = q.integer(0);
    a.name = q.text(1);
    a.passwordHash = q.text(2);
    if (!q.isNull(3)) a.loginOrigin = q.text(3);
    return a;
}

void SqliteStorage::recordLogin(UserId user, const PeerAddress &address, std::string_view origin) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query q(*lease, sql::RecordLogin);
    q.bind(1, user).bind(2, address.ip).bind(3, std::int64_t{address.port}).bind(4, origin).step();
}

std::optional<PeerAddress> SqliteStorage::peerAddress(std::string_view name) {
    auto lease = borrow();
    Query q(*lease, sql::SelectPeerAddress);
    q.bind(1, name);
    if (!q.step()) return std::nullopt;
    return PeerAddress{q.text(0), static_cast<int>(q.integer(1))};
}

std::vector<std::string> SqliteStorage::friends(UserId user) {
    auto lease = borrow();
    Query q(*lease, sql::SelectFriends);
    q.bind(1, user);
    std::vector<std::string> names;
    while (q.step()) names.push_back(q.text(0));
    return names;
}

void SqliteStorage::addFriend(UserId user, UserId friendId) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query q(*lease, sql::InsertFriend);
    q.bind(1, user).bind(2, friendId).step();
}

void SqliteStorage::removeFriend(UserId user, UserId friendId) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query q(*lease, sql::DeleteFriend);
    q.bind(1, user).bind(2, friendId).step();
}

std::optional<Profile> SqliteStorage::profile(std::string_view name) {
    auto lease = borrow();
    Query q(*lease, sql::SelectProfile);
    q.bind(1, name);
    if (!q.step()) return std::nullopt;
    Profile p;
    p.name = q.text(0);
    for (int i = 0; i < 8; ++i) p.fields[static_cast<size_t>(i)] = q.text(i + 1);
    return p;
}

void SqliteStorage::storeProfile(UserId user, const ProfileFields &fields) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query q(*lease, sql::UpdateProfile);
    q.bind(1, user);
    for (int i = 0; i < 8; ++i) q.bind(i + 2, fields[static_cast<size_t>(i)]);
    q.step();
}

std::vector<std::string> SqliteStorage::search(std::string_view text, int limit) {
    std::vector<std::string> names;
    if (text.empty() || limit <= 0) return names;
    std::string needle = asciiLower(text);
    auto lease = borrow();
    // The trigram index only knows texts of three characters or more.
    bool indexed = codePoints(needle) >= 3;
    std::string phrase = indexed ? ftsPhrase(needle) : needle;
    Query q(*lease, indexed ? sql::SearchIndexed : sql::SearchScan);
    q.bind(1, phrase).bind(2, std::int64_t{limit});
    while (q.step()) names.push_back(q.text(0));
    return names;
}

} // namespace sorvane::server

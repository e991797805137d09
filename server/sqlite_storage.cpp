#include "sqlite_storage.h"

#include "names.h"
#include "sql.h"

#include <sqlite3.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <stdexcept>
#include <utility>

namespace sorvane::server {
namespace {

[[noreturn]] void fail(sqlite3* db, const std::string& what) {
    throw std::runtime_error("database: " + what + ": " +
                             (db ? sqlite3_errmsg(db) : "out of memory"));
}

std::string hexWord(std::string_view bytes) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string word;
    for (unsigned char c : bytes) {
        word += hex[c >> 4];
        word += hex[c & 15];
    }
    return word;
}

// Every distinct one- and two-character piece of `lowered`, as hex words.
std::string shortGrams(std::string_view lowered) {
    std::vector<std::string_view> chars = characters(lowered);
    std::vector<std::string> words;
    for (size_t i = 0; i < chars.size(); ++i) {
        words.push_back(hexWord(chars[i]));
        if (i + 1 < chars.size())
            words.push_back(hexWord(chars[i]) + hexWord(chars[i + 1]));
    }
    std::sort(words.begin(), words.end());
    words.erase(std::unique(words.begin(), words.end()), words.end());
    std::string text;
    for (const std::string& w : words) {
        if (!text.empty())
            text += ' ';
        text += w;
    }
    return text;
}

// An FTS5 string: quoted, inner quotes doubled, so no query syntax survives.
std::string ftsString(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"')
            quoted += '"';
        quoted += c;
    }
    quoted += '"';
    return quoted;
}

// Distinct pieces of `length` characters.
std::vector<std::string> pieces(const std::vector<std::string_view>& chars, size_t length) {
    std::vector<std::string> out;
    for (size_t i = 0; i + length <= chars.size(); ++i) {
        const char* start = chars[i].data();
        const char* end = chars[i + length - 1].data() + chars[i + length - 1].size();
        out.emplace_back(start, static_cast<size_t>(end - start));
    }
    std::sort(out.begin(), out.end());
    out.erase(std::unique(out.begin(), out.end()), out.end());
    return out;
}

// Every distinct four- and five-character piece of `lowered`, as hex words. A
// piece's bytes decode to one sequence of characters only, so the two lengths
// never share a word.
std::string longPieceWords(const std::vector<std::string_view>& chars) {
    std::string text;
    for (size_t length : {size_t{4}, size_t{5}}) {
        for (const std::string& piece : pieces(chars, length)) {
            if (!text.empty())
                text += ' ';
            text += hexWord(piece);
        }
    }
    return text;
}

// Candidates for a text longer than five characters come from its rarest few
// five-character pieces. A piece many times more common than the rarest hardly
// narrows them but is costly to walk, and every candidate is checked against
// the whole text anyway.
constexpr size_t kPiecesPerSearch = 3;
constexpr std::int64_t kPieceSpread = 16;

// The server's clock in Unix milliseconds, the mailbox's times.
std::int64_t unixMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

// The oldest deposit time a line may have and still be kept.
std::int64_t oldestKept() {
    return unixMs() -
           std::chrono::duration_cast<std::chrono::milliseconds>(mailbox::kKeptFor).count();
}

// JSON arrays for json_each: of strings of hex digits (no escaping needed), of numbers.
std::string jsonArray(const std::vector<std::string>& items) {
    std::string text = "[";
    for (const std::string& item : items)
        text.append(text.size() > 1 ? ",\"" : "\"").append(item).append("\"");
    return text + "]";
}

std::string jsonArray(const std::vector<UserId>& items) {
    std::string text = "[";
    for (UserId item : items)
        text.append(text.size() > 1 ? "," : "").append(std::to_string(item));
    return text + "]";
}

std::string columnText(sqlite3_stmt* stmt, int column) {
    const unsigned char* text = sqlite3_column_text(stmt, column);
    if (!text)
        return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<size_t>(sqlite3_column_bytes(stmt, column)));
}

} // namespace

struct SqliteStorage::Connection {
    sqlite3* db = nullptr;
    std::array<sqlite3_stmt*, sql::StatementCount> statements{};

    ~Connection() {
        for (sqlite3_stmt* stmt : statements)
            sqlite3_finalize(stmt);
        sqlite3_close_v2(db);
    }

    void exec(const char* text) {
        char* error = nullptr;
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
    Query(SqliteStorage::Connection& connection, sql::Statement id)
        : db_(connection.db), stmt_(connection.statements[id]) {}
    ~Query() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    // SQLite keeps a pointer to `text` (no copy): it must outlive every step of this query.
    Query& bind(int index, std::string_view text) {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                SQLITE_STATIC));
        return *this;
    }
    Query& bind(int index, std::int64_t value) {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }

    // True while there is a row.
    bool step() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        fail(db_, sqlite3_sql(stmt_));
    }
    // For writes that may violate the unique name: false on a constraint failure.
    bool run() {
        int rc = sqlite3_step(stmt_);
        if (rc == SQLITE_DONE || rc == SQLITE_ROW)
            return true;
        if (sqlite3_extended_errcode(db_) == SQLITE_CONSTRAINT_UNIQUE)
            return false;
        fail(db_, sqlite3_sql(stmt_));
    }

    std::string text(int column) const { return columnText(stmt_, column); }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    bool isNull(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }

private:
    void check(int rc) {
        if (rc != SQLITE_OK)
            fail(db_, "bind");
    }
    sqlite3* db_;
    sqlite3_stmt* stmt_;
};

} // namespace

namespace {

// Rolls back unless committed.
class Transaction {
public:
    explicit Transaction(SqliteStorage::Connection& connection) : connection_(connection) {
        Query(connection_, sql::Begin).step();
    }
    ~Transaction() {
        if (committed_)
            return;
        sqlite3_stmt* rollback = connection_.statements[sql::Rollback];
        sqlite3_step(rollback);
        sqlite3_reset(rollback);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;
    void commit() {
        Query(connection_, sql::Commit).step();
        committed_ = true;
    }

private:
    SqliteStorage::Connection& connection_;
    bool committed_ = false;
};

// The entries of one account in the index of long pieces and their counts.
void indexLongPieces(SqliteStorage::Connection& connection, std::int64_t id,
                     const std::string& lowered) {
    const std::vector<std::string_view> chars = characters(lowered);
    const std::string words = longPieceWords(chars);
    if (words.empty())
        return; // a name of three characters or fewer
    Query(connection, sql::IndexNameLongPieces).bind(1, id).bind(2, words).step();
    for (const std::string& piece : pieces(chars, 5))
        Query(connection, sql::CountFivePiece).bind(1, piece).step();
}

// The account row and its entries in the search indexes. False when the name
// is taken, or (with `refuseLookAlike`) its skeleton. Runs inside a write
// transaction, so no other account can take the skeleton between the look and
// the insert.
bool insertAccount(SqliteStorage::Connection& connection, std::string_view name,
                   std::string_view passwordHash, std::string_view skeleton, bool refuseLookAlike) {
    if (refuseLookAlike && Query(connection, sql::SelectSkeleton).bind(1, skeleton).step())
        return false;
    if (!Query(connection, sql::InsertUser)
             .bind(1, name)
             .bind(2, passwordHash)
             .bind(3, skeleton)
             .run())
        return false;
    const std::int64_t id = sqlite3_last_insert_rowid(connection.db);
    const std::string lowered = asciiLower(name);
    Query(connection, sql::IndexNameTrigrams).bind(1, id).bind(2, lowered).step();
    Query(connection, sql::IndexNameGrams).bind(1, id).bind(2, shortGrams(lowered)).step();
    indexLongPieces(connection, id, lowered);
    return true;
}

} // namespace

class SqliteStorage::Lease {
public:
    Lease(SqliteStorage& owner, std::unique_ptr<Connection> connection)
        : owner_(owner), connection_(std::move(connection)) {}
    ~Lease() {
        if (connection_)
            owner_.giveBack(std::move(connection_));
    }
    Lease(const Lease&) = delete;
    Lease& operator=(const Lease&) = delete;
    Connection& operator*() { return *connection_; }

private:
    SqliteStorage& owner_;
    std::unique_ptr<Connection> connection_;
};

namespace {

std::unique_ptr<SqliteStorage::Connection> openConnection(const std::string& path) {
    auto connection = std::make_unique<SqliteStorage::Connection>();
    int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
    if (sqlite3_open_v2(path.c_str(), &connection->db, flags, nullptr) != SQLITE_OK)
        fail(connection->db, "cannot open " + path);
    sqlite3_extended_result_codes(connection->db, 1);
    sqlite3_busy_timeout(connection->db, sql::kBusyTimeoutMs);
    connection->exec(sql::kConnectionSetup);
    return connection;
}

void prepareAll(SqliteStorage::Connection& connection) {
    for (const auto& [id, text] : sql::kStatements) {
        if (sqlite3_prepare_v3(connection.db, text, -1, SQLITE_PREPARE_PERSISTENT,
                               &connection.statements[id], nullptr) != SQLITE_OK)
            fail(connection.db, std::string("cannot prepare ") + text);
    }
}

} // namespace

SqliteStorage::SqliteStorage(std::string path) : path_(std::move(path)) {
    auto connection = openConnection(path_);
    migrate(*connection); // prepares the statements too
    idle_.push_back(std::move(connection));
}

SqliteStorage::~SqliteStorage() = default;

void SqliteStorage::migrate(Connection& connection) {
    // IMMEDIATE takes the write lock first, so two servers starting on one
    // new file do not both lay out the schema.
    connection.exec("BEGIN IMMEDIATE");
    try {
        int version = 0;
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(connection.db, "PRAGMA user_version", -1, &stmt, nullptr) !=
            SQLITE_OK)
            fail(connection.db, "cannot read the schema version");
        if (sqlite3_step(stmt) == SQLITE_ROW)
            version = sqlite3_column_int(stmt, 0);
        sqlite3_finalize(stmt);

        if (version > sql::kSchemaVersion)
            throw std::runtime_error("database: " + path_ + " has schema version " +
                                     std::to_string(version) + ", newer than this server's " +
                                     std::to_string(sql::kSchemaVersion));
        if (version == 0) {
            connection.exec(sql::kCreateSchema);
            connection.exec(sql::kCreateLongPieces);
        } else if (version == 1) {
            connection.exec(sql::kDropVersion1Counts);
            connection.exec(sql::kCreateLongPieces);
        }
        if (version < 3)
            connection.exec(sql::kUpgradeToVersion3);
        if (version < 4)
            connection.exec(sql::kUpgradeToVersion4);
        if (version < 5)
            connection.exec(sql::kUpgradeToVersion5);
        // The statements need the current layout, which the upgrade fills in with them.
        prepareAll(connection);
        if (version == 1) {
            sqlite3_stmt* all = nullptr;
            if (sqlite3_prepare_v2(connection.db, "SELECT id, name FROM users", -1, &all,
                                   nullptr) != SQLITE_OK)
                fail(connection.db, "cannot read the accounts");
            int rc;
            while ((rc = sqlite3_step(all)) == SQLITE_ROW)
                indexLongPieces(connection, sqlite3_column_int64(all, 0),
                                asciiLower(columnText(all, 1)));
            sqlite3_finalize(all);
            if (rc != SQLITE_DONE)
                fail(connection.db, "cannot read the accounts");
        }
        if (version == 1 || version == 2) {
            sqlite3_stmt* all = nullptr;
            if (sqlite3_prepare_v2(connection.db, "SELECT id, name FROM users", -1, &all,
                                   nullptr) != SQLITE_OK)
                fail(connection.db, "cannot read the accounts");
            int rc;
            while ((rc = sqlite3_step(all)) == SQLITE_ROW) {
                const std::string skeleton = nameSkeleton(columnText(all, 1));
                Query(connection, sql::SetSkeleton)
                    .bind(1, sqlite3_column_int64(all, 0))
                    .bind(2, skeleton)
                    .step();
            }
            sqlite3_finalize(all);
            if (rc != SQLITE_DONE)
                fail(connection.db, "cannot read the accounts");
        }
        if (version != sql::kSchemaVersion)
            connection.exec(
                ("PRAGMA user_version = " + std::to_string(sql::kSchemaVersion)).c_str());
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

bool SqliteStorage::createAccount(std::string_view name, std::string_view passwordHash,
                                  std::string_view skeleton) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Transaction transaction(*lease);
    if (!insertAccount(*lease, name, passwordHash, skeleton, true))
        return false;
    transaction.commit();
    return true;
}

size_t
SqliteStorage::importAccounts(const std::vector<std::pair<std::string, std::string>>& accounts) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Transaction transaction(*lease);
    size_t created = 0;
    for (const auto& [name, hash] : accounts)
        if (insertAccount(*lease, name, hash, nameSkeleton(name), false))
            ++created;
    transaction.commit();
    return created;
}

std::optional<Account> SqliteStorage::account(std::string_view name) {
    auto lease = borrow();
    Query q(*lease, sql::SelectAccount);
    q.bind(1, name);
    if (!q.step())
        return std::nullopt;
    Account a;
    a.id = q.integer(0);
    a.name = q.text(1);
    a.passwordHash = q.text(2);
    if (!q.isNull(3))
        a.loginOrigin = q.text(3);
    a.loginTokenHash = q.text(4);
    a.identityKey = q.text(5);
    return a;
}

void SqliteStorage::recordLogin(UserId user, const PeerAddress& address, std::string_view origin,
                                std::string_view tokenHash) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query q(*lease, sql::RecordLogin);
    q.bind(1, user)
        .bind(2, address.ip)
        .bind(3, std::int64_t{address.port})
        .bind(4, origin)
        .bind(5, tokenHash)
        .bind(6, address.identityKey)
        .step();
}

std::optional<PeerAddress> SqliteStorage::peerAddress(std::string_view name) {
    auto lease = borrow();
    Query q(*lease, sql::SelectPeerAddress);
    q.bind(1, name).bind(
        2,
        unixMs() -
            std::chrono::duration_cast<std::chrono::milliseconds>(mailbox::kFetchSeenFor).count());
    if (!q.step())
        return std::nullopt;
    return PeerAddress{q.text(0), static_cast<int>(q.integer(1)), q.text(2), q.integer(3) != 0};
}

std::vector<std::string> SqliteStorage::friends(UserId user) {
    auto lease = borrow();
    Query q(*lease, sql::SelectFriends);
    q.bind(1, user);
    std::vector<std::string> names;
    while (q.step())
        names.push_back(q.text(0));
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
    if (!q.step())
        return std::nullopt;
    Profile p;
    p.name = q.text(0);
    for (int i = 0; i < 8; ++i)
        p.fields[static_cast<size_t>(i)] = q.text(i + 1);
    return p;
}

void SqliteStorage::storeProfile(UserId user, const ProfileFields& fields) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query q(*lease, sql::UpdateProfile);
    q.bind(1, user);
    for (int i = 0; i < 8; ++i)
        q.bind(i + 2, fields[static_cast<size_t>(i)]);
    q.step();
}

std::vector<std::string> SqliteStorage::search(std::string_view text, int limit) {
    std::vector<std::string> names;
    if (text.empty() || limit <= 0)
        return names;
    const std::string needle = asciiLower(text);
    auto lease = borrow();

    if (characters(needle).size() < 3) {
        // Bound text is not copied: it has to live until the last step.
        const std::string grams = ftsString(hexWord(needle));
        Query q(*lease, sql::SearchByGrams);
        q.bind(1, grams).bind(2, std::int64_t{limit});
        while (q.step())
            names.push_back(q.text(0));
        return names;
    }

    const std::vector<std::string_view> chars = characters(needle);
    if (chars.size() == 3) {
        const std::string trigram = ftsString(needle);
        Query q(*lease, sql::SearchByTrigrams);
        q.bind(1, trigram).bind(2, std::int64_t{limit});
        while (q.step())
            names.push_back(q.text(0));
        return names;
    }
    if (chars.size() <= 5) {
        const std::string piece = ftsString(hexWord(needle));
        Query q(*lease, sql::SearchByLongPieces);
        q.bind(1, piece).bind(2, std::int64_t{limit});
        while (q.step())
            names.push_back(q.text(0));
        return names;
    }

    std::vector<std::pair<std::int64_t, std::string>> counted;
    for (std::string& piece : pieces(chars, 5)) {
        Query count(*lease, sql::SelectFivePieceCount);
        if (!count.bind(1, piece).step())
            return names; // no name holds this piece
        counted.emplace_back(count.integer(0), std::move(piece));
    }
    std::sort(counted.begin(), counted.end());
    std::string match;
    for (size_t i = 0; i < counted.size() && i < kPiecesPerSearch &&
                       counted[i].first <= counted[0].first * kPieceSpread;
         ++i) {
        if (!match.empty())
            match += " AND ";
        match += ftsString(hexWord(counted[i].second));
    }
    Query q(*lease, sql::SearchByFivePieces);
    q.bind(1, match).bind(2, needle).bind(3, std::int64_t{limit});
    while (q.step())
        names.push_back(q.text(0));
    return names;
}

Deposit SqliteStorage::deposit(UserId sender, UserId recipient, std::string_view sealedTo,
                               std::string_view id, std::string_view sealedText) {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Transaction transaction(*lease);
    if (!Query(*lease, sql::IsFriend).bind(1, recipient).bind(2, sender).step())
        return Deposit::NotAFriend;
    if (Query(*lease, sql::LineDeposited).bind(1, id).bind(2, sender).step())
        return Deposit::Repeated;
    {
        Query counts(*lease, sql::MailboxCounts);
        counts.bind(1, recipient).bind(2, sender).step();
        if (counts.integer(0) >= mailbox::kLinesPerRecipient ||
            counts.integer(1) + static_cast<std::int64_t>(sealedText.size()) >
                mailbox::kBytesPerRecipient ||
            counts.integer(2) >= mailbox::kLinesPerSender)
            return Deposit::Full;
    }
    Query(*lease, sql::InsertLine)
        .bind(1, recipient)
        .bind(2, sender)
        .bind(3, id)
        .bind(4, sealedTo)
        .bind(5, unixMs())
        .bind(6, static_cast<std::int64_t>(sealedText.size()))
        .bind(7, sealedText)
        .step();
    transaction.commit();
    return Deposit::Stored;
}

void SqliteStorage::acknowledge(UserId user, const std::vector<std::string>& ids) {
    if (ids.empty())
        return;
    const std::string list = jsonArray(ids);
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query(*lease, sql::AcknowledgeLines).bind(1, user).bind(2, list).step();
}

std::vector<MailboxLine> SqliteStorage::waitingLines(UserId user, std::string_view sealedTo,
                                                     int limit) {
    auto lease = borrow();
    Query q(*lease, sql::WaitingLines);
    q.bind(1, user).bind(2, sealedTo).bind(3, oldestKept()).bind(4, std::int64_t{limit});
    std::vector<MailboxLine> lines;
    while (q.step())
        lines.push_back({q.text(0), q.text(1), q.text(2)});
    return lines;
}

void SqliteStorage::recordFetches(const std::vector<UserId>& users) {
    if (users.empty())
        return;
    const std::string list = jsonArray(users);
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query(*lease, sql::RecordFetches).bind(1, unixMs()).bind(2, list).step();
}

void SqliteStorage::expireMailbox() {
    auto lease = borrow();
    std::lock_guard write(writeMutex_);
    Query(*lease, sql::ExpireLines).bind(1, oldestKept()).step();
}

} // namespace sorvane::server

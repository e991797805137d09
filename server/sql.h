#pragma once

// Every SQL text the SQLite storage runs, kept together with the schema
// version they belong to. Statements are prepared once per connection.

#include <array>

namespace sorvane::server::sql {

// PRAGMA user_version of a database laid out as below. A database with a
// higher number was written by a newer server and is not opened; one with a
// lower number is brought up to this layout when it is opened.
inline constexpr int kSchemaVersion = 5;

// Run once per connection, outside any transaction. synchronous=FULL syncs the
// write-ahead log on every commit, so an answered "OK" survives a crash or a
// power cut, not just a clean exit. mmap_size maps the file into memory for
// reading: a lookup then reads its pages where the system keeps them instead
// of copying each through a read call into every connection's own cache
// (a tenth of a lookup's time went there).
inline constexpr const char* kConnectionSetup = "PRAGMA journal_mode=WAL;"
                                                "PRAGMA synchronous=FULL;"
                                                "PRAGMA foreign_keys=ON;"
                                                "PRAGMA mmap_size=2147418112;";

inline constexpr int kBusyTimeoutMs = 5000;

// The index of four- and five-character pieces and the counts of the latter.
// Part of the schema below; version 1 had neither and counted trigrams
// instead, so the upgrade from it adds them too.
inline constexpr const char* kCreateLongPieces = R"sql(
CREATE VIRTUAL TABLE user_name_long_pieces USING fts5(
    pieces, content='', detail='none', tokenize='ascii'
);

CREATE TABLE five_piece_counts (
    piece    TEXT PRIMARY KEY,
    accounts INTEGER NOT NULL
) STRICT, WITHOUT ROWID;
)sql";

// Schema version 2 with kCreateLongPieces; kUpgradeToVersion3 and 4 complete
// it. All run in one transaction on an empty database, which then gets
// user_version = kSchemaVersion.
//
// "Names containing this text" is answered from indexes, not by reading
// every account. Every piece is taken from the lower-cased name:
// - user_name_grams: every distinct one- and two-character piece, written
//   as hex words so that the tokenizer keeps every character; answers texts
//   of one or two characters exactly.
// - user_name_trigrams: the three-character pieces (trigram tokenizer);
//   answers texts of three characters exactly.
// - user_name_long_pieces: every distinct four- and five-character piece as
//   a hex word; answers texts of four or five characters exactly. A longer
//   text is looked up by its rarest five-character pieces and the candidates
//   are checked against the whole text. Pieces of five characters keep the
//   candidates few even where every shorter piece of the text is common
//   ("a.example": "a.e" and ".ex" are in many names, "a.exa" in none).
// - five_piece_counts: how many accounts hold each five-character piece, to
//   find the rarest. A piece missing here means no name contains the text.
// All are filled with the account row; accounts are never renamed or deleted.
inline constexpr const char* kCreateSchema = R"sql(
CREATE TABLE users (
    id            INTEGER PRIMARY KEY,
    name          TEXT NOT NULL UNIQUE COLLATE NOCASE,
    password_hash TEXT NOT NULL,
    ip            TEXT,
    port          INTEGER,
    login_origin  TEXT,
    first_name    TEXT NOT NULL DEFAULT '',
    surname       TEXT NOT NULL DEFAULT '',
    gender        TEXT NOT NULL DEFAULT '',
    birth_day     TEXT NOT NULL DEFAULT '',
    birth_month   TEXT NOT NULL DEFAULT '',
    birth_year    TEXT NOT NULL DEFAULT '',
    city          TEXT NOT NULL DEFAULT '',
    country       TEXT NOT NULL DEFAULT ''
) STRICT;

CREATE TABLE friends (
    seq       INTEGER PRIMARY KEY,
    user_id   INTEGER NOT NULL REFERENCES users(id),
    friend_id INTEGER NOT NULL REFERENCES users(id),
    UNIQUE (user_id, friend_id)
) STRICT;

CREATE VIRTUAL TABLE user_name_trigrams USING fts5(
    name, content='', detail='none', tokenize='trigram case_sensitive 1'
);

CREATE VIRTUAL TABLE user_name_grams USING fts5(
    grams, content='', detail='none', tokenize='ascii'
);
)sql";

// Version 3: each user's login token, kept only as its SHA-256 (hex), and the
// name's look-alike skeleton, which no second account may share. Accounts
// registered before version 3 get their skeleton when the database is
// upgraded; look-alikes among them stay as they are.
inline constexpr const char* kUpgradeToVersion3 = R"sql(
ALTER TABLE users ADD COLUMN login_token_hash TEXT;
ALTER TABLE users ADD COLUMN name_skeleton TEXT;
CREATE INDEX users_by_name_skeleton ON users (name_skeleton);
)sql";

// Version 4: the identity key each user's messenger published at its last
// login (base64url text), handed out with its address; NULL: none.
inline constexpr const char* kUpgradeToVersion4 = "ALTER TABLE users ADD COLUMN identity_key TEXT;";

// Version 5: the mailbox. Each line waits for its recipient in order of
// deposit (seq), sealed to the key it names; its text (and size) go when the
// recipient acknowledges it, its row when it is mailbox::kKeptFor old
// (storage.h). Times are Unix milliseconds of the server's clock.
// mailbox_waiting holds what the limits count, so that a deposit reads no
// sealed text. users.mailbox_seen: when a fetch by the user last began or
// ended.
inline constexpr const char* kUpgradeToVersion5 = R"sql(
ALTER TABLE users ADD COLUMN mailbox_seen INTEGER;
CREATE TABLE mailbox (
    seq          INTEGER PRIMARY KEY,
    recipient_id INTEGER NOT NULL REFERENCES users(id),
    sender_id    INTEGER NOT NULL REFERENCES users(id),
    line_id      TEXT NOT NULL,
    sealed_to    TEXT NOT NULL,
    deposited    INTEGER NOT NULL,
    bytes        INTEGER NOT NULL,
    sealed_text  TEXT,
    UNIQUE (line_id, sender_id)
) STRICT;
CREATE INDEX mailbox_waiting ON mailbox (recipient_id, sender_id, bytes)
    WHERE sealed_text IS NOT NULL;
CREATE INDEX mailbox_by_age ON mailbox (deposited);
)sql";

// From version 1, before kCreateLongPieces and the filling of the long pieces
// for every existing account.
inline constexpr const char* kDropVersion1Counts = "DROP TABLE trigram_counts;";

enum Statement : int {
    Begin,
    Commit,
    Rollback,
    InsertUser,
    IndexNameTrigrams,
    IndexNameGrams,
    IndexNameLongPieces,
    CountFivePiece,
    SelectFivePieceCount,
    SelectAccount,
    SelectSkeleton,
    SetSkeleton,
    RecordLogin,
    SelectPeerAddress,
    SelectFriends,
    InsertFriend,
    DeleteFriend,
    SelectProfile,
    UpdateProfile,
    SearchByTrigrams,
    SearchByGrams,
    SearchByLongPieces,
    SearchByFivePieces,
    IsFriend,
    LineDeposited,
    MailboxCounts,
    InsertLine,
    AcknowledgeLines,
    WaitingLines,
    RecordFetches,
    ExpireLines,
    StatementCount
};

struct NamedStatement {
    Statement id;
    const char* text;
};

inline constexpr std::array<NamedStatement, StatementCount> kStatements{{
    // IMMEDIATE takes the write lock at once instead of on the first write.
    {Begin, "BEGIN IMMEDIATE"},
    {Commit, "COMMIT"},
    {Rollback, "ROLLBACK"},
    // ?3: the name's skeleton.
    {InsertUser, "INSERT INTO users (name, password_hash, name_skeleton) VALUES (?1, ?2, ?3)"},
    // ?2: the lower-cased name.
    {IndexNameTrigrams, "INSERT INTO user_name_trigrams (rowid, name) VALUES (?1, ?2)"},
    // ?2: the name's pieces as hex words separated by blanks.
    {IndexNameGrams, "INSERT INTO user_name_grams (rowid, grams) VALUES (?1, ?2)"},
    // ?2: the name's four- and five-character pieces as hex words separated by blanks.
    {IndexNameLongPieces, "INSERT INTO user_name_long_pieces (rowid, pieces) VALUES (?1, ?2)"},
    // Once per distinct five-character piece of a new name.
    {CountFivePiece, "INSERT INTO five_piece_counts (piece, accounts) VALUES (?1, 1) "
                     "ON CONFLICT (piece) DO UPDATE SET accounts = accounts + 1"},
    {SelectFivePieceCount, "SELECT accounts FROM five_piece_counts WHERE piece = ?1"},
    {SelectAccount, "SELECT id, name, password_hash, login_origin, login_token_hash, identity_key "
                    "FROM users WHERE name = ?1"},
    {SelectSkeleton, "SELECT 1 FROM users WHERE name_skeleton = ?1 LIMIT 1"},
    // Filling in the skeletons of accounts from before version 3.
    {SetSkeleton, "UPDATE users SET name_skeleton = ?2 WHERE id = ?1"},
    {RecordLogin, "UPDATE users SET ip = ?2, port = ?3, login_origin = ?4, login_token_hash = ?5, "
                  "identity_key = NULLIF(?6, '') WHERE id = ?1"},
    // ?2: the time (Unix ms) after which a fetch counts as lately.
    {SelectPeerAddress, "SELECT ip, port, identity_key, coalesce(mailbox_seen > ?2, 0) FROM users "
                        "WHERE name = ?1 AND ip IS NOT NULL"},
    {SelectFriends, "SELECT u.name FROM friends f JOIN users u ON u.id = f.friend_id "
                    "WHERE f.user_id = ?1 ORDER BY f.seq"},
    {InsertFriend, "INSERT OR IGNORE INTO friends (user_id, friend_id) VALUES (?1, ?2)"},
    {DeleteFriend, "DELETE FROM friends WHERE user_id = ?1 AND friend_id = ?2"},
    {SelectProfile,
     "SELECT name, first_name, surname, gender, birth_day, birth_month, birth_year, city, country "
     "FROM users WHERE name = ?1"},
    {UpdateProfile, "UPDATE users SET first_name = ?2, surname = ?3, gender = ?4, birth_day = ?5, "
                    "birth_month = ?6, birth_year = ?7, city = ?8, country = ?9 WHERE id = ?1"},
    // ?1: the lower-cased text of three characters, quoted. The index yields
    // rowids in ascending order, so LIMIT stops early.
    {SearchByTrigrams, "SELECT u.name FROM user_name_trigrams t JOIN users u ON u.id = t.rowid "
                       "WHERE user_name_trigrams MATCH ?1 ORDER BY t.rowid LIMIT ?2"},
    // ?1: the lower-cased text of one or two characters as one hex word.
    {SearchByGrams, "SELECT u.name FROM user_name_grams g JOIN users u ON u.id = g.rowid "
                    "WHERE user_name_grams MATCH ?1 ORDER BY g.rowid LIMIT ?2"},
    // ?1: the lower-cased text of four or five characters as one hex word.
    {SearchByLongPieces,
     "SELECT u.name FROM user_name_long_pieces p JOIN users u ON u.id = p.rowid "
     "WHERE user_name_long_pieces MATCH ?1 ORDER BY p.rowid LIMIT ?2"},
    // ?1: the rarest five-character pieces of a longer text as hex words
    // joined by AND; ?2: the lower-cased text, which every candidate must hold.
    {SearchByFivePieces,
     "SELECT u.name FROM user_name_long_pieces p JOIN users u ON u.id = p.rowid "
     "WHERE user_name_long_pieces MATCH ?1 AND instr(lower(u.name), ?2) > 0 "
     "ORDER BY p.rowid LIMIT ?3"},
    // ?1: the user whose list is looked at; ?2: the friend.
    {IsFriend, "SELECT 1 FROM friends WHERE user_id = ?1 AND friend_id = ?2"},
    // ?1: the line id; ?2: the sender.
    {LineDeposited, "SELECT 1 FROM mailbox WHERE line_id = ?1 AND sender_id = ?2"},
    // The recipient's (?1) waiting lines, their bytes and those from the sender (?2).
    {MailboxCounts, "SELECT count(*), coalesce(sum(bytes), 0), coalesce(sum(sender_id = ?2), 0) "
                    "FROM mailbox WHERE recipient_id = ?1 AND sealed_text IS NOT NULL"},
    // ?5: now (Unix ms); ?6: the size of the sealed text ?7.
    {InsertLine, "INSERT INTO mailbox (recipient_id, sender_id, line_id, sealed_to, deposited, "
                 "bytes, sealed_text) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7)"},
    // ?2: the ids as a JSON array of strings.
    {AcknowledgeLines,
     "UPDATE mailbox SET sealed_text = NULL, bytes = 0 WHERE recipient_id = ?1 "
     "AND sealed_text IS NOT NULL AND line_id IN (SELECT value FROM json_each(?2))"},
    // ?2: the key; ?3: the oldest deposit time (Unix ms) still kept; ?4: how many at most.
    {WaitingLines, "SELECT m.line_id, s.name, m.sealed_text FROM mailbox m "
                   "JOIN users s ON s.id = m.sender_id WHERE m.recipient_id = ?1 "
                   "AND m.sealed_text IS NOT NULL AND m.sealed_to = ?2 AND m.deposited > ?3 "
                   "ORDER BY m.seq LIMIT ?4"},
    // ?1: now (Unix ms); ?2: the users as a JSON array of numbers.
    {RecordFetches,
     "UPDATE users SET mailbox_seen = ?1 WHERE id IN (SELECT value FROM json_each(?2))"},
    // ?1: the oldest deposit time (Unix ms) still kept.
    {ExpireLines, "DELETE FROM mailbox WHERE deposited <= ?1"},
}};

constexpr bool statementsInOrder() {
    for (int i = 0; i < StatementCount; ++i)
        if (kStatements[i].id != i)
            return false;
    return true;
}
static_assert(statementsInOrder(), "kStatements must list every Statement in enum order");

} // namespace sorvane::server::sql

#pragma once

// Every SQL text the SQLite storage runs, kept together with the schema
// version they belong to. Statements are prepared once per connection.

#include <array>

namespace sorvane::server::sql {

// PRAGMA user_version of a database laid out as below. A database with a
// higher number was written by a newer server and is not opened.
inline constexpr int kSchemaVersion = 1;

// Run once per connection, outside any transaction. synchronous=FULL syncs the
// write-ahead log on every commit, so an answered "OK" survives a crash or a
// power cut, not just a clean exit.
inline constexpr const char *kConnectionSetup =
    "PRAGMA journal_mode=WAL;"
    "PRAGMA synchronous=FULL;"
    "PRAGMA foreign_keys=ON;";

inline constexpr int kBusyTimeoutMs = 5000;

// Schema version 1, created in one transaction on an empty database, which
// then gets user_version = kSchemaVersion.
//
// user_names is a trigram index of the lower-cased names, so that "names
// containing this text" is answered from the index (three or more characters)
// rather than by reading every account. Accounts are never renamed or
// deleted, so the index is only ever appended to.
inline constexpr const char *kCreateSchema = R"sql(
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

CREATE VIRTUAL TABLE user_names USING fts5(
    name, content='', tokenize='trigram case_sensitive 1'
);

CREATE TRIGGER users_index_name AFTER INSERT ON users BEGIN
    INSERT INTO user_names(rowid, name) VALUES (new.id, lower(new.name));
END;
)sql";

enum Statement : int {
    InsertUser,
    SelectAccount,
    RecordLogin,
    SelectPeerAddress,
    SelectFriends,
    InsertFriend,
    DeleteFriend,
    SelectProfile,
    UpdateProfile,
    SearchIndexed,
    SearchScan,
    StatementCount
};

struct NamedStatement {
    Statement id;
    const char *text;
};

inline constexpr std::array<NamedStatement, StatementCount> kStatements{{
    {InsertUser,
     "INSERT INTO users (name, password_hash) VALUES (?1, ?2)"},
    {SelectAccount,
     "SELECT id, name, password_hash, login_origin FROM users WHERE name = ?1"},
    {RecordLogin,
     "UPDATE users SET ip = ?2, port = ?3, login_origin = ?4 WHERE id = ?1"},
    {SelectPeerAddress,
     "SELECT ip, port FROM users WHERE name = ?1 AND ip IS NOT NULL"},
    {SelectFriends,
     "SELECT u.name FROM friends f JOIN users u ON u.id = f.friend_id "
     "WHERE f.user_id = ?1 ORDER BY f.seq"},
    {InsertFriend,
     "INSERT OR IGNORE INTO friends (user_id, friend_id) VALUES (?1, ?2)"},
    {DeleteFriend,
     "DELETE FROM friends WHERE user_id = ?1 AND friend_id = ?2"},
    {SelectProfile,
     "SELECT name, first_name, surname, gender, birth_day, birth_month, birth_year, city, country "
     "FROM users WHERE name = ?1"},
    {UpdateProfile,
     "UPDATE users SET first_name = ?2, surname = ?3, gender = ?4, birth_day = ?5, "
     "birth_month = ?6, birth_year = ?7, city = ?8, country = ?9 WHERE id = ?1"},
    // ?1 is an FTS5 phrase ("..." with inner quotes doubled) of the lower-cased
    // text; the index yields rowids in ascending order, so LIMIT stops early.
    {SearchIndexed,
     "SELECT u.name FROM user_names JOIN users u ON u.id = user_names.rowid "
     "WHERE user_names MATCH ?1 ORDER BY user_names.rowid LIMIT ?2"},
    // Texts shorter than one trigram cannot use the index.
    {SearchScan,
     "SELECT name FROM users WHERE instr(lower(name), ?1) > 0 ORDER BY id LIMIT ?2"},
}};

constexpr bool statementsInOrder() {
    for (int i = 0; i < StatementCount; ++i)
        if (kStatements[i].id != i) return false;
    return true;
}
static_assert(statementsInOrder(), "kStatements must list every Statement in enum order");

} // namespace sorvane::server::sql

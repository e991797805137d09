#pragma once

// Every SQL text the PostgreSQL storage runs, kept together with the schema
// version they belong to. The statements a request runs are prepared once per
// connection under their names below.

#include <array>
#include <cstdint>

namespace sorvane::server::pgsql {

// The row in directory_schema of a database laid out as below. A database
// with a higher number was written by a newer server and is not opened; one
// without the table is laid out when the server starts.
inline constexpr int kSchemaVersion = 6;

// Held (for one transaction) while the schema is read and laid out, so that
// of several servers starting on one new database only one creates it and the
// others wait and find it done. The number is "sorvane" in ASCII and a 1.
inline constexpr std::int64_t kSchemaLock = 0x736f7276616e6501;

// $1: kSchemaLock.
inline constexpr const char* kTakeSchemaLock = "SELECT pg_advisory_xact_lock($1)";

// Run once per connection. Every request is a handful of rows: starting
// parallel workers or compiling a plan costs far more than it could save (a
// search for a common text waited half a second for its workers), and no
// request should read a whole table where an index can answer, whatever the
// planner guesses about a search text.
inline constexpr const char* kConnectionSetup =
    "SET max_parallel_workers_per_gather = 0; SET jit = off; SET enable_seqscan = off";

// 't' once a server has laid out the schema; then kReadSchemaVersion.
inline constexpr const char* kSchemaExists = "SELECT to_regclass('directory_schema') IS NOT NULL";
inline constexpr const char* kReadSchemaVersion = "SELECT max(version) FROM directory_schema";

// Version 1, created in one transaction on a database without it.
//
// name_key is the name in ASCII lower case: names are unique and found
// without regard to ASCII letter case, like SQLite's NOCASE, whatever the
// database's locale would make of other letters.
//
// name_chars, name_pairs and name_windows were spellings of name_key for
// pg_trgm's trigram indexes, which answered "names containing this text" up
// to version 5 (see kUpgradeToVersion6).
//
// login_failures holds the failed logins of every directory server on this
// database, so that several servers allow no more guesses than one: a key
// per count of login_throttle.h (see kUpgradeToVersion3), the times of its
// failures within the window, oldest first, and the end of its pause. Times
// are the database's, which all servers share.
inline constexpr const char* kCreateSchema = R"sql(
CREATE EXTENSION IF NOT EXISTS pg_trgm;

CREATE TABLE directory_schema (
    version integer NOT NULL
);

CREATE TABLE users (
    id            bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    name          text NOT NULL,
    name_key      text NOT NULL UNIQUE,
    name_chars    text NOT NULL,
    name_pairs    text NOT NULL,
    name_windows  text NOT NULL,
    password_hash text NOT NULL,
    ip            text,
    port          integer,
    login_origin  text,
    first_name    text NOT NULL DEFAULT '',
    surname       text NOT NULL DEFAULT '',
    gender        text NOT NULL DEFAULT '',
    birth_day     text NOT NULL DEFAULT '',
    birth_month   text NOT NULL DEFAULT '',
    birth_year    text NOT NULL DEFAULT '',
    city          text NOT NULL DEFAULT '',
    country       text NOT NULL DEFAULT ''
);

ALTER TABLE users ALTER COLUMN name_chars SET STATISTICS 1000,
                  ALTER COLUMN name_pairs SET STATISTICS 1000,
                  ALTER COLUMN name_windows SET STATISTICS 1000;
CREATE INDEX users_name_chars ON users USING gin (name_chars gin_trgm_ops);
CREATE INDEX users_name_pairs ON users USING gin (name_pairs gin_trgm_ops);
CREATE INDEX users_name_windows ON users USING gin (name_windows gin_trgm_ops);

CREATE TABLE friends (
    seq       bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    user_id   bigint NOT NULL REFERENCES users(id),
    friend_id bigint NOT NULL REFERENCES users(id),
    UNIQUE (user_id, friend_id)
);

CREATE TABLE login_failures (
    key          text PRIMARY KEY,
    recent       timestamptz[] NOT NULL,
    paused_until timestamptz NOT NULL
);

INSERT INTO directory_schema (version) VALUES (1);
)sql";

// Version 2: each user's login token, kept only as its SHA-256 (hex), and the
// name's look-alike skeleton (names.h), which no second account may share.
// New databases get it right after kCreateSchema; accounts from version 1
// get their skeleton when the database is upgraded and stay as they are.
inline constexpr const char* kUpgradeToVersion2 = R"sql(
ALTER TABLE users ADD COLUMN login_token_hash text, ADD COLUMN name_skeleton text;
CREATE INDEX users_name_skeleton ON users (name_skeleton);
UPDATE directory_schema SET version = 2;
)sql";
// Version 3: failed logins are counted per name from one address ("p:", the
// address, a blank and the name in ASCII lower case), per address ("a:" and
// the address) and per name over all addresses ("c:" and the name), where
// version 2 paused a name from everywhere ("n:"), which let anyone lock the
// owner out. Servers that count the old way must not share the database.
inline constexpr const char* kUpgradeToVersion3 = R"sql(
DELETE FROM login_failures WHERE key LIKE 'n:%';
UPDATE directory_schema SET version = 3;
)sql";

// Version 4: the identity key each user's messenger published at its last
// login (base64url text), handed out with its address; NULL: none.
inline constexpr const char* kUpgradeToVersion4 = R"sql(
ALTER TABLE users ADD COLUMN identity_key text;
UPDATE directory_schema SET version = 4;
)sql";

// Version 5: the mailbox. Each line waits for its recipient in order of
// deposit (seq), sealed to the key it names; its text (and size) go when the
// recipient acknowledges it, its row when it is mailbox::kKeptFor old
// (storage.h). Times are the database's, which all servers share.
// mailbox_waiting holds what the limits count, so that a deposit reads no
// sealed text. users.mailbox_seen: when a fetch by the user last began or
// ended.
inline constexpr const char* kUpgradeToVersion5 = R"sql(
ALTER TABLE users ADD COLUMN mailbox_seen timestamptz;
CREATE TABLE mailbox (
    seq          bigint GENERATED ALWAYS AS IDENTITY PRIMARY KEY,
    recipient_id bigint NOT NULL REFERENCES users(id),
    sender_id    bigint NOT NULL REFERENCES users(id),
    line_id      text NOT NULL,
    sealed_to    text NOT NULL,
    deposited    timestamptz NOT NULL,
    bytes        integer NOT NULL,
    sealed_text  text,
    UNIQUE (line_id, sender_id)
);
CREATE INDEX mailbox_waiting ON mailbox (recipient_id, sender_id, bytes)
    WHERE sealed_text IS NOT NULL;
CREATE INDEX mailbox_by_age ON mailbox (deposited);
UPDATE directory_schema SET version = 5;
)sql";

// Version 6: "names containing this text" from lists of account ids in
// order of age, one per piece of one to five characters of name_key, as the
// SQLite storage keeps them. A trigram index hands its rows back in no
// order, so a text held by a few thousand accounts had every one of them
// read and sorted to find the oldest hundred; a list in order of age is
// read only as far as the answer needs. A text of up to five characters is
// itself a piece: its list is its answer. A longer text walks the lists of
// its rarest five-character pieces side by side and checks the ids they
// share against name_key.
//
// name_pieces holds each list in blocks of at most kPieceBlockIds ids, the
// block's first id naming it; ids is each id's distance from the one before
// (from first_id for the first), as unsigned LEB128. Only the last block of
// a piece grows. name_piece_counts: how many accounts hold each piece, to
// find the rarest. Both are written under kPiecesLock, in order of account
// id; the server fills them for the accounts already there when it
// upgrades. Servers of version 5 must not share the database: they would
// add accounts the lists do not hold.
inline constexpr const char* kUpgradeToVersion6 = R"sql(
CREATE TABLE name_pieces (
    piece    text COLLATE "C" NOT NULL,
    first_id bigint NOT NULL,
    last_id  bigint NOT NULL,
    accounts integer NOT NULL,
    ids      bytea NOT NULL,
    PRIMARY KEY (piece, first_id)
);
CREATE TABLE name_piece_counts (
    piece    text COLLATE "C" PRIMARY KEY,
    accounts bigint NOT NULL
);
DROP INDEX users_name_chars, users_name_pairs, users_name_windows;
ALTER TABLE users DROP COLUMN name_chars, DROP COLUMN name_pairs, DROP COLUMN name_windows;
UPDATE directory_schema SET version = 6;
)sql";
inline constexpr int kPieceBlockIds = 128;

// Held (for one transaction) while accounts are added and their pieces
// listed, taken before the accounts get their ids: every list then grows at
// its end only, in order. Registrations through several servers wait for
// each other this long. $1: the number below ("sorvane" and a 2).
inline constexpr std::int64_t kPiecesLock = 0x736f7276616e6502;
inline constexpr const char* kLockPieces = "SELECT pg_advisory_xact_lock($1)";
// The accounts of a database upgraded from version 5, in order, $2 at a time after id $1.
inline constexpr const char* kAccountsAfter =
    "SELECT id, name_key FROM users WHERE id > $1 ORDER BY id LIMIT $2";

// The channel on which the servers on one database tell each other about
// mailboxes (Notify). A notification's payload: "d" (a line was deposited) or
// "f" (a fetch began), the sending server's tag and the user's id, separated
// by blanks.
inline constexpr const char* kListen = "LISTEN sorvane_mailbox";

// Held (for one transaction) while a line is deposited, so that deposits for
// one recipient through several servers are counted one after the other.
// $1: the class below; $2: the recipient.
inline constexpr int kMailboxLockClass = 0x6d626f78;
inline constexpr const char* kLockMailbox =
    "SELECT pg_advisory_xact_lock($1, ($2::bigint % 2147483647)::integer)";

inline constexpr const char* kSelectWithoutSkeleton =
    "SELECT id, name FROM users WHERE name_skeleton IS NULL";
inline constexpr const char* kSetSkeleton = "UPDATE users SET name_skeleton = $2 WHERE id = $1";

// Held (for one transaction) while a new account's skeleton is looked for and
// the account inserted, so that of two look-alikes registered at once through
// several servers only one gets in. $1: the class below; $2: the skeleton.
inline constexpr int kSkeletonLockClass = 0x736b656c;
inline constexpr const char* kLockSkeleton = "SELECT pg_advisory_xact_lock($1, hashtext($2))";

// The bulk import: rows are copied into a scratch table first, so that taken
// names can be skipped and the rest keep their order. Run after kLockPieces;
// the new accounts come back for their pieces.
inline constexpr const char* kCreateImportTable =
    "CREATE TEMPORARY TABLE import_accounts (seq bigint, name text, name_key text, "
    "password_hash text, ip text, port integer, name_skeleton text) ON COMMIT DROP";
inline constexpr const char* kCopyImport =
    "COPY import_accounts (seq, name, name_key, password_hash, ip, port, name_skeleton) "
    "FROM STDIN";
inline constexpr const char* kInsertImported = R"sql(
INSERT INTO users (name, name_key, password_hash, ip, port, login_origin, name_skeleton)
SELECT name, name_key, password_hash, ip, port, ip, name_skeleton FROM (
    SELECT DISTINCT ON (name_key) * FROM import_accounts ORDER BY name_key, seq
) first_of_each ORDER BY seq
ON CONFLICT (name_key) DO NOTHING
RETURNING id, name_key
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
    LoginPaused,
    LoginFailed,
    LoginSucceeded,
    ForgetOldLoginFailures,
    IsFriend,
    LineDeposited,
    MailboxCounts,
    InsertLine,
    AcknowledgeLines,
    WaitingLines,
    Notify,
    RecordFetches,
    ExpireLines,
    LastPieceBlocks,
    AppendToPieceBlocks,
    InsertPieceBlocks,
    CountPieces,
    PieceCounts,
    PieceBlocksAround,
    CheckCandidates,
    StatementCount
};

struct NamedStatement {
    Statement id;
    const char* name;
    const char* text;
};

inline constexpr std::array<NamedStatement, StatementCount> kStatements{{
    // No row back: the name or its skeleton ($4) is taken. Run after kLockSkeleton and
    // kLockPieces.
    {InsertUser, "insert_user",
     "INSERT INTO users (name, name_key, password_hash, name_skeleton) "
     "SELECT $1, $2, $3, $4 WHERE NOT EXISTS (SELECT 1 FROM users WHERE name_skeleton = $4) "
     "ON CONFLICT (name_key) DO NOTHING RETURNING id"},
    // $1: the name in ASCII lower case, here and below.
    {SelectAccount, "select_account",
     "SELECT id, name, password_hash, login_origin, login_token_hash, identity_key FROM users "
     "WHERE name_key = $1"},
    {RecordLogin, "record_login",
     "UPDATE users SET ip = $2, port = $3, login_origin = $4, login_token_hash = $5, "
     "identity_key = NULLIF($6, '') WHERE id = $1"},
    // $2: how long (ms) a fetch counts as lately.
    {SelectPeerAddress, "select_peer_address",
     "SELECT ip, port, identity_key, "
     "coalesce(mailbox_seen > statement_timestamp() - $2 * interval '1 ms', false) "
     "FROM users WHERE name_key = $1 AND ip IS NOT NULL"},
    {SelectFriends, "select_friends",
     "SELECT u.name FROM friends f JOIN users u ON u.id = f.friend_id "
     "WHERE f.user_id = $1 ORDER BY f.seq"},
    {InsertFriend, "insert_friend",
     "INSERT INTO friends (user_id, friend_id) VALUES ($1, $2) ON CONFLICT DO NOTHING"},
    {DeleteFriend, "delete_friend", "DELETE FROM friends WHERE user_id = $1 AND friend_id = $2"},
    {SelectProfile, "select_profile",
     "SELECT name, first_name, surname, gender, birth_day, birth_month, birth_year, city, "
     "country FROM users WHERE name_key = $1"},
    {UpdateProfile, "update_profile",
     "UPDATE users SET first_name = $2, surname = $3, gender = $4, birth_day = $5, "
     "birth_month = $6, birth_year = $7, city = $8, country = $9 WHERE id = $1"},
    // $1, $2, $3: the keys of the name from the address, of the address and
    // of the name ('' where the name's ceiling spares the address).
    {LoginPaused, "login_paused",
     "SELECT count(*) FROM login_failures "
     "WHERE key IN ($1, $2, $3) AND paused_until > statement_timestamp()"},
    // $1: a key; $2: the window and $4: the pause, in milliseconds; $3: the
    // failures within the window that start a pause. One statement, so that
    // failures arriving at once through several servers are counted one
    // after the other on the key's row.
    {LoginFailed, "login_failed", R"sql(
INSERT INTO login_failures AS f (key, recent, paused_until)
VALUES ($1,
        CASE WHEN $3 <= 1 THEN '{}' ELSE ARRAY[statement_timestamp()] END,
        CASE WHEN $3 <= 1 THEN statement_timestamp() + $4 * interval '1 ms' ELSE '-infinity' END)
ON CONFLICT (key) DO UPDATE SET
    recent = CASE
        WHEN cardinality(ARRAY(SELECT t FROM unnest(f.recent) t
                               WHERE t > statement_timestamp() - $2 * interval '1 ms')) + 1 >= $3
        THEN '{}'
        ELSE ARRAY(SELECT t FROM unnest(f.recent) t
                   WHERE t > statement_timestamp() - $2 * interval '1 ms') || statement_timestamp()
        END,
    paused_until = CASE
        WHEN cardinality(ARRAY(SELECT t FROM unnest(f.recent) t
                               WHERE t > statement_timestamp() - $2 * interval '1 ms')) + 1 >= $3
        THEN statement_timestamp() + $4 * interval '1 ms'
        ELSE f.paused_until
        END
)sql"},
    // Only the key of the name from the address goes.
    {LoginSucceeded, "login_succeeded", "DELETE FROM login_failures WHERE key = $1"},
    // Keys that no longer pause anything nor hold a failure within the window ($1, ms).
    {ForgetOldLoginFailures, "forget_old_login_failures",
     "DELETE FROM login_failures WHERE paused_until <= statement_timestamp() "
     "AND (cardinality(recent) = 0 OR "
     "recent[cardinality(recent)] <= statement_timestamp() - $1 * interval '1 ms')"},
    // $1: the user whose list is looked at; $2: the friend.
    {IsFriend, "is_friend", "SELECT 1 FROM friends WHERE user_id = $1 AND friend_id = $2"},
    // $1: the line id; $2: the sender.
    {LineDeposited, "line_deposited",
     "SELECT 1 FROM mailbox WHERE line_id = $1 AND sender_id = $2"},
    // The recipient's ($1) waiting lines, their bytes and those from the sender ($2).
    {MailboxCounts, "mailbox_counts",
     "SELECT count(*), coalesce(sum(bytes), 0), count(*) FILTER (WHERE sender_id = $2) "
     "FROM mailbox WHERE recipient_id = $1 AND sealed_text IS NOT NULL"},
    // $5: the size of the sealed text $6.
    {InsertLine, "insert_line",
     "INSERT INTO mailbox (recipient_id, sender_id, line_id, sealed_to, deposited, bytes, "
     "sealed_text) VALUES ($1, $2, $3, $4, statement_timestamp(), $5, $6)"},
    // $2: the ids as an array ('{a,b}').
    {AcknowledgeLines, "acknowledge_lines",
     "UPDATE mailbox SET sealed_text = NULL, bytes = 0 WHERE recipient_id = $1 "
     "AND sealed_text IS NOT NULL AND line_id = ANY($2::text[])"},
    // $2: the key; $3: how many at most; $4: how long (ms) lines are kept.
    {WaitingLines, "waiting_lines",
     "SELECT m.line_id, s.name, m.sealed_text FROM mailbox m JOIN users s ON s.id = m.sender_id "
     "WHERE m.recipient_id = $1 AND m.sealed_text IS NOT NULL AND m.sealed_to = $2 "
     "AND m.deposited > statement_timestamp() - $4 * interval '1 ms' ORDER BY m.seq LIMIT $3"},
    // $1: the payload (kListen). Inside a transaction it goes out with the commit.
    {Notify, "notify", "SELECT pg_notify('sorvane_mailbox', $1)"},
    // $1: the users as an array ('{1,2}').
    {RecordFetches, "record_fetches",
     "UPDATE users SET mailbox_seen = statement_timestamp() WHERE id = ANY($1::bigint[])"},
    // $1: how long (ms) lines are kept.
    {ExpireLines, "expire_lines",
     "DELETE FROM mailbox WHERE deposited <= statement_timestamp() - $1 * interval '1 ms'"},
    // The lists of pieces (kUpgradeToVersion6). Arrays travel as text ('{...}').
    // $1: pieces; the last block of each that has one.
    {LastPieceBlocks, "last_piece_blocks",
     "SELECT p.piece, b.first_id, b.last_id, b.accounts FROM unnest($1::text[]) p (piece) "
     "CROSS JOIN LATERAL (SELECT first_id, last_id, accounts FROM name_pieces "
     "WHERE piece = p.piece ORDER BY first_id DESC LIMIT 1) b"},
    // Per block ($1, $2): its new last id, how many ids and which bytes it gains.
    {AppendToPieceBlocks, "append_to_piece_blocks",
     "UPDATE name_pieces b SET last_id = v.last_id, accounts = b.accounts + v.added, "
     "ids = b.ids || v.more FROM unnest($1::text[], $2::bigint[], $3::bigint[], $4::integer[], "
     "$5::bytea[]) v (piece, first_id, last_id, added, more) "
     "WHERE b.piece = v.piece AND b.first_id = v.first_id"},
    {InsertPieceBlocks, "insert_piece_blocks",
     "INSERT INTO name_pieces (piece, first_id, last_id, accounts, ids) "
     "SELECT * FROM unnest($1::text[], $2::bigint[], $3::bigint[], $4::integer[], $5::bytea[])"},
    // $2: how many more accounts hold each piece of $1.
    {CountPieces, "count_pieces",
     "INSERT INTO name_piece_counts (piece, accounts) SELECT * FROM unnest($1::text[], "
     "$2::bigint[]) ON CONFLICT (piece) DO UPDATE SET accounts = "
     "name_piece_counts.accounts + excluded.accounts"},
    {PieceCounts, "piece_counts",
     "SELECT piece, accounts FROM name_piece_counts WHERE piece = ANY($1::text[])"},
    // The next $3 blocks of piece $1 after the one named $2, and the blocks of
    // the pieces $4 that hold ids from the first of those to the last: one
    // round trip per step of a search. Rows by piece, then in order of ids.
    {PieceBlocksAround, "piece_blocks_around",
     "WITH mine AS (SELECT first_id, last_id, ids FROM name_pieces WHERE piece = $1 "
     "AND first_id > $2 ORDER BY first_id LIMIT $3), "
     "span AS (SELECT min(first_id) AS low, max(last_id) AS high FROM mine) "
     "SELECT $1::text AS piece, first_id, last_id, ids FROM mine UNION ALL "
     "SELECT p.piece, b.first_id, b.last_id, b.ids FROM span CROSS JOIN "
     "unnest($4::text[]) p (piece) CROSS JOIN LATERAL (SELECT first_id, last_id, ids "
     "FROM name_pieces WHERE piece = p.piece AND first_id <= span.high "
     "AND first_id >= coalesce((SELECT max(first_id) FROM name_pieces "
     "WHERE piece = p.piece AND first_id <= span.low), span.low)) b ORDER BY 1, 2"},
    // Of the accounts $1, the oldest $3 whose name_key holds $2.
    {CheckCandidates, "check_candidates",
     "SELECT name FROM users WHERE id = ANY($1::bigint[]) AND strpos(name_key, $2) > 0 "
     "ORDER BY id LIMIT $3"},
}};

constexpr bool statementsInOrder() {
    for (int i = 0; i < StatementCount; ++i)
        if (kStatements[i].id != i)
            return false;
    return true;
}
static_assert(statementsInOrder(), "kStatements must list every Statement in enum order");

} // namespace sorvane::server::pgsql

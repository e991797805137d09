#pragma once

#include "storage.h"

#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::server {

// True when a --db value names a PostgreSQL database: a libpq connection URI
// starting with "postgresql://" or "postgres://". Anything else is a SQLite file.
bool isPostgresUri(std::string_view database);

// The --db value fit for a log: a password in a URI shown as "***".
std::string shownDatabase(std::string_view database);

// One account for PostgresStorage::importAccounts.
struct ImportedAccount {
    std::string name;
    std::string passwordHash;
    std::string ip; // empty: never logged in; else the login origin too
    int port = 0;
};

// Storage in a PostgreSQL database, which several directory servers may share.
// Each serving thread borrows a connection (with its prepared statements) from
// a pool, so there are at most as many connections as requests served at
// once. A connection the database dropped (a restart, a lost network) is
// noticed when it is next borrowed or used, closed, and replaced by a new one
// for the next request; the request it failed gets the database's error. No
// statement waits longer than a few seconds for its answer.
class PostgresStorage final : public Storage {
public:
    // Connects, then lays out the schema on a new database or checks its
    // version; throws std::runtime_error with the reason when that fails.
    explicit PostgresStorage(std::string uri);
    ~PostgresStorage() override;

    bool createAccount(std::string_view name, std::string_view passwordHash,
                       std::string_view skeleton) override;
    std::optional<Account> account(std::string_view name) override;
    void recordLogin(UserId user, const PeerAddress& address, std::string_view origin,
                     std::string_view tokenHash) override;
    std::optional<PeerAddress> peerAddress(std::string_view name) override;
    std::vector<std::string> friends(UserId user) override;
    void addFriend(UserId user, UserId friendId) override;
    void removeFriend(UserId user, UserId friendId) override;
    std::optional<Profile> profile(std::string_view name) override;
    void storeProfile(UserId user, const ProfileFields& fields) override;
    std::vector<std::string> search(std::string_view text, int limit) override;
    Deposit deposit(UserId sender, UserId recipient, std::string_view sealedTo, std::string_view id,
                    std::string_view sealedText) override;
    void acknowledge(UserId user, const std::vector<std::string>& ids) override;
    std::vector<MailboxLine> waitingLines(UserId user, std::string_view sealedTo,
                                          int limit) override;
    void announceFetch(UserId user) override;
    void recordFetches(const std::vector<UserId>& users) override;
    void expireMailbox() override;
    // A connection of its own that LISTENs to the other servers' deposits and fetches.
    std::unique_ptr<MailboxListener> mailboxListener() override;
    // Failed logins counted in the database, together with every other
    // server on it.
    std::unique_ptr<LoginThrottle> loginThrottle(const LoginThrottle::Settings& settings) override;

    // Many accounts through COPY in one transaction, for seeding or moving a
    // directory; taken names are skipped, the rest keep their order. Returns
    // how many were created.
    size_t importAccounts(const std::vector<ImportedAccount>& accounts);

    struct Connection;

private:
    class Lease;
    class Throttle;
    class Listener;
    Lease borrow();
    void giveBack(std::unique_ptr<Connection> connection);
    // Closes the idle connections: after one was lost, the others most
    // likely went the same way.
    void dropIdle();
    // `read(Connection&)` on a pooled connection, and once more on a fresh
    // one when that connection turns out lost. Only for statements that
    // change nothing: a write that was lost may have been done.
    template <class Read> auto reading(Read read);

    std::string uri_;
    // Names this server in its notifications, so that it ignores its own.
    std::string tag_;
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<Connection>> idle_;
};

} // namespace sorvane::server

#pragma once

#include "storage.h"

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace sorvane::server {

// Storage in one SQLite file in write-ahead-log mode. Each thread borrows a
// connection (with its prepared statements) from a pool; readers never wait
// for writers, and writes are taken one at a time inside the process so that
// they do not spin on SQLite's busy handler.
class SqliteStorage final : public Storage {
public:
    // Opens or creates the database and lays out the schema; throws
    // std::runtime_error with SQLite's reason when that fails.
    explicit SqliteStorage(std::string path);
    ~SqliteStorage() override;

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
    void recordFetches(const std::vector<UserId>& users) override;
    void expireMailbox() override;

    // Many accounts in one transaction, for seeding or moving a directory;
    // taken names are skipped; look-alikes are kept, as accounts that exist
    // are. Returns how many were created.
    size_t importAccounts(const std::vector<std::pair<std::string, std::string>>& accounts);

    struct Connection;

private:
    class Lease;
    Lease borrow();
    void giveBack(std::unique_ptr<Connection> connection);
    void migrate(Connection& connection);

    std::string path_;
    std::mutex poolMutex_;
    std::vector<std::unique_ptr<Connection>> idle_;
    std::mutex writeMutex_;
};

} // namespace sorvane::server

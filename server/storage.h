#pragma once

// What the directory keeps, independent of the database behind it. SQLite is
// the embedded default; a client/server database can take its place for
// directories that outgrow one machine.
//
// User names are matched without regard to ASCII letter case ("Ann@X" finds
// "ann@x") and are always handed back as they were registered.

#include "login_throttle.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sorvane::server {

using UserId = std::int64_t;

// The form names are compared in: ASCII letters in lower case, every other
// byte as it is.
inline std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return out;
}

struct Account {
    UserId id = 0;
    std::string name;                       // as registered
    std::string passwordHash;               // crypt(3) text, "$y$..."
    std::optional<std::string> loginOrigin; // remote address of the last accepted login
    // SHA-256 (lower-case hex) of the token handed out at the last accepted
    // login; empty before the first. Changes must present that token.
    std::string loginTokenHash;
    // The identity key of the last login (base64url); empty: none.
    std::string identityKey = {};
};

struct PeerAddress {
    std::string ip;
    int port = 0;
    // The Ed25519 public key the messenger at this address published, in
    // base64url without padding; empty: none.
    std::string identityKey = {};
    // The database records a mailbox fetch by this user, begun or ended,
    // within the last kFetchSeenFor.
    bool fetchedLately = false;
};

// The text cut into characters: a piece starts at every byte that does not
// continue a UTF-8 sequence.
inline std::vector<std::string_view> characters(std::string_view utf8) {
    std::vector<std::string_view> out;
    size_t start = 0;
    for (size_t i = 1; i <= utf8.size(); ++i) {
        if (i == utf8.size() || (static_cast<unsigned char>(utf8[i]) & 0xC0) != 0x80) {
            out.push_back(utf8.substr(start, i - start));
            start = i;
        }
    }
    return out;
}

// The mailbox keeps lines sealed to a recipient's identity key until the
// recipient's messenger fetches and acknowledges them. Only the sealed text,
// its sender and recipient, the key it was sealed to, its id and its time are
// stored.
namespace mailbox {
// A recipient holds at most this many waiting lines and bytes of sealed text,
// and this many from any one sender.
inline constexpr int kLinesPerRecipient = 5000;
inline constexpr std::int64_t kBytesPerRecipient = 50'000'000;
inline constexpr int kLinesPerSender = 500;
// Lines, and the ids of acknowledged lines, are deleted after this long.
inline constexpr std::chrono::hours kKeptFor{14 * 24};
// How long after a fetch began or ended a look-up says "mailbox".
inline constexpr std::chrono::seconds kFetchSeenFor{90};
} // namespace mailbox

struct MailboxLine {
    std::string id;     // 32 lower-case hex digits, chosen by the sender
    std::string sender; // name, as registered
    std::string sealedText;
};

enum class Deposit {
    Stored,
    Repeated,   // this sender deposited a line with this id before: nothing stored
    NotAFriend, // the sender is not in the recipient's friend list
    Full,       // the recipient's mailbox, or the sender's share of it, is full
};

// What another directory server on the same database did.
struct MailboxNews {
    enum Kind { Deposited, FetchBegun } kind;
    UserId user;
};

// Hears what the other servers sharing a database do to mailboxes, so that a
// fetch held here wakes for a line deposited there.
class MailboxListener {
public:
    virtual ~MailboxListener() = default;
    // Connects and starts listening; empty on success, else why not.
    virtual std::string connect() = 0;
    // Becomes readable when news arrives; -1 while not connected.
    virtual int descriptor() const = 0;
    // Adds what arrived to `news`. False when the connection is lost: news
    // may have been missed, and connect() must be called again.
    virtual bool take(std::vector<MailboxNews>& news) = 0;
};

// Name, surname, gender, day, month and year of birth, city, country.
using ProfileFields = std::array<std::string, 8>;

struct Profile {
    std::string name; // the user name, as registered
    ProfileFields fields;
};

// Every method may be called from many threads at once and throws
// std::runtime_error when the database fails.
class Storage {
public:
    virtual ~Storage() = default;

    // False when the name is taken, or when an account with the same
    // `skeleton` (see names.h: the form under which names look alike) exists.
    // Both are checked and the account created as one step, so that of two
    // look-alike names registered at once only one gets in.
    virtual bool createAccount(std::string_view name, std::string_view passwordHash,
                               std::string_view skeleton) = 0;
    virtual std::optional<Account> account(std::string_view name) = 0;

    // Records the address peers reach the user at (with its identity key),
    // where the login came from and the hash of the login's token (replacing
    // the previous ones).
    virtual void recordLogin(UserId user, const PeerAddress& address, std::string_view origin,
                             std::string_view tokenHash) = 0;
    // Never logged in, or unknown: nothing.
    virtual std::optional<PeerAddress> peerAddress(std::string_view name) = 0;

    // Friends in the order they were added. Adding an existing friend keeps its place.
    virtual std::vector<std::string> friends(UserId user) = 0;
    virtual void addFriend(UserId user, UserId friendId) = 0;
    virtual void removeFriend(UserId user, UserId friendId) = 0;

    virtual std::optional<Profile> profile(std::string_view name) = 0;
    virtual void storeProfile(UserId user, const ProfileFields& fields) = 0;

    // Names containing `text` (ASCII case-insensitively), at most `limit`,
    // oldest account first. Empty text matches nobody.
    virtual std::vector<std::string> search(std::string_view text, int limit) = 0;

    // The line `id` from `sender` for `recipient`, sealed to `sealedTo`
    // (the recipient's key), within the limits of namespace mailbox. Checks
    // and stores as one step, so that lines deposited at once through
    // several servers cannot overfill a mailbox. Servers sharing the
    // database hear of a stored line.
    virtual Deposit deposit(UserId sender, UserId recipient, std::string_view sealedTo,
                            std::string_view id, std::string_view sealedText) = 0;
    // Deletes the text of the user's waiting lines with these ids; the ids
    // stay until the lines would have expired, so that a repeated deposit is
    // still recognised.
    virtual void acknowledge(UserId user, const std::vector<std::string>& ids) = 0;
    // The user's waiting lines sealed to `sealedTo`, oldest first, at most `limit`.
    virtual std::vector<MailboxLine> waitingLines(UserId user, std::string_view sealedTo,
                                                  int limit) = 0;
    // Tells the servers sharing the database that a fetch by `user` began.
    virtual void announceFetch(UserId) {}
    // Records that fetches by these users began or ended now (peerAddress's
    // fetchedLately).
    virtual void recordFetches(const std::vector<UserId>& users) = 0;
    // Deletes the lines older than mailbox::kKeptFor.
    virtual void expireMailbox() = 0;
    // For a database other servers share; null when this server is alone on it.
    virtual std::unique_ptr<MailboxListener> mailboxListener() { return nullptr; }

    // Where failed logins are counted: in this process unless the database
    // is shared by several servers, which must then count them together.
    virtual std::unique_ptr<LoginThrottle> loginThrottle(const LoginThrottle::Settings& settings) {
        return std::make_unique<MemoryLoginThrottle>(settings);
    }
};

} // namespace sorvane::server

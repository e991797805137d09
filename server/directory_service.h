#pragma once

// The directory scripts, free of HTTP: the method, a parsed request target,
// the caller's address and a request body go in, a status and a body come
// out, or a fetch to hold until the user's mailbox gets a line.

#include "login_throttle.h"
#include "mailbox.h"
#include "rate_limiter.h"
#include "target.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace sorvane::server {

class Storage;
struct Account;
class PasswordHasher;

struct Reply {
    int status = 200;
    std::string body; // lines ended by CR LF
    std::string note; // for the log only: why the request failed, or what it changed
    // With status 405: the methods the script serves, for the Allow header.
    std::string_view allow;
    // A fetch that found the user's mailbox empty and may wait: the request
    // is to be held (Mailbox::hold) and answered by answerHeld() when woken.
    struct Hold {
        std::int64_t user;
        std::string key;       // of the login the fetch was made with: its lines only
        std::uint64_t ticket;  // Mailbox::fetchBegun
        std::uint64_t watched; // Mailbox::watch, before the lines were read
        std::chrono::steady_clock::time_point due;
    };
    std::optional<Hold> hold;
};

// Refusal lines of the scripts that answer "OK" or a refusal (c, n, f, d, e,
// and m's deposits; m's fetches refuse with these lines too).
// The scripts that answer with data (g, s, v) refuse with an empty body.
namespace refusal {
inline constexpr std::string_view kUsernameExists = "username exists";
inline constexpr std::string_view kWrongLogin = "Error: wrong user name or password";
inline constexpr std::string_view kEmptyNameOrPassword =
    "Error: user name and password must not be empty";
inline constexpr std::string_view kTooLong = "Error: value longer than 256 bytes";
inline constexpr std::string_view kBadCharacters = "Error: invalid characters";
inline constexpr std::string_view kBadAddress = "Error: invalid address or port";
inline constexpr std::string_view kUnknownUser = "Error: no such user";
inline constexpr std::string_view kWrongOrigin = "Error: log in from this address first";
inline constexpr std::string_view kServerError = "Error: server error";
inline constexpr std::string_view kTooManyFailures =
    "Error: too many failed logins, try again later";
inline constexpr std::string_view kLogInAgain = "Error: log in again";
inline constexpr std::string_view kTooManySearches = "Error: too many searches, try again later";
inline constexpr std::string_view kTooManyNewUsers =
    "Error: too many new users from this address, try again later";
inline constexpr std::string_view kNameNotAllowed = "Error: this name is not allowed";
inline constexpr std::string_view kBadLineId = "Error: invalid line id";
inline constexpr std::string_view kNotSealed = "Error: the line is not sealed text";
inline constexpr std::string_view kLineTooLong = "Error: line longer than 64 KiB";
inline constexpr std::string_view kCannotReceive =
    "Error: this user cannot receive this line through the directory";
inline constexpr std::string_view kNotADeposit = "Error: a fetch has no to or id";
inline constexpr std::string_view kBadAck = "Error: invalid ack or more than 100";
inline constexpr std::string_view kBadWait = "Error: wait must be 0 to 20 seconds";
// "Error: <recipient> has not added you as a friend" and "Error: the mailbox
// of <recipient> is full" name the recipient.
} // namespace refusal

inline constexpr size_t kMaxValueBytes = 256;
inline constexpr int kMaxSearchResults = 100;
// The mailbox (m.php): a deposit's sealed text; a fetch's acks, reply and wait.
inline constexpr size_t kMaxSealedBytes = 64 * 1024;
inline constexpr size_t kMaxAcks = 100;
inline constexpr int kMaxFetchLines = 100;
inline constexpr size_t kMaxFetchBytes = 1024 * 1024;
inline constexpr int kMaxWaitSeconds = 20;

class DirectoryService {
public:
    struct Settings {
        // Register the address a login came from rather than the ip it sent,
        // unless it came over IPv6.
        bool observedAddress = false;
        // How failed logins slow down further attempts.
        LoginThrottle::Settings throttle;
        // Accept changes (f, d, e) from the address of the last login without
        // the login's token, as messengers from before the token need. Anyone
        // who shares that address (a NAT, a shared machine, a web page the
        // user opens) can then change the user's data.
        bool allowAddressOnlyChanges = false;
        // s.php and n.php from one address (the whole-friend-list g.php
        // lookups of a presence run are not limited).
        RateLimiter::Settings searches{5, 20};
        RateLimiter::Settings newUsers{20.0 / 3600, 20};
    };

    // Without a mailbox, fetches never wait.
    DirectoryService(Storage& storage, const PasswordHasher& hasher, Settings settings,
                     Mailbox* mailbox = nullptr);

    // `method` as sent ("GET"); `remoteAddress` is the peer of the HTTP
    // connection ("127.0.0.1"; IPv4-mapped IPv6 addresses are taken as IPv4);
    // `body` the request's body, read only where bodyLimit() allows one.
    Reply handle(std::string_view method, const Target& target, std::string_view remoteAddress,
                 std::string_view body = {});
    // The most bytes of body a request of `method` to `path` may bring; 0:
    // its body, if any, is not read.
    size_t bodyLimit(std::string_view method, std::string_view path) const;
    // The reply to a body over bodyLimit().
    static Reply bodyTooLarge();
    // The reply to a held fetch once woken; holds it again when its user's
    // mailbox is still empty and its time not up.
    Reply answerHeld(const Reply::Hold& hold, Mailbox::Wake why);

private:
    struct Script;
    static const Script kScripts[];

    Reply login(const Params& params, const std::string& remote);
    Reply createUser(const Params& params, const std::string& remote);
    Reply addFriend(const Params& params, const std::string& remote);
    Reply removeFriend(const Params& params, const std::string& remote);
    Reply peerAddress(const Params& params, const std::string& remote);
    Reply search(const Params& params, const std::string& remote);
    Reply viewProfile(const Params& params, const std::string& remote);
    Reply editProfile(const Params& params, const std::string& remote);
    Reply fetch(const Params& params, const std::string& remote);
    Reply deposit(const Params& params, const std::string& remote, std::string_view body);
    // The user's waiting lines sealed to `key` as a fetch's reply, or a
    // hold until `due` when there are none and `due` is ahead.
    Reply waitingLines(std::int64_t user, const std::string& key, std::uint64_t ticket,
                       std::chrono::steady_clock::time_point due);
    const Script* script(std::string_view path) const;
    // The account a change request (f, d, e) may change, or the refusal.
    std::optional<Account> authorized(const Params& params, const std::string& remote,
                                      Reply& refused);

    Storage& storage_;
    const PasswordHasher& hasher_;
    Settings settings_;
    Mailbox* mailbox_;
    std::unique_ptr<LoginThrottle> throttle_;
    RateLimiter searches_;
    RateLimiter newUsers_;
};

// One log line (without line end) for a request: the target with every value
// re-encoded and the password and token values replaced by "***".
std::string logLine(std::string_view method, const Target& target, std::string_view remoteAddress,
                    int status, double milliseconds);

// "::ffff:1.2.3.4" -> "1.2.3.4"; anything else unchanged.
std::string normalizeRemoteAddress(std::string_view address);

// What a per-address limit (rations, the guessing pause, connections) counts
// `address` under: an IPv4 address as it is, an IPv6 one as its /64
// ("2001:db8:1:2::/64"), since one subscriber holds a whole /64 and could
// take a new address for every request; IPv4-mapped addresses count as IPv4.
std::string limitKey(std::string_view address);

// A fresh login token: 128 random bits as 22 characters of base64url.
std::string newLoginToken();
// SHA-256 of a token as lower-case hex, the form the storage keeps.
std::string tokenHash(std::string_view token);

// True for a dotted IPv4 address that can be a host's own: not in 0.0.0.0/8,
// not multicast (224/4), not reserved or broadcast (240/4).
bool isUnicastHostAddress(std::string_view text);

// True for an identity key as a messenger publishes it at login (c.php's
// k): a 32-byte Ed25519 public key in base64url without padding, 43
// characters decoded strictly, that libsodium can turn into the X25519 key
// lines are sealed to.
bool isIdentityKey(std::string_view text);

// True for a mailbox line's id: 32 lower-case hex digits.
bool isLineId(std::string_view text);

// True for a deposit's body: "sv1:" and base64url without padding, decoded
// strictly, of at least one byte.
bool isSealedText(std::string_view text);

// True when `text` is well-formed UTF-8 without control characters.
bool isCleanText(std::string_view text);

} // namespace sorvane::server

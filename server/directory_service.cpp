#include "directory_service.h"

#include "names.h"
#include "password.h"
#include "storage.h"

#include <arpa/inet.h>
#include <gnutls/crypto.h>
#include <sodium.h>
#include <sys/random.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <exception>
#include <optional>
#include <stdexcept>
#include <vector>

namespace sorvane::server {
namespace {

constexpr std::string_view kPrefix = "/messenger/";
constexpr std::string_view kCrLf = "\r\n";

std::string_view value(const Params& params, std::string_view key) {
    return param(params, key).value_or(std::string_view{});
}

Reply line(int status, std::string_view text) {
    Reply r;
    r.status = status;
    r.body.append(text).append(kCrLf);
    return r;
}

Reply ok() {
    return line(200, "OK");
}

Reply empty(int status) {
    Reply r;
    r.status = status;
    return r;
}

bool isIPv4(std::string_view text) {
    in_addr addr{};
    return ::inet_pton(AF_INET, std::string(text).c_str(), &addr) == 1;
}

// Decimal 0..65535, digits only.
std::optional<int> parsePort(std::string_view text) {
    if (text.empty() || text.size() > 5)
        return std::nullopt;
    int port = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), port);
    if (ec != std::errc{} || end != text.data() + text.size() || port < 0 || port > 65535)
        return std::nullopt;
    return port;
}

// Equal lengths and bytes, in a time that depends on the length only.
bool sameText(std::string_view a, std::string_view b) {
    if (a.size() != b.size())
        return false;
    unsigned char difference = 0;
    for (size_t i = 0; i < a.size(); ++i)
        difference |= static_cast<unsigned char>(a[i] ^ b[i]);
    return difference == 0;
}

} // namespace

std::string newLoginToken() {
    unsigned char bytes[16];
    for (size_t got = 0; got < sizeof bytes;) {
        ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno != EINTR)
            throw std::runtime_error("no random bytes for a login token");
        if (n > 0)
            got += static_cast<size_t>(n);
    }
    static constexpr char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";
    std::string token;
    unsigned bits = 0, pending = 0;
    for (unsigned char b : bytes) {
        pending = (pending << 8) | b;
        bits += 8;
        while (bits >= 6) {
            bits -= 6;
            token += alphabet[(pending >> bits) & 63];
        }
    }
    if (bits > 0)
        token += alphabet[(pending << (6 - bits)) & 63];
    return token;
}

std::string tokenHash(std::string_view token) {
    unsigned char digest[32];
    if (gnutls_hash_fast(GNUTLS_DIG_SHA256, token.data(), token.size(), digest) < 0)
        throw std::runtime_error("cannot hash a login token");
    static constexpr char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned char c : digest) {
        out += hex[c >> 4];
        out += hex[c & 15];
    }
    return out;
}

bool isUnicastHostAddress(std::string_view text) {
    in_addr addr{};
    if (::inet_pton(AF_INET, std::string(text).c_str(), &addr) != 1)
        return false;
    const std::uint32_t first = ntohl(addr.s_addr) >> 24;
    return first != 0 && first < 224;
}

std::string normalizeRemoteAddress(std::string_view address) {
    constexpr std::string_view mapped = "::ffff:";
    if (address.size() > mapped.size() && address.substr(0, mapped.size()) == mapped &&
        isIPv4(address.substr(mapped.size())))
        return std::string(address.substr(mapped.size()));
    return std::string(address);
}

std::string limitKey(std::string_view address) {
    std::string key = normalizeRemoteAddress(address);
    unsigned char bytes[16];
    if (::inet_pton(AF_INET6, key.c_str(), bytes) != 1)
        return key;
    std::fill(bytes + 8, bytes + 16, 0);
    char text[INET6_ADDRSTRLEN];
    ::inet_ntop(AF_INET6, bytes, text, sizeof text);
    return std::string(text) + "/64";
}

bool isIdentityKey(std::string_view text) {
    static const bool sodiumReady = ::sodium_init() >= 0;
    if (!sodiumReady || text.size() != 43)
        return false;
    unsigned char key[crypto_sign_PUBLICKEYBYTES];
    size_t length = 0;
    const char* end = nullptr;
    unsigned char sealingKey[crypto_scalarmult_curve25519_BYTES];
    return ::sodium_base642bin(key, sizeof key, text.data(), text.size(), nullptr, &length, &end,
                               sodium_base64_VARIANT_URLSAFE_NO_PADDING) == 0 &&
           length == sizeof key && end == text.data() + text.size() &&
           ::crypto_sign_ed25519_pk_to_curve25519(sealingKey, key) == 0;
}

bool isLineId(std::string_view text) {
    return text.size() == 32 &&
           text.find_first_not_of("0123456789abcdef") == std::string_view::npos;
}

bool isSealedText(std::string_view text) {
    constexpr std::string_view prefix = "sv1:";
    if (text.size() <= prefix.size() || text.substr(0, prefix.size()) != prefix)
        return false;
    text.remove_prefix(prefix.size());
    std::vector<unsigned char> bytes(text.size() * 3 / 4 + 1);
    size_t length = 0;
    const char* end = nullptr;
    return ::sodium_base642bin(bytes.data(), bytes.size(), text.data(), text.size(), nullptr,
                               &length, &end, sodium_base64_VARIANT_URLSAFE_NO_PADDING) == 0 &&
           end == text.data() + text.size() && length > 0;
}

bool isCleanText(std::string_view text) {
    size_t i = 0;
    while (i < text.size()) {
        auto c = static_cast<unsigned char>(text[i]);
        if (c < 0x80) {
            if (c < 0x20 || c == 0x7F)
                return false;
            ++i;
            continue;
        }
        size_t length;
        char32_t cp;
        if ((c & 0xE0) == 0xC0) {
            length = 2;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            length = 3;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            length = 4;
            cp = c & 0x07;
        } else
            return false;
        if (i + length > text.size())
            return false;
        for (size_t k = 1; k < length; ++k) {
            auto cc = static_cast<unsigned char>(text[i + k]);
            if ((cc & 0xC0) != 0x80)
                return false;
            cp = (cp << 6) | (cc & 0x3F);
        }
        static constexpr char32_t smallest[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < smallest[length] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
            return false;
        i += length;
    }
    return true;
}

DirectoryService::DirectoryService(Storage& storage, const PasswordHasher& hasher,
                                   Settings settings, Mailbox* mailbox)
    : storage_(storage), hasher_(hasher), settings_(settings), mailbox_(mailbox),
      throttle_(storage.loginThrottle(settings.throttle)), searches_(settings.searches),
      newUsers_(settings.newUsers) {}

// What each script serves. A script answers only the methods it lists: a
// HEAD of c.php would log in (and replace the token) or of n.php create an
// account while the reply is thrown away, so it is refused like any other.
struct DirectoryService::Script {
    char name;                // "/messenger/<name>.php"
    std::string_view methods; // as the Allow header lists them
    // Refusals are an empty body (g, s, v answer with data), not an "Error: ..." line.
    bool answersData;
    Reply (DirectoryService::*serve)(const Params&, const std::string& remote);
    // Rationed per address, with the refusal beyond the ration; null: not rationed.
    RateLimiter DirectoryService::*ration;
    std::string_view rationRefusal;
    // For a script that takes POST: what serves it and the most bytes of body it reads.
    Reply (DirectoryService::*post)(const Params&, const std::string& remote,
                                    std::string_view body) = nullptr;
    size_t maxBody = 0;

    bool serves(std::string_view method) const {
        for (std::string_view rest = methods; !rest.empty();) {
            const size_t comma = rest.find(", ");
            if (rest.substr(0, comma) == method)
                return true;
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
        }
        return false;
    }
};

// Walking the whole directory with searches, or filling it with accounts,
// takes one address a long time; a presence run's whole-friend-list lookups
// are not rationed.
const DirectoryService::Script DirectoryService::kScripts[] = {
    {'c', "GET", false, &DirectoryService::login, nullptr, {}},
    {'n', "GET", false, &DirectoryService::createUser, &DirectoryService::newUsers_,
     refusal::kTooManyNewUsers},
    {'f', "GET", false, &DirectoryService::addFriend, nullptr, {}},
    {'d', "GET", false, &DirectoryService::removeFriend, nullptr, {}},
    {'g', "GET", true, &DirectoryService::peerAddress, nullptr, {}},
    {'s', "GET", true, &DirectoryService::search, &DirectoryService::searches_,
     refusal::kTooManySearches},
    {'v', "GET", true, &DirectoryService::viewProfile, nullptr, {}},
    {'e', "GET", false, &DirectoryService::editProfile, nullptr, {}},
    // The mailbox: GET fetches, POST deposits.
    {'m',
     "GET, POST",
     false,
     &DirectoryService::fetch,
     nullptr,
     {},
     &DirectoryService::deposit,
     kMaxSealedBytes},
};

const DirectoryService::Script* DirectoryService::script(std::string_view path) const {
    if (path.size() != kPrefix.size() + 5 || path.substr(0, kPrefix.size()) != kPrefix ||
        path.substr(kPrefix.size() + 1) != ".php")
        return nullptr;
    for (const Script& s : kScripts)
        if (s.name == path[kPrefix.size()])
            return &s;
    return nullptr;
}

size_t DirectoryService::bodyLimit(std::string_view method, std::string_view path) const {
    const Script* found = script(path);
    return found && found->post && method == "POST" ? found->maxBody : 0;
}

Reply DirectoryService::bodyTooLarge() {
    return line(413, refusal::kLineTooLong);
}

Reply DirectoryService::handle(std::string_view method, const Target& target,
                               std::string_view remoteAddress, std::string_view body) {
    const Script* script = this->script(target.path);
    if (!script)
        return empty(404);
    if (!script->serves(method)) {
        Reply r = empty(405);
        r.allow = script->methods;
        return r;
    }
    const bool answersData = script->answersData;

    for (const auto& [key, v] : target.params) {
        // A login checks its identity key itself: one that is no key is not stored.
        if (script->name == 'c' && key == "k")
            continue;
        if (v.size() > kMaxValueBytes)
            return answersData ? empty(400) : line(400, refusal::kTooLong);
        if (!isCleanText(v))
            return answersData ? empty(400) : line(400, refusal::kBadCharacters);
    }

    const std::string remote = normalizeRemoteAddress(remoteAddress);
    if (script->ration && !(this->*script->ration).take(limitKey(remote)))
        return line(429, script->rationRefusal);
    try {
        if (script->post && method == "POST")
            return (this->*script->post)(target.params, remote, body);
        return (this->*script->serve)(target.params, remote);
    } catch (const std::exception& e) {
        Reply r = answersData ? empty(500) : line(500, refusal::kServerError);
        r.note = e.what();
        return r;
    }
}

Reply DirectoryService::login(const Params& params, const std::string& remote) {
    std::string_view name = value(params, "u");
    std::string_view password = value(params, "p");
    if (name.empty() || password.empty())
        return line(403, refusal::kWrongLogin);

    std::string ip;
    std::string note;
    if (settings_.observedAddress) {
        ip = remote;
        // Messengers reach each other over IPv4: an IPv6 address handed out
        // by g.php reaches nobody, so the address the messenger sent stands in.
        if (!isIPv4(remote)) {
            std::string_view sent = value(params, "ip");
            const bool usable = isUnicastHostAddress(sent);
            if (usable)
                ip = sent;
            note = "observed " + remote +
                   (usable ? ", stored the ip sent" : ", stored it: the ip sent is no IPv4 host");
        }
    } else {
        std::string_view sent = value(params, "ip");
        // A client that could not find its own address sends none; where the
        // request came from is the best guess then.
        if (sent.empty())
            ip = remote;
        else if (isUnicastHostAddress(sent))
            ip = sent;
        else
            return line(400, refusal::kBadAddress);
    }
    std::optional<int> port = parsePort(value(params, "port"));
    if (!port)
        return line(400, refusal::kBadAddress);

    // While a name or an address is paused for guessing, its password is not even looked at.
    const std::string guesser = limitKey(remote);
    std::optional<Account> account = storage_.account(name);
    const bool ownersAddress =
        account && account->loginOrigin && limitKey(*account->loginOrigin) == guesser;
    if (throttle_->refuses(name, guesser, ownersAddress))
        return line(429, refusal::kTooManyFailures);
    if (!account) {
        hasher_.spendVerificationTime(password);
        throttle_->failed(name, guesser);
        return line(403, refusal::kWrongLogin);
    }
    if (!hasher_.verify(password, account->passwordHash)) {
        throttle_->failed(name, guesser);
        return line(403, refusal::kWrongLogin);
    }
    throttle_->succeeded(name, guesser);

    // The identity key goes with the address: a login without one (another
    // computer, an older messenger) takes the previous key away, and so does
    // one that is no key, which does not fail the login.
    std::string identityKey;
    if (std::optional<std::string_view> sent = param(params, "k")) {
        if (isIdentityKey(*sent))
            identityKey = *sent;
        else
            note += std::string(note.empty() ? "" : "; ") + "k is no identity key, none stored";
    }

    // The token proves later changes come from this login; a new login
    // replaces it, so only the newest messenger of a user can change data.
    const std::string token = newLoginToken();
    storage_.recordLogin(account->id, PeerAddress{ip, *port, identityKey}, remote,
                         tokenHash(token));
    Reply r = ok();
    r.note = note;
    for (const std::string& f : storage_.friends(account->id))
        r.body.append("#").append(f);
    r.body.append(kCrLf).append(token).append(kCrLf);
    return r;
}

Reply DirectoryService::createUser(const Params& params, const std::string&) {
    std::string_view name = value(params, "u");
    std::string_view password = value(params, "p");
    if (name.empty() || password.empty())
        return line(400, refusal::kEmptyNameOrPassword);
    // '#' separates the names in a login's friend line.
    if (name.find('#') != std::string_view::npos)
        return line(400, refusal::kBadCharacters);
    if (!isAllowedName(name))
        return line(400, refusal::kNameNotAllowed);
    // Checked before hashing so that a taken name costs no hashing time; a
    // look-alike of a taken name is taken too.
    if (storage_.account(name))
        return line(409, refusal::kUsernameExists);
    if (!storage_.createAccount(name, hasher_.hash(password), nameSkeleton(name)))
        return line(409, refusal::kUsernameExists);
    return ok();
}

std::optional<Account> DirectoryService::authorized(const Params& params, const std::string& remote,
                                                    Reply& refused) {
    std::optional<Account> account = storage_.account(value(params, "u"));
    if (!account || !account->loginOrigin) {
        refused = line(403, refusal::kWrongOrigin);
        return std::nullopt;
    }
    // These requests carry no password: the address of the user's last login,
    // and the token that login handed out, stand for it.
    if (*account->loginOrigin != remote) {
        refused = line(403, refusal::kWrongOrigin);
        return std::nullopt;
    }
    if (!settings_.allowAddressOnlyChanges) {
        std::optional<std::string_view> token = param(params, "t");
        if (!token || account->loginTokenHash.empty() ||
            !sameText(tokenHash(*token), account->loginTokenHash)) {
            refused = line(403, refusal::kLogInAgain);
            return std::nullopt;
        }
    }
    return account;
}

Reply DirectoryService::addFriend(const Params& params, const std::string& remote) {
    Reply refused;
    std::optional<Account> user = authorized(params, remote, refused);
    if (!user)
        return refused;
    std::optional<Account> other = storage_.account(value(params, "f"));
    if (!other)
        return line(404, refusal::kUnknownUser);
    storage_.addFriend(user->id, other->id);
    return ok();
}

Reply DirectoryService::removeFriend(const Params& params, const std::string& remote) {
    Reply refused;
    std::optional<Account> user = authorized(params, remote, refused);
    if (!user)
        return refused;
    std::optional<Account> other = storage_.account(value(params, "f"));
    if (!other)
        return line(404, refusal::kUnknownUser);
    storage_.removeFriend(user->id, other->id);
    return ok();
}

Reply DirectoryService::peerAddress(const Params& params, const std::string&) {
    std::optional<PeerAddress> address = storage_.peerAddress(value(params, "u"));
    if (!address)
        return empty(404);
    Reply r;
    r.body.append(address->ip).append(kCrLf).append(std::to_string(address->port)).append(kCrLf);
    if (!address->identityKey.empty()) {
        r.body.append(address->identityKey).append(kCrLf);
        // The user's messenger keeps a fetch at the mailbox (on any server
        // of the database): lines reach it there when its port cannot be.
        if (address->fetchedLately)
            r.body.append("mailbox").append(kCrLf);
    }
    return r;
}

Reply DirectoryService::search(const Params& params, const std::string&) {
    Reply r;
    for (const std::string& name : storage_.search(value(params, "u"), kMaxSearchResults))
        r.body.append(name).append(kCrLf);
    return r;
}

Reply DirectoryService::viewProfile(const Params& params, const std::string&) {
    std::optional<Profile> profile = storage_.profile(value(params, "u"));
    if (!profile)
        return empty(404);
    Reply r;
    r.body.append(profile->name).append(kCrLf);
    for (const std::string& field : profile->fields)
        r.body.append(field).append(kCrLf);
    return r;
}

Reply DirectoryService::editProfile(const Params& params, const std::string& remote) {
    Reply refused;
    std::optional<Account> user = authorized(params, remote, refused);
    if (!user)
        return refused;
    static constexpr std::string_view keys[8] = {"n", "s", "g", "d", "m", "y", "ci", "co"};
    ProfileFields fields;
    for (size_t i = 0; i < fields.size(); ++i)
        fields[i] = value(params, keys[i]);
    storage_.storeProfile(user->id, fields);
    return ok();
}

Reply DirectoryService::deposit(const Params& params, const std::string& remote,
                                std::string_view body) {
    const std::string_view id = value(params, "id");
    if (!isLineId(id))
        return line(400, refusal::kBadLineId);
    if (body.size() > kMaxSealedBytes)
        return bodyTooLarge();
    if (!isSealedText(body))
        return line(400, refusal::kNotSealed);
    Reply refused;
    std::optional<Account> sender = authorized(params, remote, refused);
    if (!sender)
        return refused;
    std::optional<Account> recipient = storage_.account(value(params, "to"));
    if (!recipient)
        return line(404, refusal::kUnknownUser);
    // A line sealed to any other key than the one of the recipient's last
    // login would wait for a computer that may never fetch again.
    if (recipient->identityKey.empty() || value(params, "k") != recipient->identityKey)
        return line(409, refusal::kCannotReceive);
    switch (storage_.deposit(sender->id, recipient->id, recipient->identityKey, id, body)) {
    case Deposit::NotAFriend:
        return line(403, "Error: " + recipient->name + " has not added you as a friend");
    case Deposit::Full:
        return line(429, "Error: the mailbox of " + recipient->name + " is full");
    case Deposit::Repeated: {
        Reply r = ok();
        r.note = "deposited before, nothing stored";
        return r;
    }
    case Deposit::Stored:
        break;
    }
    if (mailbox_)
        mailbox_->deposited(recipient->id);
    return ok();
}

Reply DirectoryService::fetch(const Params& params, const std::string& remote) {
    if (param(params, "to") || param(params, "id"))
        return line(400, refusal::kNotADeposit);
    std::vector<std::string> acks;
    for (const auto& [key, v] : params) {
        if (key != "ack")
            continue;
        if (acks.size() == kMaxAcks || !isLineId(v))
            return line(400, refusal::kBadAck);
        acks.push_back(v);
    }
    int wait = 0;
    if (std::optional<std::string_view> text = param(params, "wait")) {
        auto [end, ec] = std::from_chars(text->data(), text->data() + text->size(), wait);
        if (text->empty() || ec != std::errc{} || end != text->data() + text->size() || wait < 0 ||
            wait > kMaxWaitSeconds)
            return line(400, refusal::kBadWait);
    }
    Reply refused;
    std::optional<Account> user = authorized(params, remote, refused);
    if (!user)
        return refused;
    storage_.acknowledge(user->id, acks);
    const auto now = std::chrono::steady_clock::now();
    // Only lines this computer can open: after a login elsewhere (another
    // key), a fetch still held here must not take that computer's lines.
    if (!mailbox_)
        return waitingLines(user->id, user->identityKey, 0, now);
    const std::uint64_t ticket = mailbox_->fetchBegun(user->id);
    return waitingLines(user->id, user->identityKey, ticket, now + std::chrono::seconds(wait));
}

Reply DirectoryService::waitingLines(std::int64_t user, const std::string& key,
                                     std::uint64_t ticket,
                                     std::chrono::steady_clock::time_point due) {
    const std::uint64_t watched = mailbox_ ? mailbox_->watch(user) : 0;
    Reply r;
    // One line at least, whatever its size; more while they fit.
    for (const MailboxLine& l : storage_.waitingLines(user, key, kMaxFetchLines)) {
        const size_t size = l.id.size() + l.sender.size() + l.sealedText.size() + 4;
        if (!r.body.empty() && r.body.size() + size > kMaxFetchBytes)
            break;
        r.body.append(l.id).append(" ").append(l.sender).append(" ").append(l.sealedText);
        r.body.append(kCrLf);
    }
    if (r.body.empty() && mailbox_ && std::chrono::steady_clock::now() < due)
        r.hold = Reply::Hold{user, key, ticket, watched, due};
    return r;
}

Reply DirectoryService::answerHeld(const Reply::Hold& hold, Mailbox::Wake why) {
    Reply r;
    try {
        if (why == Mailbox::Wake::Lines)
            r = waitingLines(hold.user, hold.key, hold.ticket, hold.due);
    } catch (const std::exception& e) {
        r = line(500, refusal::kServerError);
        r.note = e.what();
    }
    if (r.hold)
        return r;
    mailbox_->fetchEnded(hold.user);
    if (r.note.empty())
        r.note = why == Mailbox::Wake::Replaced   ? "held, ended by a newer fetch"
                 : why == Mailbox::Wake::Stopping ? "held, ended by the server stopping"
                 : r.body.empty()                 ? "held until the wait was up"
                                                  : "held until a line came";
    return r;
}

std::string logLine(std::string_view method, const Target& target, std::string_view remoteAddress,
                    int status, double milliseconds) {
    std::string out(remoteAddress);
    out.append(" ").append(percentEncode(method)).append(" ");
    std::string_view path = target.path;
    for (size_t slash; (slash = path.find('/')) != std::string_view::npos;
         path.remove_prefix(slash + 1))
        out.append(percentEncode(path.substr(0, slash))).append("/");
    out.append(percentEncode(path));
    char separator = '?';
    for (const auto& [key, v] : target.params) {
        out += separator;
        separator = '&';
        out.append(percentEncode(key)).append("=");
        // Passwords and login tokens are credentials.
        out.append(key == "p" || key == "t" ? "***" : percentEncode(v));
    }
    char tail[64];
    std::snprintf(tail, sizeof tail, " %d %.1fms", status, milliseconds);
    out.append(tail);
    return out;
}

} // namespace sorvane::server

#include "args.h"

#include <algorithm>
#include <charconv>

namespace sorvane::server {
namespace {

bool parseInt(std::string_view text, int low, int high, int& out) {
    int v = 0;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), v);
    if (text.empty() || ec != std::errc{} || end != text.data() + text.size() || v < low ||
        v > high)
        return false;
    out = v;
    return true;
}

// "HOST:PORT" or "[IPV6]:PORT".
bool parseListen(std::string_view text, std::string& host, int& port) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0)
        return false;
    std::string_view h = text.substr(0, colon);
    if (h.front() == '[') {
        if (h.size() < 3 || h.back() != ']')
            return false;
        h = h.substr(1, h.size() - 2);
    } else if (h.find(':') != std::string_view::npos) {
        return false;
    }
    if (!parseInt(text.substr(colon + 1), 0, 65535, port))
        return false;
    host = h;
    return true;
}

} // namespace

ParsedArgs parseArgs(const std::vector<std::string_view>& args) {
    ParsedArgs parsed;
    ServerOptions& o = parsed.options;
    for (size_t i = 0; i < args.size(); ++i) {
        std::string_view arg = args[i];
        std::string_view inlineValue;
        bool hasInline = false;
        if (size_t eq = arg.find('='); arg.substr(0, 2) == "--" && eq != std::string_view::npos) {
            inlineValue = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            hasInline = true;
        }
        auto takeValue = [&](std::string_view& out) {
            if (hasInline) {
                out = inlineValue;
                return true;
            }
            if (i + 1 >= args.size()) {
                parsed.error = std::string(arg) + " needs a value";
                return false;
            }
            out = args[++i];
            return true;
        };
        auto flag = [&]() {
            if (hasInline)
                parsed.error = std::string(arg) + " takes no value";
            return !hasInline;
        };

        std::string_view v;
        if (arg == "--help" || arg == "-h") {
            if (!flag())
                return parsed;
            parsed.help = true;
        } else if (arg == "--observed-address") {
            if (!flag())
                return parsed;
            o.observedAddress = true;
        } else if (arg == "--allow-address-only-changes") {
            if (!flag())
                return parsed;
            o.allowAddressOnlyChanges = true;
        } else if (arg == "--listen") {
            if (!takeValue(v))
                return parsed;
            if (!parseListen(v, o.host, o.port)) {
                parsed.error = "--listen wants HOST:PORT, not '" + std::string(v) + "'";
                return parsed;
            }
        } else if (arg == "--db") {
            if (!takeValue(v))
                return parsed;
            if (v.empty()) {
                parsed.error = "--db wants a file name or a postgresql:// URI";
                return parsed;
            }
            o.database = v;
        } else if (arg == "--trusted-proxy") {
            if (!takeValue(v))
                return parsed;
            std::optional<Network> network = parseNetwork(v);
            if (!network) {
                parsed.error = "--trusted-proxy wants an address or ADDRESS/BITS, not '" +
                               std::string(v) + "'";
                return parsed;
            }
            o.trustedProxies.push_back(*network);
        } else if (arg == "--hash-cost") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 1, 11, o.hashCost)) {
                parsed.error = "--hash-cost wants a number from 1 to 11";
                return parsed;
            }
        } else if (arg == "--threads") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 1, 1024, o.threads)) {
                parsed.error = "--threads wants a number from 1 to 1024";
                return parsed;
            }
        } else if (arg == "--search-rate") {
            if (!takeValue(v))
                return parsed;
            // N or N,BURST
            size_t comma = v.find(',');
            int rate = 0, burst = 0;
            if (!parseInt(v.substr(0, comma), 0, 1000000, rate) ||
                (comma != std::string_view::npos &&
                 !parseInt(v.substr(comma + 1), 1, 1000000, burst))) {
                parsed.error = "--search-rate wants N or N,BURST (searches a second, at once)";
                return parsed;
            }
            o.searchesPerSecond = rate;
            o.searchBurst = comma == std::string_view::npos ? std::max(rate, 1) * 4 : burst;
        } else if (arg == "--register-rate") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 0, 1000000, o.newUsersPerHour)) {
                parsed.error = "--register-rate wants a number from 0 (no limit) to 1000000";
                return parsed;
            }
        } else if (arg == "--max-connections") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 1, 1000000, o.maxConnections)) {
                parsed.error = "--max-connections wants a number from 1 to 1000000";
                return parsed;
            }
        } else if (arg == "--max-connections-per-address") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 1, 1000000, o.maxConnectionsPerAddress)) {
                parsed.error = "--max-connections-per-address wants a number from 1 to 1000000";
                return parsed;
            }
        } else if (arg == "--tls-cert" || arg == "--tls-key") {
            if (!takeValue(v))
                return parsed;
            if (v.empty()) {
                parsed.error = std::string(arg) + " wants a file name";
                return parsed;
            }
            (arg == "--tls-cert" ? o.tlsCertificate : o.tlsKey) = v;
        } else if (arg == "--login-failure-limit") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 0, 1000000, o.loginFailureLimit)) {
                parsed.error = "--login-failure-limit wants a number from 0 (off) to 1000000";
                return parsed;
            }
        } else if (arg == "--login-failure-window-ms") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 1, 86400000, o.loginFailureWindowMs)) {
                parsed.error = "--login-failure-window-ms wants a number from 1 to 86400000";
                return parsed;
            }
        } else if (arg == "--login-pause-ms") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 0, 86400000, o.loginPauseMs)) {
                parsed.error = "--login-pause-ms wants a number from 0 to 86400000";
                return parsed;
            }
        } else if (arg == "--account-failure-limit") {
            if (!takeValue(v))
                return parsed;
            if (!parseInt(v, 0, 1000000, o.accountFailureLimit)) {
                parsed.error = "--account-failure-limit wants a number from 0 (off) to 1000000";
                return parsed;
            }
        } else {
            parsed.error = "unknown argument '" + std::string(args[i]) + "'";
            return parsed;
        }
    }
    if (o.tlsCertificate.empty() != o.tlsKey.empty())
        parsed.error = "--tls-cert and --tls-key go together";
    return parsed;
}

std::string defaultDatabasePath(const char* xdgDataHome, const char* home) {
    std::string base;
    // The XDG rules ignore a relative XDG_DATA_HOME.
    if (xdgDataHome && xdgDataHome[0] == '/')
        base = xdgDataHome;
    else if (home && home[0])
        base = std::string(home) + "/.local/share";
    else
        return {};
    return base + "/sorvane-directory/directory.db";
}

std::string helpText(std::string_view program) {
    std::string text = "Usage: ";
    text.append(program).append(R"( [--listen HOST:PORT] [--db FILE|URI] [--observed-address]
       [--tls-cert FILE --tls-key FILE] [more options below]

The Sorvane Messenger directory: accounts, friend lists, profiles and the
address each user's messenger listens on, served over HTTP (or HTTPS) under
/messenger/.

Options:
  --listen HOST:PORT    address and port to serve on (default 127.0.0.1:8642;
                        [::1]:PORT for IPv6; port 0 picks a free port)
  --db FILE             SQLite database, created when missing (default
                        $XDG_DATA_HOME/sorvane-directory/directory.db, else
                        ~/.local/share/sorvane-directory/directory.db)
  --db URI              PostgreSQL database that several directory servers
                        can share, as a postgresql:// or postgres:// URI, e.g.
                        postgresql://directory@db.example/directory?sslmode=require
                        or postgresql:///directory?host=/run/postgresql
  --observed-address    at login, register the address the request came from
                        instead of the address the messenger sent (unless it
                        came over IPv6: messengers reach each other over IPv4)
  --trusted-proxy ADDRESS
                        a reverse proxy in front of the directory (an address
                        or a network such as 10.0.0.0/8; repeatable): for
                        requests from it, the address the request came from
                        is the right-most one in X-Forwarded-For that is not
                        itself a trusted proxy; that header is ignored on
                        requests from anyone else
  --allow-address-only-changes
                        UNSAFE: accept friend and profile changes from the
                        address of the user's last login without the login's
                        token, for messengers that do not send one; anyone
                        sharing that address can then change the user's data
  --search-rate N[,BURST]
                        searches (s.php) one address may make a second, and
                        at once (default 5,20; BURST defaults to 4N; 0: no
                        limit); beyond it "429 too many searches"
  --register-rate N     new users (n.php) one address may ask for an hour
                        (default 20; 0: no limit)
  --tls-cert FILE       serve HTTPS on --listen with this certificate (PEM)
  --tls-key FILE        and its private key (PEM); both or neither
  --threads N           requests served at once (default 32)
  --max-connections N   open connections at once (default 4096)
  --max-connections-per-address N
                        open connections at once from one address (default
                        64); a mailbox fetch held waiting does not count
  --hash-cost N         yescrypt cost of new password hashes, 1 to 11
                        (default 5); lower values are for tests only
  --login-failure-limit N
                        failed logins for one name from one address, or from
                        one address, that pause further logins for it
                        (default 5; 0: no pause)
  --login-failure-window-ms N
                        time in which those failures count (default 60000)
  --login-pause-ms N    how long such a name or address is refused without
                        its password being checked (default 60000)
  --account-failure-limit N
                        failed logins for one name from all addresses in an
                        hour that pause it for an hour from every address
                        but the one of its last login (default 100; 0: off)
  --help                show this text and exit

When ready it prints "listening on HOST:PORT" on standard output; it logs one
line per request on standard error, passwords shown as "***".
SIGTERM or SIGINT stops it.

A request head must arrive whole within 10 seconds and be at most 32 KiB, and
a mailbox deposit's body within 10 seconds of its head and at most 64 KiB.
Limits per address count an IPv6 client by its /64.

A self-signed certificate for a first try (messengers must be told to trust it):
  openssl req -x509 -newkey rsa:3072 -nodes -days 365 -subj /CN=HOST \
      -addext subjectAltName=DNS:HOST -keyout key.pem -out cert.pem
)");
    return text;
}

} // namespace sorvane::server

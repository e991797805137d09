#pragma once

// A real sorvane-directory process for tests: a free loopback port, a private
// database in a temporary folder, and small HTTP helpers to seed accounts.
//
//   sorvane::test::TestDirectoryServer server;            // started and answering
//   server.registerUser("ann@example.org", "secret");      // "OK\r\n"
//   server.login("ann@example.org", "secret", "127.0.0.1", 4000);
//   server.base();                                         // http://127.0.0.1:<port>/messenger/
//
// The server process is killed when the thread that started it ends, so a
// crashed test never leaves a server behind: start it from the test's thread.

#include <initializer_list>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <sys/types.h>

namespace sorvane::test {

// A port on 127.0.0.1 that was free a moment ago (bound to :0, read, closed).
int freeLoopbackPort();

// RFC 3986 percent-encoding: unreserved characters stay, every other byte is %XX.
std::string percentEncode(std::string_view value);

struct HttpReply {
    int status = 0; // 0 when no HTTP response arrived
    std::string body;
    std::string head; // status line and header lines
};

// A login reply's third line is the token that changes (f, d, e) must carry.
// Takes it off `body` and returns it (empty when there is none), and with it
// an empty friend line, so that the rest reads as the reply of a directory
// without tokens: "OK\r\n\r\n<token>\r\n" -> "OK\r\n".
std::string takeLoginToken(std::string& body);

// One GET over a fresh TCP connection to 127.0.0.1:port. `target` is the
// request target as sent ("/messenger/g.php?u=x"). `sourceAddress`, when not
// empty, is the loopback address the client socket binds to (e.g. "127.0.0.2").
// `extraHeaders`: further header lines, each ended by CR LF. `method` replaces GET; a
// non-empty `body` is sent with its Content-Length.
HttpReply httpGet(int port, std::string_view target, std::string_view sourceAddress = {},
                  std::string_view extraHeaders = {}, std::string_view method = "GET",
                  std::string_view body = {});

class TestDirectoryServer {
public:
    struct Options {
        // Store the address a login came from instead of the sent ip.
        bool observedAddress = false;
        // Password hash cost handed to the server; 1 keeps test logins fast.
        int hashCost = 1;
        // Program to run; empty means the sorvane-directory of this build.
        std::string executable;
        // Keep the server's per-address limits of searches and new users;
        // otherwise they are off, since tests register and search freely
        // from one address.
        bool rationed = false;
        // Further command-line arguments (after the ones above, so they win).
        std::vector<std::string> extraArgs;
        // Both set: serve HTTPS with this certificate and key (PEM files);
        // base() then starts with "https://".
        std::string tlsCertificate;
        std::string tlsKey;
        // The --db value; empty means a SQLite file in the server's own folder.
        std::string database;
    };

    // Starts the server and returns once it answers HTTP; throws std::runtime_error
    // (with the server's log) when it does not come up within a few seconds.
    TestDirectoryServer();
    explicit TestDirectoryServer(Options options);
    ~TestDirectoryServer();

    TestDirectoryServer(const TestDirectoryServer&) = delete;
    TestDirectoryServer& operator=(const TestDirectoryServer&) = delete;

    int port() const { return port_; }
    pid_t pid() const { return pid_; }
    // "http://127.0.0.1:<port>/messenger/" (https with a certificate)
    std::string base() const;
    // The --db value: the SQLite file, or the database URI given in the options.
    const std::string& databasePath() const { return database_; }
    // The server's stderr: one line per request.
    const std::string& logPath() const { return log_; }
    std::string logText() const;
    bool running() const { return pid_ > 0; }

    // SIGTERM and wait (SIGKILL after a few seconds). No-op when not running.
    void stop();
    // SIGKILL and wait: the process gets no chance to tidy up.
    void kill9();
    // Stops if running, then starts again on the same port with the same database.
    void restart();

    // GET /messenger/<script>?<k>=<v>&... with percent-encoded values; returns the body.
    // Like a messenger, it keeps the token of every accepted c.php by its u,
    // and adds "&t=" + u's token to f.php, d.php and e.php unless they carry a
    // "t" of their own. Bodies are returned as they came.
    std::string request(std::string_view script,
                        std::initializer_list<std::pair<std::string_view, std::string_view>> params,
                        std::string_view sourceAddress = {}) const;
    // Same, returning the status too.
    HttpReply
    requestReply(std::string_view script,
                 std::initializer_list<std::pair<std::string_view, std::string_view>> params,
                 std::string_view sourceAddress = {}) const;

    // n.php: body, "OK\r\n" when created.
    std::string registerUser(std::string_view name, std::string_view password) const;
    // c.php from 127.0.0.1: body, "OK\r\n" (+ friend line) when accepted; the
    // token line is taken off (takeLoginToken).
    std::string login(std::string_view name, std::string_view password,
                      std::string_view ip = "127.0.0.1", int listenPort = 0) const;
    // The token of `name`'s last accepted c.php (by the name as given), or empty.
    std::string token(std::string_view name) const;
    // n.php then c.php; throws when either is refused.
    void registerAndLogin(std::string_view name, std::string_view password,
                          std::string_view ip = "127.0.0.1", int listenPort = 0) const;

private:
    void start();
    void waitUntilAnswering();
    void reap(int signal);

    Options options_;
    std::string dir_;
    std::string database_;
    std::string log_;
    int port_ = 0;
    pid_t pid_ = -1;
    int stdoutFd_ = -1;
    mutable std::mutex tokensMutex_;
    mutable std::map<std::string, std::string, std::less<>> tokens_;
};

} // namespace sorvane::test

#pragma once

// The directory's HTTP side: libmicrohttpd reads requests on a few epoll
// threads, so a connection that sends slowly or not at all costs a socket and
// a little memory but no thread. Each complete request (head, and the body
// of the requests that take one) is handed to the DirectoryService and
// answered with one log line on standard error. A mailbox fetch that is to
// wait is suspended (libmicrohttpd's suspend and resume): it holds its
// socket and no thread until the Mailbox wakes it.
//
// Threads: libmicrohttpd's pool of `threads` serving threads, each with its
// own epoll set, answers requests (the service runs on them), plus one
// watchdog thread that closes connections whose request is overdue. Held
// fetches are resumed by whichever thread wakes them (a serving thread that
// took a deposit, the mailbox's thread). They share the per-connection
// records in `connections_` and the counts in `openFrom_` (under
// `connectionsMutex_`), and the service and the mailbox, which are
// thread-safe; a record's hold is handed from the waking thread to the
// serving thread through its `woken` and libmicrohttpd's resume.
// stop() wakes wait(); the destructor ends the held fetches (the mailbox
// stops), stops the serving threads (closing every connection) and then the
// watchdog.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

struct MHD_Daemon;
struct MHD_Connection;

namespace sorvane::server {

class DirectoryService;
class Mailbox;

// One request as it arrived, for deciding whom it is answered for.
struct HttpRequest {
    std::string method;
    std::string target;      // as sent: "/messenger/g.php?u=ann"
    std::string peerAddress; // the TCP peer; IPv4-mapped IPv6 taken as IPv4
    std::vector<std::pair<std::string, std::string>> headers; // in arrival order

    // The first header of that name (names compared without regard to case).
    std::optional<std::string_view> header(std::string_view name) const;
};

class HttpFrontend {
public:
    struct Settings {
        int threads = 32;
        // Open connections at once, over all addresses and from one address.
        int maxConnections = 4096;
        // Per IPv4 address or IPv6 /64 (limitKey), of the TCP peer. A held
        // fetch does not count (a user has one at most).
        int maxConnectionsPerAddress = 64;
        // A request head (and body) must arrive whole within this time of the
        // connection's start (or of the previous reply on the same connection).
        std::chrono::milliseconds headTimeout{10000};
        // A longer head is answered 431 and its connection closed.
        size_t maxHeadBytes = 32 * 1024;
        // PEM texts; both empty: plain HTTP.
        std::string tlsCertificate;
        std::string tlsKey;
        // The address a request is answered for (logins, address checks, the
        // log). Empty: the TCP peer.
        std::function<std::string(const HttpRequest&)> clientAddress;
        // Where fetches wait; the same as the service's. Null: none wait.
        Mailbox* mailbox = nullptr;
    };

    HttpFrontend(DirectoryService& service, Settings settings);
    ~HttpFrontend();
    HttpFrontend(const HttpFrontend&) = delete;
    HttpFrontend& operator=(const HttpFrontend&) = delete;

    // Binds, listens and starts serving; port 0 picks a free port. Empty on
    // success, else why not.
    std::string start(const std::string& host, int port);
    int port() const { return port_; }
    // Blocks until stop().
    void wait();
    // Safe from any thread, also before start() or wait().
    void stop();

    struct Connection; // one record per open connection

private:
    friend struct FrontendCallbacks;
    void watchHeads();

    DirectoryService& service_;
    Settings settings_;
    MHD_Daemon* daemon_ = nullptr;
    int listenFd_ = -1;
    int port_ = 0;

    std::mutex connectionsMutex_;
    std::unordered_set<Connection*> connections_;
    // Open connections by the peer's limitKey.
    std::unordered_map<std::string, int> openFrom_;

    std::mutex stopMutex_;
    std::condition_variable stopped_;
    bool stopRequested_ = false;
    std::thread watchdog_;
};

} // namespace sorvane::server

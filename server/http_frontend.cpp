#include "http_frontend.h"

#include "directory_service.h"
#include "mailbox.h"
#include "target.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <strings.h>

namespace sorvane::server {
namespace {

using Clock = std::chrono::steady_clock;
constexpr Clock::time_point kNever = Clock::time_point::max();

// How often the watchdog looks for overdue heads; a head may take this much
// longer than the limit before its connection is closed.
constexpr std::chrono::milliseconds kWatchInterval{250};

// libmicrohttpd keeps a connection's head, its header list and its read
// buffer in one pool of this size, and answers 431 itself when they do not fit.
// A 32 KiB head of ordinary header lines fits; the answer callback refuses
// every head over the limit that still reaches it. A head of thousands of tiny
// header lines can overflow the pool below 32 KiB and is refused the same way.
constexpr size_t kConnectionMemory = 96 * 1024;

void writeLog(const std::string& text) {
    // The date and time to the second, formatted once a second per thread.
    thread_local std::time_t formatted = -1;
    thread_local char stamp[32];
    thread_local size_t stampLength = 0;
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    if (seconds != formatted) {
        std::tm tm{};
        ::gmtime_r(&seconds, &tm);
        stampLength = std::strftime(stamp, sizeof stamp, "%Y-%m-%dT%H:%M:%S", &tm);
        formatted = seconds;
    }
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::string line;
    line.reserve(stampLength + 7 + text.size());
    line.append(stamp, stampLength).append(".000Z ").append(text).append("\n");
    line[stampLength + 1] = static_cast<char>('0' + ms / 100);
    line[stampLength + 2] = static_cast<char>('0' + ms / 10 % 10);
    line[stampLength + 3] = static_cast<char>('0' + ms % 10);
    // One write per line, so lines of concurrent requests do not interleave.
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

std::string addressText(const sockaddr* address) {
    char text[INET6_ADDRSTRLEN] = "";
    if (address && address->sa_family == AF_INET)
        ::inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text,
                    sizeof text);
    else if (address && address->sa_family == AF_INET6)
        ::inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text,
                    sizeof text);
    return normalizeRemoteAddress(text);
}

MHD_Result collectHeader(void* headers, MHD_ValueKind, const char* name, const char* value) {
    static_cast<std::vector<std::pair<std::string, std::string>>*>(headers)->emplace_back(
        name, value ? value : "");
    return MHD_YES;
}

// libmicrohttpd's own complaints (refused connections, broken TLS
// handshakes...) would flood the log under attack; only the last one is kept,
// to explain a failed start.
thread_local std::string lastLibraryMessage;

void keepLibraryMessage(void*, const char* format, va_list args) {
    char text[512];
    std::vsnprintf(text, sizeof text, format, args);
    lastLibraryMessage = text;
    while (!lastLibraryMessage.empty() &&
           (lastLibraryMessage.back() == '\n' || lastLibraryMessage.back() == '.'))
        lastLibraryMessage.pop_back();
}

// A request that announces a body. Unless its script reads one, it is
// answered at once and its connection closed, so the body is never read.
bool hasBody(MHD_Connection* connection) {
    const char* length =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, MHD_HTTP_HEADER_CONTENT_LENGTH);
    return (length && std::strcmp(length, "0") != 0) ||
           MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                       MHD_HTTP_HEADER_TRANSFER_ENCODING);
}

} // namespace

std::optional<std::string_view> HttpRequest::header(std::string_view name) const {
    for (const auto& [key, value] : headers)
        if (key.size() == name.size() && ::strncasecmp(key.data(), name.data(), name.size()) == 0)
            return std::string_view(value);
    return std::nullopt;
}

struct HttpFrontend::Connection final : Mailbox::Waiter {
    int fd = -1;
    MHD_Connection* connection = nullptr;
    std::string peer; // the TCP peer's address
    std::string from; // its limitKey
    // When the current request must be complete (the next head, or the
    // body); kNever while one is answered.
    Clock::time_point headDue = kNever;
    // The current request's target as sent, before the library takes it apart.
    std::string target;
    // Steps of the current request: head complete, one call let pass, replied.
    bool headSeen = false;
    bool waited = false;
    bool answered = false;
    // The current request, from its head on.
    Clock::time_point started;
    std::string method;
    Target parsed;
    std::string client;
    size_t bodyLimit = 0; // 0: its body is not read
    std::string body;
    bool overflowed = false; // a body longer than bodyLimit
    // While the request is a held fetch, or woken from being one.
    std::optional<Reply::Hold> hold;
    std::atomic<Mailbox::Wake> woken{Mailbox::Wake::TimeUp};
    // Out of its address's count (openFrom_) while held.
    bool released = false;

    void wake(Mailbox::Wake why) override {
        woken = why;
        MHD_resume_connection(connection);
    }
};

struct FrontendCallbacks {
    static MHD_Result answer(void* self, MHD_Connection* connection, const char*,
                             const char* method, const char*, const char* uploadData,
                             size_t* uploadSize, void** requestContext) {
        auto& frontend = *static_cast<HttpFrontend*>(self);
        auto* record = static_cast<HttpFrontend::Connection*>(*requestContext);
        if (!record)
            return MHD_NO; // no request line seen: cannot happen, close the connection
        if (record->answered) {
            // A body on a request that was already answered: dropped unread.
            *uploadSize = 0;
            return MHD_YES;
        }
        if (record->hold) {
            // A held fetch, resumed.
            const Reply::Hold hold = *record->hold;
            record->hold.reset();
            return respond(frontend, connection, *record,
                           frontend.service_.answerHeld(hold, record->woken));
        }
        if (!record->headSeen) {
            record->headSeen = true;
            record->started = Clock::now();
            record->method = method;
            record->parsed = parseTarget(record->target);
            // The peer's address was taken when the connection opened; the
            // headers are read only for a hook that decides by them.
            if (frontend.settings_.clientAddress) {
                HttpRequest request;
                request.method = method;
                request.target = record->target;
                request.peerAddress = record->peer;
                MHD_get_connection_values(connection, MHD_HEADER_KIND, collectHeader,
                                          &request.headers);
                record->client = frontend.settings_.clientAddress(request);
            } else {
                record->client = record->peer;
            }
            record->bodyLimit = frontend.service_.bodyLimit(method, record->parsed.path);
            // A body must arrive within the head time of its head.
            std::lock_guard lock(frontend.connectionsMutex_);
            record->headDue =
                record->bodyLimit == 0 ? kNever : Clock::now() + frontend.settings_.headTimeout;
        }
        const MHD_ConnectionInfo* headSize =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_REQUEST_HEADER_SIZE);
        const bool headTooLarge =
            headSize && headSize->header_size > frontend.settings_.maxHeadBytes;
        if (record->bodyLimit > 0 && !headTooLarge) {
            if (!record->waited) {
                record->waited = true;
                // Refused before a byte of it is read; the connection closes.
                const char* length = MHD_lookup_connection_value(connection, MHD_HEADER_KIND,
                                                                 MHD_HTTP_HEADER_CONTENT_LENGTH);
                if (length && std::strtoull(length, nullptr, 10) > record->bodyLimit)
                    return respond(frontend, connection, *record, DirectoryService::bodyTooLarge(),
                                   true);
                return MHD_YES;
            }
            if (*uploadSize > 0) {
                // A body sent without its length that runs over: the library
                // takes no reply before its end, so the rest is dropped as it
                // comes, within the time the request has.
                if (record->body.size() + *uploadSize > record->bodyLimit)
                    record->overflowed = true;
                if (!record->overflowed)
                    record->body.append(uploadData, *uploadSize);
                *uploadSize = 0;
                return MHD_YES;
            }
            if (record->overflowed)
                return respond(frontend, connection, *record, DirectoryService::bodyTooLarge(),
                               true);
        } else if (!record->waited && !headTooLarge && !hasBody(connection)) {
            // Answered on the next call: a reply queued on the first one makes
            // the library close the connection instead of keeping it alive.
            record->waited = true;
            return MHD_YES;
        }

        Reply reply;
        if (headTooLarge)
            reply.status = MHD_HTTP_REQUEST_HEADER_FIELDS_TOO_LARGE;
        else
            reply = frontend.service_.handle(record->method, record->parsed, record->client,
                                             record->body);
        return respond(frontend, connection, *record, std::move(reply), headTooLarge);
    }

    // Queues `reply` with one log line, or holds the fetch it asks to hold.
    static MHD_Result respond(HttpFrontend& frontend, MHD_Connection* connection,
                              HttpFrontend::Connection& record, Reply reply, bool close = false) {
        if (reply.hold && frontend.settings_.mailbox) {
            // Suspended before the mailbox knows it: a wake may come at once.
            record.hold = reply.hold;
            MHD_suspend_connection(connection);
            if (!record.released) {
                // An office's users each hold a fetch from one address: only
                // the requests they are making count.
                std::lock_guard lock(frontend.connectionsMutex_);
                if (--frontend.openFrom_[record.from] <= 0)
                    frontend.openFrom_.erase(record.from);
                record.released = true;
            }
            const Reply::Hold& hold = *record.hold;
            if (std::optional<Mailbox::Wake> why = frontend.settings_.mailbox->hold(
                    hold.user, hold.ticket, hold.watched, hold.due, record)) {
                record.woken = *why;
                MHD_resume_connection(connection);
            }
            return MHD_YES;
        }
        record.answered = true;
        {
            std::lock_guard lock(frontend.connectionsMutex_);
            record.headDue = kNever;
            if (record.released) {
                // Counted again; over the limit, it closes after this reply.
                record.released = false;
                close = close || ++frontend.openFrom_[record.from] >
                                     frontend.settings_.maxConnectionsPerAddress;
            }
        }
        MHD_Response* response = MHD_create_response_from_buffer(
            reply.body.size(), reply.body.data(), MHD_RESPMEM_MUST_COPY);
        if (!response)
            return MHD_NO;
        MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE,
                                "text/plain; charset=utf-8");
        MHD_add_response_header(response, MHD_HTTP_HEADER_CACHE_CONTROL, "no-store");
        if (!reply.allow.empty())
            MHD_add_response_header(response, MHD_HTTP_HEADER_ALLOW,
                                    std::string(reply.allow).c_str());
        if (close)
            MHD_add_response_header(response, MHD_HTTP_HEADER_CONNECTION, "close");
        MHD_Result queued =
            MHD_queue_response(connection, static_cast<unsigned>(reply.status), response);
        MHD_destroy_response(response);

        const double ms =
            std::chrono::duration<double, std::milli>(Clock::now() - record.started).count();
        std::string text = logLine(record.method, record.parsed, record.client, reply.status, ms);
        if (!reply.note.empty())
            text += " (" + reply.note + ")";
        writeLog(text);
        return queued;
    }

    // Called once the request line is in, before the headers.
    static void* requestStarted(void* self, const char* uri, MHD_Connection* connection) {
        (void)self;
        const MHD_ConnectionInfo* info =
            MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
        auto* record =
            info ? static_cast<HttpFrontend::Connection*>(info->socket_context) : nullptr;
        if (record) {
            record->target = uri ? uri : "";
            record->headSeen = record->waited = record->answered = false;
            std::string().swap(record->body); // up to 64 KiB, kept no longer
            record->bodyLimit = 0;
            record->overflowed = false;
            record->hold.reset();
        }
        return record;
    }

    // After the reply to a request: the next head on the connection is due in time.
    static void requestCompleted(void* self, MHD_Connection*, void** requestContext,
                                 MHD_RequestTerminationCode) {
        auto& frontend = *static_cast<HttpFrontend*>(self);
        auto* record = static_cast<HttpFrontend::Connection*>(*requestContext);
        if (!record)
            return;
        std::lock_guard lock(frontend.connectionsMutex_);
        record->headDue = Clock::now() + frontend.settings_.headTimeout;
    }

    static void connectionChanged(void* self, MHD_Connection* connection, void** socketContext,
                                  MHD_ConnectionNotificationCode what) {
        auto& frontend = *static_cast<HttpFrontend*>(self);
        if (what == MHD_CONNECTION_NOTIFY_STARTED) {
            auto* record = new HttpFrontend::Connection;
            record->connection = connection;
            const MHD_ConnectionInfo* info =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
            record->fd = info ? info->connect_fd : -1;
            const MHD_ConnectionInfo* peer =
                MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
            record->peer = addressText(peer ? peer->client_addr : nullptr);
            record->from = limitKey(record->peer);
            record->headDue = Clock::now() + frontend.settings_.headTimeout;
            *socketContext = record;
            std::lock_guard lock(frontend.connectionsMutex_);
            frontend.connections_.insert(record);
            // One over the limit is closed at once: the serving thread sees
            // the end of the stream before any request.
            if (++frontend.openFrom_[record->from] > frontend.settings_.maxConnectionsPerAddress &&
                record->fd >= 0) {
                ::shutdown(record->fd, SHUT_RDWR);
                record->headDue = kNever;
            }
        } else if (auto* record = static_cast<HttpFrontend::Connection*>(*socketContext)) {
            // The library closes the socket after this returns; until then
            // the watchdog may still shut it down, never a reused number.
            {
                std::lock_guard lock(frontend.connectionsMutex_);
                frontend.connections_.erase(record);
                if (!record->released && --frontend.openFrom_[record->from] <= 0)
                    frontend.openFrom_.erase(record->from);
            }
            delete record;
            *socketContext = nullptr;
        }
    }
};

HttpFrontend::HttpFrontend(DirectoryService& service, Settings settings)
    : service_(service), settings_(std::move(settings)) {}

HttpFrontend::~HttpFrontend() {
    // libmicrohttpd must not stop with a connection suspended: every held
    // fetch is woken first, and none is held from then on.
    if (settings_.mailbox)
        settings_.mailbox->stop();
    if (daemon_)
        MHD_stop_daemon(daemon_); // closes every connection, then the listening socket
    else if (listenFd_ >= 0)
        ::close(listenFd_);
    stop();
    if (watchdog_.joinable())
        watchdog_.join();
}

std::string HttpFrontend::start(const std::string& host, int port) {
    const std::string where = host + ":" + std::to_string(port);
    addrinfo hints{};
    hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV | AI_PASSIVE;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
        return "cannot listen on " + where + ": not a numeric address";
    const bool ipv6 = found->ai_family == AF_INET6;
    int fd = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd >= 0) {
        // SO_REUSEADDR lets a restarted server take its port back at once;
        // unlike SO_REUSEPORT it does not let a second server share it.
        int yes = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        if (::bind(fd, found->ai_addr, found->ai_addrlen) != 0 || ::listen(fd, SOMAXCONN) != 0) {
            ::close(fd);
            fd = -1;
        }
    }
    ::freeaddrinfo(found);
    if (fd < 0)
        return "cannot listen on " + where;
    listenFd_ = fd;
    sockaddr_storage bound{};
    socklen_t length = sizeof bound;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &length);
    port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&bound)->sin6_port
                       : reinterpret_cast<sockaddr_in*>(&bound)->sin_port);

    unsigned flags = MHD_USE_EPOLL_INTERNAL_THREAD | MHD_USE_ERROR_LOG | MHD_ALLOW_SUSPEND_RESUME;
    if (ipv6)
        flags |= MHD_USE_IPv6;
    const bool tls = !settings_.tlsCertificate.empty();
    if (tls)
        flags |= MHD_USE_TLS;
    std::vector<MHD_OptionItem> options = {
        {MHD_OPTION_LISTEN_SOCKET, fd, nullptr},
        {MHD_OPTION_EXTERNAL_LOGGER, reinterpret_cast<intptr_t>(&keepLibraryMessage), nullptr},
        {MHD_OPTION_CONNECTION_LIMIT, settings_.maxConnections, nullptr},
        {MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<intptr_t>(kConnectionMemory), nullptr},
        // Idle connections (between requests, or a reader that stopped
        // reading) go after the head time; the watchdog covers the rest.
        {MHD_OPTION_CONNECTION_TIMEOUT,
         static_cast<intptr_t>((settings_.headTimeout.count() + 999) / 1000), nullptr},
        {MHD_OPTION_URI_LOG_CALLBACK,
         reinterpret_cast<intptr_t>(&FrontendCallbacks::requestStarted), this},
        {MHD_OPTION_NOTIFY_COMPLETED,
         reinterpret_cast<intptr_t>(&FrontendCallbacks::requestCompleted), this},
        {MHD_OPTION_NOTIFY_CONNECTION,
         reinterpret_cast<intptr_t>(&FrontendCallbacks::connectionChanged), this},
    };
    if (settings_.threads > 1)
        options.push_back({MHD_OPTION_THREAD_POOL_SIZE, settings_.threads, nullptr});
    if (tls) {
        options.push_back({MHD_OPTION_HTTPS_MEM_CERT, 0, settings_.tlsCertificate.data()});
        options.push_back({MHD_OPTION_HTTPS_MEM_KEY, 0, settings_.tlsKey.data()});
    }
    options.push_back({MHD_OPTION_END, 0, nullptr});

    lastLibraryMessage.clear();
    daemon_ = MHD_start_daemon(flags, 0, nullptr, nullptr, &FrontendCallbacks::answer, this,
                               MHD_OPTION_ARRAY, options.data(), MHD_OPTION_END);
    if (!daemon_) {
        std::string why = "cannot serve on " + where;
        if (!lastLibraryMessage.empty())
            why += ": " + lastLibraryMessage;
        return why;
    }
    watchdog_ = std::thread([this] { watchHeads(); });
    return {};
}

void HttpFrontend::wait() {
    std::unique_lock lock(stopMutex_);
    stopped_.wait(lock, [this] { return stopRequested_; });
}

void HttpFrontend::stop() {
    {
        std::lock_guard lock(stopMutex_);
        stopRequested_ = true;
    }
    stopped_.notify_all();
}

void HttpFrontend::watchHeads() {
    std::unique_lock stopLock(stopMutex_);
    while (!stopped_.wait_for(stopLock, kWatchInterval, [this] { return stopRequested_; })) {
        const auto now = Clock::now();
        std::lock_guard lock(connectionsMutex_);
        for (Connection* c : connections_) {
            if (c->headDue <= now && c->fd >= 0) {
                // The serving thread sees the end of the stream and closes
                // the connection (and its record) itself.
                ::shutdown(c->fd, SHUT_RDWR);
                c->headDue = kNever;
            }
        }
    }
}

} // namespace sorvane::server

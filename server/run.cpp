#include "run.h"

#include "args.h"
#include "directory_service.h"
#include "forwarded.h"
#include "http_frontend.h"
#include "mailbox.h"
#include "password.h"
#include "postgres_storage.h"
#include "sqlite_storage.h"
#include "tls_pair.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <strings.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <thread>
#include <vector>

namespace sorvane::server {
namespace {

// Every open connection holds a descriptor; the usual soft limit of 1024
// would cap them far below --max-connections. Returns the limit in force.
rlim_t raiseDescriptorLimit() {
    rlimit limit{};
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
        return 1024;
    if (limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
        ::getrlimit(RLIMIT_NOFILE, &limit);
    }
    return limit.rlim_cur;
}

// Folders made for the database are the server's alone (0700), and so is a
// new database file (0600): accounts and password hashes are not for other
// users of the machine, whatever the umask. SQLite gives its -wal and -shm
// files the database file's mode.
void prepareDatabaseFile(const std::string& path) {
    std::filesystem::path db(path);
    std::filesystem::path folder = db.parent_path();
    std::vector<std::filesystem::path> missing;
    for (std::filesystem::path p = folder; !p.empty() && !std::filesystem::exists(p);
         p = p.parent_path()) {
        missing.push_back(p);
        if (p == p.parent_path())
            break;
    }
    for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
        if (::mkdir(it->c_str(), 0700) != 0 && errno != EEXIST)
            throw std::runtime_error("cannot make the folder " + it->string() + ": " +
                                     std::strerror(errno));
        ::chmod(it->c_str(), 0700);
    }
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd >= 0) {
        ::fchmod(fd, 0600);
        ::close(fd);
    }
}

} // namespace

int runServer(const ServerOptions& options) {
    // Stop signals are taken by one thread with sigwait; every thread started
    // from here on inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    // A client that hangs up mid-reply must not end the process.
    ::signal(SIGPIPE, SIG_IGN);

    HttpFrontend::Settings web;
    web.threads = options.threads;
    web.maxConnectionsPerAddress = options.maxConnectionsPerAddress;
    web.maxConnections = options.maxConnections;
    // Room for the database, the log and the listening socket.
    const rlim_t descriptors = raiseDescriptorLimit();
    constexpr rlim_t kSpareDescriptors = 64;
    if (descriptors < static_cast<rlim_t>(web.maxConnections) + kSpareDescriptors) {
        web.maxConnections = descriptors > 2 * kSpareDescriptors
                                 ? static_cast<int>(descriptors - kSpareDescriptors)
                                 : static_cast<int>(descriptors / 2);
        std::fprintf(stderr,
                     "sorvane-directory: at most %d connections: the process may open only %llu "
                     "files\n",
                     web.maxConnections, static_cast<unsigned long long>(descriptors));
    }
    if (!options.trustedProxies.empty()) {
        web.clientAddress = [trusted = options.trustedProxies](const HttpRequest& request) {
            // Every X-Forwarded-For line, in order, as one list.
            std::string forwarded;
            bool present = false;
            for (const auto& [name, value] : request.headers) {
                if (::strcasecmp(name.c_str(), "X-Forwarded-For") != 0)
                    continue;
                if (present)
                    forwarded += ',';
                forwarded += value;
                present = true;
            }
            return clientAddress(
                request.peerAddress,
                present ? std::optional<std::string_view>(forwarded) : std::nullopt, trusted);
        };
    }
    if (!options.tlsCertificate.empty()) {
        TlsPair pair;
        if (std::string error = loadTlsPair(options.tlsCertificate, options.tlsKey, pair);
            !error.empty()) {
            std::fprintf(stderr, "sorvane-directory: %s\n", error.c_str());
            return 1;
        }
        web.tlsCertificate = std::move(pair.certificate);
        web.tlsKey = std::move(pair.key);
    }

    try {
        std::unique_ptr<Storage> storage;
        if (isPostgresUri(options.database)) {
            storage = std::make_unique<PostgresStorage>(options.database);
        } else {
            prepareDatabaseFile(options.database);
            storage = std::make_unique<SqliteStorage>(options.database);
        }
        PasswordHasher hasher(options.hashCost);
        DirectoryService::Settings settings;
        settings.observedAddress = options.observedAddress;
        settings.allowAddressOnlyChanges = options.allowAddressOnlyChanges;
        settings.searches = {options.searchesPerSecond, static_cast<double>(options.searchBurst)};
        settings.newUsers = {options.newUsersPerHour / 3600.0,
                             static_cast<double>(options.newUsersPerHour)};
        settings.throttle.limit = options.loginFailureLimit;
        settings.throttle.window = std::chrono::milliseconds(options.loginFailureWindowMs);
        settings.throttle.pause = std::chrono::milliseconds(options.loginPauseMs);
        settings.throttle.accountLimit = options.accountFailureLimit;
        Mailbox mailbox(*storage);
        DirectoryService service(*storage, hasher, settings, &mailbox);
        web.mailbox = &mailbox;
        HttpFrontend frontend(service, std::move(web));
        mailbox.start();

        if (std::string error = frontend.start(options.host, options.port); !error.empty()) {
            std::fprintf(stderr, "sorvane-directory: %s\n", error.c_str());
            return 1;
        }
        std::string shown =
            options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
        std::fprintf(stderr, "sorvane-directory: database %s\n",
                     shownDatabase(options.database).c_str());
        std::printf("listening on %s:%d\n", shown.c_str(), frontend.port());
        std::fflush(stdout);

        std::thread stopper([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            if (signal != 0)
                std::fprintf(stderr, "sorvane-directory: stopping (signal %d)\n", signal);
            frontend.stop();
        });
        frontend.wait();
        stopper.join();
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sorvane-directory: %s\n", e.what());
        return 1;
    }
}

} // namespace sorvane::server

#include "run.h"

#include "args.h"
#include "directory_service.h"
#include "http_frontend.h"
#include "password.h"
#include "sqlite_storage.h"

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <thread>

namespace sorvane::server {

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

    try {
        std::filesystem::path db(options.database);
        if (db.has_parent_path())
            std::filesystem::create_directories(db.parent_path());

        SqliteStorage storage(options.database);
        PasswordHasher hasher(options.hashCost);
        DirectoryService::Settings settings;
        settings.observedAddress = options.observedAddress;
        settings.throttle.limit = options.loginFailureLimit;
        settings.throttle.window = std::chrono::milliseconds(options.loginFailureWindowMs);
        settings.throttle.pause = std::chrono::milliseconds(options.loginPauseMs);
        DirectoryService service(storage, hasher, settings);
        HttpFrontend frontend(service, options.threads);

        if (std::string error = frontend.bind(options.host, options.port); !error.empty()) {
            std::fprintf(stderr, "sorvane-directory: %s\n", error.c_str());
            return 1;
        }
        std::string shown =
            options.host.find(':') != std::string::npos ? "[" + options.host + "]" : options.host;
        std::fprintf(stderr, "sorvane-directory: database %s\n", options.database.c_str());
        std::printf("listening on %s:%d\n", shown.c_str(), frontend.port());
        std::fflush(stdout);

        std::atomic<bool> finished{false};
        std::thread stopper([&] {
            int signal = 0;
            sigwait(&stopSignals, &signal);
            if (finished)
                return;
            std::fprintf(stderr, "sorvane-directory: stopping (signal %d)\n", signal);
            while (!finished) {
                frontend.stop();
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });

        bool served = frontend.run();
        finished = true;
        // Wake the stop thread if serving ended without a signal.
        pthread_kill(stopper.native_handle(), SIGTERM);
        stopper.join();
        if (!served) {
            std::fprintf(stderr, "sorvane-directory: serving failed\n");
            return 1;
        }
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "sorvane-directory: %s\n", e.what());
        return 1;
    }
}

} // namespace sorvane::server

#pragma once

#include "forwarded.h"

#include <string>
#include <string_view>
#include <vector>

namespace sorvane::server {

struct ServerOptions {
    std::string host = "127.0.0.1";
    int port = 8642;
    std::string database; // empty: defaultDatabasePath()
    bool observedAddress = false;
    // Reverse proxies whose X-Forwarded-For names the client (--trusted-proxy).
    std::vector<Network> trustedProxies;
    bool allowAddressOnlyChanges = false;
    int hashCost = 5;
    int threads = 32;
    int maxConnections = 4096;
    int maxConnectionsPerAddress = 64;
    // Both set: HTTPS with this certificate and key (PEM files).
    std::string tlsCertificate;
    std::string tlsKey;
    // Per address: searches a second and at once, new users an hour (0: no limit).
    double searchesPerSecond = 5;
    int searchBurst = 20;
    int newUsersPerHour = 20;
    // Password-guessing throttle; hidden options, for tests.
    int loginFailureLimit = 5;
    int loginFailureWindowMs = 60000;
    int loginPauseMs = 60000;
    // Failed logins for one name over all addresses in an hour.
    int accountFailureLimit = 100;
};

struct ParsedArgs {
    ServerOptions options;
    bool help = false;
    std::string error; // non-empty: the command line was refused
};

// args excludes the program name.
ParsedArgs parseArgs(const std::vector<std::string_view>& args);

// $XDG_DATA_HOME/sorvane-directory/directory.db, else
// $HOME/.local/share/sorvane-directory/directory.db; null arguments stand for
// unset variables. Empty when neither is set.
std::string defaultDatabasePath(const char* xdgDataHome, const char* home);

std::string helpText(std::string_view program);

} // namespace sorvane::server

#pragma once
// The sizes of the load cases, from the environment so that a long run needs no rebuild.
// `make test` runs the defaults; the full sizes are the values shown:
//   SORVANE_FAULTS_LINES=10000     lines sent to one client by 20 senders (default 10000)
//   SORVANE_FAULTS_CLIENTS=50      concurrent clients of the directory server (default 50)
//   SORVANE_FAULTS_SECONDS=30      how long those clients keep at it (default 3)
//   SORVANE_FAULTS_KILLS=20        kill -9 rounds during registrations (default 5)
#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>

namespace sorvane::test {

inline int loadParameter(const char* name, int quick) {
    const char* value = std::getenv(name);
    if (value == nullptr || *value == '\0')
        return quick;
    try {
        return std::max(1, std::stoi(value));
    } catch (const std::exception&) {
        return quick;
    }
}

} // namespace sorvane::test

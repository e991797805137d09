#pragma once
// The sizes of the load cases, from the environment so that a long run needs no rebuild:
//   SORVANE_FAULTS_LINES=10000     lines sent to one client by 20 senders
//   SORVANE_FAULTS_CLIENTS=50      concurrent clients of the directory server
//   SORVANE_FAULTS_SECONDS=30      how long those clients keep at it
//   SORVANE_FAULTS_KILLS=20        kill -9 rounds during registrations
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

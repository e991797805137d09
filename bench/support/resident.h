#pragma once
// This process's resident memory.
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace sorvane::bench {

// VmRSS from /proc/self/status, in KiB; -1 when it cannot be read.
inline long residentKb() {
    std::FILE* status = std::fopen("/proc/self/status", "r");
    if (!status)
        return -1;
    char line[256];
    long kb = -1;
    while (std::fgets(line, sizeof line, status))
        if (std::strncmp(line, "VmRSS:", 6) == 0)
            kb = std::strtol(line + 6, nullptr, 10);
    std::fclose(status);
    return kb;
}

} // namespace sorvane::bench

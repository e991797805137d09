#pragma once
// CPU time other processes have used, to split a load's cost between the programs serving it.
#include <sys/types.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

namespace sorvane::bench {

// User + system CPU seconds of process `pid`; `parent` is set to its parent's pid. 0 when it
// cannot be read (the process is gone). `reaped`: with that of its children that have ended.
inline double cpuSeconds(pid_t pid, pid_t* parent = nullptr, bool reaped = false) {
    std::string stat;
    try {
        std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
        stat.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::ios_base::failure&) {
        return 0; // the process ended between the open and the read
    }
    // The command name is in parentheses and may hold blanks: count fields after it.
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return 0;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; fields >> field && i <= 17; ++i) {
        if (i == 4 && parent)
            *parent = static_cast<pid_t>(std::stol(field));
        if (i == 14)
            utime = std::stol(field);
        if (i == 15)
            stime = std::stol(field);
        if (reaped && (i == 16 || i == 17))
            utime += std::stol(field);
    }
    return static_cast<double>(utime + stime) / static_cast<double>(::sysconf(_SC_CLK_TCK));
}

// CPU seconds of `pid` and every process whose parent it is (a PostgreSQL server and its
// connection processes, nginx and its workers).
inline double treeCpuSeconds(pid_t pid) {
    // A connection process that ends during a load moves its time into its parent's count of
    // ended children, so the sum never runs backwards.
    double total = cpuSeconds(pid, nullptr, true);
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        pid_t parent = 0;
        const double seconds = cpuSeconds(static_cast<pid_t>(std::stol(name)), &parent);
        if (parent == pid)
            total += seconds;
    }
    return total;
}

} // namespace sorvane::bench

#pragma once
// Directory databases for the benchmarks, filled through the server's own bulk import.
#include <cstdint>
#include <filesystem>
#include <string>

#include <sys/types.h>

namespace sorvane::bench {

// A database holding accountName(0) .. accountName(count - 1), password "pw", each registered
// at 127.0.0.1 on some port. Built once into the benchmark tree's data folder and reused by
// later runs; a change of the server's schema builds a new one.
std::filesystem::path cachedDirectory(std::uint64_t count);

// The same accounts in a PostgreSQL database, filled through the server's COPY import; returns
// its URI. The database lives in a cluster kept in the benchmark tree's data folder, which this
// process starts on first use (as PostgreSQL's own user when run as root) and stops at its end.
std::string cachedPostgresDirectory(std::uint64_t count);

// Reads every table and index of that database into the cluster's memory.
void warmPostgresDirectory(const std::string& uri);

// The process of that cluster's server (started if need be), to see what it costs.
pid_t benchPostgresPid();

} // namespace sorvane::bench

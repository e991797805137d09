#pragma once
// Directory databases for the benchmarks, filled through the server's own bulk import.
#include <cstdint>
#include <filesystem>

namespace sorvane::bench {

// A database holding accountName(0) .. accountName(count - 1), password "pw", each registered
// at 127.0.0.1 on some port. Built once into the benchmark tree's data folder and reused by
// later runs; a change of the server's schema builds a new one.
std::filesystem::path cachedDirectory(std::uint64_t count);

} // namespace sorvane::bench

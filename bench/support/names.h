#pragma once
// The accounts a benchmark directory is filled with: e-mail-like names that share many
// pieces ("anna.", ".evans", "@mail.example"), so that searches meet common pieces as they
// would in a real directory. The same index always gives the same name.
#include <cstdint>
#include <string>

namespace sorvane::bench {

std::string accountName(std::uint64_t index);

} // namespace sorvane::bench

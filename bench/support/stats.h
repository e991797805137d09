#pragma once
// Order statistics of a sample of timings.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace sorvane::bench {

// The value below which `fraction` of the sample lies (nearest rank); 0 for an empty sample.
inline double percentile(std::vector<double> sample, double fraction) {
    if (sample.empty())
        return 0;
    std::sort(sample.begin(), sample.end());
    const double rank = std::ceil(fraction * static_cast<double>(sample.size()));
    const std::size_t at = rank < 1 ? 0 : static_cast<std::size_t>(rank) - 1;
    return sample[std::min(at, sample.size() - 1)];
}

inline double median(const std::vector<double>& sample) {
    return percentile(sample, 0.5);
}

} // namespace sorvane::bench

#include "rate_limiter.h"

#include <algorithm>

namespace sorvane::server {
namespace {

constexpr size_t kPruneAt = 10000;

} // namespace

RateLimiter::RateLimiter(Settings settings) : settings_(settings) {}

void RateLimiter::refill(Bucket& bucket, Clock::time_point now) const {
    const double seconds = std::chrono::duration<double>(now - bucket.at).count();
    if (seconds > 0)
        bucket.left = std::min(settings_.burst, bucket.left + seconds * settings_.perSecond);
    bucket.at = std::max(bucket.at, now);
}

bool RateLimiter::take(std::string_view key, Clock::time_point now) {
    if (settings_.perSecond <= 0)
        return true;
    std::lock_guard lock(mutex_);
    auto [it, fresh] = buckets_.try_emplace(std::string(key));
    Bucket& bucket = it->second;
    if (fresh)
        bucket = Bucket{settings_.burst, now};
    else
        refill(bucket, now);
    if (bucket.left < 1)
        return false;
    bucket.left -= 1;
    if (buckets_.size() > pruneAt_) {
        std::erase_if(buckets_, [&](const auto& entry) {
            Bucket bucket = entry.second;
            refill(bucket, now);
            return bucket.left >= settings_.burst;
        });
        // Not again before the survivors have doubled: each request stays cheap.
        pruneAt_ = std::max(kPruneAt, 2 * buckets_.size());
    }
    return true;
}

size_t RateLimiter::trackedCount() {
    std::lock_guard lock(mutex_);
    return buckets_.size();
}

} // namespace sorvane::server

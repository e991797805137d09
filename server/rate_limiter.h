#pragma once

// How often one address may ask for something: a bucket of `burst` requests
// per address that refills at `perSecond`. Buckets that have filled up again
// are forgotten once many addresses are on record, so that requests from
// ever new addresses cannot grow the process without end.

#include <chrono>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sorvane::server {

class RateLimiter {
public:
    using Clock = std::chrono::steady_clock;

    struct Settings {
        double perSecond = 0; // 0: no limit
        double burst = 1;
    };

    explicit RateLimiter(Settings settings);

    // Takes one request from `key`'s bucket; false when it is empty.
    bool take(std::string_view key, Clock::time_point now = Clock::now());

    // Addresses on record.
    size_t trackedCount();

private:
    struct Bucket {
        double left = 0;
        Clock::time_point at{};
    };
    void refill(Bucket& bucket, Clock::time_point now) const;

    Settings settings_;
    std::mutex mutex_;
    std::unordered_map<std::string, Bucket> buckets_;
    size_t pruneAt_ = 10000;
};

} // namespace sorvane::server

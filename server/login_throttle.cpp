#include "login_throttle.h"

#include "storage.h"

namespace sorvane::server {
namespace {

// Beyond this many records, the ones that no longer matter are dropped; beyond
// twice as many, also those that only count failures, so that guesses at
// made-up names from many addresses cannot grow the process without end.
constexpr size_t kPruneAt = 10000;

} // namespace

MemoryLoginThrottle::MemoryLoginThrottle(Settings settings) : settings_(settings) {}

bool MemoryLoginThrottle::refuses(std::string_view name, std::string_view address,
                                  Clock::time_point now) {
    if (settings_.limit <= 0)
        return false;
    std::lock_guard lock(mutex_);
    const bool byName = pausedLocked(byName_, asciiLower(name), now);
    const bool byAddress = pausedLocked(byAddress_, std::string(address), now);
    return byName || byAddress;
}

void MemoryLoginThrottle::failed(std::string_view name, std::string_view address,
                                 Clock::time_point now) {
    if (settings_.limit <= 0)
        return;
    std::lock_guard lock(mutex_);
    failLocked(byName_, asciiLower(name), now);
    failLocked(byAddress_, std::string(address), now);
    if (byName_.size() + byAddress_.size() > kPruneAt)
        pruneLocked(now);
}

void MemoryLoginThrottle::succeeded(std::string_view name) {
    if (settings_.limit <= 0)
        return;
    std::lock_guard lock(mutex_);
    // The address keeps its count: logging in to an account of one's own
    // between guesses at others must not wipe the slate.
    byName_.erase(asciiLower(name));
}

size_t MemoryLoginThrottle::trackedCount() {
    std::lock_guard lock(mutex_);
    return byName_.size() + byAddress_.size();
}

bool MemoryLoginThrottle::pausedLocked(Records& records, const std::string& key,
                                       Clock::time_point now) {
    auto it = records.find(key);
    return it != records.end() && now < it->second.pausedUntil;
}

void MemoryLoginThrottle::failLocked(Records& records, const std::string& key,
                                     Clock::time_point now) {
    Record& record = records[key];
    while (!record.failures.empty() && now - record.failures.front() >= settings_.window)
        record.failures.pop_front();
    record.failures.push_back(now);
    if (record.failures.size() >= static_cast<size_t>(settings_.limit)) {
        record.failures.clear();
        record.pausedUntil = now + settings_.pause;
    }
}

void MemoryLoginThrottle::pruneLocked(Clock::time_point now) {
    const auto stale = [&](const Record& r) {
        return now >= r.pausedUntil &&
               (r.failures.empty() || now - r.failures.back() >= settings_.window);
    };
    for (Records* records : {&byName_, &byAddress_})
        std::erase_if(*records, [&](const auto& entry) { return stale(entry.second); });
    if (byName_.size() + byAddress_.size() > 2 * kPruneAt) {
        for (Records* records : {&byName_, &byAddress_})
            std::erase_if(*records,
                          [&](const auto& entry) { return now >= entry.second.pausedUntil; });
    }
}

} // namespace sorvane::server

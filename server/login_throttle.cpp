#include "login_throttle.h"

#include "storage.h"

namespace sorvane::server {
namespace {

// Beyond this many records of a count, the ones that no longer matter are
// dropped; beyond twice as many, also those that only count failures, so that
// guesses at made-up names from many addresses cannot grow the process
// without end.
constexpr size_t kPruneAt = 10000;

// Addresses hold no blank, so the pair's key cannot be read two ways.
std::string pairKey(std::string_view name, std::string_view address) {
    return std::string(address) + " " + asciiLower(name);
}

} // namespace

MemoryLoginThrottle::MemoryLoginThrottle(Settings s)
    : byNameAndAddress_{s.limit, s.window, s.pause, {}}, byAddress_{s.limit, s.window, s.pause, {}},
      byName_{s.accountLimit, s.accountWindow, s.accountPause, {}} {}

bool MemoryLoginThrottle::refuses(std::string_view name, std::string_view address,
                                  bool ownersAddress) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    return byNameAndAddress_.paused(pairKey(name, address), now) ||
           byAddress_.paused(std::string(address), now) ||
           (!ownersAddress && byName_.paused(asciiLower(name), now));
}

void MemoryLoginThrottle::failed(std::string_view name, std::string_view address) {
    const auto now = Clock::now();
    std::lock_guard lock(mutex_);
    byNameAndAddress_.fail(pairKey(name, address), now);
    byAddress_.fail(std::string(address), now);
    byName_.fail(asciiLower(name), now);
}

void MemoryLoginThrottle::succeeded(std::string_view name, std::string_view address) {
    std::lock_guard lock(mutex_);
    // The address keeps its count: logging in to an account of one's own
    // between guesses at others must not wipe the slate. So does the name's
    // ceiling: the owner's logins would otherwise reopen it to the guesser.
    byNameAndAddress_.records.erase(pairKey(name, address));
}

bool MemoryLoginThrottle::Count::paused(const std::string& key, Clock::time_point now) const {
    auto it = records.find(key);
    return it != records.end() && now < it->second.pausedUntil;
}

void MemoryLoginThrottle::Count::fail(const std::string& key, Clock::time_point now) {
    if (limit <= 0)
        return;
    Record& record = records[key];
    while (!record.failures.empty() && now - record.failures.front() >= window)
        record.failures.pop_front();
    record.failures.push_back(now);
    if (record.failures.size() >= static_cast<size_t>(limit)) {
        record.failures.clear();
        record.pausedUntil = now + pause;
    }
    if (records.size() > kPruneAt)
        prune(now);
}

void MemoryLoginThrottle::Count::prune(Clock::time_point now) {
    std::erase_if(records, [&](const auto& entry) {
        const Record& r = entry.second;
        return now >= r.pausedUntil && (r.failures.empty() || now - r.failures.back() >= window);
    });
    if (records.size() > 2 * kPruneAt)
        std::erase_if(records, [&](const auto& entry) { return now >= entry.second.pausedUntil; });
}

} // namespace sorvane::server

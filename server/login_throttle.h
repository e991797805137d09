#pragma once

// Slows down password guessing at "c.php". After `limit` failed logins within
// `window` for one user name, or from one address, that name (or address) is
// refused for `pause` without its password being checked; refusals during the
// pause are not counted. A successful login clears its name's failures.
//
// The storage decides where the failures are kept (Storage::loginThrottle):
// in the process for a directory of one server, in the database when several
// servers share it.

#include <chrono>
#include <deque>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace sorvane::server {

class LoginThrottle {
public:
    struct Settings {
        int limit = 5; // 0: no throttling
        std::chrono::milliseconds window{60000};
        std::chrono::milliseconds pause{60000};
    };

    virtual ~LoginThrottle() = default;

    // True while `name` (compared without regard to ASCII case, as accounts
    // are) or `address` is paused. Safe from many threads at once; a
    // throttle kept in a database throws std::runtime_error when it fails.
    virtual bool refuses(std::string_view name, std::string_view address) = 0;
    virtual void failed(std::string_view name, std::string_view address) = 0;
    virtual void succeeded(std::string_view name) = 0;
};

// The failures of this process, in its memory.
class MemoryLoginThrottle final : public LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit MemoryLoginThrottle(Settings settings);

    bool refuses(std::string_view name, std::string_view address) override {
        return refuses(name, address, Clock::now());
    }
    void failed(std::string_view name, std::string_view address) override {
        failed(name, address, Clock::now());
    }
    void succeeded(std::string_view name) override;

    bool refuses(std::string_view name, std::string_view address, Clock::time_point now);
    void failed(std::string_view name, std::string_view address, Clock::time_point now);

    // Names and addresses with failures or a pause on record.
    size_t trackedCount();

private:
    struct Record {
        std::deque<Clock::time_point> failures; // within the window, oldest first
        Clock::time_point pausedUntil{};
    };
    using Records = std::unordered_map<std::string, Record>;

    bool pausedLocked(Records& records, const std::string& key, Clock::time_point now);
    void failLocked(Records& records, const std::string& key, Clock::time_point now);
    void pruneLocked(Clock::time_point now);

    Settings settings_;
    std::mutex mutex_;
    Records byName_;
    Records byAddress_;
};

} // namespace sorvane::server

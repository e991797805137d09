#pragma once

// Slows down password guessing at "c.php", in three counts, each with its own
// window and pause; refusals during a pause are not counted:
// - a name from one address: after `limit` failures within `window`, that
//   name is refused from that address for `pause`. A guesser elsewhere never
//   locks the owner out.
// - an address over all names: the same numbers, so that one address cannot
//   try a password on many names.
// - a name over all addresses: after `accountLimit` failures within
//   `accountWindow`, the name is refused for `accountPause` from every
//   address but the one of its last successful login, so that a guesser
//   spread over many addresses is bounded too.
// Addresses are the keys of limitKey() (directory_service.h). A successful
// login clears the failures of its name from its address.
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
        int limit = 5; // 0: neither a name from one address nor an address is paused
        std::chrono::milliseconds window{60000};
        std::chrono::milliseconds pause{60000};
        int accountLimit = 100; // 0: no ceiling per name
        std::chrono::milliseconds accountWindow{3600000};
        std::chrono::milliseconds accountPause{3600000};
    };

    virtual ~LoginThrottle() = default;

    // True while `name` (compared without regard to ASCII case, as accounts
    // are) is paused from `address`, or `address` is. `ownersAddress`: the
    // address is the one of the name's last successful login, which the
    // ceiling per name spares. Safe from many threads at once; a throttle
    // kept in a database throws std::runtime_error when it fails.
    virtual bool refuses(std::string_view name, std::string_view address, bool ownersAddress) = 0;
    virtual void failed(std::string_view name, std::string_view address) = 0;
    virtual void succeeded(std::string_view name, std::string_view address) = 0;
};

// The failures of this process, in its memory.
class MemoryLoginThrottle final : public LoginThrottle {
public:
    using Clock = std::chrono::steady_clock;

    explicit MemoryLoginThrottle(Settings settings);

    bool refuses(std::string_view name, std::string_view address, bool ownersAddress) override;
    void failed(std::string_view name, std::string_view address) override;
    void succeeded(std::string_view name, std::string_view address) override;

private:
    struct Record {
        std::deque<Clock::time_point> failures; // within the window, oldest first
        Clock::time_point pausedUntil{};
    };
    // One of the three counts: its numbers and its records.
    struct Count {
        int limit;
        Clock::duration window, pause;
        std::unordered_map<std::string, Record> records;

        bool paused(const std::string& key, Clock::time_point now) const;
        void fail(const std::string& key, Clock::time_point now);
        void prune(Clock::time_point now);
    };

    std::mutex mutex_;
    Count byNameAndAddress_;
    Count byAddress_;
    Count byName_;
};

} // namespace sorvane::server

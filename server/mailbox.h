#pragma once

// Fetches that wait on this server until a line comes for their user.
//
// A fetch that finds its user's mailbox empty may wait (m.php's wait): the
// HTTP side parks the request without a thread and registers it here as held.
// A line deposited for the user, through this server or through another one
// on the same database, wakes it; so do its time running out, a newer fetch
// by the same user (a user has at most one held fetch) and the server
// stopping. When fetches begin and end is written to the database once a
// second, for g.php's "mailbox" line; lines past their time are deleted once
// a minute.
//
// Threads: the serving threads begin fetches, hold them and deposit lines;
// one thread of the mailbox's own ends holds whose time is up, hears the
// other servers on the database (MailboxListener), writes the fetch times
// and deletes old lines. They share the holds, the deposit counts and the
// users whose fetch times are not yet written, under mutex_. A held fetch is
// woken outside the lock, by whichever thread took it off the list. stop()
// wakes every held fetch, refuses new ones, waits for wakes in progress and
// joins the thread; the destructor stops too.

#include "storage.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace sorvane::server {

class Mailbox {
public:
    using Clock = std::chrono::steady_clock;

    // Why a held fetch was woken.
    enum class Wake {
        Lines,    // a line may have come: read again
        TimeUp,   // its wait is over
        Replaced, // a newer fetch by the same user began
        Stopping, // the server stops
    };

    // A held fetch. wake() is called once per hold, on any thread, never
    // under the mailbox's lock.
    class Waiter {
    public:
        virtual void wake(Wake why) = 0;

    protected:
        ~Waiter() = default;
    };

    explicit Mailbox(Storage& storage);
    ~Mailbox();
    Mailbox(const Mailbox&) = delete;
    Mailbox& operator=(const Mailbox&) = delete;

    // Starts the thread.
    void start();

    // A fetch by `user` begins: ends the user's held fetch (Replaced), tells
    // the other servers and records the time. Returns the fetch's ticket.
    std::uint64_t fetchBegun(UserId user);
    // Taken before a fetch reads the user's lines, for hold().
    std::uint64_t watch(UserId user);
    // Holds a fetch that read no lines until `due`, unless a line for the
    // user came since `watched` (Lines: read again), a newer fetch by the
    // user (by ticket) is held (Replaced) or the server stops (Stopping). A
    // newer fetch ends an older one. Empty: held, the waiter is woken later.
    std::optional<Wake> hold(UserId user, std::uint64_t ticket, std::uint64_t watched,
                             Clock::time_point due, Waiter& waiter);
    // A fetch that was held has been answered: records the time.
    void fetchEnded(UserId user);
    // A line for `user` was stored through this server.
    void deposited(UserId user);

    void stop();

private:
    struct Held {
        Waiter* waiter;
        std::uint64_t ticket;
        Clock::time_point due;
    };
    using Wakes = std::vector<std::pair<Waiter*, Wake>>;

    // Under mutex_: takes the user's hold off the list, into `wakes`.
    void release(UserId user, Wake why, Wakes& wakes);
    // Outside the lock.
    void wakeAll(const Wakes& wakes);
    void lineCame(UserId user, Wakes& wakes);
    void run();
    void writeFetchTimes();
    void interrupt();

    Storage& storage_;
    std::mutex mutex_;
    std::condition_variable wakesDone_;
    std::unordered_map<UserId, Held> held_;
    std::set<std::pair<Clock::time_point, UserId>> due_;
    // Lines stored per user, counted in a few buckets: a fetch compares
    // its user's bucket before and after reading.
    std::array<std::uint64_t, 1024> deposits_{};
    std::uint64_t tickets_ = 0;
    std::unordered_set<UserId> fetchTimes_; // not yet written
    size_t wakesInProgress_ = 0;
    bool stopping_ = false;
    // When the thread looks at the holds next.
    Clock::time_point threadWakes_ = Clock::time_point::max();
    int interruptFd_ = -1;
    std::thread thread_;
};

} // namespace sorvane::server

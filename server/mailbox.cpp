#include "mailbox.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <stdexcept>

namespace sorvane::server {
namespace {

constexpr std::chrono::seconds kWriteFetchTimesEvery{1};
constexpr std::chrono::minutes kExpireEvery{1};
// Listening again after the database went away: first after this, doubling up to the longest.
constexpr std::chrono::seconds kListenRetry{1};
constexpr std::chrono::seconds kListenRetryLongest{30};

// One write per line, so that it does not interleave with the request log; the database's
// reasons may span lines.
void note(const std::string& text) {
    std::string line = "sorvane-directory: mailbox: ";
    for (char c : text)
        line += c == '\n' || c == '\t' ? ' ' : c;
    line += '\n';
    ssize_t ignored = ::write(STDERR_FILENO, line.data(), line.size());
    (void)ignored;
}

} // namespace

Mailbox::Mailbox(Storage& storage) : storage_(storage) {
    interruptFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (interruptFd_ < 0)
        throw std::runtime_error("mailbox: no eventfd");
}

Mailbox::~Mailbox() {
    stop();
    ::close(interruptFd_);
}

void Mailbox::start() {
    thread_ = std::thread([this] { run(); });
}

std::uint64_t Mailbox::fetchBegun(UserId user) {
    storage_.announceFetch(user);
    Wakes wakes;
    std::uint64_t ticket;
    {
        std::lock_guard lock(mutex_);
        release(user, Wake::Replaced, wakes);
        fetchTimes_.insert(user);
        ticket = ++tickets_;
    }
    wakeAll(wakes);
    return ticket;
}

std::uint64_t Mailbox::watch(UserId user) {
    std::lock_guard lock(mutex_);
    return deposits_[static_cast<std::uint64_t>(user) % deposits_.size()];
}

std::optional<Mailbox::Wake> Mailbox::hold(UserId user, std::uint64_t ticket, std::uint64_t watched,
                                           Clock::time_point due, Waiter& waiter) {
    Wakes wakes;
    {
        std::lock_guard lock(mutex_);
        const auto current = held_.find(user);
        if (stopping_)
            return Wake::Stopping;
        if (current != held_.end() && current->second.ticket > ticket)
            return Wake::Replaced;
        if (deposits_[static_cast<std::uint64_t>(user) % deposits_.size()] != watched)
            return Wake::Lines;
        release(user, Wake::Replaced, wakes);
        held_.emplace(user, Held{&waiter, ticket, due});
        due_.emplace(due, user);
        if (due < threadWakes_)
            interrupt();
    }
    wakeAll(wakes);
    return std::nullopt;
}

void Mailbox::fetchEnded(UserId user) {
    std::lock_guard lock(mutex_);
    fetchTimes_.insert(user);
}

void Mailbox::deposited(UserId user) {
    Wakes wakes;
    {
        std::lock_guard lock(mutex_);
        lineCame(user, wakes);
    }
    wakeAll(wakes);
}

void Mailbox::lineCame(UserId user, Wakes& wakes) {
    ++deposits_[static_cast<std::uint64_t>(user) % deposits_.size()];
    release(user, Wake::Lines, wakes);
}

void Mailbox::release(UserId user, Wake why, Wakes& wakes) {
    const auto found = held_.find(user);
    if (found == held_.end())
        return;
    due_.erase({found->second.due, user});
    wakes.emplace_back(found->second.waiter, why);
    held_.erase(found);
    ++wakesInProgress_;
}

void Mailbox::wakeAll(const Wakes& wakes) {
    if (wakes.empty())
        return;
    for (const auto& [waiter, why] : wakes)
        waiter->wake(why);
    {
        std::lock_guard lock(mutex_);
        wakesInProgress_ -= wakes.size();
    }
    wakesDone_.notify_all();
}

void Mailbox::stop() {
    Wakes wakes;
    {
        std::lock_guard lock(mutex_);
        if (stopping_)
            return;
        stopping_ = true;
        while (!held_.empty())
            release(held_.begin()->first, Wake::Stopping, wakes);
        interrupt();
    }
    wakeAll(wakes);
    {
        // Wakes that other threads took off the list must be done before the
        // HTTP side may close their connections.
        std::unique_lock lock(mutex_);
        wakesDone_.wait(lock, [this] { return wakesInProgress_ == 0; });
    }
    if (thread_.joinable())
        thread_.join();
    writeFetchTimes();
}

void Mailbox::interrupt() {
    const std::uint64_t one = 1;
    ssize_t ignored = ::write(interruptFd_, &one, sizeof one);
    (void)ignored;
}

void Mailbox::writeFetchTimes() {
    std::vector<UserId> users;
    {
        std::lock_guard lock(mutex_);
        users.assign(fetchTimes_.begin(), fetchTimes_.end());
        fetchTimes_.clear();
    }
    if (users.empty())
        return;
    try {
        storage_.recordFetches(users);
    } catch (const std::exception& e) {
        // Kept for the next try; a fetch time written late only shortens "mailbox".
        std::lock_guard lock(mutex_);
        fetchTimes_.insert(users.begin(), users.end());
        note(std::string("cannot write fetch times: ") + e.what());
    }
}

void Mailbox::run() {
    std::unique_ptr<MailboxListener> listener = storage_.mailboxListener();
    bool listened = false, refused = false;
    auto backoff = std::chrono::duration_cast<Clock::duration>(kListenRetry);
    auto now = Clock::now();
    Clock::time_point listenAt = now, writeAt = now + kWriteFetchTimesEvery, expireAt = now;
    std::vector<MailboxNews> news;
    for (;;) {
        now = Clock::now();
        Wakes wakes;
        Clock::time_point next = std::min(writeAt, expireAt);
        {
            std::lock_guard lock(mutex_);
            if (stopping_)
                break;
            while (!due_.empty() && due_.begin()->first <= now)
                release(due_.begin()->second, Wake::TimeUp, wakes);
            for (const MailboxNews& n : news) {
                if (n.kind == MailboxNews::Deposited)
                    lineCame(n.user, wakes);
                else
                    release(n.user, Wake::Replaced, wakes);
            }
            news.clear();
            if (!due_.empty())
                next = std::min(next, due_.begin()->first);
            if (listener && listener->descriptor() < 0)
                next = std::min(next, listenAt);
            threadWakes_ = next;
        }
        wakeAll(wakes);

        if (now >= writeAt) {
            writeFetchTimes();
            writeAt = now + kWriteFetchTimesEvery;
        }
        if (now >= expireAt) {
            try {
                storage_.expireMailbox();
            } catch (const std::exception& e) {
                note(std::string("cannot delete old lines: ") + e.what());
            }
            expireAt = now + kExpireEvery;
        }
        if (listener && listener->descriptor() < 0 && now >= listenAt) {
            if (const std::string why = listener->connect(); why.empty()) {
                if (refused)
                    note("listening to the other servers again");
                if (listened) {
                    // Deposits elsewhere may have gone unheard: every held fetch reads again.
                    std::lock_guard lock(mutex_);
                    for (const auto& [user, held] : held_)
                        news.push_back({MailboxNews::Deposited, user});
                }
                listened = true;
                refused = false;
                backoff = kListenRetry;
            } else {
                if (!refused)
                    note("cannot hear the other servers, fetches held here wake for their "
                         "lines when their wait is up: " +
                         why);
                refused = true;
                listenAt = now + backoff;
                backoff = std::min<Clock::duration>(backoff * 2, kListenRetryLongest);
            }
            if (!news.empty())
                continue;
        }

        pollfd fds[2] = {{interruptFd_, POLLIN, 0}, {-1, POLLIN, 0}};
        if (listener)
            fds[1].fd = listener->descriptor();
        const auto wait = std::chrono::ceil<std::chrono::milliseconds>(next - Clock::now());
        const int ready = ::poll(fds, fds[1].fd >= 0 ? 2 : 1,
                                 static_cast<int>(std::clamp<long long>(wait.count(), 0, 60000)));
        if (ready <= 0)
            continue;
        if (fds[0].revents) {
            std::uint64_t count;
            ssize_t ignored = ::read(interruptFd_, &count, sizeof count);
            (void)ignored;
        }
        if (fds[1].fd >= 0 && fds[1].revents && !listener->take(news)) {
            note("lost the connection that hears the other servers");
            refused = true;
            listenAt = Clock::now();
        }
    }
}

} // namespace sorvane::server

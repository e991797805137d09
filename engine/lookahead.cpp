#include "engine/lookahead.h"

#include <system_error>
#include <utility>

namespace sorvane::engine {

LookAhead::~LookAhead() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    changed_.notify_all();
    stop_.raise();
    if (worker_.joinable())
        worker_.join();
}

void LookAhead::ask(const std::string& partner, std::optional<Line> line) {
    std::unique_ptr<Outbox::Ready> unused; // closed outside the lock
    {
        std::lock_guard lock(mutex_);
        if (asked_ && !answered_)
            return;
        asked_ = true;
        answered_ = false;
        partner_ = partner;
        line_ = std::move(line);
        askedAt_ = std::chrono::steady_clock::now();
        reply_.reset();
        unused = std::move(ready_);
        failure_ = nullptr;
    }
    if (!worker_.joinable()) {
        try {
            worker_ = std::thread([this] { work(); });
        } catch (const std::system_error&) {
            std::lock_guard lock(mutex_);
            asked_ = false; // no thread now: OK asks the directory itself
            return;
        }
    }
    changed_.notify_all();
}

void LookAhead::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return stopping_ || (asked_ && !answered_); });
        if (stopping_)
            return;
        const std::string partner = partner_;
        const std::optional<Line> line = std::move(line_);
        line_.reset();
        lock.unlock();
        std::optional<sorvane::LineList> reply;
        std::unique_ptr<Outbox::Ready> ready;
        std::exception_ptr failure;
        try {
            reply = directory_.sendLookup(partner, stop_.fd());
            if (line) {
                try {
                    ready = Outbox::makeReady(partner, Outbox::addressOf(*reply), line->line,
                                              line->from);
                } catch (const std::exception&) {
                    // No head start: OK sends as it would without one.
                }
            }
        } catch (...) {
            failure = std::current_exception();
        }
        lock.lock();
        reply_ = std::move(reply);
        ready_ = std::move(ready);
        failure_ = failure;
        answered_ = true;
        changed_.notify_all();
    }
}

std::optional<LookAhead::Answer> LookAhead::take(const std::string& partner) {
    std::unique_lock lock(mutex_);
    if (!asked_)
        return std::nullopt;
    changed_.wait(lock, [this] { return answered_; });
    asked_ = false;
    std::unique_ptr<Outbox::Ready> ready = std::move(ready_);
    if (partner != partner_ || std::chrono::steady_clock::now() - askedAt_ > FreshFor)
        return std::nullopt;
    if (failure_)
        std::rethrow_exception(std::exchange(failure_, nullptr));
    if (!reply_)
        return std::nullopt;
    Answer answer{std::move(*reply_), std::move(ready)};
    reply_.reset();
    return answer;
}

} // namespace sorvane::engine

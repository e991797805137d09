#pragma once
// The partner's lookup asked for as Enter is pressed, so that it runs while the conversation
// window's 1 ms timer waits to press OK; OK then takes its answer instead of asking the
// directory itself. Each line still gets a lookup of its own, made a millisecond earlier.
//
// Threads: one worker, started at the first ask() and kept for the window's life, makes the
// lookups; ask(), take() and the destructor run on the owner's thread. They share the question
// and its answer under the mutex. The destructor ends a lookup still out at once through the
// stop event, then joins the worker.
#include "directory/directory.h"
#include "net/stop_event.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

namespace sorvane::engine {

class LookAhead {
public:
    explicit LookAhead(const sorvane::directory::Directory& directory) : directory_(directory) {}
    ~LookAhead();
    LookAhead(const LookAhead&) = delete;
    LookAhead& operator=(const LookAhead&) = delete;

    // Starts `partner`'s lookup unless one is out already.
    void ask(const std::string& partner);
    // The answer of the lookup asked for `partner` less than a second ago, waiting for it if
    // it is still out; the lookup's own exception when it failed; nothing when none was asked
    // (then the caller asks the directory itself). Each answer is taken once.
    std::optional<sorvane::LineList> take(const std::string& partner);

    static constexpr std::chrono::seconds FreshFor{1};

private:
    void work();

    const sorvane::directory::Directory& directory_;
    sorvane::net::StopEvent stop_;
    std::thread worker_;
    std::mutex mutex_;
    std::condition_variable changed_;
    bool stopping_ = false;
    bool asked_ = false; // a question is out or answered and not taken
    bool answered_ = false;
    std::string partner_;
    std::chrono::steady_clock::time_point askedAt_;
    std::optional<sorvane::LineList> reply_;
    std::exception_ptr failure_;
};

} // namespace sorvane::engine

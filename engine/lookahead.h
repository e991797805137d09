#pragma once
// The partner's lookup asked for as Enter is pressed, so that it runs while the conversation
// window's 1 ms timer waits to press OK; OK then takes its answer instead of asking the
// directory itself; it is asked only where the directory has not given the partner's address
// within the last minute (OK reuses that one). Given the line as it stands at Enter, the worker
// also gives it its head start once the lookup has answered (Outbox::Ready): the connect to the
// partner started, the line sealed.
//
// Threads: one worker, started at the first ask() and kept for the window's life, makes the
// lookups and head starts; ask(), take() and the destructor run on the owner's thread. They
// share the question and its answer under the mutex. The destructor ends a lookup still out at
// once through the stop event, then joins the worker. A head start never waits for its connect.
#include "directory/directory.h"
#include "engine/outbox.h"
#include "net/stop_event.h"

#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
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

    // What a head start needs: the line as it would go out now, and who sends it.
    struct Line {
        Outbox::Line line;
        Outbox::From from;
    };
    struct Answer {
        sorvane::LineList reply;
        std::unique_ptr<Outbox::Ready> ready; // none when the reply gave nowhere to connect
    };

    // Starts `partner`'s lookup unless one is out already; with `line`, its head start after.
    void ask(const std::string& partner, std::optional<Line> line = std::nullopt);
    // The answer of the lookup asked for `partner` less than a second ago, waiting for it if
    // it is still out; the lookup's own exception when it failed; nothing when none was asked
    // (then the caller asks the directory itself). Each answer is taken once.
    std::optional<Answer> take(const std::string& partner);

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
    std::optional<Line> line_;
    std::chrono::steady_clock::time_point askedAt_;
    std::optional<sorvane::LineList> reply_;
    std::unique_ptr<Outbox::Ready> ready_;
    std::exception_ptr failure_;
};

} // namespace sorvane::engine

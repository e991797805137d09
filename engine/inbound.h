#pragma once
// Received lines on their way from the listener's connection threads to the user-interface
// thread. This is the one thing those threads share with the windows, and it is guarded here.
#include "engine/early_open.h"

#include <deque>
#include <memory>
#include <mutex>
#include <string>

namespace sorvane::engine {

// One received line, with the IPv4 address (dotted) of the connection it came on: what the
// line says about its sender is checked against that address before it is shown.
struct ReceivedLine {
    std::string text;
    std::string from;
    std::shared_ptr<EarlyOpener::Slot> early = {}; // a sealed line, opened as it was read
};

class InboundText {
public:
    // Connection threads: queue one received line. Returns true when the queue was empty,
    // i.e. when the dispatch needs waking.
    bool append(ReceivedLine line);
    // User-interface thread: take every queued line, oldest first, leaving the queue empty.
    std::deque<ReceivedLine> takeAll();
    void clear();

private:
    std::mutex mutex_;
    std::deque<ReceivedLine> lines_;
};

} // namespace sorvane::engine

#pragma once
// Received lines on their way from the listener's connection threads to the user-interface
// thread. This is the one thing those threads share with the windows, and it is guarded here.
#include <deque>
#include <mutex>
#include <string>

class InboundText {
public:
    // Connection threads: queue one received line. Returns true when the queue was empty,
    // i.e. when the dispatch needs waking.
    bool append(std::string line);
    // User-interface thread: take every queued line, oldest first, leaving the queue empty.
    std::deque<std::string> takeAll();
    void clear();

private:
    std::mutex mutex_;
    std::deque<std::string> lines_;
};

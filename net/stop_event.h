#pragma once
// A stop signal that waits can watch: an eventfd that becomes readable, for good, once raised.
// A worker hands fd() to its directory requests and connects, which then end at once instead of
// running to their time-outs; the owner raises it when it goes, then joins its threads.
//
// Threads: raised on one thread (the owner's), watched by any; the descriptor lives as long as
// the object, so the owner must have joined every watcher before it is destroyed.
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace sorvane::net {

class StopEvent {
public:
    StopEvent() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~StopEvent() {
        if (fd_ >= 0)
            close(fd_);
    }
    StopEvent(const StopEvent&) = delete;
    StopEvent& operator=(const StopEvent&) = delete;

    // -1 when no eventfd could be made: the waits then run to their own time-outs.
    int fd() const { return fd_; }
    void raise() {
        if (fd_ >= 0) {
            const std::uint64_t one = 1;
            [[maybe_unused]] const ssize_t n = write(fd_, &one, sizeof one);
        }
    }

private:
    int fd_;
};

} // namespace sorvane::net

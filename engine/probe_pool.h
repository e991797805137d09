#pragma once
// Worker threads for the presence probes. A probe is a connect that takes from a fraction of a
// millisecond up to the connect bound, and a run starts one per friend every minute; the threads
// are kept from run to run rather than made anew for every pass.
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

// Makes a thread that runs `body`; throws (std::system_error) when the system cannot.
namespace sorvane::engine {

using ThreadMaker = std::function<std::thread(std::function<void()> body)>;
ThreadMaker standardThreads();

class ProbePool {
public:
    // At most `maxThreads` jobs run at once; threads are made as jobs need them, by `makeThread`.
    explicit ProbePool(std::size_t maxThreads, ThreadMaker makeThread = standardThreads());
    // Waits for the jobs already started, then ends every thread.
    ~ProbePool();
    ProbePool(const ProbePool&) = delete;
    ProbePool& operator=(const ProbePool&) = delete;

    // Runs `job` on a pool thread as soon as one is free. A job that throws only ends itself.
    // When no new thread can be made, the job waits for one the pool has; a pool without any
    // runs it on the calling thread before returning. Either way every job started runs, and
    // waitIdle covers it.
    void start(std::function<void()> job);
    // Returns once every job started so far has finished.
    void waitIdle();

    std::size_t threadCount() const;

private:
    void work();

    const std::size_t maxThreads_;
    const ThreadMaker makeThread_;
    mutable std::mutex mutex_;
    std::condition_variable jobReady_; // for the threads
    std::condition_variable allDone_;  // for waitIdle
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_ = 0;       // threads waiting for a job
    std::size_t unfinished_ = 0; // jobs started and not yet finished
    bool stopping_ = false;
};

} // namespace sorvane::engine

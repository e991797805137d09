#include "engine/probe_pool.h"

#include <utility>

namespace sorvane::engine {

ThreadMaker standardThreads() {
    return [](std::function<void()> body) { return std::thread(std::move(body)); };
}

ProbePool::ProbePool(std::size_t maxThreads, ThreadMaker makeThread)
    : maxThreads_(maxThreads == 0 ? 1 : maxThreads), makeThread_(std::move(makeThread)) {
    threads_.reserve(maxThreads_); // a thread once made always finds its place
}

ProbePool::~ProbePool() {
    waitIdle();
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    jobReady_.notify_all();
    for (std::thread& t : threads_)
        t.join();
}

void ProbePool::start(std::function<void()> job) {
    {
        std::unique_lock lock(mutex_);
        // A new thread only when every thread is busy with an earlier job.
        if (idle_ < jobs_.size() + 1 && threads_.size() < maxThreads_) {
            try {
                threads_.push_back(makeThread_([this] { work(); }));
            } catch (const std::exception&) {
                if (threads_.empty()) {
                    lock.unlock();
                    try {
                        job();
                    } catch (...) {
                        // As on a pool thread: the job keeps its own result.
                    }
                    return;
                }
            }
        }
        jobs_.push_back(std::move(job));
        ++unfinished_;
    }
    jobReady_.notify_one();
}

void ProbePool::waitIdle() {
    std::unique_lock lock(mutex_);
    allDone_.wait(lock, [this] { return unfinished_ == 0; });
}

std::size_t ProbePool::threadCount() const {
    std::lock_guard lock(mutex_);
    return threads_.size();
}

void ProbePool::work() {
    std::unique_lock lock(mutex_);
    for (;;) {
        ++idle_;
        jobReady_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
        --idle_;
        if (jobs_.empty())
            return; // stopping, and nothing left to do
        std::function<void()> job = std::move(jobs_.front());
        jobs_.pop_front();
        lock.unlock();
        try {
            job();
        } catch (...) {
            // The job keeps its own result; the thread goes on with the next one.
        }
        lock.lock();
        if (--unfinished_ == 0)
            allDone_.notify_all();
    }
}

} // namespace sorvane::engine

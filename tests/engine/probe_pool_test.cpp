// The presence probes' worker threads: jobs run side by side up to the limit, waiting for them
// waits for all, threads are kept and reused, a failing job ends only itself.
#include "engine/probe_pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <set>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using sorvane::engine::ProbePool;

using namespace std::chrono_literals;

// Holds every job until `count` of them wait at once (or a second passes).
class Gate {
public:
    explicit Gate(int count) : count_(count) {}
    bool arriveAndWait() {
        std::unique_lock lock(mutex_);
        ++waiting_;
        peak_ = std::max(peak_, waiting_);
        if (waiting_ >= count_)
            open_ = true; // stays open for those still waking up
        changed_.notify_all();
        const bool all = changed_.wait_for(lock, 1s, [this] { return open_; });
        --waiting_;
        return all;
    }
    void open() {
        std::lock_guard lock(mutex_);
        open_ = true;
        changed_.notify_all();
    }
    int peak() {
        std::lock_guard lock(mutex_);
        return peak_;
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    int count_, waiting_ = 0, peak_ = 0;
    bool open_ = false;
};

TEST(ProbePool, JobsRunSideBySideAndWaitIdleWaitsForAll) {
    ProbePool pool(8);
    Gate gate(8);
    std::atomic<int> together{0}, done{0};
    for (int i = 0; i < 8; ++i)
        pool.start([&] {
            together += gate.arriveAndWait() ? 1 : 0;
            std::this_thread::sleep_for(20ms);
            ++done;
        });
    pool.waitIdle();
    EXPECT_EQ(done, 8);
    EXPECT_EQ(together, 8) << "the jobs did not all run at once";
}

TEST(ProbePool, NoMoreThanTheLimitRunAtOnce) {
    ProbePool pool(3);
    Gate gate(100); // never full: each job waits its second unless opened
    std::atomic<int> done{0};
    for (int i = 0; i < 7; ++i)
        pool.start([&] {
            gate.arriveAndWait();
            ++done;
        });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(gate.peak(), 3);
    gate.open();
    pool.waitIdle();
    EXPECT_EQ(done, 7);
    EXPECT_EQ(pool.threadCount(), 3u);
}

TEST(ProbePool, ThreadsAreKeptFromOneBatchToTheNext) {
    ProbePool pool(4);
    std::mutex mutex;
    std::set<std::thread::id> seen;
    for (int batch = 0; batch < 5; ++batch) {
        for (int i = 0; i < 4; ++i)
            pool.start([&] {
                std::this_thread::sleep_for(2ms);
                std::lock_guard lock(mutex);
                seen.insert(std::this_thread::get_id());
            });
        pool.waitIdle();
    }
    EXPECT_LE(seen.size(), 4u);
    EXPECT_LE(pool.threadCount(), 4u);
}

TEST(ProbePool, AFailingJobEndsOnlyItself) {
    ProbePool pool(1);
    std::atomic<int> done{0};
    pool.start([] { throw std::runtime_error("probe failed"); });
    pool.start([&] { ++done; });
    pool.waitIdle();
    EXPECT_EQ(done, 1);
}

TEST(ProbePool, WaitIdleWithoutJobsReturnsAtOnce) {
    ProbePool pool(2);
    pool.waitIdle();
    EXPECT_EQ(pool.threadCount(), 0u);
}

// When the system makes no more threads, every job started still runs, on the threads the pool
// has or, with none at all, on the caller's; none is left to write into storage that has gone.
class WithoutNewThreads : public ::testing::TestWithParam<int> {};

TEST_P(WithoutNewThreads, EveryJobStillRunsBeforeWaitIdleReturns) {
    const int allowed = GetParam();
    std::atomic<int> made{0};
    ProbePool pool(8, [&](std::function<void()> body) {
        if (made >= allowed)
            throw std::system_error(
                std::make_error_code(std::errc::resource_unavailable_try_again));
        ++made;
        return std::thread(std::move(body));
    });
    std::vector<int> results(40, 0);
    for (std::size_t i = 0; i < results.size(); ++i)
        pool.start([&results, i] {
            std::this_thread::sleep_for(1ms);
            results[i] = static_cast<int>(i) + 1;
        });
    pool.waitIdle();
    for (std::size_t i = 0; i < results.size(); ++i)
        EXPECT_EQ(results[i], static_cast<int>(i) + 1) << i;
    EXPECT_EQ(pool.threadCount(), static_cast<std::size_t>(allowed));
}

INSTANTIATE_TEST_SUITE_P(Made, WithoutNewThreads, ::testing::Values(0, 2));

} // namespace

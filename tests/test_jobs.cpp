// Work off the event loop: the job pool's bound and its hand-back to the loop.

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <stdexcept>

#include <gtest/gtest.h>

#include "core/JobPool.h"

TEST(JobPool, RefusesWorkBeyondItsBoundAndHandsEveryResultBackOnTheLoop) {
    EventBasePtr base(event_base_new());
    JobPool pool(1, 2);
    ASSERT_TRUE(pool.start(base.get()));

    std::mutex mutex;
    std::condition_variable changed;
    bool started = false, released = false;
    std::atomic<int> done{0};
    const auto count = [&] { ++done; };
    ASSERT_TRUE(pool.post(
        [&] {
            std::unique_lock<std::mutex> lock(mutex);
            started = true;
            changed.notify_all();
            changed.wait(lock, [&] { return released; });
        },
        count));
    {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait(lock, [&] { return started; });
    }
    // One runs; two may wait, the third is refused and its `done` never runs.
    EXPECT_TRUE(pool.post([] {}, count));
    EXPECT_TRUE(pool.post([] { throw std::runtime_error("a job that fails"); }, count));
    EXPECT_FALSE(pool.post([] {}, count));
    EXPECT_EQ(pool.waiting(), 2u);
    {
        std::lock_guard<std::mutex> lock(mutex);
        released = true;
    }
    changed.notify_all();
    for (int turns = 0; turns < 100 && pool.busy(); ++turns) {
        event_base_loop(base.get(), EVLOOP_ONCE);
    }
    EXPECT_EQ(done, 3);
    EXPECT_TRUE(pool.stop(std::chrono::seconds(5)));
}

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "job/worker_pool.h"

namespace pelvane {
namespace {

using namespace std::chrono_literals;

TEST(WorkerPool, RunsEveryItemOnceAndHandsThemBackInOrder)
{
    const struct {
        int threads;
        std::size_t count;
        int parallel;
    } cases[] = {{1, 0, 1}, {3, 0, 3}, {1, 5, 1}, {3, 2, 3}, {2, 40, 2}, {3, 40, 2}, {3, 40, 99}};
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, " << c.count << " items, "
                                        << c.parallel << " at a time");
        WorkerPool pool(c.threads);
        std::vector<std::atomic<int>> runs(c.count);
        std::vector<std::atomic<int>> slot_users(static_cast<std::size_t>(c.threads));
        std::vector<std::size_t> finished;
        WorkerPool::Hooks hooks;
        hooks.finished = [&](std::size_t item) {
            for (std::size_t i = 0; i <= item; ++i)
                EXPECT_EQ(runs[i].load(), 1) << "item " << i << " not done before " << item;
            finished.push_back(item);
            return true;
        };
        const auto task = [&](std::size_t item, int slot) {
            ASSERT_LT(slot, std::min(c.parallel, c.threads));
            EXPECT_EQ(++slot_users[static_cast<std::size_t>(slot)], 1) << "slot shared";
            std::this_thread::sleep_for(std::chrono::microseconds(100 * (item % 3)));
            ++runs[item];
            --slot_users[static_cast<std::size_t>(slot)];
        };
        EXPECT_TRUE(pool.run(c.count, c.parallel, task, hooks));
        ASSERT_EQ(finished.size(), c.count);
        for (std::size_t i = 0; i < c.count; ++i)
            EXPECT_EQ(finished[i], i);
    }
}

// A "no" from a hook and an exception from a task end the run the same way: nothing begins after them, nothing still runs when run() returns.
TEST(WorkerPool, StopsOnANoOrAnException)
{
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        WorkerPool pool(threads);
        std::atomic<int> running{0}, begun{0};
        std::size_t throw_at = 1000;  // no item throws
        std::vector<std::size_t> finished;
        WorkerPool::Hooks hooks;
        hooks.finished = [&](std::size_t item) {
            finished.push_back(item);
            return item < 3;
        };
        const auto task = [&](std::size_t item, int) {
            ++begun;
            ++running;
            if (item == throw_at)
                throw std::runtime_error("item 5");
            std::this_thread::sleep_for(1ms);
            --running;
        };
        EXPECT_FALSE(pool.run(1000, threads, task, hooks));
        EXPECT_EQ(finished, (std::vector<std::size_t>{0, 1, 2, 3}));

        hooks.finished = [&](std::size_t) { return true; };
        begun = 0;
        running = 0;
        throw_at = 5;
        EXPECT_THROW(pool.run(1000, threads, task, hooks), std::runtime_error);
        EXPECT_EQ(running.load(), 1);  // only the thrower never came back
        EXPECT_LT(begun.load(), 1000);

        // The pool serves the next run as before.
        throw_at = 1000;
        EXPECT_TRUE(pool.run(10, threads, task));
    }
}

}  // namespace
}  // namespace pelvane

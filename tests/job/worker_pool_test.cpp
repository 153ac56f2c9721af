#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

#include "job/worker_pool.h"

namespace pelvane {
namespace {

using namespace std::chrono_literals;

// What one run did, seen from the tasks and the hooks.
struct Trace {
    std::vector<std::atomic<int>> runs;  // per item
    std::vector<std::size_t> finished;   // in the order the hook saw them
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};
    std::vector<std::atomic<int>> slot_users;  // per slot, items using it now

    explicit Trace(std::size_t count, int slots) : runs(count), slot_users(static_cast<std::size_t>(slots)) {}

    void task(std::size_t item, int slot)
    {
        const int now = ++running;
        int most = most_running.load();
        while (now > most && !most_running.compare_exchange_weak(most, now)) {
        }
        EXPECT_EQ(++slot_users.at(static_cast<std::size_t>(slot)), 1) << "slot " << slot << " shared";
        std::this_thread::sleep_for(std::chrono::microseconds(50 * (item % 3)));
        ++runs[item];
        --slot_users[static_cast<std::size_t>(slot)];
        --running;
    }
};

TEST(WorkerPool, RunsEveryItemOnceAndHandsThemBackInOrder)
{
    const struct {
        int threads;
        std::size_t count;
        int parallel;
    } cases[] = {
        {1, 0, 1},  {3, 0, 3},  {1, 5, 1},  {2, 1, 2},   {3, 2, 3},  {2, 40, 2},
        {3, 40, 3}, {3, 40, 2}, {3, 40, 1}, {3, 40, 99}, {2, 7, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.threads << " threads, " << c.count << " items, "
                                        << c.parallel << " at a time");
        WorkerPool pool(c.threads);
        const int allowed = std::clamp(c.parallel, 1, c.threads);
        Trace trace(c.count, allowed);
        WorkerPool::Hooks hooks;
        hooks.finished = [&](std::size_t item) {
            // Every item up to this one is complete when the hook hears of it.
            for (std::size_t i = 0; i <= item; ++i)
                EXPECT_EQ(trace.runs[i].load(), 1) << "item " << i;
            trace.finished.push_back(item);
            return true;
        };
        EXPECT_TRUE(pool.run(c.count, c.parallel,
                             [&](std::size_t item, int slot) { trace.task(item, slot); }, hooks));
        for (std::size_t i = 0; i < c.count; ++i)
            EXPECT_EQ(trace.runs[i].load(), 1) << "item " << i;
        std::vector<std::size_t> in_order(c.count);
        for (std::size_t i = 0; i < c.count; ++i)
            in_order[i] = i;
        EXPECT_EQ(trace.finished, in_order);
        EXPECT_LE(trace.most_running.load(), allowed);
    }
}

TEST(WorkerPool, AHookThatSaysNoStopsTheRun)
{
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        WorkerPool pool(threads);
        std::atomic<int> begun{0};
        std::vector<std::size_t> finished;
        WorkerPool::Hooks hooks;
        hooks.finished = [&](std::size_t item) {
            finished.push_back(item);
            return item < 3;
        };
        EXPECT_FALSE(pool.run(1000, threads,
                              [&](std::size_t, int) {
                                  ++begun;
                                  std::this_thread::sleep_for(1ms);
                              },
                              hooks));
        EXPECT_EQ(finished, (std::vector<std::size_t>{0, 1, 2, 3}));
        EXPECT_LT(begun.load(), 1000);  // the items after the stop are skipped

        // The poll is asked while the caller waits; its "no" ends the run too,
        // once the running item has ended.
        if (threads > 1) {
            std::atomic<bool> release{false};
            std::atomic<int> ended{0};
            int polls = 0;
            WorkerPool::Hooks waiting;
            waiting.poll_interval = 1ms;
            waiting.poll = [&] {
                if (++polls == 3)
                    release = true;
                return polls < 3;
            };
            EXPECT_FALSE(pool.run(1000, 1, [&](std::size_t, int) {
                while (!release)
                    std::this_thread::sleep_for(1ms);
                ++ended;
            }, waiting));
            EXPECT_EQ(polls, 3);
            EXPECT_EQ(ended.load(), 1);
        }

        // The pool serves the next run as before.
        std::atomic<int> all{0};
        EXPECT_TRUE(pool.run(10, threads, [&](std::size_t, int) { ++all; }));
        EXPECT_EQ(all.load(), 10);
    }
}

TEST(WorkerPool, AnExceptionReachesTheCallerAfterTheRunningItemsEnd)
{
    for (int threads : {1, 2, 3}) {
        SCOPED_TRACE(testing::Message() << threads << " threads");
        WorkerPool pool(threads);
        std::atomic<int> running{0};
        std::atomic<int> begun{0};
        std::vector<std::size_t> finished;
        WorkerPool::Hooks hooks;
        hooks.finished = [&](std::size_t item) {
            finished.push_back(item);
            return true;
        };
        EXPECT_THROW(pool.run(1000, threads,
                              [&](std::size_t item, int) {
                                  ++running;
                                  ++begun;
                                  if (item == 5)
                                      throw std::runtime_error("item 5");
                                  std::this_thread::sleep_for(1ms);
                                  --running;
                              },
                              hooks),
                     std::runtime_error);
        EXPECT_EQ(running.load(), 1);  // every item but the thrower came back first
        EXPECT_LT(begun.load(), 1000);
        for (std::size_t item : finished)
            EXPECT_LT(item, 5u);

        // An exception from a hook, on the caller's thread, ends the run alike.
        WorkerPool::Hooks throwing;
        throwing.finished = [](std::size_t item) -> bool {
            if (item == 2)
                throw std::length_error("hook");
            return true;
        };
        EXPECT_THROW(pool.run(50, threads, [](std::size_t, int) {}, throwing), std::length_error);

        std::atomic<int> all{0};
        EXPECT_TRUE(pool.run(10, threads, [&](std::size_t, int) { ++all; }));
        EXPECT_EQ(all.load(), 10);
    }
}

}  // namespace
}  // namespace pelvane

#include "job/worker_pool.h"

#include <algorithm>

namespace pelvane {

WorkerPool::WorkerPool(int threads) : threads_(std::max(threads, 1))
{
    if (threads_ < 2)
        return;
    workers_.reserve(static_cast<std::size_t>(threads_));
    try {
        for (int t = 0; t < threads_; ++t)
            workers_.emplace_back([this] { work(); });
    } catch (...) {
        // The threads already started must be joined before they are destroyed.
        {
            std::lock_guard lock(mutex_);
            shutting_down_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& worker : workers_)
            worker.join();
        throw;
    }
}

WorkerPool::~WorkerPool()
{
    {
        std::lock_guard lock(mutex_);
        shutting_down_ = true;
    }
    work_ready_.notify_all();
    for (std::thread& worker : workers_)
        worker.join();
}

void WorkerPool::stop_locked(std::exception_ptr error)
{
    stopped_ = true;
    if (error && !error_)
        error_ = error;
}

bool WorkerPool::run_inline(std::size_t count, const Task& task, const Hooks& hooks)
{
    for (std::size_t item = 0; item < count; ++item) {
        task(item, 0);
        if (hooks.finished && !hooks.finished(item))
            return false;
    }
    return true;
}

bool WorkerPool::run(std::size_t count, int parallel, const Task& task, const Hooks& hooks)
{
    if (count == 0)
        return true;
    if (workers_.empty())
        return run_inline(count, task, hooks);

    std::unique_lock lock(mutex_);
    task_ = &task;
    count_ = count;
    next_ = 0;
    parallel_ = std::clamp(parallel, 1, threads_);
    running_ = 0;
    slot_busy_.assign(static_cast<std::size_t>(parallel_), 0);
    done_.assign(count, 0);
    stopped_ = false;
    error_ = nullptr;
    work_ready_.notify_all();

    // Calls a hook without the lock; a false answer or an exception stops the run.
    auto call = [&](auto&& hook) {
        std::exception_ptr error;
        bool go = false;
        lock.unlock();
        try {
            go = hook();
        } catch (...) {
            error = std::current_exception();
        }
        lock.lock();
        if (!go)
            stop_locked(error);
    };

    std::size_t delivered = 0;
    auto next_poll = std::chrono::steady_clock::now() + hooks.poll_interval;
    while (delivered < count && !stopped_) {
        if (done_[delivered]) {
            const std::size_t item = delivered++;
            if (hooks.finished)
                call([&] { return hooks.finished(item); });
            continue;
        }
        if (std::chrono::steady_clock::now() >= next_poll) {
            if (hooks.poll)
                call(hooks.poll);
            next_poll = std::chrono::steady_clock::now() + hooks.poll_interval;
            continue;
        }
        item_done_.wait_until(lock, next_poll);
    }
    const bool complete = !stopped_;
    // No item begins from here on; the running ones still use the task.
    stopped_ = true;
    item_done_.wait(lock, [this] { return running_ == 0; });
    task_ = nullptr;
    const std::exception_ptr error = error_;
    error_ = nullptr;
    lock.unlock();
    if (error)
        std::rethrow_exception(error);
    return complete;
}

bool WorkerPool::run(std::size_t count, int parallel, const Task& task)
{
    return run(count, parallel, task, Hooks{});
}

void WorkerPool::work()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        work_ready_.wait(lock, [this] {
            return shutting_down_ ||
                   (task_ != nullptr && !stopped_ && next_ < count_ && running_ < parallel_);
        });
        if (shutting_down_)
            return;
        const std::size_t item = next_++;
        const auto free_slot = std::find(slot_busy_.begin(), slot_busy_.end(), 0);
        *free_slot = 1;
        const int slot = static_cast<int>(free_slot - slot_busy_.begin());
        ++running_;
        const Task& task = *task_;
        lock.unlock();

        std::exception_ptr error;
        try {
            task(item, slot);
        } catch (...) {
            error = std::current_exception();
        }

        lock.lock();
        slot_busy_[static_cast<std::size_t>(slot)] = 0;
        --running_;
        done_[item] = 1;
        if (error)
            stop_locked(error);
        item_done_.notify_one();
    }
}

}  // namespace pelvane

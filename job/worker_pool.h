#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace pelvane {

// The threads this machine runs at the same time; at least 1 (the standard
// library says 0 when it cannot tell).
inline int hardware_threads()
{
    const auto threads = static_cast<int>(std::thread::hardware_concurrency());
    return threads > 0 ? threads : 1;
}

// The threads of one job. Every parallel stage hands its items to run(); the
// kernels themselves know nothing of threads. The calling thread (the job's)
// does not compute while the workers do: it takes their results in item
// order and is the only one to talk to the host. With one thread there are
// no workers at all and the items run inline, one after another.
class WorkerPool {
public:
    // One item of a run: `item` in [0, count), `slot` in [0, parallel) unique
    // among the items running at the same time, for per-slot scratch buffers.
    using Task = std::function<void(std::size_t item, int slot)>;

    // What the calling thread does during a run. Either hook may be empty.
    struct Hooks {
        // Called for each item once it and every item before it are done, in
        // item order; false stops the run.
        std::function<bool(std::size_t item)> finished;
        // Called while the calling thread waits, at least once per
        // poll_interval; false stops the run.
        std::function<bool()> poll;
        std::chrono::milliseconds poll_interval{50};
    };

    // `threads` items at a time at most; fewer than 2 means inline.
    explicit WorkerPool(int threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    int threads() const { return threads_; }

    // Runs task(item, slot) for every item in [0, count), at most `parallel`
    // at a time (clamped to 1..threads()). Returns true when every item ran
    // and was accepted by `finished`; false when a hook stopped the run:
    // items not yet begun are then skipped. Never returns while a task still
    // runs. An exception from a task or a hook ends the run the same way and
    // is rethrown here, on the calling thread.
    bool run(std::size_t count, int parallel, const Task& task, const Hooks& hooks);
    bool run(std::size_t count, int parallel, const Task& task);

private:
    bool run_inline(std::size_t count, const Task& task, const Hooks& hooks);
    void work();
    // Ends the run early: no item begins after this. Called with mutex_ held.
    void stop_locked(std::exception_ptr error);

    int threads_ = 1;
    std::vector<std::thread> workers_;

    std::mutex mutex_;
    std::condition_variable work_ready_;  // workers: an item may be taken, or shut down
    std::condition_variable item_done_;   // caller: an item finished

    // The current run; only touched with mutex_ held.
    const Task* task_ = nullptr;  // null between runs
    std::size_t count_ = 0;
    std::size_t next_ = 0;        // first item not yet taken
    int parallel_ = 1;
    int running_ = 0;
    std::vector<char> slot_busy_;
    std::vector<char> done_;
    bool stopped_ = false;
    std::exception_ptr error_;
    bool shutting_down_ = false;
};

}  // namespace pelvane

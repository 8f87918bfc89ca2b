// A small fork-join worker pool on std::thread: a fixed set of workers takes
// tasks from one queue; the caller blocks until its tasks are done. One
// process-wide default pool, sized from the environment, lives until exit.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/result.hpp"

namespace molvane {

// Most threads any pool holds.
inline constexpr std::uint64_t max_pool_threads = 65535;

class WorkerPool {
public:
    // Starts `n_threads` workers (n_threads >= 1). If a thread cannot be
    // started, the ones already running are stopped and the call fails with
    // "could not start <requested> worker threads: <system error text>".
    static Result<std::unique_ptr<WorkerPool>> create(std::size_t n_threads, std::uint64_t requested);

    // Tells the workers to finish and joins them.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    std::size_t size() const { return threads_.size(); }

    // Runs body(0) .. body(tasks - 1) on the workers and returns when all have
    // finished. The first exception a task throws is rethrown here. Several
    // callers may use one pool at the same time. A pool without workers runs
    // the tasks on the calling thread.
    void run(std::size_t tasks, const std::function<void(std::size_t)>& body);

private:
    struct Batch;
    struct Task {
        Batch* batch;
        std::size_t index;
    };

    WorkerPool() = default;
    // Starts up to n threads; returns the error number of a failed start, or 0.
    int start(std::size_t n);
    void stop_and_join();
    void worker_loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<Task> queue_;
    bool stopping_ = false;
    std::vector<std::thread> threads_;

    friend WorkerPool& default_pool();
};

// The process-wide pool, created on first use and never torn down (a child
// process made by fork() creates its own on first use).
WorkerPool& default_pool();

}  // namespace molvane

// The worker pool and the process-wide default pool.
#include "engine/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "core/file.hpp"  // for os_error_text
#include "engine/cpus.hpp"  // for default_thread_count

namespace molvane {

struct WorkerPool::Batch {
    const std::function<void(std::size_t)>* body;
    std::size_t remaining;
    std::exception_ptr error;
    std::condition_variable done;
};

Result<std::unique_ptr<WorkerPool>> WorkerPool::create(std::size_t n_threads, std::uint64_t requested) {
    std::unique_ptr<WorkerPool> pool(new WorkerPool());
    int errnum = pool->start(n_threads);
    if (errnum != 0) {
        pool->stop_and_join();
        return fail("could not start ", std::to_string(requested), " worker threads: ", os_error_text(errnum));
    }
    return pool;
}

int WorkerPool::start(std::size_t n) {
    threads_.reserve(n);
    for (std::size_t k = 0; k < n; ++k) {
        try {
            threads_.emplace_back([this] { worker_loop(); });
        } catch (const std::system_error& e) {
            return e.code().value() != 0 ? e.code().value() : EAGAIN;
        }
    }
    return 0;
}

void WorkerPool::stop_and_join() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& t : threads_)
        if (t.joinable()) t.join();
    threads_.clear();
}

WorkerPool::~WorkerPool() { stop_and_join(); }

void WorkerPool::worker_loop() {
    for (;;) {
        Task task;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [this] { return stopping_ || !queue_.empty(); });
            if (queue_.empty()) return;  // stopping, nothing left
            task = queue_.front();
            queue_.pop_front();
        }
        std::exception_ptr error;
        try {
            (*task.batch->body)(task.index);
        } catch (...) {
            error = std::current_exception();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        Batch& batch = *task.batch;
        if (error && !batch.error) batch.error = error;
        if (--batch.remaining == 0) batch.done.notify_all();
    }
}

void WorkerPool::run(std::size_t tasks, const std::function<void(std::size_t)>& body) {
    if (tasks == 0) return;
    if (threads_.empty()) {
        for (std::size_t k = 0; k < tasks; ++k) body(k);
        return;
    }
    Batch batch{&body, tasks, nullptr, {}};
    {
        std::unique_lock<std::mutex> lock(mutex_);
        for (std::size_t k = 0; k < tasks; ++k) queue_.push_back(Task{&batch, k});
    }
    if (tasks == 1) wake_.notify_one();
    else wake_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    batch.done.wait(lock, [&] { return batch.remaining == 0; });
    if (batch.error) std::rethrow_exception(batch.error);
}

namespace {

// The default pool, created on first use. A child process made by fork()
// has none of the parent's workers, so the child drops the inherited pool
// (abandoned, not destroyed: its threads cannot be joined there) and starts
// its own on first use. The mutex is held across fork() so that the child
// never inherits it locked by a thread that does not exist there.
WorkerPool* default_pool_instance = nullptr;
std::mutex default_pool_mutex;

void lock_before_fork() { default_pool_mutex.lock(); }
void unlock_after_fork() { default_pool_mutex.unlock(); }
void reset_in_child() {
    default_pool_instance = nullptr;
    default_pool_mutex.unlock();
}

}  // namespace

WorkerPool& default_pool() {
    static const int registered = pthread_atfork(lock_before_fork, unlock_after_fork, reset_in_child);
    (void)registered;
    std::lock_guard<std::mutex> lock(default_pool_mutex);
    if (!default_pool_instance) {
        // Never destroyed: workers may still be waiting at exit. Keeps
        // whatever threads could be started; with none, the calling thread
        // does the work.
        auto* pool = new WorkerPool();
        pool->start(default_thread_count());
        default_pool_instance = pool;
    }
    return *default_pool_instance;
}

}  // namespace molvane

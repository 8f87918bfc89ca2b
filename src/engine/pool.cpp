// The worker pool and the sizing of the default pool.
#include "engine/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>

#include "core/text.hpp"  // for parse_count, os_error_text, trim

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

// --- default pool ---

// A positive count from the environment variable, 0 for "0", nothing when
// unset or not a count.
static std::optional<std::uint64_t> env_count(const char* name) {
    const char* value = std::getenv(name);
    if (!value) return std::nullopt;
    return parse_count(value);
}

// The quota of a cgroup v2 "cpu.max" file ("max 100000" or "200000 100000").
static std::optional<std::uint64_t> quota_v2(const std::string& path) {
    std::ifstream in(path);
    std::string quota, period;
    if (!(in >> quota >> period) || quota == "max") return std::nullopt;
    auto q = parse_count(quota), p = parse_count(period);
    if (!q || !p || *p == 0) return std::nullopt;
    return std::max<std::uint64_t>(1, *q / *p);
}

// The quota of a cgroup v1 cpu controller folder.
static std::optional<std::uint64_t> quota_v1(const std::string& dir) {
    std::ifstream qin(dir + "/cpu.cfs_quota_us"), pin(dir + "/cpu.cfs_period_us");
    long long q = 0, p = 0;
    if (!(qin >> q) || !(pin >> p) || q <= 0 || p <= 0) return std::nullopt;
    return std::max<std::uint64_t>(1, static_cast<std::uint64_t>(q / p));
}

// The smallest CPU quota set on this process's cgroup or any of its parents.
static std::optional<std::uint64_t> cgroup_quota() {
    std::ifstream in("/proc/self/cgroup");
    std::string line;
    std::optional<std::uint64_t> best;
    auto take = [&](std::optional<std::uint64_t> q) {
        if (q && (!best || *q < *best)) best = q;
    };
    while (std::getline(in, line)) {
        // "hierarchy-id:controllers:path"
        std::size_t first = line.find(':');
        std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
        if (second == std::string::npos) continue;
        std::string controllers = line.substr(first + 1, second - first - 1);
        std::string path = line.substr(second + 1);
        bool v2 = line.compare(0, first, "0") == 0 && controllers.empty();
        bool v1_cpu = false;
        std::stringstream list(controllers);
        for (std::string c; std::getline(list, c, ',');) v1_cpu |= (c == "cpu");
        if (!v2 && !v1_cpu) continue;
        std::string base = v2 ? "/sys/fs/cgroup" : "/sys/fs/cgroup/" + controllers;
        // Walk from the process's own cgroup up to the root.
        for (;;) {
            std::string dir = base + (path == "/" ? "" : path);
            take(v2 ? quota_v2(dir + "/cpu.max") : quota_v1(dir));
            if (path.empty() || path == "/") break;
            std::size_t slash = path.find_last_of('/');
            path = slash == 0 || slash == std::string::npos ? "/" : path.substr(0, slash);
        }
    }
    return best;
}

std::size_t available_cpus() {
    std::uint64_t cpus = 0;
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = static_cast<std::uint64_t>(CPU_COUNT(&set));
    if (cpus == 0) return 1;
    if (auto quota = cgroup_quota()) cpus = std::min(cpus, *quota);
    return static_cast<std::size_t>(std::max<std::uint64_t>(cpus, 1));
}

std::size_t default_thread_count() {
    std::uint64_t n;
    auto num_threads = env_count("RAYON_NUM_THREADS");
    if (num_threads && *num_threads > 0) n = *num_threads;
    else if (num_threads) n = available_cpus();
    else if (auto cpus = env_count("RAYON_RS_NUM_CPUS"); cpus && *cpus > 0) n = *cpus;
    else n = available_cpus();
    return static_cast<std::size_t>(std::min(n, max_pool_threads));
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

// How many CPUs the process may use, and the size of the default pool.
#include "engine/cpus.hpp"

#include <sched.h>

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "core/number.hpp"  // for parse_count
#include "core/text.hpp"  // for trim
#include "engine/pool.hpp"  // for max_pool_threads

namespace molvane {

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

}  // namespace molvane

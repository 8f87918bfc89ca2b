// How many CPUs the process may use (affinity mask and cgroup quota) and how
// many threads the default pool starts with.
#pragma once

#include <cstddef>

namespace molvane {

// Threads for the default pool: RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS,
// then the CPUs available to the process; at most 65535. The variables keep
// the names that scripts and job files of this package's users already set.
std::size_t default_thread_count();

// CPUs in the affinity mask, limited by a cgroup CPU quota; 1 if unknown.
std::size_t available_cpus();

}  // namespace molvane

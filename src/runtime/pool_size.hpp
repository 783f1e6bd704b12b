// How many threads the worker pool (runtime/parallel.hpp) runs.
#pragma once

#include <cstddef>

namespace twirlkit {

// Number of threads the pool has or will have, the calling thread included.
// Worked out once per process (environment, CPU affinity, cgroup quota) and
// capped at MAX_POOL_THREADS; never starts the pool. If the system refuses a
// worker thread, the pool runs with those it has (at worst the caller alone).
std::size_t pool_thread_count() noexcept;

// An absurd RAYON_NUM_THREADS must not take the machine's thread and
// address-space budget: larger values, and larger CPU counts, are cut to it.
inline constexpr std::size_t MAX_POOL_THREADS = 256;

}  // namespace twirlkit

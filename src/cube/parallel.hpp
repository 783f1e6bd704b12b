// The process-wide worker pool behind every batch kernel, and parallel_for.
//
// The pool is built by the first parallel_for that needs it and lives until
// the process ends; its workers sleep on a condition variable between calls.
// A calling thread hands its whole range to the workers and blocks until every
// chunk has ended, doing no item itself: a batch scramble keys each task's
// generator from the per-thread generator of the worker running it, so the
// items must run on pool threads. Ranges of zero or one item, and calls made
// from inside a worker, run inline on the calling thread instead.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>
#include <type_traits>

namespace twirlkit {

// Number of workers the pool has or will have. Worked out once per process
// (environment, CPU affinity, cgroup quota); never starts the pool.
std::size_t pool_thread_count() noexcept;

// Pure pieces of the pool-size rule, exposed for tests.
//
// A thread-count override is accepted only when it is all decimal digits with
// a value of at least 1 that fits a size_t: "", "0", "-2", "3x", " 2" and
// nullptr give nullopt.
std::optional<std::size_t> parse_thread_count(const char* text) noexcept;
// Contents of a cgroup v2 "cpu.max" file ("<quota|max> <period>"): the CPU
// limit as quota / period rounded up (at least 1), or nullopt for "max" or
// text that cannot be read.
std::optional<std::size_t> parse_cgroup_v2_cpu_max(std::string_view text) noexcept;
// Contents of cgroup v1 "cpu.cfs_quota_us" and "cpu.cfs_period_us": as above,
// with a negative quota (-1) meaning no limit.
std::optional<std::size_t> parse_cgroup_v1_cpu_quota(std::string_view quota,
                                                     std::string_view period) noexcept;
// The cgroup path of one hierarchy in the text of /proc/self/cgroup
// ("id:controllers:path" per line). An empty controller selects the unified
// (v2) line "0::path"; otherwise the line whose comma-separated controller
// list contains it. nullopt when there is no such line.
std::optional<std::string_view> cgroup_path_in(std::string_view proc_self_cgroup,
                                               std::string_view controller) noexcept;

namespace detail {

// Type-erased chunk body: ctx is the caller's callable, called as
// (*ctx)(chunk_begin, chunk_end). A plain pointer pair keeps the call free of
// allocation, unlike std::function.
using ChunkThunk = void (*)(void* ctx, std::size_t chunk_begin, std::size_t chunk_end);

void parallel_for_erased(std::size_t begin, std::size_t end, std::size_t grain, void* ctx,
                         ChunkThunk thunk);

}  // namespace detail

// Calls f(chunk_begin, chunk_end) over disjoint chunks that together cover
// [begin, end) exactly once. Chunks hold at least `grain` items (except the
// last); a grain of 0 counts as 1. Chunks may run concurrently on different
// workers, so f must be safe to call from several threads at once.
//
// If f throws, the first exception is kept, chunks not yet started are
// skipped, and it is rethrown here once no chunk is still running.
template <class F>
void parallel_for(std::size_t begin, std::size_t end, std::size_t grain, F&& f) {
    using Fn = std::remove_reference_t<F>;
    detail::parallel_for_erased(
        begin, end, grain, const_cast<void*>(static_cast<const void*>(std::addressof(f))),
        [](void* ctx, std::size_t chunk_begin, std::size_t chunk_end) {
            (*static_cast<Fn*>(ctx))(chunk_begin, chunk_end);
        });
}

}  // namespace twirlkit

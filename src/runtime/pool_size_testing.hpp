// The pure pieces of the pool-size rule (runtime/pool_size.hpp), for the
// native tests.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace twirlkit {

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

}  // namespace twirlkit

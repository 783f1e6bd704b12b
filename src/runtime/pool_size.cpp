// The pool size: an override from the environment, else the CPUs this
// process may run on (affinity mask, cgroup quota).
#include "runtime/pool_size.hpp"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

#include "runtime/pool_size_testing.hpp"

namespace twirlkit {

namespace {

constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// All decimal digits, at least one, value fits a size_t.
std::optional<std::size_t> parse_decimal(std::string_view text) noexcept {
    if (text.empty()) return std::nullopt;
    std::size_t value = 0;
    for (char c : text) {
        if (!is_digit(c)) return std::nullopt;
        const auto digit = static_cast<std::size_t>(c - '0');
        if (value > (SIZE_MAX - digit) / 10) return std::nullopt;
        value = value * 10 + digit;
    }
    return value;
}

constexpr bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view trim(std::string_view text) noexcept {
    while (!text.empty() && is_space(text.front())) text.remove_prefix(1);
    while (!text.empty() && is_space(text.back())) text.remove_suffix(1);
    return text;
}

std::optional<std::size_t> quota_to_cpus(std::string_view quota_text,
                                         std::string_view period_text) noexcept {
    const auto quota = parse_decimal(quota_text);
    const auto period = parse_decimal(period_text);
    if (!quota || !period || *period == 0) return std::nullopt;
    // Rounded up: a quota of 1.5 CPUs still keeps two threads busy part-time.
    const std::size_t cpus = *quota / *period + (*quota % *period != 0 ? 1 : 0);
    return std::max<std::size_t>(cpus, 1);
}

}  // namespace

std::optional<std::size_t> parse_thread_count(const char* text) noexcept {
    if (text == nullptr) return std::nullopt;
    const auto value = parse_decimal(text);
    if (!value || *value == 0) return std::nullopt;
    return value;
}

std::optional<std::size_t> parse_cgroup_v2_cpu_max(std::string_view text) noexcept {
    text = trim(text);
    const auto space = text.find(' ');
    if (space == std::string_view::npos) return std::nullopt;
    const std::string_view quota = text.substr(0, space);
    const std::string_view period = trim(text.substr(space + 1));
    if (quota == "max") return std::nullopt;
    return quota_to_cpus(quota, period);
}

std::optional<std::size_t> parse_cgroup_v1_cpu_quota(std::string_view quota,
                                                     std::string_view period) noexcept {
    quota = trim(quota);
    if (!quota.empty() && quota.front() == '-') return std::nullopt;
    return quota_to_cpus(quota, trim(period));
}

std::optional<std::string_view> cgroup_path_in(std::string_view proc_self_cgroup,
                                               std::string_view controller) noexcept {
    while (!proc_self_cgroup.empty()) {
        const auto eol = proc_self_cgroup.find('\n');
        std::string_view line = proc_self_cgroup.substr(0, eol);
        proc_self_cgroup.remove_prefix(eol == std::string_view::npos ? proc_self_cgroup.size()
                                                                     : eol + 1);
        const auto first = line.find(':');
        if (first == std::string_view::npos) continue;
        const auto second = line.find(':', first + 1);
        if (second == std::string_view::npos) continue;
        const std::string_view id = line.substr(0, first);
        std::string_view controllers = line.substr(first + 1, second - first - 1);
        const std::string_view path = line.substr(second + 1);
        if (controller.empty()) {
            if (id == "0" && controllers.empty()) return path;
            continue;
        }
        while (!controllers.empty()) {
            const auto comma = controllers.find(',');
            if (controllers.substr(0, comma) == controller) return path;
            controllers.remove_prefix(comma == std::string_view::npos ? controllers.size()
                                                                      : comma + 1);
        }
    }
    return std::nullopt;
}

namespace {

// The control files are tiny; a fixed buffer keeps this free of allocation.
constexpr std::size_t FILE_BUFFER = 8192;
constexpr std::size_t PATH_BUFFER = 4096;

// Reads up to FILE_BUFFER - 1 bytes; nullopt if the file cannot be read.
std::optional<std::string_view> read_small_file(const char* path, char (&buffer)[FILE_BUFFER]) noexcept {
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    std::size_t size = 0;
    while (size < FILE_BUFFER - 1) {
        const ssize_t got = ::read(fd, buffer + size, FILE_BUFFER - 1 - size);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        size += static_cast<std::size_t>(got);
    }
    ::close(fd);
    return std::string_view(buffer, size);
}

// Joins base, rel and file into out; false if it does not fit.
bool join_path(char (&out)[PATH_BUFFER], std::string_view base, std::string_view rel,
               std::string_view file) noexcept {
    if (base.size() + rel.size() + 1 + file.size() + 1 > PATH_BUFFER) return false;
    char* p = out;
    p = std::copy(base.begin(), base.end(), p);
    p = std::copy(rel.begin(), rel.end(), p);
    *p++ = '/';
    p = std::copy(file.begin(), file.end(), p);
    *p = '\0';
    return true;
}

// A quota set on any ancestor cgroup caps the process too, so take the
// smallest limit from the process's own cgroup up to the hierarchy's root.
// `rel` is the process's path inside the hierarchy ("/a/b"), or "" when
// unknown, in which case only the root directory is read.
template <class Limit>
std::optional<std::size_t> smallest_limit_upwards(std::string_view base, std::string_view rel,
                                                  Limit limit_of_dir) noexcept {
    std::optional<std::size_t> best;
    for (;;) {
        while (!rel.empty() && rel.back() == '/') rel.remove_suffix(1);
        if (const auto limit = limit_of_dir(base, rel)) {
            best = best ? std::min(*best, *limit) : *limit;
        }
        if (rel.empty()) return best;
        const auto slash = rel.rfind('/');
        rel = slash == std::string_view::npos ? std::string_view() : rel.substr(0, slash);
    }
}

std::optional<std::size_t> cgroup_cpu_limit() noexcept {
    char own[FILE_BUFFER];
    const std::string_view self = read_small_file("/proc/self/cgroup", own).value_or("");

    const auto v2 = smallest_limit_upwards(
        "/sys/fs/cgroup", cgroup_path_in(self, "").value_or(""),
        [](std::string_view base, std::string_view rel) -> std::optional<std::size_t> {
            char path[PATH_BUFFER];
            char text[FILE_BUFFER];
            if (!join_path(path, base, rel, "cpu.max")) return std::nullopt;
            const auto contents = read_small_file(path, text);
            return contents ? parse_cgroup_v2_cpu_max(*contents) : std::nullopt;
        });
    if (v2) return v2;

    return smallest_limit_upwards(
        "/sys/fs/cgroup/cpu", cgroup_path_in(self, "cpu").value_or(""),
        [](std::string_view base, std::string_view rel) -> std::optional<std::size_t> {
            char path[PATH_BUFFER];
            char quota[FILE_BUFFER];
            char period[FILE_BUFFER];
            if (!join_path(path, base, rel, "cpu.cfs_quota_us")) return std::nullopt;
            const auto quota_text = read_small_file(path, quota);
            if (!join_path(path, base, rel, "cpu.cfs_period_us")) return std::nullopt;
            const auto period_text = read_small_file(path, period);
            if (!quota_text || !period_text) return std::nullopt;
            return parse_cgroup_v1_cpu_quota(*quota_text, *period_text);
        });
}

std::size_t affinity_cpu_count() noexcept {
    cpu_set_t fixed;
    CPU_ZERO(&fixed);
    if (sched_getaffinity(0, sizeof fixed, &fixed) == 0) {
        return static_cast<std::size_t>(CPU_COUNT(&fixed));
    }
    // More CPUs than a cpu_set_t holds: grow the set until the kernel's fits.
    for (int cpus = 2 * CPU_SETSIZE; errno == EINVAL && cpus <= (1 << 22); cpus *= 2) {
        cpu_set_t* set = CPU_ALLOC(cpus);
        if (set == nullptr) return 0;
        const std::size_t bytes = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(bytes, set);
        const bool ok = sched_getaffinity(0, bytes, set) == 0;
        const int count = ok ? CPU_COUNT_S(bytes, set) : 0;
        CPU_FREE(set);
        if (ok) return static_cast<std::size_t>(count);
    }
    return 0;
}

std::size_t available_cpus() noexcept {
    std::size_t cpus = affinity_cpu_count();
    if (cpus == 0) {
        const long online = sysconf(_SC_NPROCESSORS_ONLN);
        cpus = online > 0 ? static_cast<std::size_t>(online) : 1;
    }
    if (const auto limit = cgroup_cpu_limit()) cpus = std::min(cpus, *limit);
    return std::max<std::size_t>(cpus, 1);
}

std::size_t compute_thread_count() noexcept {
    std::size_t n = 0;
    if (const auto v = parse_thread_count(std::getenv("RAYON_NUM_THREADS"))) {
        n = *v;
    } else if (const auto w = parse_thread_count(std::getenv("RAYON_RS_NUM_CPUS"))) {
        n = *w;
    } else {
        n = available_cpus();
    }
    return std::min(n, MAX_POOL_THREADS);
}

// 0 until first computed. Racing first callers compute the same value; an
// atomic rather than a once-flag, so a fork in the middle cannot leave the
// child stuck on a half-finished initialisation.
std::atomic<std::size_t> g_thread_count{0};

}  // namespace

std::size_t pool_thread_count() noexcept {
    std::size_t n = g_thread_count.load(std::memory_order_acquire);
    if (n == 0) {
        n = compute_thread_count();
        g_thread_count.store(n, std::memory_order_release);
    }
    return n;
}

}  // namespace twirlkit

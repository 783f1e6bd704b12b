#include "runtime/parallel.hpp"

#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cxxabi.h>
#include <cstring>
#include <exception>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>

namespace twirlkit {

// ---------------------------------------------------------------------------
// Pool size

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

// ---------------------------------------------------------------------------
// The pool

namespace {

// One parallel_for call, living on the caller's stack. Threads claim chunk
// numbers from `next` without locking; everything else is guarded by the
// pool mutex.
struct Job {
    void* ctx;
    detail::ChunkThunk thunk;
    std::size_t begin;
    std::size_t end;
    std::size_t chunk;
    std::size_t chunks;

    std::atomic<std::size_t> next{0};
    // Set by the first failing chunk or by the caller's poll: chunks not yet
    // claimed are skipped, and running ones throw at a cancellation point.
    std::atomic<bool> stop{false};
    std::exception_ptr error;  // written once, by the chunk that set `stop` first
    bool cancelled = false;    // the caller's poll said stop (caller only)

    // Guarded by Pool::mutex. The caller may return (destroying the job) once
    // the job has left the queue and no worker is attached: only attached
    // workers touch it, and workers attach only to a queued job.
    std::size_t attached = 0;
    bool queued = false;
    Job* next_queued = nullptr;
    // Set, under Pool::mutex, at the moment the caller may return; read
    // without the lock by a caller that spins before it sleeps.
    std::atomic<bool> complete{false};
};

struct Pool {
    std::mutex mutex;
    std::condition_variable work;      // a job was queued
    std::condition_variable finished;  // some job has no worker left
    Job* head = nullptr;  // FIFO of jobs with chunks left; workers serve the head
    Job* tail = nullptr;
    std::atomic<std::uint64_t> posted{0};  // jobs ever queued, for spinning workers
    std::size_t workers = 0;
    Pool* next_abandoned = nullptr;

    void push(Job* job) noexcept {
        posted.fetch_add(1, std::memory_order_release);
        job->queued = true;
        job->next_queued = nullptr;
        if (tail) tail->next_queued = job; else head = job;
        tail = job;
    }

    void unlink(Job* job) noexcept {
        Job* prev = nullptr;
        for (Job* j = head; j != nullptr; prev = j, j = j->next_queued) {
            if (j != job) continue;
            (prev ? prev->next_queued : head) = j->next_queued;
            if (tail == j) tail = prev;
            break;
        }
        job->queued = false;
    }
};

thread_local bool t_is_worker = false;
// The job whose chunk this thread is running, for cancellation_point.
thread_local Job* t_job = nullptr;
// The innermost CancelScope of this thread.
thread_local CancelScope* t_scope = nullptr;

// Sets t_job for one chunk and restores the outer one (a chunk may run a
// nested parallel_for inline).
class CurrentJob {
public:
    explicit CurrentJob(Job* job) noexcept : outer_(std::exchange(t_job, job)) {}
    ~CurrentJob() { t_job = outer_; }
    CurrentJob(const CurrentJob&) = delete;
    CurrentJob& operator=(const CurrentJob&) = delete;

private:
    Job* outer_;
};

// Claims and runs chunks until none are left or the job was told to stop.
// Every exception of a chunk is kept in the job, except the forced unwind
// that ends a thread, which must pass (only the caller's poll can start one).
TWIRLKIT_PASSES_FORCED_UNWIND void run_chunks(Job& job) {
    CurrentJob current(&job);
    while (!job.stop.load(std::memory_order_relaxed)) {
        const std::size_t i = job.next.fetch_add(1, std::memory_order_relaxed);
        if (i >= job.chunks) return;
        const std::size_t b = job.begin + i * job.chunk;
        const std::size_t e = b + std::min(job.chunk, job.end - b);
        try {
            job.thunk(job.ctx, b, e);
        } catch (abi::__forced_unwind&) {
            job.stop.store(true, std::memory_order_relaxed);
            throw;
        } catch (...) {
            if (!job.stop.exchange(true, std::memory_order_relaxed)) {
                job.error = std::current_exception();
            }
            return;
        }
        // Between chunks the caller polls even if the body never does.
        if (t_scope != nullptr && !t_is_worker && t_scope->poll_if_due()) {
            job.cancelled = true;
            job.stop.store(true, std::memory_order_relaxed);
            return;
        }
    }
}

// Waking a sleeping thread costs tens of microseconds here, more than a
// whole small kernel, and training loops call the kernels back to back. So a
// worker that runs out of work, and a caller whose job is nearly done, first
// poll for a short while, yielding the processor between polls, and only then
// sleep on the condition variable.
constexpr auto SPIN_TIME = std::chrono::microseconds(50);

template <class Ready>
bool spin_until(Ready ready) noexcept {
    const auto deadline = std::chrono::steady_clock::now() + SPIN_TIME;
    for (unsigned i = 0;; ++i) {
        if (ready()) return true;
        if ((i & 15) == 15 && std::chrono::steady_clock::now() >= deadline) return false;
        sched_yield();
    }
}

void worker_main(Pool* pool) noexcept {
    t_is_worker = true;
    std::unique_lock lock(pool->mutex);
    for (;;) {
        if (pool->head == nullptr) {
            const std::uint64_t seen = pool->posted.load(std::memory_order_relaxed);
            lock.unlock();
            spin_until([&] { return pool->posted.load(std::memory_order_acquire) != seen; });
            lock.lock();
        }
        pool->work.wait(lock, [pool] { return pool->head != nullptr; });
        Job* job = pool->head;
        ++job->attached;
        lock.unlock();
        run_chunks(*job);  // a worker has no poll, so nothing escapes it
        lock.lock();
        // run_chunks returns only once nothing is left to claim (or the job
        // was stopped), so the job leaves the queue and the next one is served.
        if (job->queued) pool->unlink(job);
        if (--job->attached == 0) {
            job->complete.store(true, std::memory_order_release);
            // Past this unlock the caller may return and destroy the job, so
            // the wake-up goes through the pool's condition variable. Waking
            // outside the lock spares the caller a second sleep on the mutex.
            lock.unlock();
            pool->finished.notify_all();
            lock.lock();
        }
    }
}

// Current pool; replaced by nullptr in a forked child (the old one is kept
// reachable on g_abandoned, never freed: its threads are gone and its mutex
// may be held by one of them).
std::atomic<Pool*> g_pool{nullptr};
Pool* g_abandoned = nullptr;
std::mutex g_create_mutex;

// Workers get asynchronous signals blocked so that the interpreter's main
// thread, not a pool thread, receives them. Fault signals stay deliverable.
struct BlockAsyncSignals {
    sigset_t saved;
    BlockAsyncSignals() noexcept {
        sigset_t all;
        sigfillset(&all);
        for (int s : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGABRT, SIGSYS}) sigdelset(&all, s);
        pthread_sigmask(SIG_BLOCK, &all, &saved);
    }
    ~BlockAsyncSignals() { pthread_sigmask(SIG_SETMASK, &saved, nullptr); }
    BlockAsyncSignals(const BlockAsyncSignals&) = delete;
    BlockAsyncSignals& operator=(const BlockAsyncSignals&) = delete;
};

void* worker_entry(void* pool) noexcept {
    worker_main(static_cast<Pool*>(pool));
    return nullptr;
}

// Starts one detached worker with a WORKER_STACK_BYTES stack; false when the
// system refuses the thread.
bool start_worker(Pool* pool) noexcept {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_attr_setstacksize(&attr, WORKER_STACK_BYTES);
    pthread_t thread;
    const bool started = pthread_create(&thread, &attr, &worker_entry, pool) == 0;
    pthread_attr_destroy(&attr);
    return started;
}

Pool& get_pool() {
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;
    std::lock_guard guard(g_create_mutex);
    if (Pool* p = g_pool.load(std::memory_order_acquire)) return *p;

    // The calling thread is the pool's first thread.
    const std::size_t wanted = pool_thread_count() - 1;
    auto* pool = new Pool;
    {
        BlockAsyncSignals block;
        // The system gave fewer threads than asked: run with those.
        while (pool->workers < wanted && start_worker(pool)) ++pool->workers;
    }
    g_pool.store(pool, std::memory_order_release);
    return *pool;
}

// Keeping g_create_mutex across fork() means the child never inherits it held
// by a thread that no longer exists.
void before_fork() noexcept { g_create_mutex.lock(); }
void after_fork_in_parent() noexcept { g_create_mutex.unlock(); }
void after_fork_in_child() noexcept {
    // The workers do not exist in the child. Their pool may be mid-job with
    // its mutex held, so it is neither joined nor touched again: the next
    // parallel_for builds a new one.
    if (Pool* dead = g_pool.load(std::memory_order_relaxed)) {
        dead->next_abandoned = g_abandoned;
        g_abandoned = dead;
        g_pool.store(nullptr, std::memory_order_relaxed);
    }
    t_is_worker = false;
    g_create_mutex.unlock();
}

// Registered at load time rather than at pool creation, so no fork can slip
// in between creating the pool and registering the handlers.
[[maybe_unused]] const int g_atfork_registered =
    pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

// Aim for several chunks per thread so that uneven items still balance, but
// never below the caller's grain.
constexpr std::size_t CHUNKS_PER_WORKER = 16;

// Blocks until no worker is attached to `job` and it has left the queue.
// With `poll`, runs the caller's poll every POLL_INTERVAL meanwhile, with
// the pool mutex released; on stop it stops the job and keeps waiting.
void wait_for_workers(Pool& pool, Job& job, bool poll) {
    const auto done = [&job] { return !job.queued && job.attached == 0; };
    std::unique_lock lock(pool.mutex);
    if (job.queued) pool.unlink(&job);  // nothing left to claim: let no one attach
    if (done()) return;
    lock.unlock();
    if (spin_until([&job] { return job.complete.load(std::memory_order_acquire); })) return;
    lock.lock();
    CancelScope* scope = poll && !job.cancelled ? t_scope : nullptr;
    while (!done()) {
        if (scope == nullptr) {
            pool.finished.wait(lock, done);
            break;
        }
        pool.finished.wait_for(lock, POLL_INTERVAL, done);
        if (done()) break;
        lock.unlock();
        const bool stop = scope->poll_if_due();
        lock.lock();
        if (stop) {
            job.cancelled = true;
            job.stop.store(true, std::memory_order_relaxed);
            scope = nullptr;
        }
    }
}

}  // namespace

CancelScope::CancelScope(Poll poll, void* ctx) noexcept
    : poll_(poll),
      ctx_(ctx),
      outer_(std::exchange(t_scope, this)) {}

CancelScope::~CancelScope() { t_scope = outer_; }

bool CancelScope::poll_if_due() {
    if (stopped_) return true;
    const auto now = std::chrono::steady_clock::now();
    if (next_ == std::chrono::steady_clock::time_point{}) {
        next_ = now + POLL_INTERVAL;
        return false;
    }
    if (now < next_) return false;
    // The poll may run handlers that take a while; the interval counts from
    // their end.
    stopped_ = poll_(ctx_);
    next_ = std::chrono::steady_clock::now() + POLL_INTERVAL;
    return stopped_;
}

void cancellation_point() {
    Job* job = t_job;
    if (job != nullptr && job->stop.load(std::memory_order_relaxed)) throw Cancelled();
    if (t_is_worker || t_scope == nullptr) return;
    if (t_scope->poll_if_due()) {
        if (job != nullptr) {
            job->cancelled = true;
            job->stop.store(true, std::memory_order_relaxed);
        }
        throw Cancelled();
    }
}

void detail::parallel_for_erased(std::size_t begin, std::size_t end, std::size_t grain,
                                 void* ctx, ChunkThunk thunk) {
    if (end <= begin) return;
    const std::size_t n = end - begin;
    // Inside a chunk every thread of the pool is busy already.
    if (n == 1 || t_is_worker || t_job != nullptr) {
        thunk(ctx, begin, end);
        return;
    }

    Pool& pool = get_pool();
    const std::size_t threads = pool.workers + 1;
    const std::size_t target = threads * CHUNKS_PER_WORKER;
    const std::size_t chunk = std::max({grain, std::size_t{1}, n / target + (n % target != 0)});

    Job job;
    job.ctx = ctx;
    job.thunk = thunk;
    job.begin = begin;
    job.end = end;
    job.chunk = chunk;
    job.chunks = (n - 1) / chunk + 1;

    if (pool.workers != 0 && job.chunks > 1) {
        std::unique_lock lock(pool.mutex);
        pool.push(&job);
        lock.unlock();
        // Woken outside the lock, so the workers do not wake only to block
        // on it; the caller takes the first chunk itself.
        const std::size_t helpers = std::min(pool.workers, job.chunks - 1);
        if (helpers == pool.workers) {
            pool.work.notify_all();
        } else {
            for (std::size_t i = 0; i < helpers; ++i) pool.work.notify_one();
        }
    }
    try {
        run_chunks(job);
        wait_for_workers(pool, job, true);
    } catch (...) {
        // Only a forced unwind (or another exception of the poll) gets here:
        // the job lives on this stack, so no worker may still be on it.
        job.stop.store(true, std::memory_order_relaxed);
        wait_for_workers(pool, job, false);
        throw;
    }

    if (job.cancelled) throw Cancelled();
    if (job.error) std::rethrow_exception(job.error);
}

}  // namespace twirlkit

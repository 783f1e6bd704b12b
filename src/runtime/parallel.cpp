#include "runtime/parallel.hpp"

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

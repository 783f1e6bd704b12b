// The process-wide worker pool behind every batch kernel, and parallel_for.
//
// The pool is built by the first parallel_for that needs it and lives until
// the process ends; its workers sleep on a condition variable between calls.
// A pool of N threads is the calling thread plus N - 1 workers: the caller
// queues its range, claims chunks of it like any worker, and once nothing is
// left to claim waits for the chunks still running elsewhere. A small call
// then costs no hand-off when the workers are slow to wake. Ranges of one
// item, and calls made from inside a chunk, run inline on the calling thread.
//
// Cancellation. A long call stops early when its caller asks (Ctrl-C in
// Python), without the cores knowing about Python:
//
//   1. The binding installs a CancelScope on the calling thread for the call:
//      a poll that returns true when the call must stop, having left the
//      reason (the Python exception) for the binding to report.
//   2. Long loops call cancellation_point() every millisecond of work or so.
//      On the calling thread it runs the poll at most every POLL_INTERVAL; on
//      a worker it reads the stop flag of the job the chunk belongs to. It
//      throws Cancelled when the call must stop.
//   3. parallel_for's caller also runs the poll every POLL_INTERVAL while it
//      waits. Once the poll says stop, chunks not yet started are skipped,
//      running ones throw at their next cancellation point, and parallel_for
//      throws Cancelled when none is still running.
//
// A solver loop needs only (2): call cancellation_point() in the loop, inside
// a parallel_for chunk or not. The poll may retake the interpreter lock, and
// at interpreter exit that retake can end the thread with a forced unwind
// (abi::__forced_unwind): every frame between the scope and the loop must let
// it pass (no noexcept, no catch (...) that does not rethrow).
#pragma once

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <type_traits>

#include "runtime/pool_size.hpp"

namespace twirlkit {

// Each worker's stack. The kernels need a few KiB; a chunk body that
// recurses deeply must not run on a worker.
inline constexpr std::size_t WORKER_STACK_BYTES = std::size_t{2} << 20;

// ---------------------------------------------------------------------------
// Cancellation

// How often the calling thread polls, while it works or waits.
inline constexpr std::chrono::milliseconds POLL_INTERVAL{10};

// Thrown at a cancellation point once the call has been told to stop. The
// reason is wherever the poll left it (for Python: the pending exception).
// glibc ends a thread (pthread_exit, or the interpreter at exit) with a
// forced unwind that C++ code sees as abi::__forced_unwind. It is a foreign
// exception with no C++ object behind it, so the reference a handler binds to
// it is null, which UndefinedBehaviorSanitizer's null check reports. Every
// function that catches it to let it pass carries this attribute.
#define TWIRLKIT_PASSES_FORCED_UNWIND __attribute__((no_sanitize("null")))

struct Cancelled : std::exception {
    const char* what() const noexcept override { return "call cancelled"; }
};

// The poll of one call on its calling thread, for the scope of this object
// (scopes nest; the innermost one is polled). `poll(ctx)` returns true when
// the call must stop; it runs only on the thread that made the scope.
class CancelScope {
public:
    using Poll = bool (*)(void* ctx);

    CancelScope(Poll poll, void* ctx) noexcept;
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

    // Runs the poll if POLL_INTERVAL has passed since the last one (or since
    // the first check: a scope costs nothing until something checks); true
    // when it said stop (then again on every later call).
    bool poll_if_due();

private:
    Poll poll_;
    void* ctx_;
    CancelScope* outer_;
    std::chrono::steady_clock::time_point next_{};  // none yet: the first check sets it
    bool stopped_ = false;
};

// Throws Cancelled if the current call must stop; see the top of this file.
// Costs a thread-local read and, on the calling thread, a clock read.
void cancellation_point();

// Runs body(b, e) over [begin, end) in steps of `step` items (0 counts as
// 1), with a cancellation point between steps: the hot loop inside a step
// stays free of checks, and a run of one step has none at all.
template <class F>
void in_cancellable_steps(std::size_t begin, std::size_t end, std::size_t step, F&& body) {
    if (step == 0) step = 1;
    for (std::size_t b = begin; b < end;) {
        if (b != begin) cancellation_point();
        const std::size_t e = end - b > step ? b + step : end;
        body(b, e);
        b = e;
    }
}

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
// skipped, and it is rethrown here once no chunk is still running. The
// caller's poll (CancelScope) runs while it waits; see Cancellation above.
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

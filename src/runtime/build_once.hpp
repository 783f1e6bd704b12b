// A value built at first use and kept for the life of the process: large
// search tables that take seconds to build on the worker pool.
//
// - Racing first callers build it once: one builds, the others wait for it.
// - A failed build (std::bad_alloc, an interrupted pool call) publishes
//   nothing and frees what it made; the next caller tries again.
// - After fork() the child keeps a value the parent had finished. A build
//   that was running in another thread is gone in the child, so the child
//   forgets it and builds afresh on its next use; it never waits on it.
//
// Waiters poll instead of sleeping on a condition variable: a condition
// variable whose waiters vanished in a fork can block its next broadcast,
// and a build takes seconds, so a millisecond of poll costs nothing.
//
// For objects of static storage duration only: each registers a fork
// handler, which cannot be removed.
#pragma once

#include <atomic>
#include <memory>
#include <utility>

namespace twirlkit {

namespace detail {

class BuildOnceState {
public:
    BuildOnceState() noexcept;
    BuildOnceState(const BuildOnceState&) = delete;
    BuildOnceState& operator=(const BuildOnceState&) = delete;

    const void* get() const noexcept { return value_.load(std::memory_order_acquire); }
    // True when the caller has become the builder; false once another
    // thread has published the value while the caller waited, or has given
    // up. Throws Cancelled if the wait is cancelled.
    bool claim_or_wait();
    // The builder's outcome: the value (owned for ever), or nothing.
    void publish(const void* value) noexcept;
    void abandon() noexcept;

    void forget_unfinished_build_in_child() noexcept;
    BuildOnceState* next_registered() const noexcept { return next_registered_; }

private:
    std::atomic<const void*> value_{nullptr};
    std::atomic<bool> building_{false};
    BuildOnceState* next_registered_ = nullptr;  // the fork handler's list
};

}  // namespace detail

template <class T>
class BuildOnce {
public:
    // The value, built by build() (which returns a T) if nobody has yet.
    template <class Build>
    const T& get(Build&& build) {
        for (;;) {
            if (const void* done = state_.get()) return *static_cast<const T*>(done);
            if (!state_.claim_or_wait()) continue;
            try {
                auto value = std::make_unique<const T>(build());
                state_.publish(value.release());
            } catch (...) {
                state_.abandon();
                throw;
            }
        }
    }

    const T* peek() const noexcept { return static_cast<const T*>(state_.get()); }

private:
    detail::BuildOnceState state_;
};

}  // namespace twirlkit

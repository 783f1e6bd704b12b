#include "runtime/build_once.hpp"

#include "runtime/parallel.hpp"

#include <pthread.h>

#include <chrono>
#include <thread>

namespace twirlkit::detail {

namespace {

// Every BuildOnceState, pushed at construction and never removed.
std::atomic<BuildOnceState*> g_registered{nullptr};

void forget_unfinished_builds_in_child() noexcept {
    for (BuildOnceState* s = g_registered.load(std::memory_order_relaxed); s != nullptr;
         s = s->next_registered()) {
        s->forget_unfinished_build_in_child();
    }
}

// Registered at load time, like the pool's handlers, so no fork can come
// between a build starting and the handler existing.
[[maybe_unused]] const int g_atfork_registered =
    pthread_atfork(nullptr, nullptr, forget_unfinished_builds_in_child);

}  // namespace

BuildOnceState::BuildOnceState() noexcept {
    BuildOnceState* head = g_registered.load(std::memory_order_relaxed);
    do {
        next_registered_ = head;
    } while (!g_registered.compare_exchange_weak(head, this, std::memory_order_release,
                                                 std::memory_order_relaxed));
}

bool BuildOnceState::claim_or_wait() {
    bool expected = false;
    if (building_.compare_exchange_strong(expected, true, std::memory_order_acq_rel)) {
        if (get() == nullptr) return true;
        building_.store(false, std::memory_order_release);
        return false;
    }
    while (building_.load(std::memory_order_acquire) && get() == nullptr) {
        cancellation_point();  // a waiter answers Ctrl-C like the builder
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

void BuildOnceState::publish(const void* value) noexcept {
    value_.store(value, std::memory_order_release);
    building_.store(false, std::memory_order_release);
}

void BuildOnceState::abandon() noexcept { building_.store(false, std::memory_order_release); }

// The builder thread does not exist in the child. Whatever it had allocated
// stays unreachable there (its pages are shared with the parent until
// written), and the child's next use starts a build of its own.
void BuildOnceState::forget_unfinished_build_in_child() noexcept {
    if (get() == nullptr) building_.store(false, std::memory_order_relaxed);
}

}  // namespace twirlkit::detail

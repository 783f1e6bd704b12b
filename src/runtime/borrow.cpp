#include "runtime/borrow.hpp"
#include "runtime/borrow_testing.hpp"

#include <pthread.h>

#include <mutex>
#include <new>

namespace twirlkit {

// The list of live ForkSafeSharedHolds, guarded by its mutex; the fork
// handlers hold the mutex across fork() so the child never inherits it taken.
struct ForkSafeHolds {
    std::mutex mutex;
    ForkSafeSharedHold* head = nullptr;
    std::size_t count = 0;

    static ForkSafeHolds& get() noexcept {
        static ForkSafeHolds* instance = new ForkSafeHolds();  // never destroyed
        return *instance;
    }

    void insert(ForkSafeSharedHold* hold) noexcept {
        hold->next_ = head;
        if (head != nullptr) head->prev_ = hold;
        head = hold;
        ++count;
    }
    void remove(ForkSafeSharedHold* hold) noexcept {
        (hold->prev_ ? hold->prev_->next_ : head) = hold->next_;
        if (hold->next_ != nullptr) hold->next_->prev_ = hold->prev_;
        hold->prev_ = hold->next_ = nullptr;
        --count;
    }

    static void before_fork() noexcept { get().mutex.lock(); }
    static void in_parent() noexcept { get().mutex.unlock(); }
    // Only the forking thread lives on: every other thread's hold is
    // released and dropped from the list, so its destructor (which never
    // runs here) is not needed.
    static void in_child() noexcept {
        ForkSafeHolds& holds = get();
        const pthread_t self = pthread_self();
        for (ForkSafeSharedHold* hold = holds.head; hold != nullptr;) {
            ForkSafeSharedHold* next = hold->next_;
            if (pthread_equal(hold->owner_, self) == 0) {
                if (hold->serial_) hold->flag_->release_shared_serial();
                else hold->flag_->release_shared();
                hold->flag_ = nullptr;
                holds.remove(hold);
            }
            hold = next;
        }
        holds.mutex.unlock();
    }
};

namespace {
[[maybe_unused]] const int fork_handlers = [] {
    ForkSafeHolds::get();
    return pthread_atfork(&ForkSafeHolds::before_fork, &ForkSafeHolds::in_parent,
                          &ForkSafeHolds::in_child);
}();
}  // namespace

ForkSafeSharedHold::ForkSafeSharedHold(BorrowFlag& flag, bool serial) noexcept
    : flag_((serial ? flag.try_acquire_shared_serial() : flag.try_acquire_shared()) ? &flag
                                                                                   : nullptr),
      serial_(serial) {
    if (flag_ == nullptr) return;
    owner_ = pthread_self();
    ForkSafeHolds& holds = ForkSafeHolds::get();
    std::lock_guard lock(holds.mutex);
    holds.insert(this);
}

ForkSafeSharedHold::~ForkSafeSharedHold() {
    if (flag_ == nullptr) return;
    {
        ForkSafeHolds& holds = ForkSafeHolds::get();
        std::lock_guard lock(holds.mutex);
        holds.remove(this);
    }
    if (serial_) flag_->release_shared_serial();
    else flag_->release_shared();
}

std::size_t fork_safe_hold_count() noexcept {
    ForkSafeHolds& holds = ForkSafeHolds::get();
    std::lock_guard lock(holds.mutex);
    return holds.count;
}

}  // namespace twirlkit

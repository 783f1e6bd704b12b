// The borrow flag that guards the native value of every Python object of the
// module: any number of readers or one writer, and a conflicting request fails
// at once instead of waiting.
//
// Flag word: 0 free, all ones held exclusively, any other n held shared by n.
#pragma once

#include <pthread.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace twirlkit {

class BorrowFlag {
public:
    static constexpr std::uintptr_t FREE = 0;
    static constexpr std::uintptr_t EXCLUSIVE = ~std::uintptr_t{0};

    constexpr BorrowFlag() noexcept = default;
    BorrowFlag(const BorrowFlag&) = delete;
    BorrowFlag& operator=(const BorrowFlag&) = delete;

    // Adds one reader unless a writer holds the flag. The count stops one
    // short of all ones so that readers can never be mistaken for a writer.
    bool try_acquire_shared() noexcept {
        std::uintptr_t current = word_.load(std::memory_order_relaxed);
        do {
            if (current >= EXCLUSIVE - 1) return false;
        } while (!word_.compare_exchange_weak(current, current + 1, std::memory_order_acquire,
                                              std::memory_order_relaxed));
        return true;
    }
    void release_shared() noexcept { word_.fetch_sub(1, std::memory_order_release); }

    bool try_acquire_exclusive() noexcept {
        std::uintptr_t expected = FREE;
        return word_.compare_exchange_strong(expected, EXCLUSIVE, std::memory_order_acquire,
                                             std::memory_order_relaxed);
    }
    void release_exclusive() noexcept { word_.store(FREE, std::memory_order_release); }

    // The same four operations for callers that never race on this flag:
    // with an interpreter lock that every caller holds, the flag only guards
    // against re-entry on one thread at a time, so plain loads and stores do
    // what the lock-prefixed read-modify-writes above do, at a fraction of
    // their cost on the hottest path of the module (one turn method call).
    bool try_acquire_shared_serial() noexcept {
        const std::uintptr_t current = word_.load(std::memory_order_relaxed);
        if (current >= EXCLUSIVE - 1) return false;
        word_.store(current + 1, std::memory_order_relaxed);
        return true;
    }
    void release_shared_serial() noexcept {
        word_.store(word_.load(std::memory_order_relaxed) - 1, std::memory_order_relaxed);
    }
    bool try_acquire_exclusive_serial() noexcept {
        if (word_.load(std::memory_order_relaxed) != FREE) return false;
        word_.store(EXCLUSIVE, std::memory_order_relaxed);
        return true;
    }
    void release_exclusive_serial() noexcept { word_.store(FREE, std::memory_order_relaxed); }

    std::uintptr_t load() const noexcept { return word_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uintptr_t> word_{FREE};
};

// Holds replace the C pattern "if (!try_acquire()) fail; ...; release();" so
// that every return path, exceptions included, releases what it took.
// Serial = true picks the plain load-and-store forms (see above).
template <bool Serial = false>
class BasicSharedHold {
public:
    explicit BasicSharedHold(BorrowFlag& flag) noexcept
        : flag_((Serial ? flag.try_acquire_shared_serial() : flag.try_acquire_shared()) ? &flag
                                                                                        : nullptr) {}
    ~BasicSharedHold() {
        if (!flag_) return;
        if constexpr (Serial) flag_->release_shared_serial(); else flag_->release_shared();
    }
    BasicSharedHold(const BasicSharedHold&) = delete;
    BasicSharedHold& operator=(const BasicSharedHold&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

template <bool Serial = false>
class BasicExclusiveHold {
public:
    explicit BasicExclusiveHold(BorrowFlag& flag) noexcept
        : flag_((Serial ? flag.try_acquire_exclusive_serial() : flag.try_acquire_exclusive())
                    ? &flag
                    : nullptr) {}
    ~BasicExclusiveHold() {
        if (!flag_) return;
        if constexpr (Serial) flag_->release_exclusive_serial(); else flag_->release_exclusive();
    }
    BasicExclusiveHold(const BasicExclusiveHold&) = delete;
    BasicExclusiveHold& operator=(const BasicExclusiveHold&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

using SharedHold = BasicSharedHold<false>;
using ExclusiveHold = BasicExclusiveHold<false>;

}  // namespace twirlkit

namespace twirlkit {

// A shared hold that a forked child forgets. A hold kept while the
// interpreter lock is released can belong to a thread other than the one
// that calls fork(); in the child that thread does not exist, so its hold
// would keep the object locked against writers forever. Such holds are
// entered in a process-wide list, and the child's fork handler releases the
// ones of every thread but the forking one. The list node lives inside the
// hold, on its owner's stack, which the child still has a copy of.
class ForkSafeSharedHold {
public:
    // Serial picks the flag operations as for BasicSharedHold.
    ForkSafeSharedHold(BorrowFlag& flag, bool serial) noexcept;
    ~ForkSafeSharedHold();
    ForkSafeSharedHold(const ForkSafeSharedHold&) = delete;
    ForkSafeSharedHold& operator=(const ForkSafeSharedHold&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    friend struct ForkSafeHolds;
    BorrowFlag* flag_;
    bool serial_;
    pthread_t owner_{};
    ForkSafeSharedHold* prev_ = nullptr;
    ForkSafeSharedHold* next_ = nullptr;
};

}  // namespace twirlkit

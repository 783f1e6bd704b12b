// The borrow flag that guards the native value of every Python object of the
// module: any number of readers or one writer, and a conflicting request fails
// at once instead of waiting.
//
// Flag word: 0 free, all ones held exclusively, any other n held shared by n.
#pragma once

#include <atomic>
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

    std::uintptr_t load() const noexcept { return word_.load(std::memory_order_relaxed); }

private:
    std::atomic<std::uintptr_t> word_{FREE};
};

// Holds replace the C pattern "if (!try_acquire()) fail; ...; release();" so
// that every return path, exceptions included, releases what it took.
class SharedHold {
public:
    explicit SharedHold(BorrowFlag& flag) noexcept
        : flag_(flag.try_acquire_shared() ? &flag : nullptr) {}
    ~SharedHold() {
        if (flag_) flag_->release_shared();
    }
    SharedHold(const SharedHold&) = delete;
    SharedHold& operator=(const SharedHold&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

class ExclusiveHold {
public:
    explicit ExclusiveHold(BorrowFlag& flag) noexcept
        : flag_(flag.try_acquire_exclusive() ? &flag : nullptr) {}
    ~ExclusiveHold() {
        if (flag_) flag_->release_exclusive();
    }
    ExclusiveHold(const ExclusiveHold&) = delete;
    ExclusiveHold& operator=(const ExclusiveHold&) = delete;
    explicit operator bool() const noexcept { return flag_ != nullptr; }

private:
    BorrowFlag* flag_;
};

}  // namespace twirlkit

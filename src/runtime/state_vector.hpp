// The vector that holds a batch's cubes. Large ones come from the cache of
// mapped buffers (buffer_cache.hpp), so that batches made again and again
// (expand, take, from_packed in a search loop) are written into warm pages
// instead of faulting in fresh ones; small ones come from operator new.
//
// An element made without a value is not written at all: every kernel that
// makes a batch writes each of its cubes, and writing them twice (solved
// first) cost as much as the kernel. A batch of solved cubes asks for them
// by value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>
#include <utility>
#include <vector>

#include "runtime/buffer_cache.hpp"

namespace twirlkit {

template <class T>
struct StateAllocator {
    static_assert(std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>);
    using value_type = T;

    StateAllocator() noexcept = default;
    template <class U>
    StateAllocator(const StateAllocator<U>&) noexcept {}

    T* allocate(std::size_t n) {
        if (n > SIZE_MAX / sizeof(T)) throw std::bad_array_new_length();
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= CACHE_THRESHOLD) {
            std::size_t length = 0;
            return static_cast<T*>(acquire_mapped(bytes, length));
        }
        return static_cast<T*>(::operator new(bytes));
    }
    void deallocate(T* data, std::size_t n) noexcept {
        const std::size_t bytes = n * sizeof(T);
        if (bytes >= CACHE_THRESHOLD) {
            release_mapped(data, mapped_length(bytes));
        } else {
            ::operator delete(data);
        }
    }

    // Left as the memory holds it (trivially copyable, so the bytes are the
    // value once written).
    template <class U>
    void construct(U*) noexcept {}
    template <class U, class... Args>
    void construct(U* at, Args&&... args) {
        ::new (static_cast<void*>(at)) U(std::forward<Args>(args)...);
    }

    friend bool operator==(const StateAllocator&, const StateAllocator&) noexcept { return true; }
};

template <class C>
using StateVector = std::vector<C, StateAllocator<C>>;

}  // namespace twirlkit

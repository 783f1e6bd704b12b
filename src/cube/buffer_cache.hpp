// Large output buffers: anonymous mappings, 2 MiB aligned and advised for
// transparent huge pages, plus a small bounded cache of freed ones. A loop
// that drops each successor array before asking for the next one of the same
// shape then gets memory whose pages are already in place, instead of paying
// a page fault per huge page again on every call.
#pragma once

#include <cstddef>
#include <cstdio>
#include <new>

namespace twirlkit {

// A refused allocation that says what was asked for; the binding turns its
// text into the MemoryError's message.
class AllocationError : public std::bad_alloc {
public:
    explicit AllocationError(std::size_t bytes) noexcept {
        std::snprintf(text_, sizeof text_, "cannot allocate an output array of %zu bytes", bytes);
    }
    const char* what() const noexcept override { return text_; }

private:
    char text_[80];
};

inline constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;
// At most this many freed buffers, and this many bytes, are kept; beyond
// that the oldest goes back to the system.
inline constexpr std::size_t MAPPED_CACHE_ENTRIES = 2;
inline constexpr std::size_t MAPPED_CACHE_BYTES = std::size_t{1} << 30;

// A buffer of at least `bytes` bytes; `length` receives its mapped size (a
// multiple of HUGE_PAGE_BYTES). Throws std::bad_alloc when memory is refused.
// The contents are unspecified: a cached buffer holds what it held before.
void* acquire_mapped(std::size_t bytes, std::size_t& length);
// Returns a buffer from acquire_mapped, to the cache or to the system.
void release_mapped(void* data, std::size_t length) noexcept;

// The bytes held by the cache now, and a way to empty it.
std::size_t mapped_cache_bytes() noexcept;
void drop_mapped_cache() noexcept;

}  // namespace twirlkit

// Output buffers of 64 KiB and more: anonymous mappings, and a bounded cache
// of freed ones. A training loop asks for the same output shapes again and
// again while its own allocations come and go around them; served from this
// cache, each call writes into pages that are already in place instead of
// taking a page fault per 4 KiB (about 1300 for 1024 3x3 successor rows),
// whatever glibc does with the memory it trims or maps afresh.
//
// The cache keeps only what a loop needs: a freed buffer that no request of
// its size has taken back within the next CACHE_REUSE_WINDOW requests goes
// back to the system, as do the oldest beyond CACHE_ENTRIES, and the whole
// cache is dropped (and the request retried once) when a mapping is refused.
// drop_mapped_cache() is the user's way to give it all back at once.
#pragma once

#include <cstddef>
#include <cstdio>
#include <new>

#include "runtime/huge_pages.hpp"

namespace twirlkit {

// A refused allocation that says what was asked for; the binding turns its
// text into the MemoryError's message.
class AllocationError : public std::bad_alloc {
public:
    explicit AllocationError(std::size_t bytes) noexcept {
        std::snprintf(text_, sizeof text_, "cannot allocate an output array of %zu bytes", bytes);
    }
    // Another buffer than an output array, named by `what` ("the 3x3 solver
    // tables").
    AllocationError(const char* what, std::size_t bytes) noexcept {
        std::snprintf(text_, sizeof text_, "cannot allocate %s of %zu bytes", what, bytes);
    }
    const char* what() const noexcept override { return text_; }

private:
    char text_[80];
};

// Buffers from this size on are mapped and cached; smaller ones come from
// malloc, whose heap keeps them warm.
inline constexpr std::size_t CACHE_THRESHOLD = std::size_t{64} << 10;
// At most this many freed buffers are kept...
inline constexpr std::size_t CACHE_ENTRIES = 16;
// ...and each for at most this many later requests.
inline constexpr std::size_t CACHE_REUSE_WINDOW = 64;

// A buffer of at least `bytes` bytes; `length` receives its mapped size (a
// multiple of PAGE_BYTES, of HUGE_PAGE_BYTES from 2 MiB up, where it is
// aligned and advised for transparent huge pages). Throws AllocationError
// when memory is refused even after the cache was dropped. The contents are
// unspecified: a cached buffer holds what it held before.
void* acquire_mapped(std::size_t bytes, std::size_t& length);
// The mapped size acquire_mapped gives a request of `bytes`.
std::size_t mapped_length(std::size_t bytes) noexcept;
// Returns a buffer from acquire_mapped, to the cache or to the system.
void release_mapped(void* data, std::size_t length) noexcept;

// The bytes held by the cache now, and a way to empty it (returns the bytes
// given back to the system).
std::size_t mapped_cache_bytes() noexcept;
std::size_t drop_mapped_cache() noexcept;

}  // namespace twirlkit

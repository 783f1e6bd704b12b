// Non-temporal (streaming) stores for outputs far larger than the caches:
// the one decision whether an output is streamed, and the stores and fence
// that every kernel writing one uses.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "runtime/cpu_features.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace twirlkit {

namespace detail {

// Outputs from this size on are written around the caches: they cannot stay
// in them anyway, and streaming stores save reading every line before it is
// overwritten. It is a quarter more than the last-level cache, and at least
// 16 MiB: an output that fits the cache is read back from it by the caller
// (measured here with a 32 MiB cache: 18.9 MB of successor rows took 0.70 ms
// streamed and 0.23 to 0.32 ms through the cache).
inline constexpr std::size_t MIN_STREAM_THRESHOLD = std::size_t{16} << 20;
inline std::size_t stream_threshold() noexcept {
    static const std::size_t threshold = [] {
        const std::size_t cache = last_level_cache_bytes();
        return std::max(MIN_STREAM_THRESHOLD, cache + cache / 4);
    }();
    return threshold;
}

// The widest streaming store the kernels issue is 32 bytes (AVX2).
inline constexpr std::size_t STREAM_ALIGNMENT = 32;

}  // namespace detail

// Whether an output of `bytes` at `data` is written with streaming stores:
// one of stream_threshold() bytes or more, aligned for the widest of them.
// (Outputs that large come from mapped pages, so in practice the alignment
// always holds.)
inline bool stream_output(const void* data, std::size_t bytes) noexcept {
    return bytes >= detail::stream_threshold() &&
           reinterpret_cast<std::uintptr_t>(data) % detail::STREAM_ALIGNMENT == 0;
}

namespace detail {

// One 8-byte cell written around the caches, which skips the
// read-for-ownership of every destination line: for outputs far larger than
// the caches.
[[gnu::always_inline]] inline void stream_cell(std::int64_t* out, std::int64_t value) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    _mm_stream_si64(reinterpret_cast<long long*>(out), static_cast<long long>(value));
#else
    *out = value;
#endif
}

}  // namespace detail

inline void stream_fence() noexcept {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

// Calls write(std::bool_constant<Stream>{}, i) for each i of [begin, end),
// Stream chosen at run time; streamed writes are fenced after the last.
template <class Write>
inline void write_each(std::size_t begin, std::size_t end, bool stream, Write write) {
    if (stream) {
        for (std::size_t i = begin; i < end; ++i) write(std::true_type{}, i);
        stream_fence();
    } else {
        for (std::size_t i = begin; i < end; ++i) write(std::false_type{}, i);
    }
}

}  // namespace twirlkit

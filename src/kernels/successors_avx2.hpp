// The AVX2 build of the successor rows: byte rows by shuffles, and the int64
// and one-hot float32 rows widened from them. The portable build and the
// choice between the two are in successors.hpp; both write the same rows.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

#include "kernels/successor_sources.hpp"
#include "model/cube.hpp"
#include "model/faces.hpp"
#include "model/views.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace twirlkit {

namespace detail {

#if defined(__x86_64__)
// Successor rows of byte codes by shuffles. A row of d bytes is written as
// 16-byte windows at fixed offsets (the last one ending at the row's end, so
// no store passes it); each window is the OR of one byte shuffle per
// 16-byte chunk of the parent row that it draws from, with the unused
// lanes of every shuffle zeroed. Which chunks a window draws from is known
// at build time, and most windows of most moves draw from one or two.
template <std::size_t D>
inline constexpr std::size_t BYTE_WINDOWS = (D + 15) / 16;
template <std::size_t D>
inline constexpr std::size_t BYTE_CHUNKS = (D + 15) / 16;

template <std::size_t D>
consteval std::size_t byte_window_offset(std::size_t w) {
    static_assert(D >= 16);
    return w + 1 < BYTE_WINDOWS<D> || D % 16 == 0 ? 16 * w : D - 16;
}

template <std::size_t D>
struct ByteWindow {
    std::array<std::array<std::uint8_t, 16>, BYTE_CHUNKS<D>> masks{};
    unsigned chunks = 0;  // bit k: draws from chunk k
};

template <std::size_t D>
consteval std::array<std::array<ByteWindow<D>, BYTE_WINDOWS<D>>, MOVE_COUNT> byte_windows(
    const std::array<RowSources<D>, MOVE_COUNT>& sources) {
    std::array<std::array<ByteWindow<D>, BYTE_WINDOWS<D>>, MOVE_COUNT> out{};
    for (std::size_t m = 0; m < MOVE_COUNT; ++m)
        for (std::size_t w = 0; w < BYTE_WINDOWS<D>; ++w) {
            ByteWindow<D>& window = out[m][w];
            for (auto& mask : window.masks) mask.fill(0x80);
            for (std::size_t b = 0; b < 16; ++b) {
                const std::size_t source = sources[m][byte_window_offset<D>(w) + b];
                window.masks[source / 16][b] = static_cast<std::uint8_t>(source % 16);
                window.chunks |= 1U << (source / 16);
            }
        }
    return out;
}

template <PackedCube C>
inline constexpr auto SUCCESSOR_BYTE_WINDOWS = byte_windows(SUCCESSOR_SOURCES<C>);

// The first lane of window W not already written by window W - 1.
template <std::size_t D>
consteval std::size_t byte_window_first(std::size_t w) {
    if (w == 0) return 0;
    const std::size_t previous_end = byte_window_offset<D>(w - 1) + 16;
    return previous_end > byte_window_offset<D>(w) ? previous_end - byte_window_offset<D>(w) : 0;
}

// What window W of move M takes from chunk K: zero if nothing.
template <PackedCube C, std::size_t M, std::size_t W, std::size_t K>
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i window_part(const __m128i* chunks) noexcept {
    constexpr auto& window = SUCCESSOR_BYTE_WINDOWS<C>[M][W];
    if constexpr ((window.chunks >> K) & 1U) {
        const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(window.masks[K].data()));
        return _mm_shuffle_epi8(chunks[K], mask);
    } else {
        return _mm_setzero_si128();
    }
}

template <PackedCube C, std::size_t M, std::size_t W, std::size_t... K>
[[gnu::target("avx2"), gnu::always_inline]] inline __m128i byte_window(
    const __m128i* chunks, std::index_sequence<K...>) noexcept {
    __m128i out = _mm_setzero_si128();
    ((out = _mm_or_si128(out, window_part<C, M, W, K>(chunks))), ...);
    return out;
}

template <PackedCube C, std::size_t M, std::size_t W, std::size_t... K>
[[gnu::target("avx2"), gnu::always_inline]] inline void write_byte_window(
    const __m128i* chunks, std::uint8_t* row, std::index_sequence<K...> k) noexcept {
    const __m128i out = byte_window<C, M, W>(chunks, k);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row + byte_window_offset<C::sticker_dim>(W)), out);
}

template <PackedCube C, std::size_t... I>
[[gnu::target("avx2"), gnu::always_inline]] inline void write_byte_rows(
    const __m128i* chunks, std::uint8_t* rows, std::index_sequence<I...>) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    constexpr std::size_t windows = BYTE_WINDOWS<d>;
    (write_byte_window<C, I / windows, I % windows>(chunks, rows + (I / windows) * d,
                                                    std::make_index_sequence<BYTE_CHUNKS<d>>{}),
     ...);
}

// The code of sticker P, shifted to byte B of a 64-bit lane; zero past the row.
template <PackedCube C, std::size_t P, std::size_t B>
[[gnu::always_inline]] inline std::uint64_t code_in_lane(Word corners, Word edges) noexcept {
    if constexpr (P < C::sticker_dim) {
        return std::uint64_t{sticker_code<C::sticker_net[P]>(corners, edges)} << (8 * B);
    } else {
        return 0;
    }
}

template <PackedCube C, std::size_t Base, std::size_t... B>
[[gnu::always_inline]] inline std::uint64_t codes_in_lane(Word corners, Word edges,
                                                          std::index_sequence<B...>) noexcept {
    return (code_in_lane<C, Base + B, B>(corners, edges) | ...);
}

template <PackedCube C, std::size_t... K>
[[gnu::target("avx2"), gnu::always_inline]] inline void parent_chunks(Word corners, Word edges, __m128i* chunks,
                                                                      std::index_sequence<K...>) noexcept {
    constexpr auto lane = std::make_index_sequence<8>{};
    ((chunks[K] = _mm_set_epi64x(static_cast<long long>(codes_in_lane<C, 16 * K + 8>(corners, edges, lane)),
                                 static_cast<long long>(codes_in_lane<C, 16 * K>(corners, edges, lane)))),
     ...);
}

// The parent row of one cube as byte codes in 16-byte chunks. A long row is
// gathered in registers: stored as bytes and reloaded as vectors, each
// chunk waits for its sixteen stores to retire (a failed store forwarding).
// A short row is cheaper stored and reloaded, the wait and all (measured:
// twelve successor rows of 54 codes 100 -> 75 ns by registers, of 24 codes
// 43 -> 57 ns).
template <PackedCube C>
[[gnu::target("avx2"), gnu::always_inline]] inline void parent_chunks(const C& cube,
                                                                      __m128i* chunks) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    if constexpr (BYTE_CHUNKS<d> > 2) {
        parent_chunks<C>(cube.corner_word(), cube.edge_word(), chunks,
                         std::make_index_sequence<BYTE_CHUNKS<d>>{});
    } else {
        alignas(16) std::uint8_t parent[16 * BYTE_CHUNKS<d>] = {};
        cube.project_into(parent);
        for (std::size_t k = 0; k < BYTE_CHUNKS<d>; ++k) {
            chunks[k] = _mm_load_si128(reinterpret_cast<const __m128i*>(parent + 16 * k));
        }
    }
}

// The twelve successor rows of one cube as byte codes, rows[0 .. 12 d).
template <PackedCube C>
[[gnu::target("avx2")]] inline void write_successor_bytes_avx2(const C& cube,
                                                                std::uint8_t* rows) noexcept {
    __m128i chunks[BYTE_CHUNKS<C::sticker_dim>];
    parent_chunks(cube, chunks);
    write_byte_rows<C>(chunks, rows,
                       std::make_index_sequence<MOVE_COUNT * BYTE_WINDOWS<C::sticker_dim>>{});
}

// Four (or two) codes widened to int64 at block[At]. Streamed, a store is
// 32 bytes where At is a multiple of four and two 16-byte stores where it
// is only even; the caller's block is 32-byte aligned.
template <bool Stream, std::size_t At>
[[gnu::target("avx2"), gnu::always_inline]] inline void put_codes(std::int64_t* block, __m256i v) noexcept {
    auto* at = block + At;
    if constexpr (!Stream) {
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(at), v);
    } else if constexpr (At % 4 == 0) {
        _mm256_stream_si256(reinterpret_cast<__m256i*>(at), v);
    } else {
        static_assert(At % 2 == 0);
        _mm_stream_si128(reinterpret_cast<__m128i*>(at), _mm256_castsi256_si128(v));
        _mm_stream_si128(reinterpret_cast<__m128i*>(at + 2), _mm256_extracti128_si256(v, 1));
    }
}
template <bool Stream, std::size_t At>
[[gnu::target("avx2"), gnu::always_inline]] inline void put_codes(std::int64_t* block, __m128i v) noexcept {
    static_assert(At % 2 == 0);
    auto* at = reinterpret_cast<__m128i*>(block + At);
    if constexpr (Stream) {
        _mm_stream_si128(at, v);
    } else {
        _mm_storeu_si128(at, v);
    }
}

// Lanes First..15 of a byte window as int64 codes at block[Position + lane]:
// groups of four, then a pair.
template <bool Stream, std::size_t Position, std::size_t First, std::size_t... G>
[[gnu::target("avx2"), gnu::always_inline]] inline void widen_window(std::int64_t* block, __m128i window,
                                                                     std::index_sequence<G...>) noexcept {
    (put_codes<Stream, Position + First + 4 * G>(
         block, _mm256_cvtepu8_epi64(_mm_srli_si128(window, First + 4 * G))),
     ...);
    if constexpr ((16 - First) % 4 == 2) {
        put_codes<Stream, Position + 14>(block, _mm_cvtepu8_epi64(_mm_srli_si128(window, 14)));
    }
}

template <PackedCube C, bool Stream, std::size_t... I>
[[gnu::target("avx2"), gnu::always_inline]] inline void write_int64_rows(
    const __m128i* chunks, std::int64_t* block, std::index_sequence<I...>) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    constexpr std::size_t windows = BYTE_WINDOWS<d>;
    (widen_window<Stream, (I / windows) * d + byte_window_offset<d>(I % windows),
                  byte_window_first<d>(I % windows)>(
         block,
         byte_window<C, I / windows, I % windows>(chunks, std::make_index_sequence<BYTE_CHUNKS<d>>{}),
         std::make_index_sequence<(16 - byte_window_first<d>(I % windows)) / 4>{}),
     ...);
}

// The twelve successor rows of one cube as int64 codes, block[0 .. 12 d):
// the byte rows widened four codes to a store. With Stream the stores are
// non-temporal and `block` must be 32-byte aligned.
template <PackedCube C, bool Stream>
[[gnu::target("avx2")]] inline void write_successor_rows_avx2(const C& cube,
                                                               std::int64_t* block) noexcept {
    static_assert(MOVE_COUNT * C::sticker_dim % 4 == 0, "each cube's block keeps 32-byte alignment");
    __m128i chunks[BYTE_CHUNKS<C::sticker_dim>];
    parent_chunks(cube, chunks);
    write_int64_rows<C, Stream>(chunks, block,
                                std::make_index_sequence<MOVE_COUNT * BYTE_WINDOWS<C::sticker_dim>>{});
}

// One-hot float32 successor rows. Float f of a window's block (f = 6 lane +
// colour) is 1.0 exactly when the code in that lane is the colour. Sixteen
// floats at a time: a byte shuffle spreads the codes, one compare with the
// colours gives sixteen byte masks, and each half widens to eight float masks
// that keep 1.0 or clear it.
struct OneHotSpread {
    std::array<std::uint8_t, 16> lanes{};
    std::array<std::uint8_t, 16> colours{};
};

template <std::size_t First>
inline constexpr std::size_t ONE_HOT_FLOATS = FACE_COUNT * (16 - First);

template <std::size_t First>
consteval std::array<OneHotSpread, (ONE_HOT_FLOATS<First> + 15) / 16> one_hot_spreads() {
    std::array<OneHotSpread, (ONE_HOT_FLOATS<First> + 15) / 16> out{};
    for (std::size_t g = 0; g < out.size(); ++g)
        for (std::size_t t = 0; t < 16; ++t) {
            const std::size_t f = FACE_COUNT * First + 16 * g + t;
            const bool in_window = f < FACE_COUNT * 16;  // past it: zero, never a match
            out[g].lanes[t] = static_cast<std::uint8_t>(in_window ? f / FACE_COUNT : 0x80);
            out[g].colours[t] = static_cast<std::uint8_t>(in_window ? f % FACE_COUNT : 0xFF);
        }
    return out;
}
template <std::size_t First>
inline constexpr auto ONE_HOT_SPREADS = one_hot_spreads<First>();

// Eight (or four) floats at block[At]; streamed with 32-byte stores where
// At is a multiple of eight and 16-byte stores where it is one of four (the
// block is 32-byte aligned).
template <bool Stream, std::size_t At>
[[gnu::target("avx2"), gnu::always_inline]] inline void put_floats(float* block, __m256 v) noexcept {
    float* at = block + At;
    if constexpr (!Stream) {
        _mm256_storeu_ps(at, v);
    } else if constexpr (At % 8 == 0) {
        _mm256_stream_ps(at, v);
    } else {
        static_assert(At % 4 == 0);
        _mm_stream_ps(at, _mm256_castps256_ps128(v));
        _mm_stream_ps(at + 4, _mm256_extractf128_ps(v, 1));
    }
}
template <bool Stream, std::size_t At>
[[gnu::target("avx2"), gnu::always_inline]] inline void put_floats(float* block, __m128 v) noexcept {
    static_assert(At % 4 == 0);
    if constexpr (Stream) {
        _mm_stream_ps(block + At, v);
    } else {
        _mm_storeu_ps(block + At, v);
    }
}

template <bool Stream, std::size_t At, std::size_t First, std::size_t G>
[[gnu::target("avx2"), gnu::always_inline]] inline void one_hot_group(float* block, __m128i window) noexcept {
    constexpr const OneHotSpread& spread = ONE_HOT_SPREADS<First>[G];
    constexpr std::size_t valid = std::min<std::size_t>(16, ONE_HOT_FLOATS<First> - 16 * G);
    const __m128i codes =
        _mm_shuffle_epi8(window, _mm_loadu_si128(reinterpret_cast<const __m128i*>(spread.lanes.data())));
    const __m128i hit =
        _mm_cmpeq_epi8(codes, _mm_loadu_si128(reinterpret_cast<const __m128i*>(spread.colours.data())));
    const __m256 one = _mm256_set1_ps(1.0F);
    const __m256 low = _mm256_and_ps(_mm256_castsi256_ps(_mm256_cvtepi8_epi32(hit)), one);
    if constexpr (valid >= 8) {
        put_floats<Stream, At>(block, low);
    } else {
        static_assert(valid == 4);
        put_floats<Stream, At>(block, _mm256_castps256_ps128(low));
    }
    if constexpr (valid == 16) {
        const __m256 high =
            _mm256_and_ps(_mm256_castsi256_ps(_mm256_cvtepi8_epi32(_mm_srli_si128(hit, 8))), one);
        put_floats<Stream, At + 8>(block, high);
    }
}

template <bool Stream, std::size_t At, std::size_t First, std::size_t... G>
[[gnu::target("avx2"), gnu::always_inline]] inline void one_hot_window(float* block, __m128i window,
                                                                       std::index_sequence<G...>) noexcept {
    (one_hot_group<Stream, At + 16 * G, First, G>(block, window), ...);
}

template <PackedCube C, bool Stream, std::size_t... I>
[[gnu::target("avx2"), gnu::always_inline]] inline void write_one_hot_rows(
    const __m128i* chunks, float* block, std::index_sequence<I...>) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    constexpr std::size_t windows = BYTE_WINDOWS<d>;
    (one_hot_window<Stream,
                    FACE_COUNT * ((I / windows) * d + byte_window_offset<d>(I % windows) +
                                  byte_window_first<d>(I % windows)),
                    byte_window_first<d>(I % windows)>(
         block,
         byte_window<C, I / windows, I % windows>(chunks, std::make_index_sequence<BYTE_CHUNKS<d>>{}),
         std::make_index_sequence<(ONE_HOT_FLOATS<byte_window_first<d>(I % windows)> + 15) / 16>{}),
     ...);
}

// The twelve successor rows of one cube as one-hot float32 rows,
// block[0 .. 12 * 6 d). With Stream the stores are non-temporal and `block`
// must be 32-byte aligned.
template <PackedCube C, bool Stream>
[[gnu::target("avx2")]] inline void write_successor_one_hot_avx2(const C& cube, float* block) noexcept {
    static_assert(MOVE_COUNT * FACE_COUNT * C::sticker_dim % 8 == 0, "each cube's block keeps 32-byte alignment");
    __m128i chunks[BYTE_CHUNKS<C::sticker_dim>];
    parent_chunks(cube, chunks);
    write_one_hot_rows<C, Stream>(chunks, block,
                                  std::make_index_sequence<MOVE_COUNT * BYTE_WINDOWS<C::sticker_dim>>{});
}
#endif

}  // namespace detail

}  // namespace twirlkit

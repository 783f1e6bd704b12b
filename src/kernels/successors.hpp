// Successor rows from one projection (the portable build, and the choice of
// build for a run of cubes). A quarter turn only moves stickers, 20
// of the 54 of a 3x3 (12 of the 24 of a 2x2), so every sticker of a
// successor row is some sticker of the parent's row. Where each one comes
// from is derived at build time from the slot cycles of the turn, so the
// kernels project a cube once and then write each successor row as a gather
// with constant indexes, instead of a turn and a full projection.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "kernels/streaming.hpp"
#include "kernels/successor_sources.hpp"
#include "kernels/successors_avx2.hpp"
#include "model/cube.hpp"

namespace twirlkit {

namespace detail {

template <PackedCube C, bool Stream, std::size_t M>
inline void write_successor(const std::int64_t* parent, std::int64_t* out) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    static constexpr RowSources<d> sources = SUCCESSOR_SOURCES<C>[M];
    if constexpr (Stream) {
        // Straight to the output with 8-byte non-temporal stores: a row
        // staged on the stack with 8-byte stores and streamed out with
        // 16-byte loads stalls on store forwarding at every load.
        [&]<std::size_t... P>(std::index_sequence<P...>) {
            (stream_cell(out + P, parent[sources[P]]), ...);
        }(std::make_index_sequence<d>{});
    } else {
        [&]<std::size_t... P>(std::index_sequence<P...>) {
            ((out[P] = parent[sources[P]]), ...);
        }(std::make_index_sequence<d>{});
    }
}

}  // namespace detail

// The twelve successor rows of one cube, in move-index order, written to
// rows[0 .. 12 * sticker_dim). With Stream the caller fences before the
// rows are read by another thread.
template <PackedCube C, bool Stream = false>
inline void write_successor_rows(const C& cube, std::int64_t* rows) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    alignas(16) std::int64_t parent[d];
    cube.write_sticker_row(parent);
    [&]<std::size_t... M>(std::index_sequence<M...>) {
        (detail::write_successor<C, Stream, M>(parent, rows + M * d), ...);
    }(std::make_index_sequence<MOVE_COUNT>{});
}

// The successor rows of cubes [begin, end), 12 d int64 codes per cube from
// out + 12 d i on: with Vector by the AVX2 build, else by the portable one;
// `stream` as stream_output decided for the whole output.
template <bool Vector, PackedCube C>
void write_successor_range(std::span<const C> cubes, std::size_t begin, std::size_t end,
                           std::int64_t* out, bool stream) {
    constexpr std::size_t block = MOVE_COUNT * C::sticker_dim;
    write_each(begin, end, stream, [cubes, out](auto streamed, std::size_t i) {
#if defined(__x86_64__)
        if constexpr (Vector) {
            detail::write_successor_rows_avx2<C, decltype(streamed)::value>(cubes[i], out + i * block);
            return;
        }
#endif
        write_successor_rows<C, decltype(streamed)::value>(cubes[i], out + i * block);
    });
}

}  // namespace twirlkit

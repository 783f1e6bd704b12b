// Successor rows from one projection. A quarter turn only moves stickers, 20
// of the 54 of a 3x3 (12 of the 24 of a 2x2), so every sticker of a
// successor row is some sticker of the parent's row. Where each one comes
// from is derived at build time from the slot cycles of the turn, so the
// kernels project a cube once and then write each successor row as a gather
// with constant indexes, instead of a turn and a full projection.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube/turn_cycles.hpp"
#include "cube/views.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twirlkit {

namespace detail {

template <std::size_t N>
using RowSources = std::array<std::uint8_t, N>;

template <std::size_t N>
consteval std::size_t position_of(const std::array<StickerSource, N>& net, StickerKind kind,
                                  unsigned slot, unsigned facelet) {
    for (std::size_t q = 0; q < N; ++q) {
        if (net[q].kind == kind && net[q].index == slot && net[q].facelet == facelet) return q;
    }
    throw "a facelet missing from the net";  // not a constant expression: fails the build
}

// After a turn, slot s holds the value that was in slot a with twist t (or
// flip f) added. Facelet k of s then shows what facelet (k + t) mod 3 (or
// k XOR f) of a showed before, since a piece shows colour (k + o) mod 3 (or
// k XOR flip) on facelet k.
template <std::size_t N>
consteval std::array<RowSources<N>, MOVE_COUNT> successor_sources(
    const std::array<StickerSource, N>& net, const std::array<TurnCycles, MOVE_COUNT>& turns) {
    std::array<RowSources<N>, MOVE_COUNT> sources{};
    for (std::size_t m = 0; m < MOVE_COUNT; ++m) {
        const TurnCycles& turn = turns[m];
        for (std::size_t p = 0; p < N; ++p) {
            const StickerSource s = net[p];
            std::size_t source = p;
            if (s.kind == StickerKind::corner) {
                for (const SlotStep& step : turn.corners) {
                    if (step.to == s.index) {
                        source = position_of(net, StickerKind::corner, step.from,
                                             (s.facelet + step.twist) % 3);
                    }
                }
            } else if (s.kind == StickerKind::edge) {
                for (const SlotStep& step : turn.edges) {
                    if (step.to == s.index) {
                        source = position_of(net, StickerKind::edge, step.from,
                                             s.facelet ^ turn.edge_flip);
                    }
                }
            }
            sources[m][p] = static_cast<std::uint8_t>(source);
        }
    }
    return sources;
}

template <std::size_t N>
consteval std::size_t moved_stickers(const RowSources<N>& sources) {
    std::size_t moved = 0;
    for (std::size_t p = 0; p < N; ++p) moved += sources[p] != p;
    return moved;
}

template <PackedCube C>
inline constexpr auto SUCCESSOR_SOURCES = successor_sources(C::sticker_net, C::turn_cycles);

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

inline void stream_fence() noexcept {
#if defined(__SSE2__)
    _mm_sfence();
#endif
}

}  // namespace twirlkit

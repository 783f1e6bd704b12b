// Successor rows by difference. A quarter turn moves 20 of the 54 stickers of
// a 3x3 (12 of the 24 of a 2x2), so the row of a successor is the parent's
// row with those positions read from other parent positions. The sources
// are derived at build time from the slot cycles of each turn, so the
// kernels project a cube once and then spend per successor one row copy and
// 20 (or 12) moves, instead of a turn and a full projection.
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
#include "cube2x2/utils.hpp"
#include "cube3x3/utils.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace twirlkit {

namespace detail {

inline constexpr std::size_t MAX_MOVED_STICKERS = 20;

template <std::size_t N>
struct SuccessorMap {
    std::array<std::uint8_t, MAX_MOVED_STICKERS> target{};
    std::array<std::uint8_t, MAX_MOVED_STICKERS> source{};
    std::size_t count = 0;
};

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
consteval std::array<SuccessorMap<N>, MOVE_COUNT> successor_maps(
    const std::array<StickerSource, N>& net) {
    std::array<SuccessorMap<N>, MOVE_COUNT> maps{};
    for (std::size_t m = 0; m < MOVE_COUNT; ++m) {
        const TurnCycles& turn = TURN_CYCLES[m];
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
            if (source != p) {
                SuccessorMap<N>& map = maps[m];
                map.target[map.count] = static_cast<std::uint8_t>(p);
                map.source[map.count] = static_cast<std::uint8_t>(source);
                ++map.count;
            }
        }
    }
    return maps;
}

template <Cube C>
struct NetOf;
template <>
struct NetOf<Cube3x3> {
    static constexpr const auto& value = net::STICKERS_3X3;
};
template <>
struct NetOf<Cube2x2> {
    static constexpr const auto& value = net::STICKERS_2X2;
};

template <Cube C>
inline constexpr auto SUCCESSOR_MAPS = successor_maps(NetOf<C>::value);

static_assert(SUCCESSOR_MAPS<Cube3x3>[MOVE_R].count == 20);
static_assert(SUCCESSOR_MAPS<Cube2x2>[MOVE_F_PRIME].count == 12);

// Copies `d` int64 values from an aligned local row to the output, either
// through the cache or, for outputs far larger than it, with streaming
// stores that skip the read-for-ownership of every destination line.
template <std::size_t D, bool Stream>
inline void store_row(std::int64_t* out, const std::int64_t* row) noexcept {
#if defined(__SSE2__)
    if constexpr (Stream) {
        static_assert(D % 2 == 0);
        for (std::size_t i = 0; i < D; i += 2) {
            _mm_stream_si128(reinterpret_cast<__m128i*>(out + i),
                             _mm_load_si128(reinterpret_cast<const __m128i*>(row + i)));
        }
        return;
    }
#endif
    std::memcpy(out, row, D * sizeof(std::int64_t));
}

// Every position's source for one turn (itself where the turn leaves it).
template <Cube C, std::size_t M>
consteval std::array<std::uint8_t, C::sticker_dim> full_sources() {
    std::array<std::uint8_t, C::sticker_dim> sources{};
    for (std::size_t p = 0; p < sources.size(); ++p) sources[p] = static_cast<std::uint8_t>(p);
    const auto& map = SUCCESSOR_MAPS<C>[M];
    for (std::size_t i = 0; i < map.count; ++i) sources[map.target[i]] = map.source[i];
    return sources;
}

template <Cube C, bool Stream, std::size_t M>
inline void write_successor(const std::int64_t* parent, std::int64_t* out) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    static constexpr std::array<std::uint8_t, d> sources = full_sources<C, M>();
    if constexpr (Stream) {
        alignas(16) std::int64_t row[d];
        [&]<std::size_t... P>(std::index_sequence<P...>) {
            ((row[P] = parent[sources[P]]), ...);
        }(std::make_index_sequence<d>{});
        store_row<d, true>(out, row);
    } else {
        [&]<std::size_t... P>(std::index_sequence<P...>) {
            ((out[P] = parent[sources[P]]), ...);
        }(std::make_index_sequence<d>{});
    }
}

}  // namespace detail

// The twelve successor rows of one cube, in move-index order, written to
// rows[0 .. 12 * sticker_dim). With Stream the output must be 16-byte aligned
// and the caller fences before the rows are read by another thread.
template <Cube C, bool Stream = false>
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

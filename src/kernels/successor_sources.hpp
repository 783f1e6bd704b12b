// Where each sticker of a successor row comes from. A quarter turn only
// moves stickers, 20 of the 54 of a 3x3 (12 of the 24 of a 2x2), so every
// sticker of a successor row is some sticker of the parent's row; which one
// is derived here, at build time, from the slot cycles of the turn.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/turn_cycles.hpp"
#include "model/views.hpp"

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

}  // namespace detail

}  // namespace twirlkit

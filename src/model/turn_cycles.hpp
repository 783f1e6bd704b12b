// The twelve quarter turns as slot cycles, in move-index order: the data
// from which the successor kernels derive, at build time, where each sticker
// of a successor comes from. The corner half is the same for every cube; a
// cube with edges adds its edge cycles and flips (its `turn_cycles` member).
#pragma once

#include <array>

#include "model/corner_word.hpp"
#include "model/cube.hpp"

namespace twirlkit {

// The slot cycles of one turn. A cube without edges leaves `edges` empty
// (all steps 0 -> 0), which no net of it reads.
struct TurnCycles {
    Cycle corners;
    Cycle edges{};
    unsigned edge_flip = 0;
};

namespace detail {

// U and D turns are written as cycles here although the turns themselves
// are rotations.
inline constexpr Cycle U_CYCLE{{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 0, 0}}};
inline constexpr Cycle U_PRIME_CYCLE{{{0, 3, 0}, {3, 2, 0}, {2, 1, 0}, {1, 0, 0}}};
inline constexpr Cycle D_CYCLE{{{4, 7, 0}, {7, 6, 0}, {6, 5, 0}, {5, 4, 0}}};
inline constexpr Cycle D_PRIME_CYCLE{{{4, 5, 0}, {5, 6, 0}, {6, 7, 0}, {7, 4, 0}}};

}  // namespace detail

// The corner-word cycles of the twelve turns, in move-index order.
inline constexpr std::array<Cycle, MOVE_COUNT> CORNER_CYCLES{{
    detail::U_CYCLE, detail::U_PRIME_CYCLE, detail::D_CYCLE, detail::D_PRIME_CYCLE,
    corner_turn::R, corner_turn::R_PRIME, corner_turn::L, corner_turn::L_PRIME,
    corner_turn::F, corner_turn::F_PRIME, corner_turn::B, corner_turn::B_PRIME,
}};

// The turn table of a cube with corners only.
consteval std::array<TurnCycles, MOVE_COUNT> corner_turn_cycles() {
    std::array<TurnCycles, MOVE_COUNT> turns{};
    for (std::size_t m = 0; m < MOVE_COUNT; ++m) turns[m].corners = CORNER_CYCLES[m];
    return turns;
}

// The turn table of a cube whose edge word keeps the U layer in slots 0-3
// and the D layer in slots 4-7 (so U and D move edges as they move corners):
// the edge cycles of R, R', L, L', F, F', B, B' and which of those flip.
consteval std::array<TurnCycles, MOVE_COUNT> turn_cycles_with_edges(
    const std::array<Cycle, MOVE_COUNT - 4>& side_edges,
    const std::array<unsigned, MOVE_COUNT - 4>& side_flips) {
    std::array<TurnCycles, MOVE_COUNT> turns = corner_turn_cycles();
    for (std::size_t m = 0; m < 4; ++m) turns[m].edges = CORNER_CYCLES[m];
    for (std::size_t m = 4; m < MOVE_COUNT; ++m) {
        turns[m].edges = side_edges[m - 4];
        turns[m].edge_flip = side_flips[m - 4];
    }
    return turns;
}

}  // namespace twirlkit

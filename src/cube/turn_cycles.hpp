// The twelve quarter turns as slot cycles, in move-index order: the data
// from which the successor kernels derive, at build time, where each sticker
// of a successor comes from.
#pragma once

#include <array>

#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube3x3/utils.hpp"

namespace twirlkit {

namespace detail {

// The slot cycles of the twelve turns in move-index order; U and D turns are
// written as cycles here although the turns themselves are rotations.
struct TurnCycles {
    Cycle corners;
    Cycle edges;
    unsigned edge_flip;
};

inline constexpr Cycle U_CYCLE{{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 0, 0}}};
inline constexpr Cycle U_PRIME_CYCLE{{{0, 3, 0}, {3, 2, 0}, {2, 1, 0}, {1, 0, 0}}};
inline constexpr Cycle D_CYCLE{{{4, 7, 0}, {7, 6, 0}, {6, 5, 0}, {5, 4, 0}}};
inline constexpr Cycle D_PRIME_CYCLE{{{4, 5, 0}, {5, 6, 0}, {6, 7, 0}, {7, 4, 0}}};

inline constexpr std::array<TurnCycles, MOVE_COUNT> TURN_CYCLES{{
    {U_CYCLE, U_CYCLE, 0},
    {U_PRIME_CYCLE, U_PRIME_CYCLE, 0},
    {D_CYCLE, D_CYCLE, 0},
    {D_PRIME_CYCLE, D_PRIME_CYCLE, 0},
    {corner_turn::R, edge_turn::R, 0},
    {corner_turn::R_PRIME, edge_turn::R_PRIME, 0},
    {corner_turn::L, edge_turn::L, 0},
    {corner_turn::L_PRIME, edge_turn::L_PRIME, 0},
    {corner_turn::F, edge_turn::F, 1},
    {corner_turn::F_PRIME, edge_turn::F_PRIME, 1},
    {corner_turn::B, edge_turn::B, 1},
    {corner_turn::B_PRIME, edge_turn::B_PRIME, 1},
}};

}  // namespace detail

}  // namespace twirlkit

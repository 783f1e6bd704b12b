// The twelve quarter turns as slot cycles, and a table-driven form of the
// turn by move index for data-dependent moves.
//
// apply_move_index_internal dispatches on the index with a 12-way jump, which
// on random indexes (scrambles, caller-given move arrays) mispredicts almost
// every time and then costs more than the turn itself. The table form reads
// each destination slot's source and twist from a row of the table instead:
// the same work for every index, with no branch on it. Index 12 and above
// select an identity row.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube2x2/utils.hpp"
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

// One row per move index plus the identity row: for every destination slot
// the slot it is taken from and, for corners, the twist it gains.
struct TurnRow {
    std::array<std::uint8_t, CORNER_COUNT> corner_source;
    std::array<std::uint8_t, CORNER_COUNT> corner_twist;
    std::array<std::uint8_t, EDGE_COUNT> edge_source;
    Word edge_flips;
};

consteval std::array<TurnRow, MOVE_COUNT + 1> turn_rows() {
    std::array<TurnRow, MOVE_COUNT + 1> rows{};
    for (std::size_t m = 0; m <= MOVE_COUNT; ++m) {
        TurnRow& row = rows[m];
        for (unsigned s = 0; s < CORNER_COUNT; ++s) row.corner_source[s] = static_cast<std::uint8_t>(s);
        for (unsigned s = 0; s < EDGE_COUNT; ++s) row.edge_source[s] = static_cast<std::uint8_t>(s);
        if (m == MOVE_COUNT) continue;
        const TurnCycles& turn = TURN_CYCLES[m];
        for (const SlotStep& step : turn.corners) {
            row.corner_source[step.to] = static_cast<std::uint8_t>(step.from);
            row.corner_twist[step.to] = static_cast<std::uint8_t>(step.twist);
        }
        for (const SlotStep& step : turn.edges) {
            row.edge_source[step.to] = static_cast<std::uint8_t>(step.from);
            if (turn.edge_flip) row.edge_flips |= Word{1} << (SLOT_BITS * step.to + FLIP_SHIFT);
        }
    }
    return rows;
}

inline constexpr std::array<TurnRow, MOVE_COUNT + 1> TURN_ROWS = turn_rows();

// Clamps an index to the identity row without a branch.
constexpr std::size_t turn_row_index(MoveIndex move) noexcept {
    return move < MOVE_COUNT ? move : MOVE_COUNT;
}

constexpr Word table_turn_corners(Word word, const TurnRow& row) noexcept {
    Word out = 0;
    for (unsigned s = 0; s < CORNER_COUNT; ++s) {
        out |= twist_corner(slot_value(word, row.corner_source[s]), row.corner_twist[s])
               << (SLOT_BITS * s);
    }
    return out;
}

constexpr Word table_turn_edges(Word word, const TurnRow& row) noexcept {
    Word out = 0;
    for (unsigned s = 0; s < EDGE_COUNT; ++s) {
        out |= slot_value(word, row.edge_source[s]) << (SLOT_BITS * s);
    }
    return out ^ row.edge_flips;
}

}  // namespace detail

// The same result as apply_move_index_internal, computed from the table.
constexpr void apply_move_index_table(Cube3x3& cube, MoveIndex move) noexcept {
    const detail::TurnRow& row = detail::TURN_ROWS[detail::turn_row_index(move)];
    cube.corners = detail::table_turn_corners(cube.corners, row);
    cube.edges = detail::table_turn_edges(cube.edges, row);
}

constexpr void apply_move_index_table(Cube2x2& cube, MoveIndex move) noexcept {
    const detail::TurnRow& row = detail::TURN_ROWS[detail::turn_row_index(move)];
    cube.state = detail::table_turn_corners(cube.state, row);
}

}  // namespace twirlkit

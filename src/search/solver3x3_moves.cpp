// Move tables: each coordinate after each turn.
#include "runtime/parallel.hpp"
#include "search/solver3x3_tables.hpp"

namespace twirlkit {

namespace two_phase {

namespace {

constexpr std::size_t GRAIN = 1024;

// table[c * turns + k] = coordinate of (a cube with coordinate c) after turns[k].
template <class Set, class Get, std::size_t TurnCount>
SolverTables::Table16 build_move_table(std::size_t count, const std::array<FaceTurn, TurnCount>& turns,
                                       Set set, Get get) {
    const Cubies solved = cubies_of(Cube3x3{});
    SolverTables::Table16 table(count * TurnCount);
    parallel_for(0, count, GRAIN, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            Cubies s = solved;
            set(s, static_cast<unsigned>(c));
            const Cube3x3 cube = cube_of(s);
            for (std::size_t k = 0; k < TurnCount; ++k) {
                Cube3x3 turned = cube;
                apply_face_turn(turned, turns[k]);
                table[c * TurnCount + k] = static_cast<std::uint16_t>(get(cubies_of(turned)));
            }
        }
    });
    return table;
}

}  // namespace

void build_move_tables(SolverTables& t) {
    t.twist_move = build_move_table(TWIST_COUNT, COLUMN_TURNS, set_twist, twist_of);
    t.flip_move = build_move_table(FLIP_COUNT, COLUMN_TURNS, set_flip, flip_of);
    t.slice_sorted_move =
        build_move_table(SLICE_SORTED_COUNT, COLUMN_TURNS, set_slice_sorted, slice_sorted_of);
    t.corner_move = build_move_table(CORNER_PERM_COUNT, COLUMN_TURNS, set_corner_perm, corner_perm_of);
    t.ud_edge_move =
        build_move_table(UD_EDGE_PERM_COUNT, PHASE2_TURNS, set_ud_edge_perm, ud_edge_perm_of);
    t.derive();
}

}  // namespace two_phase

void SolverTables::derive() noexcept {
    for (std::size_t p = 0; p < SLICE_COUNT; ++p) {
        for (std::size_t m = 0; m < FACE_TURN_COUNT; ++m) {
            slice_move[p * FACE_TURN_COUNT + m] = static_cast<std::uint16_t>(
                slice_sorted_move[p * SLICE_PERM_COUNT * FACE_TURN_COUNT + m] / SLICE_PERM_COUNT);
        }
    }
    for (std::size_t q = 0; q < SLICE_PERM_COUNT; ++q) {
        for (std::size_t k = 0; k < PHASE2_TURN_COUNT; ++k) {
            slice_perm_move[q * PHASE2_TURN_COUNT + k] = static_cast<std::uint8_t>(
                slice_sorted_move[q * FACE_TURN_COUNT + two_phase::PHASE2_COLUMNS[k]]);
        }
    }
}

}  // namespace twirlkit

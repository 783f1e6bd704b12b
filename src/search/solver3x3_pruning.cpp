// Pruning tables: distances of coordinate pairs, found breadth-first
// (search/breadth_first.hpp), and the build of every table.
#include <bit>
#include <chrono>
#include <cstdio>

#include "search/breadth_first.hpp"
#include "search/solver3x3_tables.hpp"

namespace twirlkit::two_phase {

namespace {

using Table8 = SolverTables::Table8;

// Distances of a pair of coordinates, index a * count_b + b, from (0, 0).
template <class MoveA, class MoveB>
Table8 build_pair_table(std::size_t count_a, std::size_t count_b, std::size_t turn_count,
                        MoveA move_a, MoveB move_b) {
    Table8 table(count_a * count_b, ByteEntries::UNREACHED);
    breadth_first(ByteEntries(table.data()),
                  BreadthFirstSpace{count_a, count_b, 0, ByteEntries::MAX_DISTANCE},
                  [&](std::size_t a, std::size_t b, auto&& visit) {
                      for (std::size_t k = 0; k < turn_count; ++k) {
                          if (visit(std::size_t{move_a(a, k)} * count_b + move_b(b, k))) return;
                      }
                  });
    return table;
}

// Breadth-first over (corner class, edge permutation) pairs, four bits an
// entry. Each entry stands for one position: the class's least corner
// permutation with that edge permutation. Distances stop at 14; the entries
// left unreached (15) are 15 or more.
void build_corner_edge_table(SolverTables& t) {
    constexpr std::size_t count = CORNER_CLASS_COUNT * UD_EDGE_PERM_COUNT;
    t.corner_edge.assign(count / 16, ~std::uint64_t{0});
    // A class whose least member some symmetries fix has, for one position,
    // several entries (the edge permutation seen through each of them): a
    // neighbour is all of them.
    const std::vector<std::uint16_t> fixing = class_fixing_symmetries(t);
    const auto neighbours = [&t, &fixing](std::size_t klass, std::size_t edge, auto&& visit) {
        const unsigned rep = t.corner_class_rep[klass];
        for (std::size_t k = 0; k < PHASE2_TURN_COUNT; ++k) {
            const unsigned corner = t.corner_move[rep * FACE_TURN_COUNT + PHASE2_COLUMNS[k]];
            const unsigned next_edge = t.ud_edge_move[edge * PHASE2_TURN_COUNT + k];
            const std::size_t n = t.corner_edge_index(corner, next_edge);
            if (visit(n)) return;
            const std::size_t next_class = n / UD_EDGE_PERM_COUNT;
            const std::size_t seen_edge = n % UD_EDGE_PERM_COUNT;
            for (unsigned mask = fixing[next_class]; mask != 0; mask &= mask - 1) {
                const std::size_t twin =
                    next_class * UD_EDGE_PERM_COUNT +
                    t.ud_edge_conj[seen_edge * SYMMETRY_COUNT + std::countr_zero(mask)];
                if (visit(twin)) return;
            }
        }
    };
    breadth_first(NibbleEntries(t.corner_edge.data()),
                  BreadthFirstSpace{CORNER_CLASS_COUNT, UD_EDGE_PERM_COUNT, 0,
                                    NibbleEntries::MAX_DISTANCE},
                  neighbours);
}

}  // namespace

std::shared_ptr<SolverTables> build_tables(bool progress) {
    const auto started = std::chrono::steady_clock::now();
    const auto report = [&](const char* what) {
        if (!progress) return;
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
        std::fprintf(stderr, "twirlkit: 3x3 solver tables: %s (%.1f s)\n", what, spent.count());
    };
    if (progress) {
        std::fprintf(stderr, "twirlkit: building the 3x3 solver tables; this happens once\n");
    }
    auto t = std::make_shared<SolverTables>();
    build_move_tables(*t);
    report("move tables done (1/7)");

    const SolverTables& m = *t;
    // A move table as a function of (coordinate, column).
    const auto all_turns = [](const auto& table) {
        return [&table](std::size_t c, std::size_t k) { return table[c * FACE_TURN_COUNT + k]; };
    };
    const auto g1_turns = [](const auto& table) {
        return [&table](std::size_t c, std::size_t k) { return table[c * PHASE2_TURN_COUNT + k]; };
    };
    const auto corner_g1 = [&m](std::size_t c, std::size_t k) {
        return m.corner_move[c * FACE_TURN_COUNT + PHASE2_COLUMNS[k]];
    };
    t->twist_slice = build_pair_table(TWIST_COUNT, SLICE_COUNT, FACE_TURN_COUNT,
                                      all_turns(m.twist_move), all_turns(m.slice_move));
    report("twist and middle-edge places done (2/7)");
    t->flip_slice = build_pair_table(FLIP_COUNT, SLICE_COUNT, FACE_TURN_COUNT,
                                     all_turns(m.flip_move), all_turns(m.slice_move));
    report("flip and middle-edge places done (3/7)");
    t->twist_flip = build_pair_table(TWIST_COUNT, FLIP_COUNT, FACE_TURN_COUNT,
                                     all_turns(m.twist_move), all_turns(m.flip_move));
    report("twist and flip done (4/7)");
    t->corner_slice = build_pair_table(CORNER_PERM_COUNT, SLICE_PERM_COUNT, PHASE2_TURN_COUNT,
                                       corner_g1, g1_turns(m.slice_perm_move));
    report("corner and middle-edge order done (5/7)");
    t->edge_slice = build_pair_table(UD_EDGE_PERM_COUNT, SLICE_PERM_COUNT, PHASE2_TURN_COUNT,
                                     g1_turns(m.ud_edge_move), g1_turns(m.slice_perm_move));
    report("edge and middle-edge order done (6/7)");
    build_symmetry_tables(*t);
    build_corner_edge_table(*t);
    report("corners and edges by symmetry class done (7/7)");
    return t;
}

}  // namespace twirlkit::two_phase

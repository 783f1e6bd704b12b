// Pruning tables: distances of coordinate pairs, found breadth-first
// (search/breadth_first.hpp), the build of every table, and the look at
// tables read from a file.
#include <bit>
#include <chrono>
#include <cstdio>
#include <random>

#include "search/breadth_first.hpp"
#include "search/solver3x3_tables.hpp"

namespace twirlkit::two_phase {

namespace {

using Table8 = SolverTables::Table8;

// The entries a * count_b + b of a pair table and their neighbours, one per
// turn, from the coordinates' move tables.
template <class MoveA, class MoveB>
struct PairSpace {
    std::size_t count_a;
    std::size_t count_b;
    std::size_t turn_count;
    MoveA move_a;
    MoveB move_b;

    BreadthFirstSpace shape() const noexcept {
        return {count_a, count_b, 0, ByteEntries::MAX_DISTANCE};
    }
    template <class Visit>
    void operator()(std::size_t a, std::size_t b, Visit&& visit) const {
        for (std::size_t k = 0; k < turn_count; ++k) {
            if (visit(std::size_t{move_a(a, k)} * count_b + move_b(b, k))) return;
        }
    }
};
template <class MoveA, class MoveB>
PairSpace(std::size_t, std::size_t, std::size_t, MoveA, MoveB) -> PairSpace<MoveA, MoveB>;

// f(table member, space, what) for the five pair tables, in build order.
template <class F>
void for_each_pair_table(const SolverTables& m, F&& f) {
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
    f(&SolverTables::twist_slice,
      PairSpace{TWIST_COUNT, SLICE_COUNT, FACE_TURN_COUNT, all_turns(m.twist_move), all_turns(m.slice_move)},
      "twist and middle-edge places done (2/7)");
    f(&SolverTables::flip_slice,
      PairSpace{FLIP_COUNT, SLICE_COUNT, FACE_TURN_COUNT, all_turns(m.flip_move), all_turns(m.slice_move)},
      "flip and middle-edge places done (3/7)");
    f(&SolverTables::twist_flip,
      PairSpace{TWIST_COUNT, FLIP_COUNT, FACE_TURN_COUNT, all_turns(m.twist_move), all_turns(m.flip_move)},
      "twist and flip done (4/7)");
    f(&SolverTables::corner_slice,
      PairSpace{CORNER_PERM_COUNT, SLICE_PERM_COUNT, PHASE2_TURN_COUNT, corner_g1,
                g1_turns(m.slice_perm_move)},
      "corner and middle-edge order done (5/7)");
    f(&SolverTables::edge_slice,
      PairSpace{UD_EDGE_PERM_COUNT, SLICE_PERM_COUNT, PHASE2_TURN_COUNT, g1_turns(m.ud_edge_move),
                g1_turns(m.slice_perm_move)},
      "edge and middle-edge order done (6/7)");
}

// The (corner class, edge permutation) pairs, four bits an entry. Each
// entry stands for one position: the class's least corner permutation with
// that edge permutation. A class whose least member some symmetries fix has,
// for one position, several entries (the edge permutation seen through each
// of them): a neighbour is all of them.
struct CornerEdgeSpace {
    const SolverTables& t;
    std::vector<std::uint16_t> fixing = class_fixing_symmetries(t);

    static BreadthFirstSpace shape() noexcept {
        return {CORNER_CLASS_COUNT, UD_EDGE_PERM_COUNT, 0, NibbleEntries::MAX_DISTANCE};
    }
    template <class Visit>
    void operator()(std::size_t klass, std::size_t edge, Visit&& visit) const {
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
    }
};

}  // namespace

std::shared_ptr<SolverTables> build_tables(const BuildProgress& progress) {
    const auto started = std::chrono::steady_clock::now();
    const auto report = [&](const char* what) {
        const std::chrono::duration<double> spent = std::chrono::steady_clock::now() - started;
        char line[160];
        std::snprintf(line, sizeof line, "twirlkit: 3x3 solver tables: %s (%.1f s)\n", what,
                      spent.count());
        progress(line);
    };
    progress("twirlkit: building the 3x3 solver tables; this happens once\n");
    auto t = std::make_shared<SolverTables>();
    build_move_tables(*t);
    report("move tables done (1/7)");
    for_each_pair_table(*t, [&](Table8 SolverTables::*member, const auto& space, const char* what) {
        Table8& table = (*t).*member;
        table.assign(space.count_a * space.count_b, ByteEntries::UNREACHED);
        breadth_first(ByteEntries(table.data()), space.shape(), space);
        report(what);
    });
    build_symmetry_tables(*t);
    t->corner_edge.assign(CORNER_CLASS_COUNT * UD_EDGE_PERM_COUNT / 16, ~std::uint64_t{0});
    breadth_first(NibbleEntries(t->corner_edge.data()), CornerEdgeSpace::shape(),
                  CornerEdgeSpace{*t});
    report("corners and edges by symmetry class done (7/7)");
    return t;
}

bool pruning_tables_hold(const SolverTables& t, std::size_t samples) {
    std::mt19937_64 random(std::random_device{}());
    bool holds = true;
    for_each_pair_table(t, [&](Table8 SolverTables::*member, const auto& space, const char*) {
        // The entries are only read: the cast gives the reader's type.
        auto* bytes = const_cast<std::uint8_t*>((t.*member).data());
        holds = holds && breadth_first_sample_holds(ByteEntries(bytes), space.shape(), space,
                                                    ByteEntries::UNREACHED, samples, random);
    });
    auto* words = const_cast<std::uint64_t*>(t.corner_edge.data());
    return holds && breadth_first_sample_holds(NibbleEntries(words), CornerEdgeSpace::shape(),
                                               CornerEdgeSpace{t}, NibbleEntries::UNREACHED,
                                               samples, random);
}

}  // namespace twirlkit::two_phase

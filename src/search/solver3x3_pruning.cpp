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

// f(table member, space, what) for the two pair tables, in build order.
template <class F>
void for_each_pair_table(const SolverTables& m, F&& f) {
    // A move table as a function of (coordinate, column).
    const auto g1_turns = [](const auto& table) {
        return [&table](std::size_t c, std::size_t k) { return table[c * PHASE2_TURN_COUNT + k]; };
    };
    const auto corner_g1 = [&m](std::size_t c, std::size_t k) {
        return m.corner_move[c * FACE_TURN_COUNT + PHASE2_COLUMNS[k]];
    };
    f(&SolverTables::corner_slice,
      PairSpace{CORNER_PERM_COUNT, SLICE_PERM_COUNT, PHASE2_TURN_COUNT, corner_g1,
                g1_turns(m.slice_perm_move)},
      "corner and middle-edge order done (2/5)");
    f(&SolverTables::edge_slice,
      PairSpace{UD_EDGE_PERM_COUNT, SLICE_PERM_COUNT, PHASE2_TURN_COUNT, g1_turns(m.ud_edge_move),
                g1_turns(m.slice_perm_move)},
      "edge and middle-edge order done (3/5)");
}

// Pairs (class, second coordinate), four bits an entry, where the class is
// a symmetry class of a first coordinate and the second is seen through
// the symmetry that takes the first to its class's least member. Each entry
// stands for one position: the least member with that second coordinate. A
// class whose least member some symmetries fix has, for one position,
// several entries (the second coordinate seen through each of them): a
// neighbour is all of them.
//
// neighbour(klass, second, k): the entry after turn k; conjugate(second, s):
// the second coordinate seen through symmetry s; fixing: the symmetries
// (bit s) that fix each class's least member.
template <class Neighbour, class Conjugate>
struct ClassSpace {
    std::size_t class_count;
    std::size_t second_count;
    std::size_t turn_count;
    const std::uint16_t* fixing;
    Neighbour neighbour;
    Conjugate conjugate;

    BreadthFirstSpace shape() const noexcept {
        return {class_count, second_count, 0, NibbleEntries::MAX_DISTANCE};
    }
    template <class Visit>
    void operator()(std::size_t klass, std::size_t second, Visit&& visit) const {
        for (std::size_t k = 0; k < turn_count; ++k) {
            const std::size_t n = neighbour(klass, second, k);
            if (visit(n)) return;
            const std::size_t next_class = n / second_count;
            const std::size_t seen = n % second_count;
            for (unsigned mask = fixing[next_class]; mask != 0; mask &= mask - 1) {
                if (visit(next_class * second_count +
                          conjugate(seen, static_cast<unsigned>(std::countr_zero(mask))))) {
                    return;
                }
            }
        }
    }
};
template <class Neighbour, class Conjugate>
ClassSpace(std::size_t, std::size_t, std::size_t, const std::uint16_t*, Neighbour, Conjugate)
    -> ClassSpace<Neighbour, Conjugate>;

// Corner classes and U and D edge permutations, in G1.
auto corner_edge_space(const SolverTables& t, const std::vector<std::uint16_t>& fixing) {
    return ClassSpace{
        CORNER_CLASS_COUNT, UD_EDGE_PERM_COUNT, PHASE2_TURN_COUNT, fixing.data(),
        [&t](std::size_t klass, std::size_t edge, std::size_t k) {
            const unsigned rep = t.corner_class_rep[klass];
            return t.corner_edge_index(t.corner_move[rep * FACE_TURN_COUNT + PHASE2_COLUMNS[k]],
                                       t.ud_edge_move[edge * PHASE2_TURN_COUNT + k]);
        },
        [&t](std::size_t edge, unsigned s) -> std::size_t {
            return t.ud_edge_conj[edge * SYMMETRY_COUNT + s];
        }};
}

// The space keeps a pointer into `fixing`, which must outlive it.
auto corner_edge_space(const SolverTables&, std::vector<std::uint16_t>&&) = delete;

// Flip-and-slice classes and twists, under all eighteen turns.
auto flipslice_twist_space(const SolverTables& t) {
    return ClassSpace{
        FLIPSLICE_CLASS_COUNT, TWIST_COUNT, FACE_TURN_COUNT, t.flipslice_fixing.data(),
        [&t](std::size_t klass, std::size_t twist, std::size_t k) {
            const std::uint32_t rep = t.flipslice_class_rep[klass];
            const std::size_t slice = t.slice_move[rep / FLIP_COUNT * FACE_TURN_COUNT + k];
            const std::size_t flip = t.flip_move[rep % FLIP_COUNT * FACE_TURN_COUNT + k];
            return t.flipslice_twist_index(slice * FLIP_COUNT + flip,
                                           t.twist_move[twist * FACE_TURN_COUNT + k]);
        },
        [&t](std::size_t twist, unsigned s) -> std::size_t {
            return t.twist_conj[twist * SYMMETRY_COUNT + s];
        }};
}

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
    report("move tables done (1/5)");
    for_each_pair_table(*t, [&](Table8 SolverTables::*member, const auto& space, const char* what) {
        Table8& table = (*t).*member;
        table.assign(space.count_a * space.count_b, ByteEntries::UNREACHED);
        breadth_first(ByteEntries(table.data()), space.shape(), space);
        report(what);
    });
    build_symmetry_tables(*t);
    t->corner_edge.assign(CORNER_CLASS_COUNT * UD_EDGE_PERM_COUNT / 16, ~std::uint64_t{0});
    const std::vector<std::uint16_t> corner_fixing = class_fixing_symmetries(*t);
    const auto corner_edge = corner_edge_space(*t, corner_fixing);
    breadth_first(NibbleEntries(t->corner_edge.data()), corner_edge.shape(), corner_edge);
    report("corners and edges by symmetry class done (4/5)");
    t->flipslice_twist.assign(SolverTables::nibble_words(FLIPSLICE_CLASS_COUNT * TWIST_COUNT),
                              ~std::uint64_t{0});
    const auto flipslice_twist = flipslice_twist_space(*t);
    breadth_first(NibbleEntries(t->flipslice_twist.data()), flipslice_twist.shape(),
                  flipslice_twist);
    report("flip, middle-edge places and twist by symmetry class done (5/5)");
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
    const auto nibbles_hold = [&](const SolverTables::Nibbles& table, const auto& space) {
        auto* words = const_cast<std::uint64_t*>(table.data());
        return breadth_first_sample_holds(NibbleEntries(words), space.shape(), space,
                                          NibbleEntries::UNREACHED, samples, random);
    };
    const std::vector<std::uint16_t> fixing = class_fixing_symmetries(t);
    return holds && nibbles_hold(t.corner_edge, corner_edge_space(t, fixing)) &&
           nibbles_hold(t.flipslice_twist, flipslice_twist_space(t));
}

}  // namespace twirlkit::two_phase

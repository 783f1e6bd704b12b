// Symmetries
//
// The sixteen symmetries of the cube that keep the U-D axis in place: the
// quarter rotations about it (y), the half rotation that swaps U and D (x2)
// and the left-right mirror, in all combinations, taken from the model's 48
// (model/symmetry.hpp). They map the turns to turns and G1 turns to G1
// turns, so two positions related by one of them are equally far from G1,
// and two G1 positions equally far from solved. Each moves the piece in
// slot i to slot map[i], and as piece k lives in slot k when solved, piece
// k is renamed map[k].
#include <algorithm>
#include <limits>
#include <stdexcept>

#include "model/symmetry.hpp"
#include "runtime/parallel.hpp"
#include "search/coordinates.hpp"
#include "search/solver3x3_tables.hpp"

namespace twirlkit::two_phase {

namespace {

// The solver's number of a model symmetry, SYMMETRY_COUNT for the others.
constexpr std::array<std::uint8_t, CUBE_SYMMETRY_COUNT> SOLVER_SYMMETRY = [] {
    std::array<std::uint8_t, CUBE_SYMMETRY_COUNT> out{};
    out.fill(SYMMETRY_COUNT);
    for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) out[model_symmetry(s)] = static_cast<std::uint8_t>(s);
    return out;
}();

constexpr bool sixteen_are_a_group() noexcept {
    for (unsigned a = 0; a < SYMMETRY_COUNT; ++a) {
        for (unsigned b = 0; b < SYMMETRY_COUNT; ++b) {
            if (SOLVER_SYMMETRY[SYMMETRY_PRODUCT[model_symmetry(a)][model_symmetry(b)]] ==
                SYMMETRY_COUNT) {
                return false;
            }
        }
        const Symmetry& s = SYMMETRIES[model_symmetry(a)];
        if (s.face_to[0] / 2 != 0) return false;  // the U-D axis stays
    }
    return model_symmetry(0) == 0;
}
static_assert(sixteen_are_a_group());

// s^-1 for each of the sixteen.
constexpr std::array<std::uint8_t, SYMMETRY_COUNT> INVERSE = [] {
    std::array<std::uint8_t, SYMMETRY_COUNT> out{};
    for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
        out[s] = SOLVER_SYMMETRY[SYMMETRY_INVERSE[model_symmetry(s)]];
    }
    return out;
}();

constexpr const Symmetry& symmetry(unsigned s) noexcept { return SYMMETRIES[model_symmetry(s)]; }

// The permutation (piece by slot) seen through a slot map.
template <std::size_t N>
std::array<std::uint8_t, N> conjugate(const std::array<std::uint8_t, N>& perm,
                                      const std::array<std::uint8_t, N>& map) noexcept {
    std::array<std::uint8_t, N> out{};
    for (std::size_t i = 0; i < N; ++i) out[map[i]] = map[perm[i]];
    return out;
}

std::array<std::uint8_t, 8> first_eight(const std::array<std::uint8_t, EDGE_COUNT>& edge) noexcept {
    std::array<std::uint8_t, 8> out{};
    std::copy(edge.begin(), edge.begin() + 8, out.begin());
    return out;
}

constexpr std::size_t GRAIN = 1024;

// The symmetry classes of a coordinate with values 0 .. class_of.size() - 1,
// where conj(c, s) is c seen through symmetry s: the class of each value,
// the symmetry that takes it to its class's least member, those members in
// order, and for each the symmetries other than the identity that fix it.
template <class Class, class Member, class Conj>
void build_classes(std::vector<Class>& class_of, SolverTables::Table8& sym_of,
                   std::vector<Member>& members, std::vector<std::uint16_t>* fixing,
                   std::size_t class_count, Conj conj, const char* what) {
    constexpr Class NONE = std::numeric_limits<Class>::max();
    const std::size_t count = class_of.size();
    std::fill(class_of.begin(), class_of.end(), NONE);
    sym_of.assign(count, 0);
    members.clear();
    members.reserve(class_count);
    if (fixing != nullptr) fixing->clear();
    for (std::size_t c = 0; c < count; ++c) {
        if (class_of[c] != NONE) continue;
        // Every smaller member of this class would have claimed it: c is
        // the least.
        if (members.size() == class_count) throw std::logic_error(what);
        const auto klass = static_cast<Class>(members.size());
        members.push_back(static_cast<Member>(c));
        std::uint16_t fixed = 0;
        for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
            const std::size_t seen = conj(c, s);
            if (seen == c && s != 0) fixed = static_cast<std::uint16_t>(fixed | (1U << s));
            if (class_of[seen] != NONE) continue;
            class_of[seen] = klass;
            sym_of[seen] = INVERSE[s];
        }
        if (fixing != nullptr) fixing->push_back(fixed);
    }
    if (members.size() != class_count) throw std::logic_error(what);
}

std::size_t conjugate_corner_perm(std::size_t cp, unsigned s) noexcept {
    return permutation_rank(
        conjugate(permutation_of_rank<8>(static_cast<std::uint32_t>(cp)), symmetry(s).corner_to));
}

// The flip and middle-edge places depend only on the flip and places before:
// the sixteen keep the middle layer, and change an edge's flip only by
// whether its piece and its slot are in the middle layer.
std::size_t conjugate_flipslice(std::size_t flipslice, unsigned s) noexcept {
    Cubies c = cubies_of(Cube3x3{});
    set_slice_sorted(c, static_cast<unsigned>(flipslice / FLIP_COUNT * SLICE_PERM_COUNT));
    set_flip(c, static_cast<unsigned>(flipslice % FLIP_COUNT));
    const Cubies seen = cubies_of(conjugate_cube(cube_of(c), s));
    return std::size_t{slice_sorted_of(seen) / SLICE_PERM_COUNT} * FLIP_COUNT + flip_of(seen);
}

// The twist likewise: a mirror turns every twist the other way, the others
// keep it.
unsigned conjugate_twist(unsigned twist, unsigned s) noexcept {
    Cubies c = cubies_of(Cube3x3{});
    set_twist(c, twist);
    return twist_of(cubies_of(conjugate_cube(cube_of(c), s)));
}

}  // namespace

Cube3x3 conjugate_cube(const Cube3x3& cube, unsigned s) noexcept {
    return transform_cube(model_symmetry(s), cube);
}

void build_symmetry_tables(SolverTables& t) {
    t.corner_class.resize(CORNER_PERM_COUNT);
    build_classes(t.corner_class, t.corner_class_sym, t.corner_class_rep, nullptr,
                  CORNER_CLASS_COUNT, conjugate_corner_perm, "corner symmetry classes miscounted");
    t.ud_edge_conj.assign(UD_EDGE_PERM_COUNT * SYMMETRY_COUNT, 0);
    parallel_for(0, UD_EDGE_PERM_COUNT, GRAIN, [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e) {
            const auto perm = permutation_of_rank<8>(static_cast<std::uint32_t>(e));
            for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
                t.ud_edge_conj[e * SYMMETRY_COUNT + s] = static_cast<std::uint16_t>(
                    permutation_rank(conjugate(perm, first_eight(symmetry(s).edge_to))));
            }
        }
    });
    t.flipslice_class.resize(FLIPSLICE_COUNT);
    build_classes(t.flipslice_class, t.flipslice_class_sym, t.flipslice_class_rep,
                  &t.flipslice_fixing, FLIPSLICE_CLASS_COUNT, conjugate_flipslice,
                  "flip and slice symmetry classes miscounted");
    t.twist_conj.assign(TWIST_COUNT * SYMMETRY_COUNT, 0);
    for (unsigned twist = 0; twist < TWIST_COUNT; ++twist) {
        for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
            t.twist_conj[twist * SYMMETRY_COUNT + s] =
                static_cast<std::uint16_t>(conjugate_twist(twist, s));
        }
    }
}

std::vector<std::uint16_t> class_fixing_symmetries(const SolverTables& t) {
    std::vector<std::uint16_t> fixing(CORNER_CLASS_COUNT, 0);
    for (std::size_t c = 0; c < CORNER_CLASS_COUNT; ++c) {
        const std::size_t rep = t.corner_class_rep[c];
        for (unsigned s = 1; s < SYMMETRY_COUNT; ++s) {
            if (conjugate_corner_perm(rep, s) == rep) fixing[c] |= std::uint16_t(1U << s);
        }
    }
    return fixing;
}

}  // namespace twirlkit::two_phase

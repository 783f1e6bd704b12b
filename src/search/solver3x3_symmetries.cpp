// Symmetries
//
// The sixteen symmetries of the cube that keep the U-D axis in place: the
// quarter rotations about it (y), the half rotation about the F-B axis (z2)
// and the left-right mirror, in all combinations. They map G1 turns to G1
// turns, so two G1 positions related by one of them are equally far from
// solved. Each is a slot map: the piece in slot i goes to slot map[i], and as
// piece k lives in slot k when solved, piece k is renamed map[k].
#include <algorithm>
#include <stdexcept>

#include "runtime/parallel.hpp"
#include "search/coordinates.hpp"
#include "search/solver3x3_tables.hpp"

namespace twirlkit::two_phase {

namespace {

struct SlotMaps {
    std::array<std::uint8_t, CORNER_COUNT> corner{};
    std::array<std::uint8_t, EDGE_COUNT> edge{};
    friend bool operator==(const SlotMaps&, const SlotMaps&) = default;
};

// b first, then a.
SlotMaps compose(const SlotMaps& a, const SlotMaps& b) noexcept {
    SlotMaps out;
    for (unsigned i = 0; i < CORNER_COUNT; ++i) out.corner[i] = a.corner[b.corner[i]];
    for (unsigned i = 0; i < EDGE_COUNT; ++i) out.edge[i] = a.edge[b.edge[i]];
    return out;
}

SlotMaps identity_maps() noexcept {
    SlotMaps m;
    for (unsigned i = 0; i < CORNER_COUNT; ++i) m.corner[i] = static_cast<std::uint8_t>(i);
    for (unsigned i = 0; i < EDGE_COUNT; ++i) m.edge[i] = static_cast<std::uint8_t>(i);
    return m;
}

// y turns the U layer as U and the D layer as D'; the middle edges go round
// the same way as the U edges: BL -> BR -> FR -> FL.
SlotMaps y_rotation() noexcept {
    Cube3x3 cube;
    apply_move_index_internal(cube, MOVE_U);
    apply_move_index_internal(cube, MOVE_D_PRIME);
    const Cubies s = cubies_of(cube);
    SlotMaps m;
    for (unsigned j = 0; j < CORNER_COUNT; ++j) m.corner[s.cp[j]] = static_cast<std::uint8_t>(j);
    for (unsigned j = 0; j < 8; ++j) m.edge[s.ep[j]] = static_cast<std::uint8_t>(j);
    m.edge[8] = 9;
    m.edge[9] = 10;
    m.edge[10] = 11;
    m.edge[11] = 8;
    return m;
}

// U <-> D and L <-> R, F and B kept.
constexpr SlotMaps Z2_ROTATION{{5, 4, 7, 6, 1, 0, 3, 2}, {4, 7, 6, 5, 0, 3, 2, 1, 9, 8, 11, 10}};
// L <-> R.
constexpr SlotMaps LR_MIRROR{{1, 0, 3, 2, 5, 4, 7, 6}, {0, 3, 2, 1, 4, 7, 6, 5, 9, 8, 11, 10}};

struct Symmetries {
    std::array<SlotMaps, SYMMETRY_COUNT> maps;
    std::array<std::uint8_t, SYMMETRY_COUNT> inverse{};
    Symmetries() noexcept {
        const SlotMaps y = y_rotation();
        for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
            SlotMaps m = (s & 8) ? LR_MIRROR : identity_maps();
            if (s & 4) m = compose(Z2_ROTATION, m);
            for (unsigned k = 0; k < (s & 3); ++k) m = compose(y, m);
            maps[s] = m;
        }
        for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
            for (unsigned t = 0; t < SYMMETRY_COUNT; ++t) {
                if (compose(maps[t], maps[s]) == identity_maps()) inverse[s] = static_cast<std::uint8_t>(t);
            }
        }
    }
};
const Symmetries& symmetries() noexcept {
    static const Symmetries syms;
    return syms;
}

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

}  // namespace

void build_symmetry_tables(SolverTables& t) {
    const Symmetries& syms = symmetries();
    t.corner_class.assign(CORNER_PERM_COUNT, 0xFFFF);
    t.corner_class_sym.assign(CORNER_PERM_COUNT, 0);
    t.corner_class_rep.clear();
    for (unsigned cp = 0; cp < CORNER_PERM_COUNT; ++cp) {
        if (t.corner_class[cp] != 0xFFFF) continue;
        // Every smaller member of this class would have claimed it: cp is
        // the least.
        const auto klass = static_cast<std::uint16_t>(t.corner_class_rep.size());
        t.corner_class_rep.push_back(static_cast<std::uint16_t>(cp));
        const auto perm = permutation_of_rank<8>(cp);
        for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
            const unsigned rank = permutation_rank(conjugate(perm, syms.maps[s].corner));
            if (t.corner_class[rank] != 0xFFFF) continue;
            t.corner_class[rank] = klass;
            t.corner_class_sym[rank] = syms.inverse[s];
        }
    }
    if (t.corner_class_rep.size() != CORNER_CLASS_COUNT) {
        throw std::logic_error("corner symmetry classes miscounted");
    }
    t.ud_edge_conj.assign(UD_EDGE_PERM_COUNT * SYMMETRY_COUNT, 0);
    parallel_for(0, UD_EDGE_PERM_COUNT, GRAIN, [&](std::size_t begin, std::size_t end) {
        for (std::size_t e = begin; e < end; ++e) {
            const auto perm = permutation_of_rank<8>(static_cast<std::uint32_t>(e));
            for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
                t.ud_edge_conj[e * SYMMETRY_COUNT + s] = static_cast<std::uint16_t>(
                    permutation_rank(conjugate(perm, first_eight(syms.maps[s].edge))));
            }
        }
    });
}

std::vector<std::uint16_t> class_fixing_symmetries(const SolverTables& t) {
    const Symmetries& syms = symmetries();
    std::vector<std::uint16_t> fixing(CORNER_CLASS_COUNT, 0);
    for (std::size_t c = 0; c < CORNER_CLASS_COUNT; ++c) {
        const auto rep = permutation_of_rank<8>(t.corner_class_rep[c]);
        for (unsigned s = 1; s < SYMMETRY_COUNT; ++s) {
            if (conjugate(rep, syms.maps[s].corner) == rep) fixing[c] |= std::uint16_t(1U << s);
        }
    }
    return fixing;
}

}  // namespace twirlkit::two_phase

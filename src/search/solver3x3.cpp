#include "search/solver3x3.hpp"

#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <limits>
#include <new>
#include <stdexcept>
#include <string_view>
#include <system_error>

#include "runtime/build_once.hpp"
#include "runtime/parallel.hpp"

namespace twirlkit {

// ---------------------------------------------------------------------------
// Face turns

namespace {

constexpr std::array<char, FACE_COUNT> FACE_LETTERS{'U', 'D', 'R', 'L', 'F', 'B'};


void apply_face_turn(Cube3x3& cube, FaceTurn turn) noexcept {
    const MoveIndex quarter = 2 * face_of(turn);
    switch (turn % 3) {
        case 0: apply_move_index_internal(cube, quarter); break;
        case 1:
            apply_move_index_internal(cube, quarter);
            apply_move_index_internal(cube, quarter);
            break;
        default: apply_move_index_internal(cube, quarter + 1); break;
    }
}

// The ten turns of G1, as face turn codes.
constexpr std::array<FaceTurn, PHASE2_TURN_COUNT> PHASE2_TURNS{0, 1, 2, 3, 4, 5, 7, 10, 13, 16};

constexpr bool is_phase2_turn(FaceTurn turn) noexcept {
    return face_of(turn) < 2 || turn % 3 == 1;
}

// A turn may follow `last` unless it turns the same face, or the face
// opposite with the lower number (U D and D U are the same; keep one).
constexpr bool may_follow(unsigned face, int last_face) noexcept {
    if (last_face < 0) return true;
    const auto last = static_cast<unsigned>(last_face);
    return face != last && !(axis_of_face(face) == axis_of_face(last) && face < last);
}

}  // namespace

std::string face_turn_text(FaceTurn turn) {
    std::string text(1, FACE_LETTERS[face_of(turn) % FACE_COUNT]);
    if (turn % 3 == 1) text += '2';
    if (turn % 3 == 2) text += '\'';
    return text;
}

std::string face_turns_text(std::span<const FaceTurn> turns) {
    std::string text;
    for (FaceTurn turn : turns) {
        if (!text.empty()) text += ' ';
        text += face_turn_text(turn);
    }
    return text;
}

Cube3x3 apply_face_turns(Cube3x3 cube, std::span<const FaceTurn> turns) noexcept {
    for (FaceTurn turn : turns) apply_face_turn(cube, turn);
    return cube;
}

// ---------------------------------------------------------------------------
// Cubies and coordinates

namespace {

// Piece and orientation by slot, unpacked from the two words.
struct Cubies {
    std::array<std::uint8_t, CORNER_COUNT> cp{};
    std::array<std::uint8_t, CORNER_COUNT> co{};
    std::array<std::uint8_t, EDGE_COUNT> ep{};
    std::array<std::uint8_t, EDGE_COUNT> eo{};
};

Cubies cubies_of(const Cube3x3& cube) noexcept {
    Cubies s;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const Word v = slot_value(cube.corners, k);
        s.cp[k] = static_cast<std::uint8_t>(v & CORNER_PIECE_MASK);
        s.co[k] = static_cast<std::uint8_t>(v >> ORIENTATION_SHIFT);
    }
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        const Word v = slot_value(cube.edges, k);
        s.ep[k] = static_cast<std::uint8_t>(v & EDGE_PIECE_MASK);
        s.eo[k] = static_cast<std::uint8_t>(v >> FLIP_SHIFT);
    }
    return s;
}

Cube3x3 cube_of(const Cubies& s) noexcept {
    Cube3x3 cube{0, 0};
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        cube.corners |= Word{static_cast<Word>(s.co[k] << ORIENTATION_SHIFT) | s.cp[k]}
                        << (SLOT_BITS * k);
    }
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        cube.edges |= Word{static_cast<Word>(s.eo[k] << FLIP_SHIFT) | s.ep[k]} << (SLOT_BITS * k);
    }
    return cube;
}

Cubies solved_cubies() noexcept { return cubies_of(Cube3x3{}); }

// Lehmer rank of a permutation of 0..N-1: the identity is 0.
template <std::size_t N>
unsigned perm_rank(const std::uint8_t* a) noexcept {
    unsigned rank = 0;
    for (std::size_t i = 0; i < N; ++i) {
        unsigned less = 0;
        for (std::size_t j = i + 1; j < N; ++j) less += a[j] < a[i];
        rank = rank * static_cast<unsigned>(N - i) + less;
    }
    return rank;
}

template <std::size_t N>
std::array<std::uint8_t, N> perm_unrank(unsigned rank) noexcept {
    std::array<unsigned, N> digit{};
    for (std::size_t i = N; i-- > 0;) {
        digit[i] = rank % static_cast<unsigned>(N - i);
        rank /= static_cast<unsigned>(N - i);
    }
    std::array<std::uint8_t, N> free{};
    for (std::size_t i = 0; i < N; ++i) free[i] = static_cast<std::uint8_t>(i);
    std::array<std::uint8_t, N> out{};
    std::size_t left = N;
    for (std::size_t i = 0; i < N; ++i) {
        out[i] = free[digit[i]];
        std::copy(free.begin() + digit[i] + 1, free.begin() + left, free.begin() + digit[i]);
        --left;
    }
    return out;
}

constexpr std::uint8_t FIRST_SLICE_EDGE = 8;

// The places of the four middle edges as a 12-bit slot mask, numbered by
// descending mask, so that the home places (slots 8..11) are number 0.
struct SlicePlaces {
    std::array<std::uint16_t, 4096> index_of{};
    std::array<std::uint16_t, SLICE_COUNT> mask_of{};
    SlicePlaces() noexcept {
        index_of.fill(0xFFFF);
        std::uint16_t next = 0;
        for (unsigned mask = 4096; mask-- > 0;) {
            if (std::popcount(mask) != 4) continue;
            index_of[mask] = next;
            mask_of[next] = static_cast<std::uint16_t>(mask);
            ++next;
        }
    }
};
const SlicePlaces& slice_places() noexcept {
    static const SlicePlaces places;
    return places;
}

unsigned twist_of(const Cubies& s) noexcept {
    unsigned t = 0;
    for (unsigned k = 0; k + 1 < CORNER_COUNT; ++k) t = t * 3 + s.co[k];
    return t;
}
void set_twist(Cubies& s, unsigned t) noexcept {
    unsigned sum = 0;
    for (unsigned k = CORNER_COUNT - 1; k-- > 0;) {
        s.co[k] = static_cast<std::uint8_t>(t % 3);
        sum += s.co[k];
        t /= 3;
    }
    s.co[CORNER_COUNT - 1] = static_cast<std::uint8_t>((3 - sum % 3) % 3);
}

unsigned flip_of(const Cubies& s) noexcept {
    unsigned f = 0;
    for (unsigned k = 0; k + 1 < EDGE_COUNT; ++k) f = f * 2 + s.eo[k];
    return f;
}
void set_flip(Cubies& s, unsigned f) noexcept {
    unsigned sum = 0;
    for (unsigned k = EDGE_COUNT - 1; k-- > 0;) {
        s.eo[k] = static_cast<std::uint8_t>(f & 1);
        sum += s.eo[k];
        f >>= 1;
    }
    s.eo[EDGE_COUNT - 1] = static_cast<std::uint8_t>(sum & 1);
}

unsigned slice_sorted_of(const Cubies& s) noexcept {
    unsigned mask = 0;
    std::array<std::uint8_t, 4> order{};
    unsigned seen = 0;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        if (s.ep[k] >= FIRST_SLICE_EDGE) {
            mask |= 1U << k;
            if (seen < 4) order[seen] = static_cast<std::uint8_t>(s.ep[k] - FIRST_SLICE_EDGE);
            ++seen;
        }
    }
    return slice_places().index_of[mask & 4095] * SLICE_PERM_COUNT + perm_rank<4>(order.data());
}
void set_slice_sorted(Cubies& s, unsigned coordinate) noexcept {
    const unsigned mask = slice_places().mask_of[coordinate / SLICE_PERM_COUNT];
    const auto order = perm_unrank<4>(coordinate % SLICE_PERM_COUNT);
    std::uint8_t slice_next = 0;
    std::uint8_t other_next = 0;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        s.ep[k] = (mask >> k) & 1 ? static_cast<std::uint8_t>(FIRST_SLICE_EDGE + order[slice_next++])
                                  : other_next++;
    }
}

unsigned ud_edge_perm_of(const Cubies& s) noexcept { return perm_rank<8>(s.ep.data()); }
void set_ud_edge_perm(Cubies& s, unsigned coordinate) noexcept {
    const auto perm = perm_unrank<8>(coordinate);
    std::copy(perm.begin(), perm.end(), s.ep.begin());
}

}  // namespace

Coordinates coordinates_of(const Cube3x3& cube) noexcept {
    const Cubies s = cubies_of(cube);
    Coordinates c{};
    c.twist = static_cast<std::uint16_t>(twist_of(s));
    c.flip = static_cast<std::uint16_t>(flip_of(s));
    c.slice_sorted = static_cast<std::uint16_t>(slice_sorted_of(s));
    c.corner_perm = static_cast<std::uint16_t>(perm_rank<8>(s.cp.data()));
    c.ud_edge_perm = c.slice_sorted < SLICE_PERM_COUNT
                         ? static_cast<std::uint16_t>(ud_edge_perm_of(s))
                         : std::uint16_t{0};
    return c;
}

namespace {

template <std::size_t N>
bool odd_permutation(const std::uint8_t* a) noexcept {
    unsigned inversions = 0;
    for (std::size_t i = 0; i < N; ++i) {
        for (std::size_t j = i + 1; j < N; ++j) inversions += a[j] < a[i];
    }
    return inversions & 1;
}

}  // namespace

bool is_solvable(const Cube3x3& cube) noexcept {
    if (cube.corners >> (SLOT_BITS * CORNER_COUNT) != 0) return false;
    if (cube.edges >> (SLOT_BITS * EDGE_COUNT) != 0) return false;
    const Cubies s = cubies_of(cube);
    unsigned corners_seen = 0;
    unsigned twist = 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        if (s.co[k] > 2) return false;
        corners_seen |= 1U << s.cp[k];
        twist += s.co[k];
    }
    unsigned edges_seen = 0;
    unsigned flips = 0;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        if (s.ep[k] >= EDGE_COUNT) return false;
        edges_seen |= 1U << s.ep[k];
        flips += s.eo[k];
    }
    return corners_seen == 0xFF && edges_seen == 0xFFF && twist % 3 == 0 && flips % 2 == 0 &&
           odd_permutation<CORNER_COUNT>(s.cp.data()) == odd_permutation<EDGE_COUNT>(s.ep.data());
}

// ---------------------------------------------------------------------------
// Symmetries
//
// The sixteen symmetries of the cube that keep the U-D axis in place: the
// quarter rotations about it (y), the half rotation about the F-B axis (z2)
// and the left-right mirror, in all combinations. They map G1 turns to G1
// turns, so two G1 positions related by one of them are equally far from
// solved. Each is a slot map: the piece in slot i goes to slot map[i], and as
// piece k lives in slot k when solved, piece k is renamed map[k].

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

}  // namespace

// ---------------------------------------------------------------------------
// Tables

namespace {

using Table16 = std::vector<std::uint16_t>;
using Table8 = std::vector<std::uint8_t>;
constexpr std::uint8_t UNSEEN = 0xFF;

}  // namespace

struct SolverTables {
    // Move tables: entry [coordinate * turns + turn].
    Table16 twist_move;         // 2187 x 18
    Table16 flip_move;          // 2048 x 18
    Table16 slice_sorted_move;  // 11880 x 18
    Table16 corner_move;        // 40320 x 18
    Table16 ud_edge_move;       // 40320 x 10, G1 turns only
    // Distance tables: turns to G1 (phase 1) or to solved within G1
    // (phase 2) of a pair of coordinates, a lower bound for the whole cube.
    Table8 twist_slice;   // 2187 x 495
    Table8 flip_slice;    // 2048 x 495
    Table8 twist_flip;    // 2187 x 2048
    Table8 corner_slice;  // 40320 x 24
    Table8 edge_slice;    // 40320 x 24
    // Corner permutations by symmetry class: the class, the symmetry that
    // takes the permutation to its class's least member, and those members.
    Table16 corner_class;      // 40320
    Table8 corner_class_sym;   // 40320
    Table16 corner_class_rep;  // 2768
    // U and D edge permutation through each symmetry: [perm * 16 + sym].
    Table16 ud_edge_conj;  // 40320 x 16
    // Distance to solved in G1 of (corner class, U and D edge permutation
    // seen through the class's symmetry), four bits an entry, low nibble
    // first; 15 means 15 or more.
    Table8 corner_edge;  // 2768 x 40320 / 2

    std::size_t corner_edge_index(unsigned corner, unsigned edge) const noexcept {
        return std::size_t{corner_class[corner]} * UD_EDGE_PERM_COUNT +
               ud_edge_conj[edge * SYMMETRY_COUNT + corner_class_sym[corner]];
    }
    unsigned corner_edge_distance(std::size_t index) const noexcept {
        return (corner_edge[index >> 1] >> ((index & 1) * 4)) & 0xF;
    }

    // Derived at load time, not stored.
    std::array<std::uint16_t, SLICE_COUNT * FACE_TURN_COUNT> slice_move{};
    std::array<std::uint8_t, SLICE_PERM_COUNT * PHASE2_TURN_COUNT> slice_perm_move{};

    template <class F>
    void for_each_table(F&& f) {
        f(twist_move, TWIST_COUNT * FACE_TURN_COUNT);
        f(flip_move, FLIP_COUNT * FACE_TURN_COUNT);
        f(slice_sorted_move, SLICE_SORTED_COUNT * FACE_TURN_COUNT);
        f(corner_move, CORNER_PERM_COUNT * FACE_TURN_COUNT);
        f(ud_edge_move, UD_EDGE_PERM_COUNT * PHASE2_TURN_COUNT);
        f(twist_slice, TWIST_COUNT * SLICE_COUNT);
        f(flip_slice, FLIP_COUNT * SLICE_COUNT);
        f(twist_flip, TWIST_COUNT * FLIP_COUNT);
        f(corner_slice, CORNER_PERM_COUNT * SLICE_PERM_COUNT);
        f(edge_slice, UD_EDGE_PERM_COUNT * SLICE_PERM_COUNT);
        f(corner_class, CORNER_PERM_COUNT);
        f(corner_class_sym, CORNER_PERM_COUNT);
        f(corner_class_rep, CORNER_CLASS_COUNT);
        f(ud_edge_conj, UD_EDGE_PERM_COUNT * SYMMETRY_COUNT);
        f(corner_edge, CORNER_CLASS_COUNT * UD_EDGE_PERM_COUNT / 2);
    }

    void derive() noexcept {
        for (std::size_t p = 0; p < SLICE_COUNT; ++p) {
            for (std::size_t m = 0; m < FACE_TURN_COUNT; ++m) {
                slice_move[p * FACE_TURN_COUNT + m] = static_cast<std::uint16_t>(
                    slice_sorted_move[p * SLICE_PERM_COUNT * FACE_TURN_COUNT + m] /
                    SLICE_PERM_COUNT);
            }
        }
        for (std::size_t q = 0; q < SLICE_PERM_COUNT; ++q) {
            for (std::size_t k = 0; k < PHASE2_TURN_COUNT; ++k) {
                slice_perm_move[q * PHASE2_TURN_COUNT + k] = static_cast<std::uint8_t>(
                    slice_sorted_move[q * FACE_TURN_COUNT + PHASE2_TURNS[k]]);
            }
        }
    }

    // Every entry in range: a table file that passed its checksum but was
    // made by something else must still not send a read out of bounds.
    bool entries_in_range() const noexcept {
        const auto below = [](const Table16& t, std::size_t n) {
            return std::all_of(t.begin(), t.end(), [n](std::uint16_t v) { return v < n; });
        };
        const auto distances = [](const Table8& t) {
            return std::all_of(t.begin(), t.end(), [](std::uint8_t v) { return v <= 20; });
        };
        return below(corner_class, CORNER_CLASS_COUNT) && below(corner_class_rep, CORNER_PERM_COUNT) &&
               below(ud_edge_conj, UD_EDGE_PERM_COUNT) &&
               std::all_of(corner_class_sym.begin(), corner_class_sym.end(),
                           [](std::uint8_t v) { return v < SYMMETRY_COUNT; }) &&
               below(twist_move, TWIST_COUNT) && below(flip_move, FLIP_COUNT) &&
               below(slice_sorted_move, SLICE_SORTED_COUNT) &&
               below(corner_move, CORNER_PERM_COUNT) && below(ud_edge_move, UD_EDGE_PERM_COUNT) &&
               distances(twist_slice) && distances(flip_slice) && distances(twist_flip) &&
               distances(corner_slice) && distances(edge_slice);
    }
};

namespace {

constexpr std::size_t GRAIN = 1024;

// table[c * turns + m] = coordinate of (representative of c) after turn m.
template <class Set, class Get, std::size_t TurnCount>
Table16 build_move_table(std::size_t count, const Cubies& base,
                         const std::array<FaceTurn, TurnCount>& turns, Set set, Get get) {
    Table16 table(count * TurnCount);
    parallel_for(0, count, GRAIN, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            Cubies s = base;
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

constexpr std::array<FaceTurn, FACE_TURN_COUNT> ALL_TURNS{0, 1, 2,  3,  4,  5,  6,  7,  8,
                                                         9, 10, 11, 12, 13, 14, 15, 16, 17};

// Breadth-first distances from index 0 over `count` indexes, one layer per
// pass of the pool over the table. Several workers may reach one entry in a
// pass; they all write the same value, through atomic bytes.
template <class Next>
Table8 build_distance_table(std::size_t count, std::size_t turn_count, Next next) {
    Table8 table(count, UNSEEN);
    table[0] = 0;
    for (std::uint8_t depth = 0;; ++depth) {
        std::atomic<bool> grew{false};
        parallel_for(0, count, 16 * GRAIN, [&](std::size_t begin, std::size_t end) {
            cancellation_point();
            bool any = false;
            for (std::size_t i = begin; i < end; ++i) {
                if (std::atomic_ref<std::uint8_t>(table[i]).load(std::memory_order_relaxed) !=
                    depth) {
                    continue;
                }
                for (std::size_t m = 0; m < turn_count; ++m) {
                    std::atomic_ref<std::uint8_t> entry(table[next(i, m)]);
                    if (entry.load(std::memory_order_relaxed) == UNSEEN) {
                        entry.store(static_cast<std::uint8_t>(depth + 1), std::memory_order_relaxed);
                        any = true;
                    }
                }
            }
            if (any) grew.store(true, std::memory_order_relaxed);
        });
        if (!grew.load()) break;
    }
    return table;
}

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
        const auto perm = perm_unrank<8>(cp);
        for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
            const auto member = conjugate(perm, syms.maps[s].corner);
            const unsigned rank = perm_rank<8>(member.data());
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
            const auto perm = perm_unrank<8>(static_cast<unsigned>(e));
            for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
                const auto seen = conjugate(perm, first_eight(syms.maps[s].edge));
                t.ud_edge_conj[e * SYMMETRY_COUNT + s] =
                    static_cast<std::uint16_t>(perm_rank<8>(seen.data()));
            }
        }
    });
}

// Breadth-first over (corner class, edge permutation) pairs, four bits an
// entry. A layer goes forwards (from the entries at the depth to their
// unseen neighbours) while few are seen, then backwards (from each unseen
// entry to any neighbour at the depth), which reads instead of writes.
// Each entry stands for one position: the class's least corner permutation
// with that edge permutation.
void build_corner_edge_table(SolverTables& t) {
    constexpr std::size_t count = CORNER_CLASS_COUNT * UD_EDGE_PERM_COUNT;
    constexpr unsigned NIBBLE_UNSEEN = 15;
    t.corner_edge.assign(count / 2, 0xFF);
    const auto get = [&t](std::size_t i) {
        return static_cast<unsigned>(
            (std::atomic_ref<std::uint8_t>(t.corner_edge[i >> 1]).load(std::memory_order_relaxed) >>
             ((i & 1) * 4)) &
            0xF);
    };
    // Only ever lowers an unseen entry (all ones) to `value`.
    const auto set = [&t](std::size_t i, unsigned value) {
        const unsigned shift = (i & 1) * 4;
        std::atomic_ref<std::uint8_t>(t.corner_edge[i >> 1])
            .fetch_and(static_cast<std::uint8_t>(~(0xFU << shift) | (value << shift)),
                       std::memory_order_relaxed);
    };
    const auto neighbours = [&t](std::size_t i, auto&& visit) {
        const unsigned klass = static_cast<unsigned>(i / UD_EDGE_PERM_COUNT);
        const unsigned edge = static_cast<unsigned>(i % UD_EDGE_PERM_COUNT);
        const unsigned rep = t.corner_class_rep[klass];
        for (std::size_t k = 0; k < PHASE2_TURN_COUNT; ++k) {
            const unsigned corner = t.corner_move[rep * FACE_TURN_COUNT + PHASE2_TURNS[k]];
            const unsigned next_edge = t.ud_edge_move[edge * PHASE2_TURN_COUNT + k];
            if (visit(t.corner_edge_index(corner, next_edge))) return;
        }
    };
    // A class whose least member some symmetries fix has, for one position,
    // several entries (the edge permutation seen through each of them). A
    // forward step reaches only one, so it marks them all.
    const Symmetries& syms = symmetries();
    std::vector<std::uint16_t> fixing(CORNER_CLASS_COUNT, 0);
    for (std::size_t c = 0; c < CORNER_CLASS_COUNT; ++c) {
        const auto rep = perm_unrank<8>(t.corner_class_rep[c]);
        for (unsigned s = 1; s < SYMMETRY_COUNT; ++s) {
            if (conjugate(rep, syms.maps[s].corner) == rep) fixing[c] |= std::uint16_t(1U << s);
        }
    }
    const auto set_all = [&](std::size_t i, unsigned value) {
        set(i, value);
        const std::size_t klass = i / UD_EDGE_PERM_COUNT;
        const std::size_t edge = i % UD_EDGE_PERM_COUNT;
        for (unsigned mask = fixing[klass]; mask != 0; mask &= mask - 1) {
            const std::size_t twin = klass * UD_EDGE_PERM_COUNT +
                                     t.ud_edge_conj[edge * SYMMETRY_COUNT + std::countr_zero(mask)];
            if (get(twin) == NIBBLE_UNSEEN) set(twin, value);
        }
    };
    set(0, 0);
    std::atomic<std::size_t> seen{1};
    for (unsigned depth = 0; depth + 1 < NIBBLE_UNSEEN; ++depth) {
        const bool backwards = seen.load() > count / 3;
        parallel_for(0, count / 2, 16 * GRAIN, [&](std::size_t begin, std::size_t end) {
            cancellation_point();
            std::size_t found = 0;
            for (std::size_t i = 2 * begin; i < 2 * end; ++i) {
                if (backwards) {
                    if (get(i) != NIBBLE_UNSEEN) continue;
                    neighbours(i, [&](std::size_t n) {
                        if (get(n) != depth) return false;
                        set(i, depth + 1);
                        ++found;
                        return true;
                    });
                } else {
                    if (get(i) != depth) continue;
                    neighbours(i, [&](std::size_t n) {
                        if (get(n) == NIBBLE_UNSEEN) {
                            set_all(n, depth + 1);
                            ++found;
                        }
                        return false;
                    });
                }
            }
            seen.fetch_add(found, std::memory_order_relaxed);
        });
    }
}

// Distances of a pair of coordinates, index a * count_b + b.
template <class MoveA, class MoveB>
Table8 build_pair_table(std::size_t count_a, std::size_t count_b, std::size_t turn_count,
                        MoveA move_a, MoveB move_b) {
    return build_distance_table(count_a * count_b, turn_count, [&](std::size_t i, std::size_t k) {
        return std::size_t{move_a(i / count_b, k)} * count_b + move_b(i % count_b, k);
    });
}

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
    const Cubies solved = solved_cubies();
    t->twist_move = build_move_table(TWIST_COUNT, solved, ALL_TURNS, set_twist, twist_of);
    t->flip_move = build_move_table(FLIP_COUNT, solved, ALL_TURNS, set_flip, flip_of);
    t->slice_sorted_move = build_move_table(SLICE_SORTED_COUNT, solved, ALL_TURNS,
                                            set_slice_sorted, slice_sorted_of);
    t->corner_move = build_move_table(
        CORNER_PERM_COUNT, solved, ALL_TURNS,
        [](Cubies& s, unsigned c) {
            const auto perm = perm_unrank<8>(c);
            std::copy(perm.begin(), perm.end(), s.cp.begin());
        },
        [](const Cubies& s) { return perm_rank<8>(s.cp.data()); });
    t->ud_edge_move = build_move_table(UD_EDGE_PERM_COUNT, solved, PHASE2_TURNS,
                                       set_ud_edge_perm, ud_edge_perm_of);
    t->derive();
    report("move tables done (1/7)");

    const SolverTables& m = *t;
    // A move table as a function of (coordinate, turn number).
    const auto all_turns = [](const auto& table) {
        return [&table](std::size_t c, std::size_t k) { return table[c * FACE_TURN_COUNT + k]; };
    };
    const auto g1_turns = [](const auto& table) {
        return [&table](std::size_t c, std::size_t k) { return table[c * PHASE2_TURN_COUNT + k]; };
    };
    const auto corner_g1 = [&m](std::size_t c, std::size_t k) {
        return m.corner_move[c * FACE_TURN_COUNT + PHASE2_TURNS[k]];
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

// ---------------------------------------------------------------------------
// The cache file
//
//   magic "TWKSOLV3" | u32 version | u32 0 | u64 payload bytes | u64 checksum
//   | payload: the stored tables back to back in for_each_table order.
//
// The checksum is a 64-bit FNV-1a over the payload's 8-byte words. Any mismatch (magic,
// version, size, checksum, an entry out of range) means rebuild.

constexpr std::array<char, 8> MAGIC{'T', 'W', 'K', 'S', 'O', 'L', 'V', '3'};
constexpr std::uint32_t TABLE_VERSION = 3;
constexpr const char* TABLE_FILE = SOLVER_TABLE_FILE;

struct FileHeader {
    std::array<char, 8> magic;
    std::uint32_t version;
    std::uint32_t reserved;
    std::uint64_t payload_bytes;
    std::uint64_t checksum;
};
static_assert(sizeof(FileHeader) == 32);

struct Fnv1a {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    // Eight bytes a step: the byte-wise hash costs a tenth of a second here.
    void add(const void* data, std::size_t size) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            hash = (hash ^ word) * 0x100000001b3ULL;
            hash ^= hash >> 29;
        }
        for (; i < size; ++i) hash = (hash ^ p[i]) * 0x100000001b3ULL;
    }
};

std::size_t payload_bytes() {
    std::size_t bytes = 0;
    SolverTables probe;
    probe.for_each_table([&](auto& table, std::size_t n) { bytes += n * sizeof(table[0]); });
    return bytes;
}

std::shared_ptr<SolverTables> read_tables(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    FileHeader header{};
    if (!in.read(reinterpret_cast<char*>(&header), sizeof header)) return nullptr;
    if (header.magic != MAGIC || header.version != TABLE_VERSION || header.reserved != 0 ||
        header.payload_bytes != payload_bytes()) {
        return nullptr;
    }
    auto t = std::make_shared<SolverTables>();
    Fnv1a sum;
    bool ok = true;
    t->for_each_table([&](auto& table, std::size_t n) {
        if (!ok) return;
        table.resize(n);
        const std::size_t bytes = n * sizeof(table[0]);
        ok = static_cast<bool>(in.read(reinterpret_cast<char*>(table.data()),
                                       static_cast<std::streamsize>(bytes)));
        if (ok) sum.add(table.data(), bytes);
    });
    if (!ok || sum.hash != header.checksum || in.peek() != std::ifstream::traits_type::eof()) {
        return nullptr;
    }
    if (!t->entries_in_range()) return nullptr;
    t->derive();
    return t;
}

// Written to a private temporary name, then renamed over the file, so that a
// reader sees the old file or the whole new one, never a part.
void write_tables(const std::filesystem::path& directory, SolverTables& t) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    static std::atomic<unsigned> serial{0};
    const std::filesystem::path final_path = directory / TABLE_FILE;
    const std::filesystem::path temp_path =
        directory / (std::string(TABLE_FILE) + ".tmp." + std::to_string(::getpid()) + "." +
                     std::to_string(serial.fetch_add(1)));
    FileHeader header{MAGIC, TABLE_VERSION, 0, payload_bytes(), 0};
    Fnv1a sum;
    t.for_each_table(
        [&](auto& table, std::size_t) { sum.add(table.data(), table.size() * sizeof(table[0])); });
    header.checksum = sum.hash;
    bool ok = false;
    {
        std::ofstream out(temp_path, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(reinterpret_cast<const char*>(&header), sizeof header);
            t.for_each_table([&](auto& table, std::size_t) {
                out.write(reinterpret_cast<const char*>(table.data()),
                          static_cast<std::streamsize>(table.size() * sizeof(table[0])));
            });
            out.flush();
            ok = static_cast<bool>(out);
        }
    }
    if (ok) {
        std::filesystem::rename(temp_path, final_path, error);
        ok = !error;
    }
    if (!ok) std::filesystem::remove(temp_path, error);
}

}  // namespace

std::shared_ptr<const SolverTables> load_solver_tables(const std::filesystem::path& directory) {
    return read_tables(directory / TABLE_FILE);
}

std::shared_ptr<const SolverTables> load_or_build_solver_tables(
    const std::filesystem::path& directory, bool progress, TableSource* source) {
    if (auto loaded = read_tables(directory / TABLE_FILE)) {
        if (source != nullptr) *source = TableSource::loaded;
        return loaded;
    }
    auto built = build_tables(progress);
    write_tables(directory, *built);
    if (source != nullptr) *source = TableSource::built;
    return built;
}

std::filesystem::path solver_cache_directory() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "twirlkit";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::filesystem::path(home) / ".cache" / "twirlkit";
    }
    return std::filesystem::temp_directory_path() / "twirlkit";
}

namespace {

// Racing first callers build once; a forked child keeps finished tables.
BuildOnce<std::shared_ptr<const SolverTables>> process_tables;
std::atomic<std::size_t> acquisitions{0};

}  // namespace

const SolverTables& solver_tables() {
    return *process_tables.get([] {
        auto tables = load_or_build_solver_tables(solver_cache_directory(), true);
        acquisitions.fetch_add(1);
        return tables;
    });
}

std::size_t solver_table_acquisitions() noexcept { return acquisitions.load(); }

// ---------------------------------------------------------------------------
// The search

namespace {

constexpr unsigned NO_LENGTH = std::numeric_limits<unsigned>::max();
constexpr unsigned PHASE2_MAX = 18;   // no G1 position needs more
constexpr unsigned PHASE1_MAX = 20;   // nor more than this to reach G1
constexpr std::uint64_t CHECK_EVERY = 4096;  // nodes between clock and cancellation checks
constexpr std::size_t MAX_TURNS = PHASE1_MAX + PHASE2_MAX;

// CPU seconds of the calling thread. The timeout counts the search's own
// work, so that a busy machine does not shorten it, nor change its result.
double thread_seconds() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

class TwoPhaseSearch {
public:
    TwoPhaseSearch(const SolverTables& tables, const Cube3x3& cube, const SolveOptions& options)
        : t_(tables), cube_(cube), options_(options) {
        deadline_ = thread_seconds() + std::min(std::max(options.timeout, 0.0), 1e9);
    }

    SolveResult run() {
        SolveResult result;
        if (!cube_.is_solved()) {
            const Coordinates c = coordinates_of(cube_);
            const unsigned h = phase1_bound(c.twist, c.flip, c.slice_sorted / SLICE_PERM_COUNT);
            for (unsigned depth = h; depth <= PHASE1_MAX && depth < best_length_ && !aborted_;
                 ++depth) {
                phase1(c.twist, c.flip, c.slice_sorted, 0, depth);
            }
            if (best_length_ != NO_LENGTH) {
                result.turns.assign(best_.begin(), best_.begin() + best_length_);
            }
        }
        result.within_max_length =
            (cube_.is_solved() || best_length_ != NO_LENGTH) && result.turns.size() <= options_.max_length;
        return result;
    }

private:
    unsigned phase1_bound(unsigned twist, unsigned flip, unsigned slice) const noexcept {
        return std::max({t_.twist_slice[twist * SLICE_COUNT + slice],
                         t_.flip_slice[flip * SLICE_COUNT + slice],
                         t_.twist_flip[twist * FLIP_COUNT + flip]});
    }

    unsigned phase2_bound(unsigned corner, unsigned edge, unsigned slice) const noexcept {
        const unsigned small = std::max(t_.corner_slice[corner * SLICE_PERM_COUNT + slice],
                                        t_.edge_slice[edge * SLICE_PERM_COUNT + slice]);
        return std::max(small, t_.corner_edge_distance(t_.corner_edge_index(corner, edge)));
    }

    int last_face(unsigned depth) const noexcept {
        return depth == 0 ? -1 : static_cast<int>(face_of(path_[depth - 1]));
    }

    // Counts a node; every CHECK_EVERY nodes passes a cancellation point and
    // looks at the clock. Returns false once the search should end.
    bool visit() {
        ++nodes_;
        if (nodes_ % CHECK_EVERY != 0) return true;
        cancellation_point();
        if (best_length_ != NO_LENGTH) {
            // Without a solution the search goes on whatever the clock says:
            // the first one comes within milliseconds.
            const bool short_enough = best_length_ <= options_.max_length;
            if ((short_enough && nodes_ - nodes_at_short_ > options_.extra_nodes) ||
                thread_seconds() >= deadline_) {
                aborted_ = true;
            }
        }
        return !aborted_;
    }

    void phase1(unsigned twist, unsigned flip, unsigned slice_sorted, unsigned depth,
                unsigned togo) {
        if (togo == 0) {
            // In G1 (the bound is 0 only there). A phase 1 that ends with a
            // G1 turn was already in G1 one turn earlier and has been tried.
            if (depth == 0 || !is_phase2_turn(path_[depth - 1])) start_phase2(slice_sorted, depth);
            return;
        }
        const int last = last_face(depth);
        for (unsigned face = 0; face < FACE_COUNT; ++face) {
            if (!may_follow(face, last)) continue;
            for (unsigned power = 0; power < 3; ++power) {
                const unsigned turn = 3 * face + power;
                const unsigned nt = t_.twist_move[twist * FACE_TURN_COUNT + turn];
                const unsigned nf = t_.flip_move[flip * FACE_TURN_COUNT + turn];
                const unsigned ns = t_.slice_sorted_move[slice_sorted * FACE_TURN_COUNT + turn];
                // The bounds one by one, the most cache-friendly first.
                const unsigned slice = ns / SLICE_PERM_COUNT;
                if (togo == 1) {
                    if (nt != 0 || nf != 0 || slice != 0) continue;
                } else if (t_.twist_slice[nt * SLICE_COUNT + slice] >= togo ||
                           t_.flip_slice[nf * SLICE_COUNT + slice] >= togo ||
                           t_.twist_flip[nt * FLIP_COUNT + nf] >= togo) {
                    continue;
                }
                if (!visit()) return;
                path_[depth] = static_cast<FaceTurn>(turn);
                phase1(nt, nf, ns, depth + 1, togo - 1);
                if (aborted_) return;
                // A solution as short as this phase 1 alone leaves nothing to find.
                if (best_length_ <= depth + togo) return;
            }
        }
    }

    void start_phase2(unsigned slice_perm, unsigned depth) {
        const unsigned total_limit =
            best_length_ == NO_LENGTH ? depth + PHASE2_MAX : best_length_ - 1;
        if (total_limit < depth) return;
        const unsigned limit = std::min(total_limit - depth, PHASE2_MAX);
        const Cube3x3 in_g1 =
            apply_face_turns(cube_, std::span<const FaceTurn>(path_.data(), depth));
        const Cubies s = cubies_of(in_g1);
        const unsigned corner = perm_rank<8>(s.cp.data());
        const unsigned edge = ud_edge_perm_of(s);
        const unsigned h = phase2_bound(corner, edge, slice_perm);
        for (unsigned length = h; length <= limit && !aborted_; ++length) {
            if (phase2(corner, edge, slice_perm, depth, length)) {
                best_length_ = depth + length;
                std::copy(path_.begin(), path_.begin() + best_length_, best_.begin());
                if (best_length_ <= options_.max_length && !have_short_) {
                    have_short_ = true;
                    nodes_at_short_ = nodes_;
                }
                return;
            }
        }
    }

    bool phase2(unsigned corner, unsigned edge, unsigned slice_perm, unsigned depth,
                unsigned togo) {
        if (togo == 0) return corner == 0 && edge == 0 && slice_perm == 0;
        const int last = last_face(depth);
        for (std::size_t k = 0; k < PHASE2_TURN_COUNT; ++k) {
            const FaceTurn turn = PHASE2_TURNS[k];
            if (!may_follow(face_of(turn), last)) continue;
            const unsigned nc = t_.corner_move[corner * FACE_TURN_COUNT + turn];
            const unsigned ne = t_.ud_edge_move[edge * PHASE2_TURN_COUNT + k];
            const unsigned ns = t_.slice_perm_move[slice_perm * PHASE2_TURN_COUNT + k];
            if (t_.corner_slice[nc * SLICE_PERM_COUNT + ns] >= togo ||
                t_.edge_slice[ne * SLICE_PERM_COUNT + ns] >= togo ||
                t_.corner_edge_distance(t_.corner_edge_index(nc, ne)) >= togo) {
                continue;
            }
            if (!visit()) return false;
            path_[depth] = turn;
            if (phase2(nc, ne, ns, depth + 1, togo - 1)) return true;
            if (aborted_) return false;
        }
        return false;
    }

    const SolverTables& t_;
    Cube3x3 cube_;
    const SolveOptions& options_;
    double deadline_;  // in thread_seconds()
    std::array<FaceTurn, MAX_TURNS> path_{};
    std::array<FaceTurn, MAX_TURNS> best_{};
    unsigned best_length_ = NO_LENGTH;
    std::uint64_t nodes_ = 0;
    std::uint64_t nodes_at_short_ = 0;
    bool have_short_ = false;
    bool aborted_ = false;
};

}  // namespace

SolveResult solve_two_phase(const SolverTables& tables, const Cube3x3& cube,
                            const SolveOptions& options) {
    return TwoPhaseSearch(tables, cube, options).run();
}

std::vector<SolveResult> solve_batch_two_phase(std::span<const Cube3x3> cubes,
                                               const SolveOptions& options) {
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        if (!is_solvable(cubes[i])) {
            throw std::invalid_argument("cube " + std::to_string(i) + " cannot be solved");
        }
    }
    std::vector<SolveResult> results(cubes.size());
    // Solved cubes need no tables: an empty or solved batch costs no build.
    if (std::all_of(cubes.begin(), cubes.end(), [](const Cube3x3& c) { return c.is_solved(); })) {
        for (SolveResult& r : results) r.within_max_length = true;
        return results;
    }
    const SolverTables& tables = solver_tables();
    parallel_for(0, cubes.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            results[i] = solve_two_phase(tables, cubes[i], options);
        }
    });
    return results;
}

}  // namespace twirlkit

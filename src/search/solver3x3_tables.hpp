// What the parts of the 3x3 solver share: the cubies and coordinates
// (solver3x3_coordinates.cpp), the symmetries (solver3x3_symmetries.cpp),
// the tables and how they are built (solver3x3_moves.cpp,
// solver3x3_pruning.cpp), kept in a file (solver3x3_cache.cpp) and searched
// (solver3x3_search.cpp). Not for the module's other code.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "model/cube3x3.hpp"
#include "model/faces.hpp"
#include "search/solver3x3.hpp"

namespace twirlkit {

// Coordinate sizes.
inline constexpr std::size_t TWIST_COUNT = 2187;         // 3^7 corner twists
inline constexpr std::size_t FLIP_COUNT = 2048;          // 2^11 edge flips
inline constexpr std::size_t SLICE_COUNT = 495;          // places of the 4 middle edges
inline constexpr std::size_t SLICE_SORTED_COUNT = 11880; // places and order of them
inline constexpr std::size_t CORNER_PERM_COUNT = 40320;  // 8!
inline constexpr std::size_t UD_EDGE_PERM_COUNT = 40320; // 8! of the U and D layer edges
inline constexpr std::size_t SLICE_PERM_COUNT = 24;      // 4!
inline constexpr std::size_t PHASE2_TURN_COUNT = 10;
inline constexpr std::size_t SYMMETRY_COUNT = 16;        // those keeping the U-D axis
inline constexpr std::size_t CORNER_CLASS_COUNT = 2768;  // corner perms up to them
// Edge flip and middle-edge places, slice * FLIP_COUNT + flip: the phase 1
// coordinate but for the twist.
inline constexpr std::size_t FLIPSLICE_COUNT = FLIP_COUNT * SLICE_COUNT;
inline constexpr std::size_t FLIPSLICE_CLASS_COUNT = 64430;  // up to the sixteen

namespace two_phase {

// ---------------------------------------------------------------------------
// Face turns

void apply_face_turn(Cube3x3& cube, FaceTurn turn) noexcept;

// The move tables hold a column per face turn, face by face, and within a
// face in the order clockwise, half, counter-clockwise: the order of the
// table file, written before the face turn code followed move text. Keeping
// it keeps the file's bytes (and its checksum) as they were, and the search
// tries the turns in that order, so that its solutions stay as they were.
constexpr unsigned column_kind(unsigned kind) noexcept { return (3 - kind) % 3; }
constexpr std::size_t column_of(FaceTurn turn) noexcept {
    return face_of(turn) * TURNS_PER_FACE + column_kind(kind_of(turn));
}
// Column -> face turn: the kind order is its own inverse.
constexpr FaceTurn turn_of_column(std::size_t column) noexcept {
    return face_turn(static_cast<unsigned>(column / TURNS_PER_FACE),
                     column_kind(static_cast<unsigned>(column % TURNS_PER_FACE)));
}
inline constexpr std::array<FaceTurn, FACE_TURN_COUNT> COLUMN_TURNS = [] {
    std::array<FaceTurn, FACE_TURN_COUNT> turns{};
    for (std::size_t c = 0; c < FACE_TURN_COUNT; ++c) turns[c] = turn_of_column(c);
    return turns;
}();
static_assert(turn_of_column(1) == face_turn(0, FACE_TURN_HALF));
static_assert(column_of(face_turn(5, FACE_TURN_PRIME)) == 17);

// The ten turns of G1, in the order of the G1 move tables' columns.
inline constexpr std::array<FaceTurn, PHASE2_TURN_COUNT> PHASE2_TURNS{
    face_turn(0, FACE_TURN_CLOCKWISE), face_turn(0, FACE_TURN_HALF), face_turn(0, FACE_TURN_PRIME),
    face_turn(1, FACE_TURN_CLOCKWISE), face_turn(1, FACE_TURN_HALF), face_turn(1, FACE_TURN_PRIME),
    face_turn(2, FACE_TURN_HALF),      face_turn(3, FACE_TURN_HALF), face_turn(4, FACE_TURN_HALF),
    face_turn(5, FACE_TURN_HALF)};
// Their columns in the tables of all eighteen turns.
inline constexpr std::array<std::size_t, PHASE2_TURN_COUNT> PHASE2_COLUMNS = [] {
    std::array<std::size_t, PHASE2_TURN_COUNT> columns{};
    for (std::size_t k = 0; k < PHASE2_TURN_COUNT; ++k) columns[k] = column_of(PHASE2_TURNS[k]);
    return columns;
}();

constexpr bool is_phase2_turn(FaceTurn turn) noexcept {
    return face_of(turn) < 2 || kind_of(turn) == FACE_TURN_HALF;
}

// A turn may follow `last` unless it turns the same face, or the face
// opposite with the lower number (U D and D U are the same; keep one).
constexpr bool may_follow(unsigned face, int last_face) noexcept {
    if (last_face < 0) return true;
    const auto last = static_cast<unsigned>(last_face);
    return face != last && !(axis_of_face(face) == axis_of_face(last) && face < last);
}

// ---------------------------------------------------------------------------
// Cubies and coordinates

// Piece and orientation by slot, unpacked from the two words.
struct Cubies {
    std::array<std::uint8_t, CORNER_COUNT> cp{};
    std::array<std::uint8_t, CORNER_COUNT> co{};
    std::array<std::uint8_t, EDGE_COUNT> ep{};
    std::array<std::uint8_t, EDGE_COUNT> eo{};
};

Cubies cubies_of(const Cube3x3& cube) noexcept;
Cube3x3 cube_of(const Cubies& s) noexcept;

// Each coordinate read from cubies, and set in them (other pieces kept).
unsigned twist_of(const Cubies& s) noexcept;
void set_twist(Cubies& s, unsigned t) noexcept;
unsigned flip_of(const Cubies& s) noexcept;
void set_flip(Cubies& s, unsigned f) noexcept;
unsigned slice_sorted_of(const Cubies& s) noexcept;
void set_slice_sorted(Cubies& s, unsigned coordinate) noexcept;
unsigned corner_perm_of(const Cubies& s) noexcept;
void set_corner_perm(Cubies& s, unsigned coordinate) noexcept;
// Only meaningful in G1, where the first eight edge slots hold the U and D
// layer edges.
unsigned ud_edge_perm_of(const Cubies& s) noexcept;
void set_ud_edge_perm(Cubies& s, unsigned coordinate) noexcept;

}  // namespace two_phase

// ---------------------------------------------------------------------------
// Tables

struct SolverTables {
    using Table32 = std::vector<std::uint32_t>;
    using Table16 = std::vector<std::uint16_t>;
    using Table8 = std::vector<std::uint8_t>;
    using Nibbles = std::vector<std::uint64_t>;

    // Four bits an entry, as in NibbleEntries (search/breadth_first.hpp),
    // which in the file is byte i / 2, low nibble first; 15 means 15 or more.
    static unsigned nibble(const Nibbles& table, std::size_t index) noexcept {
        return static_cast<unsigned>((table[index >> 4] >> ((index & 15) * 4)) & 0xF);
    }
    static constexpr std::size_t nibble_words(std::size_t entries) noexcept {
        return (entries + 15) / 16;
    }

    // Move tables: entry [coordinate * turns + column].
    Table16 twist_move;         // 2187 x 18
    Table16 flip_move;          // 2048 x 18
    Table16 slice_sorted_move;  // 11880 x 18
    Table16 corner_move;        // 40320 x 18
    Table16 ud_edge_move;       // 40320 x 10, G1 turns only
    // Distance tables: turns to solved within G1 of a pair of
    // coordinates, a lower bound for the whole cube.
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
    // seen through the class's symmetry), in nibbles.
    Nibbles corner_edge;  // 2768 x 40320 / 16
    // The same for flip and middle-edge places (FLIPSLICE_COUNT of them):
    // the class, the symmetry to its least member, those members, and the
    // symmetries other than the identity (bit s) that fix each member.
    Table16 flipslice_class;      // 1013760
    Table8 flipslice_class_sym;   // 1013760
    Table32 flipslice_class_rep;  // 64430
    Table16 flipslice_fixing;     // 64430
    // The twist through each symmetry: [twist * 16 + sym].
    Table16 twist_conj;  // 2187 x 16
    // Turns to G1 of (flip-and-slice class, twist seen through the class's
    // symmetry), in nibbles: the exact phase 1 distance, as no position is
    // more than 12 turns from G1.
    Nibbles flipslice_twist;  // 64430 x 2187 / 16, rounded up

    std::size_t corner_edge_index(unsigned corner, unsigned edge) const noexcept {
        return std::size_t{corner_class[corner]} * UD_EDGE_PERM_COUNT +
               ud_edge_conj[edge * SYMMETRY_COUNT + corner_class_sym[corner]];
    }
    unsigned corner_edge_distance(std::size_t index) const noexcept {
        return nibble(corner_edge, index);
    }
    std::size_t flipslice_twist_index(std::size_t flipslice, unsigned twist) const noexcept {
        return std::size_t{flipslice_class[flipslice]} * TWIST_COUNT +
               twist_conj[twist * SYMMETRY_COUNT + flipslice_class_sym[flipslice]];
    }
    // Turns to G1 from twist, flip and middle-edge places.
    unsigned phase1_distance(unsigned twist, unsigned flip, unsigned slice) const noexcept {
        return nibble(flipslice_twist,
                      flipslice_twist_index(std::size_t{slice} * FLIP_COUNT + flip, twist));
    }

    // Derived at load time, not stored.
    std::array<std::uint16_t, SLICE_COUNT * FACE_TURN_COUNT> slice_move{};
    std::array<std::uint8_t, SLICE_PERM_COUNT * PHASE2_TURN_COUNT> slice_perm_move{};

    // f(table, entries) for each stored table, in the file's order.
    template <class F>
    void for_each_table(F&& f) {
        f(twist_move, TWIST_COUNT * FACE_TURN_COUNT);
        f(flip_move, FLIP_COUNT * FACE_TURN_COUNT);
        f(slice_sorted_move, SLICE_SORTED_COUNT * FACE_TURN_COUNT);
        f(corner_move, CORNER_PERM_COUNT * FACE_TURN_COUNT);
        f(ud_edge_move, UD_EDGE_PERM_COUNT * PHASE2_TURN_COUNT);
        f(corner_slice, CORNER_PERM_COUNT * SLICE_PERM_COUNT);
        f(edge_slice, UD_EDGE_PERM_COUNT * SLICE_PERM_COUNT);
        f(corner_class, CORNER_PERM_COUNT);
        f(corner_class_sym, CORNER_PERM_COUNT);
        f(corner_class_rep, CORNER_CLASS_COUNT);
        f(ud_edge_conj, UD_EDGE_PERM_COUNT * SYMMETRY_COUNT);
        f(corner_edge, CORNER_CLASS_COUNT * UD_EDGE_PERM_COUNT / 16);
        f(flipslice_class, FLIPSLICE_COUNT);
        f(flipslice_class_sym, FLIPSLICE_COUNT);
        f(flipslice_class_rep, FLIPSLICE_CLASS_COUNT);
        f(flipslice_fixing, FLIPSLICE_CLASS_COUNT);
        f(twist_conj, TWIST_COUNT * SYMMETRY_COUNT);
        f(flipslice_twist, nibble_words(FLIPSLICE_CLASS_COUNT * TWIST_COUNT));
    }

    void derive() noexcept;
    // Every entry in range: a table file that passed its checksum but was
    // made by something else must still not send a read out of bounds.
    bool entries_in_range() const noexcept;
};

namespace two_phase {

// The move tables, then slice_move and slice_perm_move derived from them.
void build_move_tables(SolverTables& t);
// corner_class, corner_class_sym, corner_class_rep, ud_edge_conj, the
// flipslice_class tables and twist_conj.
void build_symmetry_tables(SolverTables& t);
// The model's number (model/symmetry.hpp) of each of the sixteen: bit 0 and
// 1 count quarter rotations about the U-D axis, bit 2 adds the half rotation
// that swaps U and D, bit 3 the left-right mirror.
constexpr unsigned model_symmetry(unsigned s) noexcept {
    return (s & 3) + ((s & 4) ? 8 : 0) + ((s & 8) ? 24 : 0);
}
// A cube seen through symmetry s: S x S^-1.
Cube3x3 conjugate_cube(const Cube3x3& cube, unsigned s) noexcept;
// For each corner class, the symmetries (bit s) other than the identity
// that fix its least member.
std::vector<std::uint16_t> class_fixing_symmetries(const SolverTables& t);
// Every table, on the worker pool; `progress` hears of each step.
std::shared_ptr<SolverTables> build_tables(const BuildProgress& progress);
// Whether the distance tables pass breadth_first_sample_holds
// (search/breadth_first.hpp) on `samples` random entries each.
bool pruning_tables_hold(const SolverTables& t, std::size_t samples);

}  // namespace two_phase

}  // namespace twirlkit

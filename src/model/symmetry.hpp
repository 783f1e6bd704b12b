// The 48 symmetries of the cube: the 24 whole-cube rotations, and each of
// them followed by the left-right mirror. Written once, as four motions of
// space; everything else (where each slot goes, how each facelet turns, what
// a move becomes, the products) is derived from them at build time and
// checked there.
//
// Space: x towards R, y towards U, z towards F. The whole-cube turns x, y
// and z turn the cube as R, U and F turn their layers; the mirror M swaps
// the L and R sides.
//
// Numbering, with "p q" meaning p and then q:
//
//   k = 4 a + b, 0..23     A[a] then b turns y, A = (none, x, x2, x', z, z'),
//                          which bring U, F, D, B, L, R to the top
//   k = 24 + r, 24..47     rotation r, then M
//
// so 0 is the identity, 1 2 3 are y y2 y', 4 is x, 5 is "x y", 16 is z, 24
// is M alone.
//
// Transforming a cube by k shows the same physical cube after motion k,
// recoloured so that every colour goes with its face: S x S^-1. The piece in
// slot s moves to slot S(s) and is renamed S(p) (piece p belongs in slot p),
// and its orientation is fixed up for the facelets that the motion turns. A
// move of face f becomes the move of face S(f), turned the other way when S
// is a mirror, so transforming after a move sequence equals the mapped
// sequence after transforming, and solved stays solved.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <stdexcept>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "model/faces.hpp"
#include "model/views.hpp"

namespace twirlkit {

inline constexpr unsigned CUBE_SYMMETRY_COUNT = 48;
inline constexpr unsigned CUBE_ROTATION_COUNT = 24;

// A motion of space as a signed permutation matrix: v' = M v.
using Motion = std::array<std::array<int, 3>, 3>;
using Vector3 = std::array<int, 3>;

struct Symmetry {
    Motion motion{};
    bool mirror = false;
    // The piece in corner slot s goes to slot corner_to[s]; its facelet f
    // lands on facelet (corner_twist[s] + f) mod 3 there, or
    // (corner_twist[s] - f) mod 3 for a mirror (which reverses the
    // counter-clockwise order of the facelets).
    std::array<std::uint8_t, CORNER_COUNT> corner_to{};
    std::array<std::uint8_t, CORNER_COUNT> corner_twist{};
    // The same for edges: facelet f lands on facelet f ^ edge_flip[s].
    std::array<std::uint8_t, EDGE_COUNT> edge_to{};
    std::array<std::uint8_t, EDGE_COUNT> edge_flip{};
    // Face f (in the order of FACES) goes to face face_to[f].
    std::array<std::uint8_t, FACE_COUNT> face_to{};
};

namespace symmetry_detail {

// The outward normal of each colour's home face, in colour-code order
// (views.hpp: U R F D L B), with its face letter.
struct ColourFace {
    char letter;
    Vector3 normal;
};
inline constexpr std::array<ColourFace, FACE_COUNT> COLOUR_FACES{{
    {'U', {0, 1, 0}}, {'R', {1, 0, 0}}, {'F', {0, 0, 1}},
    {'D', {0, -1, 0}}, {'L', {-1, 0, 0}}, {'B', {0, 0, -1}},
}};

inline constexpr Motion IDENTITY{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
inline constexpr Motion TURN_X{{{1, 0, 0}, {0, 0, 1}, {0, -1, 0}}};  // F to U, U to B
inline constexpr Motion TURN_Y{{{0, 0, -1}, {0, 1, 0}, {1, 0, 0}}};  // R to F, F to L
inline constexpr Motion TURN_Z{{{0, 1, 0}, {-1, 0, 0}, {0, 0, 1}}};  // U to R, R to D
inline constexpr Motion MIRROR_LR{{{-1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};

// a after b.
constexpr Motion operator*(const Motion& a, const Motion& b) noexcept {
    Motion out{};
    for (unsigned i = 0; i < 3; ++i)
        for (unsigned j = 0; j < 3; ++j)
            for (unsigned k = 0; k < 3; ++k) out[i][j] += a[i][k] * b[k][j];
    return out;
}

constexpr Vector3 operator*(const Motion& m, const Vector3& v) noexcept {
    Vector3 out{};
    for (unsigned i = 0; i < 3; ++i)
        for (unsigned j = 0; j < 3; ++j) out[i] += m[i][j] * v[j];
    return out;
}

constexpr Motion power(const Motion& m, unsigned n) noexcept {
    Motion out = IDENTITY;
    for (unsigned i = 0; i < n; ++i) out = m * out;
    return out;
}

constexpr int determinant(const Motion& m) noexcept {
    return m[0][0] * (m[1][1] * m[2][2] - m[1][2] * m[2][1]) -
           m[0][1] * (m[1][0] * m[2][2] - m[1][2] * m[2][0]) +
           m[0][2] * (m[1][0] * m[2][1] - m[1][1] * m[2][0]);
}

// A signed permutation matrix as a number below 216: each row's column and
// sign, in base 6.
constexpr unsigned motion_key(const Motion& m) noexcept {
    unsigned key = 0;
    for (unsigned i = 0; i < 3; ++i) {
        unsigned digit = 0;
        for (unsigned j = 0; j < 3; ++j) {
            if (m[i][j] != 0) digit = 2 * j + (m[i][j] < 0 ? 1 : 0);
        }
        key = 6 * key + digit;
    }
    return key;
}

inline constexpr unsigned MOTION_KEYS = 216;

consteval unsigned colour_of_normal(const Vector3& n) {
    for (unsigned c = 0; c < FACE_COUNT; ++c) {
        if (COLOUR_FACES[c].normal == n) return c;
    }
    throw std::logic_error("not a face normal");
}

consteval unsigned colour_of_letter(char letter) {
    for (unsigned c = 0; c < FACE_COUNT; ++c) {
        if (COLOUR_FACES[c].letter == letter) return c;
    }
    throw std::logic_error("not a face letter");
}

// Slot k of a kind with `facelets` facelets a slot: the sum of the normals
// of its faces, read from the piece colour table (piece k is at home in k).
template <std::size_t N>
consteval Vector3 slot_position(const std::array<std::uint8_t, N>& colours, unsigned facelets,
                                unsigned slot) {
    Vector3 p{};
    for (unsigned f = 0; f < facelets; ++f) {
        const Vector3& n = COLOUR_FACES[colours[facelets * slot + f]].normal;
        for (unsigned i = 0; i < 3; ++i) p[i] += n[i];
    }
    return p;
}

// Where motion m takes slot `slot` and each of its facelets.
struct SlotImage {
    unsigned to;
    std::array<unsigned, 3> facelet_to;
};

template <std::size_t N>
consteval SlotImage slot_image(const Motion& m, const std::array<std::uint8_t, N>& colours,
                               unsigned facelets, unsigned slots, unsigned slot) {
    const Vector3 target = m * slot_position(colours, facelets, slot);
    for (unsigned t = 0; t < slots; ++t) {
        if (slot_position(colours, facelets, t) != target) continue;
        SlotImage image{t, {}};
        for (unsigned f = 0; f < facelets; ++f) {
            const unsigned face =
                colour_of_normal(m * COLOUR_FACES[colours[facelets * slot + f]].normal);
            unsigned g = 0;
            while (g < facelets && colours[facelets * t + g] != face) ++g;
            if (g == facelets) throw std::logic_error("facelet without an image");
            image.facelet_to[f] = g;
        }
        return image;
    }
    throw std::logic_error("slot without an image");
}

consteval Symmetry derive(const Motion& m) {
    Symmetry s;
    s.motion = m;
    const int det = determinant(m);
    if (det != 1 && det != -1) throw std::logic_error("not a motion of the cube");
    s.mirror = det < 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const SlotImage image = slot_image(m, CORNER_COLOURS, 3, CORNER_COUNT, k);
        const unsigned t = image.facelet_to[0];
        // A rotation turns the three facelets cyclically, a mirror reverses
        // them: the colour table must list every corner in one sense.
        for (unsigned f = 0; f < 3; ++f) {
            const unsigned expected = s.mirror ? (t + 3 - f) % 3 : (t + f) % 3;
            if (image.facelet_to[f] != expected) throw std::logic_error("corner facelets out of order");
        }
        s.corner_to[k] = static_cast<std::uint8_t>(image.to);
        s.corner_twist[k] = static_cast<std::uint8_t>(t);
    }
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        const SlotImage image = slot_image(m, EDGE_COLOURS, 2, EDGE_COUNT, k);
        s.edge_to[k] = static_cast<std::uint8_t>(image.to);
        s.edge_flip[k] = static_cast<std::uint8_t>(image.facelet_to[0]);
    }
    for (unsigned f = 0; f < FACE_COUNT; ++f) {
        const unsigned colour = colour_of_letter(FACES[f].letter);
        const char to = COLOUR_FACES[colour_of_normal(m * COLOUR_FACES[colour].normal)].letter;
        s.face_to[f] = static_cast<std::uint8_t>(face_of_letter(to));
    }
    return s;
}

consteval std::array<Motion, CUBE_SYMMETRY_COUNT> motions() {
    const std::array<Motion, 6> tops{IDENTITY,          TURN_X, power(TURN_X, 2),
                                     power(TURN_X, 3),  TURN_Z, power(TURN_Z, 3)};
    std::array<Motion, CUBE_SYMMETRY_COUNT> out{};
    for (unsigned a = 0; a < tops.size(); ++a)
        for (unsigned b = 0; b < 4; ++b) out[4 * a + b] = power(TURN_Y, b) * tops[a];
    for (unsigned r = 0; r < CUBE_ROTATION_COUNT; ++r) out[CUBE_ROTATION_COUNT + r] = MIRROR_LR * out[r];
    return out;
}

consteval std::array<Symmetry, CUBE_SYMMETRY_COUNT> derive_all() {
    const auto m = motions();
    std::array<Symmetry, CUBE_SYMMETRY_COUNT> out{};
    for (unsigned k = 0; k < CUBE_SYMMETRY_COUNT; ++k) {
        for (unsigned j = 0; j < k; ++j) {
            if (motion_key(m[j]) == motion_key(m[k])) throw std::logic_error("two symmetries are one motion");
        }
        out[k] = derive(m[k]);
        if (out[k].mirror != (k >= CUBE_ROTATION_COUNT)) throw std::logic_error("mirror misplaced");
    }
    if (m[0] != IDENTITY) throw std::logic_error("symmetry 0 is not the identity");
    return out;
}

}  // namespace symmetry_detail

inline constexpr std::array<Symmetry, CUBE_SYMMETRY_COUNT> SYMMETRIES = symmetry_detail::derive_all();

namespace symmetry_detail {


consteval std::array<std::uint8_t, MOTION_KEYS> symmetry_by_key() {
    std::array<std::uint8_t, MOTION_KEYS> out{};
    out.fill(CUBE_SYMMETRY_COUNT);
    for (unsigned k = 0; k < CUBE_SYMMETRY_COUNT; ++k) {
        out[motion_key(SYMMETRIES[k].motion)] = static_cast<std::uint8_t>(k);
    }
    return out;
}

consteval unsigned index_of_motion(const std::array<std::uint8_t, MOTION_KEYS>& by_key,
                                   const Motion& m) {
    const unsigned k = by_key[motion_key(m)];
    if (k == CUBE_SYMMETRY_COUNT) throw std::logic_error("the symmetries are not closed under products");
    return k;
}

using SymmetryTable = std::array<std::array<std::uint8_t, CUBE_SYMMETRY_COUNT>, CUBE_SYMMETRY_COUNT>;

consteval SymmetryTable products() {
    const auto by_key = symmetry_by_key();
    SymmetryTable out{};
    for (unsigned a = 0; a < CUBE_SYMMETRY_COUNT; ++a)
        for (unsigned b = 0; b < CUBE_SYMMETRY_COUNT; ++b)
            out[a][b] = static_cast<std::uint8_t>(
                index_of_motion(by_key, SYMMETRIES[a].motion * SYMMETRIES[b].motion));
    return out;
}

}  // namespace symmetry_detail

// SYMMETRY_PRODUCT[a][b]: transforming by b and then by a is transforming by
// this one. Building it proves the 48 closed under composition.
inline constexpr symmetry_detail::SymmetryTable SYMMETRY_PRODUCT = symmetry_detail::products();

// The symmetry that undoes each one.
inline constexpr std::array<std::uint8_t, CUBE_SYMMETRY_COUNT> SYMMETRY_INVERSE = [] {
    std::array<std::uint8_t, CUBE_SYMMETRY_COUNT> out{};
    for (unsigned a = 0; a < CUBE_SYMMETRY_COUNT; ++a) {
        unsigned found = CUBE_SYMMETRY_COUNT;
        for (unsigned b = 0; b < CUBE_SYMMETRY_COUNT; ++b) {
            if (SYMMETRY_PRODUCT[b][a] == 0 && SYMMETRY_PRODUCT[a][b] == 0) found = b;
        }
        out[a] = static_cast<std::uint8_t>(found);
    }
    return out;
}();

// ---------------------------------------------------------------------------
// The moves under each symmetry: face f becomes face S(f), and a mirror
// swaps clockwise and counter-clockwise (a half turn stays one).

constexpr MoveIndex transformed_move(unsigned symmetry, MoveIndex move) noexcept {
    const Symmetry& s = SYMMETRIES[symmetry];
    return 2 * MoveIndex{s.face_to[move / 2]} + ((move % 2) ^ (s.mirror ? 1u : 0u));
}

constexpr FaceTurn transformed_face_turn(unsigned symmetry, FaceTurn turn) noexcept {
    const Symmetry& s = SYMMETRIES[symmetry];
    const unsigned kind = kind_of(turn);
    return face_turn(s.face_to[face_of(turn)],
                     kind == FACE_TURN_HALF || !s.mirror ? kind : kind ^ 1u);
}

// ---------------------------------------------------------------------------
// The words seen through a symmetry. These are the plain forms, one slot at
// a time; the batch kernels (kernels/symmetry_kernels.hpp) derive their
// tables from the same data.

// Piece p with orientation o in slot s goes to slot S(s) as piece S(p). Its
// orientation counts from facelet 0 of the slot to the facelet of the piece
// shown there; the motion turns the slot's facelets by S.twist[s] and the
// piece's home facelets by S.twist[p] (a mirror reverses both), so the
// orientation becomes twist[p] - twist[s] + o, or twist[p] - twist[s] - o.
constexpr Word transformed_corner_value(const Symmetry& s, unsigned slot, Word value) noexcept {
    const unsigned piece = static_cast<unsigned>(value & CORNER_PIECE_MASK);
    const unsigned o = static_cast<unsigned>(value >> ORIENTATION_SHIFT) % 3;
    const unsigned turned = s.mirror ? 3 - o : o;
    const unsigned twist = (s.corner_twist[piece] + 3 - s.corner_twist[slot] + turned) % 3;
    return Word{s.corner_to[piece]} | (Word{twist} << ORIENTATION_SHIFT);
}

// An edge's flip changes by the flips of its slot and of its piece; a piece
// number outside 0..11, which no reachable word holds, is kept.
constexpr Word transformed_edge_value(const Symmetry& s, unsigned slot, Word value) noexcept {
    const unsigned piece = static_cast<unsigned>(value & EDGE_PIECE_MASK);
    if (piece >= EDGE_COUNT) return value;
    const unsigned flip =
        static_cast<unsigned>(value >> FLIP_SHIFT) ^ s.edge_flip[piece] ^ s.edge_flip[slot];
    return Word{s.edge_to[piece]} | (Word{flip & 1u} << FLIP_SHIFT);
}

constexpr Word transform_corner_word(unsigned symmetry, Word corners) noexcept {
    const Symmetry& s = SYMMETRIES[symmetry];
    Word out = 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        out |= transformed_corner_value(s, k, slot_value(corners, k)) << (SLOT_BITS * s.corner_to[k]);
    }
    return out;
}

constexpr Word transform_edge_word(unsigned symmetry, Word edges) noexcept {
    const Symmetry& s = SYMMETRIES[symmetry];
    Word out = 0;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        out |= transformed_edge_value(s, k, slot_value(edges, k)) << (SLOT_BITS * s.edge_to[k]);
    }
    return out;
}

// A cube of either size transformed; the row order of its words is
// (corners, edges), as the static checks below confirm for both sizes.
template <PackedCube C>
constexpr C transform_cube(unsigned symmetry, const C& cube) noexcept {
    std::array<Word, C::word_count> words{};
    words[0] = transform_corner_word(symmetry, cube.corner_word());
    if constexpr (C::has_edges) words[1] = transform_edge_word(symmetry, cube.edge_word());
    return C::from_words(words.data());
}

// ---------------------------------------------------------------------------
// Solved up to a whole-cube rotation. A cube without fixed centres (the
// 2x2) that is turned as a whole, U D' for one, is the solved cube moved
// without recolouring: rotation r puts piece s in slot S(s), facelet 0 of
// the piece on facelet twist[s] of its new slot. The piece in slot 0 and its
// orientation tell the 24 apart, so a word is checked by one table read.

namespace symmetry_detail {

consteval Word rotated_solved_corners(unsigned rotation) {
    const Symmetry& s = SYMMETRIES[rotation];
    Word out = 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const Word value = k | (Word{(3u - s.corner_twist[k]) % 3} << ORIENTATION_SHIFT);
        out |= value << (SLOT_BITS * s.corner_to[k]);
    }
    return out;
}

// By the 5-bit value of slot 0; values no rotation leaves there hold a word
// no reachable corner word equals.
consteval std::array<Word, 32> rotated_solved_by_slot0() {
    std::array<Word, 32> out{};
    out.fill(~Word{0});
    for (unsigned r = 0; r < CUBE_ROTATION_COUNT; ++r) {
        const Word word = rotated_solved_corners(r);
        Word& cell = out[slot_value(word, 0)];
        if (cell != ~Word{0}) throw std::logic_error("two rotations leave slot 0 alike");
        cell = word;
    }
    return out;
}

}  // namespace symmetry_detail

inline constexpr std::array<Word, 32> ROTATED_SOLVED_CORNERS = symmetry_detail::rotated_solved_by_slot0();

// Whether a corner word is solved after some whole-cube rotation.
constexpr bool corners_solved_up_to_rotation(Word corners) noexcept {
    return ROTATED_SOLVED_CORNERS[slot_value(corners, 0)] == corners;
}

// ---------------------------------------------------------------------------
// Checks at build time: the group laws and the move law on real turns.

namespace symmetry_detail {

template <PackedCube C>
constexpr C after_moves(std::initializer_list<MoveIndex> moves) noexcept {
    C cube{};
    for (MoveIndex m : moves) apply_move_index_internal(cube, m);
    return cube;
}

// transform(k, x . m) == transform(k, x) . map_k(m) for every k and m from
// one mixed state, and solved stays solved.
template <PackedCube C>
consteval bool move_law_holds() {
    const C start = after_moves<C>({MOVE_R, MOVE_U, MOVE_F_PRIME, MOVE_L, MOVE_D, MOVE_B_PRIME,
                                    MOVE_R, MOVE_F, MOVE_U_PRIME, MOVE_B});
    if (!(transform_cube(0, start) == start)) return false;
    for (unsigned k = 0; k < CUBE_SYMMETRY_COUNT; ++k) {
        if (!(transform_cube(k, C{}) == C{})) return false;
        const C seen = transform_cube(k, start);
        for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
            C turned = start;
            apply_move_index_internal(turned, m);
            C mapped = seen;
            apply_move_index_internal(mapped, transformed_move(k, m));
            if (!(transform_cube(k, turned) == mapped)) return false;
        }
    }
    return true;
}

// The word maps compose as the motions do.
consteval bool products_act() {
    const Cube3x3 x = after_moves<Cube3x3>({MOVE_F, MOVE_R_PRIME, MOVE_U, MOVE_B, MOVE_L_PRIME,
                                            MOVE_D, MOVE_F});
    for (unsigned a = 0; a < CUBE_SYMMETRY_COUNT; ++a)
        for (unsigned b = 0; b < CUBE_SYMMETRY_COUNT; ++b) {
            if (!(transform_cube(a, transform_cube(b, x)) == transform_cube(SYMMETRY_PRODUCT[a][b], x))) {
                return false;
            }
        }
    return true;
}

}  // namespace symmetry_detail

static_assert(Cube3x3{}.words()[0] == Cube3x3{}.corner_word() &&
              Cube2x2{}.words()[0] == Cube2x2{}.corner_word());
static_assert([] {
    for (std::uint8_t inverse : SYMMETRY_INVERSE) {
        if (inverse >= CUBE_SYMMETRY_COUNT) return false;
    }
    return true;
}());
static_assert(symmetry_detail::move_law_holds<Cube3x3>());
static_assert(symmetry_detail::move_law_holds<Cube2x2>());
static_assert(symmetry_detail::products_act());
// y moves the U layer as U and the F face to L; on the 2x2, U D' is a y turn
// of the whole cube.
static_assert(transformed_move(1, MOVE_R) == MOVE_F && transformed_move(24, MOVE_R) == MOVE_L_PRIME);
static_assert(corners_solved_up_to_rotation(
    symmetry_detail::after_moves<Cube2x2>({MOVE_U, MOVE_D_PRIME}).state));
static_assert(ROTATED_SOLVED_CORNERS[slot_value(SOLVED_CORNERS, 0)] == SOLVED_CORNERS);

}  // namespace twirlkit

// Cube values as group elements, and the two move metrics.
//
// A packed state says, slot by slot, which piece sits there and how it is
// turned. Read as a permutation with orientations, the solved cube after a
// move sequence s is an element state(s) of the cube group, and
//
//   compose(a, b)[k] = a[piece(b[k])] with orientation(b[k]) added
//
// is the state reached by doing b's sequence after a's: every turn acts on
// the slots exactly like composing with the state it makes from solved, so
// compose(state(s), state(t)) == state(s + t), and inverse(a) is the state
// whose composition with a is solved on either side.
//
// Moves are indexes in one of two metrics:
//
//   qtm  the twelve quarter turns, move index 2 * face + primed  (cube.hpp)
//   htm  the eighteen face turns, 3 * face + kind               (faces.hpp)
//
// and in both the value equal to the number of moves is the no-move that
// pads sequences of different lengths.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/faces.hpp"

namespace twirlkit {

enum class Metric : std::uint8_t { qtm, htm };

constexpr std::size_t move_count(Metric metric) noexcept {
    return metric == Metric::qtm ? MOVE_COUNT : FACE_TURN_COUNT;
}
constexpr std::string_view metric_name(Metric metric) noexcept {
    return metric == Metric::qtm ? "qtm" : "htm";
}

// The quarter turn that a face turn is made of (once, or twice for a half
// turn): the clockwise one for a half turn.
constexpr MoveIndex quarter_of(FaceTurn turn) noexcept {
    return 2 * MoveIndex{face_of(turn)} + (kind_of(turn) == FACE_TURN_PRIME ? 1 : 0);
}
constexpr FaceTurn face_turn_of_quarter(MoveIndex move) noexcept {
    return face_turn(static_cast<unsigned>(move / 2), static_cast<unsigned>(move % 2));
}
// The move of `metric` that undoes move `m` of that metric (m below the count).
constexpr std::uint8_t inverse_move(Metric metric, std::uint8_t m) noexcept {
    return metric == Metric::qtm ? static_cast<std::uint8_t>(m ^ 1u) : inverse_face_turn(m);
}

// The length of face turns `turns` in `metric`: a half turn is two quarter
// turns.
constexpr std::size_t length_in(Metric metric, std::span<const FaceTurn> turns) noexcept {
    if (metric == Metric::htm) return turns.size();
    std::size_t length = 0;
    for (const FaceTurn turn : turns) length += quarter_count(turn);
    return length;
}

// The token of move `m` as move text spells it: "U", "U'", "U2".
inline std::string move_token(Metric metric, std::size_t m) {
    const FaceTurn turn = metric == Metric::qtm ? face_turn_of_quarter(m) : static_cast<FaceTurn>(m);
    std::string token(1, FACES[face_of(turn)].letter);
    if (kind_of(turn) == FACE_TURN_PRIME) token += '\'';
    if (kind_of(turn) == FACE_TURN_HALF) token += '2';
    return token;
}

// Applies face turn `turn`; 18 and above turn nothing.
template <Cube C>
constexpr void apply_face_turn(C& cube, FaceTurn turn) noexcept {
    if (turn >= FACE_TURN_COUNT) return;
    const MoveIndex q = quarter_of(turn);
    apply_move_index_internal(cube, q);
    if (kind_of(turn) == FACE_TURN_HALF) apply_move_index_internal(cube, q);
}

// Applies move `m` of `metric`; the no-move and above turn nothing.
template <Cube C>
constexpr void apply_metric_move(C& cube, Metric metric, std::size_t m) noexcept {
    if (metric == Metric::qtm) {
        apply_move_index_internal(cube, m);
    } else if (m < FACE_TURN_COUNT) {
        apply_face_turn(cube, static_cast<FaceTurn>(m));
    }
}

static_assert(quarter_of(face_turn(2, FACE_TURN_PRIME)) == MOVE_R_PRIME);
static_assert(quarter_of(face_turn(5, FACE_TURN_HALF)) == MOVE_B);
static_assert(face_turn_of_quarter(MOVE_F_PRIME) == face_turn(4, FACE_TURN_PRIME));

namespace detail {

// The slot arithmetic is written once for a word type W: a Word, or a
// vector of words (one cube a lane) in the batch kernels. Every operation is
// lane-wise, the variable shifts included, and nothing branches, so the
// vector build is the same steps. Words go in and out by reference: a
// vector passed by value would change the ABI between builds. A sum of
// orientations o (0 to 4) is reduced modulo 3 as o - 3 * [o >= 3], where
// [o >= 3] is bit 2 of o + 1.

// Corner slots: piece in bits 0-2, orientation 0..2 in bits 3-4.
template <class W>
[[gnu::always_inline]] constexpr void compose_corners(const W& a, const W& b, W& out) noexcept {
    out = b & 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const W s = (b >> (SLOT_BITS * k)) & SLOT_MASK;
        const W from = (a >> ((s & CORNER_PIECE_MASK) * SLOT_BITS)) & SLOT_MASK;
        const W o = (from >> ORIENTATION_SHIFT) + (s >> ORIENTATION_SHIFT);
        const W reduced = o - 3 * (((o + 1) >> 2) & 1);
        out |= ((from & CORNER_PIECE_MASK) | (reduced << ORIENTATION_SHIFT)) << (SLOT_BITS * k);
    }
}

template <class W>
[[gnu::always_inline]] constexpr void invert_corners(const W& a, W& out) noexcept {
    out = a & 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const W s = (a >> (SLOT_BITS * k)) & SLOT_MASK;
        const W back = 3 - (s >> ORIENTATION_SHIFT);
        const W reduced = back - 3 * (((back + 1) >> 2) & 1);
        out |= ((reduced << ORIENTATION_SHIFT) | Word{k}) << ((s & CORNER_PIECE_MASK) * SLOT_BITS);
    }
}

// Edge slots: piece below the flip bit, flips add modulo 2.
template <unsigned Slots, Word PieceMask, class W>
[[gnu::always_inline]] constexpr void compose_edges(const W& a, const W& b, W& out) noexcept {
    out = b & 0;
    for (unsigned k = 0; k < Slots; ++k) {
        const W s = (b >> (SLOT_BITS * k)) & SLOT_MASK;
        const W from = (a >> ((s & PieceMask) * SLOT_BITS)) & SLOT_MASK;
        out |= (from ^ (s & (~PieceMask & SLOT_MASK))) << (SLOT_BITS * k);
    }
}

template <unsigned Slots, Word PieceMask, class W>
[[gnu::always_inline]] constexpr void invert_edges(const W& a, W& out) noexcept {
    out = a & 0;
    for (unsigned k = 0; k < Slots; ++k) {
        const W s = (a >> (SLOT_BITS * k)) & SLOT_MASK;
        out |= ((s & (~PieceMask & SLOT_MASK)) | Word{k}) << ((s & PieceMask) * SLOT_BITS);
    }
}

}  // namespace detail

// b's sequence done after a's; both reachable states.
template <PackedCube C>
constexpr C compose(const C& a, const C& b) noexcept {
    std::array<Word, C::word_count> w{};
    detail::compose_corners(a.corner_word(), b.corner_word(), w[0]);
    if constexpr (C::has_edges) {
        detail::compose_edges<C::edge_slots, C::edge_piece_mask>(a.edge_word(), b.edge_word(), w[1]);
    }
    return C::from_words(w.data());
}

template <PackedCube C>
constexpr C inverse(const C& a) noexcept {
    std::array<Word, C::word_count> w{};
    detail::invert_corners(a.corner_word(), w[0]);
    if constexpr (C::has_edges) detail::invert_edges<C::edge_slots, C::edge_piece_mask>(a.edge_word(), w[1]);
    return C::from_words(w.data());
}

namespace detail {
// The laws on the corner word, checked by the compiler: R composed with U
// is R U, R with R' is solved, and R's inverse is R'.
constexpr bool corner_laws_hold() {
    const Word r = cycle_slots<corner_turn::R, true>(SOLVED_CORNERS);
    const Word r_prime = cycle_slots<corner_turn::R_PRIME, true>(SOLVED_CORNERS);
    Word ru = 0, solved = 0, back = 0;
    compose_corners(r, layer::u(SOLVED_CORNERS), ru);
    compose_corners(r, r_prime, solved);
    invert_corners(r, back);
    return ru == layer::u(r) && solved == SOLVED_CORNERS && back == r_prime;
}
static_assert(corner_laws_hold());
}  // namespace detail

}  // namespace twirlkit

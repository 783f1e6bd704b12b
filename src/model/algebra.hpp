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

// Corner slots: piece in bits 0-2, orientation 0..2 in bits 3-4.
constexpr Word compose_corner_words(Word a, Word b) noexcept {
    Word out = 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const Word s = slot_value(b, k);
        const Word from = slot_value(a, static_cast<unsigned>(s & CORNER_PIECE_MASK));
        Word o = (from >> ORIENTATION_SHIFT) + (s >> ORIENTATION_SHIFT);
        o -= o >= 3 ? 3 : 0;
        out |= ((from & CORNER_PIECE_MASK) | (o << ORIENTATION_SHIFT)) << (SLOT_BITS * k);
    }
    return out;
}

constexpr Word inverse_corner_word(Word a) noexcept {
    Word out = 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const Word s = slot_value(a, k);
        const Word o = s >> ORIENTATION_SHIFT;
        const Word back = o == 0 ? 0 : 3 - o;
        out |= (Word{k} | (back << ORIENTATION_SHIFT)) << (SLOT_BITS * (s & CORNER_PIECE_MASK));
    }
    return out;
}

// Edge slots: piece below the flip bit, flips add modulo 2.
template <unsigned Slots, Word PieceMask, unsigned FlipShift>
constexpr Word compose_edge_words(Word a, Word b) noexcept {
    Word out = 0;
    for (unsigned k = 0; k < Slots; ++k) {
        const Word s = slot_value(b, k);
        const Word from = slot_value(a, static_cast<unsigned>(s & PieceMask));
        out |= (from ^ (s & ~PieceMask)) << (SLOT_BITS * k);
    }
    return out;
}

template <unsigned Slots, Word PieceMask, unsigned FlipShift>
constexpr Word inverse_edge_word(Word a) noexcept {
    Word out = 0;
    for (unsigned k = 0; k < Slots; ++k) {
        const Word s = slot_value(a, k);
        out |= (Word{k} | (s & ~PieceMask)) << (SLOT_BITS * (s & PieceMask));
    }
    return out;
}

}  // namespace detail

// b's sequence done after a's; both reachable states.
template <PackedCube C>
constexpr C compose(const C& a, const C& b) noexcept {
    if constexpr (C::has_edges) {
        const std::array<Word, 2> w{
            detail::compose_corner_words(a.corner_word(), b.corner_word()),
            detail::compose_edge_words<C::edge_slots, C::edge_piece_mask, C::flip_shift>(
                a.edge_word(), b.edge_word())};
        return C::from_words(w.data());
    } else {
        const Word w = detail::compose_corner_words(a.corner_word(), b.corner_word());
        return C::from_words(&w);
    }
}

template <PackedCube C>
constexpr C inverse(const C& a) noexcept {
    if constexpr (C::has_edges) {
        const std::array<Word, 2> w{
            detail::inverse_corner_word(a.corner_word()),
            detail::inverse_edge_word<C::edge_slots, C::edge_piece_mask, C::flip_shift>(a.edge_word())};
        return C::from_words(w.data());
    } else {
        const Word w = detail::inverse_corner_word(a.corner_word());
        return C::from_words(&w);
    }
}

}  // namespace twirlkit

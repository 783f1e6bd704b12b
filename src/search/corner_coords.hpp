// Corner coordinates: a corner word split into two small numbers that the
// turns move independently, the rank of the corner permutation and the code
// of the corner orientations.
//
// A turn takes the piece in slot a to slot b and adds a twist that depends on
// (a, b) only, never on the piece. So the slot permutation and the slot
// orientations of a word evolve apart: a move table per coordinate
// (perm x move, orientation x move) replaces turning whole words, and the
// index of a position is
//
//   index = permutation rank * ORIENTATIONS + orientation code
//
// over a chosen list of slots. All eight slots give every corner position,
// 8! * 3^7 = 88,179,840 indexes; a list that leaves out a slot describes the
// positions in which that slot keeps its own piece untwisted.
//
//   permutation rank   Lehmer code (search/coordinates.hpp) of the pieces
//                      met slot by slot in list order, the home arrangement
//                      ranking 0.
//   orientation code   the orientations of the listed slots, base 3.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "model/corner_word.hpp"
#include "search/coordinates.hpp"

namespace twirlkit {

template <std::size_t N>
using SlotList = std::array<unsigned, N>;

template <std::size_t N, SlotList<N> Slots>
struct CornerCoordinates {
    static_assert(N >= 2 && N <= CORNER_COUNT);

    static constexpr std::size_t slot_count = N;
    static constexpr std::size_t PERMUTATIONS = PERMUTATION_COUNT<N>;
    static constexpr std::size_t ORIENTATIONS = ORIENTATION_CODE_COUNT<3, N>;
    static constexpr std::size_t POSITIONS = PERMUTATIONS * ORIENTATIONS;

    // The rank each listed slot's home piece takes in the permutation; slots
    // outside the list never hold a listed piece.
    static constexpr std::array<std::uint8_t, CORNER_COUNT> PIECE_RANK = [] {
        std::array<std::uint8_t, CORNER_COUNT> rank{};
        for (std::size_t i = 0; i < N; ++i) rank[Slots[i]] = static_cast<std::uint8_t>(i);
        return rank;
    }();

    static constexpr std::uint32_t permutation_rank(Word word) noexcept {
        return twirlkit::permutation_rank<N>([word](std::size_t i) {
            return PIECE_RANK[slot_value(word, Slots[i]) & CORNER_PIECE_MASK];
        });
    }

    static constexpr std::uint32_t orientation_code(Word word) noexcept {
        return twirlkit::orientation_code<3, N>(
            [word](std::size_t i) { return slot_value(word, Slots[i]) >> ORIENTATION_SHIFT; });
    }

    static constexpr std::uint32_t index(Word word) noexcept {
        return permutation_rank(word) * static_cast<std::uint32_t>(ORIENTATIONS) +
               orientation_code(word);
    }

    // The word with the listed slots arranged by `rank` and twisted by
    // `code`; slots outside the list hold their home piece untwisted.
    static constexpr Word word_of(std::uint32_t rank, std::uint32_t code) noexcept {
        Word word = SOLVED_CORNERS;
        std::array<unsigned, N> twist{};
        orientations_of_code<3, N>(code, [&twist](std::size_t i, unsigned o) { twist[i] = o; });
        permutation_of_rank<N>(rank, [&](std::size_t i, unsigned r) {
            const unsigned shift = SLOT_BITS * Slots[i];
            const Word value = Slots[r] | (Word{twist[i]} << ORIENTATION_SHIFT);
            word = (word & ~(SLOT_MASK << shift)) | (value << shift);
        });
        return word;
    }
};

// Every corner position: all eight slots.
using AllCorners = CornerCoordinates<8, SlotList<8>{0, 1, 2, 3, 4, 5, 6, 7}>;
// The positions in which DBL (slot 4) stays home untwisted: those that U, R
// and F turns reach.
using CornersDblFixed = CornerCoordinates<7, SlotList<7>{0, 1, 2, 3, 5, 6, 7}>;

static_assert(AllCorners::POSITIONS == 88'179'840);
static_assert(CornersDblFixed::POSITIONS == 3'674'160);
static_assert(AllCorners::index(SOLVED_CORNERS) == 0);
static_assert(AllCorners::word_of(0, 0) == SOLVED_CORNERS);

}  // namespace twirlkit

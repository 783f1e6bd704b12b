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
//   permutation rank   Lehmer code of the pieces met slot by slot in list
//                      order: sum of c_i * (n-1-i)!, c_i = pieces after slot
//                      i that are smaller than the piece in slot i. The home
//                      arrangement ranks 0.
//   orientation code   the orientations of the first n-1 listed slots as a
//                      base-3 number, the first slot the most significant;
//                      the last one follows from the sum being 0 mod 3.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

#include "model/corner_word.hpp"

namespace twirlkit {

template <std::size_t N>
using SlotList = std::array<unsigned, N>;

template <std::size_t N, SlotList<N> Slots>
struct CornerCoordinates {
    static_assert(N >= 2 && N <= CORNER_COUNT);

    static constexpr std::size_t slot_count = N;
    static constexpr std::size_t PERMUTATIONS = [] {
        std::size_t f = 1;
        for (std::size_t k = 2; k <= N; ++k) f *= k;
        return f;
    }();
    static constexpr std::size_t ORIENTATIONS = [] {
        std::size_t p = 1;
        for (std::size_t k = 1; k < N; ++k) p *= 3;
        return p;
    }();
    static constexpr std::size_t POSITIONS = PERMUTATIONS * ORIENTATIONS;

    // The rank each listed slot's home piece takes in the permutation; slots
    // outside the list never hold a listed piece.
    static constexpr std::array<std::uint8_t, CORNER_COUNT> PIECE_RANK = [] {
        std::array<std::uint8_t, CORNER_COUNT> rank{};
        for (std::size_t i = 0; i < N; ++i) rank[Slots[i]] = static_cast<std::uint8_t>(i);
        return rank;
    }();

    static constexpr std::array<std::uint32_t, N> FACTORIAL = [] {
        std::array<std::uint32_t, N> f{};
        f[N - 1] = 1;
        for (std::size_t i = N - 1; i-- > 0;) f[i] = f[i + 1] * static_cast<std::uint32_t>(N - 1 - i);
        return f;
    }();

    // Bit counts of 8-bit masks: std::popcount is a library call on x86-64
    // builds without the POPCNT instruction.
    static constexpr std::array<std::uint8_t, 256> BITS = [] {
        std::array<std::uint8_t, 256> bits{};
        for (unsigned m = 0; m < 256; ++m) bits[m] = static_cast<std::uint8_t>(std::popcount(m));
        return bits;
    }();

    // About 8 x (shift, mask, two byte loads, multiply-add).
    static constexpr std::uint32_t permutation_rank(Word word) noexcept {
        std::uint32_t rank = 0;
        unsigned unseen = (1u << N) - 1;  // bit r: piece of rank r not met yet
        for (std::size_t i = 0; i < N; ++i) {
            const unsigned r = PIECE_RANK[slot_value(word, Slots[i]) & CORNER_PIECE_MASK];
            rank += FACTORIAL[i] * BITS[unseen & ((1u << r) - 1)];
            unseen &= ~(1u << r);
        }
        return rank;
    }

    static constexpr std::uint32_t orientation_code(Word word) noexcept {
        std::uint32_t code = 0;
        for (std::size_t i = 0; i + 1 < N; ++i) {
            code = code * 3 + static_cast<std::uint32_t>(slot_value(word, Slots[i]) >> ORIENTATION_SHIFT);
        }
        return code;
    }

    static constexpr std::uint32_t index(Word word) noexcept {
        return permutation_rank(word) * static_cast<std::uint32_t>(ORIENTATIONS) +
               orientation_code(word);
    }

    // The word with the listed slots arranged by `rank` and twisted by
    // `code`; slots outside the list hold their home piece untwisted.
    static constexpr Word word_of(std::uint32_t rank, std::uint32_t code) noexcept {
        Word word = SOLVED_CORNERS;
        unsigned unseen = (1u << N) - 1;
        std::array<unsigned, N> twist{};
        unsigned sum = 0;
        for (std::size_t i = N - 1; i-- > 0;) {
            twist[i] = code % 3;
            code /= 3;
            sum += twist[i];
        }
        twist[N - 1] = (3 - sum % 3) % 3;
        for (std::size_t i = 0; i < N; ++i) {
            const unsigned smaller = rank / FACTORIAL[i];
            rank %= FACTORIAL[i];
            // The (smaller)-th lowest piece rank not met yet.
            unsigned left = unseen;
            for (unsigned k = 0; k < smaller; ++k) left &= left - 1;
            const unsigned r = static_cast<unsigned>(std::countr_zero(left));
            unseen &= ~(1u << r);
            const unsigned shift = SLOT_BITS * Slots[i];
            const Word value = Slots[r] | (Word{twist[i]} << ORIENTATION_SHIFT);
            word = (word & ~(SLOT_MASK << shift)) | (value << shift);
        }
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

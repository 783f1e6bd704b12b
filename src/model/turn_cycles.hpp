// The twelve quarter turns as slot cycles, in move-index order: the data
// from which every cube's scalar turns are generated, and from which the
// successor kernels derive, at build time, where each sticker of a successor
// comes from. The corner half is the same for every cube; a
// cube with edges adds its edge cycles and flips (its `turn_cycles` member).
#pragma once

#include <array>
#include <cstddef>
#include <utility>

#include "model/corner_word.hpp"
#include "model/cube.hpp"

namespace twirlkit {

// The slot cycles of one turn. A cube without edges leaves `edges` empty
// (all steps 0 -> 0), which no net of it reads.
struct TurnCycles {
    Cycle corners;
    Cycle edges{};
    unsigned edge_flip = 0;
};

namespace detail {

// U and D turns are written as cycles here although the turns themselves
// are rotations.
inline constexpr Cycle U_CYCLE{{{0, 1, 0}, {1, 2, 0}, {2, 3, 0}, {3, 0, 0}}};
inline constexpr Cycle U_PRIME_CYCLE{{{0, 3, 0}, {3, 2, 0}, {2, 1, 0}, {1, 0, 0}}};
inline constexpr Cycle D_CYCLE{{{4, 7, 0}, {7, 6, 0}, {6, 5, 0}, {5, 4, 0}}};
inline constexpr Cycle D_PRIME_CYCLE{{{4, 5, 0}, {5, 6, 0}, {6, 7, 0}, {7, 4, 0}}};

}  // namespace detail

// The scalar turns of every cube, generated from these cycles.

// The flip bits that a turn toggles in the edge word: those of the slots
// its edge cycle writes, if it flips.
constexpr Word edge_flip_bits(const TurnCycles& turn) noexcept {
    Word bits = 0;
    if (turn.edge_flip != 0) {
        for (const SlotStep& s : turn.edges) bits |= Word{1} << (SLOT_BITS * s.to + FLIP_SHIFT);
    }
    return bits;
}

template <Cycle C>
constexpr bool twists() noexcept {
    for (const SlotStep& s : C) {
        if (s.twist != 0) return true;
    }
    return false;
}

// One word after one cycle. The U and D layer cycles run as rotations,
// three operations where four slot moves take a dozen (a 3x3 U turn
// measured 3.8 ns so and 4.7 ns by its slot moves: bench_native's
// turn_U_rotation and turn_U_cycle); every other cycle as its slot moves,
// plus the twists where it has any. turns_follow_cycles below proves both.
template <Cycle C>
constexpr Word turn_slots(Word w) noexcept {
    if constexpr (C == detail::U_CYCLE) {
        return layer::u(w);
    } else if constexpr (C == detail::U_PRIME_CYCLE) {
        return layer::u_prime(w);
    } else if constexpr (C == detail::D_CYCLE) {
        return layer::d(w);
    } else if constexpr (C == detail::D_PRIME_CYCLE) {
        return layer::d_prime(w);
    } else {
        return cycle_slots<C, twists<C>()>(w);
    }
}

template <TurnCycles T>
constexpr Word turn_edge_slots(Word w) noexcept {
    return turn_slots<T.edges>(w) ^ edge_flip_bits(T);
}

// The corner-word cycles of the twelve turns, in move-index order.
inline constexpr std::array<Cycle, MOVE_COUNT> CORNER_CYCLES{{
    detail::U_CYCLE, detail::U_PRIME_CYCLE, detail::D_CYCLE, detail::D_PRIME_CYCLE,
    corner_turn::R, corner_turn::R_PRIME, corner_turn::L, corner_turn::L_PRIME,
    corner_turn::F, corner_turn::F_PRIME, corner_turn::B, corner_turn::B_PRIME,
}};

// The turn table of a cube with corners only.
consteval std::array<TurnCycles, MOVE_COUNT> corner_turn_cycles() {
    std::array<TurnCycles, MOVE_COUNT> turns{};
    for (std::size_t m = 0; m < MOVE_COUNT; ++m) turns[m].corners = CORNER_CYCLES[m];
    return turns;
}

// The turn table of a cube whose edge word keeps the U layer in slots 0-3
// and the D layer in slots 4-7 (so U and D move edges as they move corners):
// the edge cycles of R, R', L, L', F, F', B, B' and which of those flip.
consteval std::array<TurnCycles, MOVE_COUNT> turn_cycles_with_edges(
    const std::array<Cycle, MOVE_COUNT - 4>& side_edges,
    const std::array<unsigned, MOVE_COUNT - 4>& side_flips) {
    std::array<TurnCycles, MOVE_COUNT> turns = corner_turn_cycles();
    for (std::size_t m = 0; m < 4; ++m) turns[m].edges = CORNER_CYCLES[m];
    for (std::size_t m = 4; m < MOVE_COUNT; ++m) {
        turns[m].edges = side_edges[m - 4];
        turns[m].edge_flip = side_flips[m - 4];
    }
    return turns;
}

namespace detail {

// What a cycle does to a word, slot by slot and without bit tricks: slot
// `to` takes slot `from`'s value, with the twist added to its orientation
// (modulo 3) in a corner word, or its flip toggled in the edge word of a
// flipping turn.
constexpr Word cycled_by_slots(Word word, const Cycle& cycle, bool corner, unsigned flip) {
    Word out = word;
    for (const SlotStep& s : cycle) out &= ~(SLOT_MASK << (SLOT_BITS * s.to));
    for (const SlotStep& s : cycle) {
        Word v = slot_value(word, s.from);
        if (corner) {
            const Word twisted = ((v >> ORIENTATION_SHIFT) + s.twist) % 3;
            v = (v & CORNER_PIECE_MASK) | (twisted << ORIENTATION_SHIFT);
        } else {
            v ^= Word{flip} << FLIP_SHIFT;
        }
        out |= v << (SLOT_BITS * s.to);
    }
    return out;
}

// Words whose slot k holds piece k at orientation (k + r) mod 3 (corners) or
// flip (k + r) mod 2 (edges): over r = 0, 1, 2 every slot meets every
// orientation, and distinct pieces show where each slot went.
constexpr Word marked_word(unsigned slots, unsigned modulus, unsigned shift, unsigned r) {
    Word w = 0;
    for (unsigned k = 0; k < slots; ++k) {
        w |= (Word{k} | Word{(k + r) % modulus} << shift) << (SLOT_BITS * k);
    }
    return w;
}

}  // namespace detail

// Whether every scalar turn of C equals its cycles on every slot: the
// static_assert after each cube type.
template <class C>
consteval bool turns_follow_cycles() {
    bool all = true;
    for (unsigned r = 0; r < 3; ++r) {
        std::array<Word, C::word_count> in{};
        in[0] = detail::marked_word(CORNER_COUNT, 3, ORIENTATION_SHIFT, r);
        if constexpr (C::has_edges) in[1] = detail::marked_word(EDGE_COUNT, 2, FLIP_SHIFT, r);
        [&]<std::size_t... M>(std::index_sequence<M...>) {
            ((all = all && [&] {
                  C cube = C::from_words(in.data());
                  cube.template turn<M>();
                  const auto out = cube.words();
                  constexpr TurnCycles t = C::turn_cycles[M];
                  bool same = out[0] == detail::cycled_by_slots(in[0], t.corners, true, 0);
                  if constexpr (C::has_edges) {
                      same = same && out[1] == detail::cycled_by_slots(in[1], t.edges, false, t.edge_flip);
                  }
                  return same;
              }()),
             ...);
        }(std::make_index_sequence<MOVE_COUNT>{});
    }
    return all;
}

}  // namespace twirlkit

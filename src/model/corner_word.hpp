// The corner word: eight 5-bit corner slots, shared bit for bit by the 3x3
// `corners` word and the 2x2 `state` word, and the layer rotations that the
// U and D turns apply to every word whose slots 0-3 are the U layer and
// slots 4-7 the D layer.
//
// Corner slot value (5 bits): OOPPP
//   PPP  piece number 0..7 (the index of its home slot)
//   OO   orientation 0..2 (3 never occurs)
//
// Word (64 bits): ------------------------ s7 s6 s5 s4 s3 s2 s1 s0
//   slot k at bits 5k..5k+4, bits 40..63 always zero.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>

namespace twirlkit {

using Word = std::uint64_t;

inline constexpr Word SOLVED_CORNERS = 0x000000398A418820ULL;

inline constexpr unsigned SLOT_BITS = 5;
inline constexpr Word SLOT_MASK = 0x1F;
inline constexpr unsigned CORNER_COUNT = 8;
inline constexpr Word CORNER_PIECE_MASK = 0x07;
inline constexpr unsigned ORIENTATION_SHIFT = 3;

// The edge word of a 3x3 (cube3x3.hpp) has twelve slots of the same width,
// each a 4-bit piece number and a flip bit above it.
inline constexpr unsigned EDGE_COUNT = 12;
inline constexpr Word EDGE_PIECE_MASK = 0x0F;
inline constexpr unsigned FLIP_SHIFT = 4;

constexpr Word slot_value(Word word, unsigned slot) noexcept {
    return (word >> (SLOT_BITS * slot)) & SLOT_MASK;
}

// One piece of a 4-cycle: the value in slot `from` lands in slot `to` and
// (for corners) gains `twist` to its orientation, modulo 3.
struct SlotStep {
    unsigned from;
    unsigned to;
    unsigned twist;
    friend constexpr bool operator==(const SlotStep&, const SlotStep&) = default;
};
using Cycle = std::array<SlotStep, 4>;

namespace detail {

constexpr Word keep_mask(const Cycle& c) noexcept {
    Word moved = 0;
    for (const SlotStep& s : c) moved |= SLOT_MASK << (SLOT_BITS * s.to);
    return ~moved;
}

// Bit 0 of every slot that the cycle writes.
constexpr Word moved_ones(const Cycle& c) noexcept {
    Word ones = 0;
    for (const SlotStep& s : c) ones |= Word{1} << (SLOT_BITS * s.to);
    return ones;
}

// Each written slot's twist, at bit 0 of that slot.
constexpr Word twist_addends(const Cycle& c) noexcept {
    Word addends = 0;
    for (const SlotStep& s : c) addends |= Word{s.twist} << (SLOT_BITS * s.to);
    return addends;
}

// Adds the cycle's twists to the orientations of the slots it wrote, modulo
// 3, for all of them at once. The orientations are lifted into 5-bit lanes of
// their own, so o + t (at most 4) and o + t + 1 stay inside their lanes:
// bit 2 of o + t + 1 says o + t >= 3, and three is then taken off. About ten
// plain ALU operations for the four corners, where a per-corner table read
// costs a variable shift each.
template <Cycle C>
constexpr Word twist_moved(Word word) noexcept {
    constexpr Word ones = moved_ones(C);
    constexpr Word orientation_lanes = ones * 3;  // bits 0-1 of every written slot
    constexpr Word orientation_bits = orientation_lanes << ORIENTATION_SHIFT;
    const Word sum = ((word >> ORIENTATION_SHIFT) & orientation_lanes) + twist_addends(C);
    const Word wrapped = ((sum + ones) >> 2) & ones;
    const Word reduced = sum - 3 * wrapped;
    return (word & ~orientation_bits) | (reduced << ORIENTATION_SHIFT);
}

}  // namespace detail

// Moves four slots along a cycle fixed at build time. The steps are expanded
// as a pack, not looped over, so that every shift amount is a constant: one
// AND plus, per slot, a shift, a mask and an OR; the corner twists are then
// added to the four written slots together.
template <Cycle C, bool Twist>
constexpr Word cycle_slots(Word word) noexcept {
    constexpr Word keep = detail::keep_mask(C);
    const Word moved = [word]<std::size_t... I>(std::index_sequence<I...>) {
        return (word & keep) | (... | [word] {
                   constexpr SlotStep s = C[I];
                   return slot_value(word, s.from) << (SLOT_BITS * s.to);
               }());
    }(std::make_index_sequence<C.size()>{});
    if constexpr (Twist) {
        return detail::twist_moved<C>(moved);
    } else {
        return moved;
    }
}

// Layer rotations, valid for any word with the U layer in slots 0-3 and the
// D layer in slots 4-7 (both 3x3 words and the 2x2 word).
namespace layer {
inline constexpr Word U_KEEP = 0xFFFFFFFFFFF00000ULL;
inline constexpr Word D_KEEP = 0xFFFFFF00000FFFFFULL;

// U: slots 0,1,2 -> 1,2,3 and slot 3 -> 0.
constexpr Word u(Word w) noexcept {
    return (w & U_KEEP) | ((w >> 15) & 0x1F) | ((w << 5) & 0xFFFE0);
}
// U': slots 1,2,3 -> 0,1,2 and slot 0 -> 3.
constexpr Word u_prime(Word w) noexcept {
    return (w & U_KEEP) | ((w << 15) & 0xF8000) | ((w >> 5) & 0x7FFF);
}
// D: slots 5,6,7 -> 4,5,6 and slot 4 -> 7.
constexpr Word d(Word w) noexcept {
    return (w & D_KEEP) | ((w >> 5) & (0x7FFFULL << 20)) |
           ((w << 15) & (0x1FULL << 35));
}
// D': slots 4,5,6 -> 5,6,7 and slot 7 -> 4.
constexpr Word d_prime(Word w) noexcept {
    return (w & D_KEEP) | ((w << 5) & (0x7FFFULL << 25)) |
           ((w >> 15) & (0x1FULL << 20));
}
}  // namespace layer

// The corner half of the R, L, F and B quarter turns. A corner that stays in
// its layer gains +1 on a clockwise turn and one that changes layer +2; the
// primed turns swap the amounts.
namespace corner_turn {
inline constexpr Cycle R{{{2, 1, 1}, {1, 5, 2}, {5, 6, 1}, {6, 2, 2}}};
inline constexpr Cycle R_PRIME{{{1, 2, 2}, {2, 6, 1}, {6, 5, 2}, {5, 1, 1}}};
inline constexpr Cycle L{{{0, 3, 1}, {3, 7, 2}, {7, 4, 1}, {4, 0, 2}}};
inline constexpr Cycle L_PRIME{{{3, 0, 2}, {0, 4, 1}, {4, 7, 2}, {7, 3, 1}}};
inline constexpr Cycle F{{{3, 2, 1}, {2, 6, 2}, {6, 7, 1}, {7, 3, 2}}};
inline constexpr Cycle F_PRIME{{{2, 3, 2}, {3, 7, 1}, {7, 6, 2}, {6, 2, 1}}};
inline constexpr Cycle B{{{1, 0, 1}, {0, 4, 2}, {4, 5, 1}, {5, 1, 2}}};
inline constexpr Cycle B_PRIME{{{0, 1, 2}, {1, 5, 1}, {5, 4, 2}, {4, 0, 1}}};

}  // namespace corner_turn

}  // namespace twirlkit

// The AVX2 build of the grouped turns and of the successor cubes: several
// packed words turned per instruction, every lane by constants derived at
// build time from the turn cycles. The portable algorithm and the choice
// between the two are in grouped_turns.hpp.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <utility>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/turn_cycles.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace twirlkit {

namespace detail {

// One turn as per-lane constants for four 64-bit lanes that each hold one
// packed word: the corner word of a cube, or (on a cube with edges) its edge
// word. The lanes of a 3x3 are [corners, edges] of two cubes, those of a 2x2
// the words of four cubes. Every lane runs the same steps, each slot step a
// variable shift right, a mask, a variable shift left and an OR, with the
// shift amounts of its own word; the twist constants are zero in edge lanes
// and the flip mask zero in corner lanes, so those steps leave them alone.
struct LaneTurn {
    std::array<Word, 4> keep{};
    std::array<std::array<Word, 4>, 4> from{};  // shift right by 5 * slot
    std::array<std::array<Word, 4>, 4> to{};
    std::array<Word, 4> ones{};      // bit 0 of each twisted slot
    std::array<Word, 4> addends{};   // its twist
    std::array<Word, 4> flips{};     // edge flip bits to toggle
};

// Lane k turns by moves[k]: the same move in every lane for a bucket, or
// consecutive moves of one cube for its successors.
template <PackedCube C>
consteval LaneTurn lane_turn(std::array<std::size_t, 4> moves) {
    LaneTurn t{};
    for (std::size_t lane = 0; lane < 4; ++lane) {
        const bool edge = C::has_edges && lane % 2 == 1;
        const TurnCycles& turn = C::turn_cycles[moves[lane]];
        const Cycle& cycle = edge ? turn.edges : turn.corners;
        for (std::size_t s = 0; s < cycle.size(); ++s) {
            t.from[s][lane] = SLOT_BITS * cycle[s].from;
            t.to[s][lane] = SLOT_BITS * cycle[s].to;
        }
        t.keep[lane] = detail::keep_mask(cycle);
        if (edge) {
            t.flips[lane] = edge_flip_bits(turn);
        } else {
            t.ones[lane] = detail::moved_ones(cycle);
            t.addends[lane] = detail::twist_addends(cycle);
        }
    }
    return t;
}

template <PackedCube C, std::size_t M>
inline constexpr LaneTurn LANE_TURN = lane_turn<C>({M, M, M, M});

// The lanes of the J-th vector of one cube's successors: moves 2J and 2J + 1
// of a cube of two words ([corners, edges] twice), moves 4J to 4J + 3 of a
// cube of one word.
template <PackedCube C>
consteval std::array<std::size_t, 4> successor_lane_moves(std::size_t j) {
    if constexpr (C::word_count == 2) {
        return {2 * j, 2 * j, 2 * j + 1, 2 * j + 1};
    } else {
        return {4 * j, 4 * j + 1, 4 * j + 2, 4 * j + 3};
    }
}
template <PackedCube C, std::size_t J>
inline constexpr LaneTurn SUCCESSOR_LANE_TURN = lane_turn<C>(successor_lane_moves<C>(J));

#if defined(__x86_64__)
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i v(const std::array<Word, 4>& a) noexcept {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(a.data()));
}

template <const LaneTurn& t>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i turn_lanes_by(__m256i w) noexcept {
    const __m256i slot = _mm256_set1_epi64x(SLOT_MASK);
    __m256i moved = _mm256_and_si256(w, v(t.keep));
    for (std::size_t s = 0; s < 4; ++s) {
        const __m256i value = _mm256_and_si256(_mm256_srlv_epi64(w, v(t.from[s])), slot);
        moved = _mm256_or_si256(moved, _mm256_sllv_epi64(value, v(t.to[s])));
    }
    // The twist of corner_word.hpp's twist_moved, lane by lane.
    const __m256i ones = v(t.ones);
    const __m256i lanes = _mm256_add_epi64(ones, _mm256_add_epi64(ones, ones));
    const __m256i sum = _mm256_add_epi64(
        _mm256_and_si256(_mm256_srli_epi64(moved, ORIENTATION_SHIFT), lanes), v(t.addends));
    const __m256i wrapped = _mm256_and_si256(_mm256_srli_epi64(_mm256_add_epi64(sum, ones), 2), ones);
    const __m256i reduced =
        _mm256_sub_epi64(sum, _mm256_add_epi64(wrapped, _mm256_add_epi64(wrapped, wrapped)));
    moved = _mm256_or_si256(_mm256_andnot_si256(_mm256_slli_epi64(lanes, ORIENTATION_SHIFT), moved),
                            _mm256_slli_epi64(reduced, ORIENTATION_SHIFT));
    return _mm256_xor_si256(moved, v(t.flips));
}

template <PackedCube C, std::size_t M>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i turn_lanes(__m256i w) noexcept {
    return turn_lanes_by<LANE_TURN<C, M>>(w);
}

template <PackedCube C, std::size_t... J>
[[gnu::target("avx2"), gnu::always_inline]] inline void store_successors(
    __m256i* row, __m256i w, std::index_sequence<J...>) noexcept {
    (_mm256_storeu_si256(row + J, turn_lanes_by<SUCCESSOR_LANE_TURN<C, J>>(w)), ...);
}

// The twelve successors of each cube, one vector of two (two-word cubes) or
// four (one-word cubes) successors at a time: the cube in every lane, each
// lane turned by its own move, and the vector stored whole, since the
// successors of one cube lie side by side in the order of their move indexes.
template <PackedCube C>
[[gnu::target("avx2")]] void expand_avx2(const C* cubes, std::size_t count, C* out) noexcept {
    static_assert(sizeof(C) == C::word_count * sizeof(Word) && (C::word_count == 1 || C::word_count == 2));
    constexpr std::size_t per = 4 / C::word_count;
    for (std::size_t i = 0; i < count; ++i) {
        __m256i w;
        if constexpr (C::word_count == 2) {
            w = _mm256_broadcastsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(cubes + i)));
        } else {
            Word word;
            std::memcpy(&word, cubes + i, sizeof word);
            w = _mm256_set1_epi64x(static_cast<long long>(word));
        }
        store_successors<C>(reinterpret_cast<__m256i*>(out + i * MOVE_COUNT), w,
                            std::make_index_sequence<MOVE_COUNT / per>{});
    }
}

// One bucket of move M: two 3x3 cubes or four 2x2 cubes per vector, loaded
// from and stored back to their own places; a remainder runs the scalar turn.
template <PackedCube C, std::size_t M>
[[gnu::target("avx2")]] void turn_bucket_avx2(C* cubes, const std::uint32_t* ids,
                                              std::size_t count) noexcept {
    static_assert(sizeof(C) == C::word_count * sizeof(Word) && (C::word_count == 1 || C::word_count == 2));
    constexpr std::size_t per = 4 / C::word_count;
    std::size_t i = 0;
    for (; i + per <= count; i += per) {
        if constexpr (C::word_count == 2) {
            auto* a = reinterpret_cast<__m128i*>(cubes + ids[i]);
            auto* b = reinterpret_cast<__m128i*>(cubes + ids[i + 1]);
            const __m256i w = _mm256_inserti128_si256(
                _mm256_castsi128_si256(_mm_loadu_si128(a)), _mm_loadu_si128(b), 1);
            const __m256i out = turn_lanes<C, M>(w);
            _mm_storeu_si128(a, _mm256_castsi256_si128(out));
            _mm_storeu_si128(b, _mm256_extracti128_si256(out, 1));
        } else {
            Word* p[4];
            for (std::size_t k = 0; k < 4; ++k) p[k] = reinterpret_cast<Word*>(cubes + ids[i + k]);
            const __m256i w = _mm256_set_epi64x(static_cast<long long>(*p[3]), static_cast<long long>(*p[2]),
                                                static_cast<long long>(*p[1]), static_cast<long long>(*p[0]));
            alignas(32) Word out[4];
            _mm256_store_si256(reinterpret_cast<__m256i*>(out), turn_lanes<C, M>(w));
            for (std::size_t k = 0; k < 4; ++k) *p[k] = out[k];
        }
    }
    for (; i < count; ++i) apply_move_index_internal(cubes[ids[i]], MoveIndex{M});
}
#endif

}  // namespace detail

}  // namespace twirlkit

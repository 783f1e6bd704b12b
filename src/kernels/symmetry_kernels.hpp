// Batch kernels of the 48 symmetries (model/symmetry.hpp): every cube seen
// through one symmetry or through its own, the least member of every cube's
// class, and the solved test up to a whole-cube rotation. Written once
// against PackedCube; no Python here, so they may run while the interpreter
// lock is released.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "model/cube.hpp"
#include "model/symmetry.hpp"
#include "runtime/parallel.hpp"

namespace twirlkit {

namespace detail {

// One symmetry's slot maps as lookups: for each corner slot, the new 5-bit
// value of every old one; for the edges, the new value of every old one
// without the flip of the slot it leaves, which is then one XOR on the
// whole word. A table covers all 32 values, so no slot content reads
// outside it.
struct WordConjugation {
    std::array<std::array<std::uint8_t, 32>, CORNER_COUNT> corner{};
    std::array<std::uint8_t, 32> edge{};
    Word edge_slot_flips = 0;
};

consteval std::array<WordConjugation, CUBE_SYMMETRY_COUNT> word_conjugations() {
    std::array<WordConjugation, CUBE_SYMMETRY_COUNT> out{};
    for (unsigned k = 0; k < CUBE_SYMMETRY_COUNT; ++k) {
        const Symmetry& s = SYMMETRIES[k];
        WordConjugation& t = out[k];
        for (unsigned v = 0; v < 32; ++v) {
            for (unsigned slot = 0; slot < CORNER_COUNT; ++slot) {
                t.corner[slot][v] = static_cast<std::uint8_t>(transformed_corner_value(s, slot, v));
            }
            // transformed_edge_value with the slot's flip taken back out.
            const Word seen = transformed_edge_value(s, 0, v);
            t.edge[v] = static_cast<std::uint8_t>(
                (v & EDGE_PIECE_MASK) < EDGE_COUNT ? seen ^ (Word{s.edge_flip[0]} << FLIP_SHIFT) : seen);
        }
        for (unsigned slot = 0; slot < EDGE_COUNT; ++slot) {
            t.edge_slot_flips |= Word{s.edge_flip[slot]} << (SLOT_BITS * s.edge_to[slot] + FLIP_SHIFT);
        }
    }
    return out;
}

inline constexpr std::array<WordConjugation, CUBE_SYMMETRY_COUNT> WORD_CONJUGATIONS =
    word_conjugations();

// The words through symmetry K: every shift and every table address a
// constant, one load, shift and OR a slot.
template <unsigned K>
[[gnu::always_inline]] constexpr Word fast_corner_word(Word w) noexcept {
    return [w]<std::size_t... I>(std::index_sequence<I...>) {
        return (... | (Word{WORD_CONJUGATIONS[K].corner[I][slot_value(w, I)]}
                       << (SLOT_BITS * SYMMETRIES[K].corner_to[I])));
    }(std::make_index_sequence<CORNER_COUNT>{});
}

template <unsigned K>
[[gnu::always_inline]] constexpr Word fast_edge_word(Word w) noexcept {
    return [w]<std::size_t... I>(std::index_sequence<I...>) {
        return (... | (Word{WORD_CONJUGATIONS[K].edge[slot_value(w, I)]}
                       << (SLOT_BITS * SYMMETRIES[K].edge_to[I])));
    }(std::make_index_sequence<EDGE_COUNT>{}) ^ WORD_CONJUGATIONS[K].edge_slot_flips;
}

template <PackedCube C, unsigned K>
constexpr C fast_transform(const C& cube) noexcept {
    std::array<Word, C::word_count> words{};
    words[0] = fast_corner_word<K>(cube.corner_word());
    if constexpr (C::has_edges) words[1] = fast_edge_word<K>(cube.edge_word());
    return C::from_words(words.data());
}

using WordFn = Word (*)(Word) noexcept;

template <std::size_t... K>
consteval std::array<WordFn, sizeof...(K)> edge_word_fns(std::index_sequence<K...>) {
    return {&fast_edge_word<K>...};
}
inline constexpr std::array<WordFn, CUBE_SYMMETRY_COUNT> EDGE_WORD_FNS =
    edge_word_fns(std::make_index_sequence<CUBE_SYMMETRY_COUNT>{});

template <PackedCube C>
using CubeFn = C (*)(const C&) noexcept;

template <PackedCube C, std::size_t... K>
consteval std::array<CubeFn<C>, sizeof...(K)> transform_fns(std::index_sequence<K...>) {
    return {&fast_transform<C, K>...};
}
template <PackedCube C>
inline constexpr std::array<CubeFn<C>, CUBE_SYMMETRY_COUNT> TRANSFORM_FNS =
    transform_fns<C>(std::make_index_sequence<CUBE_SYMMETRY_COUNT>{});

// A run of cubes through one symmetry, the loop built for that symmetry.
template <PackedCube C>
using RangeFn = void (*)(const C* in, C* out, std::size_t begin, std::size_t end) noexcept;

template <PackedCube C, unsigned K>
void transform_range(const C* in, C* out, std::size_t begin, std::size_t end) noexcept {
    for (std::size_t i = begin; i < end; ++i) out[i] = fast_transform<C, K>(in[i]);
}

template <PackedCube C, std::size_t... K>
consteval std::array<RangeFn<C>, sizeof...(K)> range_fns(std::index_sequence<K...>) {
    return {&transform_range<C, K>...};
}
template <PackedCube C>
inline constexpr std::array<RangeFn<C>, CUBE_SYMMETRY_COUNT> RANGE_FNS =
    range_fns<C>(std::make_index_sequence<CUBE_SYMMETRY_COUNT>{});

// The least of the Count transforms of `cube` by its row of words, and the
// lowest symmetry that gives it. The corner word comes first in a row, so
// the edge words are made only for the symmetries that tie on the least
// corner word: one or two for most states, all of them for a cube whose
// corners are solved.
template <PackedCube C, unsigned Count>
C least_transform(const C& cube, std::uint8_t& which) noexcept {
    std::array<Word, Count> corners;
    [&]<std::size_t... K>(std::index_sequence<K...>) {
        ((corners[K] = fast_corner_word<K>(cube.corner_word())), ...);
    }(std::make_index_sequence<Count>{});
    Word least = corners[0];
    for (unsigned k = 1; k < Count; ++k) least = corners[k] < least ? corners[k] : least;
    std::array<Word, C::word_count> words{};
    words[0] = least;
    unsigned best = 0;
    if constexpr (C::has_edges) {
        Word best_edges = ~Word{0};  // above every edge word, whose top bits are zero
        for (unsigned k = 0; k < Count; ++k) {
            if (corners[k] != least) continue;
            const Word edges = EDGE_WORD_FNS[k](cube.edge_word());
            if (edges < best_edges) {
                best_edges = edges;
                best = k;
            }
        }
        words[1] = best_edges;
    } else {
        while (corners[best] != least) ++best;
    }
    which = static_cast<std::uint8_t>(best);
    return C::from_words(words.data());
}

}  // namespace detail

// Cubes a few nanoseconds each: chunks of many; a class search costs about
// fifty transforms, so its chunks are smaller.
inline constexpr std::size_t TRANSFORM_GRAIN = 1024;        // cubes
inline constexpr std::size_t CANONICAL_GRAIN = 64;          // cubes
inline constexpr std::size_t TRANSFORM_CANCEL_STEP = 1 << 16;  // cubes
inline constexpr std::size_t CANONICAL_CANCEL_STEP = 1024;     // cubes

// out[i] = cubes[i] seen through `symmetry` (below CUBE_SYMMETRY_COUNT).
template <PackedCube C>
void transform_cubes(std::span<const C> cubes, unsigned symmetry, C* out,
                     std::size_t grain = TRANSFORM_GRAIN) {
    const detail::RangeFn<C> range = detail::RANGE_FNS<C>[symmetry];
    const C* in = cubes.data();
    parallel_for(0, cubes.size(), grain, [=](std::size_t chunk_begin, std::size_t chunk_end) {
        in_cancellable_steps(chunk_begin, chunk_end, TRANSFORM_CANCEL_STEP,
                             [=](std::size_t begin, std::size_t end) { range(in, out, begin, end); });
    });
}

// out[i] = cubes[i] seen through symmetries[i]; every value must be below
// CUBE_SYMMETRY_COUNT.
template <PackedCube C>
void transform_cubes_each(std::span<const C> cubes, const std::uint8_t* symmetries, C* out,
                          std::size_t grain = TRANSFORM_GRAIN) {
    const C* in = cubes.data();
    parallel_for(0, cubes.size(), grain, [=](std::size_t chunk_begin, std::size_t chunk_end) {
        in_cancellable_steps(chunk_begin, chunk_end, TRANSFORM_CANCEL_STEP,
                             [=](std::size_t begin, std::size_t end) {
            for (std::size_t i = begin; i < end; ++i) {
                out[i] = detail::TRANSFORM_FNS<C>[symmetries[i]](in[i]);
            }
        });
    });
}

// out[i] = the least transform of cubes[i] by its row of words, over all 48
// symmetries or the 24 rotations; which[i] = a symmetry that gives it.
template <PackedCube C>
void canonical_cubes(std::span<const C> cubes, bool rotations_only, C* out, std::int8_t* which,
                     std::size_t grain = CANONICAL_GRAIN) {
    const C* in = cubes.data();
    const auto run = [=]<unsigned Count>(std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            std::uint8_t k = 0;
            out[i] = detail::least_transform<C, Count>(in[i], k);
            which[i] = static_cast<std::int8_t>(k);
        }
    };
    parallel_for(0, cubes.size(), grain, [=](std::size_t chunk_begin, std::size_t chunk_end) {
        in_cancellable_steps(chunk_begin, chunk_end, CANONICAL_CANCEL_STEP,
                             [=](std::size_t begin, std::size_t end) {
            if (rotations_only) {
                run.template operator()<CUBE_ROTATION_COUNT>(begin, end);
            } else {
                run.template operator()<CUBE_SYMMETRY_COUNT>(begin, end);
            }
        });
    });
}

// out[i] = whether cubes[i] is solved after some whole-cube rotation. A cube
// with edges has fixed centres, so for it this is the plain solved test.
template <PackedCube C>
void solved_up_to_rotation_flags(std::span<const C> cubes, bool* out,
                                 std::size_t grain = TRANSFORM_GRAIN) {
    parallel_for(0, cubes.size(), grain, [cubes, out](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if constexpr (C::has_edges) {
                out[i] = cubes[i].is_solved();
            } else {
                out[i] = corners_solved_up_to_rotation(cubes[i].corner_word());
            }
        }
    });
}

}  // namespace twirlkit

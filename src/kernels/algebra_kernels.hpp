// Batch kernels of the state algebra (model/algebra.hpp), the writes into a
// batch, and successors in the half-turn metric. No Python here.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <utility>

#include "kernels/state_kernels.hpp"
#include "model/algebra.hpp"
#include "model/cube.hpp"
#include "kernels/dispatch.hpp"
#include "runtime/parallel.hpp"

namespace twirlkit {

inline constexpr std::size_t ALGEBRA_GRAIN = 4096;     // cubes
inline constexpr std::size_t ASSIGN_CANCEL_STEP = std::size_t{1} << 16;
inline constexpr std::size_t HTM_EXPAND_GRAIN = 128;   // cubes, 18 out each
inline constexpr std::size_t HTM_ENCODE_STEP = 8;      // cubes per staged run
inline constexpr std::size_t HTM_ENCODE_CANCEL_STEP = 64;  // cubes

namespace detail {

// Four cubes a vector, a word of each per 64-bit lane: the slot arithmetic
// of model/algebra.hpp with AVX2's variable shifts, several times the
// scalar speed (whose shifts by a slot's piece are one word at a time).
using WordLanes = Word __attribute__((vector_size(32)));
inline constexpr std::size_t WORD_LANES = 4;

// Lane l of `words` is word `w` of cubes[l] (cubes[0] in every lane when
// `same`). Through memory, so that no vector is passed by value.
template <PackedCube C>
[[gnu::always_inline]] inline void load_lanes(const C* cubes, bool same, std::size_t w,
                                              Word* words) noexcept {
    for (std::size_t l = 0; l < WORD_LANES; ++l) words[l] = cubes[same ? 0 : l].words()[w];
}

template <PackedCube C>
[[gnu::always_inline]] inline void store_lanes(const Word (*words)[WORD_LANES], C* out) noexcept {
    for (std::size_t l = 0; l < WORD_LANES; ++l) {
        std::array<Word, C::word_count> w;
        for (std::size_t k = 0; k < C::word_count; ++k) w[k] = words[k][l];
        out[l] = C::from_words(w.data());
    }
}

// out[i] = compose(a[i], b[broadcast ? 0 : i]) or inverse(a[i]) for i <
// count, four at a time; the rest one by one.
template <bool Inverse, PackedCube C>
[[gnu::always_inline]] inline void algebra_run(const C* a, const C* b, bool broadcast,
                                               std::size_t count, C* out) noexcept {
    std::size_t i = 0;
    for (; i + WORD_LANES <= count; i += WORD_LANES) {
        alignas(32) Word in_a[C::word_count][WORD_LANES];
        alignas(32) Word in_b[C::word_count][WORD_LANES];
        alignas(32) Word res[C::word_count][WORD_LANES];
        for (std::size_t w = 0; w < C::word_count; ++w) {
            load_lanes(a + i, false, w, in_a[w]);
            if (!Inverse) load_lanes(broadcast ? b : b + i, broadcast, w, in_b[w]);
        }
        WordLanes va, vb, r;
        std::memcpy(&va, in_a[0], sizeof va);
        std::memcpy(&vb, in_b[0], sizeof vb);
        if constexpr (Inverse) {
            invert_corners(va, r);
        } else {
            compose_corners(va, vb, r);
        }
        std::memcpy(res[0], &r, sizeof r);
        if constexpr (C::has_edges) {
            std::memcpy(&va, in_a[1], sizeof va);
            std::memcpy(&vb, in_b[1], sizeof vb);
            if constexpr (Inverse) {
                invert_edges<C::edge_slots, C::edge_piece_mask>(va, r);
            } else {
                compose_edges<C::edge_slots, C::edge_piece_mask>(va, vb, r);
            }
            std::memcpy(res[1], &r, sizeof r);
        }
        store_lanes(res, out + i);
    }
    for (; i < count; ++i) out[i] = Inverse ? inverse(a[i]) : compose(a[i], b[broadcast ? 0 : i]);
}

template <bool Inverse, PackedCube C>
void algebra_run_baseline(const C* a, const C* b, bool broadcast, std::size_t count, C* out) noexcept {
    for (std::size_t i = 0; i < count; ++i) {
        out[i] = Inverse ? inverse(a[i]) : compose(a[i], b[broadcast ? 0 : i]);
    }
}

#if defined(__x86_64__)
template <bool Inverse, PackedCube C>
[[gnu::target("avx2")]] void algebra_run_avx2(const C* a, const C* b, bool broadcast, std::size_t count,
                                              C* out) noexcept {
    algebra_run<Inverse>(a, b, broadcast, count, out);
}
#endif

template <bool Inverse, PackedCube C>
void algebra_cubes(std::span<const C> a, const C* b, bool broadcast, C* out, std::size_t grain) {
    parallel_for(0, a.size(), grain, [a, b, broadcast, out](std::size_t begin, std::size_t end) {
        const C* right = b == nullptr ? nullptr : (broadcast ? b : b + begin);
        with_kernel_build([&](auto vector) {
#if defined(__x86_64__)
            if constexpr (decltype(vector)::value) {
                algebra_run_avx2<Inverse>(a.data() + begin, right, broadcast, end - begin, out + begin);
                return;
            }
#endif
            algebra_run_baseline<Inverse>(a.data() + begin, right, broadcast, end - begin, out + begin);
        });
    });
}

}  // namespace detail

// out[i] = compose(a[i], b[i]), or compose(a[i], b[0]) when b holds one cube.
template <PackedCube C>
void compose_cubes(std::span<const C> a, std::span<const C> b, C* out,
                   std::size_t grain = ALGEBRA_GRAIN) {
    detail::algebra_cubes<false>(a, b.data(), b.size() == 1, out, grain);
}

template <PackedCube C>
void inverse_cubes(std::span<const C> a, C* out, std::size_t grain = ALGEBRA_GRAIN) {
    detail::algebra_cubes<true>(a, static_cast<const C*>(nullptr), false, out, grain);
}

// out[i] = compose(inverse(goals[i]), cubes[i]), or with goals[0] for all
// when goals holds one cube: the state whose solutions are the moves that
// take cubes[i] to goals[i], since compose(cubes[i], state(m)) == goals[i]
// exactly when compose(out[i], state(m)) is solved. A cube at a time: this
// precedes a search or a table read that costs far more.
template <PackedCube C>
void relative_to_goals(std::span<const C> cubes, std::span<const C> goals, C* out,
                       std::size_t grain = ALGEBRA_GRAIN) {
    const C one = goals.size() == 1 ? inverse(goals[0]) : C{};
    parallel_for(0, cubes.size(), grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            out[i] = compose(goals.size() == 1 ? one : inverse(goals[i]), cubes[i]);
        }
    });
}

// out[i] = a[i] == b[i], or a[i] == b[0] when b holds one cube.
template <Cube C>
void equal_flags(std::span<const C> a, std::span<const C> b, bool* out,
                 std::size_t grain = COPY_GRAIN) {
    parallel_for(0, a.size(), grain, [a, b, out](std::size_t begin, std::size_t end) {
        if (b.size() == 1) {
            const C right = b[0];
            for (std::size_t i = begin; i < end; ++i) out[i] = a[i] == right;
        } else {
            for (std::size_t i = begin; i < end; ++i) out[i] = a[i] == b[i];
        }
    });
}

// cubes[positions[k]] = source[k] (source[0] for all when it holds one),
// in order, so that of repeated positions the last one wins. One thread:
// the writes are bound by memory, and chunks could meet at a repeat.
template <Cube C>
void assign_cubes(std::span<C> cubes, std::span<const std::size_t> positions,
                  std::span<const C> source) {
    in_cancellable_steps(0, positions.size(), ASSIGN_CANCEL_STEP, [&](std::size_t begin, std::size_t end) {
        if (source.size() == 1) {
            for (std::size_t k = begin; k < end; ++k) cubes[positions[k]] = source[0];
        } else {
            for (std::size_t k = begin; k < end; ++k) cubes[positions[k]] = source[k];
        }
    });
}

namespace detail {

// The eighteen face-turn successors of one cube, in face-turn order; each
// half turn is the clockwise successor turned once more.
template <Cube C>
[[gnu::flatten]] inline void write_face_turn_successors(const C& cube, C* row) noexcept {
    [&]<std::size_t... F>(std::index_sequence<F...>) {
        ((row[TURNS_PER_FACE * F] = cube,
          apply_move_index_internal(row[TURNS_PER_FACE * F], 2 * F),
          row[TURNS_PER_FACE * F + FACE_TURN_PRIME] = cube,
          apply_move_index_internal(row[TURNS_PER_FACE * F + FACE_TURN_PRIME], 2 * F + 1),
          row[TURNS_PER_FACE * F + FACE_TURN_HALF] = row[TURNS_PER_FACE * F],
          apply_move_index_internal(row[TURNS_PER_FACE * F + FACE_TURN_HALF], 2 * F)),
         ...);
    }(std::make_index_sequence<FACE_COUNT>{});
}

}  // namespace detail

// out[18 i + f] = cube i after face turn f.
template <Cube C>
void expand_face_turns(std::span<const C> cubes, C* out, std::size_t grain = HTM_EXPAND_GRAIN) {
    parallel_for(0, cubes.size(), grain, [cubes, out](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            detail::write_face_turn_successors(cubes[i], out + i * FACE_TURN_COUNT);
        }
    });
}

// The encoded rows of the eighteen face-turn successors of every cube, row
// 18 i + f: a few cubes' successors are made in a staging run and encoded as
// plain rows, the staging small enough to stay in the first-level cache.
template <PackedCube C, class T>
void encode_face_turn_successor_rows(std::span<const C> cubes, bool one_hot, T* out, T one) {
    const Encoding plain{false, one_hot};
    const std::size_t per_cube = FACE_TURN_COUNT * row_width<C>(plain);
    parallel_for(0, cubes.size(), ENCODE_GRAIN, [=](std::size_t chunk_begin, std::size_t chunk_end) {
        in_cancellable_steps(chunk_begin, chunk_end, HTM_ENCODE_CANCEL_STEP, [&](std::size_t begin, std::size_t end) {
            std::array<C, HTM_ENCODE_STEP * FACE_TURN_COUNT> staged;
            for (std::size_t i = begin; i < end; i += HTM_ENCODE_STEP) {
                const std::size_t count = std::min(end - i, HTM_ENCODE_STEP);
                for (std::size_t k = 0; k < count; ++k) {
                    detail::write_face_turn_successors(cubes[i + k], staged.data() + k * FACE_TURN_COUNT);
                }
                // Called from inside a chunk, the pool runs this inline.
                encode_sticker_rows(std::span<const C>(staged.data(), count * FACE_TURN_COUNT), plain,
                                    out + i * per_cube, one);
            }
        });
    });
}

}  // namespace twirlkit

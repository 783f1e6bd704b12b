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
#include "runtime/parallel.hpp"

namespace twirlkit {

inline constexpr std::size_t ALGEBRA_GRAIN = 4096;     // cubes
inline constexpr std::size_t ASSIGN_CANCEL_STEP = std::size_t{1} << 16;
inline constexpr std::size_t HTM_EXPAND_GRAIN = 128;   // cubes, 18 out each
inline constexpr std::size_t HTM_ENCODE_STEP = 8;      // cubes per staged run

// out[i] = compose(a[i], b[i]), or compose(a[i], b[0]) when b holds one cube.
template <PackedCube C>
void compose_cubes(std::span<const C> a, std::span<const C> b, C* out,
                   std::size_t grain = ALGEBRA_GRAIN) {
    parallel_for(0, a.size(), grain, [a, b, out](std::size_t begin, std::size_t end) {
        if (b.size() == 1) {
            const C right = b[0];
            for (std::size_t i = begin; i < end; ++i) out[i] = compose(a[i], right);
        } else {
            for (std::size_t i = begin; i < end; ++i) out[i] = compose(a[i], b[i]);
        }
    });
}

template <PackedCube C>
void inverse_cubes(std::span<const C> a, C* out, std::size_t grain = ALGEBRA_GRAIN) {
    parallel_for(0, a.size(), grain, [a, out](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = inverse(a[i]);
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
        in_cancellable_steps(chunk_begin, chunk_end, NEXT_STATES_CANCEL_STEP, [&](std::size_t begin, std::size_t end) {
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

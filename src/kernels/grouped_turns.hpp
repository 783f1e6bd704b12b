// Turns by data-dependent move index, grouped by index.
//
// apply_move_index_internal dispatches with a 12-way jump; on random indexes
// (scrambles, caller-given move arrays) it mispredicts almost every time, and
// the flush costs several times the turn itself. Here a block of up to
// MOVE_BLOCK (cube, move) pairs is first bucketed by move index with a
// counting sort, then each bucket runs one fixed, inlined turn: loops whose
// only branches the predictor learns. The result is the same as applying the
// pairs one by one, since every cube appears at most once per block.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <utility>

#include "kernels/dispatch.hpp"
#include "kernels/grouped_turns_avx2.hpp"
#include "model/cube.hpp"

namespace twirlkit {

inline constexpr std::size_t MOVE_BLOCK = 256;
// A move slot that turns nothing: indexes of 12 and above map here.
inline constexpr std::uint8_t NO_MOVE = MOVE_COUNT;

constexpr std::uint8_t clamp_move(MoveIndex move) noexcept {
    return static_cast<std::uint8_t>(move < MOVE_COUNT ? move : NO_MOVE);
}


// Applies moves[k] to cubes[ids[k]] for k < count (count <= MOVE_BLOCK, ids
// distinct within the block). With Vector (AVX2, packed cubes only) each
// bucket turns several cubes per instruction; the result is the same.
template <bool Vector, Cube C>
void apply_grouped_with(std::span<C> cubes, const std::uint32_t* ids, const std::uint8_t* moves,
                        std::size_t count) noexcept {
    std::array<std::uint16_t, MOVE_COUNT + 2> bounds{};
    for (std::size_t k = 0; k < count; ++k) ++bounds[moves[k] + 1];
    for (std::size_t m = 1; m < bounds.size(); ++m) bounds[m] += bounds[m - 1];
    std::array<std::uint16_t, MOVE_COUNT + 1> next{};
    for (std::size_t m = 0; m < next.size(); ++m) next[m] = bounds[m];
    std::array<std::uint32_t, MOVE_BLOCK> sorted;
    for (std::size_t k = 0; k < count; ++k) sorted[next[moves[k]]++] = ids[k];
    [&]<std::size_t... M>(std::index_sequence<M...>) {
        ((
             [&] {
#if defined(__x86_64__)
                 if constexpr (Vector && PackedCube<C>) {
                     detail::turn_bucket_avx2<C, M>(cubes.data(), sorted.data() + bounds[M],
                                                    bounds[M + 1] - bounds[M]);
                     return;
                 }
#endif
                 for (std::size_t i = bounds[M]; i < bounds[M + 1]; ++i) {
                     apply_move_index_internal(cubes[sorted[i]], MoveIndex{M});
                 }
             }()),
         ...);
    }(std::make_index_sequence<MOVE_COUNT>{});
}

// The cubes of a block still short of their move counts, for kernels that
// advance a block one move per round: ids[k] is a cube and left[k] the
// moves it still takes, for k < count.
struct ActiveCubes {
    std::array<std::uint32_t, MOVE_BLOCK> ids;
    std::array<std::int64_t, MOVE_BLOCK> left;
    std::size_t count = 0;

    // Cube `id` takes `moves` moves; none below 1.
    void add(std::size_t id, std::int64_t moves) noexcept {
        if (moves < 1) return;
        ids[count] = static_cast<std::uint32_t>(id);
        left[count] = moves;
        ++count;
    }
    // After a round in which every active cube moved once: drops those done.
    void moved() noexcept {
        std::size_t kept = 0;
        for (std::size_t k = 0; k < count; ++k) {
            if (--left[k] > 0) {
                ids[kept] = ids[k];
                left[kept] = left[k];
                ++kept;
            }
        }
        count = kept;
    }
};

// The build this process runs.
template <Cube C>
void apply_grouped(std::span<C> cubes, const std::uint32_t* ids, const std::uint8_t* moves,
                   std::size_t count) noexcept {
    with_kernel_build([&](auto vector) {
        apply_grouped_with<decltype(vector)::value>(cubes, ids, moves, count);
    });
}

}  // namespace twirlkit

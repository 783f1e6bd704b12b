// The batch kernels: scramble and step a run of cubes in place, and expand a
// run of cubes into sticker matrices, on the process-wide worker pool. Written
// once against the Cube concept; no Python here, so they may run while the
// interpreter lock is released.
//
// Output matrix layout (row-major, int64):
//
//   next_states_internal      row 12*i + m = stickers of cube i after move m
//   sticker_arrays_internal   row i        = stickers of cube i
//
// Every row is written by exactly one task, straight into the buffer that
// later becomes the NumPy array's memory.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "kernels/dispatch.hpp"
#include "runtime/caller_memory.hpp"
#include "kernels/grouped_turns.hpp"
#include "kernels/streaming.hpp"
#include "kernels/successors.hpp"
#include "model/cube.hpp"
#include "runtime/output_buffer.hpp"
#include "runtime/parallel.hpp"
#include "runtime/random.hpp"

namespace twirlkit {

// Chunk sizes for the pool. The pool cuts a range into about 16 chunks per
// worker and never below the grain, so each grain is small enough that 1024
// cubes still spread over two workers, and large enough that a chunk
// outweighs its hand-off.
// A scramble chunk keys one generator and fills one block of grouped turns.
inline constexpr std::size_t SCRAMBLE_GRAIN = 256;     // cubes
inline constexpr std::size_t APPLY_GRAIN = 256;        // cubes; a few ns each
inline constexpr std::size_t NEXT_STATES_GRAIN = 8;    // cubes, i.e. 96 rows
inline constexpr std::size_t STICKER_ROWS_GRAIN = 64;  // rows

// Items between two cancellation points (parallel.hpp) inside a chunk, each
// step some tens of microseconds: a 1M-cube call stops within milliseconds of
// a Ctrl-C, and the check costs nothing measurable.
inline constexpr std::size_t SCRAMBLE_CANCEL_ROUNDS = 64;       // rounds of a block
inline constexpr std::size_t APPLY_CANCEL_STEP = 16 * MOVE_BLOCK;  // cubes
inline constexpr std::size_t NEXT_STATES_CANCEL_STEP = 64;         // cubes
inline constexpr std::size_t STICKER_CANCEL_STEP = 1024;           // rows

// Cube i gets lengths[i] uniform quarter turns, for i below the shorter of
// the two runs; a length below 1 draws nothing. Each chunk keys one ChaCha8
// from the per-thread generator of the worker that runs it. An EntropyError
// from that keying is rethrown here after every chunk has ended; cubes
// already scrambled keep their turns.
//
// Within a chunk, blocks of cubes advance one turn per round: every cube
// still short of its length draws its next move, and the round's moves are
// applied grouped by index (grouped_turns.hpp). Each cube still receives
// exactly its own independent uniform draws.
template <Cube C>
void scramble_batch_internal(std::span<C> cubes, std::span<const std::int64_t> lengths,
                             std::size_t grain = SCRAMBLE_GRAIN) {
    const std::size_t pairs = std::min(cubes.size(), lengths.size());
    parallel_for(0, pairs, grain, [cubes, lengths](std::size_t begin, std::size_t end) {
        WideChaCha8 gen = make_task_generator();
        for (std::size_t block = begin; block < end; block += MOVE_BLOCK) {
            const std::size_t block_end = std::min(end, block + MOVE_BLOCK);
            ActiveCubes active;
            std::array<std::uint8_t, MOVE_BLOCK> moves;
            // The caller's lengths are read once, into the module's memory.
            std::array<std::int64_t, MOVE_BLOCK> given;
            copy_in(given.data(), lengths.data() + block, block_end - block);
            for (std::size_t i = block; i < block_end; ++i) active.add(i, given[i - block]);
            // Rounds while enough cubes are active to be worth the grouping;
            // the last few (long scrambles) finish one by one.
            for (std::size_t round = 0; active.count >= 8; ++round) {
                if (round % SCRAMBLE_CANCEL_ROUNDS == SCRAMBLE_CANCEL_ROUNDS - 1) {
                    cancellation_point();
                }
                for (std::size_t k = 0; k < active.count; ++k) {
                    moves[k] = static_cast<std::uint8_t>(draw_move_index(gen));
                }
                apply_grouped(cubes, active.ids.data(), moves.data(), active.count);
                active.moved();
            }
            for (std::size_t k = 0; k < active.count; ++k) {
                scramble_with(cubes[active.ids[k]], active.left[k], gen);
            }
        }
    });
}

// Cube i gets move index indexes[i], for i below the shorter of the two runs;
// an index of 12 or more leaves its cube as it is. Applied grouped by index.
template <Cube C>
void apply_move_indexes_internal(std::span<C> cubes, std::span<const std::size_t> indexes,
                                 std::size_t grain = APPLY_GRAIN) {
    const std::size_t pairs = std::min(cubes.size(), indexes.size());
    parallel_for(0, pairs, grain, [cubes, indexes](std::size_t chunk_begin, std::size_t chunk_end) {
        in_cancellable_steps(chunk_begin, chunk_end, APPLY_CANCEL_STEP,
                             [cubes, indexes](std::size_t begin, std::size_t end) {
            std::array<std::uint32_t, MOVE_BLOCK> ids;
            std::array<std::uint8_t, MOVE_BLOCK> moves;
            std::array<std::size_t, MOVE_BLOCK> given;  // the caller's, read once
            for (std::size_t block = begin; block < end; block += MOVE_BLOCK) {
                const std::size_t count = std::min(end - block, MOVE_BLOCK);
                copy_in(given.data(), indexes.data() + block, count);
                for (std::size_t k = 0; k < count; ++k) {
                    ids[k] = static_cast<std::uint32_t>(block + k);
                    moves[k] = clamp_move(given[k]);
                }
                apply_grouped(cubes, ids.data(), moves.data(), count);
            }
        });
    });
}

// 12 rows per cube, in move-index order. Each task projects its cubes once
// and derives the twelve successor rows from that projection (successors.hpp),
// which gives the same rows as turning a copy and projecting it. Outputs far
// larger than the caches are written with streaming stores.
// With Vector, the rows are widened from shuffled byte rows (the AVX2 build,
// successors_avx2.hpp); the result is the same.
template <PackedCube C, bool Vector>
OutputBuffer next_states_with(std::span<const C> cubes, std::size_t grain = NEXT_STATES_GRAIN) {
    constexpr std::size_t d = C::sticker_dim;
    const MatrixShape shape = checked_output_shape(cubes.size(), MOVE_COUNT, d);
    OutputBuffer out = OutputBuffer::allocate(shape.rows, shape.cols, Element::int64);
    std::int64_t* const data = out.elements<std::int64_t>();
    const bool stream = stream_output(data, out.bytes());
    const auto step = [cubes, data, stream](std::size_t begin, std::size_t end) {
        write_successor_range<Vector>(cubes, begin, end, data, stream);
    };
    parallel_for(0, cubes.size(), grain, [step](std::size_t begin, std::size_t end) {
        in_cancellable_steps(begin, end, NEXT_STATES_CANCEL_STEP, step);
    });
    return out;
}

// The build this process runs.
template <PackedCube C>
OutputBuffer next_states_internal(std::span<const C> cubes, std::size_t grain = NEXT_STATES_GRAIN) {
    return with_kernel_build([&](auto vector) { return next_states_with<C, decltype(vector)::value>(cubes, grain); });
}

template <Cube C>
OutputBuffer sticker_arrays_internal(std::span<const C> cubes,
                                     std::size_t grain = STICKER_ROWS_GRAIN) {
    constexpr std::size_t d = C::sticker_dim;
    const MatrixShape shape = checked_output_shape(cubes.size(), 1, d);
    OutputBuffer out = OutputBuffer::allocate(shape.rows, shape.cols, Element::int64);
    std::int64_t* const data = out.elements<std::int64_t>();
    const bool stream = stream_output(data, out.bytes());
    parallel_for(0, shape.rows, grain, [cubes, data, stream](std::size_t chunk_begin, std::size_t chunk_end) {
        in_cancellable_steps(chunk_begin, chunk_end, STICKER_CANCEL_STEP,
                             [cubes, data, stream](std::size_t begin, std::size_t end) {
            write_each(begin, end, stream, [cubes, data](auto streamed, std::size_t i) {
                cubes[i].template write_sticker_row<decltype(streamed)::value>(data + i * d);
            });
        });
    });
    return out;
}

}  // namespace twirlkit

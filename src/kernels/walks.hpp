// Seeded random states and walks, and whole move sequences, in either
// metric, on the worker pool. Each cube draws from its own stream
// (runtime/seeded_stream.hpp), so the result does not depend on how the
// range is cut into chunks or on which worker runs a chunk.
//
// Within a chunk, blocks of cubes advance one move per round, and a round's
// moves are applied grouped by move (grouped_turns.hpp); a half turn is its
// quarter turn applied in two grouped passes.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>

#include "kernels/grouped_turns.hpp"
#include "model/algebra.hpp"
#include "model/cube.hpp"
#include "runtime/parallel.hpp"
#include "runtime/seeded_stream.hpp"

namespace twirlkit {

inline constexpr std::size_t WALK_GRAIN = 256;          // cubes
inline constexpr std::size_t WALK_CANCEL_ROUNDS = 64;   // rounds of a block
inline constexpr std::size_t SEQUENCE_GRAIN = 256;      // cubes

struct WalkOptions {
    Metric metric = Metric::qtm;
    bool non_backtracking = false;
};

// Applies moves[k] of `metric` to cubes[ids[k]] for k < count (ids distinct);
// the no-move and above turn nothing.
template <Cube C>
void apply_metric_grouped(std::span<C> cubes, const std::uint32_t* ids, const std::uint8_t* moves,
                          std::size_t count, Metric metric) noexcept {
    if (metric == Metric::qtm) {
        apply_grouped(cubes, ids, moves, count);
        return;
    }
    std::array<std::uint8_t, MOVE_BLOCK> quarter;
    std::array<std::uint8_t, MOVE_BLOCK> again;
    bool halves = false;
    for (std::size_t k = 0; k < count; ++k) {
        const FaceTurn turn = moves[k];
        const bool valid = turn < FACE_TURN_COUNT;
        const bool half = valid && kind_of(turn) == FACE_TURN_HALF;
        quarter[k] = valid ? static_cast<std::uint8_t>(quarter_of(turn)) : NO_MOVE;
        again[k] = half ? quarter[k] : NO_MOVE;
        halves |= half;
    }
    apply_grouped(cubes, ids, quarter.data(), count);
    if (halves) apply_grouped(cubes, ids, again.data(), count);
}

// The move counts of one cube: the same for every cube, or one each.
struct WalkLengths {
    const std::int64_t* each = nullptr;  // nullptr: `all` for every cube
    std::int64_t all = 0;
    std::int64_t operator[](std::size_t i) const noexcept { return each ? each[i] : all; }
};

namespace detail {

// The draws of one block's cubes: cube block + local draws from lane
// local % 8 of group local / 8, and `last` holds its previous move (or the
// move count before its first one). Cubes draw round by round, so the eight
// of a group spend their blocks together and share each refill.
struct BlockDraws {
    BlockDraws(const ChaCha8::Key& key, std::size_t block, std::size_t count, WalkOptions options) noexcept
        : moves(static_cast<std::uint32_t>(move_count(options.metric))),
          all_(moves),
          others_(moves - 1),
          options_(options) {
        for (std::size_t g = 0; g * SEEDED_LANES < count; ++g) {
            lanes[g] = SeededLanes(key, block + g * SEEDED_LANES);
        }
        last.fill(static_cast<std::uint8_t>(moves));
    }
    std::uint8_t next(std::size_t local) noexcept {
        SeededLanes::Lane rng{lanes[local / SEEDED_LANES], static_cast<unsigned>(local % SEEDED_LANES)};
        const std::uint32_t avoid = options_.non_backtracking && last[local] < moves
                                        ? inverse_move(options_.metric, last[local])
                                        : moves;
        last[local] = draw_move(rng, all_, others_, avoid);
        return last[local];
    }

    std::array<SeededLanes, MOVE_BLOCK / SEEDED_LANES> lanes;
    std::array<std::uint8_t, MOVE_BLOCK> last;
    std::uint32_t moves;

private:
    DrawRange all_;
    DrawRange others_;
    WalkOptions options_;
};

}  // namespace detail

// out[i] = solved after lengths[i] seeded moves (a length below 1 draws
// none), for i < out.size(). `out` may be uninitialised.
template <Cube C>
void random_cubes_internal(std::span<C> out, const ChaCha8::Key& key, WalkLengths lengths,
                           WalkOptions options, std::size_t grain = WALK_GRAIN) {
    parallel_for(0, out.size(), grain, [out, &key, lengths, options](std::size_t begin, std::size_t end) {
        for (std::size_t block = begin; block < end; block += MOVE_BLOCK) {
            const std::size_t size = std::min(end - block, MOVE_BLOCK);
            detail::BlockDraws draws(key, block, size, options);
            ActiveCubes active;
            std::array<std::uint8_t, MOVE_BLOCK> moves;
            for (std::size_t k = 0; k < size; ++k) {
                out[block + k] = C{};
                active.add(block + k, lengths[block + k]);
            }
            for (std::size_t round = 0; active.count > 0; ++round) {
                if (round % WALK_CANCEL_ROUNDS == WALK_CANCEL_ROUNDS - 1) cancellation_point();
                for (std::size_t k = 0; k < active.count; ++k) moves[k] = draws.next(active.ids[k] - block);
                apply_metric_grouped(out, active.ids.data(), moves.data(), active.count, options.metric);
                active.moved();
            }
        }
    });
}

// Walk i starts at start[i]: out[j * n + i] is walk i after j + 1 moves and
// moves_out[j * n + i] the move it took then, for j < length (n =
// start.size()). Both outputs hold length * n elements.
template <Cube C>
void random_walks_internal(std::span<const C> start, std::size_t length, const ChaCha8::Key& key,
                           WalkOptions options, C* out, std::uint8_t* moves_out,
                           std::size_t grain = WALK_GRAIN) {
    const std::size_t n = start.size();
    if (length == 0) return;
    parallel_for(0, n, grain, [=, &key](std::size_t begin, std::size_t end) {
        std::array<std::uint32_t, MOVE_BLOCK> ids;
        for (std::size_t k = 0; k < MOVE_BLOCK; ++k) ids[k] = static_cast<std::uint32_t>(k);
        for (std::size_t block = begin; block < end; block += MOVE_BLOCK) {
            const std::size_t size = std::min(end - block, MOVE_BLOCK);
            detail::BlockDraws draws(key, block, size, options);
            for (std::size_t j = 0; j < length; ++j) {
                if (j % WALK_CANCEL_ROUNDS == WALK_CANCEL_ROUNDS - 1) cancellation_point();
                std::uint8_t* moves = moves_out + j * n + block;
                for (std::size_t k = 0; k < size; ++k) moves[k] = draws.next(k);
                C* row = out + j * n + block;
                const C* from = j == 0 ? start.data() + block : out + (j - 1) * n + block;
                std::memcpy(static_cast<void*>(row), from, size * sizeof(C));
                apply_metric_grouped(std::span<C>(row, size), ids.data(), moves, size, options.metric);
            }
        }
    });
}

// Cube i gets the moves of row i of `moves` (n rows of `width`, n =
// cubes.size()) left to right; every value is at most the metric's no-move.
template <Cube C>
void apply_sequences_internal(std::span<C> cubes, const std::uint8_t* moves, std::size_t width,
                              Metric metric, std::size_t grain = SEQUENCE_GRAIN) {
    if (width == 0) return;
    parallel_for(0, cubes.size(), grain, [=](std::size_t chunk_begin, std::size_t chunk_end) {
        in_cancellable_steps(chunk_begin, chunk_end, 16 * MOVE_BLOCK, [=](std::size_t begin, std::size_t end) {
            std::array<std::uint32_t, MOVE_BLOCK> ids;
            std::array<std::uint8_t, MOVE_BLOCK> column;
            for (std::size_t block = begin; block < end; block += MOVE_BLOCK) {
                const std::size_t count = std::min(end - block, MOVE_BLOCK);
                for (std::size_t k = 0; k < count; ++k) ids[k] = static_cast<std::uint32_t>(block + k);
                for (std::size_t j = 0; j < width; ++j) {
                    if (j % WALK_CANCEL_ROUNDS == WALK_CANCEL_ROUNDS - 1) cancellation_point();
                    for (std::size_t k = 0; k < count; ++k) column[k] = moves[(block + k) * width + j];
                    apply_metric_grouped(cubes, ids.data(), column.data(), count, metric);
                }
            }
        });
    });
}

}  // namespace twirlkit

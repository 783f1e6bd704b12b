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
#include <cstdlib>
#include <limits>
#include <new>
#include <span>
#include <stdexcept>
#include <string>
#include <utility>

#include "runtime/buffer_cache.hpp"
#include "runtime/caller_memory.hpp"
#include "model/cube.hpp"
#include "kernels/grouped_turns.hpp"
#include "runtime/parallel.hpp"
#include "runtime/random.hpp"
#include "kernels/successors.hpp"

namespace twirlkit {

// An owned row-major int64 buffer and the routine that frees it. Move-only;
// ownership passes on to whoever takes release(), in the end the holder
// object behind a NumPy array.
class OutputMatrix {
public:
    // `capacity` is the buffer's element count as allocated (at least
    // rows * cols), handed back to the routine that frees it.
    using FreeFn = void (*)(std::int64_t* data, std::size_t capacity) noexcept;

    OutputMatrix() noexcept = default;
    OutputMatrix(std::int64_t* buffer, std::size_t row_count, std::size_t col_count,
                 std::size_t element_capacity, FreeFn release_fn) noexcept
        : data_(buffer),
          rows_(row_count),
          cols_(col_count),
          capacity_(element_capacity),
          free_fn_(release_fn) {}
    ~OutputMatrix() { reset(); }

    OutputMatrix(const OutputMatrix&) = delete;
    OutputMatrix& operator=(const OutputMatrix&) = delete;
    OutputMatrix(OutputMatrix&& other) noexcept
        : data_(std::exchange(other.data_, nullptr)),
          rows_(std::exchange(other.rows_, 0)),
          cols_(std::exchange(other.cols_, 0)),
          capacity_(std::exchange(other.capacity_, 0)),
          free_fn_(std::exchange(other.free_fn_, nullptr)) {}
    OutputMatrix& operator=(OutputMatrix&& other) noexcept {
        if (this != &other) {
            reset();
            data_ = std::exchange(other.data_, nullptr);
            rows_ = std::exchange(other.rows_, 0);
            cols_ = std::exchange(other.cols_, 0);
            capacity_ = std::exchange(other.capacity_, 0);
            free_fn_ = std::exchange(other.free_fn_, nullptr);
        }
        return *this;
    }

    std::int64_t* data() const noexcept { return data_; }
    std::size_t rows() const noexcept { return rows_; }
    std::size_t cols() const noexcept { return cols_; }
    std::size_t capacity() const noexcept { return capacity_; }
    FreeFn free_fn() const noexcept { return free_fn_; }
    std::int64_t* row(std::size_t r) const noexcept { return data_ + r * cols_; }

    // Gives up the buffer without freeing it; the caller must free it with
    // free_fn() and capacity() read beforehand.
    std::int64_t* release() noexcept {
        rows_ = cols_ = capacity_ = 0;
        free_fn_ = nullptr;
        return std::exchange(data_, nullptr);
    }

    // An uninitialised rows x cols buffer: the kernels write every element
    // before anyone reads one. Throws std::bad_alloc when memory is refused.
    static OutputMatrix allocate(std::size_t rows, std::size_t cols);

private:
    void reset() noexcept {
        if (data_ != nullptr && free_fn_ != nullptr) free_fn_(data_, capacity_);
        data_ = nullptr;
    }

    std::int64_t* data_ = nullptr;
    std::size_t rows_ = 0;
    std::size_t cols_ = 0;
    std::size_t capacity_ = 0;
    FreeFn free_fn_ = nullptr;
};

namespace detail {

// An empty matrix still needs a real address: NumPy allocates (and then
// owns) memory of its own when handed a null data pointer.
alignas(64) inline std::int64_t empty_matrix_storage[1]{};

inline void keep_static_buffer(std::int64_t*, std::size_t) noexcept {}
inline void free_heap_buffer(std::int64_t* data, std::size_t) noexcept { std::free(data); }

inline void release_mapped_buffer(std::int64_t* data, std::size_t capacity) noexcept {
    release_mapped(data, capacity * sizeof(std::int64_t));
}

inline constexpr std::size_t HUGE_PAGE = HUGE_PAGE_BYTES;
// From here on a matrix comes from the cache of freed outputs
// (buffer_cache.hpp): a steady loop gets warm pages whatever glibc does with
// its heap around the call. Smaller matrices are too cheap to fault much.
inline constexpr std::size_t MAP_THRESHOLD = CACHE_THRESHOLD;
}  // namespace detail

inline OutputMatrix OutputMatrix::allocate(std::size_t rows, std::size_t cols) {
    const std::size_t elements = rows * cols;
    if (elements == 0) {
        return OutputMatrix(detail::empty_matrix_storage, rows, cols, 0,
                            &detail::keep_static_buffer);
    }
    const std::size_t bytes = elements * sizeof(std::int64_t);
    if (bytes >= detail::MAP_THRESHOLD) {
        std::size_t length = 0;
        auto* data = static_cast<std::int64_t*>(acquire_mapped(bytes, length));
        return OutputMatrix(data, rows, cols, length / sizeof(std::int64_t),
                            &detail::release_mapped_buffer);
    }
    auto* data = static_cast<std::int64_t*>(std::malloc(bytes));
    if (data == nullptr) throw AllocationError(bytes);
    return OutputMatrix(data, rows, cols, elements, &detail::free_heap_buffer);
}

struct MatrixShape {
    std::size_t rows;
    std::size_t cols;
};

// The shape of `items * rows_per_item` rows of `cols` int64 values. The
// element count must fit a signed pointer-sized integer (NumPy's npy_intp)
// and so must the byte size (the largest allocation the platform allows).
inline MatrixShape checked_output_shape(std::size_t items, std::size_t rows_per_item,
                                        std::size_t cols) {
    constexpr auto limit = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    std::size_t rows = 0;
    std::size_t elements = 0;
    if (__builtin_mul_overflow(items, rows_per_item, &rows) ||
        __builtin_mul_overflow(rows, cols, &elements) || elements > limit) {
        throw std::length_error("output shape (" + std::to_string(items) + " * " +
                                std::to_string(rows_per_item) + ", " + std::to_string(cols) +
                                ") is too large for the address space");
    }
    if (elements > limit / sizeof(std::int64_t)) throw std::length_error("capacity overflow");
    return {rows, cols};
}

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
            std::array<std::uint32_t, MOVE_BLOCK> active;
            std::array<std::int64_t, MOVE_BLOCK> left;
            std::array<std::uint8_t, MOVE_BLOCK> moves;
            // The caller's lengths are read once, into the module's memory.
            std::array<std::int64_t, MOVE_BLOCK> given;
            copy_in(given.data(), lengths.data() + block, block_end - block);
            std::size_t count = 0;
            for (std::size_t i = block; i < block_end; ++i) {
                if (given[i - block] < 1) continue;
                active[count] = static_cast<std::uint32_t>(i);
                left[count] = given[i - block];
                ++count;
            }
            // Rounds while enough cubes are active to be worth the grouping;
            // the last few (long scrambles) finish one by one.
            for (std::size_t round = 0; count >= 8; ++round) {
                if (round % SCRAMBLE_CANCEL_ROUNDS == SCRAMBLE_CANCEL_ROUNDS - 1) {
                    cancellation_point();
                }
                for (std::size_t k = 0; k < count; ++k) {
                    moves[k] = static_cast<std::uint8_t>(draw_move_index(gen));
                }
                apply_grouped(cubes, active.data(), moves.data(), count);
                std::size_t kept = 0;
                for (std::size_t k = 0; k < count; ++k) {
                    if (--left[k] > 0) {
                        active[kept] = active[k];
                        left[kept] = left[k];
                        ++kept;
                    }
                }
                count = kept;
            }
            for (std::size_t k = 0; k < count; ++k) scramble_with(cubes[active[k]], left[k], gen);
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
// With Vector, the rows are widened from shuffled byte rows where the CPU
// has AVX2 (successors.hpp); the result is the same.
template <PackedCube C, bool Vector = true>
OutputMatrix next_states_internal(std::span<const C> cubes,
                                  std::size_t grain = NEXT_STATES_GRAIN) {
    constexpr std::size_t d = C::sticker_dim;
    const MatrixShape shape = checked_output_shape(cubes.size(), MOVE_COUNT, d);
    OutputMatrix out = OutputMatrix::allocate(shape.rows, shape.cols);
    std::int64_t* const data = out.data();
    const bool stream = shape.rows * d * sizeof(std::int64_t) >= detail::stream_threshold() &&
                        reinterpret_cast<std::uintptr_t>(data) % 16 == 0;
    // The vector build streams 32-byte stores, so it wants that alignment.
    const bool vector = Vector && detail::cpu_has_avx2() &&
                        (!stream || reinterpret_cast<std::uintptr_t>(data) % 32 == 0);
    const auto step = [cubes, data, stream, vector](std::size_t begin, std::size_t end) {
        write_successor_range(cubes, begin, end, data, stream, vector);
    };
    parallel_for(0, cubes.size(), grain, [step](std::size_t begin, std::size_t end) {
        in_cancellable_steps(begin, end, NEXT_STATES_CANCEL_STEP, step);
    });
    return out;
}

template <Cube C>
OutputMatrix sticker_arrays_internal(std::span<const C> cubes,
                                     std::size_t grain = STICKER_ROWS_GRAIN) {
    constexpr std::size_t d = C::sticker_dim;
    const MatrixShape shape = checked_output_shape(cubes.size(), 1, d);
    OutputMatrix out = OutputMatrix::allocate(shape.rows, shape.cols);
    std::int64_t* const data = out.data();
    const auto write_rows = [cubes, data]<bool Stream>(std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            cubes[i].template write_sticker_row<Stream>(data + i * d);
        }
    };
    if (shape.rows * d * sizeof(std::int64_t) >= detail::stream_threshold()) {
        parallel_for(0, shape.rows, grain, [write_rows](std::size_t chunk_begin, std::size_t chunk_end) {
            in_cancellable_steps(chunk_begin, chunk_end, STICKER_CANCEL_STEP,
                                 [write_rows](std::size_t begin, std::size_t end) {
                                     write_rows.template operator()<true>(begin, end);
                                     stream_fence();
                                 });
        });
    } else {
        parallel_for(0, shape.rows, grain, [write_rows](std::size_t chunk_begin, std::size_t chunk_end) {
            in_cancellable_steps(chunk_begin, chunk_end, STICKER_CANCEL_STEP,
                                 [write_rows](std::size_t begin, std::size_t end) {
                                     write_rows.template operator()<false>(begin, end);
                                 });
        });
    }
    return out;
}

}  // namespace twirlkit

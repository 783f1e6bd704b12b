// Batch kernels that bring states in and move them between batches: cubes
// from checked sticker rows and packed words, the packed words of cubes,
// selection, expansion into successors, the solved test, and sticker rows
// encoded as small integer codes or one-hot vectors of any element type.
// Written once against PackedCube; no Python here, so they may run while the
// interpreter lock is released.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <mutex>
#include <optional>
#include <span>
#include <type_traits>
#include <utility>

#include "kernels/dispatch.hpp"
#include "runtime/caller_memory.hpp"
#include "kernels/grouped_turns.hpp"
#include "kernels/state_kernels_avx2.hpp"
#include "kernels/streaming.hpp"
#include "kernels/successors.hpp"
#include "kernels/successors_avx2.hpp"
#include "model/cube.hpp"
#include "model/state_check.hpp"
#include "runtime/parallel.hpp"

namespace twirlkit {

// The first bad row of an input and why.
struct RowFault {
    std::size_t row;
    StateFault fault;
};

namespace detail {

// Keeps the fault of the lowest row offered, from any worker. Chunks after
// a known fault stop early; the lowest row still wins, since every chunk
// before it runs to its own first fault.
class FirstFault {
public:
    void offer(std::size_t row, const StateFault& fault) noexcept {
        std::lock_guard lock(mutex_);
        if (!first_ || row < first_->row) first_ = RowFault{row, fault};
    }
    bool known_before(std::size_t row) noexcept {
        std::lock_guard lock(mutex_);
        return first_ && first_->row < row;
    }
    std::optional<RowFault> result() noexcept {
        std::lock_guard lock(mutex_);
        return first_;
    }

private:
    std::mutex mutex_;
    std::optional<RowFault> first_;
};


// Whether cubes[0..4) are all reachable (false when any is not).
template <bool Vector, PackedCube C>
inline bool four_reachable(const C* cubes) noexcept {
#if defined(__x86_64__)
    if constexpr (Vector) return four_reachable_avx2(cubes);
#endif
    return !cubes[0].check() && !cubes[1].check() && !cubes[2].check() && !cubes[3].check();
}

// A chunk's rows are copied in a few at a time, into a buffer of about this
// many bytes on the worker's stack, and decoded before the next ones come:
// small stages keep the copy overlapped with the work on the rows before it
// (a stage of 27 KiB measured twice the time of reading rows in place).
inline constexpr std::size_t STAGE_BYTES = 2048;
template <class T, std::size_t Width>
inline constexpr std::size_t STAGE_ROWS = std::max<std::size_t>(4, STAGE_BYTES / (Width * sizeof(T)) / 4 * 4);

// Runs in parallel over n rows of Width elements of T. `load(begin, end,
// into)` copies rows [begin, end) of the caller's memory into `into`, a
// stage of the kernel's own, and only the stage is read after that: a row
// that changes meanwhile is at worst torn, never seen as two different rows.
// Four rows at a time, `read(row, out[i])` fills out[i] from the staged row
// and says whether it passed the checks before the cube's own; the four
// cubes are then checked together, and only a group that fails is gone
// through again row by row with `diagnose(row, out[i])`, which returns the
// row's fault.
template <bool Vector, PackedCube C, class T, std::size_t Width, class Load, class Read,
          class Diagnose>
std::optional<RowFault> decode_groups(std::size_t n, std::size_t grain, C* out, Load& load,
                                      Read read, Diagnose diagnose) {
    FirstFault first;
    parallel_for(0, n, grain, [&first, out, &load, &read, &diagnose](std::size_t begin,
                                                                      std::size_t end) {
        if (first.known_before(begin)) return;
        constexpr std::size_t stage_rows = STAGE_ROWS<T, Width>;
        std::array<T, stage_rows * Width> stage;
        for (std::size_t base = begin; base < end; base += stage_rows) {
            const std::size_t stop = std::min(end, base + stage_rows);
            load(base, stop, stage.data());
            for (std::size_t i = base; i < stop;) {
                const std::size_t group = std::min<std::size_t>(4, stop - i);
                const T* rows = stage.data() + (i - base) * Width;
                bool passed = group == 4;
                for (std::size_t k = 0; k < group; ++k) {
                    passed &= read(rows + k * Width, out[i + k]);  // every row read
                }
                if (passed && four_reachable<Vector>(out + i)) {
                    i += 4;
                    continue;
                }
                for (std::size_t k = 0; k < group; ++k) {
                    if (const StateFault fault = diagnose(rows + k * Width, out[i + k])) {
                        first.offer(i + k, fault);
                        return;
                    }
                }
                i += group;
            }
        }
    });
    return first.result();
}

}  // namespace detail

inline constexpr std::size_t DECODE_GRAIN = 256;   // rows
// A copy of up to 64K cubes (1 MiB of 3x3s) is one chunk, run by the caller:
// it is bound by memory, and handing it to the pool cost more than it saved.
inline constexpr std::size_t COPY_GRAIN = std::size_t{1} << 16;  // cubes
inline constexpr std::size_t EXPAND_GRAIN = 256;   // cubes, 12 out each
inline constexpr std::size_t ENCODE_GRAIN = 8;     // cubes with successors
inline constexpr std::size_t ENCODE_ROW_GRAIN = 64;  // cubes without

// Cube i from sticker row i of n rows of C::sticker_dim codes of type T,
// which `load(begin, end, into)` copies (rows [begin, end), row after row)
// from the caller's memory into the kernel's; only that copy is read. The
// first bad row, if any, and then `out` holds unspecified cubes.
// With Vector (AVX2) the cubes are checked four at a time; the verdicts
// and the reported row are the same.
template <bool Vector, PackedCube C, class T, class Load>
std::optional<RowFault> cubes_from_loaded_sticker_rows_with(std::size_t n, C* out, Load load,
                                                            std::size_t grain = DECODE_GRAIN) {
    return detail::decode_groups<Vector, C, T, C::sticker_dim>(
        n, grain, out, load, [](const T* row, C& cube) { return read_sticker_row(row, cube); },
        [](const T* row, C& cube) { return decode_sticker_row(row, cube); });
}

template <PackedCube C, class T, class Load>
std::optional<RowFault> cubes_from_loaded_sticker_rows(std::size_t n, C* out, Load load,
                                                       std::size_t grain = DECODE_GRAIN) {
    return detail::cpu_has_avx2()
               ? cubes_from_loaded_sticker_rows_with<true, C, T>(n, out, load, grain)
               : cubes_from_loaded_sticker_rows_with<false, C, T>(n, out, load, grain);
}

// The same from n rows back to back at `rows`.
template <bool Vector, PackedCube C, class T>
std::optional<RowFault> cubes_from_sticker_rows_with(const T* rows, std::size_t n, C* out,
                                                     std::size_t grain = DECODE_GRAIN) {
    constexpr std::size_t d = C::sticker_dim;
    return cubes_from_loaded_sticker_rows_with<Vector, C, T>(
        n, out,
        [rows](std::size_t begin, std::size_t end, T* into) {
            copy_in(into, rows + begin * d, (end - begin) * d);
        },
        grain);
}

template <PackedCube C, class T>
std::optional<RowFault> cubes_from_sticker_rows(const T* rows, std::size_t n, C* out,
                                                std::size_t grain = DECODE_GRAIN) {
    return with_kernel_build([&](auto vector) {
        return cubes_from_sticker_rows_with<decltype(vector)::value>(rows, n, out, grain);
    });
}

// Cube i from words [i * word_count, (i + 1) * word_count), checked; `load`
// copies them in as for the sticker rows.
template <bool Vector, PackedCube C, class Load>
std::optional<RowFault> cubes_from_loaded_words_with(std::size_t n, C* out, Load load,
                                                     std::size_t grain = DECODE_GRAIN) {
    // Every cube of a group is read before the group is checked, so a row
    // gone through again needs only its own check.
    return detail::decode_groups<Vector, C, Word, C::word_count>(
        n, grain, out, load,
        [](const Word* words, C& cube) {
            cube = C::from_words(words);
            return true;
        },
        [](const Word*, C& cube) { return cube.check(); });
}

template <PackedCube C, class Load>
std::optional<RowFault> cubes_from_loaded_words(std::size_t n, C* out, Load load,
                                                std::size_t grain = DECODE_GRAIN) {
    return detail::cpu_has_avx2() ? cubes_from_loaded_words_with<true>(n, out, load, grain)
                                  : cubes_from_loaded_words_with<false>(n, out, load, grain);
}

template <bool Vector, PackedCube C>
std::optional<RowFault> cubes_from_words_with(const Word* words, std::size_t n, C* out,
                                              std::size_t grain = DECODE_GRAIN) {
    constexpr std::size_t w = C::word_count;
    return cubes_from_loaded_words_with<Vector>(
        n, out,
        [words](std::size_t begin, std::size_t end, Word* into) {
            copy_in(into, words + begin * w, (end - begin) * w);
        },
        grain);
}

template <PackedCube C>
std::optional<RowFault> cubes_from_words(const Word* words, std::size_t n, C* out,
                                         std::size_t grain = DECODE_GRAIN) {
    return with_kernel_build([&](auto vector) {
        return cubes_from_words_with<decltype(vector)::value>(words, n, out, grain);
    });
}

namespace detail {

// Whether a cube's bytes are its packed words in row order, checked on the
// solved cube and on one turned from it, so that a copy can stand in for
// words() cube by cube.
template <PackedCube C>
consteval bool stored_as_words() {
    if constexpr (sizeof(C) != C::word_count * sizeof(Word)) {
        return false;
    } else {
        C turned{};
        apply_turn<MOVE_R>(turned);
        apply_turn<MOVE_F>(turned);
        for (const C& cube : {C{}, turned}) {
            if (std::bit_cast<std::array<Word, C::word_count>>(cube) != cube.words()) return false;
        }
        return true;
    }
}

}  // namespace detail

template <PackedCube C>
void words_of_cubes(std::span<const C> cubes, Word* out, std::size_t grain = COPY_GRAIN) {
    constexpr std::size_t w = C::word_count;
    parallel_for(0, cubes.size(), grain, [cubes, out](std::size_t begin, std::size_t end) {
        if constexpr (detail::stored_as_words<C>()) {
            std::memcpy(out + begin * w, cubes.data() + begin, (end - begin) * sizeof(C));
        } else {
            for (std::size_t i = begin; i < end; ++i) {
                const auto words = cubes[i].words();
                for (std::size_t k = 0; k < w; ++k) out[i * w + k] = words[k];
            }
        }
    });
}

// out[k] = cubes[indexes[k]]; every index must already be in range.
template <Cube C>
void take_cubes(std::span<const C> cubes, std::span<const std::size_t> indexes, C* out,
                std::size_t grain = COPY_GRAIN) {
    parallel_for(0, indexes.size(), grain, [cubes, indexes, out](std::size_t begin, std::size_t end) {
        for (std::size_t k = begin; k < end; ++k) out[k] = cubes[indexes[k]];
    });
}

namespace detail {

// The twelve successors of one cube. Flattened, so that each constant move
// index selects its turn at build time: left to the inliner, every copy paid
// a call and a 12-way jump, several times the turn itself.
template <Cube C>
[[gnu::flatten]] inline void write_successor_cubes(const C& cube, C* row) noexcept {
    [&]<std::size_t... M>(std::index_sequence<M...>) {
        ((row[M] = cube, apply_move_index_internal(row[M], M)), ...);
    }(std::make_index_sequence<MOVE_COUNT>{});
}

}  // namespace detail

// out[12 i + m] = cube i after move index m. With Vector (AVX2, cubes stored
// as their words) several successors are made per instruction; the result
// is the same.
template <bool Vector, Cube C>
void expand_cubes_with(std::span<const C> cubes, C* out, std::size_t grain = EXPAND_GRAIN) {
    parallel_for(0, cubes.size(), grain, [cubes, out](std::size_t begin, std::size_t end) {
#if defined(__x86_64__)
        if constexpr (Vector && PackedCube<C>) {
            if constexpr (detail::stored_as_words<C>()) {
                detail::expand_avx2(cubes.data() + begin, end - begin, out + begin * MOVE_COUNT);
                return;
            }
        }
#endif
        for (std::size_t i = begin; i < end; ++i) {
            detail::write_successor_cubes(cubes[i], out + i * MOVE_COUNT);
        }
    });
}

// The build this process runs.
template <Cube C>
void expand_cubes(std::span<const C> cubes, C* out, std::size_t grain = EXPAND_GRAIN) {
    with_kernel_build([&](auto vector) { expand_cubes_with<decltype(vector)::value>(cubes, out, grain); });
}

template <Cube C>
void solved_flags(std::span<const C> cubes, bool* out, std::size_t grain = COPY_GRAIN) {
    parallel_for(0, cubes.size(), grain, [cubes, out](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) out[i] = cubes[i].is_solved();
    });
}

// ---------------------------------------------------------------------------
// Encoded sticker rows.
//
//   codes:   row r = sticker_dim elements, element s = the colour code
//   one-hot: row r = 6 * sticker_dim elements, element 6 s + c = `one` when
//            sticker s has colour c, else zero
//
// with one row per cube, or twelve (row 12 i + m = cube i after move m).
// T is the element's storage type (a float16 is its bit pattern).

struct Encoding {
    bool successors;
    bool one_hot;
};

inline constexpr std::size_t rows_per_cube(Encoding e) noexcept {
    return e.successors ? MOVE_COUNT : 1;
}
template <Cube C>
inline constexpr std::size_t row_width(Encoding e) noexcept {
    return e.one_hot ? FACE_COUNT * C::sticker_dim : C::sticker_dim;
}

namespace detail {

template <PackedCube C, class T, std::size_t... P>
inline void write_codes(const std::uint8_t* codes, const RowSources<C::sticker_dim>& sources,
                        T* out, std::index_sequence<P...>) noexcept {
    ((out[P] = static_cast<T>(codes[sources[P]])), ...);
}

// The six-element one-hot block of each colour code.
template <class T>
struct OneHotBlocks {
    explicit OneHotBlocks(T one) noexcept {
        for (auto& block : blocks) block.fill(T{});
        for (std::size_t c = 0; c < FACE_COUNT; ++c) blocks[c][c] = one;
    }
    void write(T* out, std::uint8_t code) const noexcept {
        std::memcpy(out, blocks[code].data(), FACE_COUNT * sizeof(T));
    }
    std::array<std::array<T, FACE_COUNT>, FACE_COUNT> blocks;
};

// Codes of one cube's rows; `Successors` gives the twelve successor rows
// gathered from one projection (successors.hpp).
template <PackedCube C, class T, bool Successors>
inline void encode_codes(const C& cube, T* out) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    std::uint8_t codes[d];
    cube.project_into(codes);
    if constexpr (Successors) {
        for (std::size_t m = 0; m < MOVE_COUNT; ++m) {
            write_codes<C>(codes, SUCCESSOR_SOURCES<C>[m], out + m * d,
                           std::make_index_sequence<d>{});
        }
    } else {
        for (std::size_t p = 0; p < d; ++p) out[p] = static_cast<T>(codes[p]);
    }
}

template <PackedCube C, class T, std::size_t... P>
inline void write_one_hot(const std::uint8_t* codes, const RowSources<C::sticker_dim>& sources,
                          const OneHotBlocks<T>& blocks, T* out, std::index_sequence<P...>) noexcept {
    (blocks.write(out + FACE_COUNT * P, codes[sources[P]]), ...);
}

// One-hot rows of one cube: each row written straight out, block by block,
// from the parent's codes at constant positions. (Copying the parent's
// one-hot row and rewriting the moved blocks measured several times slower:
// the copy reloads what was just stored.)
template <PackedCube C, class T, bool Successors>
inline void encode_one_hot(const C& cube, const OneHotBlocks<T>& blocks, T* out) noexcept {
    constexpr std::size_t d = C::sticker_dim;
    std::uint8_t codes[d];
    cube.project_into(codes);
    if constexpr (Successors) {
        [&]<std::size_t... M>(std::index_sequence<M...>) {
            (write_one_hot<C>(codes, SUCCESSOR_SOURCES<C>[M], blocks, out + M * FACE_COUNT * d,
                              std::make_index_sequence<d>{}),
             ...);
        }(std::make_index_sequence<MOVE_COUNT>{});
    } else {
        for (std::size_t p = 0; p < d; ++p) blocks.write(out + FACE_COUNT * p, codes[p]);
    }
}

template <PackedCube C, class T, bool Successors, bool OneHot, bool Vector = false>
void encode_rows(std::span<const C> cubes, T* out, T one) {
    constexpr Encoding e{Successors, OneHot};
    constexpr std::size_t per_cube = rows_per_cube(e) * row_width<C>(e);
    const std::size_t grain = Successors ? ENCODE_GRAIN : ENCODE_ROW_GRAIN;
    // Rows far larger than the caches are streamed where the vector build
    // writes them.
    const bool stream = stream_output(out, cubes.size() * per_cube * sizeof(T));
    parallel_for(0, cubes.size(), grain, [cubes, out, one, stream](std::size_t begin, std::size_t end) {
#if defined(__x86_64__)
        if constexpr (Vector && Successors && !OneHot && sizeof(T) == 1) {
            for (std::size_t i = begin; i < end; ++i) {
                write_successor_bytes_avx2(cubes[i], reinterpret_cast<std::uint8_t*>(out + i * per_cube));
            }
            return;
        }
        if constexpr (Vector && Successors && !OneHot && std::is_same_v<T, std::int64_t>) {
            write_successor_range<true>(cubes, begin, end, out, stream);
            return;
        }
        if constexpr (Vector && Successors && OneHot && std::is_same_v<T, float>) {
            write_each(begin, end, stream, [cubes, out](auto streamed, std::size_t i) {
                write_successor_one_hot_avx2<C, decltype(streamed)::value>(cubes[i], out + i * per_cube);
            });
            return;
        }
#endif
        (void)stream;
        if constexpr (OneHot) {
            const OneHotBlocks<T> blocks(one);
            for (std::size_t i = begin; i < end; ++i) {
                encode_one_hot<C, T, Successors>(cubes[i], blocks, out + i * per_cube);
            }
        } else {
            for (std::size_t i = begin; i < end; ++i) {
                encode_codes<C, T, Successors>(cubes[i], out + i * per_cube);
            }
        }
    });
}

}  // namespace detail

// Writes the encoded rows of every cube to `out`, which holds
// cubes.size() * rows_per_cube(e) * row_width<C>(e) elements; `one` is the
// one-hot element for a set colour (unused for codes).
template <PackedCube C, class T, bool Vector>
void encode_sticker_rows_with(std::span<const C> cubes, Encoding e, T* out, T one) {
    if (e.successors) {
        if (e.one_hot) detail::encode_rows<C, T, true, true, Vector>(cubes, out, one);
        else detail::encode_rows<C, T, true, false, Vector>(cubes, out, one);
    } else {
        if (e.one_hot) detail::encode_rows<C, T, false, true>(cubes, out, one);
        else detail::encode_rows<C, T, false, false>(cubes, out, one);
    }
}

// The build this process runs: with AVX2, successor rows of byte codes by
// shuffles, and the int64 and one-hot float32 ones widened from them.
template <PackedCube C, class T>
void encode_sticker_rows(std::span<const C> cubes, Encoding e, T* out, T one) {
    with_kernel_build([&](auto vector) {
        encode_sticker_rows_with<C, T, decltype(vector)::value>(cubes, e, out, one);
    });
}

}  // namespace twirlkit

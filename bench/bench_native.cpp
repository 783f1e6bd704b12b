// Micro-benchmarks of the native cores: the quarter turns of both cube sizes
// (by direct call, by move index through the jump, and
// blocks of random moves jumped or grouped by index), the sticker projection,
// the two random sources, one successor row made the plain way (copy, turn,
// project) next to the twelve rows of one cube as the successor kernel
// derives them, and the fixed cost of a hand-off to the worker pool. All
// single-threaded except the hand-off.

#include <benchmark/benchmark.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/borrow.hpp"
#include "model/cube.hpp"
#include "kernels/grouped_turns.hpp"
#include "runtime/parallel.hpp"
#include "runtime/random.hpp"
#include "model/state_check.hpp"
#include "kernels/successors.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"

namespace twirlkit {
namespace {

// Compiler barriers with one constraint each. The library's DoNotOptimize on
// an lvalue offers the compiler "+m,r", and g++ 12 has been seen to drop a
// pointer kept that way (the streaming benchmark stored through null).
//
// opaque: the value may have changed, so nothing about it is known.
// escape: the memory behind p may be read, so stores into it must happen.
template <class T>
inline void opaque(T& value) noexcept {
    asm volatile("" : "+m"(value) : : "memory");
}
inline void escape(const void* p) noexcept { asm volatile("" : : "r"(p) : "memory"); }

// A fixed stream of move indexes, long enough that the branch predictor
// cannot learn it, so the 12-way dispatch is measured as a scramble sees it.
constexpr std::size_t STREAM = 4096;

std::vector<MoveIndex> move_stream() {
    ChaCha8 gen(ChaCha8::Key{1, 2, 3, 4, 5, 6, 7, 8});
    std::vector<MoveIndex> moves(STREAM);
    for (auto& m : moves) m = draw_move_index(gen);
    return moves;
}

const std::vector<MoveIndex>& moves() {
    static const std::vector<MoveIndex> stream = move_stream();
    return stream;
}

// A reachable, scrambled state: projections of the solved cube could be
// folded by the compiler into constants.
template <Cube C>
C scrambled() {
    C cube{};
    for (MoveIndex m : moves()) apply_move_index_internal(cube, m);
    return cube;
}

// Each turn depends on the last, so this is the latency of one turn.
template <Cube C>
void BM_apply_move_index(benchmark::State& state) {
    const auto& stream = moves();
    C cube = scrambled<C>();
    std::size_t i = 0;
    for (auto _ : state) {
        apply_move_index_internal(cube, stream[i]);
        i = (i + 1) % STREAM;
        opaque(cube);
    }
    state.SetItemsProcessed(state.iterations());
}

// A block of independent cubes, one random move each, as apply_move_indexes
// and every scramble round see them: the 12-way jump per cube against the
// same pairs bucketed by move index first.
constexpr std::size_t BLOCK = MOVE_BLOCK;

template <Cube C, bool Grouped>
void BM_move_block(benchmark::State& state) {
    const auto& stream = moves();
    std::vector<C> cubes(BLOCK, scrambled<C>());
    std::array<std::uint32_t, BLOCK> ids{};
    std::array<std::uint8_t, BLOCK> block{};
    for (std::size_t k = 0; k < BLOCK; ++k) ids[k] = static_cast<std::uint32_t>(k);
    std::size_t offset = 0;
    for (auto _ : state) {
        for (std::size_t k = 0; k < BLOCK; ++k) block[k] = clamp_move(stream[offset + k]);
        if constexpr (Grouped) {
            apply_grouped(std::span<C>(cubes), ids.data(), block.data(), BLOCK);
        } else {
            for (std::size_t k = 0; k < BLOCK; ++k) apply_move_index_internal(cubes[k], block[k]);
        }
        escape(cubes.data());
        offset = (offset + BLOCK) % (STREAM - BLOCK);
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(BLOCK));
}

// A direct call of one turn method, no dispatch: R for the slot cycle with
// no flips, F for the cycle with flips, U for the plain layer rotation.
template <Cube C, MoveIndex M>
void BM_turn(benchmark::State& state) {
    C cube = scrambled<C>();
    for (auto _ : state) {
        apply_turn<M>(cube);
        opaque(cube);
    }
    state.SetItemsProcessed(state.iterations());
}

// The U turn of a 3x3 with its layer rotation (as the cube turns) or as the
// four slot moves of its cycle: whether the rotation earns its fast path.
template <bool Rotation>
void BM_u_turn_words(benchmark::State& state) {
    Cube3x3 cube = scrambled<Cube3x3>();
    for (auto _ : state) {
        if constexpr (Rotation) {
            apply_turn<MOVE_U>(cube);
        } else {
            cube.corners = cycle_slots<Cube3x3::turn_cycles[MOVE_U].corners, false>(cube.corners);
            cube.edges = cycle_slots<Cube3x3::turn_cycles[MOVE_U].edges, false>(cube.edges);
        }
        opaque(cube);
    }
    state.SetItemsProcessed(state.iterations());
}

template <Cube C>
void BM_write_sticker_row(benchmark::State& state) {
    C cube = scrambled<C>();
    alignas(64) std::array<std::int64_t, C::sticker_dim> row{};
    std::int64_t* const out = row.data();
    for (auto _ : state) {
        opaque(cube);
        cube.write_sticker_row(out);
        escape(out);
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(sizeof row));
}

// One row of the successor matrix: copy the cube, turn the copy, project it.
// The twelve moves in turn, as the kernel walks the rows of one cube.
template <Cube C>
void BM_successor_row(benchmark::State& state) {
    const C cube = scrambled<C>();
    alignas(64) std::array<std::int64_t, C::sticker_dim> row{};
    std::int64_t* const out = row.data();
    MoveIndex move = 0;
    for (auto _ : state) {
        C next = cube;
        opaque(next);
        apply_move_index_internal(next, move);
        next.write_sticker_row(out);
        escape(out);
        if (++move == MOVE_COUNT) move = 0;
    }
    state.SetItemsProcessed(state.iterations());
}

// The fixed price of one batch call on the pool: hand a two-item range to the
// workers and wait for them. Every batch method of two or more cubes pays it.
void BM_parallel_for_handoff(benchmark::State& state) {
    std::atomic<std::size_t> items{0};
    for (auto _ : state) {
        parallel_for(0, 2, 1, [&items](std::size_t begin, std::size_t end) {
            items.fetch_add(end - begin, std::memory_order_relaxed);
        });
    }
    if (items.load() != 2 * static_cast<std::size_t>(state.iterations())) {
        state.SkipWithError("items lost");
    }
    state.counters["workers"] = static_cast<double>(pool_thread_count());
}

// A turn method's native part: take the exclusive hold, turn, let go.
template <Cube C>
void BM_held_turn(benchmark::State& state) {
    C cube = scrambled<C>();
    BorrowFlag flag;
    for (auto _ : state) {
        ExclusiveHold hold(flag);
        if (hold) apply_turn<MOVE_R>(cube);
        opaque(cube);
    }
    state.SetItemsProcessed(state.iterations());
}

// What the successor kernel does per cube: one projection, then the twelve
// rows derived from it, through the cache or with streaming stores. Here the
// rows stay in L1, where streaming stores lose; they pay off only for
// outputs far larger than the cache.
// With Vector, the same rows widened from shuffled byte rows (the AVX2
// build).
template <PackedCube C, bool Stream, bool Vector = false>
void BM_successor_rows(benchmark::State& state) {
    if (Vector && !detail::cpu_has_avx2()) {
        state.SkipWithError("no AVX2 on this CPU");
        return;
    }
    const C cube = scrambled<C>();
    alignas(64) std::array<std::int64_t, MOVE_COUNT * C::sticker_dim> rows{};
    std::int64_t* const out = rows.data();
    for (auto _ : state) {
        C parent = cube;
        opaque(parent);
        if constexpr (Vector) {
            detail::write_successor_rows_avx2<C, Stream>(parent, out);
        } else {
            write_successor_rows<C, Stream>(parent, out);
        }
        escape(out);
    }
    if constexpr (Stream) stream_fence();
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(MOVE_COUNT));
}

void BM_chacha8_draw(benchmark::State& state) {
    ChaCha8 gen(ChaCha8::Key{9, 8, 7, 6, 5, 4, 3, 2});
    for (auto _ : state) benchmark::DoNotOptimize(draw_move_index(gen));
    state.SetItemsProcessed(state.iterations());
}

void BM_wide_chacha8_draw(benchmark::State& state) {
    WideChaCha8 gen(WideChaCha8::Key{9, 8, 7, 6, 5, 4, 3, 2});
    for (auto _ : state) benchmark::DoNotOptimize(draw_move_index(gen));
    state.SetItemsProcessed(state.iterations());
}

// Keying a task generator and drawing a 20-move scramble: what a batch
// scramble chunk pays once, plus what each of its cubes pays.
void BM_task_generator_20_draws(benchmark::State& state) {
    for (auto _ : state) {
        WideChaCha8 gen = make_task_generator();
        MoveIndex acc = 0;
        for (int i = 0; i < 20; ++i) acc += draw_move_index(gen);
        benchmark::DoNotOptimize(acc);
    }
    state.SetItemsProcessed(state.iterations() * 20);
}

void BM_thread_rng_draw(benchmark::State& state) {
    ThreadRng& rng = thread_rng();
    for (auto _ : state) benchmark::DoNotOptimize(draw_move_index(rng));
    state.SetItemsProcessed(state.iterations());
}

// A whole single-cube scramble of 20 moves from the per-thread generator.
template <Cube C>
void BM_scramble_internal_20(benchmark::State& state) {
    C cube{};
    for (auto _ : state) {
        scramble_internal(cube, 20);
        opaque(cube);
    }
    state.SetItemsProcessed(state.iterations());
}

// The checks of incoming states, over 256 different reachable states: the
// words alone (from_packed) and a whole sticker row (from_stickers).
template <PackedCube C>
std::vector<C> scrambled_block() {
    std::vector<C> cubes(256, scrambled<C>());
    const auto& stream = moves();
    for (std::size_t i = 1; i < cubes.size(); ++i) {
        cubes[i] = cubes[i - 1];
        apply_move_index_internal(cubes[i], stream[i]);
    }
    return cubes;
}

template <PackedCube C>
void BM_check_words(benchmark::State& state) {
    std::vector<C> cubes = scrambled_block<C>();
    for (auto _ : state) {
        for (C& cube : cubes) {
            opaque(cube);
            auto fault = cube.check();
            opaque(fault);
        }
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cubes.size()));
}

template <PackedCube C>
void BM_decode_sticker_row(benchmark::State& state) {
    const std::vector<C> cubes = scrambled_block<C>();
    std::vector<std::int64_t> rows(cubes.size() * C::sticker_dim);
    for (std::size_t i = 0; i < cubes.size(); ++i) cubes[i].write_sticker_row(&rows[i * C::sticker_dim]);
    std::vector<C> out(cubes.size());
    for (auto _ : state) {
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            auto fault = decode_sticker_row(&rows[i * C::sticker_dim], out[i]);
            opaque(fault);
        }
        escape(out.data());
    }
    state.SetItemsProcessed(state.iterations() * static_cast<std::int64_t>(cubes.size()));
}

BENCHMARK(BM_check_words<Cube3x3>)->Name("check_words/3x3");
BENCHMARK(BM_check_words<Cube2x2>)->Name("check_words/2x2");
BENCHMARK(BM_decode_sticker_row<Cube3x3>)->Name("decode_sticker_row/3x3");
BENCHMARK(BM_decode_sticker_row<Cube2x2>)->Name("decode_sticker_row/2x2");
BENCHMARK(BM_apply_move_index<Cube3x3>)->Name("apply_move_index/3x3");
BENCHMARK(BM_apply_move_index<Cube2x2>)->Name("apply_move_index/2x2");
BENCHMARK(BM_move_block<Cube3x3, false>)->Name("move_block_switch/3x3");
BENCHMARK(BM_move_block<Cube3x3, true>)->Name("move_block_grouped/3x3");
BENCHMARK(BM_move_block<Cube2x2, false>)->Name("move_block_switch/2x2");
BENCHMARK(BM_move_block<Cube2x2, true>)->Name("move_block_grouped/2x2");
BENCHMARK(BM_turn<Cube3x3, MOVE_U>)->Name("turn_U/3x3");
BENCHMARK(BM_turn<Cube3x3, MOVE_R>)->Name("turn_R/3x3");
BENCHMARK(BM_turn<Cube3x3, MOVE_F>)->Name("turn_F/3x3");
BENCHMARK(BM_turn<Cube2x2, MOVE_U>)->Name("turn_U/2x2");
BENCHMARK(BM_turn<Cube2x2, MOVE_R>)->Name("turn_R/2x2");
BENCHMARK(BM_turn<Cube2x2, MOVE_F>)->Name("turn_F/2x2");
BENCHMARK(BM_u_turn_words<true>)->Name("turn_U_rotation/3x3");
BENCHMARK(BM_u_turn_words<false>)->Name("turn_U_cycle/3x3");
BENCHMARK(BM_write_sticker_row<Cube3x3>)->Name("write_sticker_row/3x3");
BENCHMARK(BM_write_sticker_row<Cube2x2>)->Name("write_sticker_row/2x2");
BENCHMARK(BM_successor_row<Cube3x3>)->Name("successor_row/3x3");
BENCHMARK(BM_successor_row<Cube2x2>)->Name("successor_row/2x2");
BENCHMARK(BM_successor_rows<Cube3x3, false>)->Name("successor_rows_x12/3x3");
BENCHMARK(BM_successor_rows<Cube2x2, false>)->Name("successor_rows_x12/2x2");
BENCHMARK(BM_successor_rows<Cube3x3, true>)->Name("successor_rows_x12_stream/3x3");
BENCHMARK(BM_successor_rows<Cube2x2, true>)->Name("successor_rows_x12_stream/2x2");
BENCHMARK(BM_successor_rows<Cube3x3, false, true>)->Name("successor_rows_x12_avx2/3x3");
BENCHMARK(BM_successor_rows<Cube2x2, false, true>)->Name("successor_rows_x12_avx2/2x2");
BENCHMARK(BM_successor_rows<Cube3x3, true, true>)->Name("successor_rows_x12_avx2_stream/3x3");
BENCHMARK(BM_successor_rows<Cube2x2, true, true>)->Name("successor_rows_x12_avx2_stream/2x2");
BENCHMARK(BM_held_turn<Cube3x3>)->Name("held_turn_R/3x3");
BENCHMARK(BM_held_turn<Cube2x2>)->Name("held_turn_R/2x2");
BENCHMARK(BM_parallel_for_handoff)->Name("parallel_for_handoff/2_items")->UseRealTime();
BENCHMARK(BM_chacha8_draw)->Name("draw_move_index/ChaCha8");
BENCHMARK(BM_wide_chacha8_draw)->Name("draw_move_index/WideChaCha8");
BENCHMARK(BM_task_generator_20_draws)->Name("task_generator+20_draws/ChaCha8");
BENCHMARK(BM_thread_rng_draw)->Name("draw_move_index/thread_rng");
BENCHMARK(BM_scramble_internal_20<Cube3x3>)->Name("scramble_internal_20/3x3");
BENCHMARK(BM_scramble_internal_20<Cube2x2>)->Name("scramble_internal_20/2x2");

}  // namespace
}  // namespace twirlkit

BENCHMARK_MAIN();

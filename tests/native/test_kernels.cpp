#include "kernels/kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "invariants.hpp"

namespace twirlkit {
namespace {

using testing::sample_cubes;

template <Cube C>
std::vector<std::int64_t> reference_row(C cube, MoveIndex move) {
    apply_move_index_internal(cube, move);
    return cube.sticker_array_internal();
}

// A quarter turn moves 20 of the 54 stickers of a 3x3 and 12 of the 24 of a
// 2x2; the successor tables derived from each type's net and cycles agree.
static_assert(detail::moved_stickers(detail::SUCCESSOR_SOURCES<Cube3x3>[MOVE_R]) == 20);
static_assert(detail::moved_stickers(detail::SUCCESSOR_SOURCES<Cube2x2>[MOVE_F_PRIME]) == 12);

template <class C>
class KernelTest : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(KernelTest, CubeTypes);

TYPED_TEST(KernelTest, SuccessorRowsComeCubeByCubeInMoveOrderWhateverTheGrain) {
    using C = TypeParam;
    const std::vector<C> cubes = sample_cubes<C>(37);
    const std::vector<C> before = cubes;
    // Chunks of one cube, of odd sizes, and of the whole run.
    for (std::size_t grain : {std::size_t{1}, std::size_t{5}, std::size_t{12}, std::size_t{13},
                              NEXT_STATES_GRAIN, std::size_t{100000}}) {
        const OutputBuffer out = next_states_internal(std::span<const C>(cubes), grain);
        ASSERT_EQ(out.rows(), cubes.size() * MOVE_COUNT);
        ASSERT_EQ(out.cols(), C::sticker_dim);
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
                const std::int64_t* row = out.row<std::int64_t>(MOVE_COUNT * i + m);
                const std::vector<std::int64_t> expected = reference_row(cubes[i], m);
                ASSERT_EQ(std::vector<std::int64_t>(row, row + C::sticker_dim), expected)
                    << "cube " << i << " move " << m << " grain " << grain;
            }
        }
    }
    EXPECT_EQ(cubes, before);
}

bool same_rows(const OutputBuffer& a, const OutputBuffer& b) {
    const std::int64_t* cells = a.elements<std::int64_t>();
    return a.rows() == b.rows() && a.cols() == b.cols() &&
           std::equal(cells, cells + a.rows() * a.cols(), b.elements<std::int64_t>());
}

TYPED_TEST(KernelTest, StickerRowsAreTheCubesInOrder) {
    using C = TypeParam;
    const std::vector<C> cubes = sample_cubes<C>(301);
    for (std::size_t grain : {std::size_t{1}, std::size_t{7}, STICKER_ROWS_GRAIN}) {
        const OutputBuffer out = sticker_arrays_internal(std::span<const C>(cubes), grain);
        ASSERT_EQ(out.rows(), cubes.size());
        ASSERT_EQ(out.cols(), C::sticker_dim);
        for (std::size_t i = 0; i < cubes.size(); ++i) {
            const std::int64_t* row = out.row<std::int64_t>(i);
            ASSERT_EQ(std::vector<std::int64_t>(row, row + C::sticker_dim),
                      cubes[i].sticker_array_internal())
                << "cube " << i << " grain " << grain;
        }
    }
}

TYPED_TEST(KernelTest, EmptyInputGivesAnEmptyMatrixWithARealAddress) {
    using C = TypeParam;
    const std::vector<C> none;
    const OutputBuffer successors = next_states_internal(std::span<const C>(none));
    const OutputBuffer stickers = sticker_arrays_internal(std::span<const C>(none));
    for (const OutputBuffer* out : {&successors, &stickers}) {
        EXPECT_EQ(out->rows(), 0u);
        EXPECT_EQ(out->cols(), C::sticker_dim);
        EXPECT_NE(out->data(), nullptr);  // NumPy would allocate its own for nullptr
    }
}

TYPED_TEST(KernelTest, ApplyMoveIndexesPairsToTheShorterRunAndSkipsIndexesAbove11) {
    using C = TypeParam;
    const std::vector<C> start = sample_cubes<C>(600);
    std::vector<std::size_t> indexes(start.size() + 50);
    for (std::size_t i = 0; i < indexes.size(); ++i) indexes[i] = (i * 7) % 15;  // 12..14 too
    indexes[3] = std::numeric_limits<std::size_t>::max();

    for (std::size_t given : {std::size_t{0}, std::size_t{1}, std::size_t{250}, start.size(),
                              indexes.size()}) {
        for (std::size_t grain : {std::size_t{1}, APPLY_GRAIN}) {
            std::vector<C> cubes = start;
            apply_move_indexes_internal(std::span<C>(cubes),
                                        std::span<const std::size_t>(indexes.data(), given), grain);
            for (std::size_t i = 0; i < cubes.size(); ++i) {
                C expected = start[i];
                if (i < given) apply_move_index_internal(expected, indexes[i]);
                ASSERT_EQ(cubes[i], expected) << "cube " << i << " of " << given << " indexes";
            }
        }
    }
}

TYPED_TEST(KernelTest, ScrambleTurnsOnlyPairedCubesWithAPositiveLength) {
    using C = TypeParam;
    const std::vector<std::int64_t> lengths{0, -3, 20, std::numeric_limits<std::int64_t>::min(),
                                            1, 0};
    for (std::size_t grain : {std::size_t{1}, std::size_t{2}, SCRAMBLE_GRAIN}) {
        std::vector<C> cubes(8);  // the last two have no length
        scramble_batch_internal(std::span<C>(cubes), std::span<const std::int64_t>(lengths),
                                grain);
        for (std::size_t i : {0u, 1u, 3u, 5u, 6u, 7u}) EXPECT_TRUE(cubes[i].is_solved()) << i;
        EXPECT_FALSE(cubes[4].is_solved());  // any single quarter turn unsolves
    }
}

TYPED_TEST(KernelTest, OneMoveScramblesReachEachQuarterTurnAndNothingElse) {
    using C = TypeParam;
    std::vector<C> turned(MOVE_COUNT);
    for (MoveIndex m = 0; m < MOVE_COUNT; ++m) apply_move_index_internal(turned[m], m);

    std::vector<C> cubes(6000);
    const std::vector<std::int64_t> ones(cubes.size(), 1);
    scramble_batch_internal(std::span<C>(cubes), std::span<const std::int64_t>(ones));
    std::set<std::size_t> seen;
    for (const C& cube : cubes) {
        std::size_t which = MOVE_COUNT;
        for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
            if (cube == turned[m]) which = m;
        }
        ASSERT_LT(which, MOVE_COUNT) << "a one-move scramble left the twelve quarter turns";
        seen.insert(which);
    }
    EXPECT_EQ(seen.size(), MOVE_COUNT);
}

TEST(BatchScramble, TwoScramblesOfTheSameBatchDiffer) {
    // Fresh task generators per call: repeating a call must not repeat moves.
    std::vector<Cube3x3> a(512), b(512);
    const std::vector<std::int64_t> lengths(512, 20);
    scramble_batch_internal(std::span<Cube3x3>(a), std::span<const std::int64_t>(lengths));
    scramble_batch_internal(std::span<Cube3x3>(b), std::span<const std::int64_t>(lengths));
    EXPECT_NE(a, b);
    // Neither do two chunks of one call share a stream.
    std::size_t repeats = 0;
    for (std::size_t i = 1; i < a.size(); ++i) repeats += a[i] == a[i - 1];
    EXPECT_EQ(repeats, 0u);
}

// Outputs from the streaming threshold on take the non-temporal store path
// of both kernels; each of their rows must still be the plain projection.
TYPED_TEST(KernelTest, RowsWrittenAroundTheCachesAreTheProjection) {
    using C = TypeParam;
    constexpr std::size_t row_bytes = C::sticker_dim * sizeof(std::int64_t);
    const std::vector<C> cubes = sample_cubes<C>(detail::stream_threshold() / row_bytes + 3);
    const OutputBuffer rows = sticker_arrays_internal(std::span<const C>(cubes));
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        const std::int64_t* row = rows.row<std::int64_t>(i);
        ASSERT_EQ(std::vector<std::int64_t>(row, row + C::sticker_dim), cubes[i].sticker_array_internal())
            << "cube " << i;
    }
    const std::span<const C> few(cubes.data(), detail::stream_threshold() / (MOVE_COUNT * row_bytes) + 3);
    const OutputBuffer next = next_states_internal(few);
    // The scalar build, streamed and not, gives the same rows as the one this CPU runs.
    EXPECT_TRUE(same_rows(next_states_with<C, false>(few), next));
    EXPECT_TRUE(same_rows(next_states_with<C, false>(few.first(50)), next_states_internal(few.first(50))));
    for (std::size_t i = 0; i < few.size(); i += 7) {
        for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
            const std::int64_t* row = next.row<std::int64_t>(MOVE_COUNT * i + m);
            ASSERT_EQ(std::vector<std::int64_t>(row, row + C::sticker_dim), reference_row(few[i], m))
                << "cube " << i << " move " << m;
        }
    }
}

// Both builds of the grouped turns (scalar, and AVX2 where the CPU has it)
// must turn every cube of a block as the move-index jump does, for every move
// and for the no-move slot, with buckets of every size (odd remainders too).
TYPED_TEST(KernelTest, GroupedTurnsOfBothBuildsMatchTheJump) {
    using C = TypeParam;
    std::vector<C> start = sample_cubes<C>(MOVE_BLOCK);
    std::mt19937 gen(7);
    for (int trial = 0; trial < 200; ++trial) {
        const std::size_t count = 1 + gen() % MOVE_BLOCK;
        std::vector<std::uint32_t> ids(MOVE_BLOCK);
        for (std::uint32_t k = 0; k < MOVE_BLOCK; ++k) ids[k] = k;
        std::shuffle(ids.begin(), ids.end(), gen);
        std::vector<std::uint8_t> moves(count);
        const unsigned spread = trial % 2 == 0 ? MOVE_COUNT + 1 : 3;  // many or few buckets
        for (auto& m : moves) m = static_cast<std::uint8_t>(gen() % spread);
        std::vector<C> expected = start;
        for (std::size_t k = 0; k < count; ++k) apply_move_index_internal(expected[ids[k]], moves[k]);
        std::vector<C> scalar = start, vector = start;
        apply_grouped_with<false>(std::span<C>(scalar), ids.data(), moves.data(), count);
        ASSERT_EQ(scalar, expected) << "trial " << trial;
        if (detail::cpu_has_avx2()) {  // the AVX2 build only where it can run
            apply_grouped_with<true>(std::span<C>(vector), ids.data(), moves.data(), count);
            ASSERT_EQ(vector, expected) << "trial " << trial;
        }
        start = expected;
    }
}

TEST(LargeMatrix, IsMappedHugePageAlignedAndFullyWritten) {
    // 8000 * 12 * 54 * 8 bytes is about 41 MB, above the huge-page size.
    static_assert(std::size_t{8000} * 12 * 54 * 8 >= detail::MAP_THRESHOLD);
    const std::vector<Cube3x3> cubes = sample_cubes<Cube3x3>(8000);
    const OutputBuffer out = next_states_internal(std::span<const Cube3x3>(cubes));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(out.data()) % detail::HUGE_PAGE, 0u);
    EXPECT_GE(out.capacity(), out.bytes());
    for (std::size_t i = 0; i < cubes.size(); i += 97) {
        for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
            const std::int64_t* row = out.row<std::int64_t>(MOVE_COUNT * i + m);
            ASSERT_EQ(std::vector<std::int64_t>(row, row + Cube3x3::sticker_dim),
                      reference_row(cubes[i], m));
        }
    }
    // The last row ends exactly at rows * cols.
    const std::int64_t* last = out.row<std::int64_t>(out.rows() - 1);
    EXPECT_EQ(std::vector<std::int64_t>(last, last + Cube3x3::sticker_dim),
              reference_row(cubes.back(), MOVE_B_PRIME));
}

TEST(OutputShape, AcceptsWhatFitsAndNamesEachOverflow) {
    const MatrixShape shape = checked_output_shape(1024, MOVE_COUNT, 54);
    EXPECT_EQ(shape.rows, 12288u);
    EXPECT_EQ(shape.cols, 54u);

    constexpr auto max_elements = static_cast<std::size_t>(std::numeric_limits<std::ptrdiff_t>::max());
    const auto message_of = [](std::size_t items, std::size_t per, std::size_t cols) {
        try {
            checked_output_shape(items, per, cols);
        } catch (const std::length_error& error) {
            return std::string(error.what());
        }
        return std::string("no error");
    };
    // items * 12 wraps around.
    EXPECT_NE(message_of(std::numeric_limits<std::size_t>::max() / 4, MOVE_COUNT, 54)
                  .find("too large"),
              std::string::npos);
    // rows * cols fits size_t but not a signed pointer-sized integer.
    EXPECT_NE(message_of(max_elements / 54 + 1, 1, 54).find("too large"), std::string::npos);
    // The element count fits, its byte size does not.
    EXPECT_EQ(message_of(max_elements / 8 / 54 + 1, 1, 54), "capacity overflow");
    EXPECT_NO_THROW(checked_output_shape(max_elements / 8 / 54, 1, 54));
}

int frees = 0;
std::size_t freed_capacity = 0;
void count_free(void*, std::size_t capacity) noexcept {
    ++frees;
    freed_capacity = capacity;
}

TEST(OutputBufferOwnership, FreesOnceAfterMovesAndNeverAfterRelease) {
    std::int64_t cells[6]{};
    frees = 0;
    {
        OutputBuffer a(cells, 2, 3, Element::int64, sizeof cells, &count_free);
        OutputBuffer b(std::move(a));
        OutputBuffer c;
        c = std::move(b);
        EXPECT_EQ(a.data(), nullptr);
        EXPECT_EQ(c.data(), cells);
        EXPECT_EQ(c.row<std::int64_t>(1), cells + 3);
    }
    EXPECT_EQ(frees, 1);
    EXPECT_EQ(freed_capacity, sizeof cells);

    frees = 0;
    {
        OutputBuffer a(cells, 2, 3, Element::int64, sizeof cells, &count_free);
        OutputBuffer::FreeFn fn = a.free_fn();
        void* data = a.release();
        EXPECT_EQ(frees, 0);
        fn(data, sizeof cells);
    }
    EXPECT_EQ(frees, 1);

    frees = 0;
    {
        OutputBuffer a(cells, 2, 3, Element::int64, sizeof cells, &count_free);
        a = OutputBuffer(cells, 1, 3, Element::int64, sizeof cells / 2, &count_free);  // the old buffer goes first
        EXPECT_EQ(frees, 1);
    }
    EXPECT_EQ(frees, 2);
}

// Corner permutation parity: every quarter turn is one 4-cycle of corners.
template <Cube C>
unsigned corner_parity(const C& cube) {
    Word word;
    if constexpr (std::is_same_v<C, Cube3x3>) word = cube.corners; else word = cube.state;
    unsigned parity = 0;
    for (unsigned a = 0; a < 8; ++a)
        for (unsigned b = a + 1; b < 8; ++b) parity ^= (slot_value(word, a) & 7) > (slot_value(word, b) & 7);
    return parity;
}

TYPED_TEST(KernelTest, GroupedTurnsAcrossBlocksMatchOneByOne) {
    using C = TypeParam;
    std::mt19937_64 rng(11);
    const std::size_t n = 3 * MOVE_BLOCK + 17;
    std::vector<C> cubes = sample_cubes<C>(n);
    std::vector<C> expected = cubes;
    std::vector<std::size_t> indexes(n);
    for (std::size_t& m : indexes) m = rng() % 15;  // some 12..14: no turn
    for (std::size_t i = 0; i < n; ++i) apply_move_index_internal(expected[i], indexes[i]);
    apply_move_indexes_internal(std::span<C>(cubes), std::span<const std::size_t>(indexes));
    EXPECT_EQ(cubes, expected);

    // Mixed lengths: cubes drop out of the rounds at different times, and
    // the last long ones finish alone. Each cube gets exactly its length.
    std::vector<std::int64_t> lengths(n);
    for (std::int64_t& l : lengths) l = static_cast<std::int64_t>(rng() % 40) - 5;
    lengths[3] = 1001;
    lengths[MOVE_BLOCK + 1] = 777;
    std::vector<C> scrambled(n);
    scramble_batch_internal(std::span<C>(scrambled), std::span<const std::int64_t>(lengths));
    for (std::size_t i = 0; i < n; ++i) {
        if (lengths[i] < 1) {
            EXPECT_TRUE(scrambled[i].is_solved()) << i;
        } else {
            EXPECT_EQ(corner_parity(scrambled[i]), static_cast<unsigned>(lengths[i] & 1)) << i;
        }
    }
}

TEST(MappedCache, ReusesFreedBuffersOfTheSameSizeWithinItsBounds) {
    drop_mapped_cache();
    std::size_t length = 0;
    void* first = acquire_mapped(40u << 20, length);
    ASSERT_EQ(length % HUGE_PAGE_BYTES, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(first) % HUGE_PAGE_BYTES, 0u);
    release_mapped(first, length);
    EXPECT_EQ(mapped_cache_bytes(), length);
    std::size_t again = 0;
    EXPECT_EQ(acquire_mapped(40u << 20, again), first);  // the same pages, already in place
    EXPECT_EQ(mapped_cache_bytes(), 0u);
    release_mapped(first, again);

    // Small buffers are rounded to pages and cached as well.
    std::size_t small = 0;
    void* p = acquire_mapped(100000, small);
    EXPECT_EQ(small, 25 * PAGE_BYTES);
    release_mapped(p, small);
    std::size_t small_again = 0;
    EXPECT_EQ(acquire_mapped(99000, small_again), p);
    release_mapped(p, small_again);

    // Never more than CACHE_ENTRIES buffers, the oldest go first.
    std::vector<std::pair<void*, std::size_t>> held;
    for (std::size_t i = 0; i < CACHE_ENTRIES + 2; ++i) {
        std::size_t n = 0;
        void* q = acquire_mapped((i + 1) * PAGE_BYTES * 16, n);
        held.emplace_back(q, n);
    }
    for (auto [q, n] : held) release_mapped(q, n);
    std::size_t n = 0;
    void* newest = acquire_mapped(held.back().second, n);
    EXPECT_EQ(newest, held.back().first);
    release_mapped(newest, n);
    drop_mapped_cache();
    EXPECT_EQ(mapped_cache_bytes(), 0u);
}

TEST(MappedCache, ABufferNoRequestTakesBackWithinTheWindowIsReturned) {
    drop_mapped_cache();
    std::size_t big = 0;
    void* once = acquire_mapped(64u << 20, big);
    release_mapped(once, big);
    EXPECT_EQ(mapped_cache_bytes(), big);
    // A loop of another shape: its own buffer stays, the one-off goes.
    std::size_t length = 0;
    for (std::size_t i = 0; i <= CACHE_REUSE_WINDOW; ++i) {
        void* p = acquire_mapped(1u << 20, length);
        release_mapped(p, length);
    }
    EXPECT_EQ(mapped_cache_bytes(), length);
    EXPECT_EQ(drop_mapped_cache(), length);
}

TEST(MappedCache, AReusedBufferIsFullyRewritten) {
    drop_mapped_cache();
    const std::vector<Cube3x3> cubes = sample_cubes<Cube3x3>(8000);
    {
        OutputBuffer garbage = OutputBuffer::allocate(8000 * MOVE_COUNT, Cube3x3::sticker_dim, Element::int64);
        std::int64_t* cells = garbage.elements<std::int64_t>();
        std::fill(cells, cells + garbage.rows() * garbage.cols(), -7);
    }
    const OutputBuffer out = next_states_internal(std::span<const Cube3x3>(cubes));
    const std::int64_t* end = out.elements<std::int64_t>() + out.rows() * out.cols();
    EXPECT_EQ(std::find(static_cast<const std::int64_t*>(out.elements<std::int64_t>()), end, std::int64_t{-7}), end);
    EXPECT_EQ(std::vector<std::int64_t>(out.row<std::int64_t>(5), out.row<std::int64_t>(5) + 54), reference_row(cubes[0], 5));
    drop_mapped_cache();
}

}  // namespace
}  // namespace twirlkit

#include "kernels/state_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <functional>
#include <memory>
#include <vector>

#include "kernels/kernels.hpp"
#include "runtime/random.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "invariants.hpp"

namespace twirlkit {
namespace {

template <Cube C>
std::vector<C> scrambled(std::size_t n) {
    return testing::sample_cubes<C>(n, 1);
}

template <class C>
class StateTest : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube2x2, Cube3x3>;
TYPED_TEST_SUITE(StateTest, CubeTypes);

// Stickers and words of reachable cubes come back as the same cubes, on
// several workers, and the kernels write every element of their outputs.
TYPED_TEST(StateTest, StickersAndWordsRoundTrip) {
    using C = TypeParam;
    constexpr std::size_t d = C::sticker_dim;
    const std::vector<C> cubes = scrambled<C>(3000);
    std::vector<std::int64_t> rows(cubes.size() * d);
    for (std::size_t i = 0; i < cubes.size(); ++i) cubes[i].write_sticker_row(rows.data() + i * d);
    std::vector<C> back(cubes.size());
    EXPECT_FALSE(cubes_from_sticker_rows<C>(rows.data(), cubes.size(), back.data(), 64));
    EXPECT_EQ(back, cubes);

    std::vector<Word> words(cubes.size() * C::word_count);
    words_of_cubes<C>(cubes, words.data(), 64);
    std::vector<C> again(cubes.size());
    EXPECT_FALSE(cubes_from_words<C>(words.data(), cubes.size(), again.data(), 64));
    EXPECT_EQ(again, cubes);
}

// Every way of breaking one word of a group of four, at every slot: the
// vector check of four cubes at once must refuse the group exactly when the
// cube-by-cube check refuses one of them, and the decoders of both builds
// must name the same row and reason.
TYPED_TEST(StateTest, BothBuildsOfTheGroupCheckAgreeOnEveryOneWayCorruption) {
    using C = TypeParam;
    constexpr std::size_t w = C::word_count;
    const std::vector<C> cubes = scrambled<C>(64);
    std::vector<Word> words(cubes.size() * w);
    words_of_cubes<C>(cubes, words.data());
    const auto swap_slots = [](Word& word, unsigned a, unsigned b) {
        const Word x = slot_value(word, a), y = slot_value(word, b);
        word &= ~((SLOT_MASK << (SLOT_BITS * a)) | (SLOT_MASK << (SLOT_BITS * b)));
        word |= (y << (SLOT_BITS * a)) | (x << (SLOT_BITS * b));
    };
    // Each way of breaking one slot k of one word (column 0 corners, 1 edges).
    struct Break {
        std::size_t column;
        unsigned slots;
        std::function<void(Word&, unsigned)> apply;
    };
    std::vector<Break> breaks{
        {0, 8, [](Word& c, unsigned k) { c ^= Word{1} << (SLOT_BITS * k + 3); }},  // a twist
        {0, 8, [](Word& c, unsigned k) { c |= Word{3} << (SLOT_BITS * k + 3); }},  // orientation 3
        {0, 8, [](Word& c, unsigned k) { c ^= Word{1} << (SLOT_BITS * k); }},      // a piece changed
        {0, 8, [](Word& c, unsigned k) { c |= Word{1} << (40 + 3 * k); }},         // a high bit
        {0, 8, [&](Word& c, unsigned k) { swap_slots(c, k, (k + 1) % 8); }},       // two corners swapped
    };
    if constexpr (C::has_edges) {
        breaks.push_back({1, 12, [](Word& e, unsigned k) { e ^= Word{1} << (SLOT_BITS * k + 4); }});  // a flip
        breaks.push_back({1, 12, [](Word& e, unsigned k) { e |= Word{0xC} << (SLOT_BITS * k); }});    // piece >= 12
        breaks.push_back({1, 12, [](Word& e, unsigned k) { e |= Word{1} << (60 + k % 4); }});        // a high bit
        breaks.push_back({1, 12, [&](Word& e, unsigned k) { swap_slots(e, k, (k + 5) % 12); }});     // two edges swapped
    }
    std::size_t refused = 0;
    for (std::size_t b = 0; b < breaks.size(); ++b) {
        for (unsigned k = 0; k < breaks[b].slots; ++k) {
            for (std::size_t at = 0; at < 4; ++at) {
                std::vector<Word> bad = words;
                breaks[b].apply(bad[(8 + at) * w + breaks[b].column], k);
                std::array<C, 4> group;
                for (std::size_t i = 0; i < 4; ++i) group[i] = C::from_words(&bad[(8 + i) * w]);
                const bool one_by_one = detail::four_reachable<false>(group.data());
                if (detail::cpu_has_avx2()) {
                    ASSERT_EQ(detail::four_reachable<true>(group.data()), one_by_one) << b << " " << k;
                }
                refused += !one_by_one;
                std::vector<C> out(cubes.size());
                const auto scalar = cubes_from_words_with<false, C>(bad.data(), cubes.size(), out.data(), 16);
                ASSERT_EQ(scalar.has_value(), !one_by_one);
                if (!detail::cpu_has_avx2()) continue;
                const auto vector = cubes_from_words_with<true, C>(bad.data(), cubes.size(), out.data(), 16);
                ASSERT_EQ(vector.has_value(), scalar.has_value());
                if (scalar) {
                    EXPECT_EQ(vector->row, scalar->row);
                    EXPECT_EQ(describe(vector->fault), describe(scalar->fault));
                }
            }
        }
    }
    EXPECT_GT(refused, 0u);
}

TYPED_TEST(StateTest, TheLowestBadRowIsReportedWhicheverWorkerMeetsItFirst) {
    using C = TypeParam;
    std::vector<Word> words(2000 * C::word_count);
    words_of_cubes<C>(scrambled<C>(2000), words.data());
    words[1900 * C::word_count] ^= Word{1} << 3;  // a twist on corner slot 0
    words[40 * C::word_count] |= Word{1} << 40;    // a bit above the corner slots
    std::vector<C> out(2000);
    const auto fault = cubes_from_words<C>(words.data(), 2000, out.data(), 16);
    ASSERT_TRUE(fault);
    EXPECT_EQ(fault->row, 40u);
    EXPECT_EQ(describe(fault->fault), "the corner word has bits set above its last slot");
}

TYPED_TEST(StateTest, EncodingsAgreeWithTheInt64Rows) {
    using C = TypeParam;
    constexpr std::size_t d = C::sticker_dim;
    const std::vector<C> cubes = scrambled<C>(100);
    const OutputBuffer successors = next_states_internal(std::span<const C>(cubes));
    std::vector<std::uint8_t> codes(successors.rows() * d, 0xEE);
    encode_sticker_rows_with<C, std::uint8_t, false>(cubes, Encoding{true, false}, codes.data(), 1);
    if (detail::cpu_has_avx2()) {  // the widened int64 rows, then the shuffled byte rows to the last byte
        std::vector<std::int64_t> wide(successors.rows() * d);
        encode_sticker_rows_with<C, std::int64_t, true>(cubes, Encoding{true, false}, wide.data(), 1);
        EXPECT_TRUE(std::equal(wide.begin(), wide.end(), successors.elements<std::int64_t>()));
        std::vector<std::uint8_t> shuffled(codes.size() + 64, 0xEE);
        encode_sticker_rows_with<C, std::uint8_t, true>(cubes, Encoding{true, false}, shuffled.data(), 1);
        EXPECT_TRUE(std::equal(codes.begin(), codes.end(), shuffled.begin()));
        EXPECT_EQ(std::count(shuffled.begin() + codes.size(), shuffled.end(), 0xEE), 64);
    }
    std::vector<float> hot(successors.rows() * 6 * d, -1.0F);
    encode_sticker_rows_with<C, float, false>(cubes, Encoding{true, true}, hot.data(), 1.0F);
    if (detail::cpu_has_avx2()) {
        std::vector<float> vector(hot.size(), -1.0F);
        encode_sticker_rows_with<C, float, true>(cubes, Encoding{true, true}, vector.data(), 1.0F);
        EXPECT_EQ(vector, hot);
    }
    for (std::size_t r = 0; r < successors.rows(); ++r) {
        for (std::size_t s = 0; s < d; ++s) {
            const std::int64_t code = successors.row<std::int64_t>(r)[s];
            ASSERT_EQ(codes[r * d + s], code);
            for (std::size_t c = 0; c < 6; ++c) {
                ASSERT_EQ(hot[(r * d + s) * 6 + c], c == static_cast<std::size_t>(code) ? 1.0F : 0.0F);
            }
        }
    }
    // Both builds of the expansion, whichever this CPU runs.
    std::vector<C> expanded(cubes.size() * MOVE_COUNT);
    expand_cubes_with<false, C>(cubes, expanded.data(), 4);
    for (std::size_t r = 0; r < expanded.size(); ++r) {
        ASSERT_EQ(expanded[r].sticker_array_internal(),
                  std::vector<std::int64_t>(successors.row<std::int64_t>(r), successors.row<std::int64_t>(r) + d));
    }
    if (detail::cpu_has_avx2()) {
        std::vector<C> vector(expanded.size());
        expand_cubes_with<true, C>(cubes, vector.data(), 4);
        EXPECT_EQ(vector, expanded);
    }
}

// One-hot rows past the streaming threshold, written around the caches by
// the vector build, are the rows of the scalar build.
TYPED_TEST(StateTest, StreamedOneHotRowsAreThePlainOnes) {
    using C = TypeParam;
    if (!detail::cpu_has_avx2()) GTEST_SKIP() << "no AVX2 on this CPU";
    constexpr std::size_t per_cube = MOVE_COUNT * 6 * C::sticker_dim;
    const std::vector<C> cubes = scrambled<C>(detail::stream_threshold() / (per_cube * sizeof(float)) + 5);
    const std::size_t count = cubes.size() * per_cube;
    std::unique_ptr<float, decltype(&std::free)> streamed(
        static_cast<float*>(std::aligned_alloc(64, (count * sizeof(float) + 63) / 64 * 64)), &std::free);
    ASSERT_TRUE(streamed);
    encode_sticker_rows_with<C, float, true>(cubes, Encoding{true, true}, streamed.get(), 1.0F);
    std::vector<float> plain(count);
    encode_sticker_rows_with<C, float, false>(cubes, Encoding{true, true}, plain.data(), 1.0F);
    EXPECT_TRUE(std::equal(plain.begin(), plain.end(), streamed.get()));
}

// The packed words are copied as bytes where a cube is stored as its words.
static_assert(detail::stored_as_words<Cube3x3>() && detail::stored_as_words<Cube2x2>());

}  // namespace
}  // namespace twirlkit

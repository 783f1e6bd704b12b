#include "cube/state_kernels.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "cube/kernels.hpp"
#include "cube/random.hpp"
#include "cube2x2/utils.hpp"
#include "cube3x3/utils.hpp"

namespace twirlkit {
namespace {

template <Cube C>
std::vector<C> scrambled(std::size_t n) {
    ChaCha8 gen(ChaCha8::Key{9, 8, 7, 6, 5, 4, 3, static_cast<std::uint32_t>(n)});
    std::vector<C> cubes(n);
    for (std::size_t i = 0; i < n; ++i) scramble_with(cubes[i], static_cast<std::int64_t>(i % 31), gen);
    return cubes;
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
    const OutputMatrix successors = next_states_internal(std::span<const C>(cubes));
    std::vector<std::uint8_t> codes(successors.rows() * d, 0xEE);
    encode_sticker_rows_with<C, std::uint8_t, false>(cubes, Encoding{true, false}, codes.data(), 1);
    if (detail::cpu_has_avx2()) {  // the shuffled byte rows, to the last byte and no further
        std::vector<std::uint8_t> shuffled(codes.size() + 64, 0xEE);
        encode_sticker_rows_with<C, std::uint8_t, true>(cubes, Encoding{true, false}, shuffled.data(), 1);
        EXPECT_TRUE(std::equal(codes.begin(), codes.end(), shuffled.begin()));
        EXPECT_EQ(std::count(shuffled.begin() + codes.size(), shuffled.end(), 0xEE), 64);
    }
    std::vector<float> hot(successors.rows() * 6 * d, -1.0F);
    encode_sticker_rows<C, float>(cubes, Encoding{true, true}, hot.data(), 1.0F);
    for (std::size_t r = 0; r < successors.rows(); ++r) {
        for (std::size_t s = 0; s < d; ++s) {
            const std::int64_t code = successors.row(r)[s];
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
                  std::vector<std::int64_t>(successors.row(r), successors.row(r) + d));
    }
    if (detail::cpu_has_avx2()) {
        std::vector<C> vector(expanded.size());
        expand_cubes_with<true, C>(cubes, vector.data(), 4);
        EXPECT_EQ(vector, expanded);
    }
}

// The packed words are copied as bytes where a cube is stored as its words.
static_assert(detail::stored_as_words<Cube3x3>() && detail::stored_as_words<Cube2x2>());

}  // namespace
}  // namespace twirlkit

// One checker called after every operation under test: each piece once, the
// orientation and flip sums, and the padding bits zero.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <vector>

#include "model/cube.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"

namespace twirlkit::testing {

inline ::testing::AssertionResult corner_word_valid(Word word) {
    if (word >> 40) return ::testing::AssertionFailure() << "corner padding bits set";
    std::array<int, 8> seen{};
    unsigned twist = 0;
    for (unsigned k = 0; k < 8; ++k) {
        const Word v = slot_value(word, k);
        const unsigned orientation = static_cast<unsigned>(v >> 3);
        if (orientation > 2) return ::testing::AssertionFailure() << "orientation 3 in slot " << k;
        ++seen[v & 7];
        twist += orientation;
    }
    for (int count : seen) {
        if (count != 1) return ::testing::AssertionFailure() << "corner piece repeated";
    }
    if (twist % 3 != 0) return ::testing::AssertionFailure() << "corner twist sum " << twist;
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult edge_word_valid(Word word) {
    if (word >> 60) return ::testing::AssertionFailure() << "edge padding bits set";
    std::array<int, 16> seen{};
    unsigned flips = 0;
    for (unsigned k = 0; k < 12; ++k) {
        const Word v = slot_value(word, k);
        ++seen[v & 15];
        flips += static_cast<unsigned>(v >> 4);
    }
    for (unsigned p = 0; p < 16; ++p) {
        if (seen[p] != (p < 12 ? 1 : 0)) return ::testing::AssertionFailure() << "edge piece " << p;
    }
    if (flips % 2 != 0) return ::testing::AssertionFailure() << "odd edge flip sum";
    return ::testing::AssertionSuccess();
}

inline ::testing::AssertionResult valid(const Cube3x3& cube) {
    auto corners = corner_word_valid(cube.corners);
    if (!corners) return corners;
    return edge_word_valid(cube.edges);
}

inline ::testing::AssertionResult valid(const Cube2x2& cube) { return corner_word_valid(cube.state); }

// A cube reached by `length` random quarter turns.
template <Cube C>
C random_cube(std::mt19937_64& rng, int length = 40) {
    C cube{};
    for (int i = 0; i < length; ++i) apply_move_index_internal(cube, rng() % MOVE_COUNT);
    return cube;
}

// The same from a seed.
template <Cube C>
C random_cube(std::uint64_t seed, int length = 40) {
    std::mt19937_64 rng(seed);
    return random_cube<C>(rng, length);
}

// n varied cubes, cube i reached by i % 23 random quarter turns: rows of
// neighbouring cubes differ, and the same n and seed give the same cubes.
template <Cube C>
std::vector<C> sample_cubes(std::size_t n, std::uint64_t seed = 0) {
    std::mt19937_64 rng(seed * 1'000'003 + n);
    std::vector<C> cubes(n);
    for (std::size_t i = 0; i < n; ++i) cubes[i] = random_cube<C>(rng, static_cast<int>(i % 23));
    return cubes;
}

}  // namespace twirlkit::testing

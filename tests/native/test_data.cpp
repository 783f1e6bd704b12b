// The seeded lanes against the scalar ChaCha8 they stand for, and the state
// algebra's vector build against its scalar one.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "kernels/algebra_kernels.hpp"
#include "kernels/walks.hpp"
#include "model/algebra.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "runtime/seeded_stream.hpp"

namespace twirlkit {
namespace {

TEST(SeededLanesTest, EveryLaneIsItsOwnChaCha8StreamWhateverTheOrderOfDraws) {
    const ChaCha8::Key key = seed_key(0x0123456789abcdefULL);
    SeededLanes lanes(key, 40);
    std::vector<ChaCha8> streams;
    for (unsigned lane = 0; lane < SEEDED_LANES; ++lane) streams.emplace_back(key, 40 + lane);
    std::mt19937 order(7);
    // Lanes out of step, so refills find some lanes spent and others not.
    for (int draw = 0; draw < 5000; ++draw) {
        const unsigned lane = order() % (order() % 2 ? SEEDED_LANES : 3);
        ASSERT_EQ(lanes.next_u32(lane), streams[lane].next_u32()) << "draw " << draw;
    }
}

TEST(SeededLanesTest, TheKeyIsTheSeedsHalvesThenZeros) {
    const ChaCha8::Key key = seed_key(0xfedcba9876543210ULL);
    EXPECT_EQ(key[0], 0x76543210u);
    EXPECT_EQ(key[1], 0xfedcba98u);
    for (int w = 2; w < 8; ++w) EXPECT_EQ(key[w], 0u);
}

template <PackedCube C>
void check_algebra() {
    std::vector<C> a(203), b(203), scalar(203), vector(203);
    ChaCha8 gen(ChaCha8::Key{9});
    for (auto* cubes : {&a, &b}) {
        for (auto& cube : *cubes) scramble_with(cube, 25, gen);
    }
    compose_cubes(std::span<const C>(a), std::span<const C>(b), vector.data());
    for (std::size_t i = 0; i < a.size(); ++i) scalar[i] = compose(a[i], b[i]);
    EXPECT_EQ(vector, scalar);
    compose_cubes(std::span<const C>(a), std::span<const C>(b.data(), 1), vector.data());
    for (std::size_t i = 0; i < a.size(); ++i) EXPECT_EQ(vector[i], compose(a[i], b[0]));
    inverse_cubes(std::span<const C>(a), vector.data());
    for (std::size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(vector[i], inverse(a[i]));
        EXPECT_TRUE(compose(a[i], vector[i]).is_solved());
        EXPECT_TRUE(compose(vector[i], a[i]).is_solved());
        EXPECT_FALSE(vector[i].check());
    }
}

TEST(AlgebraTest, VectorAndScalarBuildsAgree) {
    check_algebra<Cube2x2>();
    check_algebra<Cube3x3>();
}

TEST(AlgebraTest, FaceTurnsAreTheirQuarterTurns) {
    for (unsigned face = 0; face < FACE_COUNT; ++face) {
        Cube3x3 half, twice;
        apply_face_turn(half, face_turn(face, FACE_TURN_HALF));
        apply_move_index_internal(twice, 2 * face);
        apply_move_index_internal(twice, 2 * face);
        EXPECT_EQ(half, twice);
        for (unsigned kind = 0; kind < 2; ++kind) {
            Cube3x3 turned, quarter;
            apply_face_turn(turned, face_turn(face, kind));
            apply_move_index_internal(quarter, 2 * face + kind);
            EXPECT_EQ(turned, quarter);
            Cube3x3 undone = turned;
            apply_face_turn(undone, inverse_move(Metric::htm, face_turn(face, kind)));
            EXPECT_TRUE(undone.is_solved());
        }
    }
}

}  // namespace
}  // namespace twirlkit

#include <gtest/gtest.h>

#include <array>
#include <limits>
#include <random>
#include <utility>

#include "invariants.hpp"

namespace twirlkit {
namespace {

using testing::random_cube;
using testing::valid;

struct Golden {
    MoveIndex move;
    Word corners;
    Word edges;
};

// One quarter turn of the solved 3x3, by move index.
constexpr std::array<Golden, 12> GOLDEN{{
    {MOVE_U, 0x000000398A410403, 0x05A928398A410403},
    {MOVE_U_PRIME, 0x000000398A400C41, 0x05A928398A400C41},
    {MOVE_D, 0x00000021CC518820, 0x05A92821CC518820},
    {MOVE_D_PRIME, 0x0000003148718820, 0x05A9283148718820},
    {MOVE_R, 0x0000003B6241D940, 0x0594283992418940},
    {MOVE_R_PRIME, 0x0000003AAC41C5A0, 0x0584A83994418920},
    {MOVE_L, 0x000000998AF40834, 0x01A927598A440820},
    {MOVE_L_PRIME, 0x000000A18A878833, 0x03A923418A458820},
    {MOVE_F, 0x000000748A4BAC20, 0x0B49283E8A41EC20},
    {MOVE_F_PRIME, 0x0000005DCA493820, 0x0959283ECA41E820},
    {MOVE_B, 0x0000003999018AA9, 0x05AA90398B818839},
    {MOVE_B_PRIME, 0x0000003993518A0C, 0x05AA14398B918838},
}};

// The turns are constexpr: the golden words hold at build time too.
static_assert([] {
    Cube3x3 cube;
    apply_turn<MOVE_R>(cube);
    return cube.corners == 0x0000003B6241D940 && cube.edges == 0x0594283992418940;
}());

TEST(Turns, SolvedConstants) {
    Cube3x3 cube;
    EXPECT_EQ(cube.corners, 247132686368u);
    EXPECT_EQ(cube.edges, 407901468851537952u);
    EXPECT_TRUE(cube.is_solved());
    EXPECT_TRUE(Cube2x2{}.is_solved());
    EXPECT_TRUE(valid(cube));
}

TEST(Turns, GoldenWordsOfBothSizes) {
    for (const Golden& g : GOLDEN) {
        Cube3x3 big;
        apply_move_index_internal(big, g.move);
        EXPECT_EQ(big.corners, g.corners) << "move " << g.move;
        EXPECT_EQ(big.edges, g.edges) << "move " << g.move;
        EXPECT_FALSE(big.is_solved());
        Cube2x2 small;
        apply_move_index_internal(small, g.move);
        EXPECT_EQ(small.state, g.corners) << "move " << g.move;
        EXPECT_FALSE(small.is_solved());
    }
}

TEST(Turns, MoveIndexMatchesDirectTurns) {
    using Turn = void (*)(Cube3x3&) noexcept;
    constexpr auto direct = []<std::size_t... M>(std::index_sequence<M...>) {
        return std::array<Turn, MOVE_COUNT>{&apply_turn<M, Cube3x3>...};
    }(std::make_index_sequence<MOVE_COUNT>{});
    std::mt19937_64 rng(1);
    for (int trial = 0; trial < 50; ++trial) {
        const Cube3x3 start = random_cube<Cube3x3>(rng);
        for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
            Cube3x3 a = start, b = start;
            apply_move_index_internal(a, m);
            direct[m](b);
            EXPECT_EQ(a, b);
        }
    }
}

TEST(Turns, InversesAndFourfoldRepetitionOnRandomStates) {
    std::mt19937_64 rng(2);
    for (int trial = 0; trial < 200; ++trial) {
        const Cube3x3 big = random_cube<Cube3x3>(rng);
        const Cube2x2 small = random_cube<Cube2x2>(rng);
        for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
            Cube3x3 b = big;
            Cube2x2 s = small;
            apply_move_index_internal(b, m);
            apply_move_index_internal(s, m);
            EXPECT_TRUE(valid(b));
            EXPECT_TRUE(valid(s));
            apply_move_index_internal(b, m ^ 1);
            apply_move_index_internal(s, m ^ 1);
            EXPECT_EQ(b, big);
            EXPECT_EQ(s, small);
            for (int i = 0; i < 4; ++i) {
                apply_move_index_internal(b, m);
                apply_move_index_internal(s, m);
            }
            EXPECT_EQ(b, big);
            EXPECT_EQ(s, small);
        }
    }
}

TEST(Turns, SexyMoveHasOrderSix) {
    Cube3x3 big;
    Cube2x2 small;
    for (int i = 0; i < 6; ++i) {
        for (MoveIndex m : {MOVE_R, MOVE_U, MOVE_R_PRIME, MOVE_U_PRIME}) {
            apply_move_index_internal(big, m);
            apply_move_index_internal(small, m);
        }
        EXPECT_EQ(big.is_solved(), i == 5);
    }
    EXPECT_TRUE(small.is_solved());
}

TEST(Turns, OrientationWrapsModuloThree) {
    Cube3x3 r2;
    apply_turn<MOVE_R>(r2);
    apply_turn<MOVE_R>(r2);
    for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(slot_value(r2.corners, k) >> 3, 0u);
    Cube2x2 small;
    apply_turn<MOVE_R>(small);
    apply_turn<MOVE_R>(small);
    EXPECT_EQ(small.state, 0x00000038444194C0u);

    Cube3x3 f2;
    apply_turn<MOVE_F>(f2);
    apply_turn<MOVE_F>(f2);
    for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(slot_value(f2.corners, k) >> 3, 0u);
    for (unsigned k = 0; k < 12; ++k) EXPECT_EQ(slot_value(f2.edges, k) >> 4, 0u);

    Cube3x3 f;
    apply_turn<MOVE_F>(f);
    constexpr std::array<unsigned, 8> twists{0, 0, 1, 2, 0, 0, 2, 1};
    for (unsigned k = 0; k < 8; ++k) EXPECT_EQ(slot_value(f.corners, k) >> 3, twists[k]);
    for (unsigned k = 0; k < 12; ++k) {
        const bool flipped = k == 2 || k == 6 || k == 10 || k == 11;
        EXPECT_EQ(slot_value(f.edges, k) >> 4, flipped ? 1u : 0u);
    }
}

TEST(Turns, LayerTurnsNeverTwistOrFlip) {
    std::mt19937_64 rng(3);
    for (int trial = 0; trial < 100; ++trial) {
        const Cube3x3 start = random_cube<Cube3x3>(rng);
        for (MoveIndex m : {MOVE_U, MOVE_U_PRIME, MOVE_D, MOVE_D_PRIME}) {
            Cube3x3 c = start;
            apply_move_index_internal(c, m);
            unsigned before = 0, after = 0;
            for (unsigned k = 0; k < 8; ++k) {
                before += 1u << (2 * (slot_value(start.corners, k) >> 3));
                after += 1u << (2 * (slot_value(c.corners, k) >> 3));
            }
            EXPECT_EQ(before, after);  // same multiset of orientations
            EXPECT_EQ(__builtin_popcountll(start.edges & 0x0842108421084210ULL),
                      __builtin_popcountll(c.edges & 0x0842108421084210ULL));
        }
    }
}

TEST(Turns, TwoByTwoFollowsTheThreeByThreeCornerWord) {
    std::mt19937_64 rng(4);
    for (int trial = 0; trial < 500; ++trial) {
        Cube3x3 big;
        Cube2x2 small;
        for (int i = 0; i < 60; ++i) {
            const MoveIndex m = rng() % MOVE_COUNT;
            apply_move_index_internal(big, m);
            apply_move_index_internal(small, m);
            ASSERT_EQ(small.state, big.corners);
        }
        EXPECT_TRUE(valid(big));
    }
}

TEST(Turns, WholeCubeRotationIsNotSolved) {
    Cube2x2 small;
    apply_turn<MOVE_U>(small);
    apply_turn<MOVE_D_PRIME>(small);
    EXPECT_EQ(small.state, 0x0000003148710403u);
    EXPECT_FALSE(small.is_solved());
}

TEST(Turns, IndexesAboveElevenAreNoOps) {
    std::mt19937_64 rng(5);
    const Cube3x3 start = random_cube<Cube3x3>(rng);
    for (MoveIndex m : {MoveIndex{12}, MoveIndex{100}, std::numeric_limits<MoveIndex>::max()}) {
        Cube3x3 c = start;
        Cube2x2 s{start.corners};
        apply_move_index_internal(c, m);
        apply_move_index_internal(s, m);
        EXPECT_EQ(c, start);
        EXPECT_EQ(s.state, start.corners);
    }
}

}  // namespace
}  // namespace twirlkit

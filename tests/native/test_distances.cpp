#include "search/distances2x2.hpp"

#include "search/breadth_first.hpp"
#include "search/coordinates.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <new>
#include <cstdint>
#include <cstdlib>
#include <random>
#include <thread>
#include <unordered_map>
#include <vector>

#include "runtime/build_once.hpp"
#include "invariants.hpp"

namespace twirlkit {
namespace {

using testing::random_cube;
using testing::valid;

bool sanitized() { return std::getenv("TWIRLKIT_SANITIZED") != nullptr; }

TEST(CornerCoordinates, EveryWordRoundTripsThroughItsCoordinates) {
    std::mt19937_64 rng(7);
    for (int k = 0; k < 2000; ++k) {
        const Cube2x2 cube = random_cube<Cube2x2>(rng, k % 30);
        const std::uint32_t p = AllCorners::permutation_rank(cube.state);
        const std::uint32_t o = AllCorners::orientation_code(cube.state);
        ASSERT_LT(p, AllCorners::PERMUTATIONS);
        ASSERT_LT(o, AllCorners::ORIENTATIONS);
        ASSERT_EQ(AllCorners::word_of(p, o), cube.state);
    }
    // And every coordinate pair names a distinct valid word.
    std::vector<bool> seen(AllCorners::PERMUTATIONS);
    for (std::uint32_t p = 0; p < AllCorners::PERMUTATIONS; ++p) {
        const Word w = AllCorners::word_of(p, p % AllCorners::ORIENTATIONS);
        ASSERT_TRUE(valid(Cube2x2{w}));
        ASSERT_EQ(AllCorners::permutation_rank(w), p);
        ASSERT_EQ(AllCorners::orientation_code(w), p % AllCorners::ORIENTATIONS);
    }
    for (std::uint32_t o = 0; o < CornersDblFixed::ORIENTATIONS; ++o) {
        const Word w = CornersDblFixed::word_of(o % CornersDblFixed::PERMUTATIONS, o);
        ASSERT_TRUE(valid(Cube2x2{w}));
        ASSERT_EQ(slot_value(w, 4), 4u) << "DBL must stay home, untwisted";
        ASSERT_EQ(CornersDblFixed::index(w), (o % CornersDblFixed::PERMUTATIONS) *
                                                     CornersDblFixed::ORIENTATIONS + o);
    }
}

TEST(CornerDistances, DblFixingTurnsGiveThePublishedDistribution) {
    const CornerDistanceTable<CornersDblFixed> fixed(DBL_FIXING_QUARTER_TURNS);
    const std::vector<std::uint64_t> expected{1,      6,      27,     120,    534,
                                              2256,   8969,   33058,  114149, 360508,
                                              930588, 1350852, 782536, 90280, 276};
    EXPECT_EQ(fixed.table().distribution(), expected);
    EXPECT_EQ(fixed.table().unreached(), 0u);
}

TEST(CornerDistances, DblFixingFaceTurnsGiveThePublishedHalfTurnDistribution) {
    const CornerDistanceTable<CornersDblFixed> fixed(DBL_FIXING_FACE_TURNS, Metric::htm);
    const std::vector<std::uint64_t> expected{1,      9,      54,      321,    1847,   9992,
                                              50136,  227536, 870072,  1887748, 623800, 2644};
    EXPECT_EQ(fixed.table().distribution(), expected);
    EXPECT_EQ(fixed.table().unreached(), 0u);
}

// One search, two storages: byte entries and 4-bit entries agree on every
// position of the DBL-fixed space, and the byte layers match the table's.
TEST(BreadthFirst, ByteAndNibbleEntriesGiveTheSameDistances) {
    const CornerDistanceTable<CornersDblFixed> fixed(DBL_FIXING_QUARTER_TURNS);
    const ProductSpace space = fixed.space();
    std::vector<std::uint8_t> bytes(space.positions(), ByteEntries::UNREACHED);
    const BreadthFirstLayers layers = breadth_first(
        ByteEntries(bytes.data()),
        BreadthFirstSpace{space.first_count, space.second_count, space.goal, ByteEntries::MAX_DISTANCE},
        [&space](std::size_t first, std::size_t second, auto&& visit) {
            for (std::size_t m = 0; m < space.move_count; ++m) {
                if (visit(space.successor(first, second, m))) return;
            }
        });
    EXPECT_EQ(layers.distribution, fixed.table().distribution());
    EXPECT_EQ(layers.unreached, 0u);
    for (std::size_t i = 0; i < bytes.size(); ++i) ASSERT_EQ(bytes[i], fixed.table().at(i)) << i;
}

TEST(CoordinateHelpers, RanksRoundTripAndOrientationCodesSumToZero) {
    for (std::uint32_t r = 0; r < PERMUTATION_COUNT<5>; ++r) {
        const auto items = permutation_of_rank<5>(r);
        ASSERT_EQ(permutation_rank(items), r);
        ASSERT_TRUE(std::is_permutation(items.begin(), items.end(),
                                        std::array<std::uint8_t, 5>{0, 1, 2, 3, 4}.begin()));
    }
    for (std::uint32_t code = 0; code < ORIENTATION_CODE_COUNT<3, 5>; ++code) {
        std::array<unsigned, 5> o{};
        orientations_of_code<3, 5>(code, [&o](std::size_t i, unsigned v) { o[i] = v; });
        ASSERT_EQ((o[0] + o[1] + o[2] + o[3] + o[4]) % 3, 0u);
        ASSERT_EQ((orientation_code<3, 5>([&o](std::size_t i) { return o[i]; })), code);
    }
}

// Every position within `depth` quarter turns of solved, with its distance:
// a plain breadth-first search over words that uses no table.
std::unordered_map<Word, int> ball_around_solved(int depth) {
    std::unordered_map<Word, int> dist{{SOLVED_CORNERS, 0}};
    std::vector<Word> frontier{SOLVED_CORNERS};
    for (int d = 1; d <= depth; ++d) {
        std::vector<Word> next;
        for (Word w : frontier) {
            for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
                Cube2x2 c{w};
                apply_move_index_internal(c, m);
                if (dist.emplace(c.state, d).second) next.push_back(c.state);
            }
        }
        frontier = std::move(next);
    }
    return dist;
}

// Depth-first from `cube` for `left` more turns: the least (turns taken +
// distance in the ball) over the leaves, or `best` if none is lower.
int meet_in_the_middle(Cube2x2 cube, int taken, int left,
                       const std::unordered_map<Word, int>& ball, int best) {
    if (const auto it = ball.find(cube.state); it != ball.end()) {
        best = std::min(best, taken + it->second);
    }
    if (left == 0 || taken >= best) return best;
    for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
        Cube2x2 next = cube;
        apply_move_index_internal(next, m);
        best = meet_in_the_middle(next, taken + 1, left - 1, ball, best);
    }
    return best;
}

class TwelveMoveTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!sanitized()) table = &distances_2x2();
    }
    void SetUp() override {
        if (table == nullptr) GTEST_SKIP() << "the 88M-position search is too slow under sanitizers";
    }
    static const Distances2x2* table;
};
const Distances2x2* TwelveMoveTable::table = nullptr;

TEST_F(TwelveMoveTable, CoversEveryPositionWithSolvedAtZero) {
    const auto& counts = table->table().distribution();
    std::uint64_t total = 0;
    for (auto c : counts) total += c;
    EXPECT_EQ(total, 88'179'840u);
    EXPECT_EQ(table->table().unreached(), 0u);
    EXPECT_EQ(counts[0], 1u);
    EXPECT_EQ(counts[1], 12u);
    EXPECT_EQ(table->distance(Cube2x2{}), 0);
    EXPECT_EQ(counts.size(), 15u) << "the farthest positions are 14 quarter turns away";
}

TEST_F(TwelveMoveTable, EverySuccessorIsOneNearerOrOneFarther) {
    std::mt19937_64 rng(11);
    for (int k = 0; k < 3000; ++k) {
        const Cube2x2 cube = random_cube<Cube2x2>(rng, 1 + k % 40);
        const int d = table->distance(cube);
        ASSERT_EQ(d == 0, cube.is_solved()) << "only solved is at 0";
        if (d == 0) continue;
        int nearest = 99;
        for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
            Cube2x2 next = cube;
            apply_move_index_internal(next, m);
            const int dn = table->distance(next);
            // A quarter turn flips the permutation's parity: never equal.
            ASSERT_EQ(std::abs(dn - d), 1) << std::hex << cube.state << " move " << m;
            nearest = std::min(nearest, dn);
        }
        ASSERT_EQ(d, 1 + nearest);
    }
}

TEST_F(TwelveMoveTable, AgreesWithAnIndependentSearch) {
    const auto ball = ball_around_solved(5);
    std::mt19937_64 rng(13);
    for (int k = 0; k < 60; ++k) {
        const Cube2x2 cube = random_cube<Cube2x2>(rng, 1 + k % 14);
        const int found = meet_in_the_middle(cube, 0, 5, ball, 99);
        const int d = table->distance(cube);
        if (found <= 10) {
            ASSERT_EQ(d, found) << std::hex << cube.state;
        } else {
            ASSERT_GE(d, 11) << std::hex << cube.state;  // beyond 5 + 5 turns
        }
    }
}

TEST_F(TwelveMoveTable, SolutionsAreShortestAndTakeTheFirstMoveDownhill) {
    std::mt19937_64 rng(17);
    std::vector<Cube2x2> cubes{Cube2x2{}};
    for (int k = 0; k < 500; ++k) cubes.push_back(random_cube<Cube2x2>(rng, k % 25));
    std::vector<std::int8_t> dist(cubes.size());
    distances_2x2_internal(cubes, dist.data(), 7);
    const Solutions2x2 solutions = solve_2x2_internal(cubes, 3);
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        ASSERT_EQ(dist[i], table->distance(cubes[i]));
        ASSERT_EQ(solutions.lengths[i], dist[i]);
        Cube2x2 c = cubes[i];
        for (std::size_t k = 0; k < solutions.lengths[i]; ++k) {
            const MoveIndex chosen = solutions.moves[i * MAX_SOLUTION_2X2 + k];
            for (MoveIndex m = 0; m < chosen; ++m) {
                Cube2x2 other = c;
                apply_move_index_internal(other, m);
                ASSERT_GT(table->distance(other), table->distance(c)) << "an earlier move was downhill";
            }
            apply_move_index_internal(c, chosen);
        }
        ASSERT_TRUE(c.is_solved());
    }
}

// The eighteen-turn table over every position. A position with DBL at home
// is as far from solved as in the space of U, R and F turns alone: each
// turn of D, L or B moves the other seven corners as the opposite face's
// turn does, up to a whole-cube turn, so no sequence that uses them is
// shorter.
class FaceTurnTable : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!sanitized()) table = &distances_2x2(Metric::htm);
    }
    void SetUp() override {
        if (table == nullptr) GTEST_SKIP() << "the 88M-position search is too slow under sanitizers";
    }
    static const Distances2x2* table;
};
const Distances2x2* FaceTurnTable::table = nullptr;

TEST_F(FaceTurnTable, AgreesWithTheDblFixedSpaceWhereDblIsHome) {
    EXPECT_EQ(distances_2x2_if_built(Metric::htm), table);
    EXPECT_EQ(table->table().unreached(), 0u);
    const CornerDistanceTable<CornersDblFixed> fixed(DBL_FIXING_FACE_TURNS, Metric::htm);
    for (std::uint32_t p = 0; p < CornersDblFixed::PERMUTATIONS; ++p) {
        for (std::uint32_t o = 0; o < CornersDblFixed::ORIENTATIONS; ++o) {
            const Cube2x2 cube{CornersDblFixed::word_of(p, o)};
            ASSERT_EQ(table->distance(cube), fixed.table().at(p * CornersDblFixed::ORIENTATIONS + o))
                << std::hex << cube.state;
        }
    }
}

TEST_F(FaceTurnTable, SolutionsAreShortestInFaceTurns) {
    std::mt19937_64 rng(19);
    std::vector<Cube2x2> cubes{Cube2x2{}};
    for (int k = 0; k < 500; ++k) cubes.push_back(random_cube<Cube2x2>(rng, k % 25));
    const Solutions2x2 solutions = solve_2x2_internal(cubes, Metric::htm, 3);
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        const int d = table->distance(cubes[i]);
        ASSERT_EQ(solutions.lengths[i], d);
        // Every face turn moves the distance by at most one, and one lowers it.
        int nearest = 99;
        for (std::size_t t = 0; t < FACE_TURN_COUNT; ++t) {
            Cube2x2 next = cubes[i];
            apply_face_turn(next, static_cast<FaceTurn>(t));
            ASSERT_LE(std::abs(table->distance(next) - d), 1);
            nearest = std::min(nearest, int{table->distance(next)});
        }
        ASSERT_EQ(d == 0 ? 1 : d - 1, nearest);
        Cube2x2 c = cubes[i];
        for (std::size_t k = 0; k < solutions.lengths[i]; ++k) {
            apply_face_turn(c, solutions.moves[i * MAX_SOLUTION_2X2 + k]);
        }
        ASSERT_TRUE(c.is_solved());
    }
}

// Static storage, as BuildOnce requires.
BuildOnce<int> g_raced;
BuildOnce<int> g_failing;

TEST(BuildOnce, RacingCallersBuildOnceAndShareTheValue) {
    std::atomic<int> builds{0};
    std::vector<const int*> got(6);
    std::vector<std::thread> threads;
    for (auto& g : got) {
        threads.emplace_back([&] {
            g = &g_raced.get([&] {
                ++builds;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
                return 42;
            });
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(builds.load(), 1);
    for (const int* g : got) {
        EXPECT_EQ(g, got[0]);
        EXPECT_EQ(*g, 42);
    }
}

TEST(BuildOnce, AFailedBuildKeepsNothingAndTheNextCallBuilds) {
    EXPECT_THROW(g_failing.get([]() -> int { throw std::bad_alloc(); }), std::bad_alloc);
    EXPECT_EQ(g_failing.peek(), nullptr);
    EXPECT_EQ(g_failing.get([] { return 7; }), 7);
    EXPECT_EQ(g_failing.get([]() -> int { throw std::bad_alloc(); }), 7) << "never rebuilt";
}

TEST_F(TwelveMoveTable, IsTheProcessWideTable) { EXPECT_EQ(distances_2x2_if_built(), table); }

}  // namespace
}  // namespace twirlkit

// The guided searches with a scorer that knows the exact distances near
// solved: beam width 1 and A* with weight 1 and batch 1 find shortest
// solutions, every solution reaches its target, and a throwing scorer ends
// the search with its exception.
#include <gtest/gtest.h>

#include <cstdint>
#include <span>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "invariants.hpp"
#include "model/algebra.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "search/beam_search.hpp"
#include "search/weighted_astar.hpp"

namespace twirlkit {
namespace {

using testing::random_cube;

constexpr int RADIUS = 6;

// Distances of the 2x2 states within RADIUS quarter turns of solved; every
// other state scores RADIUS + 1, which no state beyond undercuts.
struct NearSolved {
    std::unordered_map<Word, int> distance;

    NearSolved() {
        std::vector<Cube2x2> layer{Cube2x2{}};
        distance[Cube2x2{}.state] = 0;
        for (int d = 1; d <= RADIUS; ++d) {
            std::vector<Cube2x2> next;
            for (const Cube2x2& cube : layer) {
                for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
                    Cube2x2 child = cube;
                    apply_move_index_internal(child, m);
                    if (distance.try_emplace(child.state, d).second) next.push_back(child);
                }
            }
            layer = std::move(next);
        }
    }

    void operator()(std::span<const Cube2x2> children, std::span<double> scores) const {
        for (std::size_t i = 0; i < children.size(); ++i) {
            const auto found = distance.find(children[i].state);
            scores[i] = found == distance.end() ? RADIUS + 1 : found->second;
        }
    }
};

const NearSolved& near_solved() {
    static const NearSolved table;
    return table;
}

template <PackedCube C>
C replayed(C cube, const std::vector<std::uint8_t>& path, Metric metric) {
    for (const std::uint8_t m : path) apply_metric_move(cube, metric, m);
    return cube;
}

TEST(GuidedSearch, ExactScoresGiveShortestSolutionsThatReachTheTarget) {
    std::vector<Cube2x2> starts;
    std::vector<int> optimal;
    for (std::uint64_t seed = 0; seed < 60; ++seed) {
        starts.push_back(random_cube<Cube2x2>(seed, static_cast<int>(seed % (RADIUS + 2))));
        const auto found = near_solved().distance.find(starts.back().state);
        optimal.push_back(found == near_solved().distance.end() ? -1 : found->second);
        if (optimal.back() < 0) starts.pop_back(), optimal.pop_back();
    }
    const std::vector<Cube2x2> solved{Cube2x2{}};
    NearSolved scorer = near_solved();
    const GuidedResult beam =
        beam_search(std::span<const Cube2x2>(starts), std::span<const Cube2x2>(solved),
                    BeamOptions{1, 20, 2, Metric::qtm}, scorer);
    const GuidedResult astar =
        weighted_astar(std::span<const Cube2x2>(starts), std::span<const Cube2x2>(solved),
                       AStarOptions{1.0, 1, 100000, Metric::qtm}, scorer);
    for (std::size_t i = 0; i < starts.size(); ++i) {
        for (const GuidedResult* result : {&beam, &astar}) {
            EXPECT_EQ(result->lengths[i], optimal[i]) << "start " << i;
            EXPECT_EQ(result->paths[i].size(), static_cast<std::size_t>(optimal[i]));
            EXPECT_TRUE(replayed(starts[i], result->paths[i], Metric::qtm).is_solved());
        }
        EXPECT_EQ(beam.expanded[i], optimal[i]);
    }
}

TEST(GuidedSearch, WideSearchesReachTargetsOfTheirOwnInEitherMetric) {
    std::vector<Cube3x3> starts, targets;
    for (std::uint64_t seed = 0; seed < 6; ++seed) {
        starts.push_back(random_cube<Cube3x3>(seed, 5));
        targets.push_back(replayed(starts.back(), {1, 4, 7}, Metric::qtm));
    }
    // No guidance: the full beam and A* with h = 0 search breadth first.
    const auto zero = [](std::span<const Cube3x3>, std::span<double> scores) {
        for (double& score : scores) score = 0;
    };
    for (const Metric metric : {Metric::qtm, Metric::htm}) {
        const GuidedResult beam = beam_search(std::span<const Cube3x3>(starts), std::span<const Cube3x3>(targets),
                                              BeamOptions{4096, 3, 2, metric}, zero);
        const GuidedResult astar = weighted_astar(std::span<const Cube3x3>(starts),
                                                  std::span<const Cube3x3>(targets),
                                                  AStarOptions{1.0, 64, 100000, metric}, zero);
        for (std::size_t i = 0; i < starts.size(); ++i) {
            for (const GuidedResult* result : {&beam, &astar}) {
                ASSERT_EQ(result->lengths[i], 3);
                EXPECT_EQ(replayed(starts[i], result->paths[i], metric), targets[i]);
                for (const std::uint8_t m : result->paths[i]) EXPECT_LT(m, move_count(metric));
            }
        }
    }
}

TEST(GuidedSearch, AThrowingScorerEndsTheSearchWithItsException) {
    const std::vector<Cube3x3> starts(3, random_cube<Cube3x3>(std::uint64_t{9}, 9));
    const std::vector<Cube3x3> solved{Cube3x3{}};
    int calls = 0;
    const auto failing = [&](std::span<const Cube3x3>, std::span<double>) {
        if (++calls == 2) throw std::runtime_error("scorer failed");
    };
    EXPECT_THROW(beam_search(std::span<const Cube3x3>(starts), std::span<const Cube3x3>(solved),
                             BeamOptions{}, failing),
                 std::runtime_error);
    calls = 0;
    EXPECT_THROW(weighted_astar(std::span<const Cube3x3>(starts), std::span<const Cube3x3>(solved),
                                AStarOptions{}, failing),
                 std::runtime_error);
}

}  // namespace
}  // namespace twirlkit

// What the searches guided by a caller's scorer share: the scorer's shape,
// the successors of a run of states in either metric, and the result of many
// searches run side by side. No Python here: the scorer is a callable, so the
// native tests drive the searches with a table of exact distances.
//
// A scorer is called as score(children, scores): `children` is a span of
// every state to be scored at one step of every live search, `scores` a span
// of as many doubles that it fills, lower meaning closer to the target. It may
// throw; the search then ends and the exception leaves it unchanged, with all
// the search's memory freed on the way out.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <span>
#include <vector>

#include "kernels/algebra_kernels.hpp"
#include "kernels/state_kernels.hpp"
#include "model/algebra.hpp"
#include "model/cube.hpp"

namespace twirlkit {

template <class S, class C>
concept StateScorer = requires(S& score, std::span<const C> children, std::span<double> scores) {
    score(children, scores);
};

// Per start: the moves found (empty with `length` -1 when none was), and
// the number of states expanded, each giving move_count(metric) children.
struct GuidedResult {
    std::vector<std::vector<std::uint8_t>> paths;
    std::vector<std::int16_t> lengths;
    std::vector<std::int64_t> expanded;

    explicit GuidedResult(std::size_t n) : paths(n), lengths(n, -1), expanded(n, 0) {}
};

// The longest path a result can report (its lengths are int16).
inline constexpr std::size_t MAX_GUIDED_LENGTH = std::numeric_limits<std::int16_t>::max();

// The shards of each search's own state table: few, since most searches
// hold thousands of states, not millions, and every shard costs a block.
inline constexpr unsigned GUIDED_TABLE_SHARD_BITS = 4;

// States handled between two cancellation points in a search's own loops
// (a few tens of microseconds of work).
inline constexpr std::size_t GUIDED_CANCEL_STEP = 4096;

// out[M i + m] = parents[i] after move m of `metric` (M = move_count).
template <PackedCube C>
void successors_in_metric(std::span<const C> parents, Metric metric, C* out) {
    if (metric == Metric::htm) {
        expand_face_turns(parents, out);
    } else {
        expand_cubes(parents, out);
    }
}

// The target of search `s`: one shared by all, or one each.
template <class C>
const C& target_of(std::span<const C> targets, std::size_t s) noexcept {
    return targets[targets.size() == 1 ? 0 : s];
}

}  // namespace twirlkit

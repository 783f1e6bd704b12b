// Batch-weighted A*, many starts at once.
//
// A node's key is weight * g + h, g its path length and h the scorer's value
// of its state. Each iteration every live search pops its `batch_size`
// lowest-key open nodes (fewer once `max_nodes` have been expanded), tests
// each for its target as it is popped, and expands the rest; the states
// never seen before, of every search, go to one scorer call. A state seen
// before keeps only its better path: reached by a shorter one, it becomes a
// new node with the h it already has, and is opened again even if it was
// expanded. With weight 1, batch 1 and an admissible h that is A* with
// reopening, whose first target popped is at the least distance.
//
// Memory per search: its nodes in one arena (40 bytes a 3x3 node), a table
// state -> its best node and g (24 bytes a slot), and the open list as a binary heap of 16-byte
// (key, node) entries. A node whose state found a shorter path is marked
// superseded and skipped when popped, so the heap never needs a decrease.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <span>
#include <stdexcept>
#include <vector>

#include "model/algebra.hpp"
#include "model/cube.hpp"
#include "runtime/parallel.hpp"
#include "search/guided_search.hpp"
#include "search/state_table.hpp"

namespace twirlkit {

struct AStarOptions {
    double weight = 0.6;
    std::size_t batch_size = 1000;
    std::int64_t max_nodes = 10'000'000;  // expanded per search
    Metric metric = Metric::qtm;
};

namespace detail {

inline constexpr std::uint32_t NO_NODE = 0xFFFFFFFFu;
// Children whose table slots are fetched ahead of the one being filed.
inline constexpr std::size_t ASTAR_PREFETCH_DISTANCE = 32;

template <PackedCube C>
struct AStarNode {
    C state;
    double h;
    std::uint32_t parent;
    std::uint32_t g;
    std::uint8_t move;
    bool scored;      // h is known (else it waits for this iteration's scorer call)
    bool superseded;  // a shorter path to the state is a newer node
};

struct OpenEntry {
    double key;
    std::uint32_t g;
    std::uint32_t node;
    // The heap's order is "greater", so that the lowest key is on top; of
    // equal keys the deepest node, which a good heuristic puts nearest the
    // target, then the oldest.
    friend bool operator>(const OpenEntry& a, const OpenEntry& b) noexcept {
        if (a.key != b.key) return a.key > b.key;
        if (a.g != b.g) return a.g < b.g;
        return a.node > b.node;
    }
};

// A state's shortest path so far: its node, and that node's g, kept in the
// table's slot so that a child no shorter than its known path is dropped
// without a visit to the node arena.
struct BestPath {
    std::uint32_t node;
    std::uint32_t g;
};

template <PackedCube C>
struct AStarRun {
    std::vector<AStarNode<C>> nodes;
    StateTable<C::word_count, BestPath> best{GUIDED_TABLE_SHARD_BITS};  // state -> its shortest path
    std::vector<OpenEntry> open;
    std::vector<std::uint32_t> popped;   // this iteration's, to expand
    std::vector<std::uint32_t> pending;  // this iteration's new states, to score
    std::vector<std::uint64_t> hashes;   // of this iteration's children
    bool done = false;

    void push(std::uint32_t node, double weight) {
        const AStarNode<C>& x = nodes[node];
        open.push_back({weight * static_cast<double>(x.g) + x.h, x.g, node});
        std::push_heap(open.begin(), open.end(), std::greater<>());
    }

    std::uint32_t add(const AStarNode<C>& node) {
        if (nodes.size() >= NO_NODE) throw std::length_error("weighted A*: too many nodes in one search");
        nodes.push_back(node);
        return static_cast<std::uint32_t>(nodes.size() - 1);
    }

    std::vector<std::uint8_t> path_to(std::uint32_t at) const {
        std::vector<std::uint8_t> moves;
        for (; nodes[at].parent != NO_NODE; at = nodes[at].parent) moves.push_back(nodes[at].move);
        std::reverse(moves.begin(), moves.end());
        return moves;
    }
};

// Pops up to `limit` live nodes; true when the target was popped (the path
// is then in `found`), else `run.popped` holds the nodes to expand.
template <PackedCube C>
bool pop_batch(AStarRun<C>& run, const C& target, std::size_t limit, std::vector<std::uint8_t>& found) {
    run.popped.clear();
    while (run.popped.size() < limit && !run.open.empty()) {
        std::pop_heap(run.open.begin(), run.open.end(), std::greater<>());
        const std::uint32_t top = run.open.back().node;
        run.open.pop_back();
        const AStarNode<C>& node = run.nodes[top];
        if (node.superseded) continue;
        if (node.state == target) {
            found = run.path_to(top);
            return true;
        }
        run.popped.push_back(top);
    }
    return false;
}

// Files the children of run.popped (`moves` each, from `children`): new
// states become pending nodes, shorter paths to known ones new open nodes.
template <PackedCube C>
void file_children(AStarRun<C>& run, const C* children, std::size_t moves, double weight) {
    using Table = decltype(run.best);
    constexpr std::size_t ahead = ASTAR_PREFETCH_DISTANCE;
    const std::size_t count = run.popped.size() * moves;
    run.pending.clear();
    run.hashes.resize(count);
    for (std::size_t i = 0; i < count; ++i) run.hashes[i] = Table::hash(children[i].words().data());
    in_cancellable_steps(0, count, GUIDED_CANCEL_STEP, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            if (i + ahead < count) run.best.prefetch(run.hashes[i + ahead]);
            const std::uint32_t parent = run.popped[i / moves];
            const std::uint32_t g = run.nodes[parent].g + 1;
            if (g > MAX_GUIDED_LENGTH) continue;
            const auto move = static_cast<std::uint8_t>(i % moves);
            const C& child = children[i];
            const auto words = child.words();
            const auto next = static_cast<std::uint32_t>(run.nodes.size());
            const auto [slot, inserted] = run.best.try_emplace_hashed(words.data(), run.hashes[i],
                                                                      BestPath{next, g});
            if (inserted) {
                run.add({child, 0.0, parent, g, move, false, false});
                run.pending.push_back(next);
                continue;
            }
            if (slot->g <= g) continue;
            slot->g = g;
            AStarNode<C>& known = run.nodes[slot->node];
            if (!known.scored) {  // not open yet: it takes the shorter path itself
                known.parent = parent;
                known.g = g;
                known.move = move;
                continue;
            }
            known.superseded = true;
            const double h = known.h;
            slot->node = run.add({child, h, parent, g, move, true, false});
            run.push(slot->node, weight);
        }
    });
}

}  // namespace detail

// Searches from every start at once; `targets` holds one state for all or
// one per start. Throws what the scorer throws, Cancelled, std::bad_alloc.
template <PackedCube C, StateScorer<C> Score>
GuidedResult weighted_astar(std::span<const C> starts, std::span<const C> targets,
                            const AStarOptions& options, Score&& score) {
    const std::size_t n = starts.size();
    const std::size_t moves = move_count(options.metric);
    GuidedResult result(n);
    std::vector<detail::AStarRun<C>> runs(n);
    std::vector<std::size_t> live;
    for (std::size_t s = 0; s < n; ++s) {
        if (starts[s] == target_of(targets, s)) {
            result.lengths[s] = 0;
            continue;
        }
        detail::AStarRun<C>& run = runs[s];
        const auto words = starts[s].words();
        run.best.try_emplace(words.data(), detail::BestPath{0, 0});
        run.add({starts[s], 0.0, detail::NO_NODE, 0, 0, true, false});
        run.push(0, options.weight);
        live.push_back(s);
    }
    const auto budget = static_cast<std::uint64_t>(std::max<std::int64_t>(options.max_nodes, 0));
    std::vector<C> parents;
    std::vector<C> children;
    std::vector<C> fresh;
    std::vector<double> scores;
    std::vector<std::size_t> offsets;
    while (!live.empty()) {
        // Pop, goal test, and end the searches that found or ran out.
        parallel_for(0, live.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const std::size_t s = live[k];
                detail::AStarRun<C>& run = runs[s];
                const auto spent = static_cast<std::uint64_t>(result.expanded[s]);
                const std::size_t limit =
                    static_cast<std::size_t>(std::min<std::uint64_t>(options.batch_size, budget - spent));
                std::vector<std::uint8_t> found;
                if (detail::pop_batch(run, target_of(targets, s), limit, found)) {
                    result.lengths[s] = static_cast<std::int16_t>(found.size());
                    result.paths[s] = std::move(found);
                    run.done = true;
                } else if (run.popped.empty()) {
                    run.done = true;
                }
                result.expanded[s] += static_cast<std::int64_t>(run.popped.size());
            }
        });
        std::size_t kept = 0;
        for (const std::size_t s : live) {
            if (runs[s].done) {
                runs[s] = detail::AStarRun<C>();
            } else {
                live[kept++] = s;
            }
        }
        live.resize(kept);
        if (live.empty()) break;

        // Expand every popped node of every search in one run of the kernels.
        parents.clear();
        offsets.assign(live.size() + 1, 0);
        for (std::size_t k = 0; k < live.size(); ++k) {
            const detail::AStarRun<C>& run = runs[live[k]];
            for (const std::uint32_t node : run.popped) parents.push_back(run.nodes[node].state);
            offsets[k + 1] = parents.size();
        }
        children.resize(parents.size() * moves);
        successors_in_metric(std::span<const C>(parents), options.metric, children.data());
        parallel_for(0, live.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                detail::file_children(runs[live[k]], children.data() + offsets[k] * moves, moves,
                                      options.weight);
            }
        });

        // One scorer call for the new states of every search.
        fresh.clear();
        offsets.assign(live.size() + 1, 0);
        for (std::size_t k = 0; k < live.size(); ++k) {
            const detail::AStarRun<C>& run = runs[live[k]];
            for (const std::uint32_t node : run.pending) fresh.push_back(run.nodes[node].state);
            offsets[k + 1] = fresh.size();
        }
        if (fresh.empty()) continue;
        scores.resize(fresh.size());
        score(std::span<const C>(fresh), std::span<double>(scores));
        parallel_for(0, live.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                detail::AStarRun<C>& run = runs[live[k]];
                for (std::size_t j = 0; j < run.pending.size(); ++j) {
                    detail::AStarNode<C>& node = run.nodes[run.pending[j]];
                    node.h = scores[offsets[k] + j];
                    node.scored = true;
                    run.push(run.pending[j], options.weight);
                }
            }
        });
    }
    return result;
}

}  // namespace twirlkit

// Sets of cube states and the searches made of them: the cubes of a batch
// added to or looked up in a StateTable (state_table.hpp), the distinct
// states of a batch in the order of their first places, and breadth-first
// layers of states from a set of starts.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <span>
#include <vector>

#include "kernels/state_kernels.hpp"
#include "model/algebra.hpp"
#include "model/cube.hpp"
#include "runtime/parallel.hpp"
#include "runtime/state_vector.hpp"
#include "search/solver3x3.hpp"
#include "search/state_table.hpp"

namespace twirlkit {

template <PackedCube C>
using CubeTable = StateTable<C::word_count>;

// The cubes of a run as rows of words, in place: a cube is stored as its
// words, in order (kernels/state_kernels.hpp checks the layout).
template <PackedCube C>
const std::uint64_t* cube_words(std::span<const C> cubes) noexcept {
    static_assert(detail::stored_as_words<C>());
    return reinterpret_cast<const std::uint64_t*>(cubes.data());
}

template <PackedCube C>
std::size_t add_cubes(CubeTable<C>& table, std::span<const C> cubes, bool* is_new) {
    return table.insert_batch(cube_words(cubes), cubes.size(), is_new);
}

template <PackedCube C>
void contained_cubes(const CubeTable<C>& table, std::span<const C> cubes, bool* found) {
    table.contains_batch(cube_words(cubes), cubes.size(), found);
}

// Every state of the table, in its own order, to out[0 .. table.size()).
template <PackedCube C>
void cubes_of_table(const CubeTable<C>& table, C* out) {
    static_assert(detail::stored_as_words<C>());
    table.copy_keys(reinterpret_cast<std::uint64_t*>(out));
}

// ---------------------------------------------------------------------------
// Distinct states

// The distinct states of a run, kept at their first places in their order:
// `first` the places of the first occurrences (rising), `inverse[i]` the
// position in `first` of cube i's state, `counts[k]` how many cubes hold
// state k. inverse and counts only when asked for.
struct DistinctStates {
    std::vector<std::int64_t> first;
    std::vector<std::int64_t> inverse;
    std::vector<std::int64_t> counts;
};

template <PackedCube C>
DistinctStates distinct_states(std::span<const C> cubes, bool with_inverse, bool with_counts) {
    const std::size_t n = cubes.size();
    DistinctStates out;
    // Each state's value is the place of its first cube: first_place[i] is
    // that of cube i's state, i itself where the state is new.
    StateTable<C::word_count, std::uint64_t> places;
    std::vector<std::uint64_t> first_place(n);
    places.emplace_batch(cube_words(cubes), n, [&](std::size_t i, std::uint64_t* place, bool fresh) {
        if (fresh) *place = i;
        first_place[i] = *place;
    });
    // The rank of each first place among them, in place of the place.
    std::vector<std::int64_t> rank(with_inverse || with_counts ? n : 0);
    std::size_t distinct = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (first_place[i] != i) continue;
        if (!rank.empty()) rank[i] = static_cast<std::int64_t>(distinct);
        ++distinct;
    }
    out.first.reserve(distinct);
    for (std::size_t i = 0; i < n; ++i) {
        if (first_place[i] == i) out.first.push_back(static_cast<std::int64_t>(i));
    }
    if (with_inverse) out.inverse.resize(n);
    if (with_counts) out.counts.assign(distinct, 0);
    for (std::size_t i = 0; i < n && !rank.empty(); ++i) {
        const std::int64_t k = rank[first_place[i]];
        if (with_inverse) out.inverse[i] = k;
        if (with_counts) ++out.counts[static_cast<std::size_t>(k)];
    }
    return out;
}

// ---------------------------------------------------------------------------
// Breadth-first layers

// The layers of states at each distance from a set of starts, under a set of
// moves of one metric that holds the inverse of each of its moves. Then a
// state next to layer d lies in layer d - 1, d or d + 1, so layer d + 1 is
// the children of layer d found in neither of the two: only those two layers
// and the one being built are kept (and as many more as the caller keeps).
template <PackedCube C>
struct BreadthFirstLayers {
    std::vector<std::int64_t> sizes;      // states at each depth, to the last non-empty one
    std::vector<StateVector<C>> layers;   // the last `keep_last`, oldest first
};

// Parents expanded at a time: their children, 12 or 18 each, are one batch
// of the next layer's table (about 50 MB of 3x3 words).
inline constexpr std::size_t BFS_PARENTS_PER_STEP = std::size_t{1} << 18;

// The filter of a new layer: a child in the current or the previous layer
// is not new.
template <class Table>
struct InEither {
    const Table& current;
    const Table* previous;
    bool operator()(const std::uint64_t* key, std::uint64_t h) const noexcept {
        return current.contains_hashed(key, h) || (previous != nullptr && previous->contains_hashed(key, h));
    }
    void prefetch(std::uint64_t h) const noexcept {
        current.prefetch(h);
        if (previous != nullptr) previous->prefetch(h);
    }
};

// `moves` must be closed under inverses (see above). `progress` gets a line
// per depth once the search has run for PROGRESS_AFTER; it runs on the
// calling thread. Long steps have cancellation points.
template <PackedCube C>
BreadthFirstLayers<C> breadth_first_layers(std::span<const C> starts, std::size_t max_depth,
                                           Metric metric, std::span<const std::uint8_t> moves,
                                           std::size_t keep_last, const BuildProgress& progress) {
    using Table = CubeTable<C>;
    using Clock = std::chrono::steady_clock;
    constexpr std::chrono::milliseconds PROGRESS_AFTER{500};
    const Clock::time_point began = Clock::now();
    BreadthFirstLayers<C> out;
    // Oldest first: the kept layers beyond the two the search needs, then
    // the previous layer, then the current one.
    std::deque<Table> layers;
    layers.emplace_back();
    add_cubes(layers.back(), starts, nullptr);
    out.sizes.push_back(static_cast<std::int64_t>(layers.back().size()));
    const std::size_t fan = moves.size();
    std::vector<std::uint64_t> parents;
    std::vector<C> children;
    for (std::size_t depth = 1; depth <= max_depth && fan != 0; ++depth) {
        const Table& current = layers.back();
        const Table* previous = layers.size() >= 2 ? &layers[layers.size() - 2] : nullptr;
        Table next;
        parents.resize(current.size() * C::word_count);
        current.copy_keys(parents.data());
        for (std::size_t b = 0; b < current.size(); b += BFS_PARENTS_PER_STEP) {
            cancellation_point();
            const std::size_t count = std::min(BFS_PARENTS_PER_STEP, current.size() - b);
            children.resize(count * fan);
            parallel_for(0, count, 1024, [&](std::size_t pb, std::size_t pe) {
                for (std::size_t p = pb; p < pe; ++p) {
                    const C parent = C::from_words(parents.data() + (b + p) * C::word_count);
                    for (std::size_t k = 0; k < fan; ++k) {
                        C child = parent;
                        apply_metric_move(child, metric, moves[k]);
                        children[p * fan + k] = child;
                    }
                }
            });
            next.insert_batch(cube_words(std::span<const C>(children)), children.size(), nullptr,
                              InEither<Table>{current, previous});
        }
        if (next.empty()) break;
        out.sizes.push_back(static_cast<std::int64_t>(next.size()));
        layers.push_back(std::move(next));
        // Drop what neither the search (two layers) nor the caller keeps.
        while (layers.size() > std::max<std::size_t>(2, keep_last)) layers.pop_front();
        if (progress.line != nullptr && Clock::now() - began >= PROGRESS_AFTER) {
            const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
            char line[96];
            std::snprintf(line, sizeof line, "twirlkit: bfs depth %zu: %lld states (%.1f s)\n", depth,
                          static_cast<long long>(out.sizes.back()), seconds);
            progress(line);
        }
    }
    std::vector<std::uint64_t>().swap(parents);
    std::vector<C>().swap(children);
    while (layers.size() > keep_last) layers.pop_front();
    for (const Table& layer : layers) {
        StateVector<C>& cubes = out.layers.emplace_back(layer.size());
        cubes_of_table<C>(layer, cubes.data());
    }
    return out;
}

}  // namespace twirlkit

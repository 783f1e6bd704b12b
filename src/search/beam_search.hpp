// Beam search guided by a scorer, many starts at once.
//
// Every search keeps a beam of at most `beam_width` states, the start alone
// at depth 0. At each depth the beams of all live searches are expanded
// together; a child equal to its search's target ends that search there.
// The children of the searches still running then go to one scorer call,
// and each search keeps, lowest score first (ties in child order), the
// distinct children that are not in the beams it kept at its last `history`
// depths. A search whose beam comes out empty, or that reaches `max_depth`,
// ends with nothing found.
//
// Each search records the states it kept in one table, state -> the last
// depth it was kept at, so that "in a recent beam" and "already kept at this
// depth" are one lookup; and each kept state as a link (parent, move), depth
// after depth, from which the path of a hit is read back.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/algebra.hpp"
#include "model/cube.hpp"
#include "runtime/parallel.hpp"
#include "search/guided_search.hpp"
#include "search/state_table.hpp"

namespace twirlkit {

struct BeamOptions {
    std::size_t beam_width = 1024;
    std::size_t max_depth = 40;
    std::size_t history = 2;
    Metric metric = Metric::qtm;
};

namespace detail {

// A score as an unsigned integer of the same order, so that a (score,
// child) pair compares as two integers. NaN is not a score.
inline std::uint64_t ordered_bits(double score) noexcept {
    const auto bits = std::bit_cast<std::uint64_t>(score);
    return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

struct RankedChild {
    std::uint64_t score;
    std::uint32_t child;
    friend bool operator<(const RankedChild& a, const RankedChild& b) noexcept {
        return a.score != b.score ? a.score < b.score : a.child < b.child;
    }
};

inline constexpr std::uint32_t NO_PARENT = 0xFFFFFFFFu;

struct BeamLink {
    std::uint32_t parent;  // index of the parent's link; NO_PARENT at the start
    std::uint8_t move;
};

template <PackedCube C>
struct BeamRun {
    StateTable<C::word_count, std::int32_t> kept{GUIDED_TABLE_SHARD_BITS};  // state -> last depth kept at
    std::vector<BeamLink> links;                   // every kept state, depth by depth
    std::size_t level = 0;                         // first link of the current beam
    std::vector<C> next;                           // the beam being chosen
};

// The moves from the start to the state of link `at`.
inline std::vector<std::uint8_t> path_to(const std::vector<BeamLink>& links, std::uint32_t at) {
    std::vector<std::uint8_t> moves;
    for (; links[at].parent != NO_PARENT; at = links[at].parent) moves.push_back(links[at].move);
    std::reverse(moves.begin(), moves.end());
    return moves;
}

// Chooses run's next beam from its m children at depth `depth`, whose
// parents are the links from run.level on.
template <PackedCube C>
void choose_beam(BeamRun<C>& run, const C* children, const double* scores, std::size_t m,
                 std::size_t moves, std::int32_t depth, const BeamOptions& options) {
    using Table = decltype(run.kept);
    constexpr std::size_t ahead = Table::PREFETCH_DISTANCE;
    std::vector<RankedChild> ranked(m);
    for (std::size_t i = 0; i < m; ++i) {
        ranked[i] = {ordered_bits(scores[i]), static_cast<std::uint32_t>(i)};
    }
    // Kept at one of the last `history` depths, or already at this one.
    const auto recent = static_cast<std::int64_t>(depth) - static_cast<std::int64_t>(options.history);
    const auto first_parent = static_cast<std::uint32_t>(run.level);
    run.level = run.links.size();
    run.next.clear();
    // Ranked a run at a time: the lowest few only are sorted, and a next run
    // is ranked only when repeats and recent states thinned the first.
    std::size_t from = 0;
    while (run.next.size() < options.beam_width && from < m) {
        const std::size_t need = options.beam_width - run.next.size();
        const std::size_t take = std::min(m - from, std::max<std::size_t>(need + need / 4, 32));
        const auto first = ranked.begin() + static_cast<std::ptrdiff_t>(from);
        const auto middle = first + static_cast<std::ptrdiff_t>(take);
        if (middle != ranked.end()) std::nth_element(first, middle, ranked.end());
        std::sort(first, middle);
        for (auto it = first; it != middle && run.next.size() < options.beam_width; ++it) {
            if (middle - it > static_cast<std::ptrdiff_t>(ahead)) {
                run.kept.prefetch(Table::hash(children[(it + ahead)->child].words().data()));
            }
            const C& child = children[it->child];
            const auto words = child.words();
            const auto [last, inserted] = run.kept.try_emplace(words.data(), depth);
            if (!inserted) {
                if (*last >= recent) continue;
                *last = depth;
            }
            run.links.push_back({first_parent + it->child / static_cast<std::uint32_t>(moves),
                                 static_cast<std::uint8_t>(it->child % moves)});
            run.next.push_back(child);
        }
        from += take;
        if (from < m) cancellation_point();
    }
}

}  // namespace detail

// Searches from every start at once; `targets` holds one state for all or
// one per start. Throws what the scorer throws, Cancelled, std::bad_alloc.
template <PackedCube C, StateScorer<C> Score>
GuidedResult beam_search(std::span<const C> starts, std::span<const C> targets,
                         const BeamOptions& options, Score&& score) {
    const std::size_t n = starts.size();
    const std::size_t moves = move_count(options.metric);
    GuidedResult result(n);
    std::vector<detail::BeamRun<C>> runs(n);
    // The live searches in start order, with their beams back to back.
    std::vector<std::size_t> live;
    std::vector<std::size_t> widths;
    std::vector<C> beams;
    for (std::size_t s = 0; s < n; ++s) {
        if (starts[s] == target_of(targets, s)) {
            result.lengths[s] = 0;
            continue;
        }
        const auto words = starts[s].words();
        runs[s].kept.try_emplace(words.data(), std::int32_t{0});
        runs[s].links.push_back({detail::NO_PARENT, 0});
        live.push_back(s);
        widths.push_back(1);
        beams.push_back(starts[s]);
    }
    std::vector<C> children;
    std::vector<C> scored;
    std::vector<double> scores;
    std::vector<std::size_t> offsets;
    std::vector<std::int64_t> hits;
    const std::size_t max_depth = std::min(options.max_depth, MAX_GUIDED_LENGTH);
    for (std::size_t depth = 1; depth <= max_depth && !live.empty(); ++depth) {
        children.resize(beams.size() * moves);
        successors_in_metric(std::span<const C>(beams), options.metric, children.data());
        offsets.assign(live.size() + 1, 0);
        for (std::size_t k = 0; k < live.size(); ++k) {
            offsets[k + 1] = offsets[k] + widths[k] * moves;
            result.expanded[live[k]] += static_cast<std::int64_t>(widths[k]);
        }
        // The first child equal to its target, in child order.
        hits.assign(live.size(), -1);
        parallel_for(0, live.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                const C target = target_of(targets, live[k]);
                in_cancellable_steps(offsets[k], offsets[k + 1], GUIDED_CANCEL_STEP,
                                     [&](std::size_t b, std::size_t e) {
                    if (hits[k] >= 0) return;
                    for (std::size_t i = b; i < e; ++i) {
                        if (children[i] == target) {
                            hits[k] = static_cast<std::int64_t>(i - offsets[k]);
                            return;
                        }
                    }
                });
            }
        });
        // Searches that hit are done; the others' children stay, in order.
        std::size_t kept_live = 0;
        const std::vector<C>* survivors = &children;
        bool any_hit = false;
        for (std::size_t k = 0; k < live.size(); ++k) any_hit |= hits[k] >= 0;
        if (any_hit) scored.clear();
        std::vector<std::size_t> kept_offsets{0};
        for (std::size_t k = 0; k < live.size(); ++k) {
            const std::size_t s = live[k];
            if (hits[k] >= 0) {
                const auto hit = static_cast<std::size_t>(hits[k]);
                const auto parent = static_cast<std::uint32_t>(runs[s].level + hit / moves);
                result.paths[s] = detail::path_to(runs[s].links, parent);
                result.paths[s].push_back(static_cast<std::uint8_t>(hit % moves));
                result.lengths[s] = static_cast<std::int16_t>(depth);
                runs[s] = detail::BeamRun<C>();
                continue;
            }
            if (any_hit) {
                scored.insert(scored.end(), children.begin() + static_cast<std::ptrdiff_t>(offsets[k]),
                              children.begin() + static_cast<std::ptrdiff_t>(offsets[k + 1]));
            }
            live[kept_live] = s;
            widths[kept_live] = widths[k];
            kept_offsets.push_back(kept_offsets.back() + widths[k] * moves);
            ++kept_live;
        }
        live.resize(kept_live);
        widths.resize(kept_live);
        if (any_hit) survivors = &scored;
        if (live.empty() || depth == max_depth) break;

        scores.resize(survivors->size());
        score(std::span<const C>(*survivors), std::span<double>(scores));

        const auto at_depth = static_cast<std::int32_t>(depth);
        parallel_for(0, live.size(), 1, [&](std::size_t begin, std::size_t end) {
            for (std::size_t k = begin; k < end; ++k) {
                detail::choose_beam(runs[live[k]], survivors->data() + kept_offsets[k],
                                    scores.data() + kept_offsets[k],
                                    kept_offsets[k + 1] - kept_offsets[k], moves, at_depth, options);
            }
        });
        beams.clear();
        kept_live = 0;
        for (std::size_t k = 0; k < live.size(); ++k) {
            const std::size_t s = live[k];
            std::vector<C>& next = runs[s].next;
            if (next.empty()) {  // nothing new to keep: this search is stuck
                runs[s] = detail::BeamRun<C>();
                continue;
            }
            beams.insert(beams.end(), next.begin(), next.end());
            live[kept_live] = s;
            widths[kept_live] = next.size();
            ++kept_live;
        }
        live.resize(kept_live);
        widths.resize(kept_live);
    }
    return result;
}

}  // namespace twirlkit

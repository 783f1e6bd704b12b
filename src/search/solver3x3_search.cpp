// The search: IDA* over the coordinates, phase 1 into G1, then phase 2.
#include <time.h>

#include <algorithm>
#include <array>
#include <limits>
#include <span>
#include <stdexcept>
#include <string>

#include "runtime/parallel.hpp"
#include "search/solver3x3_tables.hpp"

namespace twirlkit {

using namespace two_phase;

namespace {

constexpr unsigned NO_LENGTH = std::numeric_limits<unsigned>::max();
constexpr unsigned PHASE2_MAX = PHASE2_MAX_TURNS;
constexpr unsigned PHASE1_MAX = PHASE1_MAX_TURNS;
constexpr std::uint64_t CHECK_EVERY = 4096;  // nodes between clock and cancellation checks
constexpr std::size_t MAX_TURNS = MAX_SOLUTION_TURNS;

// CPU seconds of the calling thread. The timeout counts the search's own
// work, so that a busy machine does not shorten it, nor change its result.
double thread_seconds() noexcept {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

class TwoPhaseSearch {
public:
    TwoPhaseSearch(const SolverTables& tables, const Cube3x3& cube, const SolveOptions& options)
        : t_(tables), cube_(cube), options_(options) {
        deadline_ = thread_seconds() + std::min(std::max(options.timeout, 0.0), 1e9);
        corners_[0] = static_cast<std::uint16_t>(corner_perm_of(cubies_of(cube_)));
    }

    SolveResult run() {
        SolveResult result;
        if (!cube_.is_solved()) {
            const Cubies s = cubies_of(cube_);
            const unsigned twist = twist_of(s);
            const unsigned flip = flip_of(s);
            const unsigned slice_sorted = slice_sorted_of(s);
            const unsigned h = phase1_bound(twist, flip, slice_sorted / SLICE_PERM_COUNT);
            for (unsigned depth = h; depth <= PHASE1_MAX && depth < best_length_ && !aborted_;
                 ++depth) {
                phase1(twist, flip, slice_sorted, 0, depth);
            }
            if (best_length_ != NO_LENGTH) {
                result.turns.assign(best_.begin(), best_.begin() + best_turns_);
            }
        }
        result.found = cube_.is_solved() || best_length_ != NO_LENGTH;
        result.within_max_length =
            result.found && length_in(options_.metric, result.turns) <= options_.max_length;
        result.nodes = nodes_;
        return result;
    }

private:
    // Exact: the flip-and-slice class table covers the whole phase 1
    // coordinate.
    unsigned phase1_bound(unsigned twist, unsigned flip, unsigned slice) const noexcept {
        return t_.phase1_distance(twist, flip, slice);
    }

    unsigned phase2_bound(unsigned corner, unsigned edge, unsigned slice) const noexcept {
        const unsigned small = std::max(t_.corner_slice[corner * SLICE_PERM_COUNT + slice],
                                        t_.edge_slice[edge * SLICE_PERM_COUNT + slice]);
        return std::max(small, t_.corner_edge_distance(t_.corner_edge_index(corner, edge)));
    }

    int last_face(unsigned depth) const noexcept {
        return depth == 0 ? -1 : static_cast<int>(face_of(path_[depth - 1]));
    }

    // Counts a node; every CHECK_EVERY nodes passes a cancellation point and
    // looks at the clock. Returns false once the search should end.
    bool visit() {
        // Exactly max_nodes, so that a search it ends always ends alike.
        if (nodes_ == options_.max_nodes) {
            aborted_ = true;
            return false;
        }
        ++nodes_;
        if (nodes_ % CHECK_EVERY != 0) return true;
        cancellation_point();
        // The clock binds with or without a solution: with sound tables the
        // first one comes within milliseconds, but tables that mislead the
        // bounds could keep the search from one for hours.
        const bool short_enough = best_length_ <= options_.max_length;
        if ((short_enough && nodes_ - nodes_at_short_ > options_.extra_nodes) ||
            thread_seconds() >= deadline_) {
            aborted_ = true;
        }
        return !aborted_;
    }

    void phase1(unsigned twist, unsigned flip, unsigned slice_sorted, unsigned depth,
                unsigned togo) {
        if (togo == 0) {
            // The bounds are 0 only in G1 in sound tables; the coordinates
            // say so for sure, and phase 2 reads its tables only there. A
            // phase 1 that ends with a G1 turn was already in G1 one turn
            // earlier and has been tried.
            if (twist != 0 || flip != 0 || slice_sorted >= SLICE_PERM_COUNT) return;
            if (depth == 0 || !is_phase2_turn(path_[depth - 1])) start_phase2(slice_sorted, depth);
            return;
        }
        const int last = last_face(depth);
        for (unsigned face = 0; face < FACE_COUNT; ++face) {
            if (!may_follow(face, last)) continue;
            // The columns of the face, in the order its turns are tried.
            for (std::size_t column = TURNS_PER_FACE * face; column < TURNS_PER_FACE * (face + 1);
                 ++column) {
                const unsigned nt = t_.twist_move[twist * FACE_TURN_COUNT + column];
                const unsigned nf = t_.flip_move[flip * FACE_TURN_COUNT + column];
                const unsigned ns = t_.slice_sorted_move[slice_sorted * FACE_TURN_COUNT + column];
                const unsigned slice = ns / SLICE_PERM_COUNT;
                if (togo == 1) {
                    if (nt != 0 || nf != 0 || slice != 0) continue;
                } else if (phase1_bound(nt, nf, slice) >= togo) {
                    continue;
                }
                if (!visit()) return;
                path_[depth] = COLUMN_TURNS[column];
                corners_[depth + 1] = t_.corner_move[corners_[depth] * FACE_TURN_COUNT + column];
                phase1(nt, nf, ns, depth + 1, togo - 1);
                if (aborted_) return;
                // A solution as short as this phase 1 alone leaves nothing to find.
                if (best_length_ <= depth + togo) return;
            }
        }
    }

    // The length of path_[begin, end) in the options' metric.
    unsigned path_length(unsigned begin, unsigned end) const noexcept {
        return static_cast<unsigned>(
            length_in(options_.metric, std::span<const FaceTurn>(path_.data() + begin, end - begin)));
    }

    // Every turn costs at least one in either metric, so a phase 2 of more
    // turns than the length left below the best cannot improve on it. In
    // face turns the first phase 2 found within that is shorter; in quarter
    // turns it is kept only if it is.
    void start_phase2(unsigned slice_perm, unsigned depth) {
        const unsigned spent = path_length(0, depth);
        const unsigned total_limit =
            best_length_ == NO_LENGTH ? spent + PHASE2_MAX : best_length_ - 1;
        if (total_limit < spent) return;
        const unsigned limit = std::min(total_limit - spent, PHASE2_MAX);
        // Most phase 1 solutions end here, by the corner bound, before the
        // cube is turned into G1 for the edges.
        const unsigned corner = corners_[depth];
        if (t_.corner_slice[corner * SLICE_PERM_COUNT + slice_perm] > limit) return;
        const Cube3x3 in_g1 =
            apply_face_turns(cube_, std::span<const FaceTurn>(path_.data(), depth));
        const Cubies s = cubies_of(in_g1);
        const unsigned edge = ud_edge_perm_of(s);
        const unsigned h = phase2_bound(corner, edge, slice_perm);
        for (unsigned length = h; length <= limit && !aborted_; ++length) {
            if (phase2(corner, edge, slice_perm, depth, length)) {
                const unsigned total = spent + path_length(depth, depth + length);
                if (total > total_limit) return;
                best_length_ = total;
                best_turns_ = depth + length;
                std::copy(path_.begin(), path_.begin() + best_turns_, best_.begin());
                if (best_length_ <= options_.max_length && !have_short_) {
                    have_short_ = true;
                    nodes_at_short_ = nodes_;
                }
                return;
            }
        }
    }

    bool phase2(unsigned corner, unsigned edge, unsigned slice_perm, unsigned depth,
                unsigned togo) {
        if (togo == 0) return corner == 0 && edge == 0 && slice_perm == 0;
        const int last = last_face(depth);
        for (std::size_t k = 0; k < PHASE2_TURN_COUNT; ++k) {
            const FaceTurn turn = PHASE2_TURNS[k];
            if (!may_follow(face_of(turn), last)) continue;
            const unsigned nc = t_.corner_move[corner * FACE_TURN_COUNT + PHASE2_COLUMNS[k]];
            const unsigned ne = t_.ud_edge_move[edge * PHASE2_TURN_COUNT + k];
            const unsigned ns = t_.slice_perm_move[slice_perm * PHASE2_TURN_COUNT + k];
            if (t_.corner_slice[nc * SLICE_PERM_COUNT + ns] >= togo ||
                t_.edge_slice[ne * SLICE_PERM_COUNT + ns] >= togo ||
                t_.corner_edge_distance(t_.corner_edge_index(nc, ne)) >= togo) {
                continue;
            }
            if (!visit()) return false;
            path_[depth] = turn;
            if (phase2(nc, ne, ns, depth + 1, togo - 1)) return true;
            if (aborted_) return false;
        }
        return false;
    }

    const SolverTables& t_;
    Cube3x3 cube_;
    const SolveOptions& options_;
    double deadline_;  // in thread_seconds()
    std::array<FaceTurn, MAX_TURNS> path_{};
    std::array<FaceTurn, MAX_TURNS> best_{};
    // The corner permutation after each prefix of path_.
    std::array<std::uint16_t, MAX_TURNS + 1> corners_{};
    unsigned best_length_ = NO_LENGTH;  // of best_, in the options' metric
    unsigned best_turns_ = 0;           // the turns in best_
    std::uint64_t nodes_ = 0;
    std::uint64_t nodes_at_short_ = 0;
    bool have_short_ = false;
    bool aborted_ = false;
};

}  // namespace

SolveResult solve_two_phase(const SolverTables& tables, const Cube3x3& cube,
                            const SolveOptions& options) {
    return TwoPhaseSearch(tables, cube, options).run();
}

std::vector<SolveResult> solve_batch_two_phase(std::span<const Cube3x3> cubes,
                                               const SolveOptions& options) {
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        if (!is_solvable(cubes[i])) {
            throw std::invalid_argument("cube " + std::to_string(i) + " cannot be solved");
        }
    }
    std::vector<SolveResult> results(cubes.size());
    // Solved cubes need no tables: an empty or solved batch costs no build.
    if (std::all_of(cubes.begin(), cubes.end(), [](const Cube3x3& c) { return c.is_solved(); })) {
        for (SolveResult& r : results) r.within_max_length = r.found = true;
        return results;
    }
    const SolverTables& tables = solver_tables();
    parallel_for(0, cubes.size(), 1, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            results[i] = solve_two_phase(tables, cubes[i], options);
        }
    });
    return results;
}

}  // namespace twirlkit

// Exact distances of 2x2 positions to solved, in quarter turns, and the
// optimal solver that follows them downhill.
//
// The twelve-move table covers every position: 8! * 3^7 = 88,179,840 at 4
// bits, 44 MB, indexed by AllCorners (corner permutation rank * 2187 +
// orientation code). It is built once per process, at its first use, by one
// breadth-first search on the worker pool (search/distance_table.hpp), and
// kept until the process ends. A second table of the same shape holds the
// distances in face turns (all eighteen, a half turn counting one), built
// the same way when half-turn solutions are first asked for.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "model/algebra.hpp"
#include "search/corner_coords.hpp"
#include "model/cube.hpp"
#include "search/distance_table.hpp"
#include "runtime/parallel.hpp"
#include "model/cube2x2.hpp"

namespace twirlkit {

// Distances over the positions of `Coords` under a set of moves of `metric`
// that is closed under inverses, with the move tables that step its
// coordinates.
template <class Coords>
class CornerDistanceTable {
public:
    // Builds the coordinate move tables, then searches from solved. Throws
    // std::bad_alloc and what DistanceTable::search throws.
    explicit CornerDistanceTable(std::span<const MoveIndex> moves, Metric metric = Metric::qtm)
        : moves_(moves.begin(), moves.end()),
          metric_(metric),
          permutation_moves_(Coords::PERMUTATIONS * moves.size()),
          orientation_moves_(Coords::ORIENTATIONS * moves.size()) {
        static_assert(Coords::PERMUTATIONS <= 65536 && Coords::ORIENTATIONS <= 65536);
        // A permutation moves the same whatever the twists, and the twists
        // the same whatever the permutation, so each table steps one
        // coordinate with the other held at 0.
        for (std::uint32_t p = 0; p < Coords::PERMUTATIONS; ++p) {
            for (std::size_t m = 0; m < moves_.size(); ++m) {
                Cube2x2 cube{Coords::word_of(p, 0)};
                apply_metric_move(cube, metric_, moves_[m]);
                permutation_moves_[p * moves_.size() + m] =
                    static_cast<std::uint16_t>(Coords::permutation_rank(cube.state));
            }
        }
        for (std::uint32_t o = 0; o < Coords::ORIENTATIONS; ++o) {
            for (std::size_t m = 0; m < moves_.size(); ++m) {
                Cube2x2 cube{Coords::word_of(0, o)};
                apply_metric_move(cube, metric_, moves_[m]);
                orientation_moves_[o * moves_.size() + m] =
                    static_cast<std::uint16_t>(Coords::orientation_code(cube.state));
            }
        }
        table_ = DistanceTable::search(space());
    }

    ProductSpace space() const noexcept {
        return {Coords::PERMUTATIONS, Coords::ORIENTATIONS, moves_.size(), permutation_moves_,
                orientation_moves_, Coords::index(SOLVED_CORNERS)};
    }
    const DistanceTable& table() const noexcept { return table_; }
    // Moves of metric(), in the order solve() tries them.
    std::span<const MoveIndex> moves() const noexcept { return moves_; }
    Metric metric() const noexcept { return metric_; }

    // For a position of Coords (any position, for AllCorners).
    std::uint8_t distance(const Cube2x2& cube) const noexcept {
        return table_.at(Coords::index(cube.state));
    }

    // A shortest solution into `out` (room for DistanceTable::MAX_DISTANCE
    // moves); returns its length. At each step the first move, in the
    // order of moves(), that lowers the distance.
    std::size_t solve(const Cube2x2& cube, std::uint8_t* out) const noexcept {
        std::size_t first = Coords::permutation_rank(cube.state);
        std::size_t second = Coords::orientation_code(cube.state);
        const ProductSpace s = space();
        std::uint8_t d = table_.at(first * Coords::ORIENTATIONS + second);
        std::size_t length = 0;
        while (d != 0 && d != DistanceTable::UNREACHED) {
            for (std::size_t m = 0; m < moves_.size(); ++m) {
                const std::size_t next = s.successor(first, second, m);
                if (table_.at(next) == d - 1) {
                    out[length++] = static_cast<std::uint8_t>(moves_[m]);
                    first = next / Coords::ORIENTATIONS;
                    second = next % Coords::ORIENTATIONS;
                    --d;
                    break;
                }
            }
        }
        return length;
    }

private:
    std::vector<MoveIndex> moves_;
    Metric metric_;
    std::vector<std::uint16_t> permutation_moves_;
    std::vector<std::uint16_t> orientation_moves_;
    DistanceTable table_;
};

inline constexpr std::array<MoveIndex, MOVE_COUNT> ALL_QUARTER_TURNS{
    MOVE_U, MOVE_U_PRIME, MOVE_D, MOVE_D_PRIME, MOVE_R, MOVE_R_PRIME,
    MOVE_L, MOVE_L_PRIME, MOVE_F, MOVE_F_PRIME, MOVE_B, MOVE_B_PRIME};
// The turns that keep DBL in place.
inline constexpr std::array<MoveIndex, 6> DBL_FIXING_QUARTER_TURNS{
    MOVE_U, MOVE_U_PRIME, MOVE_R, MOVE_R_PRIME, MOVE_F, MOVE_F_PRIME};

// The face turns in face-turn order (faces.hpp), and those of the faces
// of DBL_FIXING_QUARTER_TURNS.
inline constexpr auto ALL_FACE_TURNS = [] {
    std::array<MoveIndex, FACE_TURN_COUNT> turns{};
    for (std::size_t t = 0; t < FACE_TURN_COUNT; ++t) turns[t] = t;
    return turns;
}();
inline constexpr auto DBL_FIXING_FACE_TURNS = [] {
    std::array<MoveIndex, DBL_FIXING_QUARTER_TURNS.size() / 2 * TURNS_PER_FACE> turns{};
    for (std::size_t k = 0; k < turns.size(); ++k) {
        const unsigned face = face_of(face_turn_of(DBL_FIXING_QUARTER_TURNS[2 * (k / TURNS_PER_FACE)]));
        turns[k] = face_turn(face, static_cast<unsigned>(k % TURNS_PER_FACE));
    }
    return turns;
}();

using Distances2x2 = CornerDistanceTable<AllCorners>;

// The process-wide table of `metric` (twelve quarter turns, or eighteen
// face turns), built on first use (see runtime/build_once.hpp for the
// threading and fork rules).
const Distances2x2& distances_2x2(Metric metric = Metric::qtm);
// The table if it has been built, else nullptr; never builds.
const Distances2x2* distances_2x2_if_built(Metric metric = Metric::qtm) noexcept;

// The longest solution solve_2x2_internal writes per cube.
inline constexpr std::size_t MAX_SOLUTION_2X2 = DistanceTable::MAX_DISTANCE;

// Cube distances, one per cube into out[0 .. cubes.size()).
inline constexpr std::size_t DISTANCES_GRAIN = 1024;
void distances_2x2_internal(std::span<const Cube2x2> cubes, std::int8_t* out,
                            std::size_t grain = DISTANCES_GRAIN);

// Shortest solutions: cube i's moves at moves[i * MAX_SOLUTION_2X2 ..], its
// length in lengths[i]; moves of the metric asked for, quarter turns unless
// said otherwise.
struct Solutions2x2 {
    std::vector<std::uint8_t> moves;
    std::vector<std::uint8_t> lengths;
};
inline constexpr std::size_t SOLVE_GRAIN = 64;
Solutions2x2 solve_2x2_internal(std::span<const Cube2x2> cubes, std::size_t grain = SOLVE_GRAIN);
Solutions2x2 solve_2x2_internal(std::span<const Cube2x2> cubes, Metric metric,
                                std::size_t grain = SOLVE_GRAIN);

}  // namespace twirlkit

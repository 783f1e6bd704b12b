// The two-phase 3x3 solver.
//
// Phase 1 turns a cube into the subgroup G1 = <U, D, R2, L2, F2, B2>, where
// every corner twist and edge flip is 0 and the four middle-layer edges sit in
// the middle layer. Phase 2 solves it with the ten turns of G1. Both phases
// are IDA* searches over small coordinates with move tables and distance
// tables; phase 1 carries on past its first success, so that a longer phase 1
// can buy a shorter phase 2, until the total is short enough and the per-cube
// node budget is spent.
//
// Face turn code (0..17): 3 * face + power - 1, faces U D R L F B as in the
// move index, power 1 (quarter), 2 (half) or 3 (prime).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "model/cube3x3.hpp"
#include "model/faces.hpp"

namespace twirlkit {


// "U", "U2", "U'" ... for a face turn code.
std::string face_turn_text(FaceTurn turn);
// Space-separated tokens that do_moves reads back; "" for no turns.
std::string face_turns_text(std::span<const FaceTurn> turns);
// The cube after the face turns.
Cube3x3 apply_face_turns(Cube3x3 cube, std::span<const FaceTurn> turns) noexcept;

// Coordinate sizes.
inline constexpr std::size_t TWIST_COUNT = 2187;         // 3^7 corner twists
inline constexpr std::size_t FLIP_COUNT = 2048;          // 2^11 edge flips
inline constexpr std::size_t SLICE_COUNT = 495;          // places of the 4 middle edges
inline constexpr std::size_t SLICE_SORTED_COUNT = 11880; // places and order of them
inline constexpr std::size_t CORNER_PERM_COUNT = 40320;  // 8!
inline constexpr std::size_t UD_EDGE_PERM_COUNT = 40320; // 8! of the U and D layer edges
inline constexpr std::size_t SLICE_PERM_COUNT = 24;      // 4!
inline constexpr std::size_t PHASE2_TURN_COUNT = 10;
inline constexpr std::size_t SYMMETRY_COUNT = 16;        // those keeping the U-D axis
inline constexpr std::size_t CORNER_CLASS_COUNT = 2768;  // corner perms up to them

// The coordinates of a cube. A cube is in G1 exactly when twist, flip and
// slice_sorted / 24 are 0; ud_edge_perm means something only there.
struct Coordinates {
    std::uint16_t twist;
    std::uint16_t flip;
    std::uint16_t slice_sorted;
    std::uint16_t corner_perm;
    std::uint16_t ud_edge_perm;
};
Coordinates coordinates_of(const Cube3x3& cube) noexcept;

// False when the words are not a cube reachable by turns (a piece twice, a
// twist or flip or permutation parity that no turn sequence gives).
bool is_solvable(const Cube3x3& cube) noexcept;

// Every table the search reads: about 70 MB, built once per process.
struct SolverTables;

enum class TableSource { built, loaded };

// Loads the tables from `directory`, or builds them on the pool and writes
// them there (atomically, by rename) when the file is missing, stale or
// corrupt. A directory that cannot be written only costs the cache.
// `progress` shows the build on stderr.
// The tables of the cache file in `directory`; nullptr when it is missing,
// stale or corrupt.
std::shared_ptr<const SolverTables> load_solver_tables(const std::filesystem::path& directory);
std::shared_ptr<const SolverTables> load_or_build_solver_tables(
    const std::filesystem::path& directory, bool progress, TableSource* source = nullptr);

inline constexpr const char* SOLVER_TABLE_FILE = "solver3x3-v3.bin";

// The process's tables from the user's cache directory: $XDG_CACHE_HOME/twirlkit
// when that is set to an absolute path, else ~/.cache/twirlkit. The first
// caller loads or builds them; callers meanwhile wait; later calls return at
// once. A failed build is not kept, so the next call tries again.
const SolverTables& solver_tables();
std::filesystem::path solver_cache_directory();
// How many times this process has built or loaded the tables (tests).
std::size_t solver_table_acquisitions() noexcept;

struct SolveOptions {
    unsigned max_length = 21;
    // CPU seconds of search per cube; 0 or less stops after the first
    // solution.
    double timeout = 1.0;
    // Search nodes spent, once a solution of at most max_length is found,
    // on looking for a shorter one.
    std::uint64_t extra_nodes = 25000;
};

struct SolveResult {
    std::vector<FaceTurn> turns;
    bool within_max_length = false;
};

// Solves one cube. Requires is_solvable(cube). The search passes a
// cancellation point (runtime/parallel.hpp) every few thousand nodes, about a
// millisecond, and throws Cancelled from there when the call must stop.
SolveResult solve_two_phase(const SolverTables& tables, const Cube3x3& cube,
                            const SolveOptions& options);

// Solves every cube on the worker pool. Throws std::invalid_argument naming
// the first cube that is not solvable, before any search.
std::vector<SolveResult> solve_batch_two_phase(std::span<const Cube3x3> cubes,
                                               const SolveOptions& options);

}  // namespace twirlkit

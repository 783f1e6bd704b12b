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
// Turns are face turn codes (model/faces.hpp).
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <span>
#include <string>
#include <vector>

#include "model/algebra.hpp"
#include "model/cube3x3.hpp"
#include "model/faces.hpp"

namespace twirlkit {

// "U", "U2", "U'" ... for a face turn code.
std::string face_turn_text(FaceTurn turn);
// Space-separated tokens that do_moves reads back; "" for no turns.
std::string face_turns_text(std::span<const FaceTurn> turns);
// The cube after the face turns.
Cube3x3 apply_face_turns(Cube3x3 cube, std::span<const FaceTurn> turns) noexcept;

// False when the words are not a cube reachable by turns (a piece twice, a
// twist or flip or permutation parity that no turn sequence gives): the
// model's state check.
constexpr bool is_solvable(const Cube3x3& cube) noexcept { return !cube.check(); }

// Every table the search reads: about 150 MB, built once per process.
struct SolverTables;

inline constexpr const char* SOLVER_TABLE_FILE = "solver3x3-v4.bin";

// The lines a table build reports as it goes, handed to `line` on the thread
// that builds (the caller of the solver's first call, never a worker). It
// may throw Cancelled to stop the build, which then keeps nothing.
struct BuildProgress {
    void (*line)(void* context, const char* text) = nullptr;
    void* context = nullptr;
    void operator()(const char* text) const {
        if (line != nullptr) line(context, text);
    }
};

// The process's tables from the user's cache directory (solver_cache_directory).
// The file is used only in a directory of the user's own that no one else
// may write to. The first caller loads or builds them; callers meanwhile
// wait; later calls return at once. A failed build is not kept, so the next
// call tries again. Throws AllocationError (runtime/buffer_cache.hpp) naming
// the tables when memory is refused.
const SolverTables& solver_tables();
// $TWIRLKIT_CACHE_DIR when set, else $XDG_CACHE_HOME/twirlkit when that is
// an absolute path, else ~/.cache/twirlkit; empty when there is no per-user
// folder (the tables are then kept in memory only).
std::filesystem::path solver_cache_directory();

// Where the process's tables came from, or went, when prepared.
enum class TableCache {
    loaded,      // the directory's file was read, or was already there
    written,     // built or held, and written to the directory
    unwritable,  // the directory could not be used: in memory only
    none,        // no directory: in memory only
    held,        // held already; the directory was not looked at
};

// Makes the process's tables ready ahead of the first solve, through
// `directory`'s cache file: loads it, or builds the tables (reporting
// through `progress`) and writes it. Tables already held are written there
// when the file is missing, if `fill_folder` (else the result is `held`).
// Throws what solver_tables() throws, and what `progress` throws.
TableCache prepare_solver_tables(const std::filesystem::path& directory,
                                 const BuildProgress& progress, bool fill_folder);

inline constexpr std::uint64_t NO_NODE_LIMIT = UINT64_MAX;

// The longest solution the search gives: no position needs more than 20
// turns to reach G1, and no G1 position more than 18 turns in it.
inline constexpr unsigned PHASE1_MAX_TURNS = 20;
inline constexpr unsigned PHASE2_MAX_TURNS = 18;
inline constexpr unsigned MAX_SOLUTION_TURNS = PHASE1_MAX_TURNS + PHASE2_MAX_TURNS;

// The default of solve(max_length=...), also spelled in its docstring.
#define TWIRLKIT_DEFAULT_MAX_LENGTH 21
inline constexpr unsigned DEFAULT_MAX_LENGTH = TWIRLKIT_DEFAULT_MAX_LENGTH;

struct SolveOptions {
    // In moves of `metric`: the search takes a solution as short enough, and
    // one solution as shorter than another, by its length in that metric.
    unsigned max_length = DEFAULT_MAX_LENGTH;
    // Face turns, or quarter turns (a half turn counting two). The moves are
    // face turns either way; the search and its bounds are in face turns,
    // which no solution has more of than quarter turns.
    Metric metric = Metric::htm;
    // CPU seconds of search per cube, the whole search: when they are spent
    // the search ends with the best solution found, if any. Bound by it, the
    // result depends on the machine's speed.
    double timeout = 1.0;
    // Search nodes spent, once a solution of at most max_length is found,
    // on looking for a shorter one.
    std::uint64_t extra_nodes = 10000;
    // Search nodes per cube at most. Bound by it (and not by the timeout),
    // the result is the same on every run and any number of workers.
    std::uint64_t max_nodes = NO_NODE_LIMIT;
};

struct SolveResult {
    std::vector<FaceTurn> turns;
    // The length of `turns` in the options' metric is at most max_length.
    bool within_max_length = false;
    // A solution was found (or the cube was solved); false when the timeout
    // or max_nodes ended the search first.
    bool found = false;
    std::uint64_t nodes = 0;  // search nodes visited
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

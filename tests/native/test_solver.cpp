#include "search/solver3x3.hpp"
#include "search/solver3x3_tables.hpp"
#include "search/solver3x3_testing.hpp"

#include "runtime/parallel.hpp"
#include "invariants.hpp"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace twirlkit {
namespace {

namespace fs = std::filesystem;

// Every test of this file, and the process-wide tables, use a fresh cache
// directory instead of the user's.
fs::path make_temp_dir() {
    std::string pattern = (fs::temp_directory_path() / "twirlkit-solver-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) std::abort();
    return pattern;
}
const fs::path& cache_home() {
    static const fs::path dir = [] {
        fs::path d = make_temp_dir();
        ::setenv("XDG_CACHE_HOME", d.c_str(), 1);
        return d;
    }();
    return dir;
}
[[maybe_unused]] const bool cache_home_set = !cache_home().empty();

// A solution in canonical form: no face twice in a row, and of two opposite
// faces in a row the lower-numbered first.
void expect_solves(const Cube3x3& cube, const SolveResult& result) {
    EXPECT_TRUE(apply_face_turns(cube, result.turns).is_solved());
    for (std::size_t i = 1; i < result.turns.size(); ++i) {
        const unsigned a = result.turns[i - 1] / 3;
        const unsigned b = result.turns[i] / 3;
        EXPECT_NE(a, b);
        if (a / 2 == b / 2) {
            EXPECT_LT(a, b);
        }
    }
}

TEST(SolverCoordinates, SolvedCubeIsZeroEverywhere) {
    const Coordinates c = coordinates_of(Cube3x3{});
    EXPECT_EQ(c.twist, 0);
    EXPECT_EQ(c.flip, 0);
    EXPECT_EQ(c.slice_sorted, 0);
    EXPECT_EQ(c.corner_perm, 0);
    EXPECT_EQ(c.ud_edge_perm, 0);
    // G1 turns keep twist, flip and the middle-edge places at 0.
    Cube3x3 cube;
    apply_move_index_internal(cube, MOVE_U);
    apply_move_index_internal(cube, MOVE_D_PRIME);
    const Coordinates g1 = coordinates_of(apply_face_turns(
        cube, std::vector<FaceTurn>{face_turn(2, FACE_TURN_HALF), face_turn(4, FACE_TURN_HALF)}));
    EXPECT_EQ(g1.twist, 0);
    EXPECT_EQ(g1.flip, 0);
    EXPECT_LT(g1.slice_sorted, 24);
    EXPECT_NE(g1.corner_perm, 0);
}

TEST(SolverCoordinates, UnsolvableWordsAreRefused) {
    EXPECT_TRUE(is_solvable(Cube3x3{}));
    Cube3x3 twisted;
    twisted.corners ^= Word{1} << ORIENTATION_SHIFT;  // one corner twisted
    EXPECT_FALSE(is_solvable(twisted));
    Cube3x3 flipped;
    flipped.edges ^= Word{1} << FLIP_SHIFT;  // one edge flipped
    EXPECT_FALSE(is_solvable(flipped));
    Cube3x3 swapped;  // two edges exchanged: odd edge permutation alone
    swapped.edges = (SOLVED_EDGES & ~Word{0x3FF}) | (Word{0} << 5) | Word{1};
    EXPECT_FALSE(is_solvable(swapped));
    Cube3x3 doubled;  // piece 0 twice
    doubled.edges = SOLVED_EDGES & ~(Word{0x1F} << 5);
    EXPECT_FALSE(is_solvable(doubled));
    Cube3x3 padded;
    padded.edges |= Word{1} << 62;
    EXPECT_FALSE(is_solvable(padded));
    std::mt19937_64 rng(5);
    EXPECT_TRUE(is_solvable(testing::random_cube<Cube3x3>(rng, 50)));
}

// Runs first: the process-wide tables, asked for by two threads at once,
// are built once and written to the cache.
TEST(SolverTableCache, TwoThreadsAtOnceGetOneTableSet) {
    const SolverTables* seen[2] = {nullptr, nullptr};
    std::thread a([&] { seen[0] = &solver_tables(); });
    std::thread b([&] { seen[1] = &solver_tables(); });
    a.join();
    b.join();
    EXPECT_EQ(seen[0], seen[1]);
    EXPECT_EQ(solver_table_acquisitions(), 1u);
    EXPECT_TRUE(fs::exists(cache_home() / "twirlkit" / SOLVER_TABLE_FILE));
}

// A copy of the process's cache file in a fresh directory.
fs::path copy_of_cache() {
    solver_tables();
    const fs::path dir = make_temp_dir();
    fs::copy_file(cache_home() / "twirlkit" / SOLVER_TABLE_FILE, dir / SOLVER_TABLE_FILE);
    return dir;
}

void flip_bit_at(const fs::path& file, std::streamoff at) {
    std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
    f.seekg(at);
    const char old = static_cast<char>(f.get());
    f.seekp(at);
    f.put(static_cast<char>(old ^ 1));
}

TEST(SolverTableCache, DamagedFilesAreRefused) {
    const fs::path dir = copy_of_cache();
    const fs::path file = dir / SOLVER_TABLE_FILE;
    const auto size = static_cast<std::streamoff>(fs::file_size(file));
    ASSERT_NE(load_solver_tables(dir), nullptr);
    // A bit in the magic, the version, the size, the checksum, early and
    // late in the payload; a short file; a long one.
    for (std::streamoff at : {std::streamoff{0}, std::streamoff{8}, std::streamoff{16},
                              std::streamoff{24}, std::streamoff{40}, size / 2, size - 1}) {
        flip_bit_at(file, at);
        EXPECT_EQ(load_solver_tables(dir), nullptr) << "bit at " << at;
        flip_bit_at(file, at);
    }
    ASSERT_NE(load_solver_tables(dir), nullptr);
    fs::resize_file(file, static_cast<std::uintmax_t>(size - 1));
    EXPECT_EQ(load_solver_tables(dir), nullptr);
    fs::resize_file(file, static_cast<std::uintmax_t>(size + 8));
    EXPECT_EQ(load_solver_tables(dir), nullptr);
    EXPECT_EQ(load_solver_tables(make_temp_dir()), nullptr);
}

TEST(SolverTableCache, ACorruptFileIsRebuiltAndReplaced) {
    const fs::path dir = copy_of_cache();
    const fs::path file = dir / SOLVER_TABLE_FILE;
    const auto size = fs::file_size(file);
    flip_bit_at(file, static_cast<std::streamoff>(size - 1000));
    TableSource source{};
    auto rebuilt = load_or_build_solver_tables(dir, {}, &source);
    EXPECT_EQ(source, TableSource::built);
    auto loaded = load_or_build_solver_tables(dir, {}, &source);
    EXPECT_EQ(source, TableSource::loaded);
    EXPECT_EQ(fs::file_size(file), size);
    // No temporary file is left behind.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);

    std::mt19937_64 rng(11);
    const Cube3x3 cube = testing::random_cube<Cube3x3>(rng, 100);
    const SolveOptions options{.max_length = 21, .timeout = 100.0};
    const auto expected = solve_two_phase(solver_tables(), cube, options).turns;
    EXPECT_EQ(solve_two_phase(*rebuilt, cube, options).turns, expected);
    EXPECT_EQ(solve_two_phase(*loaded, cube, options).turns, expected);
}

std::string contents_of(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::vector<std::string> names_in(const fs::path& dir) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(dir)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

TEST(SolverTableCache, WithoutAPerUserFolderNothingIsCached) {
    const std::string xdg = std::getenv("XDG_CACHE_HOME");
    const char* home = std::getenv("HOME");
    const std::string saved_home = home != nullptr ? home : "";
    ::unsetenv("XDG_CACHE_HOME");
    ::unsetenv("HOME");
    // Not the shared temporary folder, which another user may have made.
    const fs::path chosen = solver_cache_directory();
    ::setenv("XDG_CACHE_HOME", xdg.c_str(), 1);
    if (home != nullptr) ::setenv("HOME", saved_home.c_str(), 1);
    EXPECT_TRUE(chosen.empty()) << chosen;
    EXPECT_FALSE(write_solver_tables(chosen, solver_tables()));
}

// Links planted at the names a writer might use, and at the file itself,
// are replaced or left alone, never written through; the file is private.
TEST(SolverTableCache, TheWriterFollowsNoPlantedLink) {
    const fs::path dir = make_temp_dir();
    const fs::path victim = make_temp_dir() / "victim";
    std::ofstream(victim) << "keep";
    const std::string file = SOLVER_TABLE_FILE;
    for (int serial = 0; serial < 16; ++serial) {
        fs::create_symlink(victim, dir / (file + ".tmp." + std::to_string(::getpid()) + "." +
                                          std::to_string(serial)));
    }
    fs::create_symlink(victim, dir / file);
    ASSERT_TRUE(write_solver_tables(dir, solver_tables()));
    EXPECT_EQ(contents_of(victim), "keep");
    const auto status = fs::symlink_status(dir / file);
    EXPECT_EQ(status.type(), fs::file_type::regular);
    EXPECT_EQ(status.permissions() & fs::perms::all, fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_NE(load_solver_tables(dir), nullptr);
    EXPECT_EQ(names_in(dir).size(), 17u);  // the file and the planted links, no temporary

    // A folder anyone may write to is not used at all.
    fs::permissions(dir, fs::perms::all);
    EXPECT_EQ(load_solver_tables(dir), nullptr);
    EXPECT_FALSE(write_solver_tables(dir, solver_tables()));
}

// A FIFO at the file's name must not hang the load (its open would wait for
// a writer); the next write replaces it.
TEST(SolverTableCache, AFifoIsNotWaitedOnAndIsReplaced) {
    const fs::path dir = make_temp_dir();
    const fs::path fifo = dir / SOLVER_TABLE_FILE;
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    bool had_to_unblock = false;
    // Should the load wait in open(), a writer lets it go on, and the test fails.
    std::thread watchdog([&] {
        std::unique_lock lock(mutex);
        if (done_changed.wait_for(lock, std::chrono::seconds(60), [&] { return done; })) return;
        had_to_unblock = true;
        const int fd = ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        if (fd >= 0) ::close(fd);
    });
    const bool refused = load_solver_tables(dir) == nullptr;
    {
        std::lock_guard lock(mutex);
        done = true;
    }
    done_changed.notify_all();
    watchdog.join();
    EXPECT_FALSE(had_to_unblock);
    EXPECT_TRUE(refused);
    ASSERT_TRUE(write_solver_tables(dir, solver_tables()));
    EXPECT_EQ(fs::symlink_status(fifo).type(), fs::file_type::regular);
    EXPECT_NE(load_solver_tables(dir), nullptr);
}

// A writer killed while writing leaves its temporary file; the next write
// removes those of writers that are gone, and only those.
TEST(SolverTableCache, TemporariesOfDeadWritersAreRemoved) {
    const pid_t child = ::fork();
    if (child == 0) ::_exit(0);
    ASSERT_GT(child, 0);
    ASSERT_EQ(::waitpid(child, nullptr, 0), child);
    const fs::path dir = make_temp_dir();
    const std::string file = SOLVER_TABLE_FILE;
    const std::string dead = file + ".tmp." + std::to_string(child) + ".0123456789abcdef";
    const std::string old_style = file + ".tmp." + std::to_string(child) + ".0";
    const std::string live = file + ".tmp." + std::to_string(::getpid()) + ".fedcba9876543210";
    const std::string other = "notes.tmp." + std::to_string(child) + ".0";
    for (const std::string& name : {dead, old_style, live, other}) std::ofstream(dir / name) << "x";
    ASSERT_TRUE(write_solver_tables(dir, solver_tables()));
    std::vector<std::string> expected{file, live, other};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(names_in(dir), expected);
    EXPECT_EQ(remove_stale_solver_temporaries(dir), 0u);
}

// Tables that pass the checksum but whose distances do not hold are not
// trusted, and whatever the tables, the timeout bounds the search.
TEST(SolverTableCache, TablesWhoseDistancesDoNotHoldAreRefused) {
    auto zeroed = std::make_shared<SolverTables>(solver_tables());
    for (auto* table : {&zeroed->corner_slice, &zeroed->edge_slice}) {
        std::fill(table->begin(), table->end(), 0);
    }
    std::fill(zeroed->corner_edge.begin(), zeroed->corner_edge.end(), 0);
    std::fill(zeroed->flipslice_twist.begin(), zeroed->flipslice_twist.end(), 0);
    const fs::path dir = make_temp_dir();
    ASSERT_TRUE(write_solver_tables(dir, *zeroed));
    EXPECT_EQ(load_solver_tables(dir), nullptr);
    // Nor a table shifted by one, whose goal is not at 0.
    auto shifted = std::make_shared<SolverTables>(solver_tables());
    for (auto& d : shifted->corner_slice) d = static_cast<std::uint8_t>(d + 1);
    ASSERT_TRUE(write_solver_tables(dir, *shifted));
    EXPECT_EQ(load_solver_tables(dir), nullptr);

    Cube3x3 cube;
    apply_move_index_internal(cube, MOVE_R);
    const SolveResult result =
        solve_two_phase(*zeroed, cube, SolveOptions{.max_length = 21, .timeout = 0.01});
    if (result.found) expect_solves(cube, result);
}

// Phase 1 turns from twist, flip and middle-edge places, by a plain
// iterative deepening over the move tables (no distance table).
unsigned phase1_turns_by_search(const SolverTables& t, unsigned twist, unsigned flip,
                                unsigned slice, unsigned limit) {
    const auto reaches = [&t](auto&& self, unsigned tw, unsigned fl, unsigned sl, int last,
                              unsigned togo) -> bool {
        if (tw == 0 && fl == 0 && sl == 0) return true;
        if (togo == 0) return false;
        for (unsigned face = 0; face < FACE_COUNT; ++face) {
            if (!two_phase::may_follow(face, last)) continue;
            for (std::size_t c = face * TURNS_PER_FACE; c < (face + 1) * TURNS_PER_FACE; ++c) {
                if (self(self, t.twist_move[tw * FACE_TURN_COUNT + c],
                         t.flip_move[fl * FACE_TURN_COUNT + c],
                         t.slice_move[sl * FACE_TURN_COUNT + c], static_cast<int>(face),
                         togo - 1)) {
                    return true;
                }
            }
        }
        return false;
    };
    for (unsigned d = 0; d <= limit; ++d) {
        if (reaches(reaches, twist, flip, slice, -1, d)) return d;
    }
    return limit + 1;
}

// The phase 1 table by symmetry class: every cube seen through each of the
// sixteen symmetries has the same class and distance, the class's symmetry
// takes it to the class's least member with the twist the table reads, and
// the distance is the one a plain search finds (a few turns from G1), and
// otherwise at least what a bounded search rules out.
TEST(SolverTables, PhaseOneDistancesBySymmetryClassAreExact) {
    const SolverTables& t = solver_tables();
    std::mt19937_64 rng(7);
    for (int i = 0; i < 60; ++i) {
        const Cube3x3 cube = testing::random_cube<Cube3x3>(rng, i < 40 ? i % 9 : 100);
        const Coordinates c = coordinates_of(cube);
        const unsigned slice = c.slice_sorted / SLICE_PERM_COUNT;
        const std::size_t flipslice = std::size_t{slice} * FLIP_COUNT + c.flip;
        const unsigned klass = t.flipslice_class[flipslice];
        const unsigned to_rep = t.flipslice_class_sym[flipslice];
        const Coordinates rep = coordinates_of(two_phase::conjugate_cube(cube, to_rep));
        EXPECT_EQ(std::size_t{rep.slice_sorted / SLICE_PERM_COUNT} * FLIP_COUNT + rep.flip,
                  t.flipslice_class_rep[klass]);
        EXPECT_EQ(rep.twist, t.twist_conj[c.twist * SYMMETRY_COUNT + to_rep]);
        const unsigned d = t.phase1_distance(c.twist, c.flip, slice);
        for (unsigned s = 0; s < SYMMETRY_COUNT; ++s) {
            const Coordinates seen = coordinates_of(two_phase::conjugate_cube(cube, s));
            const unsigned seen_slice = seen.slice_sorted / SLICE_PERM_COUNT;
            EXPECT_EQ(t.flipslice_class[std::size_t{seen_slice} * FLIP_COUNT + seen.flip], klass);
            EXPECT_EQ(t.phase1_distance(seen.twist, seen.flip, seen_slice), d);
        }
        const unsigned limit = 5;
        const unsigned searched = phase1_turns_by_search(t, c.twist, c.flip, slice, limit);
        if (searched <= limit) {
            EXPECT_EQ(d, searched) << "cube " << i;
        } else {
            EXPECT_GT(d, limit) << "cube " << i;
        }
    }
}

TEST(Solver, NodeLimitEndsTheSearchAtTheSameNodeEveryTime) {
    std::mt19937_64 rng(6);
    const Cube3x3 cube = testing::random_cube<Cube3x3>(rng, 100);
    const SolveOptions options{.max_length = 12, .timeout = 1e6, .max_nodes = 300000};
    const SolveResult first = solve_two_phase(solver_tables(), cube, options);
    const SolveResult again = solve_two_phase(solver_tables(), cube, options);
    EXPECT_EQ(first.nodes, 300000u);
    EXPECT_EQ(again.nodes, first.nodes);
    EXPECT_EQ(again.turns, first.turns);
    expect_solves(cube, first);
    const SolveResult starved =
        solve_two_phase(solver_tables(), cube, SolveOptions{.timeout = 1e6, .max_nodes = 3});
    EXPECT_FALSE(starved.found);
    EXPECT_FALSE(starved.within_max_length);
    EXPECT_TRUE(starved.turns.empty());
}

TEST(Solver, RandomStatesAreSolvedWithinTheDefaultLength) {
    std::mt19937_64 rng(1);
    std::vector<Cube3x3> cubes;
    for (int i = 0; i < 100; ++i) cubes.push_back(testing::random_cube<Cube3x3>(rng, 100));
    cubes.push_back(Cube3x3{});
    SolveOptions options;
    options.timeout = 100.0;  // the length must come from the search, not the clock
    const auto results = solve_batch_two_phase(cubes, options);
    ASSERT_EQ(results.size(), cubes.size());
    for (std::size_t i = 0; i < cubes.size(); ++i) {
        expect_solves(cubes[i], results[i]);
        EXPECT_LE(results[i].turns.size(), 21u);
        EXPECT_TRUE(results[i].within_max_length);
    }
    EXPECT_TRUE(results.back().turns.empty());
}

TEST(Solver, ShortScramblesGetSolutionsNoLongerThanTheScramble) {
    std::mt19937_64 rng(2);
    for (int length = 1; length <= 9; ++length) {
        const Cube3x3 cube = testing::random_cube<Cube3x3>(rng, length);
        SolveOptions options{.max_length = static_cast<unsigned>(length), .timeout = 100.0};
        const SolveResult result = solve_two_phase(solver_tables(), cube, options);
        expect_solves(cube, result);
        EXPECT_LE(result.turns.size(), static_cast<std::size_t>(length));
    }
}

TEST(Solver, SuperflipIsSolved) {
    Cube3x3 cube;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) cube.edges ^= Word{1} << (SLOT_BITS * k + FLIP_SHIFT);
    ASSERT_TRUE(is_solvable(cube));
    const SolveResult result = solve_two_phase(solver_tables(), cube, SolveOptions{});
    expect_solves(cube, result);
    EXPECT_GE(result.turns.size(), 20u);  // no shorter solution exists
}

TEST(Solver, AnUnreachableLengthEndsAtTheTimeoutWithTheBestFound) {
    std::mt19937_64 rng(3);
    const Cube3x3 cube = testing::random_cube<Cube3x3>(rng, 100);
    const SolveResult result =
        solve_two_phase(solver_tables(), cube, SolveOptions{.max_length = 10, .timeout = 0.05});
    expect_solves(cube, result);
    EXPECT_FALSE(result.within_max_length);
}

TEST(Solver, ACancelledCallEndsTheSearch) {
    std::mt19937_64 rng(4);
    const std::vector<Cube3x3> cubes{testing::random_cube<Cube3x3>(rng, 100), testing::random_cube<Cube3x3>(rng, 100)};
    solver_tables();
    int polls = 0;
    CancelScope scope([](void* ctx) { return ++*static_cast<int*>(ctx) > 2; }, &polls);
    // Hours of search without the scope.
    EXPECT_THROW(solve_batch_two_phase(cubes, SolveOptions{.max_length = 10, .timeout = 1e6}),
                 Cancelled);
    EXPECT_GT(polls, 2);
}

TEST(Solver, UnsolvableBatchIsRefusedBeforeAnySearch) {
    std::vector<Cube3x3> cubes(3);
    cubes[2].corners ^= Word{1} << ORIENTATION_SHIFT;
    EXPECT_THROW(solve_batch_two_phase(cubes, SolveOptions{}), std::invalid_argument);
}

TEST(Solver, TurnText) {
    EXPECT_EQ(face_turns_text(std::vector<FaceTurn>{
                  face_turn(0, FACE_TURN_CLOCKWISE), face_turn(1, FACE_TURN_HALF),
                  face_turn(2, FACE_TURN_PRIME), face_turn(5, FACE_TURN_CLOCKWISE),
                  face_turn(5, FACE_TURN_PRIME)}),
              "U D2 R' B B'");
    EXPECT_EQ(face_turns_text(std::vector<FaceTurn>{}), "");
}

}  // namespace
}  // namespace twirlkit

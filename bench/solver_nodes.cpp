// The 3x3 solver's search effort, which unlike its time does not depend on
// the machine's load: for random states (100 random quarter turns each, a
// fixed seed), the mean search nodes a cube, the solution lengths and the
// CPU time a cube, one cube at a time on one thread.
//
//     bench_solver_nodes [count] [extra_nodes]
//     bench_solver_nodes build DIRECTORY   # the table build, step by step
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string_view>
#include <vector>

#include "search/solver3x3.hpp"
#include "search/solver3x3_testing.hpp"

namespace {

double thread_seconds() {
    timespec now{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + 1e-9 * static_cast<double>(now.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
    using namespace twirlkit;
    if (argc > 2 && std::string_view(argv[1]) == "build") {
        const BuildProgress progress{[](void*, const char* text) { std::fputs(text, stdout); }};
        TableSource source{};
        load_or_build_solver_tables(argv[2], progress, &source);
        std::printf("%s\n", source == TableSource::loaded ? "loaded" : "built");
        return 0;
    }
    const int count = argc > 1 ? std::atoi(argv[1]) : 1000;
    SolveOptions options;
    if (argc > 2) options.extra_nodes = std::strtoull(argv[2], nullptr, 10);
    const SolverTables& tables = solver_tables();
    std::mt19937_64 rng(2026);
    std::uniform_int_distribution<int> move(0, static_cast<int>(MOVE_COUNT) - 1);
    std::vector<unsigned> lengths(MAX_SOLUTION_TURNS + 1, 0);
    double nodes = 0;
    double total = 0;
    double seconds = 0;
    for (int i = 0; i < count; ++i) {
        Cube3x3 cube;
        for (int k = 0; k < 100; ++k) {
            apply_move_index_internal(cube, static_cast<MoveIndex>(move(rng)));
        }
        const double start = thread_seconds();
        const SolveResult result = solve_two_phase(tables, cube, options);
        seconds += thread_seconds() - start;
        if (!apply_face_turns(cube, result.turns).is_solved()) {
            std::fprintf(stderr, "cube %d: not solved\n", i);
            return 1;
        }
        nodes += static_cast<double>(result.nodes);
        total += static_cast<double>(result.turns.size());
        ++lengths[result.turns.size()];
    }
    std::printf("cubes %d  extra_nodes %llu\n", count,
                static_cast<unsigned long long>(options.extra_nodes));
    std::printf("nodes a cube %.0f  mean length %.3f  ms a cube (CPU) %.3f\n", nodes / count,
                total / count, 1e3 * seconds / count);
    for (std::size_t n = 0; n < lengths.size(); ++n) {
        if (lengths[n] != 0) std::printf("  length %zu: %u\n", n, lengths[n]);
    }
    return 0;
}

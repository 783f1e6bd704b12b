#include "search/distances2x2.hpp"

#include <algorithm>
#include <array>

#include "runtime/build_once.hpp"

namespace twirlkit {

namespace {

// At namespace scope, so their fork handlers are registered at load time.
BuildOnce<Distances2x2> g_distances;
BuildOnce<Distances2x2> g_face_turn_distances;

}  // namespace

const Distances2x2& distances_2x2(Metric metric) {
    if (metric == Metric::htm) {
        return g_face_turn_distances.get([] { return Distances2x2(ALL_FACE_TURNS, Metric::htm); });
    }
    return g_distances.get([] { return Distances2x2(ALL_QUARTER_TURNS); });
}

const Distances2x2* distances_2x2_if_built(Metric metric) noexcept {
    return metric == Metric::htm ? g_face_turn_distances.peek() : g_distances.peek();
}

void distances_2x2_internal(std::span<const Cube2x2> cubes, std::int8_t* out, std::size_t grain) {
    if (cubes.empty()) return;
    const Distances2x2& table = distances_2x2();
    // A table read per cube, nearly always a cache miss. Indexes are worked
    // out and their lines requested a block at a time, so the misses overlap
    // instead of queuing behind the arithmetic of the next index.
    parallel_for(0, cubes.size(), grain, [&](std::size_t begin, std::size_t end) {
        constexpr std::size_t BLOCK = 32;
        std::array<std::uint32_t, BLOCK> index;
        for (std::size_t block = begin; block < end; block += BLOCK) {
            const std::size_t count = std::min(BLOCK, end - block);
            for (std::size_t k = 0; k < count; ++k) {
                index[k] = AllCorners::index(cubes[block + k].state);
                table.table().prefetch(index[k]);
            }
            for (std::size_t k = 0; k < count; ++k) {
                out[block + k] = static_cast<std::int8_t>(table.table().at(index[k]));
            }
        }
    });
}

Solutions2x2 solve_2x2_internal(std::span<const Cube2x2> cubes, std::size_t grain) {
    return solve_2x2_internal(cubes, Metric::qtm, grain);
}

Solutions2x2 solve_2x2_internal(std::span<const Cube2x2> cubes, Metric metric, std::size_t grain) {
    Solutions2x2 solutions;
    if (cubes.empty()) return solutions;
    const Distances2x2& table = distances_2x2(metric);
    solutions.moves.resize(cubes.size() * MAX_SOLUTION_2X2);
    solutions.lengths.resize(cubes.size());
    std::uint8_t* const moves = solutions.moves.data();
    std::uint8_t* const lengths = solutions.lengths.data();
    parallel_for(0, cubes.size(), grain, [&](std::size_t begin, std::size_t end) {
        for (std::size_t i = begin; i < end; ++i) {
            lengths[i] = static_cast<std::uint8_t>(table.solve(cubes[i], moves + i * MAX_SOLUTION_2X2));
        }
    });
    return solutions;
}

}  // namespace twirlkit

// The 3x3 solver's hooks for the native tests: its coordinates, the table
// file read and written in a chosen directory, and a count of acquisitions.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <memory>

#include "search/solver3x3.hpp"

namespace twirlkit {

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

// built_unsaved: built, but the directory could not take the file.
enum class TableSource { built, built_unsaved, loaded };

// The tables of the cache file in `directory`; nullptr when it is missing,
// stale or corrupt.
std::shared_ptr<const SolverTables> load_solver_tables(const std::filesystem::path& directory);
// Loads the tables from `directory`, or builds them on the pool and writes
// them there (atomically, by rename) when the file is missing, stale or
// corrupt. A directory that cannot be written only costs the cache.
// `progress` hears of the build's steps.
std::shared_ptr<const SolverTables> load_or_build_solver_tables(
    const std::filesystem::path& directory, const BuildProgress& progress,
    TableSource* source = nullptr);

// Writes the tables as the cache file in `directory`; false when it could
// not (the directory is not the user's own, or a write failed).
bool write_solver_tables(const std::filesystem::path& directory, const SolverTables& tables);
// Removes the temporary files of writers that are gone; returns how many.
std::size_t remove_stale_solver_temporaries(const std::filesystem::path& directory);

// How many times this process has built or loaded the tables.
std::size_t solver_table_acquisitions() noexcept;

}  // namespace twirlkit

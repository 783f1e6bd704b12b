// The table file, and the process's tables.
//
//   magic "TWKSOLV3" | u32 version | u32 0 | u64 payload bytes | u64 checksum
//   | payload: the stored tables back to back in for_each_table order.
//
// The checksum is a 64-bit FNV-1a over the payload's 8-byte words. Any mismatch (magic,
// version, size, checksum, an entry out of range) means rebuild.
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <system_error>

#include "runtime/build_once.hpp"
#include "search/solver3x3_tables.hpp"
#include "search/solver3x3_testing.hpp"

namespace twirlkit {

bool SolverTables::entries_in_range() const noexcept {
    const auto below = [](const Table16& t, std::size_t n) {
        return std::all_of(t.begin(), t.end(), [n](std::uint16_t v) { return v < n; });
    };
    const auto distances = [](const Table8& t) {
        return std::all_of(t.begin(), t.end(), [](std::uint8_t v) { return v <= 20; });
    };
    return below(corner_class, CORNER_CLASS_COUNT) && below(corner_class_rep, CORNER_PERM_COUNT) &&
           below(ud_edge_conj, UD_EDGE_PERM_COUNT) &&
           std::all_of(corner_class_sym.begin(), corner_class_sym.end(),
                       [](std::uint8_t v) { return v < SYMMETRY_COUNT; }) &&
           below(twist_move, TWIST_COUNT) && below(flip_move, FLIP_COUNT) &&
           below(slice_sorted_move, SLICE_SORTED_COUNT) &&
           below(corner_move, CORNER_PERM_COUNT) && below(ud_edge_move, UD_EDGE_PERM_COUNT) &&
           distances(twist_slice) && distances(flip_slice) && distances(twist_flip) &&
           distances(corner_slice) && distances(edge_slice);
}

namespace {

constexpr std::array<char, 8> MAGIC{'T', 'W', 'K', 'S', 'O', 'L', 'V', '3'};
constexpr std::uint32_t TABLE_VERSION = 3;
constexpr const char* TABLE_FILE = SOLVER_TABLE_FILE;

struct FileHeader {
    std::array<char, 8> magic;
    std::uint32_t version;
    std::uint32_t reserved;
    std::uint64_t payload_bytes;
    std::uint64_t checksum;
};
static_assert(sizeof(FileHeader) == 32);

struct Fnv1a {
    std::uint64_t hash = 0xcbf29ce484222325ULL;
    // Eight bytes a step: the byte-wise hash costs a tenth of a second here.
    void add(const void* data, std::size_t size) noexcept {
        const auto* p = static_cast<const unsigned char*>(data);
        std::size_t i = 0;
        for (; i + 8 <= size; i += 8) {
            std::uint64_t word;
            std::memcpy(&word, p + i, 8);
            hash = (hash ^ word) * 0x100000001b3ULL;
            hash ^= hash >> 29;
        }
        for (; i < size; ++i) hash = (hash ^ p[i]) * 0x100000001b3ULL;
    }
};

std::size_t payload_bytes() {
    std::size_t bytes = 0;
    SolverTables probe;
    probe.for_each_table([&](auto& table, std::size_t n) { bytes += n * sizeof(table[0]); });
    return bytes;
}

std::shared_ptr<SolverTables> read_tables(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in) return nullptr;
    FileHeader header{};
    if (!in.read(reinterpret_cast<char*>(&header), sizeof header)) return nullptr;
    if (header.magic != MAGIC || header.version != TABLE_VERSION || header.reserved != 0 ||
        header.payload_bytes != payload_bytes()) {
        return nullptr;
    }
    auto t = std::make_shared<SolverTables>();
    Fnv1a sum;
    bool ok = true;
    t->for_each_table([&](auto& table, std::size_t n) {
        if (!ok) return;
        table.resize(n);
        const std::size_t bytes = n * sizeof(table[0]);
        ok = static_cast<bool>(in.read(reinterpret_cast<char*>(table.data()),
                                       static_cast<std::streamsize>(bytes)));
        if (ok) sum.add(table.data(), bytes);
    });
    if (!ok || sum.hash != header.checksum || in.peek() != std::ifstream::traits_type::eof()) {
        return nullptr;
    }
    if (!t->entries_in_range()) return nullptr;
    t->derive();
    return t;
}

// Written to a private temporary name, then renamed over the file, so that a
// reader sees the old file or the whole new one, never a part.
void write_tables(const std::filesystem::path& directory, SolverTables& t) {
    std::error_code error;
    std::filesystem::create_directories(directory, error);
    static std::atomic<unsigned> serial{0};
    const std::filesystem::path final_path = directory / TABLE_FILE;
    const std::filesystem::path temp_path =
        directory / (std::string(TABLE_FILE) + ".tmp." + std::to_string(::getpid()) + "." +
                     std::to_string(serial.fetch_add(1)));
    FileHeader header{MAGIC, TABLE_VERSION, 0, payload_bytes(), 0};
    Fnv1a sum;
    t.for_each_table(
        [&](auto& table, std::size_t) { sum.add(table.data(), table.size() * sizeof(table[0])); });
    header.checksum = sum.hash;
    bool ok = false;
    {
        std::ofstream out(temp_path, std::ios::binary | std::ios::trunc);
        if (out) {
            out.write(reinterpret_cast<const char*>(&header), sizeof header);
            t.for_each_table([&](auto& table, std::size_t) {
                out.write(reinterpret_cast<const char*>(table.data()),
                          static_cast<std::streamsize>(table.size() * sizeof(table[0])));
            });
            out.flush();
            ok = static_cast<bool>(out);
        }
    }
    if (ok) {
        std::filesystem::rename(temp_path, final_path, error);
        ok = !error;
    }
    if (!ok) std::filesystem::remove(temp_path, error);
}

}  // namespace

std::shared_ptr<const SolverTables> load_solver_tables(const std::filesystem::path& directory) {
    return read_tables(directory / TABLE_FILE);
}

std::shared_ptr<const SolverTables> load_or_build_solver_tables(
    const std::filesystem::path& directory, bool progress, TableSource* source) {
    if (auto loaded = read_tables(directory / TABLE_FILE)) {
        if (source != nullptr) *source = TableSource::loaded;
        return loaded;
    }
    auto built = two_phase::build_tables(progress);
    write_tables(directory, *built);
    if (source != nullptr) *source = TableSource::built;
    return built;
}

std::filesystem::path solver_cache_directory() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "twirlkit";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::filesystem::path(home) / ".cache" / "twirlkit";
    }
    return std::filesystem::temp_directory_path() / "twirlkit";
}

namespace {

// Racing first callers build once; a forked child keeps finished tables.
BuildOnce<std::shared_ptr<const SolverTables>> process_tables;
std::atomic<std::size_t> acquisitions{0};

}  // namespace

const SolverTables& solver_tables() {
    return *process_tables.get([] {
        auto tables = load_or_build_solver_tables(solver_cache_directory(), true);
        acquisitions.fetch_add(1);
        return tables;
    });
}

std::size_t solver_table_acquisitions() noexcept { return acquisitions.load(); }

}  // namespace twirlkit

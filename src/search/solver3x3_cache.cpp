// The table file, and the process's tables.
//
//   magic "TWKSOLV3" | u32 version | u32 0 | u64 payload bytes | u64 checksum
//   | payload: the stored tables back to back in for_each_table order.
//
// The checksum is a 64-bit FNV-1a over the payload's 8-byte words. Any mismatch (magic,
// version, size, checksum, an entry out of range, distances that do not
// hold on a sample) means rebuild.
#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

#include "runtime/buffer_cache.hpp"
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
    const auto symmetries = [](const Table8& t) {
        return std::all_of(t.begin(), t.end(), [](std::uint8_t v) { return v < SYMMETRY_COUNT; });
    };
    return below(corner_class, CORNER_CLASS_COUNT) && below(corner_class_rep, CORNER_PERM_COUNT) &&
           below(ud_edge_conj, UD_EDGE_PERM_COUNT) &&
           symmetries(corner_class_sym) && below(flipslice_class, FLIPSLICE_CLASS_COUNT) &&
           symmetries(flipslice_class_sym) && below(twist_conj, TWIST_COUNT) &&
           std::all_of(flipslice_class_rep.begin(), flipslice_class_rep.end(),
                       [](std::uint32_t v) { return v < FLIPSLICE_COUNT; }) &&
           below(twist_move, TWIST_COUNT) && below(flip_move, FLIP_COUNT) &&
           below(slice_sorted_move, SLICE_SORTED_COUNT) &&
           below(corner_move, CORNER_PERM_COUNT) && below(ud_edge_move, UD_EDGE_PERM_COUNT) &&
           distances(corner_slice) && distances(edge_slice);
}

namespace {

constexpr std::array<char, 8> MAGIC{'T', 'W', 'K', 'S', 'O', 'L', 'V', '3'};
constexpr std::uint32_t TABLE_VERSION = 4;
constexpr const char* TABLE_FILE = SOLVER_TABLE_FILE;
// Entries of each distance table looked at on load.
constexpr std::size_t CHECKED_SAMPLES = 4096;

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

// A file descriptor closed on every way out.
class Fd {
public:
    explicit Fd(int fd) noexcept : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    ~Fd() {
        if (fd_ >= 0) ::close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }

private:
    int fd_;
};

// All `size` bytes through `part` (::read or ::write), which may move fewer.
template <class Byte, class Part>
bool transfer_all(int fd, Byte* p, std::size_t size, Part part) noexcept {
    while (size != 0) {
        const ssize_t moved = part(fd, p, size);
        if (moved < 0 && errno == EINTR) continue;
        if (moved <= 0) return false;
        p += moved;
        size -= static_cast<std::size_t>(moved);
    }
    return true;
}
bool read_all(int fd, void* data, std::size_t size) noexcept {
    return transfer_all(fd, static_cast<char*>(data), size, ::read);
}
bool write_all(int fd, const void* data, std::size_t size) noexcept {
    return transfer_all(fd, static_cast<const char*>(data), size, ::write);
}

// The cache directory, opened, when it is this user's own: a directory owned
// by the user that no other user may write to. A folder that others can
// write (a shared temporary folder, or one made there in advance by another
// user) would let them swap in their own tables or plant links to be
// written through, so it is not used at all.
Fd open_cache_directory(const std::filesystem::path& directory, bool create) {
    if (directory.empty()) return Fd(-1);
    if (create) {
        std::error_code error;
        std::filesystem::create_directories(directory.parent_path(), error);
        ::mkdir(directory.c_str(), 0700);
    }
    Fd dir(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st{};
    if (!dir || ::fstat(dir.get(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid() ||
        (st.st_mode & S_IWOTH) != 0) {
        return Fd(-1);
    }
    return dir;
}

// Temporary names: TABLE_FILE ".tmp." pid "." 16 random hex digits. The pid
// tells a later build whether the writer still lives.
std::string temporary_prefix() { return std::string(TABLE_FILE) + ".tmp."; }

std::string temporary_name() {
    std::uint64_t bits = 0;
    if (::getrandom(&bits, sizeof bits, 0) != static_cast<ssize_t>(sizeof bits)) {
        std::random_device device;
        bits = (std::uint64_t{device()} << 32) ^ device() ^
               static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count());
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(bits));
    return temporary_prefix() + std::to_string(::getpid()) + "." + hex;
}

// Removes the temporary files whose writer is gone (a build killed while
// writing leaves one of up to 68 MB); returns how many.
std::size_t remove_stale_temporaries(int dir) {
    const int listing = ::dup(dir);
    if (listing < 0) return 0;
    DIR* entries = ::fdopendir(listing);
    if (entries == nullptr) {
        ::close(listing);
        return 0;
    }
    const std::string prefix = temporary_prefix();
    std::size_t removed = 0;
    while (const dirent* entry = ::readdir(entries)) {
        const std::string_view name(entry->d_name);
        if (!name.starts_with(prefix)) continue;
        const std::string_view rest = name.substr(prefix.size());
        const std::size_t dot = rest.find('.');
        if (dot == 0 || dot == std::string_view::npos || dot > 9 ||
            !std::all_of(rest.begin(), rest.begin() + static_cast<std::ptrdiff_t>(dot),
                         [](char c) { return c >= '0' && c <= '9'; })) {
            continue;
        }
        const auto pid = static_cast<pid_t>(std::stol(std::string(rest.substr(0, dot))));
        if (pid <= 0 || pid == ::getpid()) continue;
        if (::kill(pid, 0) != 0 && errno == ESRCH && ::unlinkat(dir, entry->d_name, 0) == 0) {
            ++removed;
        }
    }
    ::closedir(entries);
    return removed;
}

// Only a regular file of this user's is read; anything else (a FIFO, whose
// open would wait for a writer, a device, a link) counts as missing. The
// open does not wait, and a regular file reads the same without waiting.
std::shared_ptr<SolverTables> read_tables(const std::filesystem::path& directory) {
    const Fd dir = open_cache_directory(directory, false);
    if (!dir) return nullptr;
    const Fd in(::openat(dir.get(), TABLE_FILE, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
    struct stat st{};
    if (!in || ::fstat(in.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != ::geteuid() ||
        static_cast<std::uint64_t>(st.st_size) != sizeof(FileHeader) + payload_bytes()) {
        return nullptr;
    }
    FileHeader header{};
    if (!read_all(in.get(), &header, sizeof header)) return nullptr;
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
        ok = read_all(in.get(), table.data(), bytes);
        if (ok) sum.add(table.data(), bytes);
    });
    if (!ok || sum.hash != header.checksum || !t->entries_in_range()) return nullptr;
    t->derive();
    // The checksum has no key: it tells a damaged file, not one made
    // elsewhere. Distances that do not hold would send the search astray.
    if (!two_phase::pruning_tables_hold(*t, CHECKED_SAMPLES)) return nullptr;
    return t;
}

// Written to a temporary file that only this call can have made (created
// exclusively, mode 0600, a name no one can guess, no link followed), then
// renamed over the file, so that a reader sees the old file or the whole new
// one, never a part, and whatever stood at the file's name (a link, a FIFO)
// is replaced, not written through.
bool write_tables(const std::filesystem::path& directory, const SolverTables& t) {
    const Fd dir = open_cache_directory(directory, true);
    if (!dir) return false;
    remove_stale_temporaries(dir.get());
    FileHeader header{MAGIC, TABLE_VERSION, 0, payload_bytes(), 0};
    Fnv1a sum;
    auto& tables = const_cast<SolverTables&>(t);  // for_each_table only reads here
    tables.for_each_table(
        [&](auto& table, std::size_t) { sum.add(table.data(), table.size() * sizeof(table[0])); });
    header.checksum = sum.hash;
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 4 && fd < 0; ++attempt) {
        temp = temporary_name();
        fd = ::openat(dir.get(), temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                      0600);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) return false;
    bool ok = true;
    {
        const Fd out(fd);
        ok = write_all(out.get(), &header, sizeof header);
        tables.for_each_table([&](auto& table, std::size_t) {
            ok = ok && write_all(out.get(), table.data(), table.size() * sizeof(table[0]));
        });
    }
    ok = ok && ::renameat(dir.get(), temp.c_str(), dir.get(), TABLE_FILE) == 0;
    if (!ok) ::unlinkat(dir.get(), temp.c_str(), 0);
    return ok;
}

}  // namespace

std::shared_ptr<const SolverTables> load_solver_tables(const std::filesystem::path& directory) {
    return read_tables(directory);
}

bool write_solver_tables(const std::filesystem::path& directory, const SolverTables& tables) {
    return write_tables(directory, tables);
}

std::size_t remove_stale_solver_temporaries(const std::filesystem::path& directory) {
    const Fd dir = open_cache_directory(directory, false);
    return dir ? remove_stale_temporaries(dir.get()) : 0;
}

std::shared_ptr<const SolverTables> load_or_build_solver_tables(
    const std::filesystem::path& directory, const BuildProgress& progress, TableSource* source) {
    try {
        if (auto loaded = read_tables(directory)) {
            if (source != nullptr) *source = TableSource::loaded;
            return loaded;
        }
        auto built = two_phase::build_tables(progress);
        const bool written = write_tables(directory, *built);
        if (source != nullptr) *source = written ? TableSource::built : TableSource::built_unsaved;
        return built;
    } catch (const AllocationError&) {
        throw;
    } catch (const std::bad_alloc&) {
        // Whichever table it was, the user learns what needed the memory.
        throw AllocationError("the 3x3 solver tables", payload_bytes());
    }
}

// No per-user folder (no variable set) means no cache: the tables are kept
// in memory only, never in a shared temporary folder that another user may
// have made first.
std::filesystem::path solver_cache_directory() {
    const char* chosen = std::getenv("TWIRLKIT_CACHE_DIR");
    if (chosen != nullptr && chosen[0] != '\0') return std::filesystem::path(chosen);
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::filesystem::path(xdg) / "twirlkit";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] != '\0') {
        return std::filesystem::path(home) / ".cache" / "twirlkit";
    }
    return {};
}

namespace {

// Racing first callers build once; a forked child keeps finished tables.
BuildOnce<std::shared_ptr<const SolverTables>> process_tables;
std::atomic<std::size_t> acquisitions{0};

}  // namespace

const SolverTables& solver_tables() {
    return *process_tables.get([] {
        auto tables = load_or_build_solver_tables(solver_cache_directory(), {});
        acquisitions.fetch_add(1);
        return tables;
    });
}

TableCache prepare_solver_tables(const std::filesystem::path& directory,
                                 const BuildProgress& progress, bool fill_folder) {
    TableSource source = TableSource::loaded;
    bool acquired_here = false;
    const auto& tables = *process_tables.get([&] {
        auto made = load_or_build_solver_tables(directory, progress, &source);
        acquisitions.fetch_add(1);
        acquired_here = true;
        return made;
    });
    if (!acquired_here && !fill_folder) return TableCache::held;
    if (directory.empty()) return TableCache::none;
    if (acquired_here) {
        if (source == TableSource::loaded) return TableCache::loaded;
        return source == TableSource::built ? TableCache::written : TableCache::unwritable;
    }
    // Held already (from another folder, or none): the folder gets its file
    // unless one of the right size is there.
    if (const Fd dir = open_cache_directory(directory, false)) {
        struct stat st{};
        if (::fstatat(dir.get(), TABLE_FILE, &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            static_cast<std::uint64_t>(st.st_size) == sizeof(FileHeader) + payload_bytes()) {
            return TableCache::loaded;
        }
    }
    return write_tables(directory, tables) ? TableCache::written : TableCache::unwritable;
}

std::size_t solver_table_acquisitions() noexcept { return acquisitions.load(); }

}  // namespace twirlkit

#include "runtime/buffer_cache.hpp"

#include <pthread.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <new>

namespace twirlkit {

namespace {

struct Entry {
    void* data = nullptr;
    std::size_t length = 0;
    std::uint64_t released_at = 0;  // the request count when it was freed
};

// Entries in order of release, oldest first.
struct Cache {
    std::mutex mutex;
    std::array<Entry, CACHE_ENTRIES> entries{};
    std::size_t count = 0;
    std::size_t bytes = 0;
    std::uint64_t requests = 0;
};

Cache& cache() noexcept {
    static Cache* instance = new Cache();  // never destroyed: arrays may outlive exit
    return *instance;
}

// A child of fork() keeps the cached mappings (they are copied with the
// address space) but not a thread that may have held the lock.
void reinit_after_fork() noexcept { new (&cache().mutex) std::mutex(); }

[[maybe_unused]] const int fork_handler = [] {
    cache();
    return pthread_atfork(nullptr, nullptr, &reinit_after_fork);
}();

std::size_t round_length(std::size_t bytes) noexcept {
    const std::size_t unit = bytes >= HUGE_PAGE_BYTES ? HUGE_PAGE_BYTES : PAGE_BYTES;
    const std::size_t length = (bytes + unit - 1) & ~(unit - 1);
    return length == 0 ? unit : length;
}

void remove_at(Cache& c, std::size_t index) noexcept {
    c.bytes -= c.entries[index].length;
    for (std::size_t i = index + 1; i < c.count; ++i) c.entries[i - 1] = c.entries[i];
    --c.count;
    c.entries[c.count] = Entry{};
}

// Moves the entries no loop has asked for within the window (and, with
// `all`, every entry) into `out`; returns how many.
std::size_t take_stale(Cache& c, bool all, std::array<Entry, CACHE_ENTRIES>& out) noexcept {
    std::size_t taken = 0;
    for (std::size_t i = 0; i < c.count;) {
        if (all || c.requests - c.entries[i].released_at > CACHE_REUSE_WINDOW) {
            out[taken++] = c.entries[i];
            remove_at(c, i);
        } else {
            ++i;
        }
    }
    return taken;
}

// Unmapped outside the lock: munmap of a large mapping is not cheap.
std::size_t unmap_all(const std::array<Entry, CACHE_ENTRIES>& entries, std::size_t count) noexcept {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < count; ++i) {
        unmap_pages(entries[i].data, entries[i].length);
        bytes += entries[i].length;
    }
    return bytes;
}

}  // namespace

void* acquire_mapped(std::size_t bytes, std::size_t& length) {
    if (bytes > SIZE_MAX - 2 * HUGE_PAGE_BYTES) throw AllocationError(bytes);
    length = round_length(bytes);
    std::array<Entry, CACHE_ENTRIES> stale{};
    std::size_t stale_count = 0;
    void* data = nullptr;
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        ++c.requests;
        // Newest first: the buffer most likely still in the caches.
        for (std::size_t i = c.count; i-- > 0;) {
            if (c.entries[i].length == length) {
                data = c.entries[i].data;
                remove_at(c, i);
                break;
            }
        }
        stale_count = take_stale(c, false, stale);
    }
    unmap_all(stale, stale_count);
    if (data != nullptr) return data;
    data = map_pages(length);
    if (data == nullptr) {
        // Memory the cache holds may be what is missing: give it back, try once more.
        drop_mapped_cache();
        data = map_pages(length);
        if (data == nullptr) throw AllocationError(bytes);
    }
    return data;
}

std::size_t mapped_length(std::size_t bytes) noexcept { return round_length(bytes); }

void release_mapped(void* data, std::size_t length) noexcept {
    if (data == nullptr) return;
    Entry evicted{};
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        if (c.count == CACHE_ENTRIES) {
            evicted = c.entries[0];
            remove_at(c, 0);
        }
        c.entries[c.count++] = Entry{data, length, c.requests};
        c.bytes += length;
    }
    unmap_pages(evicted.data, evicted.length);
}

std::size_t mapped_cache_bytes() noexcept {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.bytes;
}

std::size_t drop_mapped_cache() noexcept {
    std::array<Entry, CACHE_ENTRIES> dropped{};
    std::size_t count = 0;
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        count = take_stale(c, true, dropped);
    }
    return unmap_all(dropped, count);
}

}  // namespace twirlkit

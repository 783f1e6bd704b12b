#include "cube/buffer_cache.hpp"

#include <pthread.h>
#include <sys/mman.h>

#include <array>
#include <cstdint>
#include <mutex>
#include <new>

namespace twirlkit {

namespace {

struct Entry {
    void* data = nullptr;
    std::size_t length = 0;
};

// Entries in order of release, oldest first.
struct Cache {
    std::mutex mutex;
    std::array<Entry, MAPPED_CACHE_ENTRIES> entries{};
    std::size_t count = 0;
    std::size_t bytes = 0;
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

void* map_aligned(std::size_t length) {
    const std::size_t reserved = length + HUGE_PAGE_BYTES;
    void* raw = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    if (raw == MAP_FAILED) throw AllocationError(length);
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const auto aligned = (start + HUGE_PAGE_BYTES - 1) & ~(std::uintptr_t{HUGE_PAGE_BYTES} - 1);
    // Hand back the unaligned head and the tail beyond the rounded length.
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t end = start + reserved;
    const std::uintptr_t used_end = aligned + length;
    if (end > used_end) ::munmap(reinterpret_cast<void*>(used_end), end - used_end);
    // A kernel that refuses the advice only costs speed.
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void remove_at(Cache& c, std::size_t index) noexcept {
    c.bytes -= c.entries[index].length;
    for (std::size_t i = index + 1; i < c.count; ++i) c.entries[i - 1] = c.entries[i];
    --c.count;
    c.entries[c.count] = Entry{};
}

}  // namespace

void* acquire_mapped(std::size_t bytes, std::size_t& length) {
    if (bytes > SIZE_MAX - 2 * HUGE_PAGE_BYTES) throw AllocationError(bytes);
    length = (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
    if (length == 0) length = HUGE_PAGE_BYTES;
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        // Newest first: the buffer most likely still in the caches.
        for (std::size_t i = c.count; i-- > 0;) {
            if (c.entries[i].length == length) {
                void* data = c.entries[i].data;
                remove_at(c, i);
                return data;
            }
        }
    }
    return map_aligned(length);
}

void release_mapped(void* data, std::size_t length) noexcept {
    if (data == nullptr) return;
    if (length > MAPPED_CACHE_BYTES) {
        ::munmap(data, length);
        return;
    }
    std::array<Entry, MAPPED_CACHE_ENTRIES> evicted{};
    std::size_t evicted_count = 0;
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        while (c.count > 0 &&
               (c.count == MAPPED_CACHE_ENTRIES || c.bytes + length > MAPPED_CACHE_BYTES)) {
            evicted[evicted_count++] = c.entries[0];
            remove_at(c, 0);
        }
        c.entries[c.count++] = Entry{data, length};
        c.bytes += length;
    }
    // Unmapped outside the lock: munmap of a large mapping is not cheap.
    for (std::size_t i = 0; i < evicted_count; ++i) ::munmap(evicted[i].data, evicted[i].length);
}

std::size_t mapped_cache_bytes() noexcept {
    Cache& c = cache();
    std::lock_guard<std::mutex> lock(c.mutex);
    return c.bytes;
}

void drop_mapped_cache() noexcept {
    std::array<Entry, MAPPED_CACHE_ENTRIES> dropped{};
    std::size_t count = 0;
    {
        Cache& c = cache();
        std::lock_guard<std::mutex> lock(c.mutex);
        count = c.count;
        for (std::size_t i = 0; i < count; ++i) dropped[i] = c.entries[i];
        c.entries = {};
        c.count = 0;
        c.bytes = 0;
    }
    for (std::size_t i = 0; i < count; ++i) ::munmap(dropped[i].data, dropped[i].length);
}

}  // namespace twirlkit

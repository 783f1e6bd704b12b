#include "runtime/huge_pages.hpp"

#include <sys/mman.h>

#include <cstdint>

namespace twirlkit {

void* map_pages(std::size_t length) noexcept {
    if (length < HUGE_PAGE_BYTES) {
        void* data = ::mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                            -1, 0);
        return data == MAP_FAILED ? nullptr : data;
    }
    // Over-mapped by a huge page so that an aligned start lies inside.
    const std::size_t reserved = length + HUGE_PAGE_BYTES;
    void* raw = ::mmap(nullptr, reserved, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS,
                       -1, 0);
    if (raw == MAP_FAILED) return nullptr;
    const auto start = reinterpret_cast<std::uintptr_t>(raw);
    const auto aligned = (start + HUGE_PAGE_BYTES - 1) & ~(std::uintptr_t{HUGE_PAGE_BYTES} - 1);
    // Hand back the unaligned head and the tail beyond the length.
    if (aligned > start) ::munmap(raw, aligned - start);
    const std::uintptr_t end = start + reserved;
    const std::uintptr_t used_end = aligned + length;
    if (end > used_end) ::munmap(reinterpret_cast<void*>(used_end), end - used_end);
    ::madvise(reinterpret_cast<void*>(aligned), length, MADV_HUGEPAGE);
    return reinterpret_cast<void*>(aligned);
}

void unmap_pages(void* data, std::size_t length) noexcept {
    if (data != nullptr) ::munmap(data, length);
}

}  // namespace twirlkit

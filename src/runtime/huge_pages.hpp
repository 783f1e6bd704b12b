// Anonymous mappings for large buffers, on transparent huge pages where the
// kernel grants them: the output buffers (runtime/buffer_cache.hpp) and the
// distance tables (search/distance_table.hpp) map through here.
//
// A buffer read at random, a line per read, spans 22 TLB entries per 44 MB
// on 2 MiB pages instead of 11,000 on 4 KiB ones, so the page walk leaves
// the cost of a read; a fresh buffer takes a fault per 2 MiB instead of per
// 4 KiB on its first touch.
#pragma once

#include <cstddef>

namespace twirlkit {

inline constexpr std::size_t PAGE_BYTES = std::size_t{4} << 10;
inline constexpr std::size_t HUGE_PAGE_BYTES = std::size_t{2} << 20;

// `bytes` rounded up to whole huge pages, so that the last page is not split
// off from the advice.
constexpr std::size_t huge_page_length(std::size_t bytes) noexcept {
    return (bytes + HUGE_PAGE_BYTES - 1) & ~(HUGE_PAGE_BYTES - 1);
}

// Read-write zero pages of `length` bytes (a multiple of PAGE_BYTES); from
// HUGE_PAGE_BYTES on, aligned to a huge page and advised for huge pages.
// nullptr when the system refuses. The advice is only advice: without it
// the memory works the same, a little slower.
void* map_pages(std::size_t length) noexcept;
// Gives back what map_pages mapped.
void unmap_pages(void* data, std::size_t length) noexcept;

}  // namespace twirlkit

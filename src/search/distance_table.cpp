#include "search/distance_table.hpp"

#include <sys/mman.h>

#include <atomic>
#include <bit>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "runtime/buffer_cache.hpp"
#include "runtime/parallel.hpp"

namespace twirlkit {

namespace {

constexpr std::uint64_t NIBBLE_ONES = 0x1111111111111111ULL;
constexpr std::uint64_t NIBBLE_TOPS = 0x8888888888888888ULL;
constexpr std::uint64_t NIBBLE_LOW3 = 0x7777777777777777ULL;

// Bit 4k + 3 set exactly where nibble k of x is zero. The low three bits of a
// nibble plus 7 stay inside the nibble, so no carry crosses into the next.
constexpr std::uint64_t zero_nibbles(std::uint64_t x) noexcept {
    return ~(((x & NIBBLE_LOW3) + NIBBLE_LOW3) | x) & NIBBLE_TOPS;
}
static_assert(zero_nibbles(0xF0F0F0F0F0F0F0F0ULL) == 0x0808080808080808ULL);
static_assert(zero_nibbles(0x1000000000000001ULL) == 0x0888888888888880ULL);

// During a level, words are read by every worker while a few nibbles of
// them are being set by others, so every access is atomic. Relaxed order is
// enough: a nibble only ever goes from UNREACHED to the level being written,
// and the levels are ordered by the pool's join.
std::uint64_t load_word(std::uint64_t* words, std::size_t w) noexcept {
    return std::atomic_ref<std::uint64_t>(words[w]).load(std::memory_order_relaxed);
}

std::uint8_t load_nibble(std::uint64_t* words, std::size_t i) noexcept {
    return static_cast<std::uint8_t>((load_word(words, i >> 4) >> ((i & 15) * 4)) & 0xF);
}

// UNREACHED -> value, by clearing the bits that differ. True for the one
// caller that made the change.
bool claim(std::uint64_t* words, std::size_t i, std::uint8_t value) noexcept {
    const unsigned shift = static_cast<unsigned>(i & 15) * 4;
    const std::uint64_t clear = ~(static_cast<std::uint64_t>(DistanceTable::UNREACHED ^ value) << shift);
    const std::uint64_t old =
        std::atomic_ref<std::uint64_t>(words[i >> 4]).fetch_and(clear, std::memory_order_relaxed);
    return ((old >> shift) & 0xF) == DistanceTable::UNREACHED;
}

// Calls f(i) for every i in [begin, end) whose nibble holds `value` (as read
// once per word at the start of that word).
template <class F>
void for_each_at(std::uint64_t* words, std::size_t begin, std::size_t end, std::uint8_t value,
                 F&& f) {
    const std::uint64_t pattern = NIBBLE_ONES * value;
    for (std::size_t w = begin >> 4; w <= (end - 1) >> 4; ++w) {
        std::uint64_t hits = zero_nibbles(load_word(words, w) ^ pattern);
        while (hits != 0) {
            const std::size_t i = w * 16 + static_cast<std::size_t>(std::countr_zero(hits)) / 4;
            hits &= hits - 1;
            if (i >= begin && i < end) f(i);
        }
    }
}

enum class Direction { from_frontier, from_unreached, count_only };

// Positions newly at distance depth + 1, found from the positions at `depth`.
// With count_only nothing is written: it counts the unreached positions that
// have a neighbour at `depth`.
std::uint64_t run_level(const ProductSpace& space, std::uint64_t* words, std::uint8_t depth,
                        Direction direction) {
    std::atomic<std::uint64_t> found{0};
    const auto next = static_cast<std::uint8_t>(depth + 1);
    // About 2187 positions per first coordinate in the corner space; 16 of
    // them keep a chunk well above its hand-off cost.
    parallel_for(0, space.first_count, 16, [&](std::size_t first_begin, std::size_t first_end) {
        std::uint64_t local = 0;
        for (std::size_t first = first_begin; first < first_end; ++first) {
            // A few microseconds of work per first coordinate.
            cancellation_point();
            const std::size_t base = first * space.second_count;
            const std::size_t end = base + space.second_count;
            if (direction == Direction::from_frontier) {
                for_each_at(words, base, end, depth, [&](std::size_t i) {
                    for (std::size_t m = 0; m < space.move_count; ++m) {
                        const std::size_t j = space.successor(first, i - base, m);
                        if (load_nibble(words, j) == DistanceTable::UNREACHED &&
                            claim(words, j, next)) {
                            ++local;
                        }
                    }
                });
            } else {
                for_each_at(words, base, end, DistanceTable::UNREACHED, [&](std::size_t i) {
                    for (std::size_t m = 0; m < space.move_count; ++m) {
                        if (load_nibble(words, space.successor(first, i - base, m)) == depth) {
                            if (direction == Direction::from_unreached) claim(words, i, next);
                            ++local;
                            return;
                        }
                    }
                });
            }
        }
        found.fetch_add(local, std::memory_order_relaxed);
    });
    return found.load(std::memory_order_relaxed);
}

// The table is read at random, a line per position. Mapped on its own, 2 MiB
// aligned and advised for transparent huge pages, 44 MB is 22 TLB entries
// instead of 11,000 4 KiB ones: the page walk leaves the cost of a read.
constexpr std::size_t HUGE_PAGE = std::size_t{2} << 20;

std::uint64_t* map_words(std::size_t bytes) {
    const std::size_t padded = bytes + HUGE_PAGE;
    const auto map = [padded] {
        return ::mmap(nullptr, padded, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    };
    void* mapped = map();
    if (mapped == MAP_FAILED) {
        // Freed output arrays kept for reuse give way to the table.
        drop_mapped_cache();
        mapped = map();
    }
    if (mapped == MAP_FAILED) throw std::bad_alloc();
    const auto start = reinterpret_cast<std::uintptr_t>(mapped);
    const std::uintptr_t aligned = (start + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    const std::uintptr_t end = aligned + bytes;
    if (aligned > start) ::munmap(mapped, aligned - start);
    if (start + padded > end) ::munmap(reinterpret_cast<void*>(end), start + padded - end);
    // Advice only: without it the table works the same, a little slower.
    ::madvise(reinterpret_cast<void*>(aligned), bytes, MADV_HUGEPAGE);
    return reinterpret_cast<std::uint64_t*>(aligned);
}

}  // namespace

void DistanceTable::Unmap::operator()(std::uint64_t* words) const noexcept {
    if (words != nullptr) ::munmap(words, bytes);
}

DistanceTable DistanceTable::search(const ProductSpace& space) {
    DistanceTable table;
    const std::size_t positions = space.positions();
    const std::size_t word_count = (positions + 15) / 16;
    // Whole huge pages, so the last one is not split off from the advice.
    const std::size_t bytes = (word_count * sizeof(std::uint64_t) + HUGE_PAGE - 1) & ~(HUGE_PAGE - 1);
    table.words_ = std::unique_ptr<std::uint64_t[], Unmap>(map_words(bytes), Unmap{bytes});
    table.positions_ = positions;
    std::uint64_t* const words = table.words_.get();
    // Padding nibbles past the last position stay UNREACHED and are never a
    // successor, so they are never visited.
    std::memset(words, 0xFF, bytes);

    words[space.goal >> 4] &= ~(std::uint64_t{UNREACHED} << ((space.goal & 15) * 4));
    table.distribution_.push_back(1);
    std::uint64_t unreached = positions - 1;
    for (std::uint8_t depth = 0; unreached != 0; ++depth) {
        const std::uint64_t frontier = table.distribution_.back();
        if (depth == MAX_DISTANCE) {
            if (run_level(space, words, depth, Direction::count_only) != 0) {
                throw std::length_error("a position lies farther than " +
                                        std::to_string(MAX_DISTANCE) +
                                        " moves: too deep for a 4-bit table");
            }
            break;
        }
        // Expanding the frontier costs a probe per move of each of its
        // positions; searching from the unreached side stops at the first
        // neighbour found, so it wins once the frontier outgrows what is left.
        const Direction direction =
            frontier > unreached / 2 ? Direction::from_unreached : Direction::from_frontier;
        const std::uint64_t found = run_level(space, words, depth, direction);
        if (found == 0) break;
        table.distribution_.push_back(found);
        unreached -= found;
    }
    table.unreached_ = unreached;
    return table;
}

}  // namespace twirlkit

// Breadth-first distances over a coordinate space, one layer per pass of
// the worker pool over the table: the 2x2 distance table
// (search/distance_table.hpp) and the 3x3 solver's pruning tables are all
// found by this one search.
//
// Space: entries first * second_count + second, for first < first_count and
// second < second_count. `neighbours(first, second, visit)` calls visit(j)
// with the index of each neighbour of that entry, and stops when visit
// returns true. The neighbour relation must be symmetric (a move set closed
// under inverses), so that "a neighbour is one closer" reads the same from
// either side and a layer can be found from the frontier outwards or from
// the unreached entries inwards, whichever costs less: expanding the
// frontier costs a probe per move of each of its entries, while an
// unreached entry stops at the first neighbour found in the layer. An entry
// that stands for a position also stored at other indexes yields those
// twins too, so that reaching one of them reaches all.
//
// Entries: a table of byte or 4-bit entries, all unreached at the start.
// During a layer, entries are read by every worker while others set some,
// so every access is atomic. Relaxed order is enough: an entry only ever
// goes from unreached to the layer being written, and the layers are ordered
// by the pool's join.
#pragma once

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/parallel.hpp"

namespace twirlkit {

// A byte an entry; distances up to 254.
class ByteEntries {
public:
    static constexpr unsigned UNREACHED = 0xFF;
    static constexpr unsigned MAX_DISTANCE = 0xFE;

    explicit ByteEntries(std::uint8_t* bytes) noexcept : bytes_(bytes) {}

    unsigned load(std::size_t i) const noexcept {
        return std::atomic_ref<std::uint8_t>(bytes_[i]).load(std::memory_order_relaxed);
    }
    // UNREACHED -> value; true for the one caller that made the change.
    bool claim(std::size_t i, unsigned value) const noexcept {
        std::uint8_t expected = UNREACHED;
        return std::atomic_ref<std::uint8_t>(bytes_[i]).compare_exchange_strong(
            expected, static_cast<std::uint8_t>(value), std::memory_order_relaxed);
    }
    // f(i) for every i in [begin, end) that holds `value`.
    template <class F>
    void for_each_at(std::size_t begin, std::size_t end, unsigned value, F&& f) const {
        for (std::size_t i = begin; i < end; ++i) {
            if (load(i) == value) f(i);
        }
    }

private:
    std::uint8_t* bytes_;
};

namespace detail {

// Bit 4k + 3 set exactly where nibble k of x is zero. The low three bits of a
// nibble plus 7 stay inside the nibble, so no carry crosses into the next.
constexpr std::uint64_t zero_nibbles(std::uint64_t x) noexcept {
    constexpr std::uint64_t TOPS = 0x8888888888888888ULL;
    constexpr std::uint64_t LOW3 = 0x7777777777777777ULL;
    return ~(((x & LOW3) + LOW3) | x) & TOPS;
}
static_assert(zero_nibbles(0xF0F0F0F0F0F0F0F0ULL) == 0x0808080808080808ULL);
static_assert(zero_nibbles(0x1000000000000001ULL) == 0x0888888888888880ULL);

}  // namespace detail

// Four bits an entry, sixteen to a 64-bit word: entry 16 * w + k is nibble
// k of word w (on this little-endian target, byte i / 2 of the table, the
// low nibble first). Distances up to 14; 0xF is unreached.
class NibbleEntries {
public:
    static constexpr unsigned UNREACHED = 0xF;
    static constexpr unsigned MAX_DISTANCE = 14;

    explicit NibbleEntries(std::uint64_t* words) noexcept : words_(words) {}

    static constexpr unsigned in_word(std::uint64_t word, std::size_t i) noexcept {
        return static_cast<unsigned>((word >> ((i & 15) * 4)) & 0xF);
    }
    unsigned load(std::size_t i) const noexcept { return in_word(load_word(i >> 4), i); }
    bool claim(std::size_t i, unsigned value) const noexcept {
        // By clearing the bits that differ from all ones.
        const unsigned shift = static_cast<unsigned>(i & 15) * 4;
        const std::uint64_t clear = ~(std::uint64_t{UNREACHED ^ value} << shift);
        const std::uint64_t old = std::atomic_ref<std::uint64_t>(words_[i >> 4])
                                      .fetch_and(clear, std::memory_order_relaxed);
        return ((old >> shift) & 0xF) == UNREACHED;
    }
    // As for ByteEntries, a word at a time: each word is read once, at the
    // start of its entries.
    template <class F>
    void for_each_at(std::size_t begin, std::size_t end, unsigned value, F&& f) const {
        const std::uint64_t pattern = ONES * value;
        for (std::size_t w = begin >> 4; w <= (end - 1) >> 4; ++w) {
            std::uint64_t hits = detail::zero_nibbles(load_word(w) ^ pattern);
            while (hits != 0) {
                const std::size_t i = w * 16 + static_cast<std::size_t>(std::countr_zero(hits)) / 4;
                hits &= hits - 1;
                if (i >= begin && i < end) f(i);
            }
        }
    }

private:
    static constexpr std::uint64_t ONES = 0x1111111111111111ULL;

    std::uint64_t load_word(std::size_t w) const noexcept {
        return std::atomic_ref<std::uint64_t>(words_[w]).load(std::memory_order_relaxed);
    }

    std::uint64_t* words_;
};

struct BreadthFirstSpace {
    std::size_t first_count;
    std::size_t second_count;
    std::size_t goal;  // the entry every distance is measured to
    // The deepest layer written; entries farther away stay unreached.
    unsigned max_distance;
    // Whether to count, past max_distance, the unreached entries next to the
    // last layer (BreadthFirstLayers::beyond).
    bool count_beyond = false;

    std::size_t entries() const noexcept { return first_count * second_count; }
};

struct BreadthFirstLayers {
    std::vector<std::uint64_t> distribution;  // [d]: entries at distance d
    std::uint64_t unreached = 0;
    std::uint64_t beyond = 0;  // with count_beyond: entries at max_distance + 1
};

namespace detail {

enum class LayerDirection { from_frontier, from_unreached, count_only };

// About this many entries to a chunk keep it well above its hand-off cost.
inline constexpr std::size_t BREADTH_FIRST_CHUNK = std::size_t{1} << 15;

// Entries newly at depth + 1, found from those at `depth`. With count_only
// nothing is written: it counts the unreached entries that have a neighbour
// at `depth`.
template <class Entries, class Neighbours>
std::uint64_t breadth_first_layer(const Entries& entries, const BreadthFirstSpace& space,
                                  const Neighbours& neighbours, unsigned depth,
                                  LayerDirection direction) {
    std::atomic<std::uint64_t> found{0};
    const unsigned next = depth + 1;
    const std::size_t second_count = space.second_count;
    const std::size_t grain = std::max<std::size_t>(1, BREADTH_FIRST_CHUNK / second_count);
    parallel_for(0, space.first_count, grain, [&](std::size_t first_begin, std::size_t first_end) {
        std::uint64_t local = 0;
        for (std::size_t first = first_begin; first < first_end; ++first) {
            // Microseconds of work per first coordinate, at most.
            cancellation_point();
            const std::size_t base = first * second_count;
            if (direction == LayerDirection::from_frontier) {
                entries.for_each_at(base, base + second_count, depth, [&](std::size_t i) {
                    neighbours(first, i - base, [&](std::size_t j) {
                        if (entries.load(j) == Entries::UNREACHED && entries.claim(j, next)) ++local;
                        return false;
                    });
                });
            } else {
                entries.for_each_at(base, base + second_count, Entries::UNREACHED, [&](std::size_t i) {
                    neighbours(first, i - base, [&](std::size_t j) {
                        if (entries.load(j) != depth) return false;
                        if (direction == LayerDirection::from_unreached) entries.claim(i, next);
                        ++local;
                        return true;
                    });
                });
            }
        }
        found.fetch_add(local, std::memory_order_relaxed);
    });
    return found.load(std::memory_order_relaxed);
}

}  // namespace detail

// Distances from space.goal into `entries`, which must hold UNREACHED
// everywhere. Throws what a chunk throws (Cancelled at a cancellation
// point); the entries are then partly written.
template <class Entries, class Neighbours>
BreadthFirstLayers breadth_first(const Entries& entries, const BreadthFirstSpace& space,
                                 const Neighbours& neighbours) {
    using detail::LayerDirection;
    BreadthFirstLayers layers;
    entries.claim(space.goal, 0);
    layers.distribution.push_back(1);
    std::uint64_t unreached = space.entries() - 1;
    for (unsigned depth = 0; unreached != 0; ++depth) {
        if (depth == space.max_distance) {
            if (space.count_beyond) {
                layers.beyond = detail::breadth_first_layer(entries, space, neighbours, depth,
                                                            LayerDirection::count_only);
            }
            break;
        }
        const std::uint64_t frontier = layers.distribution.back();
        const LayerDirection direction = frontier > unreached / 2 ? LayerDirection::from_unreached
                                                                  : LayerDirection::from_frontier;
        const std::uint64_t found =
            detail::breadth_first_layer(entries, space, neighbours, depth, direction);
        if (found == 0) break;
        layers.distribution.push_back(found);
        unreached -= found;
    }
    layers.unreached = unreached;
    return layers;
}

// A cheap look at a table that claims to hold such distances (one read from
// a file, say): the goal at 0, and for each of `samples` entries drawn by
// `random` (a 64-bit generator), every neighbour at most one away, and
// unless the entry is the goal, none other at 0 and one neighbour one
// closer. An entry at `cap` (4-bit tables: 15 or more) needs none closer.
template <class Entries, class Neighbours, class Random>
bool breadth_first_sample_holds(const Entries& entries, const BreadthFirstSpace& space,
                                const Neighbours& neighbours, unsigned cap, std::size_t samples,
                                Random& random) {
    if (entries.load(space.goal) != 0) return false;
    const std::size_t count = space.entries();
    for (std::size_t k = 0; k < samples; ++k) {
        const std::size_t i = static_cast<std::size_t>(random() % count);
        const unsigned d = entries.load(i);
        if (d == 0 && i != space.goal) return false;
        bool near = true;
        bool closer = false;
        neighbours(i / space.second_count, i % space.second_count, [&](std::size_t j) {
            const unsigned n = entries.load(j);
            near = near && n + 1 >= d && n <= d + 1;
            closer = closer || n + 1 == d;
            return !near;
        });
        if (!near || (d != 0 && d != cap && !closer)) return false;
    }
    return true;
}

}  // namespace twirlkit

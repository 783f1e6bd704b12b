#include "search/distance_table.hpp"

#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "runtime/buffer_cache.hpp"
#include "runtime/huge_pages.hpp"
#include "search/breadth_first.hpp"

namespace twirlkit {

namespace {

// The table is read at random, a line per position: on huge pages of its
// own (runtime/huge_pages.hpp).
std::uint64_t* map_words(std::size_t bytes) {
    void* mapped = map_pages(bytes);
    if (mapped == nullptr) {
        // Freed output arrays kept for reuse give way to the table.
        drop_mapped_cache();
        mapped = map_pages(bytes);
    }
    if (mapped == nullptr) throw std::bad_alloc();
    return static_cast<std::uint64_t*>(mapped);
}

}  // namespace

void DistanceTable::Unmap::operator()(std::uint64_t* words) const noexcept {
    unmap_pages(words, bytes);
}

DistanceTable DistanceTable::search(const ProductSpace& space) {
    static_assert(UNREACHED == NibbleEntries::UNREACHED && MAX_DISTANCE == NibbleEntries::MAX_DISTANCE);
    DistanceTable table;
    const std::size_t positions = space.positions();
    const std::size_t word_count = (positions + 15) / 16;
    const std::size_t bytes = huge_page_length(word_count * sizeof(std::uint64_t));
    table.words_ = std::unique_ptr<std::uint64_t[], Unmap>(map_words(bytes), Unmap{bytes});
    table.positions_ = positions;
    // Padding nibbles past the last position stay UNREACHED and are never a
    // successor, so they are never visited.
    std::memset(table.words_.get(), 0xFF, bytes);

    const BreadthFirstSpace shape{space.first_count, space.second_count, space.goal, MAX_DISTANCE,
                                  true};
    BreadthFirstLayers layers = breadth_first(
        NibbleEntries(table.words_.get()), shape,
        [&space](std::size_t first, std::size_t second, auto&& visit) {
            for (std::size_t m = 0; m < space.move_count; ++m) {
                if (visit(space.successor(first, second, m))) return;
            }
        });
    if (layers.beyond != 0) {
        throw std::length_error("a position lies farther than " + std::to_string(MAX_DISTANCE) +
                                " moves: too deep for a 4-bit table");
    }
    table.distribution_ = std::move(layers.distribution);
    table.unreached_ = layers.unreached;
    return table;
}

}  // namespace twirlkit

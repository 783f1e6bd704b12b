// Exact distances over a position space that is the product of two
// coordinates moved by their own tables, found by one breadth-first search
// on the worker pool and kept at 4 bits per position.
//
// Table word (64 bits): n15 n14 ... n1 n0
//   nibble k of word w holds the distance of position 16 * w + k;
//   0xF marks a position the search has not reached.
//
// Position index = first coordinate * second_count + second coordinate. The
// moves must come in inverse pairs (the move set is closed under inverses),
// so that "a successor is one closer" and "a predecessor is one closer" are
// the same test and a level can be found from either side.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <vector>

namespace twirlkit {

struct ProductSpace {
    std::size_t first_count;
    std::size_t second_count;
    std::size_t move_count;
    // [coordinate * move_count + move]: the coordinate after that move.
    std::span<const std::uint16_t> first_moves;
    std::span<const std::uint16_t> second_moves;
    // The position every distance is measured to.
    std::size_t goal;

    std::size_t positions() const noexcept { return first_count * second_count; }
    std::size_t successor(std::size_t first, std::size_t second, std::size_t move) const noexcept {
        return std::size_t{first_moves[first * move_count + move]} * second_count +
               second_moves[second * move_count + move];
    }
};

class DistanceTable {
public:
    static constexpr std::uint8_t UNREACHED = 0xF;
    // Distances 0..14 fit; a space with a deeper position is refused.
    static constexpr std::size_t MAX_DISTANCE = 14;

    DistanceTable() noexcept = default;

    std::size_t size() const noexcept { return positions_; }
    std::uint8_t at(std::size_t index) const noexcept {
        return static_cast<std::uint8_t>((words_[index >> 4] >> ((index & 15) * 4)) & 0xF);
    }
    // Starts fetching the line of `index`, for a batch of reads whose cache
    // misses should overlap.
    void prefetch(std::size_t index) const noexcept { __builtin_prefetch(&words_[index >> 4]); }
    // counts[d] = positions at distance d, up to the largest distance found.
    const std::vector<std::uint64_t>& distribution() const noexcept { return distribution_; }
    std::uint64_t unreached() const noexcept { return unreached_; }
    std::size_t bytes() const noexcept { return words_.get_deleter().bytes; }

    // The search. Levels run as parallel_for over the first coordinate, from
    // the frontier outwards while it is small and from the unreached side
    // once it is large. Throws std::bad_alloc when the table cannot be had,
    // std::length_error past MAX_DISTANCE, and whatever a parallel_for chunk
    // throws; nothing is kept on failure.
    static DistanceTable search(const ProductSpace& space);

private:
    struct Unmap {
        std::size_t bytes;
        void operator()(std::uint64_t* words) const noexcept;
    };
    std::unique_ptr<std::uint64_t[], Unmap> words_{nullptr, Unmap{0}};
    std::size_t positions_ = 0;
    std::vector<std::uint64_t> distribution_;
    std::uint64_t unreached_ = 0;
};

}  // namespace twirlkit

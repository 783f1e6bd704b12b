// The seeded move stream of CubeBatch.random and random_walks. It is part of
// the module's interface: a seed must give the same cubes in every run, on
// every machine, for any number of workers, and in later versions. So it is
// written down here (and in the README), and a golden test pins it.
//
//   key       ChaCha8 (the ChaCha block function with 8 rounds, random.hpp)
//             keyed with the seed's low 32 bits, its high 32 bits, then six
//             zero words;
//   nonce     the cube's (walk's) index in the batch, the block counter from 0;
//   words     the keystream as 32-bit words in block order, each cube from
//             its own stream and its draws in move order;
//   a draw    among r allowed moves: x = next word, p = x * r in 64 bits;
//             while the low 32 bits of p are below 2^32 mod r, redraw; the
//             move is p >> 32 (unbiased, one word nearly always);
//   moves     r is the metric's move count (12 or 18); non-backtracking
//             draws after the first move among the r - 1 moves other than
//             the inverse of the previous one, in index order.
//
// Without a seed the same draws run under a key taken from the entropy
// source that scramble uses.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "runtime/random.hpp"

namespace twirlkit {

// The ChaCha key of a 64-bit seed.
constexpr ChaCha8::Key seed_key(std::uint64_t seed) noexcept {
    return {static_cast<std::uint32_t>(seed), static_cast<std::uint32_t>(seed >> 32), 0, 0, 0, 0, 0, 0};
}

// A fresh key from the calling thread's generator (the entropy source of
// scramble). Throws EntropyError when that generator cannot be seeded.
inline ChaCha8::Key entropy_key() {
    ThreadRng& rng = thread_rng();
    ChaCha8::Key key;
    for (auto& word : key) word = rng.next_u32();
    return key;
}

// A range of draws (1 to 2^32 - 1) with its rejection threshold worked out
// once: the division would cost more than the rest of a draw.
struct DrawRange {
    constexpr explicit DrawRange(std::uint32_t r) noexcept
        : range(r), reject_below(static_cast<std::uint32_t>((std::uint64_t{1} << 32) % r)) {}
    std::uint32_t range;
    std::uint32_t reject_below;
};

// Uniform below `r.range` by multiply-shift with rejection.
template <class Rng>
constexpr std::uint32_t draw_below(Rng& rng, DrawRange r) noexcept {
    const std::uint32_t range = r.range;
    const std::uint32_t reject_below = r.reject_below;
    std::uint64_t product = std::uint64_t{rng.next_u32()} * range;
    while (static_cast<std::uint32_t>(product) < reject_below) [[unlikely]] {
        product = std::uint64_t{rng.next_u32()} * range;
    }
    return static_cast<std::uint32_t>(product >> 32);
}

// The move of one draw: uniform among `all` (the metric's moves), or with
// an `avoid` below all.range among the others (`others` one fewer).
template <class Rng>
constexpr std::uint8_t draw_move(Rng& rng, DrawRange all, DrawRange others, std::uint32_t avoid) noexcept {
    if (avoid >= all.range) return static_cast<std::uint8_t>(draw_below(rng, all));
    const std::uint32_t v = draw_below(rng, others);
    return static_cast<std::uint8_t>(v + (v >= avoid ? 1 : 0));
}

inline constexpr unsigned SEEDED_LANES = 8;

// Fills out[8 * w + lane] with word w of the ChaCha8 block of `key`,
// nonces[lane] and counters[lane], for the eight lanes at once (AVX2 where
// the CPU has it). Word for word the blocks of ChaCha8.
void chacha8_lane_blocks(const ChaCha8::Key& key, const std::uint64_t* nonces,
                         const std::uint64_t* counters, std::uint32_t* out) noexcept;

// The streams of eight consecutive cubes, first_index to first_index + 7,
// each read word by word as ChaCha8(key, nonce = its index) would be. A
// lane whose block is spent is refilled together with every other spent
// lane, so cubes drawing in step share one eight-block refill.
class SeededLanes {
public:
    static constexpr std::size_t WORDS = ChaCha8::BLOCK_WORDS * SEEDED_LANES;

    SeededLanes() noexcept = default;
    SeededLanes(const ChaCha8::Key& key, std::uint64_t first_index) noexcept : key_(key) {
        for (unsigned lane = 0; lane < SEEDED_LANES; ++lane) nonces_[lane] = first_index + lane;
    }

    std::uint32_t next_u32(unsigned lane) noexcept {
        if (next_[lane] == ChaCha8::BLOCK_WORDS) [[unlikely]] {
            refill();
        }
        return words_[SEEDED_LANES * next_[lane]++ + lane];
    }

    // One lane as a generator for draw_below.
    struct Lane {
        SeededLanes& lanes;
        unsigned lane;
        std::uint32_t next_u32() noexcept { return lanes.next_u32(lane); }
    };

private:
    void refill() noexcept;

    ChaCha8::Key key_{};
    std::array<std::uint64_t, SEEDED_LANES> nonces_{};
    std::array<std::uint64_t, SEEDED_LANES> counters_{};
    std::array<std::uint8_t, SEEDED_LANES> next_{ChaCha8::BLOCK_WORDS, ChaCha8::BLOCK_WORDS,
                                                 ChaCha8::BLOCK_WORDS, ChaCha8::BLOCK_WORDS,
                                                 ChaCha8::BLOCK_WORDS, ChaCha8::BLOCK_WORDS,
                                                 ChaCha8::BLOCK_WORDS, ChaCha8::BLOCK_WORDS};
    alignas(32) std::array<std::uint32_t, WORDS> words_;
};

}  // namespace twirlkit

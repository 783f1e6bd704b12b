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

// Uniform below `range` (1 to 2^32 - 1) by multiply-shift with rejection.
template <class Rng>
constexpr std::uint32_t draw_below(Rng& rng, std::uint32_t range) noexcept {
    const auto reject_below = static_cast<std::uint32_t>((std::uint64_t{1} << 32) % range);
    std::uint64_t product = std::uint64_t{rng.next_u32()} * range;
    while (static_cast<std::uint32_t>(product) < reject_below) [[unlikely]] {
        product = std::uint64_t{rng.next_u32()} * range;
    }
    return static_cast<std::uint32_t>(product >> 32);
}

// One cube's stream of moves.
class SeededMoves {
public:
    SeededMoves() noexcept : gen_(ChaCha8::Key{}) {}
    SeededMoves(const ChaCha8::Key& key, std::uint64_t index) noexcept : gen_(key, index) {}

    // The next move among `count`, not `avoid` when avoid < count.
    std::uint8_t next(std::uint32_t count, std::uint32_t avoid) noexcept {
        if (avoid >= count) return static_cast<std::uint8_t>(draw_below(gen_, count));
        const std::uint32_t v = draw_below(gen_, count - 1);
        return static_cast<std::uint8_t>(v + (v >= avoid ? 1 : 0));
    }

private:
    ChaCha8 gen_;
};

}  // namespace twirlkit

// Eight ChaCha8 blocks at once, one per 32-bit lane of a vector: the double
// rounds and the feed-forward shared by the wide stream of random.cpp (eight
// counters of one nonce) and the seeded lanes of seeded_stream.cpp (a nonce
// and counter each). Everything is inlined into its caller, so one body
// serves both the baseline and the AVX2 build of each, with no vector
// passed by value across an ABI boundary.
#pragma once

#include <cstdint>
#include <cstring>

namespace twirlkit::detail {

using ChaChaLanes = std::uint32_t __attribute__((vector_size(32)));

[[gnu::always_inline]] inline void chacha_quarter_round(ChaChaLanes& a, ChaChaLanes& b, ChaChaLanes& c,
                                                        ChaChaLanes& d) noexcept {
    a += b; d ^= a; d = (d << 16) | (d >> 16);
    c += d; b ^= c; b = (b << 12) | (b >> 20);
    a += b; d ^= a; d = (d << 8) | (d >> 24);
    c += d; b ^= c; b = (b << 7) | (b >> 25);
}

// The eight blocks of the input states `in` (word w of lane b is block b's
// word w): word w of block b goes to out[8 * w + b].
[[gnu::always_inline]] inline void chacha8_lanes(const ChaChaLanes (&in)[16], std::uint32_t* out) noexcept {
    ChaChaLanes x[16];
    for (unsigned w = 0; w < 16; ++w) x[w] = in[w];
    for (int r = 0; r < 8; r += 2) {
        chacha_quarter_round(x[0], x[4], x[8], x[12]);
        chacha_quarter_round(x[1], x[5], x[9], x[13]);
        chacha_quarter_round(x[2], x[6], x[10], x[14]);
        chacha_quarter_round(x[3], x[7], x[11], x[15]);
        chacha_quarter_round(x[0], x[5], x[10], x[15]);
        chacha_quarter_round(x[1], x[6], x[11], x[12]);
        chacha_quarter_round(x[2], x[7], x[8], x[13]);
        chacha_quarter_round(x[3], x[4], x[9], x[14]);
    }
    for (unsigned w = 0; w < 16; ++w) {
        const ChaChaLanes word = x[w] + in[w];
        std::memcpy(out + 8 * w, &word, sizeof word);
    }
}

}  // namespace twirlkit::detail

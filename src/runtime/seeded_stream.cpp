#include "runtime/seeded_stream.hpp"

#include <cstring>

#include "runtime/chacha_lanes.hpp"
#include "runtime/cpu_features.hpp"

namespace twirlkit {

namespace {

// Eight ChaCha8 blocks of one key, a lane each, with each lane's own nonce
// and block counter.
using Lanes = detail::ChaChaLanes;
static_assert(SEEDED_LANES == 8, "a lane of the vector per seeded lane");

[[gnu::always_inline]] inline void lane_blocks(const ChaCha8::Key& key, const std::uint64_t* nonces,
                                               const std::uint64_t* counters,
                                               std::uint32_t* out) noexcept {
    constexpr std::uint32_t constants[4] = {0x61707865u, 0x3320646eu, 0x79622d32u, 0x6b206574u};
    Lanes in[16];
    for (unsigned w = 0; w < 4; ++w) in[w] = Lanes{} + constants[w];
    for (unsigned w = 0; w < 8; ++w) in[4 + w] = Lanes{} + key[w];
    for (unsigned b = 0; b < SEEDED_LANES; ++b) {
        in[12][b] = static_cast<std::uint32_t>(counters[b]);
        in[13][b] = static_cast<std::uint32_t>(counters[b] >> 32);
        in[14][b] = static_cast<std::uint32_t>(nonces[b]);
        in[15][b] = static_cast<std::uint32_t>(nonces[b] >> 32);
    }
    detail::chacha8_lanes(in, out);
}

void lane_blocks_baseline(const ChaCha8::Key& key, const std::uint64_t* nonces,
                          const std::uint64_t* counters, std::uint32_t* out) noexcept {
    lane_blocks(key, nonces, counters, out);
}

#if defined(__x86_64__)
[[gnu::target("avx2")]]
#endif
void lane_blocks_avx2(const ChaCha8::Key& key, const std::uint64_t* nonces,
                      const std::uint64_t* counters, std::uint32_t* out) noexcept {
    lane_blocks(key, nonces, counters, out);
}

using LaneRefill = void (*)(const ChaCha8::Key&, const std::uint64_t*, const std::uint64_t*,
                            std::uint32_t*) noexcept;
const LaneRefill lane_refill = detail::avx2_kernels() ? &lane_blocks_avx2 : &lane_blocks_baseline;

}  // namespace

void chacha8_lane_blocks(const ChaCha8::Key& key, const std::uint64_t* nonces,
                         const std::uint64_t* counters, std::uint32_t* out) noexcept {
    lane_refill(key, nonces, counters, out);
}

void SeededLanes::refill() noexcept {
    bool all_spent = true;
    for (unsigned lane = 0; lane < SEEDED_LANES; ++lane) all_spent &= next_[lane] == ChaCha8::BLOCK_WORDS;
    if (all_spent) {
        // Cubes drawing in step: the common case, with nothing to keep.
        chacha8_lane_blocks(key_, nonces_.data(), counters_.data(), words_.data());
        for (unsigned lane = 0; lane < SEEDED_LANES; ++lane) {
            next_[lane] = 0;
            ++counters_[lane];
        }
        return;
    }
    alignas(32) std::array<std::uint32_t, WORDS> fresh;
    chacha8_lane_blocks(key_, nonces_.data(), counters_.data(), fresh.data());
    for (unsigned lane = 0; lane < SEEDED_LANES; ++lane) {
        if (next_[lane] != ChaCha8::BLOCK_WORDS) continue;
        for (unsigned w = 0; w < ChaCha8::BLOCK_WORDS; ++w) {
            words_[SEEDED_LANES * w + lane] = fresh[SEEDED_LANES * w + lane];
        }
        next_[lane] = 0;
        ++counters_[lane];
    }
}

}  // namespace twirlkit

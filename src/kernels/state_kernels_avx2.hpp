// The AVX2 build of the state checks of incoming cubes: four cubes checked
// at once, a cube per 64-bit lane. The portable build and the choice between
// the two are in state_kernels.hpp; both give the same verdicts.
#pragma once

#include <utility>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/state_check.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace twirlkit::detail {

#if defined(__x86_64__)
// Whether the four cubes are all reachable, a cube per 64-bit lane.
template <PackedCube C>
[[gnu::target("avx2")]] inline bool four_reachable_avx2(const C* cubes) noexcept {
    const auto word = [](Word w) { return static_cast<long long>(w); };
    __m256i corner_parity;
    __m256i ok = corner_words_pass(
        _mm256_set_epi64x(word(cubes[3].corner_word()), word(cubes[2].corner_word()),
                          word(cubes[1].corner_word()), word(cubes[0].corner_word())),
        corner_parity);
    if constexpr (C::has_edges) {
        const __m256i zero = _mm256_setzero_si256();
        const __m256i edges =
            _mm256_set_epi64x(word(cubes[3].edge_word()), word(cubes[2].edge_word()),
                              word(cubes[1].edge_word()), word(cubes[0].edge_word()));
        __m256i edge_parity;
        ok = _mm256_and_si256(ok, pieces_once_lanes<C::edge_slots, C::edge_piece_mask>(
                                      edges, edge_parity, std::make_index_sequence<C::edge_slots>{}));
        ok = _mm256_and_si256(ok, _mm256_cmpeq_epi64(_mm256_srli_epi64(edges, SLOT_BITS * C::edge_slots), zero));
        const __m256i flips = _mm256_and_si256(
            edges, _mm256_set1_epi64x(static_cast<long long>(slot_lanes(C::edge_slots) << C::flip_shift)));
        ok = _mm256_and_si256(ok, _mm256_cmpeq_epi64(lane_parity(flips), zero));
        ok = _mm256_and_si256(ok, _mm256_cmpeq_epi64(corner_parity, edge_parity));
    }
    return _mm256_movemask_epi8(ok) == -1;
}
#endif

}  // namespace twirlkit::detail

// The two ways a coordinate numbers the pieces of a cube, written once for
// the 2x2 distance table (search/corner_coords.hpp) and the 3x3 solver.
//
//   permutation rank   Lehmer code of n items, each a rank 0..n-1 met in
//                      list order: sum of c_i * (n-1-i)!, c_i = items after
//                      item i that are smaller than it. The identity ranks 0.
//   orientation code   the first n-1 orientations (0..k-1) as a base-k
//                      number, the first the most significant; the last one
//                      follows from the sum being 0 mod k.
//
// Each helper reads or writes its items through a callable, so that one
// piece of arithmetic serves packed words and unpacked arrays alike.
#pragma once

#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>

namespace twirlkit {

namespace detail {

// Bit counts of 8-bit masks: std::popcount is a library call on x86-64
// builds without the POPCNT instruction.
inline constexpr std::array<std::uint8_t, 256> BYTE_BITS = [] {
    std::array<std::uint8_t, 256> bits{};
    for (unsigned m = 0; m < 256; ++m) bits[m] = static_cast<std::uint8_t>(std::popcount(m));
    return bits;
}();

constexpr unsigned bits_of(std::uint32_t mask) noexcept {
    return BYTE_BITS[mask & 0xFF] + BYTE_BITS[(mask >> 8) & 0xFF];
}

// (N-1-i)!, the weight of item i.
template <std::size_t N>
inline constexpr std::array<std::uint32_t, N> LEHMER_WEIGHTS = [] {
    std::array<std::uint32_t, N> f{};
    f[N - 1] = 1;
    for (std::size_t i = N - 1; i-- > 0;) f[i] = f[i + 1] * static_cast<std::uint32_t>(N - 1 - i);
    return f;
}();

}  // namespace detail

template <std::size_t N>
inline constexpr std::uint32_t PERMUTATION_COUNT = N * PERMUTATION_COUNT<N - 1>;
template <>
inline constexpr std::uint32_t PERMUTATION_COUNT<0> = 1;

template <unsigned Base, std::size_t N>
inline constexpr std::uint32_t ORIENTATION_CODE_COUNT = Base * ORIENTATION_CODE_COUNT<Base, N - 1>;
template <unsigned Base>
inline constexpr std::uint32_t ORIENTATION_CODE_COUNT<Base, 1> = 1;

// The rank of items item(0) .. item(N-1), a permutation of 0..N-1.
template <std::size_t N, class Item>
constexpr std::uint32_t permutation_rank(Item&& item) noexcept {
    static_assert(N >= 1 && N <= 16);
    std::uint32_t rank = 0;
    std::uint32_t unseen = (1u << N) - 1;  // bit r: item r not met yet
    for (std::size_t i = 0; i < N; ++i) {
        const auto r = static_cast<unsigned>(item(i));
        rank += detail::LEHMER_WEIGHTS<N>[i] * detail::bits_of(unseen & ((1u << r) - 1));
        unseen &= ~(1u << r);
    }
    return rank;
}

// The permutation of that rank: put(i, r) for each item i in order.
template <std::size_t N, class Put>
constexpr void permutation_of_rank(std::uint32_t rank, Put&& put) noexcept {
    static_assert(N >= 1 && N <= 16);
    std::uint32_t unseen = (1u << N) - 1;
    for (std::size_t i = 0; i < N; ++i) {
        const std::uint32_t smaller = rank / detail::LEHMER_WEIGHTS<N>[i];
        rank %= detail::LEHMER_WEIGHTS<N>[i];
        // The (smaller)-th lowest item not met yet.
        std::uint32_t left = unseen;
        for (std::uint32_t k = 0; k < smaller; ++k) left &= left - 1;
        const auto r = static_cast<unsigned>(std::countr_zero(left));
        unseen &= ~(1u << r);
        put(i, r);
    }
}

// The code of orientations orientation(0) .. orientation(N-2), each below Base.
template <unsigned Base, std::size_t N, class Orientation>
constexpr std::uint32_t orientation_code(Orientation&& orientation) noexcept {
    std::uint32_t code = 0;
    for (std::size_t i = 0; i + 1 < N; ++i) {
        code = code * Base + static_cast<std::uint32_t>(orientation(i));
    }
    return code;
}

// The N orientations of that code, last one included: put(i, o) for each i.
template <unsigned Base, std::size_t N, class Put>
constexpr void orientations_of_code(std::uint32_t code, Put&& put) noexcept {
    unsigned sum = 0;
    for (std::size_t i = N - 1; i-- > 0;) {
        const unsigned o = code % Base;
        code /= Base;
        sum += o;
        put(i, o);
    }
    put(N - 1, (Base - sum % Base) % Base);
}

// The same over arrays of small numbers.
template <std::size_t N>
constexpr std::uint32_t permutation_rank(const std::array<std::uint8_t, N>& items) noexcept {
    return permutation_rank<N>([&](std::size_t i) { return items[i]; });
}
template <std::size_t N>
constexpr std::array<std::uint8_t, N> permutation_of_rank(std::uint32_t rank) noexcept {
    std::array<std::uint8_t, N> items{};
    permutation_of_rank<N>(rank, [&](std::size_t i, unsigned r) {
        items[i] = static_cast<std::uint8_t>(r);
    });
    return items;
}

static_assert(PERMUTATION_COUNT<8> == 40320 && ORIENTATION_CODE_COUNT<3, 8> == 2187);
static_assert(permutation_rank(std::array<std::uint8_t, 4>{0, 1, 2, 3}) == 0);
static_assert(permutation_rank(std::array<std::uint8_t, 4>{3, 2, 1, 0}) == 23);
static_assert(permutation_of_rank<4>(23) == std::array<std::uint8_t, 4>{3, 2, 1, 0});

}  // namespace twirlkit

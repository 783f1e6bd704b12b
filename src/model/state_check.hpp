// States that come in from outside: packed words and sticker rows, checked
// to be reachable by quarter turns from solved before they become cubes, so
// that a batch never holds a state the turns could not have made.
//
// A row is reachable exactly when every piece is an existing piece and
// occurs once, the corner twists sum to 0 (mod 3), the edge flips are even,
// and (with edges) the corner and edge permutations have the same parity.
// The checks run in a fixed order and the first one that fails is the
// reported reason, so a row always gets the same message.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/views.hpp"

#if defined(__x86_64__)
#include <immintrin.h>
#endif

namespace twirlkit {

// Why a row is not a reachable state; `where` and `values` are what the
// message names (a sticker position, a slot, a piece, a sum).
struct StateFault {
    enum class Kind : std::uint8_t {
        none,
        code_range,        // where: sticker position; values[0]: the code, read as
                           // unsigned where values[1] is 1
        colour_count,      // where: colour; values[0]: count, values[1]: expected
        centre,            // where: sticker position; values[0]: its colour, values[1]: its face's
        unknown_corner,    // where: corner slot; values: the three colours
        unknown_edge,      // where: edge slot; values: the two colours
        high_bits,         // where: 0 corner word, 1 edge word
        orientation,       // where: corner slot (orientation 3)
        edge_piece,        // where: edge slot; values[0]: the piece number
        repeated_corner,   // values[0]: the piece
        repeated_edge,     // values[0]: the piece
        twist,             // values[0]: the sum mod 3
        flip,              // values[0]: the sum mod 2
        parity,            // values[0]: corner parity, values[1]: edge parity
    };
    Kind kind = Kind::none;
    unsigned where = 0;
    std::array<std::int64_t, 3> values{};

    explicit constexpr operator bool() const noexcept { return kind != Kind::none; }
};

// The reason in words, without the row: "the corner twists sum to 1 (mod 3)".
std::string describe(const StateFault& fault);

// The corner word's faults by stage, so that a 3x3 can put those of its
// edge word between them and keep the documented order: `contents` the bits
// above the last slot or a slot's orientation 3, `pieces` a repeated piece,
// `twist` the twist sum. `parity` is the permutation parity of the pieces
// (0 even, 1 odd) when the first two stages pass.
struct CornerCheck {
    StateFault contents;
    StateFault pieces;
    StateFault twist;
    unsigned parity = 0;

    constexpr StateFault first() const noexcept {
        return contents ? contents : pieces ? pieces : twist;
    }
};

// Permutation parity from the inversion count: each piece adds the number of
// larger pieces already seen, of which only the parity is kept. The parity
// of a 12-bit mask is folded by hand: without a popcount instruction in the
// target, std::popcount is a library call, which measured 5x slower here.
constexpr unsigned inversions_before(std::uint32_t seen, unsigned piece) noexcept {
    std::uint32_t x = seen >> (piece + 1);
    x ^= x >> 8;
    x ^= x >> 4;
    x ^= x >> 2;
    x ^= x >> 1;
    return x & 1;
}

namespace detail {

// Bit 0 of each of the first `count` slots.
constexpr Word slot_lanes(unsigned count) noexcept {
    Word lanes = 0;
    for (unsigned k = 0; k < count; ++k) lanes |= Word{1} << (SLOT_BITS * k);
    return lanes;
}

constexpr unsigned bit_parity(Word x) noexcept {
    x ^= x >> 32;
    x ^= x >> 16;
    x ^= x >> 8;
    x ^= x >> 4;
    x ^= x >> 2;
    x ^= x >> 1;
    return static_cast<unsigned>(x & 1);
}

// Whether the pieces (the bits `PieceMask` of the first Count slots) are
// 0..Count-1, each once; `parity` receives their permutation parity. Each
// piece XORs in the mask of the larger pieces already seen: the parity of
// all those masks' bits together is the parity of the inversion count, so
// one fold at the end replaces a fold per piece. No branch.
template <unsigned Count, Word PieceMask>
constexpr bool pieces_once(Word word, unsigned& parity) noexcept {
    std::uint32_t seen = 0;
    std::uint32_t larger = 0;
    [&]<unsigned... K>(std::integer_sequence<unsigned, K...>) {
        ((larger ^= seen >> (((word >> (SLOT_BITS * K)) & PieceMask) + 1),
          seen |= 1U << ((word >> (SLOT_BITS * K)) & PieceMask)),
         ...);
    }(std::make_integer_sequence<unsigned, Count>{});
    parity = bit_parity(larger);
    return seen == (1U << Count) - 1;
}

// The verdict of check_corner_word for a word that passes, without the
// reason for one that fails. The orientations sit in 5-bit lanes, so one
// multiply sums all eight (at most 24) into the top lane.
constexpr bool corner_word_passes(Word word, unsigned& parity) noexcept {
    constexpr Word lanes = slot_lanes(CORNER_COUNT);
    const Word o = (word >> ORIENTATION_SHIFT) & (lanes * 3);
    const Word twist = ((o * lanes) >> (SLOT_BITS * (CORNER_COUNT - 1))) & SLOT_MASK;
    const bool pieces = pieces_once<CORNER_COUNT, CORNER_PIECE_MASK>(word, parity);
    return ((word >> (SLOT_BITS * CORNER_COUNT)) == 0) & ((o & (o >> 1) & lanes) == 0) &
           (twist % 3 == 0) & pieces;
}

#if defined(__x86_64__)
// The same verdicts for four cubes at once, one per 64-bit lane (AVX2).
template <std::size_t K, Word PieceMask>
[[gnu::target("avx2"), gnu::always_inline]] inline void piece_step(__m256i word, __m256i& seen,
                                                                   __m256i& larger) noexcept {
    const __m256i one = _mm256_set1_epi64x(1);
    const __m256i piece = _mm256_and_si256(_mm256_srli_epi64(word, SLOT_BITS * K),
                                           _mm256_set1_epi64x(static_cast<long long>(PieceMask)));
    larger = _mm256_xor_si256(larger, _mm256_srlv_epi64(seen, _mm256_add_epi64(piece, one)));
    seen = _mm256_or_si256(seen, _mm256_sllv_epi64(one, piece));
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i lane_parity(__m256i x) noexcept {
    x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 32));
    x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 16));
    x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 8));
    x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 4));
    x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 2));
    x = _mm256_xor_si256(x, _mm256_srli_epi64(x, 1));
    return _mm256_and_si256(x, _mm256_set1_epi64x(1));
}

// All ones in the lanes whose pieces are 0..Count-1 each once; `parity`
// receives each lane's permutation parity.
template <unsigned Count, Word PieceMask, std::size_t... K>
[[gnu::target("avx2"), gnu::always_inline]] inline __m256i pieces_once_lanes(
    __m256i word, __m256i& parity, std::index_sequence<K...>) noexcept {
    __m256i seen = _mm256_setzero_si256();
    __m256i larger = _mm256_setzero_si256();
    (piece_step<K, PieceMask>(word, seen, larger), ...);
    parity = lane_parity(larger);
    return _mm256_cmpeq_epi64(seen, _mm256_set1_epi64x((1LL << Count) - 1));
}

[[gnu::target("avx2"), gnu::always_inline]] inline __m256i corner_words_pass(__m256i word,
                                                                            __m256i& parity) noexcept {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i lanes = _mm256_set1_epi64x(static_cast<long long>(slot_lanes(CORNER_COUNT)));
    const __m256i o = _mm256_and_si256(_mm256_srli_epi64(word, ORIENTATION_SHIFT),
                                       _mm256_set1_epi64x(static_cast<long long>(slot_lanes(CORNER_COUNT) * 3)));
    // The eight orientations summed by folding the lanes onto slot 0.
    __m256i twist = _mm256_add_epi64(o, _mm256_srli_epi64(o, SLOT_BITS * 4));
    twist = _mm256_add_epi64(twist, _mm256_srli_epi64(twist, SLOT_BITS * 2));
    twist = _mm256_add_epi64(twist, _mm256_srli_epi64(twist, SLOT_BITS));
    twist = _mm256_and_si256(twist, _mm256_set1_epi64x(static_cast<long long>(SLOT_MASK)));
    // Bit t of this constant is set for the multiples of 3 up to 24.
    const __m256i multiple_of_3 = _mm256_and_si256(
        _mm256_srlv_epi64(_mm256_set1_epi64x(0x1249249), twist), _mm256_set1_epi64x(1));
    __m256i ok = pieces_once_lanes<CORNER_COUNT, CORNER_PIECE_MASK>(
        word, parity, std::make_index_sequence<CORNER_COUNT>{});
    ok = _mm256_and_si256(ok, _mm256_cmpeq_epi64(_mm256_srli_epi64(word, SLOT_BITS * CORNER_COUNT), zero));
    ok = _mm256_and_si256(
        ok, _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_and_si256(o, _mm256_srli_epi64(o, 1)), lanes), zero));
    return _mm256_and_si256(ok, _mm256_cmpeq_epi64(multiple_of_3, _mm256_set1_epi64x(1)));
}
#endif

}  // namespace detail

// Zero high bits and slot contents, each piece once, twist sum 0 (mod 3).
// A passing word takes the branch-free road; a failing one is walked slot by
// slot for the first fault of each stage.
constexpr CornerCheck check_corner_word(Word word) noexcept {
    using K = StateFault::Kind;
    CornerCheck check;
    if (unsigned parity = 0; detail::corner_word_passes(word, parity)) {
        check.parity = parity;
        return check;
    }
    if (word >> (SLOT_BITS * CORNER_COUNT)) {
        check.contents = {K::high_bits, 0, {}};
        return check;
    }
    std::uint32_t seen = 0;
    unsigned twist = 0;
    unsigned inversions = 0;
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const auto v = static_cast<unsigned>(slot_value(word, k));
        const unsigned o = v >> ORIENTATION_SHIFT;
        if (o == 3) {
            check.contents = {K::orientation, k, {}};
            return check;
        }
        const unsigned piece = v & CORNER_PIECE_MASK;
        if ((seen & (1U << piece)) && !check.pieces) check.pieces = {K::repeated_corner, 0, {piece}};
        inversions += inversions_before(seen, piece);
        seen |= 1U << piece;
        twist += o;
    }
    if (twist % 3 != 0) check.twist = {K::twist, 0, {twist % 3}};
    check.parity = inversions & 1;
    return check;
}

namespace detail {

inline constexpr std::uint8_t NO_PIECE = 0xFF;

// Slot value (piece | orientation << 3) of the corner that shows colours
// a, b, c on facelets 0, 1, 2, at index 36a + 6b + c; NO_PIECE where no
// corner shows them.
consteval std::array<std::uint8_t, 216> corner_by_colours() {
    std::array<std::uint8_t, 216> t{};
    t.fill(NO_PIECE);
    for (unsigned j = 0; j < CORNER_COUNT; ++j)
        for (unsigned o = 0; o < 3; ++o) {
            const unsigned a = CORNER_COLOURS[3 * j + o % 3];
            const unsigned b = CORNER_COLOURS[3 * j + (1 + o) % 3];
            const unsigned c = CORNER_COLOURS[3 * j + (2 + o) % 3];
            t[36 * a + 6 * b + c] = static_cast<std::uint8_t>(j | (o << ORIENTATION_SHIFT));
        }
    return t;
}

// Slot value (piece | flip << 4) of the edge showing a, b on facelets 0, 1.
consteval std::array<std::uint8_t, 36> edge_by_colours() {
    std::array<std::uint8_t, 36> t{};
    t.fill(NO_PIECE);
    for (unsigned j = 0; j < EDGE_COUNT; ++j)
        for (unsigned f = 0; f < 2; ++f) {
            const unsigned a = EDGE_COLOURS[2 * j + f];
            const unsigned b = EDGE_COLOURS[2 * j + (1 ^ f)];
            t[6 * a + b] = static_cast<std::uint8_t>(j | (f << FLIP_SHIFT));
        }
    return t;
}

inline constexpr auto CORNER_BY_COLOURS = corner_by_colours();
inline constexpr auto EDGE_BY_COLOURS = edge_by_colours();

// The same tables indexed by three-bit codes (64a + 8b + c and 8a + b), with
// NO_PIECE wherever a code is 6 or 7: the fast road needs only to know that
// every code is below 8, which one OR over the row tells.
consteval std::array<std::uint8_t, 512> corner_by_codes() {
    std::array<std::uint8_t, 512> t{};
    t.fill(NO_PIECE);
    for (unsigned a = 0; a < 6; ++a)
        for (unsigned b = 0; b < 6; ++b)
            for (unsigned c = 0; c < 6; ++c) t[64 * a + 8 * b + c] = CORNER_BY_COLOURS[36 * a + 6 * b + c];
    return t;
}
consteval std::array<std::uint8_t, 64> edge_by_codes() {
    std::array<std::uint8_t, 64> t{};
    t.fill(NO_PIECE);
    for (unsigned a = 0; a < 6; ++a)
        for (unsigned b = 0; b < 6; ++b) t[8 * a + b] = EDGE_BY_COLOURS[6 * a + b];
    return t;
}
inline constexpr auto CORNER_BY_CODES = corner_by_codes();
inline constexpr auto EDGE_BY_CODES = edge_by_codes();

// The sticker positions of facelets 0..Facelets-1 of every slot of `kind`.
template <std::size_t Slots, std::size_t Facelets, std::size_t N>
consteval std::array<std::array<std::uint8_t, Facelets>, Slots> facelet_positions(
    const std::array<StickerSource, N>& net, StickerKind kind) {
    std::array<std::array<std::uint8_t, Facelets>, Slots> out{};
    for (std::size_t p = 0; p < N; ++p)
        if (net[p].kind == kind) out[net[p].index][net[p].facelet] = static_cast<std::uint8_t>(p);
    return out;
}

template <class C>
inline constexpr auto CORNER_FACELETS =
    facelet_positions<CORNER_COUNT, 3>(C::sticker_net, StickerKind::corner);
template <class C>
inline constexpr auto EDGE_FACELETS = facelet_positions<EDGE_COUNT, 2>(C::sticker_net, StickerKind::edge);

}  // namespace detail

namespace detail {

// The colours a row shows on the facelets of corner slot s and of edge slot s.
template <PackedCube C, class T>
[[gnu::always_inline]] inline std::array<unsigned, 3> corner_colours(const T* row, unsigned s) noexcept {
    constexpr auto& at = CORNER_FACELETS<C>;
    return {static_cast<unsigned>(row[at[s][0]]), static_cast<unsigned>(row[at[s][1]]),
            static_cast<unsigned>(row[at[s][2]])};
}
template <PackedCube C, class T>
[[gnu::always_inline]] inline std::array<unsigned, 2> edge_colours(const T* row, unsigned s) noexcept {
    constexpr auto& at = EDGE_FACELETS<C>;
    return {static_cast<unsigned>(row[at[s][0]]), static_cast<unsigned>(row[at[s][1]])};
}

// The slot values of a row's pieces into `out`, without branches, for a row
// whose codes are all below 8: false when some slot names no piece (then
// `out` is unspecified).
template <PackedCube C, class T>
bool read_pieces_fast(const T* row, C& out) noexcept {
    Word words[2] = {0, 0};  // the corner word comes first in every layout
    unsigned missing = 0;
    for (unsigned s = 0; s < CORNER_COUNT; ++s) {
        const auto [a, b, c] = corner_colours<C>(row, s);
        const unsigned v = CORNER_BY_CODES[64 * a + 8 * b + c];
        missing |= v;
        words[0] |= Word{v} << (SLOT_BITS * s);
    }
    if constexpr (C::has_edges) {
        for (unsigned s = 0; s < EDGE_COUNT; ++s) {
            const auto [a, b] = edge_colours<C>(row, s);
            const unsigned v = EDGE_BY_CODES[8 * a + b];
            missing |= v;
            words[1] |= Word{v} << (SLOT_BITS * s);
        }
    }
    out = C::from_words(words);
    return (missing & 0x80) == 0;  // NO_PIECE has bit 7, every slot value is below 32
}

// The same for a row of codes 0..5, or the first slot whose colours name no
// piece.
template <PackedCube C, class T>
StateFault read_pieces(const T* row, C& out) noexcept {
    using K = StateFault::Kind;
    if (read_pieces_fast(row, out)) return {};
    for (unsigned s = 0; s < CORNER_COUNT; ++s) {
        const auto [a, b, c] = corner_colours<C>(row, s);
        if (CORNER_BY_COLOURS[36 * a + 6 * b + c] == NO_PIECE) return {K::unknown_corner, s, {a, b, c}};
    }
    if constexpr (C::has_edges) {
        for (unsigned s = 0; s < EDGE_COUNT; ++s) {
            const auto [a, b] = edge_colours<C>(row, s);
            if (EDGE_BY_COLOURS[6 * a + b] == NO_PIECE) return {K::unknown_edge, s, {a, b}};
        }
    }
    return {};
}

template <PackedCube C, std::size_t P, class T>
[[gnu::always_inline]] inline bool centre_holds(const T* row) noexcept {
    constexpr StickerSource source = C::sticker_net[P];
    if constexpr (source.kind == StickerKind::centre) {
        return row[P] == source.index;
    } else {
        return true;
    }
}

// Only the centre positions are read, each against a constant.
template <PackedCube C, class T>
bool centres_fixed(const T* row) noexcept {
    return [row]<std::size_t... P>(std::index_sequence<P...>) {
        return (centre_holds<C, P>(row) & ...);
    }(std::make_index_sequence<C::sticker_dim>{});
}

// The OR of all codes of a row, in four independent chains, unrolled: as a
// loop over an array of four, g++ kept the chains in memory.
template <std::size_t D, class T>
[[gnu::always_inline]] inline std::uint64_t code_bits(const T* row) noexcept {
    return [row]<std::size_t... P>(std::index_sequence<P...>) {
        std::uint64_t a = 0, b = 0, c = 0, d = 0;
        ((*(P % 4 == 0 ? &a : P % 4 == 1 ? &b : P % 4 == 2 ? &c : &d) |= static_cast<std::uint64_t>(row[P])),
         ...);
        return (a | b) | (c | d);
    }(std::make_index_sequence<D>{});
}

// The reason in the documented order: codes, colour counts, centres, pieces,
// then the cube's own check.
template <PackedCube C, class T>
StateFault diagnose_sticker_row(const T* row, C& out) noexcept {
    using K = StateFault::Kind;
    constexpr std::size_t d = C::sticker_dim;
    constexpr auto& net = C::sticker_net;
    for (std::size_t p = 0; p < d; ++p) {
        if (static_cast<std::uint64_t>(row[p]) > 5) {
            return {K::code_range, static_cast<unsigned>(p),
                    {static_cast<std::int64_t>(row[p]), std::is_unsigned_v<T>}};
        }
    }
    std::array<unsigned, FACE_COUNT> counts{};
    for (std::size_t p = 0; p < d; ++p) ++counts[static_cast<std::size_t>(row[p])];
    for (unsigned c = 0; c < FACE_COUNT; ++c) {
        if (counts[c] != d / FACE_COUNT) return {K::colour_count, c, {counts[c], d / FACE_COUNT}};
    }
    for (std::size_t p = 0; p < d; ++p) {
        if (net[p].kind == StickerKind::centre && static_cast<unsigned>(row[p]) != net[p].index) {
            return {K::centre, static_cast<unsigned>(p), {static_cast<std::int64_t>(row[p]), net[p].index}};
        }
    }
    if (const StateFault fault = read_pieces(row, out)) return fault;
    return out.check();
}

}  // namespace detail

// The fast road up to the cube's own check: true when every code is below
// 8, the centres are fixed and every slot shows a piece, and then `out`
// holds those pieces (still to be checked).
template <PackedCube C, class T>
bool read_sticker_row(const T* row, C& out) noexcept {
    // Codes of 6 and 7 pass this test, and the tables of the fast road name
    // no piece for them.
    return detail::code_bits<C::sticker_dim>(row) < 8 && detail::centres_fixed<C>(row) &&
           detail::read_pieces_fast(row, out);
}

// Reads one sticker row into a cube. A row that fails is diagnosed in a
// fixed order: codes out of range, then how often each colour occurs, then
// the fixed centres, then each slot's colours as a piece, and last the
// cube's own check (each piece once, twist, flip, parity). `row` holds
// sticker_dim codes.
//
// Valid rows take a shorter road with the same verdict: when every piece is
// an existing piece and occurs once and the centres are fixed, each colour
// occurs sticker_dim / 6 times, so the counts need no pass of their own.
template <PackedCube C, class T>
StateFault decode_sticker_row(const T* row, C& out) noexcept {
    if (read_sticker_row(row, out) && !out.check()) return {};
    return detail::diagnose_sticker_row(row, out);
}

}  // namespace twirlkit

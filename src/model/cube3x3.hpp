// Cube3x3: the 3x3x3 cube as two packed words and its twelve quarter turns.
//
// corners: ------------------------ c7 c6 c5 c4 c3 c2 c1 c0   (corner_word.hpp)
// edges:   ---- e11 e10 e9 e8 e7 e6 e5 e4 e3 e2 e1 e0
//   edge slot value (5 bits): FPPPP
//     PPPP piece number 0..11, F flip 0/1
//   slots 0-3 UB UR UF UL, 4-7 DB DR DF DL, 8-11 BL BR FR FL.
//
// Each turn is a handful of masks, shifts and ORs on the two words; no table,
// loop or data-dependent branch survives inlining.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/state_check.hpp"
#include "model/turn_cycles.hpp"
#include "model/views.hpp"

namespace twirlkit {

inline constexpr Word SOLVED_EDGES = 0x05A928398A418820ULL;

namespace edge_turn {
inline constexpr Cycle R{{{10, 1, 0}, {1, 9, 0}, {9, 5, 0}, {5, 10, 0}}};
inline constexpr Cycle R_PRIME{{{1, 10, 0}, {10, 5, 0}, {5, 9, 0}, {9, 1, 0}}};
inline constexpr Cycle L{{{3, 11, 0}, {11, 7, 0}, {7, 8, 0}, {8, 3, 0}}};
inline constexpr Cycle L_PRIME{{{3, 8, 0}, {8, 7, 0}, {7, 11, 0}, {11, 3, 0}}};
inline constexpr Cycle F{{{2, 10, 0}, {10, 6, 0}, {6, 11, 0}, {11, 2, 0}}};
inline constexpr Cycle F_PRIME{{{2, 11, 0}, {11, 6, 0}, {6, 10, 0}, {10, 2, 0}}};
inline constexpr Cycle B{{{0, 8, 0}, {8, 4, 0}, {4, 9, 0}, {9, 0, 0}}};
inline constexpr Cycle B_PRIME{{{0, 9, 0}, {9, 4, 0}, {4, 8, 0}, {8, 0, 0}}};
}  // namespace edge_turn

namespace net {
// Corner slots 0 UBL 1 UBR 2 UFR 3 UFL 4 DBL 5 DBR 6 DFR 7 DFL; edge slots
// 0 UB 1 UR 2 UF 3 UL 4 DB 5 DR 6 DF 7 DL 8 BL 9 BR 10 FR 11 FL.
inline constexpr std::array<StickerSource, 54> STICKERS_3X3{
    c(0, 0), e(0, 0),  c(1, 0), e(3, 0),  centre(0), e(1, 0),  c(3, 0), e(2, 0), c(2, 0),  // U
    c(2, 2), e(1, 1),  c(1, 1), e(10, 1), centre(1), e(9, 1),  c(6, 1), e(5, 1), c(5, 2),  // R
    c(3, 2), e(2, 1),  c(2, 1), e(11, 0), centre(2), e(10, 0), c(7, 1), e(6, 1), c(6, 2),  // F
    c(7, 0), e(6, 0),  c(6, 0), e(7, 0),  centre(3), e(5, 0),  c(4, 0), e(4, 0), c(5, 0),  // D
    c(0, 2), e(3, 1),  c(3, 1), e(8, 1),  centre(4), e(11, 1), c(4, 1), e(7, 1), c(7, 2),  // L
    c(1, 2), e(0, 1),  c(0, 1), e(9, 0),  centre(5), e(8, 0),  c(5, 1), e(4, 1), c(4, 2),  // B
};
}  // namespace net

struct Cube3x3 {
    Word corners = SOLVED_CORNERS;
    Word edges = SOLVED_EDGES;

    static constexpr std::size_t sticker_dim = 54;
    static constexpr const auto& sticker_net = net::STICKERS_3X3;
    static constexpr auto turn_cycles = turn_cycles_with_edges(
        {edge_turn::R, edge_turn::R_PRIME, edge_turn::L, edge_turn::L_PRIME, edge_turn::F,
         edge_turn::F_PRIME, edge_turn::B, edge_turn::B_PRIME},
        {0, 0, 0, 0, 1, 1, 1, 1});

    // Word layout: `corners` then `edges`, the columns of a packed row.
    static constexpr std::size_t word_count = 2;
    static constexpr bool has_edges = true;
    // The edge word's slots, for the generic checks: twelve, each a 4-bit
    // piece and its flip bit.
    static constexpr unsigned edge_slots = EDGE_COUNT;
    static constexpr Word edge_piece_mask = EDGE_PIECE_MASK;
    static constexpr unsigned flip_shift = FLIP_SHIFT;
    constexpr std::array<Word, word_count> words() const noexcept { return {corners, edges}; }
    static constexpr Cube3x3 from_words(const Word* w) noexcept { return {w[0], w[1]}; }
    constexpr Word corner_word() const noexcept { return corners; }
    constexpr Word edge_word() const noexcept { return edges; }

    // Zero high bits and slot contents (corner word, then edge word), each
    // piece once, the twist sum, even flips, equal parities: the first that
    // fails is the fault.
    constexpr StateFault check() const noexcept;

    // Quarter turn M, generated from its cycles (turn_cycles.hpp).
    template <MoveIndex M>
    constexpr void turn() noexcept {
        corners = turn_slots<turn_cycles[M].corners>(corners);
        edges = turn_edge_slots<turn_cycles[M]>(edges);
    }

    constexpr bool is_solved() const noexcept {
        return corners == SOLVED_CORNERS && edges == SOLVED_EDGES;
    }

    // Views. Binary text and piece lists are the free binary_text,
    // corner_pieces and edge_pieces of model/views.hpp applied to a word.
    constexpr std::array<std::uint32_t, sticker_dim> to_sticker_array_internal() const noexcept;
    // The batch kernels' hot path: sticker_dim codes straight into a row,
    // as int64 or as any other integer element.
    template <class Out>
    constexpr void project_into(Out* row) const noexcept {
        project_stickers<net::STICKERS_3X3>(corners, edges, row);
    }
    // With Stream as non-temporal stores (see project_stickers).
    template <bool Stream = false>
    void write_sticker_row(std::int64_t* row) const noexcept;
    inline std::vector<std::int64_t> sticker_array_internal() const;
    std::string render_ansi_internal() const;  // render.cpp

    friend constexpr bool operator==(const Cube3x3&, const Cube3x3&) = default;
};

static_assert(sizeof(Cube3x3) == 16);
static_assert(turns_follow_cycles<Cube3x3>());
static_assert(net::STICKERS_3X3.size() == Cube3x3::sticker_dim);

constexpr StateFault Cube3x3::check() const noexcept {
    using K = StateFault::Kind;
    // The branch-free verdict first; only a failing state is walked for its
    // reason.
    unsigned corner_parity = 0;
    unsigned edge_parity = 0;
    constexpr Word flip_bits = detail::slot_lanes(EDGE_COUNT) << FLIP_SHIFT;
    const bool edges_once = detail::pieces_once<EDGE_COUNT, EDGE_PIECE_MASK>(edges, edge_parity);
    if (detail::corner_word_passes(corners, corner_parity) &
        ((edges >> (SLOT_BITS * EDGE_COUNT)) == 0) & edges_once &
        (detail::bit_parity(edges & flip_bits) == 0) & (corner_parity == edge_parity)) {
        return {};
    }
    // The documented order: each word's high bits and slot contents, then
    // each piece once, the twist, the flips and the parities.
    const CornerCheck corner = check_corner_word(corners);
    if (corner.contents) return corner.contents;
    if (edges >> (SLOT_BITS * EDGE_COUNT)) return {K::high_bits, 1, {}};
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        const unsigned piece = static_cast<unsigned>(slot_value(edges, k)) & EDGE_PIECE_MASK;
        if (piece >= EDGE_COUNT) return {K::edge_piece, k, {piece}};
    }
    if (corner.pieces) return corner.pieces;
    std::uint32_t seen = 0;
    unsigned flips = 0;
    unsigned inversions = 0;
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        const auto v = static_cast<unsigned>(slot_value(edges, k));
        const unsigned piece = v & EDGE_PIECE_MASK;
        if (seen & (1U << piece)) return {K::repeated_edge, 0, {piece}};
        inversions += inversions_before(seen, piece);
        seen |= 1U << piece;
        flips += v >> FLIP_SHIFT;
    }
    if (corner.twist) return corner.twist;
    if (flips % 2 != 0) return {K::flip, 0, {1}};
    if ((inversions & 1) != corner.parity) return {K::parity, 0, {corner.parity, inversions & 1}};
    return {};
}

constexpr std::array<std::uint32_t, Cube3x3::sticker_dim> Cube3x3::to_sticker_array_internal() const noexcept {
    std::array<std::uint32_t, sticker_dim> out{};
    project_stickers<net::STICKERS_3X3>(corners, edges, out.data());
    return out;
}

// 54 x (shift, mask, byte load, 8-byte store); no loop, no branch.
template <bool Stream>
inline void Cube3x3::write_sticker_row(std::int64_t* row) const noexcept {
    project_stickers<net::STICKERS_3X3, Stream>(corners, edges, row);
}

inline std::vector<std::int64_t> Cube3x3::sticker_array_internal() const {
    std::vector<std::int64_t> out(sticker_dim);
    write_sticker_row(out.data());
    return out;
}

}  // namespace twirlkit

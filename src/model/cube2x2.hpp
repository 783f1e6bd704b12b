// Cube2x2: the 2x2x2 cube as one packed word, laid out exactly as the 3x3
// corner word (see model/corner_word.hpp), and its twelve quarter turns, which
// are bit for bit the corner halves of the 3x3 turns.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "model/corner_word.hpp"
#include "model/cube.hpp"
#include "model/state_check.hpp"
#include "model/turn_cycles.hpp"
#include "model/views.hpp"

namespace twirlkit {

namespace net {
// The corner cells of each face; slots 0 UBL 1 UBR 2 UFR 3 UFL 4 DBL 5 DBR
// 6 DFR 7 DFL.
inline constexpr std::array<StickerSource, 24> STICKERS_2X2{
    c(0, 0), c(1, 0), c(3, 0), c(2, 0),  // U
    c(2, 2), c(1, 1), c(6, 1), c(5, 2),  // R
    c(3, 2), c(2, 1), c(7, 1), c(6, 2),  // F
    c(7, 0), c(6, 0), c(4, 0), c(5, 0),  // D
    c(0, 2), c(3, 1), c(4, 1), c(7, 2),  // L
    c(1, 2), c(0, 1), c(5, 1), c(4, 2),  // B
};
}  // namespace net

struct Cube2x2 {
    Word state = SOLVED_CORNERS;

    static constexpr std::size_t sticker_dim = 24;
    static constexpr const auto& sticker_net = net::STICKERS_2X2;
    static constexpr auto turn_cycles = corner_turn_cycles();

    // Word layout: the single `state` word, the one column of a packed row.
    static constexpr std::size_t word_count = 1;
    static constexpr bool has_edges = false;
    constexpr std::array<Word, word_count> words() const noexcept { return {state}; }
    static constexpr Cube2x2 from_words(const Word* w) noexcept { return {w[0]}; }
    constexpr Word corner_word() const noexcept { return state; }
    constexpr Word edge_word() const noexcept { return 0; }

    // Zero high bits and slot contents, each piece once, twist sum 0 (mod 3).
    // Any corner permutation is reachable: a 2x2 has no edges to match.
    constexpr StateFault check() const noexcept { return check_corner_word(state).first(); }

    // Quarter turn M, generated from its cycles (turn_cycles.hpp).
    template <MoveIndex M>
    constexpr void turn() noexcept {
        state = turn_slots<turn_cycles[M].corners>(state);
    }

    // Not tolerant of whole-cube rotations: a 2x2 has no fixed centres.
    constexpr bool is_solved() const noexcept { return state == SOLVED_CORNERS; }

    // Views. Binary text and piece lists are the free binary_text and
    // corner_pieces of model/views.hpp applied to `state`.
    constexpr std::array<std::uint32_t, sticker_dim> to_sticker_array_internal() const noexcept;
    // The batch kernels' hot path: sticker_dim codes straight into a row,
    // as int64 or as any other integer element.
    template <class Out>
    constexpr void project_into(Out* row) const noexcept {
        project_stickers<net::STICKERS_2X2>(state, 0, row);
    }
    // With Stream as non-temporal stores (see project_stickers).
    template <bool Stream = false>
    void write_sticker_row(std::int64_t* row) const noexcept;
    inline std::vector<std::int64_t> sticker_array_internal() const;
    std::string render_ansi_internal() const;  // render.cpp

    friend constexpr bool operator==(const Cube2x2&, const Cube2x2&) = default;
};

static_assert(sizeof(Cube2x2) == 8);
static_assert(turns_follow_cycles<Cube2x2>());
static_assert(net::STICKERS_2X2.size() == Cube2x2::sticker_dim);

// The 2x2 net has corner stickers only, so the edge word passed is never read.
constexpr std::array<std::uint32_t, Cube2x2::sticker_dim> Cube2x2::to_sticker_array_internal() const noexcept {
    std::array<std::uint32_t, sticker_dim> out{};
    project_stickers<net::STICKERS_2X2>(state, 0, out.data());
    return out;
}

// 24 x (shift, mask, byte load, 8-byte store); no loop, no branch.
template <bool Stream>
inline void Cube2x2::write_sticker_row(std::int64_t* row) const noexcept {
    project_stickers<net::STICKERS_2X2, Stream>(state, 0, row);
}

inline std::vector<std::int64_t> Cube2x2::sticker_array_internal() const {
    std::vector<std::int64_t> out(sticker_dim);
    write_sticker_row(out.data());
    return out;
}

}  // namespace twirlkit

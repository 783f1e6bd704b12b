// Cube2x2: the 2x2x2 cube as one packed word, laid out exactly as the 3x3
// corner word (see cube/corner_word.hpp), and its twelve quarter turns, which
// are bit for bit the corner halves of the 3x3 turns.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube/views.hpp"

namespace twirlkit {

struct Cube2x2 {
    Word state = SOLVED_CORNERS;

    static constexpr std::size_t sticker_dim = 24;

    constexpr void do_u_move_internal() noexcept { state = layer::u(state); }
    constexpr void do_u_prime_move_internal() noexcept { state = layer::u_prime(state); }
    constexpr void do_d_move_internal() noexcept { state = layer::d(state); }
    constexpr void do_d_prime_move_internal() noexcept { state = layer::d_prime(state); }
    constexpr void do_r_move_internal() noexcept { state = corner_turn::r(state); }
    constexpr void do_r_prime_move_internal() noexcept { state = corner_turn::r_prime(state); }
    constexpr void do_l_move_internal() noexcept { state = corner_turn::l(state); }
    constexpr void do_l_prime_move_internal() noexcept { state = corner_turn::l_prime(state); }
    constexpr void do_f_move_internal() noexcept { state = corner_turn::f(state); }
    constexpr void do_f_prime_move_internal() noexcept { state = corner_turn::f_prime(state); }
    constexpr void do_b_move_internal() noexcept { state = corner_turn::b(state); }
    constexpr void do_b_prime_move_internal() noexcept { state = corner_turn::b_prime(state); }

    // Not tolerant of whole-cube rotations: a 2x2 has no fixed centres.
    constexpr bool is_solved() const noexcept { return state == SOLVED_CORNERS; }

    // Views. Binary text and piece lists are the free binary_text and
    // corner_pieces of cube/views.hpp applied to `state`.
    constexpr std::array<std::uint32_t, sticker_dim> to_sticker_array_internal() const noexcept;
    // The batch kernels' hot path: sticker_dim codes straight into a row;
    // with Stream as non-temporal stores (see project_stickers).
    template <bool Stream = false>
    void write_sticker_row(std::int64_t* row) const noexcept;
    inline std::vector<std::int64_t> sticker_array_internal() const;
    std::string render_ansi_internal() const;  // render.cpp

    friend constexpr bool operator==(const Cube2x2&, const Cube2x2&) = default;
};

static_assert(sizeof(Cube2x2) == 8);
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

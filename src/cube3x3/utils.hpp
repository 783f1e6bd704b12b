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

#include "cube/corner_word.hpp"
#include "cube/cube.hpp"
#include "cube/views.hpp"

namespace twirlkit {

inline constexpr Word SOLVED_EDGES = 0x05A928398A418820ULL;
inline constexpr unsigned EDGE_COUNT = 12;
inline constexpr Word EDGE_PIECE_MASK = 0x0F;
inline constexpr unsigned FLIP_SHIFT = 4;

namespace edge_turn {
// Flip bits (bit 4 of the slot) of the four edges that F/F' and B/B' move.
inline constexpr Word F_FLIPS = 0x0840000400004000ULL;  // slots 2, 6, 10, 11
inline constexpr Word B_FLIPS = 0x0002100001000010ULL;  // slots 0, 4, 8, 9

inline constexpr Cycle R{{{10, 1, 0}, {1, 9, 0}, {9, 5, 0}, {5, 10, 0}}};
inline constexpr Cycle R_PRIME{{{1, 10, 0}, {10, 5, 0}, {5, 9, 0}, {9, 1, 0}}};
inline constexpr Cycle L{{{3, 11, 0}, {11, 7, 0}, {7, 8, 0}, {8, 3, 0}}};
inline constexpr Cycle L_PRIME{{{3, 8, 0}, {8, 7, 0}, {7, 11, 0}, {11, 3, 0}}};
inline constexpr Cycle F{{{2, 10, 0}, {10, 6, 0}, {6, 11, 0}, {11, 2, 0}}};
inline constexpr Cycle F_PRIME{{{2, 11, 0}, {11, 6, 0}, {6, 10, 0}, {10, 2, 0}}};
inline constexpr Cycle B{{{0, 8, 0}, {8, 4, 0}, {4, 9, 0}, {9, 0, 0}}};
inline constexpr Cycle B_PRIME{{{0, 9, 0}, {9, 4, 0}, {4, 8, 0}, {8, 0, 0}}};
}  // namespace edge_turn

struct Cube3x3 {
    Word corners = SOLVED_CORNERS;
    Word edges = SOLVED_EDGES;

    static constexpr std::size_t sticker_dim = 54;

    constexpr void do_u_move_internal() noexcept {
        corners = layer::u(corners);
        edges = layer::u(edges);
    }
    constexpr void do_u_prime_move_internal() noexcept {
        corners = layer::u_prime(corners);
        edges = layer::u_prime(edges);
    }
    constexpr void do_d_move_internal() noexcept {
        corners = layer::d(corners);
        edges = layer::d(edges);
    }
    constexpr void do_d_prime_move_internal() noexcept {
        corners = layer::d_prime(corners);
        edges = layer::d_prime(edges);
    }
    constexpr void do_r_move_internal() noexcept {
        corners = corner_turn::r(corners);
        edges = cycle_slots<edge_turn::R, false>(edges);
    }
    constexpr void do_r_prime_move_internal() noexcept {
        corners = corner_turn::r_prime(corners);
        edges = cycle_slots<edge_turn::R_PRIME, false>(edges);
    }
    constexpr void do_l_move_internal() noexcept {
        corners = corner_turn::l(corners);
        edges = cycle_slots<edge_turn::L, false>(edges);
    }
    constexpr void do_l_prime_move_internal() noexcept {
        corners = corner_turn::l_prime(corners);
        edges = cycle_slots<edge_turn::L_PRIME, false>(edges);
    }
    constexpr void do_f_move_internal() noexcept {
        corners = corner_turn::f(corners);
        edges = cycle_slots<edge_turn::F, false>(edges) ^ edge_turn::F_FLIPS;
    }
    constexpr void do_f_prime_move_internal() noexcept {
        corners = corner_turn::f_prime(corners);
        edges = cycle_slots<edge_turn::F_PRIME, false>(edges) ^ edge_turn::F_FLIPS;
    }
    constexpr void do_b_move_internal() noexcept {
        corners = corner_turn::b(corners);
        edges = cycle_slots<edge_turn::B, false>(edges) ^ edge_turn::B_FLIPS;
    }
    constexpr void do_b_prime_move_internal() noexcept {
        corners = corner_turn::b_prime(corners);
        edges = cycle_slots<edge_turn::B_PRIME, false>(edges) ^ edge_turn::B_FLIPS;
    }

    constexpr bool is_solved() const noexcept {
        return corners == SOLVED_CORNERS && edges == SOLVED_EDGES;
    }

    // Views. Binary text and piece lists are the free binary_text,
    // corner_pieces and edge_pieces of cube/views.hpp applied to a word.
    constexpr std::array<std::uint32_t, sticker_dim> to_sticker_array_internal() const noexcept;
    // The batch kernels' hot path: sticker_dim codes straight into a row;
    // with Stream as non-temporal stores (see project_stickers).
    template <bool Stream = false>
    void write_sticker_row(std::int64_t* row) const noexcept;
    inline std::vector<std::int64_t> sticker_array_internal() const;
    std::string render_ansi_internal() const;  // render.cpp

    friend constexpr bool operator==(const Cube3x3&, const Cube3x3&) = default;
};

static_assert(sizeof(Cube3x3) == 16);
static_assert(net::STICKERS_3X3.size() == Cube3x3::sticker_dim);

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

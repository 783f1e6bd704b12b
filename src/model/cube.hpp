// The cube interface shared by both sizes, and the move index that names the
// twelve quarter turns everywhere outside move text.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <vector>

namespace twirlkit {

// Move index = 2 * face + primed, faces in the order U, D, R, L, F, B.
// Values of 12 and above name no turn and leave a cube unchanged.
using MoveIndex = std::size_t;

inline constexpr MoveIndex MOVE_U = 0;
inline constexpr MoveIndex MOVE_U_PRIME = 1;
inline constexpr MoveIndex MOVE_D = 2;
inline constexpr MoveIndex MOVE_D_PRIME = 3;
inline constexpr MoveIndex MOVE_R = 4;
inline constexpr MoveIndex MOVE_R_PRIME = 5;
inline constexpr MoveIndex MOVE_L = 6;
inline constexpr MoveIndex MOVE_L_PRIME = 7;
inline constexpr MoveIndex MOVE_F = 8;
inline constexpr MoveIndex MOVE_F_PRIME = 9;
inline constexpr MoveIndex MOVE_B = 10;
inline constexpr MoveIndex MOVE_B_PRIME = 11;
inline constexpr MoveIndex MOVE_COUNT = 12;

template <class C>
concept Cube = std::is_trivially_copyable_v<C> && std::is_default_constructible_v<C> &&
               requires(C cube, const C& view, std::int64_t* row) {
    { C::sticker_dim } -> std::convertible_to<std::size_t>;
    cube.do_u_move_internal();
    cube.do_u_prime_move_internal();
    cube.do_d_move_internal();
    cube.do_d_prime_move_internal();
    cube.do_r_move_internal();
    cube.do_r_prime_move_internal();
    cube.do_l_move_internal();
    cube.do_l_prime_move_internal();
    cube.do_f_move_internal();
    cube.do_f_prime_move_internal();
    cube.do_b_move_internal();
    cube.do_b_prime_move_internal();
    { view.is_solved() } -> std::same_as<bool>;
    view.to_sticker_array_internal();
    { view.sticker_array_internal() } -> std::same_as<std::vector<std::int64_t>>;
    { view.render_ansi_internal() } -> std::same_as<std::string>;
    // The hot form of the projection: the sticker_dim codes written in place.
    { view.write_sticker_row(row) } noexcept;
};

// A cube type as the generic kernels see it: besides the turns and views it
// carries what they derive from, its sticker net (one source per sticker
// position), its turns as slot cycles, and its word layout (the packed words
// in row order, the corner word, and the edge word if it has edges).
template <class C>
concept PackedCube = Cube<C> && requires(const C& view, const std::uint64_t* words) {
    requires C::sticker_net.size() == C::sticker_dim;
    requires C::turn_cycles.size() == MOVE_COUNT;
    { C::word_count } -> std::convertible_to<std::size_t>;
    { C::has_edges } -> std::convertible_to<bool>;
    { view.words() } noexcept;
    { C::from_words(words) } noexcept -> std::same_as<C>;
    { view.corner_word() } noexcept -> std::same_as<std::uint64_t>;
    { view.edge_word() } noexcept -> std::same_as<std::uint64_t>;
    // Whether the words are reachable from solved (state_check.hpp).
    { view.check() } noexcept;
};

// A direct 12-way dispatch; an index above 11 is a no-op, not an error.
template <Cube C>
constexpr void apply_move_index_internal(C& cube, MoveIndex move) noexcept {
    switch (move) {
        case MOVE_U: cube.do_u_move_internal(); break;
        case MOVE_U_PRIME: cube.do_u_prime_move_internal(); break;
        case MOVE_D: cube.do_d_move_internal(); break;
        case MOVE_D_PRIME: cube.do_d_prime_move_internal(); break;
        case MOVE_R: cube.do_r_move_internal(); break;
        case MOVE_R_PRIME: cube.do_r_prime_move_internal(); break;
        case MOVE_L: cube.do_l_move_internal(); break;
        case MOVE_L_PRIME: cube.do_l_prime_move_internal(); break;
        case MOVE_F: cube.do_f_move_internal(); break;
        case MOVE_F_PRIME: cube.do_f_prime_move_internal(); break;
        case MOVE_B: cube.do_b_move_internal(); break;
        case MOVE_B_PRIME: cube.do_b_prime_move_internal(); break;
        default: break;
    }
}

}  // namespace twirlkit

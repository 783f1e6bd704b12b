// The cube interface shared by both sizes, and the move index that names the
// twelve quarter turns everywhere outside move text. A cube turns by the
// member template turn<M>(), M a move index.
#pragma once

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "model/faces.hpp"

namespace twirlkit {

// Move index = 2 * face + primed, faces in the order of FACES (faces.hpp).
// Values of 12 and above name no turn and leave a cube unchanged.
using MoveIndex = std::size_t;

inline constexpr MoveIndex MOVE_COUNT = 2 * FACE_COUNT;

constexpr MoveIndex quarter_turn(unsigned face, bool primed) noexcept {
    return 2 * MoveIndex{face} + (primed ? 1 : 0);
}
// The face-turn code of a quarter turn, and the quarter turn of a face turn
// that is not a half turn.
constexpr FaceTurn face_turn_of(MoveIndex move) noexcept {
    return face_turn(static_cast<unsigned>(move / 2), static_cast<unsigned>(move % 2));
}
constexpr MoveIndex quarter_turn_of(FaceTurn turn) noexcept {
    return quarter_turn(face_of(turn), kind_of(turn) == FACE_TURN_PRIME);
}

// The move indexes by name, for the code that names a turn.
namespace detail {
consteval MoveIndex named_turn(char letter, bool primed) {
    return quarter_turn(static_cast<unsigned>(face_of_letter(letter)), primed);
}
}  // namespace detail
inline constexpr MoveIndex MOVE_U = detail::named_turn('U', false);
inline constexpr MoveIndex MOVE_U_PRIME = detail::named_turn('U', true);
inline constexpr MoveIndex MOVE_D = detail::named_turn('D', false);
inline constexpr MoveIndex MOVE_D_PRIME = detail::named_turn('D', true);
inline constexpr MoveIndex MOVE_R = detail::named_turn('R', false);
inline constexpr MoveIndex MOVE_R_PRIME = detail::named_turn('R', true);
inline constexpr MoveIndex MOVE_L = detail::named_turn('L', false);
inline constexpr MoveIndex MOVE_L_PRIME = detail::named_turn('L', true);
inline constexpr MoveIndex MOVE_F = detail::named_turn('F', false);
inline constexpr MoveIndex MOVE_F_PRIME = detail::named_turn('F', true);
inline constexpr MoveIndex MOVE_B = detail::named_turn('B', false);
inline constexpr MoveIndex MOVE_B_PRIME = detail::named_turn('B', true);

namespace detail {
// Whether C has the member template turn<M>() for every move index.
template <class C, std::size_t... M>
consteval bool has_every_turn(std::index_sequence<M...>) {
    return (requires(C cube) { { cube.template turn<M>() } noexcept; } && ...);
}
}  // namespace detail

template <class C>
concept Cube = std::is_trivially_copyable_v<C> && std::is_default_constructible_v<C> &&
               requires(C cube, const C& view, std::int64_t* row) {
    { C::sticker_dim } -> std::convertible_to<std::size_t>;
    requires detail::has_every_turn<C>(std::make_index_sequence<MOVE_COUNT>{});
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

// Quarter turn M, chosen at build time.
template <MoveIndex M, Cube C>
constexpr void apply_turn(C& cube) noexcept {
    static_assert(M < MOVE_COUNT);
    cube.template turn<M>();
}

// A direct 12-way dispatch; an index above 11 is a no-op, not an error. The
// chain of equal tests compiles to one jump table.
template <Cube C>
constexpr void apply_move_index_internal(C& cube, MoveIndex move) noexcept {
    [&cube, move]<std::size_t... M>(std::index_sequence<M...>) {
        (void)((move == M && (apply_turn<M>(cube), true)) || ...);
    }(std::make_index_sequence<MOVE_COUNT>{});
}

}  // namespace twirlkit

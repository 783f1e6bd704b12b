// The six faces, written once: every list of turns, tokens and method names
// is derived from this table.
//
// Two codes name turns:
//
//   move index (quarter turns)   2 * face + primed              0..11
//   face turn (half-turn metric) 3 * face + k, k = 0 clockwise,  0..17
//                                1 counter-clockwise, 2 half turn
//
// so quarter turn m is face turn 3 * (m / 2) + m % 2, the order move text
// spells them in ("U", "U'", "U2").
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace twirlkit {

struct FaceInfo {
    char letter;                    // move text
    unsigned axis;                  // 0 U-D, 1 R-L, 2 F-B
    std::string_view method;        // do_<method>_move, do_<method>_prime_move
};

inline constexpr unsigned FACE_COUNT = 6;
inline constexpr std::array<FaceInfo, FACE_COUNT> FACES{{
    {'U', 0, "u"},
    {'D', 0, "d"},
    {'R', 1, "r"},
    {'L', 1, "l"},
    {'F', 2, "f"},
    {'B', 2, "b"},
}};

// Face turn code and its parts.
using FaceTurn = std::uint8_t;
inline constexpr std::size_t TURNS_PER_FACE = 3;
inline constexpr std::size_t FACE_TURN_COUNT = FACE_COUNT * TURNS_PER_FACE;
inline constexpr unsigned FACE_TURN_CLOCKWISE = 0;
inline constexpr unsigned FACE_TURN_PRIME = 1;
inline constexpr unsigned FACE_TURN_HALF = 2;

constexpr unsigned face_of(FaceTurn turn) noexcept { return turn / TURNS_PER_FACE; }
constexpr unsigned kind_of(FaceTurn turn) noexcept { return turn % TURNS_PER_FACE; }
constexpr unsigned axis_of_face(unsigned face) noexcept { return FACES[face].axis; }
constexpr FaceTurn face_turn(unsigned face, unsigned kind) noexcept {
    return static_cast<FaceTurn>(face * TURNS_PER_FACE + kind);
}
// Quarter turns of a face turn: 1 for clockwise and prime, 2 for a half turn.
constexpr unsigned quarter_count(FaceTurn turn) noexcept {
    return kind_of(turn) == FACE_TURN_HALF ? 2 : 1;
}
// The face turn that undoes `turn`.
constexpr FaceTurn inverse_face_turn(FaceTurn turn) noexcept {
    const unsigned k = kind_of(turn);
    return face_turn(face_of(turn), k == FACE_TURN_HALF ? k : k ^ 1u);
}

// Face index of a face letter, or FACE_COUNT for any other character.
constexpr std::size_t face_of_letter(char c) noexcept {
    for (std::size_t f = 0; f < FACE_COUNT; ++f) {
        if (FACES[f].letter == c) return f;
    }
    return FACE_COUNT;
}

static_assert(inverse_face_turn(face_turn(2, FACE_TURN_PRIME)) == face_turn(2, 0));
static_assert(inverse_face_turn(face_turn(5, FACE_TURN_HALF)) == face_turn(5, FACE_TURN_HALF));
static_assert(face_of_letter('F') == 4 && face_of_letter('x') == FACE_COUNT);

}  // namespace twirlkit

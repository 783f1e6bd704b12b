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
    std::string_view place;         // "top": the method docstrings
};

inline constexpr unsigned FACE_COUNT = 6;
inline constexpr std::array<FaceInfo, FACE_COUNT> FACES{{
    {'U', 0, "u", "top"},
    {'D', 0, "d", "bottom"},
    {'R', 1, "r", "right"},
    {'L', 1, "l", "left"},
    {'F', 2, "f", "front"},
    {'B', 2, "b", "back"},
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

// The move text of every face turn, in face-turn order: "U", "U'", "U2", ...
// Notation: a bare letter turns clockwise, a trailing ' counter-clockwise,
// a trailing 2 twice.
inline constexpr std::array<char, TURNS_PER_FACE> TURN_SUFFIX{'\0', '\'', '2'};

namespace detail {
consteval std::array<std::array<char, 2>, FACE_TURN_COUNT> face_turn_spellings() {
    std::array<std::array<char, 2>, FACE_TURN_COUNT> out{};
    for (std::size_t t = 0; t < FACE_TURN_COUNT; ++t) {
        out[t] = {FACES[face_of(static_cast<FaceTurn>(t))].letter,
                  TURN_SUFFIX[kind_of(static_cast<FaceTurn>(t))]};
    }
    return out;
}
inline constexpr auto FACE_TURN_SPELLINGS = face_turn_spellings();
}  // namespace detail

constexpr std::string_view face_turn_token(FaceTurn turn) noexcept {
    const auto& spelling = detail::FACE_TURN_SPELLINGS[turn];
    return {spelling.data(), spelling[1] == '\0' ? 1u : 2u};
}

consteval std::array<std::string_view, FACE_TURN_COUNT> face_turn_tokens() {
    std::array<std::string_view, FACE_TURN_COUNT> out{};
    for (std::size_t t = 0; t < FACE_TURN_COUNT; ++t) out[t] = face_turn_token(static_cast<FaceTurn>(t));
    return out;
}
inline constexpr std::array<std::string_view, FACE_TURN_COUNT> FACE_TURN_TOKENS = face_turn_tokens();

static_assert(FACE_TURN_TOKENS[0] == "U" && FACE_TURN_TOKENS[1] == "U'" &&
              FACE_TURN_TOKENS[17] == "B2");
static_assert(inverse_face_turn(face_turn(2, FACE_TURN_PRIME)) == face_turn(2, 0));
static_assert(inverse_face_turn(face_turn(5, FACE_TURN_HALF)) == face_turn(5, FACE_TURN_HALF));
static_assert(face_of_letter('F') == 4 && face_of_letter('x') == FACE_COUNT);

}  // namespace twirlkit

// Solutions as move text: quarter-turn move indexes written with the tokens
// that do_moves reads back, one space between tokens.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "model/cube.hpp"

namespace twirlkit {

// In move-index order.
consteval std::array<std::string_view, MOVE_COUNT> quarter_turn_tokens() {
    std::array<std::string_view, MOVE_COUNT> out{};
    for (MoveIndex m = 0; m < MOVE_COUNT; ++m) out[m] = face_turn_token(face_turn_of(m));
    return out;
}
inline constexpr std::array<std::string_view, MOVE_COUNT> QUARTER_TURN_TOKENS = quarter_turn_tokens();

// Appends the tokens of `moves` (each below MOVE_COUNT) to `out`.
inline void append_solution_text(std::span<const std::uint8_t> moves, std::string& out) {
    for (std::size_t k = 0; k < moves.size(); ++k) {
        if (k != 0) out += ' ';
        out += QUARTER_TURN_TOKENS[moves[k]];
    }
}

}  // namespace twirlkit

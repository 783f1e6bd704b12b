// Terminal rendering of a Cube3x3: internal helpers of render_ansi_internal.
#pragma once

#include <string>

#include "model/cube3x3.hpp"

namespace twirlkit {

// The sticker text of a colour letter (W R G Y O B): ESC, its colour
// sequence, the letter, ESC "[0m". Any other character comes back alone.
std::string ansi_color(char letter);

}  // namespace twirlkit

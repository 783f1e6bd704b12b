// Terminal rendering of a Cube2x2: internal helpers of render_ansi_internal.
#pragma once

#include <string>

#include "model/cube2x2.hpp"

namespace twirlkit {

// The sticker text of facelet `facelet` (0..2) of corner slot `slot` (0..7)
// of `state`: the piece's letter at facelet (facelet + orientation) mod 3,
// wrapped in its colour sequence.
std::string get_sticker(Word state, unsigned slot, unsigned facelet);

}  // namespace twirlkit

// The 2x2 as a coloured cross-shaped net: 6 lines, U and D indented 6
// spaces over and under F, the band L F R B separated by 3 spaces.
#include "model/render2x2.hpp"

#include <array>
#include <cstddef>
#include <string>

#include "model/views.hpp"

namespace twirlkit {
namespace {

// Letters by piece and facelet, row 3j for piece j; the 2x2's own copy of
// the corner letters, kept equal to the corner colour table.
constexpr std::array<char, 3 * CORNER_COUNT> CORNER_LETTERS{
    'W', 'B', 'O',  'W', 'R', 'B',  'W', 'G', 'R',  'W', 'O', 'G',
    'Y', 'O', 'B',  'Y', 'B', 'R',  'Y', 'R', 'G',  'Y', 'G', 'O',
};

consteval bool letters_match_colours() {
    for (std::size_t i = 0; i < CORNER_LETTERS.size(); ++i)
        if (CORNER_LETTERS[i] != COLOUR_LETTERS[CORNER_COLOURS[i]]) return false;
    return true;
}
static_assert(letters_match_colours());

}  // namespace

std::string get_sticker(Word state, unsigned slot, unsigned facelet) {
    // Reducing the slot keeps the shift below 64 for any argument.
    const Word v = slot_value(state, slot % CORNER_COUNT);
    std::string out;
    append_sticker_text(out, CORNER_LETTERS[3 * (v & CORNER_PIECE_MASK) + (facelet + (v >> ORIENTATION_SHIFT)) % 3]);
    return out;
}

std::string Cube2x2::render_ansi_internal() const {
    std::array<std::string, sticker_dim> stickers;
    for (std::size_t p = 0; p < sticker_dim; ++p) {
        const StickerSource& s = net::STICKERS_2X2[p];
        stickers[p] = get_sticker(state, s.index, s.facelet);
    }
    return render_net<2>(stickers, 3);
}

}  // namespace twirlkit

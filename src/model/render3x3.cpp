// The 3x3 as a coloured cross-shaped net: 9 lines, U and D indented 7
// spaces over and under F, the band L F R B separated by 2 spaces.
#include "model/render3x3.hpp"

#include <array>
#include <cstddef>
#include <string>

#include "model/views.hpp"

namespace twirlkit {
namespace {

// Letters by piece and facelet, shaped like the colour tables (row 3j for
// corner piece j, row 2j for edge piece j).
constexpr std::array<char, 3 * CORNER_COUNT> CORNER_LETTERS{
    'W', 'B', 'O',  'W', 'R', 'B',  'W', 'G', 'R',  'W', 'O', 'G',
    'Y', 'O', 'B',  'Y', 'B', 'R',  'Y', 'R', 'G',  'Y', 'G', 'O',
};
// Padded to 16 rows like EDGE_COLOURS so any 4-bit piece number reads inside
// the table. The pad rows cannot be reached by turns; '?' is not a colour
// letter, so such a sticker would print bare rather than as a real colour.
constexpr std::array<char, 2 * EDGE_TABLE_ROWS> EDGE_LETTERS{
    'W', 'B',  'W', 'R',  'W', 'G',  'W', 'O',  'Y', 'B',  'Y', 'R',
    'Y', 'G',  'Y', 'O',  'B', 'O',  'B', 'R',  'G', 'R',  'G', 'O',
    '?', '?',  '?', '?',  '?', '?',  '?', '?',
};

consteval bool letters_match_colours() {
    for (std::size_t i = 0; i < CORNER_LETTERS.size(); ++i)
        if (CORNER_LETTERS[i] != COLOUR_LETTERS[CORNER_COLOURS[i]]) return false;
    for (std::size_t i = 0; i < 2 * EDGE_COUNT; ++i)
        if (EDGE_LETTERS[i] != COLOUR_LETTERS[EDGE_COLOURS[i]]) return false;
    return true;
}
static_assert(letters_match_colours());

char sticker_letter(const StickerSource& s, Word corners, Word edges) {
    switch (s.kind) {
        case StickerKind::centre:
            return COLOUR_LETTERS[s.index];
        case StickerKind::corner: {
            const Word v = slot_value(corners, s.index);
            return CORNER_LETTERS[3 * (v & CORNER_PIECE_MASK) + (s.facelet + (v >> ORIENTATION_SHIFT)) % 3];
        }
        case StickerKind::edge: {
            const Word v = slot_value(edges, s.index);
            return EDGE_LETTERS[2 * (v & EDGE_PIECE_MASK) + (s.facelet ^ (v >> FLIP_SHIFT))];
        }
    }
    return '?';
}

}  // namespace

std::string ansi_color(char letter) {
    std::string out;
    append_sticker_text(out, letter);
    return out;
}

std::string Cube3x3::render_ansi_internal() const {
    std::array<std::string, sticker_dim> stickers;
    for (std::size_t p = 0; p < sticker_dim; ++p)
        stickers[p] = ansi_color(sticker_letter(net::STICKERS_3X3[p], corners, edges));
    return render_net<3>(stickers, 2);
}

}  // namespace twirlkit

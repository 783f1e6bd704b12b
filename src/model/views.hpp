// Views shared by both cube sizes: the sticker colour codes, the facelet
// colour tables, the sticker net, the straight-line sticker projection, the
// binary text and piece lists of a packed word, and the terminal net.
//
// Sticker vector: faces U R F D L B, each read row by row as seen from
// outside, U with its B edge on top, D with its F edge on top, the four side
// faces with their U edge on top. 9 stickers a face on the 3x3, 4 on the 2x2.
//
//              U0 U1 U2
//              U3 U4 U5
//              U6 U7 U8
//   L36 L37 L38 F18 F19 F20 R9  R10 R11 B45 B46 B47
//   L39 L40 L41 F21 F22 F23 R12 R13 R14 B48 B49 B50
//   L42 L43 L44 F24 F25 F26 R15 R16 R17 B51 B52 B53
//              D27 D28 D29
//              D30 D31 D32
//              D33 D34 D35
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

#include "model/corner_word.hpp"
#include "model/faces.hpp"

#if defined(__SSE2__) && defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace twirlkit {

// A colour is coded by the position of its home face in the order U R F D L B.
inline constexpr std::uint32_t WHITE = 0;
inline constexpr std::uint32_t RED = 1;
inline constexpr std::uint32_t GREEN = 2;
inline constexpr std::uint32_t YELLOW = 3;
inline constexpr std::uint32_t ORANGE = 4;
inline constexpr std::uint32_t BLUE = 5;

inline constexpr std::array<char, FACE_COUNT> COLOUR_LETTERS{'W', 'R', 'G', 'Y', 'O', 'B'};

// Colours of each piece by facelet as it sits in its home slot, row 3j for
// corner piece j. Corner facelets: the U or D face, then the other two
// counter-clockwise as seen from outside the corner.
inline constexpr std::array<std::uint8_t, 3 * CORNER_COUNT> CORNER_COLOURS{
    WHITE,  BLUE,   ORANGE,  // 0 UBL
    WHITE,  RED,    BLUE,    // 1 UBR
    WHITE,  GREEN,  RED,     // 2 UFR
    WHITE,  ORANGE, GREEN,   // 3 UFL
    YELLOW, ORANGE, BLUE,    // 4 DBL
    YELLOW, BLUE,   RED,     // 5 DBR
    YELLOW, RED,    GREEN,   // 6 DFR
    YELLOW, GREEN,  ORANGE,  // 7 DFL
};

// Row 2j for edge piece j; facelet 0 is the U or D face, or F or B for the
// middle layer. The piece number is a 4-bit field of which only 0..11 occur;
// rows 12..15 exist so that every 4-bit value reads inside the table without
// a bounds branch. They cannot be reached from a solved cube by turns.
inline constexpr std::size_t EDGE_TABLE_ROWS = 16;
inline constexpr std::array<std::uint8_t, 2 * EDGE_TABLE_ROWS> EDGE_COLOURS{
    WHITE,  BLUE,    // 0 UB
    WHITE,  RED,     // 1 UR
    WHITE,  GREEN,   // 2 UF
    WHITE,  ORANGE,  // 3 UL
    YELLOW, BLUE,    // 4 DB
    YELLOW, RED,     // 5 DR
    YELLOW, GREEN,   // 6 DF
    YELLOW, ORANGE,  // 7 DL
    BLUE,   ORANGE,  // 8 BL
    BLUE,   RED,     // 9 BR
    GREEN,  RED,     // 10 FR
    GREEN,  ORANGE,  // 11 FL
    WHITE,  WHITE,  WHITE, WHITE, WHITE, WHITE, WHITE, WHITE,  // 12..15: unreachable
};

namespace detail {

// The colour tables re-indexed by facelet and raw 5-bit slot value, so a
// sticker costs one shift, one mask and one load: the mod-3 of the corner
// twist and the XOR of the edge flip are paid at build time. Every 5-bit
// value has an entry (corner orientation 3 and edge pieces 12..15 included),
// so no slot content can read outside these tables.
using FaceletCodes = std::array<std::array<std::uint8_t, 32>, 3>;

consteval FaceletCodes corner_facelet_codes() {
    FaceletCodes t{};
    for (unsigned k = 0; k < 3; ++k)
        for (unsigned v = 0; v < 32; ++v)
            t[k][v] = CORNER_COLOURS[3 * (v & CORNER_PIECE_MASK) + (k + (v >> ORIENTATION_SHIFT)) % 3];
    return t;
}

consteval FaceletCodes edge_facelet_codes() {
    FaceletCodes t{};
    for (unsigned k = 0; k < 2; ++k)
        for (unsigned v = 0; v < 32; ++v) t[k][v] = EDGE_COLOURS[2 * (v & EDGE_PIECE_MASK) + (k ^ (v >> FLIP_SHIFT))];
    return t;
}

inline constexpr FaceletCodes CORNER_FACELET_CODES = corner_facelet_codes();
inline constexpr FaceletCodes EDGE_FACELET_CODES = edge_facelet_codes();

}  // namespace detail

// Where one sticker position reads its colour: facelet `facelet` of corner or
// edge slot `index`, or the centre of face `index`.
enum class StickerKind : std::uint8_t { centre, corner, edge };

struct StickerSource {
    StickerKind kind;
    std::uint8_t index;
    std::uint8_t facelet;
};

namespace net {
constexpr StickerSource centre(unsigned face) {
    return {StickerKind::centre, static_cast<std::uint8_t>(face), 0};
}
constexpr StickerSource c(unsigned slot, unsigned facelet) {
    return {StickerKind::corner, static_cast<std::uint8_t>(slot), static_cast<std::uint8_t>(facelet)};
}
constexpr StickerSource e(unsigned slot, unsigned facelet) {
    return {StickerKind::edge, static_cast<std::uint8_t>(slot), static_cast<std::uint8_t>(facelet)};
}
// Each cube type lists its own net, one source per sticker position, as
// its static member `sticker_net`.
}  // namespace net

template <StickerSource S>
constexpr std::uint32_t sticker_code(Word corners, Word edges) noexcept {
    if constexpr (S.kind == StickerKind::centre) {
        return S.index;
    } else if constexpr (S.kind == StickerKind::corner) {
        static_assert(S.index < CORNER_COUNT && S.facelet < 3);
        return detail::CORNER_FACELET_CODES[S.facelet][slot_value(corners, S.index)];
    } else {
        static_assert(S.index < EDGE_COUNT && S.facelet < 2);
        return detail::EDGE_FACELET_CODES[S.facelet][slot_value(edges, S.index)];
    }
}

namespace detail {
// One code into its 8-byte cell; with Stream a non-temporal store, which
// skips reading the destination line before overwriting it (the caller
// fences before another thread reads the row).
template <bool Stream, class Out>
[[gnu::always_inline]] constexpr void store_code(Out* at, std::uint32_t code) noexcept {
#if defined(__SSE2__) && defined(__x86_64__)
    if constexpr (Stream) {
        static_assert(sizeof(Out) == sizeof(long long));
        _mm_stream_si64(reinterpret_cast<long long*>(at), static_cast<long long>(code));
        return;
    }
#endif
    *at = static_cast<Out>(code);
}

// Not vectorised by g++'s straight-line (SLP) pass, which packs the codes
// eight to a 64-bit register, stores two of those and reloads them as one
// 16-byte vector to widen: a store-forwarding stall on every cube that took
// half of a 2x2 to_sticker_array. The plain form is one byte load and one
// 8-byte store per sticker.
template <const auto& Net, bool Stream, class Out, std::size_t... P>
[[gnu::optimize("no-tree-slp-vectorize")]] constexpr void project_stickers(
    Word corners, Word edges, Out* out, std::index_sequence<P...>) noexcept {
    (store_code<Stream>(out + P, sticker_code<Net[P]>(corners, edges)), ...);
}
}  // namespace detail

// Writes one code per position of `Net`; every source is a template argument,
// so this expands to straight-line shift/mask/load/store with no loop and no
// branch. `edges` is not read when the net has no edge stickers.
template <const auto& Net, bool Stream = false, class Out>
constexpr void project_stickers(Word corners, Word edges, Out* out) noexcept {
    detail::project_stickers<Net, Stream>(corners, edges, out,
                                          std::make_index_sequence<Net.size()>{});
}

// The word in base 2, bit 63 first, zero-padded to 64 characters.
constexpr std::array<char, 64> binary_text(Word word) noexcept {
    std::array<char, 64> text{};
    for (unsigned i = 0; i < 64; ++i) text[i] = static_cast<char>('0' + ((word >> (63 - i)) & 1));
    return text;
}

// (piece, orientation) per corner slot, fields copied out as stored.
constexpr std::array<std::pair<unsigned, unsigned>, CORNER_COUNT> corner_pieces(Word word) noexcept {
    std::array<std::pair<unsigned, unsigned>, CORNER_COUNT> out{};
    for (unsigned k = 0; k < CORNER_COUNT; ++k) {
        const auto v = static_cast<unsigned>(slot_value(word, k));
        out[k] = {v & 7U, (v >> 3) & 3U};
    }
    return out;
}

// (piece, flip) per edge slot, fields copied out as stored.
constexpr std::array<std::pair<unsigned, unsigned>, EDGE_COUNT> edge_pieces(Word word) noexcept {
    std::array<std::pair<unsigned, unsigned>, EDGE_COUNT> out{};
    for (unsigned k = 0; k < EDGE_COUNT; ++k) {
        const auto v = static_cast<unsigned>(slot_value(word, k));
        out[k] = {static_cast<unsigned>(v & EDGE_PIECE_MASK), static_cast<unsigned>(v >> FLIP_SHIFT) & 1U};
    }
    return out;
}

// SGR colour sequence (the part after ESC) of a colour letter; empty for any
// other character. Orange is palette entry 208 and not bold.
constexpr std::string_view ansi_colour_sequence(char letter) noexcept {
    switch (letter) {
        case 'W': return "[37;1m";
        case 'R': return "[31;1m";
        case 'G': return "[32;1m";
        case 'Y': return "[33;1m";
        case 'O': return "[38;5;208m";
        case 'B': return "[34;1m";
        default: return {};
    }
}

// ESC colour letter ESC "[0m"; a character that is not a colour letter is
// appended alone.
inline void append_sticker_text(std::string& out, char letter) {
    const std::string_view seq = ansi_colour_sequence(letter);
    if (seq.empty()) {
        out += letter;
        return;
    }
    out += '\x1b';
    out += seq;
    out += letter;
    out += "\x1b[0m";
}

// Lays out per-position sticker texts (sticker-vector order) as the net
// above: U and D indented to stand over and under F, the band L F R B with
// `gap` spaces between faces. Each line ends in one line feed.
template <std::size_t Side>
std::string render_net(const std::array<std::string, FACE_COUNT * Side * Side>& stickers, std::size_t gap) {
    constexpr std::size_t U = 0, R = 1, F = 2, D = 3, L = 4, B = 5;
    const std::size_t indent = 2 * Side - 1 + gap;

    std::size_t size = 0;
    for (const std::string& s : stickers) size += s.size();
    size += 2 * Side * (indent + Side - 1) + Side * (4 * (Side - 1) + 3 * gap) + 3 * Side;

    std::string out;
    out.reserve(size);
    const auto row = [&](std::size_t face, std::size_t r) {
        for (std::size_t i = 0; i < Side; ++i) {
            if (i != 0) out += ' ';
            out += stickers[face * Side * Side + r * Side + i];
        }
    };
    for (std::size_t r = 0; r < Side; ++r) {
        out.append(indent, ' ');
        row(U, r);
        out += '\n';
    }
    for (std::size_t r = 0; r < Side; ++r) {
        row(L, r);
        for (std::size_t face : {F, R, B}) {
            out.append(gap, ' ');
            row(face, r);
        }
        out += '\n';
    }
    for (std::size_t r = 0; r < Side; ++r) {
        out.append(indent, ' ');
        row(D, r);
        out += '\n';
    }
    return out;
}

}  // namespace twirlkit

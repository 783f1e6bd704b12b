// Move text: face-letter notation separated by Unicode white space, shared by
// both cube sizes.
//
// A token is a maximal run of bytes that are not white space. White space is
// the 25 code points with the Unicode White_Space property, matched by their
// exact UTF-8 bytes:
//
//   1 byte   09 0A 0B 0C 0D 20
//   2 bytes  C2 85 (U+0085)  C2 A0 (U+00A0)
//   3 bytes  E1 9A 80 (U+1680)
//            E2 80 80..8A (U+2000..U+200A)  E2 80 A8 / A9 (U+2028 / U+2029)
//            E2 80 AF (U+202F)  E2 81 9F (U+205F)
//            E3 80 80 (U+3000)
//
// Every one of those starts with an ASCII byte or a lead byte, never with a
// continuation byte, so matching them at every byte offset splits valid UTF-8
// exactly as decoding it would, and needs no decoder. Bytes that are not
// white space (NUL, the ASCII separators 1C..1F that some string libraries
// treat as space, invalid or truncated sequences) simply belong to a token.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "model/cube.hpp"
#include "model/faces.hpp"

namespace twirlkit {

namespace move_text {

// Byte length of the non-ASCII white-space character at text[at], 0 if none.
constexpr std::size_t multibyte_space_length(std::string_view text, std::size_t at) noexcept {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const std::size_t left = text.size() - at;
    switch (byte(0)) {
        case 0xC2:
            return left >= 2 && (byte(1) == 0x85 || byte(1) == 0xA0) ? 2 : 0;
        case 0xE1:
            return left >= 3 && byte(1) == 0x9A && byte(2) == 0x80 ? 3 : 0;
        case 0xE2: {
            if (left < 3) return 0;
            const unsigned char mid = byte(1);
            const unsigned char last = byte(2);
            if (mid == 0x80) {
                return (last >= 0x80 && last <= 0x8A) || last == 0xA8 || last == 0xA9 ||
                               last == 0xAF
                           ? 3
                           : 0;
            }
            return mid == 0x81 && last == 0x9F ? 3 : 0;
        }
        case 0xE3:
            return left >= 3 && byte(1) == 0x80 && byte(2) == 0x80 ? 3 : 0;
        default:
            return 0;
    }
}

// Byte length of the white-space character at text[at], 0 if there is none.
// Printable ASCII, the bulk of any move text, is settled by the first test.
constexpr std::size_t space_length(std::string_view text, std::size_t at) noexcept {
    const auto lead = static_cast<unsigned char>(text[at]);
    if (lead > 0x20 && lead < 0x80) return 0;
    if (lead < 0x80) return lead == 0x20 || (lead >= 0x09 && lead <= 0x0D) ? 1 : 0;
    return multibyte_space_length(text, at);
}

inline constexpr bool is_face_letter(char c) noexcept { return face_of_letter(c) != FACE_COUNT; }

}  // namespace move_text

// Calls on_token(std::string_view) for every token of `text`, in order. One
// pass, no allocation; each token is a slice of `text`.
template <class F>
constexpr void for_each_token(std::string_view text, F&& on_token) noexcept(
    std::is_nothrow_invocable_v<F&, std::string_view>) {
    const std::size_t size = text.size();
    std::size_t at = 0;
    for (;;) {
        std::size_t space;
        while (at < size && (space = move_text::space_length(text, at)) != 0) at += space;
        if (at == size) return;
        const std::size_t start = at;
        do {
            ++at;
        } while (at < size && move_text::space_length(text, at) == 0);
        on_token(std::string_view(text.data() + start, at - start));
    }
}

namespace move_text {

// A token's turn as its face-turn code (faces.hpp), or NO_TURN. Tokens are told apart by byte length first: every
// spelling of the notation is one or two ASCII bytes, so a multi-byte
// look-alike (a face letter and a typographic prime, say) can never be
// mistaken for one. The code is found with table reads and no branch on the
// token, so that random move text costs one unpredictable jump per token
// (the turn itself), not three.
inline constexpr std::uint8_t NO_TURN = FACE_TURN_COUNT;
inline constexpr std::uint8_t BAD = 0xFF;

consteval std::array<std::uint8_t, 256> face_table() {
    std::array<std::uint8_t, 256> table{};
    for (auto& entry : table) entry = BAD;
    for (std::size_t f = 0; f < FACE_COUNT; ++f) {
        table[static_cast<unsigned char>(FACES[f].letter)] = static_cast<std::uint8_t>(f);
    }
    return table;
}

// Indexed by the second byte, or by 256 for a one-byte token.
consteval std::array<std::uint8_t, 257> kind_table() {
    std::array<std::uint8_t, 257> table{};
    for (auto& entry : table) entry = BAD;
    for (unsigned k = 0; k < TURNS_PER_FACE; ++k) {
        if (TURN_SUFFIX[k] != '\0') table[static_cast<unsigned char>(TURN_SUFFIX[k])] = static_cast<std::uint8_t>(k);
    }
    table['!'] = FACE_TURN_PRIME;  // read as a prime, never written
    table[256] = FACE_TURN_CLOCKWISE;
    return table;
}

inline constexpr std::array<std::uint8_t, 256> FACE_OF = face_table();
inline constexpr std::array<std::uint8_t, 257> KIND_OF = kind_table();

constexpr std::uint8_t turn_code(std::string_view token) noexcept {
    const std::size_t size = token.size();
    const unsigned second = size == 2 ? static_cast<unsigned char>(token[1]) : 256u;
    const unsigned face = FACE_OF[static_cast<unsigned char>(token[0])];
    const unsigned kind = KIND_OF[second];
    const bool valid = size <= 2 && face != BAD && kind != BAD;
    return valid ? face_turn(face, kind) : NO_TURN;
}

// Face turn T as its quarter turns, chosen at build time.
template <FaceTurn T, Cube C>
constexpr void apply_face_turn(C& cube) noexcept {
    constexpr MoveIndex quarter = quarter_turn(face_of(T), kind_of(T) == FACE_TURN_PRIME);
    for (unsigned k = 0; k < quarter_count(T); ++k) apply_turn<quarter>(cube);
}

// An 18-way jump; NO_TURN and any other code turn nothing.
template <Cube C>
constexpr void apply_turn_code(C& cube, std::uint8_t code) noexcept {
    [&cube, code]<std::size_t... T>(std::index_sequence<T...>) {
        (void)((code == T && (apply_face_turn<static_cast<FaceTurn>(T)>(cube), true)) || ...);
    }(std::make_index_sequence<FACE_TURN_COUNT>{});
}

template <Cube C>
constexpr void apply_token(C& cube, std::string_view token) noexcept {
    apply_turn_code(cube, turn_code(token));
}

// Byte classes of the fast path: printable ASCII (a byte of a token) and the
// one-byte white space. Everything else, bytes of 0x80 and above included,
// is left to the general tokenizer.
inline constexpr std::uint8_t OTHER_BYTE = 0;
inline constexpr std::uint8_t TOKEN_BYTE = 1;
inline constexpr std::uint8_t SPACE_BYTE = 2;

consteval std::array<std::uint8_t, 256> byte_classes() {
    std::array<std::uint8_t, 256> table{};
    for (unsigned b = 0x21; b < 0x80; ++b) table[b] = TOKEN_BYTE;
    for (unsigned b = 0x09; b <= 0x0D; ++b) table[b] = SPACE_BYTE;
    table[0x20] = SPACE_BYTE;
    return table;
}

inline constexpr std::array<std::uint8_t, 256> BYTE_CLASS = byte_classes();

}  // namespace move_text

// Applies every recognised token of `text` to `cube` as it is read; anything
// else is skipped, never an error.
//
// Move text is nearly always tokens of one or two ASCII bytes, each followed
// by one ASCII space. Those are read three bytes at a time: three class
// reads settle whether the token is one byte or two, and the turn code and
// the step to the next token follow without a branch on that length, which
// in random move text is a coin toss. The one branch left per token (take
// the fast path or not) is almost always taken the same way; the turn is
// the one unpredictable jump. Anything else (runs of white space, longer
// tokens, non-ASCII bytes, the last token) goes one token at a time through
// the general tokenizer, which defines the result in every case.
template <Cube C>
constexpr void do_moves_internal(C& cube, std::string_view text) noexcept {
    using namespace move_text;
    const std::size_t size = text.size();
    const auto byte = [&text](std::size_t at) { return static_cast<unsigned char>(text[at]); };
    std::size_t at = 0;
    for (;;) {
        while (at + 3 <= size) {
            const unsigned first = byte(at);
            const unsigned second = byte(at + 1);
            const bool two = BYTE_CLASS[second] == TOKEN_BYTE;
            const bool fits = BYTE_CLASS[first] == TOKEN_BYTE &&
                              BYTE_CLASS[two ? byte(at + 2) : second] == SPACE_BYTE;
            if (!fits) break;
            const unsigned face = FACE_OF[first];
            const unsigned kind = KIND_OF[two ? second : 256u];
            const bool valid = face != BAD && kind != BAD;
            apply_turn_code(cube, valid ? face_turn(face, kind) : NO_TURN);
            at += two ? 3 : 2;
        }
        std::size_t space;
        while (at < size && (space = space_length(text, at)) != 0) at += space;
        if (at == size) return;
        const std::size_t start = at;
        do {
            ++at;
        } while (at < size && space_length(text, at) == 0);
        apply_token(cube, std::string_view(text.data() + start, at - start));
    }
}

// The tokens of `text` in reverse order, each inverted, joined by single
// spaces; "" when there are none. A token is a base plus at most one trailing
// modifier (' or 2); a bare face letter X becomes X', X' becomes X, any other
// base is kept, and the modifier is put back. So U' -> U'' and U2 -> U'2:
// stacked modifiers that read as the inverse turn but that do_moves skips.
std::string inverse_scramble_internal(std::string_view text);

}  // namespace twirlkit

#include "model/move_text.hpp"

#include <algorithm>
#include <cstddef>
#include <string>
#include <string_view>

namespace twirlkit {

namespace {

// One token split into base and modifier; `grow` is how many bytes the
// inverse gains (+1 for X -> X', -1 for X' -> X, 0 when the base is kept).
struct TokenParts {
    std::string_view base;
    std::string_view modifier;
    int grow;
};

constexpr TokenParts split_token(std::string_view token) noexcept {
    // Tokens are never empty.
    std::string_view base = token;
    std::string_view modifier;
    const char last = token.back();
    if (last == '\'' || last == '2') {
        base = token.substr(0, token.size() - 1);
        modifier = token.substr(token.size() - 1);
    }
    int grow = 0;
    if (base.size() == 1 && move_text::is_face_letter(base[0])) {
        grow = 1;
    } else if (base.size() == 2 && move_text::is_face_letter(base[0]) && base[1] == '\'') {
        grow = -1;
    }
    return {base, modifier, grow};
}

}  // namespace

std::string inverse_scramble_internal(std::string_view text) {
    // First pass: the exact output length, so the string is allocated once.
    std::size_t length = 0;
    std::size_t count = 0;
    for_each_token(text, [&](std::string_view token) noexcept {
        length += static_cast<std::size_t>(static_cast<std::ptrdiff_t>(token.size()) +
                                           split_token(token).grow);
        ++count;
    });
    if (count == 0) return {};
    length += count - 1;

    // Second pass: the tokens come in forward order, so each inverse is
    // written leftwards from the end of the buffer; the spaces are already
    // there from the fill.
    std::string out(length, ' ');
    std::size_t end = length;
    for_each_token(text, [&](std::string_view token) noexcept {
        const TokenParts parts = split_token(token);
        const std::size_t size =
            static_cast<std::size_t>(static_cast<std::ptrdiff_t>(token.size()) + parts.grow);
        char* at = out.data() + (end - size);
        if (parts.grow == 1) {
            at[0] = parts.base[0];
            at[1] = '\'';
            at += 2;
        } else if (parts.grow == -1) {
            *at++ = parts.base[0];
        } else {
            at = std::copy(parts.base.begin(), parts.base.end(), at);
        }
        if (!parts.modifier.empty()) *at = parts.modifier[0];
        end -= size;
        if (end != 0) --end;
    });
    return out;
}

}  // namespace twirlkit

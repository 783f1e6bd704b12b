// libFuzzer harness for the move-text code: arbitrary bytes go to the
// tokenizer, to do_moves on both cube sizes and to the scramble inverse, and
// each result is checked against a slow reference written for clarity: a
// strict UTF-8 decoder that tests code points against the White_Space list,
// a table of the 24 spellings applied through move indexes, and the inverse
// built with plain string operations.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "model/cube.hpp"
#include "model/move_text.hpp"
#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"

namespace twirlkit {
namespace {

void require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "move text mismatch: %s\n", what);
        std::abort();
    }
}

// One UTF-8 character: its code point, or -1 for a byte that starts no valid
// sequence (which is then taken alone).
struct Decoded {
    long code_point;
    std::size_t length;
};

Decoded decode(std::string_view text, std::size_t at) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[at + k]); };
    const unsigned lead = byte(0);
    std::size_t length;
    unsigned long code_point;
    unsigned long smallest;
    if (lead < 0x80) return {static_cast<long>(lead), 1};
    if ((lead & 0xE0) == 0xC0) {
        length = 2;
        code_point = lead & 0x1F;
        smallest = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
        length = 3;
        code_point = lead & 0x0F;
        smallest = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
        length = 4;
        code_point = lead & 0x07;
        smallest = 0x10000;
    } else {
        return {-1, 1};
    }
    if (text.size() - at < length) return {-1, 1};
    for (std::size_t k = 1; k < length; ++k) {
        if ((byte(k) & 0xC0) != 0x80) return {-1, 1};
        code_point = (code_point << 6) | (byte(k) & 0x3F);
    }
    if (code_point < smallest || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
        return {-1, 1};
    }
    return {static_cast<long>(code_point), length};
}

bool is_white_space(long c) {
    return (c >= 0x09 && c <= 0x0D) || c == 0x20 || c == 0x85 || c == 0xA0 || c == 0x1680 ||
           (c >= 0x2000 && c <= 0x200A) || c == 0x2028 || c == 0x2029 || c == 0x202F ||
           c == 0x205F || c == 0x3000;
}

struct Span {
    std::size_t offset;
    std::size_t length;
};

std::vector<Span> reference_split(std::string_view text) {
    std::vector<Span> spans;
    std::size_t at = 0;
    std::size_t start = 0;
    bool in_token = false;
    while (at < text.size()) {
        const Decoded c = decode(text, at);
        if (is_white_space(c.code_point)) {
            if (in_token) spans.push_back({start, at - start});
            in_token = false;
        } else if (!in_token) {
            start = at;
            in_token = true;
        }
        at += c.length;
    }
    if (in_token) spans.push_back({start, text.size() - start});
    return spans;
}

const std::map<std::string, std::vector<MoveIndex>>& spellings() {
    static const auto table = [] {
        std::map<std::string, std::vector<MoveIndex>> t;
        const std::string faces = "UDRLFB";  // the move index order
        for (std::size_t f = 0; f < faces.size(); ++f) {
            const std::string x(1, faces[f]);
            t[x] = {2 * f};
            t[x + "'"] = {2 * f + 1};
            t[x + "!"] = {2 * f + 1};
            t[x + "2"] = {2 * f, 2 * f};
        }
        return t;
    }();
    return table;
}

template <class C>
C reference_do_moves(C cube, const std::vector<std::string>& tokens) {
    for (const std::string& token : tokens) {
        const auto found = spellings().find(token);
        if (found == spellings().end()) continue;
        for (MoveIndex move : found->second) apply_move_index_internal(cube, move);
    }
    return cube;
}

bool is_face(char c) { return std::string_view("UDRLFB").find(c) != std::string_view::npos; }

std::string reference_inverse(const std::vector<std::string>& tokens) {
    std::string out;
    for (auto it = tokens.rbegin(); it != tokens.rend(); ++it) {
        std::string base = *it;
        std::string modifier;
        if (base.back() == '\'' || base.back() == '2') {
            modifier = base.substr(base.size() - 1);
            base.pop_back();
        }
        if (base.size() == 1 && is_face(base[0])) {
            base += "'";
        } else if (base.size() == 2 && is_face(base[0]) && base[1] == '\'') {
            base.pop_back();
        }
        if (!out.empty()) out += ' ';
        out += base + modifier;
    }
    return out;
}

std::string join(const std::vector<std::string>& tokens) {
    std::string out;
    for (const std::string& token : tokens) {
        if (!out.empty()) out += ' ';
        out += token;
    }
    return out;
}

// A start state drawn from the input, so the turn checks do not all begin
// at the solved cube.
template <class C>
C start_from(std::string_view text) {
    C cube;
    for (std::size_t k = 0; k < text.size() && k < 8; ++k) {
        apply_move_index_internal(cube, static_cast<unsigned char>(text[k]) % MOVE_COUNT);
    }
    return cube;
}

template <class C>
void check_do_moves(std::string_view text, const std::vector<std::string>& tokens,
                    const std::vector<std::string>& bare_letters) {
    const C start = start_from<C>(text);
    C cube = start;
    do_moves_internal(cube, text);
    require(cube == reference_do_moves(start, tokens), "do_moves differs from the table");

    // Bare face letters are the one case where the inverse text undoes the
    // moves through do_moves.
    const std::string letters = join(bare_letters);
    cube = start;
    do_moves_internal(cube, letters);
    do_moves_internal(cube, inverse_scramble_internal(letters));
    require(cube == start, "inverse of bare letters does not restore the cube");
}

void check(std::string_view text) {
    const std::vector<Span> expected = reference_split(text);
    std::size_t seen = 0;
    for_each_token(text, [&](std::string_view token) {
        require(seen < expected.size(), "too many tokens");
        require(token.data() == text.data() + expected[seen].offset, "token starts elsewhere");
        require(token.size() == expected[seen].length, "token has another length");
        ++seen;
    });
    require(seen == expected.size(), "too few tokens");

    std::vector<std::string> tokens;
    std::vector<std::string> bare_letters;
    for (const Span& span : expected) {
        tokens.emplace_back(text.substr(span.offset, span.length));
        if (span.length == 1 && is_face(tokens.back()[0])) bare_letters.push_back(tokens.back());
    }

    check_do_moves<Cube3x3>(text, tokens, bare_letters);
    check_do_moves<Cube2x2>(text, tokens, bare_letters);

    const std::string inverse = inverse_scramble_internal(text);
    require(inverse == reference_inverse(tokens), "inverse differs from the reference");
    const std::string twice = inverse_scramble_internal(inverse);
    // The inverse never yields a bare face letter, so on its own output it
    // is an involution; on the input only when no bare letter is present.
    require(inverse_scramble_internal(twice) == inverse, "inverse is not stable on its output");
    if (bare_letters.empty()) require(twice == join(tokens), "inverse twice changes the text");
}

}  // namespace
}  // namespace twirlkit

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    twirlkit::check(std::string_view(reinterpret_cast<const char*>(data), size));
    return 0;
}

#include "model/move_text.hpp"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/cube2x2.hpp"
#include "model/cube3x3.hpp"
#include "model/solution_text.hpp"
#include "invariants.hpp"

namespace twirlkit {
namespace {

using namespace std::string_view_literals;

std::vector<std::string> tokens_of(std::string_view text) {
    std::vector<std::string> out;
    for_each_token(text, [&](std::string_view token) { out.emplace_back(token); });
    return out;
}

constexpr std::size_t count_tokens(std::string_view text) {
    std::size_t n = 0;
    for_each_token(text, [&](std::string_view) { ++n; });
    return n;
}

// The tokenizer is usable at compile time.
static_assert(count_tokens(" R\tU2\xE3\x80\x80" "F' ") == 3);
static_assert(count_tokens("") == 0);

const std::vector<std::string_view> kWhiteSpace = {
    "\t"sv, "\n"sv, "\v"sv, "\f"sv, "\r"sv, " "sv,
    "\xC2\x85"sv,                                        // U+0085
    "\xC2\xA0"sv,                                        // U+00A0
    "\xE1\x9A\x80"sv,                                    // U+1680
    "\xE2\x80\x80"sv, "\xE2\x80\x81"sv, "\xE2\x80\x82"sv, "\xE2\x80\x83"sv,
    "\xE2\x80\x84"sv, "\xE2\x80\x85"sv, "\xE2\x80\x86"sv, "\xE2\x80\x87"sv,
    "\xE2\x80\x88"sv, "\xE2\x80\x89"sv, "\xE2\x80\x8A"sv,  // U+2000..U+200A
    "\xE2\x80\xA8"sv, "\xE2\x80\xA9"sv,                  // U+2028, U+2029
    "\xE2\x80\xAF"sv,                                    // U+202F
    "\xE2\x81\x9F"sv,                                    // U+205F
    "\xE3\x80\x80"sv,                                    // U+3000
};

// Separators elsewhere, or neighbours of the real ones in the code tables.
const std::vector<std::string_view> kNotWhiteSpace = {
    "\x1C"sv, "\x1D"sv, "\x1E"sv, "\x1F"sv, "\x08"sv, "\x0E"sv, "\x7F"sv,
    ","sv, ";"sv,
    "\xE2\x80\x8B"sv,  // U+200B zero width space
    "\xEF\xBB\xBF"sv,  // U+FEFF
    "\xE1\xA0\x8E"sv,  // U+180E
    "\xC2\x84"sv, "\xC2\x86"sv, "\xC2\x9F"sv, "\xC2\xA1"sv,
    "\xE2\x80\xA7"sv, "\xE2\x80\xAA"sv, "\xE2\x80\xAE"sv, "\xE2\x80\xB0"sv,
    "\xE2\x81\x9E"sv, "\xE2\x81\xA0"sv, "\xE3\x80\x81"sv, "\xE1\x9A\x81"sv,
    "\xE2\x80\x99"sv,  // U+2019 typographic prime
};

TEST(ForEachToken, EachWhiteSpaceCodePointSplits) {
    ASSERT_EQ(kWhiteSpace.size(), 25u);
    for (std::string_view space : kWhiteSpace) {
        const std::string text = "R" + std::string(space) + "U'";
        EXPECT_EQ(tokens_of(text), (std::vector<std::string>{"R", "U'"}))
            << "separator of " << space.size() << " bytes, first 0x" << std::hex
            << int(static_cast<unsigned char>(space[0]));
    }
}

TEST(ForEachToken, LookAlikesDoNotSplit) {
    for (std::string_view other : kNotWhiteSpace) {
        const std::string text = "R" + std::string(other) + "U";
        EXPECT_EQ(tokens_of(text), std::vector<std::string>{text})
            << "byte 0x" << std::hex << int(static_cast<unsigned char>(other.back()));
    }
}

TEST(ForEachToken, RunsAndEndsGiveNoEmptyTokens) {
    EXPECT_TRUE(tokens_of("").empty());
    EXPECT_TRUE(tokens_of(" \t\n\xE2\x80\x83\xE3\x80\x80\xC2\xA0").empty());
    EXPECT_EQ(tokens_of("\xE2\x80\xA8  R \t\r\n U2\xC2\x85\xC2\x85" "F "),
              (std::vector<std::string>{"R", "U2", "F"}));
}

TEST(ForEachToken, TokensAreSlicesOfTheInput) {
    const std::string_view text = "  ab\xE2\x80\x89" "cde ";
    std::vector<std::string_view> seen;
    for_each_token(text, [&](std::string_view token) { seen.push_back(token); });
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].data(), text.data() + 2);
    EXPECT_EQ(seen[0].size(), 2u);
    EXPECT_EQ(seen[1].data(), text.data() + 7);
    EXPECT_EQ(seen[1].size(), 3u);
}

TEST(ForEachToken, NulIsAnOrdinaryByte) {
    EXPECT_EQ(tokens_of("U\0 R"sv), (std::vector<std::string>{std::string("U\0", 2), "R"}));
    EXPECT_EQ(tokens_of("\0"sv), (std::vector<std::string>{std::string(1, '\0')}));
}

TEST(ForEachToken, InvalidAndTruncatedUtf8AreTokenBytes) {
    // A white-space sequence cut short at the end of the text.
    EXPECT_EQ(tokens_of("R\xE2\x80"), std::vector<std::string>{"R\xE2\x80"});
    EXPECT_EQ(tokens_of("R\xE2"), std::vector<std::string>{"R\xE2"});
    EXPECT_EQ(tokens_of("R\xC2"), std::vector<std::string>{"R\xC2"});
    // Overlong forms of a space are not a space.
    EXPECT_EQ(tokens_of("R\xC0\xA0U"), std::vector<std::string>{"R\xC0\xA0U"});
    EXPECT_EQ(tokens_of("R\xE0\x80\xA0U"), std::vector<std::string>{"R\xE0\x80\xA0U"});
    // A stray lead or continuation byte does not swallow the space after it.
    EXPECT_EQ(tokens_of("\xE2\xE2\x80\x80U"), (std::vector<std::string>{"\xE2", "U"}));
    EXPECT_EQ(tokens_of("\x80 \xBF"), (std::vector<std::string>{"\x80", "\xBF"}));
}

// A cube some way from solved, so that a wrong turn cannot hide behind a
// symmetry of the solved state.
template <Cube C>
C scrambled() {
    return testing::random_cube<C>(std::uint64_t{6});
}

template <class C>
class DoMoves : public ::testing::Test {};
using CubeTypes = ::testing::Types<Cube3x3, Cube2x2>;
TYPED_TEST_SUITE(DoMoves, CubeTypes);

TYPED_TEST(DoMoves, EmptyAndBlankTextsChangeNothing) {
    const TypeParam start = scrambled<TypeParam>();
    for (std::string_view text : {""sv, " "sv, "\t\n \xE3\x80\x80"sv}) {
        TypeParam cube = start;
        do_moves_internal(cube, text);
        EXPECT_EQ(cube, start);
    }
}

// The tokens spelled from the face table read back as their turns, and a
// solution's text as its moves.
TYPED_TEST(DoMoves, DerivedTokensReadBackAsTheirTurns) {
    using C = TypeParam;
    for (std::size_t t = 0; t < FACE_TURN_COUNT; ++t) {
        EXPECT_EQ(move_text::turn_code(FACE_TURN_TOKENS[t]), t) << FACE_TURN_TOKENS[t];
    }
    const C start = scrambled<C>();
    std::vector<std::uint8_t> moves;
    C expected = start;
    for (MoveIndex m = 0; m < MOVE_COUNT; ++m) {
        C by_text = start;
        C by_index = start;
        do_moves_internal(by_text, QUARTER_TURN_TOKENS[m]);
        apply_move_index_internal(by_index, m);
        EXPECT_EQ(by_text, by_index) << QUARTER_TURN_TOKENS[m];
        for (MoveIndex k = 0; k <= m; ++k) {
            moves.push_back(static_cast<std::uint8_t>((m * 7 + k) % MOVE_COUNT));
            apply_move_index_internal(expected, moves.back());
        }
    }
    std::string text;
    append_solution_text(moves, text);
    C cube = start;
    do_moves_internal(cube, text);
    EXPECT_EQ(cube, expected) << text;
}

TYPED_TEST(DoMoves, EveryTokenMatchesItsTurn) {
    using C = TypeParam;
    struct Face {
        char letter;
        void (*quarter)(C&) noexcept;
        void (*prime)(C&) noexcept;
    };
    const Face faces[] = {
        {'U', &apply_turn<MOVE_U, C>, &apply_turn<MOVE_U_PRIME, C>},
        {'D', &apply_turn<MOVE_D, C>, &apply_turn<MOVE_D_PRIME, C>},
        {'R', &apply_turn<MOVE_R, C>, &apply_turn<MOVE_R_PRIME, C>},
        {'L', &apply_turn<MOVE_L, C>, &apply_turn<MOVE_L_PRIME, C>},
        {'F', &apply_turn<MOVE_F, C>, &apply_turn<MOVE_F_PRIME, C>},
        {'B', &apply_turn<MOVE_B, C>, &apply_turn<MOVE_B_PRIME, C>},
    };
    const C start = scrambled<C>();
    for (const Face& face : faces) {
        const std::string x(1, face.letter);
        C quarter = start, prime = start, half = start;
        face.quarter(quarter);
        face.prime(prime);
        face.quarter(half);
        face.quarter(half);
        const std::pair<std::string, C> cases[] = {
            {x, quarter}, {x + "'", prime}, {x + "!", prime}, {x + "2", half}};
        for (const auto& [text, expected] : cases) {
            C cube = start;
            do_moves_internal(cube, text);
            EXPECT_EQ(cube, expected) << text;
        }
    }
}

TYPED_TEST(DoMoves, SequenceMatchesDirectCalls) {
    TypeParam cube = scrambled<TypeParam>();
    TypeParam expected = cube;
    do_moves_internal(cube, "R U R' U'");
    apply_turn<MOVE_R>(expected);
    apply_turn<MOVE_U>(expected);
    apply_turn<MOVE_R_PRIME>(expected);
    apply_turn<MOVE_U_PRIME>(expected);
    EXPECT_EQ(cube, expected);
}

TYPED_TEST(DoMoves, UnknownTokensAreSkipped) {
    const TypeParam start = scrambled<TypeParam>();
    for (std::string_view junk :
         {"u"sv, "U3"sv, "UR"sv, "Uw"sv, "U'2"sv, "U2'"sv, "U''"sv, "x"sv, "M"sv, "E"sv, "S"sv,
          "2"sv, "'"sv, "!"sv, "R,U"sv, "R\xE2\x80\x8BU"sv, "U\xE2\x80\x99"sv, "R\x1FU"sv,
          "\xFF"sv, "U\0"sv}) {
        TypeParam cube = start;
        do_moves_internal(cube, junk);
        EXPECT_EQ(cube, start) << "token of " << junk.size() << " bytes";
    }
}

TYPED_TEST(DoMoves, MixedTextAppliesKnownTokensInOrder) {
    TypeParam cube = scrambled<TypeParam>();
    TypeParam expected = cube;
    do_moves_internal(cube, "R sune U2 x B!\nD'");
    apply_turn<MOVE_R>(expected);
    apply_turn<MOVE_U>(expected);
    apply_turn<MOVE_U>(expected);
    apply_turn<MOVE_B_PRIME>(expected);
    apply_turn<MOVE_D_PRIME>(expected);
    EXPECT_EQ(cube, expected);
}

// do_moves reads the common short tokens on a path of its own; the general
// tokenizer defines what every text means. Random texts built from pieces
// that sit on both sides of the fast path's edges (tokens of one to three
// bytes, runs and kinds of white space, non-ASCII look-alikes, NUL and
// control bytes) must turn a cube exactly as the general tokenizer does.
TYPED_TEST(DoMoves, FastPathAgreesWithTheGeneralTokenizer) {
    const std::string_view pieces[] = {
        "U"sv, "R'"sv, "F2"sv, "B!"sv, "D"sv, "L'"sv, "U3"sv, "x"sv, "R''"sv, "Uw"sv, "2"sv,
        " "sv, " "sv, " "sv, "  "sv, "\t"sv, "\n"sv, "\x0B"sv, "\xC2\xA0"sv, "\xE3\x80\x80"sv,
        "\xE2\x80\x99"sv, "\xC2"sv, "\0"sv, "\x1F"sv, "\x7F"sv, "\xFF"sv};
    std::uint32_t seed = 12345;
    const auto next = [&seed] {
        seed = seed * 1664525u + 1013904223u;
        return seed >> 8;
    };
    for (int trial = 0; trial < 4000; ++trial) {
        std::string text;
        const std::size_t count = next() % 12;
        for (std::size_t k = 0; k < count; ++k) text += pieces[next() % std::size(pieces)];
        TypeParam fast = scrambled<TypeParam>();
        TypeParam general = fast;
        do_moves_internal(fast, text);
        for_each_token(text, [&general](std::string_view token) noexcept {
            move_text::apply_token(general, token);
        });
        ASSERT_EQ(fast, general) << "text of " << text.size() << " bytes, trial " << trial;
    }
}

TYPED_TEST(DoMoves, NulStaysInsideItsToken) {
    TypeParam cube = scrambled<TypeParam>();
    TypeParam expected = cube;
    do_moves_internal(cube, "U\0 R"sv);
    apply_turn<MOVE_R>(expected);
    EXPECT_EQ(cube, expected);
}

TYPED_TEST(DoMoves, InverseOfBareLettersRestoresTheCube) {
    const std::string_view text = "R U F\tD\xE2\x80\x83L B B R";
    TypeParam cube = scrambled<TypeParam>();
    const TypeParam start = cube;
    do_moves_internal(cube, text);
    EXPECT_NE(cube, start);
    do_moves_internal(cube, inverse_scramble_internal(text));
    EXPECT_EQ(cube, start);
}

TYPED_TEST(DoMoves, InverseOfPrimedTokensIsOnlyPartlyApplied) {
    // The inverse of "R U R' U'" is "U'' R'' U' R'": the stacked tokens are
    // not notation, so only U' and R' take effect.
    TypeParam cube = scrambled<TypeParam>();
    TypeParam expected = cube;
    do_moves_internal(cube, "R U R' U'");
    do_moves_internal(cube, inverse_scramble_internal("R U R' U'"));
    apply_turn<MOVE_R>(expected);
    apply_turn<MOVE_U>(expected);
    apply_turn<MOVE_R_PRIME>(expected);
    apply_turn<MOVE_U_PRIME>(expected);
    apply_turn<MOVE_U_PRIME>(expected);
    apply_turn<MOVE_R_PRIME>(expected);
    EXPECT_EQ(cube, expected);
}

TEST(InverseScramble, NoTokensGiveEmptyText) {
    EXPECT_EQ(inverse_scramble_internal(""), "");
    EXPECT_EQ(inverse_scramble_internal(" \t\n\xE2\x80\x83 "), "");
}

TEST(InverseScramble, ReversesAndInvertsEachToken) {
    EXPECT_EQ(inverse_scramble_internal("R U F"), "F' U' R'");
    EXPECT_EQ(inverse_scramble_internal("R U R' U'"), "U'' R'' U' R'");
    EXPECT_EQ(inverse_scramble_internal("R U2 F' B D2 L'"), "L'' D'2 B' F'' U'2 R'");
    EXPECT_EQ(inverse_scramble_internal("U''"), "U'");
    EXPECT_EQ(inverse_scramble_internal("U'2"), "U2");
    EXPECT_EQ(inverse_scramble_internal("U"), "U'");
}

TEST(InverseScramble, WhiteSpaceBecomesSingleSpaces) {
    EXPECT_EQ(inverse_scramble_internal("  R  U\tF\nB\xE2\x80\x83" "D\xE3\x80\x80 "),
              "D' B' F' U' R'");
}

TEST(InverseScramble, OtherTokensAreCopiedInReversedPlace) {
    EXPECT_EQ(inverse_scramble_internal("R x Rw u U! UU U2' M' M2 2 ' R"),
              "R' ' 2 M2 M' U2' UU U! u Rw x R'");
    EXPECT_EQ(inverse_scramble_internal("U\0 R"sv), std::string("R' U\0", 5));
    EXPECT_EQ(inverse_scramble_internal("\xE2\x80\x99 \xFF"), "\xFF \xE2\x80\x99");
}

TEST(InverseScramble, TwiceRestoresPrimedAndHalfTurns) {
    const std::string_view text = "R' U2 F'' B'2 x\tL' D2";
    EXPECT_EQ(inverse_scramble_internal(inverse_scramble_internal(text)),
              "R' U2 F'' B'2 x L' D2");
    // A bare letter gains a prime each time: X, X', X''.
    EXPECT_EQ(inverse_scramble_internal(inverse_scramble_internal("F")), "F''");
}

}  // namespace
}  // namespace twirlkit

// Views of both cube sizes: sticker vectors, binary text, piece lists and the
// coloured net.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <initializer_list>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "model/cube.hpp"
#include "model/views.hpp"
#include "model/render2x2.hpp"
#include "model/cube2x2.hpp"
#include "model/render3x3.hpp"
#include "model/cube3x3.hpp"

namespace twirlkit {
namespace {

// Projection and decoding are usable at build time, on any word.
static_assert(Cube3x3{}.to_sticker_array_internal()[0] == WHITE);
static_assert(Cube3x3{}.to_sticker_array_internal()[53] == BLUE);
static_assert(Cube2x2{}.to_sticker_array_internal()[23] == BLUE);
static_assert(corner_pieces(SOLVED_CORNERS)[7] == std::pair<unsigned, unsigned>{7, 0});
// Every 5-bit slot content (edge pieces 12..15, orientation 3) reads inside
// the tables; an out-of-range read would not be a constant expression.
static_assert(Cube3x3{~Word{0}, ~Word{0}}.to_sticker_array_internal()[1] <= BLUE);
static_assert(Cube2x2{~Word{0}}.to_sticker_array_internal()[0] <= BLUE);

template <class Cube>
Cube after(std::initializer_list<MoveIndex> moves) {
    Cube c;
    for (MoveIndex m : moves) apply_move_index_internal(c, m);
    return c;
}

template <class Container>
std::string digits(const Container& codes) {
    std::string s;
    for (auto v : codes) s += static_cast<char>('0' + v);
    return s;
}

std::string strip_escapes(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\x1b') {
            while (i < text.size() && text[i] != 'm') ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::string line;
    for (char ch : text) {
        if (ch == '\n') {
            lines.push_back(line);
            line.clear();
        } else {
            line += ch;
        }
    }
    EXPECT_TRUE(line.empty()) << "text must end in a line feed";
    return lines;
}

// The expected render of a letter picture: each colour letter becomes its
// sticker text, every line ends in a line feed.
std::string picture(std::initializer_list<const char*> lines) {
    std::string out;
    for (const char* line : lines) {
        for (const char* p = line; *p; ++p) out += *p == ' ' ? std::string(" ") : ansi_color(*p);
        out += '\n';
    }
    return out;
}

std::string concat(std::initializer_list<const char*> faces) {
    std::string s;
    for (const char* f : faces) s += f;
    return s;
}

// ---- stickers -------------------------------------------------------------

TEST(Stickers, Cube3x3GoldenVectors) {
    EXPECT_EQ(digits(Cube3x3{}.to_sticker_array_internal()),
              concat({"000000000", "111111111", "222222222", "333333333", "444444444", "555555555"}));
    EXPECT_EQ(digits(after<Cube3x3>({MOVE_R}).to_sticker_array_internal()),
              concat({"002002002", "111111111", "223223223", "335335335", "444444444", "055055055"}));
    EXPECT_EQ(digits(after<Cube3x3>({MOVE_U}).to_sticker_array_internal()),
              concat({"000000000", "555111111", "111222222", "333333333", "222444444", "444555555"}));
    EXPECT_EQ(digits(after<Cube3x3>({MOVE_F}).to_sticker_array_internal()),
              concat({"000000444", "011011011", "222222222", "111333333", "443443443", "555555555"}));
    EXPECT_EQ(digits(after<Cube3x3>({MOVE_R, MOVE_U}).to_sticker_array_internal()),
              concat({"000000222", "055111111", "111223223", "335335335", "223444444", "444055055"}));
}

TEST(Stickers, Cube2x2GoldenVectors) {
    EXPECT_EQ(digits(Cube2x2{}.to_sticker_array_internal()), "000011112222333344445555");
    EXPECT_EQ(digits(after<Cube2x2>({MOVE_R}).to_sticker_array_internal()),
              concat({"0202", "1111", "2323", "3535", "4444", "0505"}));
    EXPECT_EQ(digits(after<Cube2x2>({MOVE_F}).to_sticker_array_internal()),
              concat({"0044", "0101", "2222", "1133", "4343", "5555"}));
    // A whole-cube rotation: every face is one colour, just not its own.
    EXPECT_EQ(digits(after<Cube2x2>({MOVE_U, MOVE_D_PRIME}).to_sticker_array_internal()),
              concat({"0000", "5555", "1111", "3333", "2222", "4444"}));
}

TEST(Stickers, InvariantsOnRandomStates) {
    std::mt19937 rng(20240611);
    for (int trial = 0; trial < 500; ++trial) {
        Cube3x3 big;
        Cube2x2 small;
        const int length = static_cast<int>(rng() % 41);
        for (int i = 0; i < length; ++i) {
            const MoveIndex m = rng() % MOVE_COUNT;
            apply_move_index_internal(big, m);
            apply_move_index_internal(small, m);
        }
        ASSERT_EQ(small.state, big.corners);

        const auto fixed3 = big.to_sticker_array_internal();
        const auto fixed2 = small.to_sticker_array_internal();
        std::array<std::int64_t, 54> row3{};
        std::array<std::int64_t, 24> row2{};
        big.write_sticker_row(row3.data());
        small.write_sticker_row(row2.data());
        const std::vector<std::int64_t> vec3 = big.sticker_array_internal();
        const std::vector<std::int64_t> vec2 = small.sticker_array_internal();
        ASSERT_EQ(vec3.size(), 54U);
        ASSERT_EQ(vec2.size(), 24U);

        for (std::size_t p = 0; p < 54; ++p) {
            ASSERT_EQ(row3[p], static_cast<std::int64_t>(fixed3[p])) << p;
            ASSERT_EQ(vec3[p], row3[p]) << p;
        }
        for (std::size_t p = 0; p < 24; ++p) {
            ASSERT_EQ(row2[p], static_cast<std::int64_t>(fixed2[p])) << p;
            ASSERT_EQ(vec2[p], row2[p]) << p;
        }

        for (std::uint32_t colour = 0; colour < FACE_COUNT; ++colour) {
            EXPECT_EQ(std::count(fixed3.begin(), fixed3.end(), colour), 9);
            EXPECT_EQ(std::count(fixed2.begin(), fixed2.end(), colour), 4);
            EXPECT_EQ(fixed3[9 * colour + 4], colour) << "centres never move";
        }

        // The 2x2 shows the corner cells of each face of the 3x3.
        for (std::size_t f = 0; f < FACE_COUNT; ++f) {
            const std::size_t cells[] = {0, 2, 6, 8};
            for (std::size_t i = 0; i < 4; ++i) ASSERT_EQ(fixed2[4 * f + i], fixed3[9 * f + cells[i]]);
        }
    }
}

// Every face is read as seen from outside, so a clockwise turn of any face
// rotates that face's own stickers by the same index map, on any state.
TEST(Stickers, TurnRotatesItsFaceOnRandomStates) {
    // Turn of each sticker face U R F D L B, as a move index.
    constexpr std::array<MoveIndex, FACE_COUNT> turn_of_face{MOVE_U, MOVE_R, MOVE_F, MOVE_D, MOVE_L, MOVE_B};
    constexpr std::array<std::size_t, 9> from3{6, 3, 0, 7, 4, 1, 8, 5, 2};
    constexpr std::array<std::size_t, 4> from2{2, 0, 3, 1};
    std::mt19937 rng(5);
    for (int trial = 0; trial < 200; ++trial) {
        Cube3x3 big;
        Cube2x2 small;
        for (int i = 0; i < 25; ++i) {
            apply_move_index_internal(big, rng() % MOVE_COUNT);
            apply_move_index_internal(small, rng() % MOVE_COUNT);
        }
        const auto old3 = big.to_sticker_array_internal();
        const auto old2 = small.to_sticker_array_internal();
        for (std::size_t f = 0; f < FACE_COUNT; ++f) {
            Cube3x3 b = big;
            Cube2x2 s = small;
            apply_move_index_internal(b, turn_of_face[f]);
            apply_move_index_internal(s, turn_of_face[f]);
            const auto new3 = b.to_sticker_array_internal();
            const auto new2 = s.to_sticker_array_internal();
            for (std::size_t i = 0; i < 9; ++i) ASSERT_EQ(new3[9 * f + i], old3[9 * f + from3[i]]) << f << ' ' << i;
            for (std::size_t i = 0; i < 4; ++i) ASSERT_EQ(new2[4 * f + i], old2[4 * f + from2[i]]) << f << ' ' << i;
        }
    }
}

// ---- binary text and piece lists -----------------------------------------

std::uint64_t parse_binary(const std::array<char, 64>& text) {
    std::uint64_t w = 0;
    for (char ch : text) {
        EXPECT_TRUE(ch == '0' || ch == '1');
        w = (w << 1) | static_cast<std::uint64_t>(ch == '1');
    }
    return w;
}

std::size_t leading_zeros(const std::array<char, 64>& text) {
    return static_cast<std::size_t>(std::find(text.begin(), text.end(), '1') - text.begin());
}

TEST(Binary, SolvedWords) {
    const auto corners = binary_text(SOLVED_CORNERS);
    const auto edges = binary_text(SOLVED_EDGES);
    EXPECT_EQ(parse_binary(corners), SOLVED_CORNERS);
    EXPECT_EQ(parse_binary(edges), SOLVED_EDGES);
    EXPECT_EQ(leading_zeros(corners), 26U);
    EXPECT_EQ(leading_zeros(edges), 5U);
    EXPECT_EQ(binary_text(Cube2x2{}.state), corners);
}

TEST(Binary, RoundTripAndSlotPositions) {
    std::mt19937 rng(7);
    Cube3x3 c;
    for (int i = 0; i < 200; ++i) {
        apply_move_index_internal(c, rng() % MOVE_COUNT);
        const auto text = binary_text(c.edges);
        ASSERT_EQ(parse_binary(binary_text(c.corners)), c.corners);
        ASSERT_EQ(parse_binary(text), c.edges);
        // Slot k is characters 59-5k..63-5k, piece number at the right.
        for (unsigned k = 0; k < EDGE_COUNT; ++k) {
            Word v = 0;
            for (unsigned i2 = 0; i2 < 5; ++i2) v = (v << 1) | static_cast<Word>(text[59 - 5 * k + i2] == '1');
            ASSERT_EQ(v, slot_value(c.edges, k));
        }
    }
}

using Pieces8 = std::array<std::pair<unsigned, unsigned>, 8>;
using Pieces12 = std::array<std::pair<unsigned, unsigned>, 12>;

TEST(Pieces, GoldenLists) {
    EXPECT_EQ(corner_pieces(SOLVED_CORNERS),
              (Pieces8{{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}}}));
    EXPECT_EQ(edge_pieces(SOLVED_EDGES), (Pieces12{{{0, 0}, {1, 0}, {2, 0}, {3, 0}, {4, 0}, {5, 0},
                                                    {6, 0}, {7, 0}, {8, 0}, {9, 0}, {10, 0}, {11, 0}}}));
    const Cube3x3 u = after<Cube3x3>({MOVE_U});
    EXPECT_EQ(corner_pieces(u.corners),
              (Pieces8{{{3, 0}, {0, 0}, {1, 0}, {2, 0}, {4, 0}, {5, 0}, {6, 0}, {7, 0}}}));
    EXPECT_EQ(edge_pieces(u.edges), (Pieces12{{{3, 0}, {0, 0}, {1, 0}, {2, 0}, {4, 0}, {5, 0},
                                               {6, 0}, {7, 0}, {8, 0}, {9, 0}, {10, 0}, {11, 0}}}));
    const Cube3x3 f = after<Cube3x3>({MOVE_F});
    EXPECT_EQ(corner_pieces(f.corners),
              (Pieces8{{{0, 0}, {1, 0}, {3, 1}, {7, 2}, {4, 0}, {5, 0}, {2, 2}, {6, 1}}}));
    EXPECT_EQ(edge_pieces(f.edges), (Pieces12{{{0, 0}, {1, 0}, {11, 1}, {3, 0}, {4, 0}, {5, 0},
                                               {10, 1}, {7, 0}, {8, 0}, {9, 0}, {2, 1}, {6, 1}}}));
    EXPECT_EQ(corner_pieces(Cube2x2{}.state), corner_pieces(Cube3x3{}.corners));
}

// ---- rendering ------------------------------------------------------------

TEST(Render, StickerTexts) {
    EXPECT_EQ(ansi_color('W'), "\x1b[37;1mW\x1b[0m");
    EXPECT_EQ(ansi_color('R'), "\x1b[31;1mR\x1b[0m");
    EXPECT_EQ(ansi_color('G'), "\x1b[32;1mG\x1b[0m");
    EXPECT_EQ(ansi_color('Y'), "\x1b[33;1mY\x1b[0m");
    EXPECT_EQ(ansi_color('O'), "\x1b[38;5;208mO\x1b[0m");
    EXPECT_EQ(ansi_color('B'), "\x1b[34;1mB\x1b[0m");
    EXPECT_EQ(ansi_color('x'), "x");

    EXPECT_EQ(get_sticker(SOLVED_CORNERS, 0, 0), ansi_color('W'));
    EXPECT_EQ(get_sticker(SOLVED_CORNERS, 0, 1), ansi_color('B'));
    EXPECT_EQ(get_sticker(SOLVED_CORNERS, 0, 2), ansi_color('O'));
    EXPECT_EQ(get_sticker(SOLVED_CORNERS, 6, 2), ansi_color('G'));
    // After R the UFR slot holds a twisted corner whose green faces up.
    const Word r = after<Cube2x2>({MOVE_R}).state;
    EXPECT_EQ(get_sticker(r, 2, 0), ansi_color('G'));
    EXPECT_EQ(get_sticker(r, 2, 1), ansi_color('Y'));
    EXPECT_EQ(get_sticker(r, 2, 2), ansi_color('R'));
}

TEST(Render, SolvedPictures) {
    const std::string big = Cube3x3{}.render_ansi_internal();
    EXPECT_EQ(big.size(), 789U);
    EXPECT_EQ(big.substr(0, 7 + 12 * 3 + 2 + 1),
              "       \x1b[37;1mW\x1b[0m \x1b[37;1mW\x1b[0m \x1b[37;1mW\x1b[0m\n");
    EXPECT_EQ(big, picture({"       W W W", "       W W W", "       W W W",
                            "O O O  G G G  R R R  B B B", "O O O  G G G  R R R  B B B",
                            "O O O  G G G  R R R  B B B",
                            "       Y Y Y", "       Y Y Y", "       Y Y Y"}));

    const std::string small = Cube2x2{}.render_ansi_internal();
    EXPECT_EQ(small.size(), 364U);
    EXPECT_EQ(small, picture({"      W W", "      W W", "O O   G G   R R   B B", "O O   G G   R R   B B",
                              "      Y Y", "      Y Y"}));

    std::vector<std::size_t> widths;
    for (const std::string& l : lines_of(strip_escapes(big))) widths.push_back(l.size());
    EXPECT_EQ(widths, (std::vector<std::size_t>{12, 12, 12, 26, 26, 26, 12, 12, 12}));
    widths.clear();
    for (const std::string& l : lines_of(strip_escapes(small))) widths.push_back(l.size());
    EXPECT_EQ(widths, (std::vector<std::size_t>{9, 9, 21, 21, 9, 9}));
}

TEST(Render, TurnedPictures) {
    EXPECT_EQ(after<Cube3x3>({MOVE_R}).render_ansi_internal(),
              picture({"       W W G", "       W W G", "       W W G",
                       "O O O  G G Y  R R R  W B B", "O O O  G G Y  R R R  W B B",
                       "O O O  G G Y  R R R  W B B",
                       "       Y Y B", "       Y Y B", "       Y Y B"}));
    EXPECT_EQ(after<Cube3x3>({MOVE_F}).render_ansi_internal(),
              picture({"       W W W", "       W W W", "       O O O",
                       "O O Y  G G G  W R R  B B B", "O O Y  G G G  W R R  B B B",
                       "O O Y  G G G  W R R  B B B",
                       "       R R R", "       Y Y Y", "       Y Y Y"}));
    EXPECT_EQ(after<Cube2x2>({MOVE_R}).render_ansi_internal(),
              picture({"      W G", "      W G", "O O   G Y   R R   W B", "O O   G Y   R R   W B",
                       "      Y B", "      Y B"}));
}

TEST(Render, UnreachableSlotContentsStayInsideTables) {
    // Edge piece 15 and corner orientation 3 never occur; rendering them must
    // still read inside the letter tables (checked under the sanitizers).
    const std::string text = Cube3x3{~Word{0}, ~Word{0}}.render_ansi_internal();
    EXPECT_NE(text.find('?'), std::string::npos);
    EXPECT_EQ(lines_of(strip_escapes(text)).size(), 9U);
    EXPECT_EQ(lines_of(strip_escapes(Cube2x2{~Word{0}}.render_ansi_internal())).size(), 6U);
}

// The net places sticker positions line by line in this order.
constexpr std::array<std::size_t, 54> NET_ORDER_3X3{
    0,  1,  2,  3,  4,  5,  6,  7,  8,
    36, 37, 38, 18, 19, 20, 9,  10, 11, 45, 46, 47,
    39, 40, 41, 21, 22, 23, 12, 13, 14, 48, 49, 50,
    42, 43, 44, 24, 25, 26, 15, 16, 17, 51, 52, 53,
    27, 28, 29, 30, 31, 32, 33, 34, 35};
constexpr std::array<std::size_t, 24> NET_ORDER_2X2{0,  1,  2,  3,  16, 17, 8,  9,  4,  5,  20, 21,
                                                    18, 19, 10, 11, 6,  7,  22, 23, 12, 13, 14, 15};

template <class Cube, std::size_t N>
void expect_render_matches_stickers(const Cube& cube, const std::array<std::size_t, N>& order,
                                    std::size_t fixed_bytes) {
    const std::string text = cube.render_ansi_internal();
    const auto codes = cube.to_sticker_array_internal();
    std::string letters;
    for (char ch : strip_escapes(text))
        if (ch != ' ' && ch != '\n') letters += ch;
    ASSERT_EQ(letters.size(), N);
    std::size_t bytes = fixed_bytes;
    for (std::size_t i = 0; i < N; ++i) {
        ASSERT_EQ(letters[i], COLOUR_LETTERS[codes[order[i]]]) << "net cell " << i;
        bytes += codes[i] == ORANGE ? 16 : 12;
    }
    EXPECT_EQ(text.size(), bytes);
}

TEST(Render, MatchesStickersOnRandomStates) {
    std::mt19937 rng(99);
    Cube3x3 big;
    Cube2x2 small;
    for (int i = 0; i < 300; ++i) {
        apply_move_index_internal(big, rng() % MOVE_COUNT);
        apply_move_index_internal(small, rng() % MOVE_COUNT);
        // Spaces and line feeds: 3x3 6x(7+2) + 3x(4x2+3x2) + 9, 2x2 4x(6+1) + 2x(4+3x3) + 6.
        expect_render_matches_stickers(big, NET_ORDER_3X3, 105);
        expect_render_matches_stickers(small, NET_ORDER_2X2, 60);
    }
}

}  // namespace
}  // namespace twirlkit

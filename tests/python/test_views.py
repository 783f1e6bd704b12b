"""Read-only views of both cube sizes: sticker vectors, binary text, piece lists, ANSI net."""
import re

import pytest

import twirlkit
from conftest import SOLVED_CORNERS, SOLVED_EDGES, check_invariants, corner_word, random_turns, words

FACES = "URFDLB"

# Facelets of each slot, in facelet order: the U or D face first, then the
# other two counter-clockwise seen from outside (middle edges: F or B first).
CORNER_SLOTS = ["UBL", "UBR", "UFR", "UFL", "DBL", "DBR", "DFR", "DFL"]
CORNER_FACELETS = ["UBL", "URB", "UFR", "ULF", "DLB", "DBR", "DRF", "DFL"]
EDGE_SLOTS = ["UB", "UR", "UF", "UL", "DB", "DR", "DF", "DL", "BL", "BR", "FR", "FL"]

# Which slot shows on each cell of each face, row by row ("-" is the centre).
NET = {
    "U": "UBL UB UBR UL - UR UFL UF UFR",
    "R": "UFR UR UBR FR - BR DFR DR DBR",
    "F": "UFL UF UFR FL - FR DFL DF DFR",
    "D": "DFL DF DFR DL - DR DBL DB DBR",
    "L": "UBL UL UFL BL - FL DBL DL DFL",
    "B": "UBR UB UBL BR - BL DBR DB DBL",
}
CORNER_CELLS = (0, 2, 6, 8)


def model_stickers(cube):
    """The sticker vector computed in Python from the packed words alone."""
    corners = corner_word(cube)
    edges = words(cube)[1] if isinstance(cube, twirlkit.Cube3x3) else None
    out = []
    for face in FACES:
        for cell, slot in enumerate(NET[face].split()):
            if edges is None and cell not in CORNER_CELLS:
                continue
            if slot == "-":
                out.append(FACES.index(face))
            elif slot in CORNER_SLOTS:
                s = CORNER_SLOTS.index(slot)
                k = CORNER_FACELETS[s].index(face)
                v = (corners >> (5 * s)) & 31
                out.append(FACES.index(CORNER_FACELETS[v & 7][(k + (v >> 3)) % 3]))
            else:
                s = EDGE_SLOTS.index(slot)
                k = EDGE_SLOTS[s].index(face)
                v = (edges >> (5 * s)) & 31
                out.append(FACES.index(EDGE_SLOTS[v & 15][k ^ (v >> 4)]))
    return out


def vector(*faces):
    return [int(c) for c in "".join(faces)]


def after(cube_class, *names):
    cube = cube_class()
    for name in names:
        getattr(cube, name)()
    return cube


STICKER_GOLDEN_3X3 = [
    ((), vector(*(str(f) * 9 for f in range(6)))),
    (("do_r_move",), vector("002002002", "111111111", "223223223", "335335335", "444444444",
                            "055055055")),
    (("do_u_move",), vector("000000000", "555111111", "111222222", "333333333", "222444444",
                            "444555555")),
    (("do_f_move",), vector("000000444", "011011011", "222222222", "111333333", "443443443",
                            "555555555")),
    (("do_r_move", "do_u_move"), vector("000000222", "055111111", "111223223", "335335335",
                                        "223444444", "444055055")),
]

STICKER_GOLDEN_2X2 = [
    ((), vector(*(str(f) * 4 for f in range(6)))),
    (("do_r_move",), vector("0202", "1111", "2323", "3535", "4444", "0505")),
    (("do_f_move",), vector("0044", "0101", "2222", "1133", "4343", "5555")),
    (("do_u_move", "do_d_prime_move"), vector("0000", "5555", "1111", "3333", "2222", "4444")),
]

STICKER_GOLDEN = [(twirlkit.Cube3x3, n, v) for n, v in STICKER_GOLDEN_3X3] + [
    (twirlkit.Cube2x2, n, v) for n, v in STICKER_GOLDEN_2X2]
GOLDEN_IDS = [f"{c.__name__}-{'+'.join(n) or 'solved'}" for c, n, _ in STICKER_GOLDEN]


# --- sticker vectors ---------------------------------------------------------

@pytest.mark.parametrize("cube_class,names,expected", STICKER_GOLDEN, ids=GOLDEN_IDS)
def test_sticker_golden_vectors(cube_class, names, expected):
    cube = after(cube_class, *names)
    stickers = cube.to_sticker_array()
    assert type(stickers) is list
    assert all(type(code) is int for code in stickers)
    assert stickers == expected
    assert model_stickers(cube) == expected


def test_sticker_vectors_of_random_states(cube_class, rng):
    per_face = 9 if cube_class is twirlkit.Cube3x3 else 4
    for _ in range(50):
        cube = cube_class()
        random_turns(cube, rng, rng.randrange(1, 40))
        before = words(cube)
        stickers = cube.to_sticker_array()
        assert words(cube) == before
        assert len(stickers) == 6 * per_face
        assert [stickers.count(code) for code in range(6)] == [per_face] * 6
        if per_face == 9:
            assert [stickers[9 * f + 4] for f in range(6)] == list(range(6))
        assert stickers == model_stickers(cube)


def test_two_by_two_shows_the_corner_cells_of_the_same_corner_word(rng):
    for _ in range(50):
        big, small = twirlkit.Cube3x3(), twirlkit.Cube2x2()
        for name in random_turns(big, rng, rng.randrange(1, 40)):
            getattr(small, name)()
        assert small.state == big.corners
        big_stickers = big.to_sticker_array()
        assert small.to_sticker_array() == [
            big_stickers[9 * f + c] for f in range(6) for c in CORNER_CELLS]


# --- binary text and piece lists --------------------------------------------

def decode(word, count, piece_mask, field_shift, field_mask):
    return [(((word >> (5 * k)) & piece_mask), ((word >> (5 * k + field_shift)) & field_mask))
            for k in range(count)]


def test_binary_of_new_cubes():
    big, small = twirlkit.Cube3x3(), twirlkit.Cube2x2()
    corners, edges = big.to_binary()
    assert (corners, edges) == (big.to_binary_corners(), big.to_binary_edges())
    assert (int(corners, 2), int(edges, 2)) == (SOLVED_CORNERS, SOLVED_EDGES)
    assert len(corners) - len(corners.lstrip("0")) == 26
    assert len(edges) - len(edges.lstrip("0")) == 5
    assert small.to_binary() == corners
    assert type(small.to_binary()) is str
    assert type(big.to_binary()) is tuple
    for name in ("to_binary_corners", "to_binary_edges", "get_edges"):
        assert not hasattr(small, name)


def test_piece_lists_golden():
    assert twirlkit.Cube3x3().get_corners() == [(k, 0) for k in range(8)]
    assert twirlkit.Cube2x2().get_corners() == [(k, 0) for k in range(8)]
    assert twirlkit.Cube3x3().get_edges() == [(k, 0) for k in range(12)]

    for cube_class in (twirlkit.Cube3x3, twirlkit.Cube2x2):
        assert after(cube_class, "do_u_move").get_corners() == [
            (3, 0), (0, 0), (1, 0), (2, 0), (4, 0), (5, 0), (6, 0), (7, 0)]
        assert after(cube_class, "do_f_move").get_corners() == [
            (0, 0), (1, 0), (3, 1), (7, 2), (4, 0), (5, 0), (2, 2), (6, 1)]
    assert after(twirlkit.Cube3x3, "do_u_move").get_edges() == [
        (3, 0), (0, 0), (1, 0), (2, 0), *((k, 0) for k in range(4, 12))]
    assert after(twirlkit.Cube3x3, "do_f_move").get_edges() == [
        (0, 0), (1, 0), (11, 1), (3, 0), (4, 0), (5, 0), (10, 1), (7, 0), (8, 0), (9, 0),
        (2, 1), (6, 1)]


def test_binary_and_pieces_of_random_states(cube_class, rng):
    for _ in range(50):
        cube = cube_class()
        random_turns(cube, rng, rng.randrange(1, 40))
        check_invariants(cube)
        corner = corner_word(cube)
        texts = cube.to_binary()
        if cube_class is twirlkit.Cube3x3:
            assert type(texts) is tuple and len(texts) == 2
            assert texts == (cube.to_binary_corners(), cube.to_binary_edges())
        else:
            assert type(texts) is str
            texts = (texts,)
        for text in texts:
            assert type(text) is str and len(text) == 64 and set(text) <= {"0", "1"}
        assert int(texts[0], 2) == corner
        pieces = cube.get_corners()
        assert type(pieces) is list
        assert all(type(p) is tuple and len(p) == 2 and all(type(x) is int for x in p)
                   for p in pieces)
        assert pieces == decode(corner, 8, 7, 3, 3)
        if cube_class is twirlkit.Cube3x3:
            assert cube.get_edges() == decode(int(texts[1], 2), 12, 15, 4, 1)


# --- ANSI rendering ------------------------------------------------------------

PAINT = {
    0: "\x1b[37;1mW\x1b[0m", 1: "\x1b[31;1mR\x1b[0m", 2: "\x1b[32;1mG\x1b[0m",
    3: "\x1b[33;1mY\x1b[0m", 4: "\x1b[38;5;208mO\x1b[0m", 5: "\x1b[34;1mB\x1b[0m",
}
ESCAPE = re.compile(r"\x1b\[[0-9;]*m")


def model_render(stickers):
    """The net of faces drawn from a sticker vector."""
    n = 3 if len(stickers) == 54 else 2
    indent, gap = (" " * 7, "  ") if n == 3 else (" " * 6, "   ")
    face = {f: [PAINT[c] for c in stickers[i * n * n:(i + 1) * n * n]] for i, f in enumerate(FACES)}

    def row(f, r):
        return " ".join(face[f][r * n:(r + 1) * n])

    lines = [indent + row("U", r) for r in range(n)]
    lines += [gap.join(row(f, r) for f in "LFRB") for r in range(n)]
    lines += [indent + row("D", r) for r in range(n)]
    return "".join(line + "\n" for line in lines)


@pytest.mark.parametrize("cube_class,names,expected", STICKER_GOLDEN, ids=GOLDEN_IDS)
def test_render_golden(cube_class, names, expected):
    assert str(after(cube_class, *names)) == model_render(expected)


def test_render_of_solved_cubes_byte_exact():
    big = str(twirlkit.Cube3x3())
    small = str(twirlkit.Cube2x2())
    assert len(big.encode()) == 789
    assert len(small.encode()) == 364
    w, o, g, r, b, y = (PAINT[c] for c in (0, 4, 2, 1, 5, 3))
    assert big.startswith(" " * 7 + f"{w} {w} {w}\n")
    assert f"{o} {o} {o}  {g} {g} {g}  {r} {r} {r}  {b} {b} {b}\n" in big
    assert small.endswith(" " * 6 + f"{y} {y}\n")
    assert f"{o} {o}   {g} {g}   {r} {r}   {b} {b}\n" in small

    plain_big = ESCAPE.sub("", big)
    assert plain_big.split("\n")[-1] == ""
    assert [len(line) for line in plain_big.split("\n")[:-1]] == [12] * 3 + [26] * 3 + [12] * 3
    assert plain_big.split("\n")[3] == "O O O  G G G  R R R  B B B"
    plain_small = ESCAPE.sub("", small)
    assert [len(line) for line in plain_small.split("\n")[:-1]] == [9] * 2 + [21] * 2 + [9] * 2
    assert plain_small.split("\n")[0] == "      W W"


def test_render_letters_after_r_and_f():
    def letters(cube):
        return [line.strip() for line in ESCAPE.sub("", str(cube)).splitlines()]

    assert letters(after(twirlkit.Cube3x3, "do_r_move")) == (
        ["W W G"] * 3 + ["O O O  G G Y  R R R  W B B"] * 3 + ["Y Y B"] * 3)
    assert letters(after(twirlkit.Cube3x3, "do_f_move")) == (
        ["W W W", "W W W", "O O O"] + ["O O Y  G G G  W R R  B B B"] * 3
        + ["R R R", "Y Y Y", "Y Y Y"])
    assert letters(after(twirlkit.Cube2x2, "do_r_move")) == (
        ["W G"] * 2 + ["O O   G Y   R R   W B"] * 2 + ["Y B"] * 2)


def test_render_shows_the_sticker_vector_of_random_states(cube_class, rng):
    for _ in range(30):
        cube = cube_class()
        random_turns(cube, rng, rng.randrange(1, 40))
        text = str(cube)
        assert text.isascii() and "\r" not in text and " \n" not in text
        assert text == model_render(cube.to_sticker_array())

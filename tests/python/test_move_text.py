"""Move text: do_moves on both cube sizes, and the module function inverse_scramble."""
import re

import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import twirlkit
from conftest import TURNS, random_turns, words

# The code points with the Unicode White_Space property; nothing else separates
# tokens (str.isspace also accepts U+001C..U+001F, so it is not a usable model).
WHITE_SPACE = ([chr(c) for c in range(0x09, 0x0E)] + [" ", "\x85", "\xa0", "\u1680"]
               + [chr(c) for c in range(0x2000, 0x200B)]
               + ["\u2028", "\u2029", "\u202f", "\u205f", "\u3000"])
LOOK_ALIKES = ["\x1c", "\x1d", "\x1e", "\x1f", "\u200b", "\ufeff", "\u180e", ",", ";"]
SPLIT = re.compile("[" + "".join(WHITE_SPACE) + "]+")

FACE_TURN = {f: (f"do_{f.lower()}_move", f"do_{f.lower()}_prime_move") for f in "UDRLFB"}


def tokens(text):
    return [t for t in SPLIT.split(text) if t]


def model_turns(text):
    """Turn method names that do_moves should apply for `text`."""
    names = []
    for token in tokens(text):
        raw = token.encode("utf-8")
        if len(raw) == 1 and token in FACE_TURN:
            names.append(FACE_TURN[token][0])
        elif len(raw) == 2 and token[0] in FACE_TURN:
            quarter, prime = FACE_TURN[token[0]]
            if token[1] in "'!":
                names.append(prime)
            elif token[1] == "2":
                names += [quarter, quarter]
    return names


def model_inverse(text):
    out = []
    for token in reversed(tokens(text)):
        base, modifier = (token[:-1], token[-1]) if token[-1] in "'2" else (token, "")
        if len(base) == 1 and base in FACE_TURN:
            base += "'"
        elif len(base) == 2 and base[0] in FACE_TURN and base[1] == "'":
            base = base[0]
        out.append(base + modifier)
    return " ".join(out)


def turned(cube_class, names):
    cube = cube_class()
    for name in names:
        getattr(cube, name)()
    return words(cube)


def moved(cube_class, text):
    cube = cube_class()
    assert cube.do_moves(text) is None
    return words(cube)


# --- do_moves --------------------------------------------------------------------

def test_white_space_list_is_complete():
    assert len(WHITE_SPACE) == len(set(WHITE_SPACE)) == 25


@pytest.mark.parametrize("space", WHITE_SPACE, ids=lambda s: f"U+{ord(s):04X}")
def test_each_white_space_separates_tokens(cube_class, space):
    text = f"{space}R{space}{space}U'{space}F2{space}"
    assert moved(cube_class, text) == turned(
        cube_class, ["do_r_move", "do_u_prime_move", "do_f_move", "do_f_move"])


@pytest.mark.parametrize("char", LOOK_ALIKES, ids=lambda s: f"U+{ord(s):04X}")
def test_look_alikes_do_not_separate(cube_class, char):
    solved = words(cube_class())
    assert moved(cube_class, f"R{char}U") == solved
    assert moved(cube_class, f"R{char}") == solved
    assert moved(cube_class, f"{char}R") == solved
    assert moved(cube_class, f"R{char}U D") == turned(cube_class, ["do_d_move"])


def test_nul_is_part_of_a_token(cube_class):
    assert moved(cube_class, "U\x00 R") == turned(cube_class, ["do_r_move"])
    assert moved(cube_class, "R \x00 U") == turned(cube_class, ["do_r_move", "do_u_move"])
    assert moved(cube_class, "\x00") == words(cube_class())


def test_lone_surrogate_raises_and_releases_the_cube(cube_class):
    cube = cube_class()
    with pytest.raises(UnicodeEncodeError):
        cube.do_moves("R \ud800")
    assert cube.is_solved()
    cube.do_moves("R")
    cube.scramble(0)
    assert words(cube) == turned(cube_class, ["do_r_move"])


def test_empty_and_blank_texts(cube_class):
    solved = words(cube_class())
    for text in ("", " ", "\t\n\r ", "\u3000\u2028"):
        assert moved(cube_class, text) == solved


def test_spellings(cube_class):
    assert moved(cube_class, "R U R' U'") == turned(
        cube_class, ["do_r_move", "do_u_move", "do_r_prime_move", "do_u_prime_move"])
    for face, (quarter, prime) in FACE_TURN.items():
        assert moved(cube_class, face) == turned(cube_class, [quarter])
        assert moved(cube_class, f"{face}'") == turned(cube_class, [prime])
        assert moved(cube_class, f"{face}!") == turned(cube_class, [prime])
        assert moved(cube_class, f"{face}2") == moved(cube_class, f"{face} {face}")
        assert moved(cube_class, f"{face}2") == turned(cube_class, [quarter, quarter])


@pytest.mark.parametrize("junk", [
    "u", "r'", "R3", "RU", "Rw", "R'2", "R2'", "R''", "x", "y", "M", "E", "S",
    "2", "'", "!", "R\u2019", "\u00c9", "R\u0301",
])
def test_unknown_tokens_are_skipped(cube_class, junk):
    assert moved(cube_class, junk) == words(cube_class())
    assert moved(cube_class, f"F {junk} D") == turned(cube_class, ["do_f_move", "do_d_move"])


def test_mixed_text_applies_recognised_tokens_in_order(cube_class):
    assert moved(cube_class, "R twist U2 x B!\nD'") == turned(cube_class, [
        "do_r_move", "do_u_move", "do_u_move", "do_b_prime_move", "do_d_prime_move"])


def test_moves_apply_on_top_of_the_current_state(cube_class, rng):
    cube = cube_class()
    names = random_turns(cube, rng, 25)
    cube.do_moves("L2 B'")
    assert words(cube) == turned(cube_class, names + ["do_l_move", "do_l_move",
                                                      "do_b_prime_move"])


CHARS = st.one_of(
    st.sampled_from(list("UDRLFB'!2xu") + ["\x00", "\u2019", "\u00e9", "\U0001F600"]
                    + WHITE_SPACE + LOOK_ALIKES),
    st.characters(blacklist_categories=("Cs",)))
TOKEN = st.one_of(
    st.sampled_from([face + mod for face in "UDRLFBxu"
                     for mod in ("", "'", "!", "2", "''", "'2", "2'", "3", "\u2019")]),
    st.text(alphabet=CHARS, min_size=1, max_size=3))
# Glue made only of look-alikes or NUL fuses its neighbours into one token.
GLUE = st.one_of(
    st.sampled_from(WHITE_SPACE),
    st.text(alphabet=st.sampled_from(WHITE_SPACE + LOOK_ALIKES + ["\x00"]), min_size=1,
            max_size=3))
TEXTS = st.lists(st.tuples(GLUE, TOKEN), max_size=20).map(
    lambda parts: "".join(glue + token for glue, token in parts))


@settings(max_examples=200, deadline=None)
@given(text=TEXTS,
       size=st.sampled_from([twirlkit.Cube3x3, twirlkit.Cube2x2]))
def test_do_moves_matches_the_token_model(text, size):
    assert moved(size, text) == turned(size, model_turns(text))


# --- inverse_scramble ------------------------------------------------------------

inverse = twirlkit.inverse_scramble


@pytest.mark.parametrize("text,expected", [
    ("", ""),
    (" \t\n\u3000", ""),
    ("R U F", "F' U' R'"),
    ("R U R' U'", "U'' R'' U' R'"),
    ("R U2 F' B D2 L'", "L'' D'2 B' F'' U'2 R'"),
    ("  R  U\tF\nB\u2003D \r\n", "D' B' F' U' R'"),
    ("x Rw u U! UU Q' Q2 2 '", "' 2 Q2 Q' UU U! u Rw x"),
    ("U'' D'2 F2'", "F2' D2 U'"),
    ("R\u2019 U\x00 B", "B' U\x00 R\u2019"),
])
def test_inverse_examples(text, expected):
    assert inverse(text) == expected


def test_inverse_normalises_every_white_space():
    text = "R" + "".join(f"{space}U" for space in WHITE_SPACE) + "\u3000"
    assert inverse(text) == " ".join(["U'"] * 25 + ["R'"])
    for char in LOOK_ALIKES:
        assert inverse(f"R{char}U") == f"R{char}U"


def test_inverse_of_inverse_restores_modified_tokens():
    assert inverse("U'") == "U''" and inverse("U''") == "U'"
    assert inverse("U2") == "U'2" and inverse("U'2") == "U2"


def test_inverse_arguments():
    assert inverse(scramble="R") == "R'"
    for bad in (42, b"R U", None, ["R"]):
        with pytest.raises(TypeError, match="scramble"):
            inverse(bad)
    with pytest.raises(TypeError):
        inverse()
    with pytest.raises(TypeError):
        inverse("R", "U")
    with pytest.raises(TypeError):
        inverse(moves="R")
    with pytest.raises(UnicodeEncodeError):
        inverse("R \udfff")


def test_do_moves_skips_the_stacked_tokens_of_an_inverse(cube_class):
    cube = cube_class()
    cube.do_moves("R U R' U'")
    cube.do_moves(inverse("R U R' U'"))
    assert words(cube) == turned(cube_class, [
        "do_r_move", "do_u_move", "do_r_prime_move", "do_u_prime_move",
        "do_u_prime_move", "do_r_prime_move"])


@settings(max_examples=100, deadline=None)
@given(pieces=st.lists(st.tuples(st.sampled_from("UDRLFB"), st.sampled_from(WHITE_SPACE),
                                 st.booleans()), max_size=30),
       start=st.lists(st.sampled_from(TURNS), max_size=20),
       size=st.sampled_from([twirlkit.Cube3x3, twirlkit.Cube2x2]))
def test_inverse_of_bare_letters_restores_any_cube(pieces, start, size):
    # A doubled separator now and then covers runs of white space.
    text = "".join(sep + letter + (sep if double else "") for letter, sep, double in pieces)
    cube = size()
    for name in start:
        getattr(cube, name)()
    before = words(cube)
    cube.do_moves(text)
    cube.do_moves(inverse(text))
    assert words(cube) == before


@settings(max_examples=200, deadline=None)
@given(text=st.one_of(TEXTS, st.text(alphabet=CHARS, max_size=20)))
def test_inverse_matches_the_token_model_and_undoes_itself_on_its_results(text):
    result = inverse(text)
    assert result == model_inverse(text)
    assert inverse(inverse(result)) == result

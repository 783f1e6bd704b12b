"""The twelve quarter turns of both cube sizes, seen from Python."""
import pytest

import twirlkit
from conftest import SOLVED_CORNERS, SOLVED_EDGES, TURNS, check_invariants, random_turns, words

GOLDEN = {
    "do_u_move": (0x000000398A410403, 0x05A928398A410403),
    "do_u_prime_move": (0x000000398A400C41, 0x05A928398A400C41),
    "do_d_move": (0x00000021CC518820, 0x05A92821CC518820),
    "do_d_prime_move": (0x0000003148718820, 0x05A9283148718820),
    "do_r_move": (0x0000003B6241D940, 0x0594283992418940),
    "do_r_prime_move": (0x0000003AAC41C5A0, 0x0584A83994418920),
    "do_l_move": (0x000000998AF40834, 0x01A927598A440820),
    "do_l_prime_move": (0x000000A18A878833, 0x03A923418A458820),
    "do_f_move": (0x000000748A4BAC20, 0x0B49283E8A41EC20),
    "do_f_prime_move": (0x0000005DCA493820, 0x0959283ECA41E820),
    "do_b_move": (0x0000003999018AA9, 0x05AA90398B818839),
    "do_b_prime_move": (0x0000003993518A0C, 0x05AA14398B918838),
}


def inverse_name(name):
    return name.replace("_prime", "") if "_prime" in name else name.replace("_move", "_prime_move")


def test_new_cubes_are_solved(cube_class):
    cube = cube_class()
    assert cube.is_solved() is True
    expected = (SOLVED_CORNERS, SOLVED_EDGES) if cube_class is twirlkit.Cube3x3 else (
        SOLVED_CORNERS,)
    assert words(cube) == expected


@pytest.mark.parametrize("name", TURNS)
def test_golden_words(cube_class, name):
    cube = cube_class()
    assert getattr(cube, name)() is None
    corners, edges = GOLDEN[name]
    expected = (corners, edges) if cube_class is twirlkit.Cube3x3 else (corners,)
    assert words(cube) == expected
    assert cube.is_solved() is False


def test_inverse_and_fourfold_are_identity_on_random_states(cube_class, rng):
    for _ in range(20):
        cube = cube_class()
        random_turns(cube, rng)
        start = words(cube)
        for name in TURNS:
            getattr(cube, name)()
            check_invariants(cube)
            getattr(cube, inverse_name(name))()
            assert words(cube) == start
            for _ in range(4):
                getattr(cube, name)()
            assert words(cube) == start


def test_two_by_two_follows_the_corner_word(rng):
    for _ in range(20):
        big, small = twirlkit.Cube3x3(), twirlkit.Cube2x2()
        for name in random_turns(big, rng, 50):
            getattr(small, name)()
        assert small.state == big.corners
        check_invariants(big)
        check_invariants(small)


def test_rotation_of_the_whole_2x2_is_not_solved():
    cube = twirlkit.Cube2x2()
    cube.do_u_move()
    cube.do_d_prime_move()
    assert cube.state == 0x0000003148710403
    assert not cube.is_solved()

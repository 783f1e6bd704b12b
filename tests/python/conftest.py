import os
import random
import tempfile

import pytest

# The solver's table cache goes to a directory of this session's own, never
# the user's; subprocesses inherit it, so the tables are built once a session.
os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="twirlkit-tests-")

import twirlkit

TURNS = [
    "do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
    "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
    "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move",
]

SOLVED_CORNERS = 0x000000398A418820
SOLVED_EDGES = 0x05A928398A418820


def words(cube):
    """The packed words of a cube: (corners, edges) or (state,)."""
    if isinstance(cube, twirlkit.Cube3x3):
        return (cube.corners, int(cube.to_binary_edges(), 2))
    return (cube.state,)


def corner_word(cube):
    return cube.corners if isinstance(cube, twirlkit.Cube3x3) else cube.state


def check_invariants(cube):
    """Each piece once, orientation sum divisible by 3, flip sum even, padding zero."""
    corners = corner_word(cube)
    assert corners >> 40 == 0
    pieces = [((corners >> (5 * k)) & 7, (corners >> (5 * k + 3)) & 3) for k in range(8)]
    assert sorted(p for p, _ in pieces) == list(range(8))
    assert all(o < 3 for _, o in pieces)
    assert sum(o for _, o in pieces) % 3 == 0
    if isinstance(cube, twirlkit.Cube3x3):
        edges = int(cube.to_binary_edges(), 2)
        assert edges >> 60 == 0
        slots = [(edges >> (5 * k)) & 31 for k in range(12)]
        assert sorted(v & 15 for v in slots) == list(range(12))
        assert sum(v >> 4 for v in slots) % 2 == 0


def random_turns(cube, rng, count=30):
    names = [rng.choice(TURNS) for _ in range(count)]
    for name in names:
        getattr(cube, name)()
    return names


@pytest.fixture(params=[twirlkit.Cube3x3, twirlkit.Cube2x2], ids=["3x3", "2x2"])
def cube_class(request):
    return request.param


@pytest.fixture
def rng():
    return random.Random(12345)

import os
import random
import signal
import subprocess
import sys
import tempfile
import textwrap
import time
from pathlib import Path

import pytest

# The solver's table cache goes to a directory of this session's own, never
# the user's; subprocesses inherit it, so the tables are built once a session.
os.environ["XDG_CACHE_HOME"] = tempfile.mkdtemp(prefix="twirlkit-tests-")
os.environ.pop("TWIRLKIT_CACHE_DIR", None)
os.environ.pop("TWIRLKIT_PROGRESS", None)

import numpy as np
import twirlkit
from twirlkit import Cube2x2, Cube3x3

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


def run_until_interrupted(tmp_path, setup, call, check, attempts=5):
    """Starts `call` in a child, sends SIGINT once it runs, and returns the
    child's report: "interrupted" when the call ended by KeyboardInterrupt and
    left the objects valid (`check`), "returned" when it finished. A signal
    that lands before the call has begun (the child was slow to come back from
    its "ready" line) tests nothing, so that child reports "early" and another
    one is started."""
    script = tmp_path / "interrupt.py"
    script.write_text(textwrap.dedent(f"""
        import signal, sys
        import numpy as np
        import twirlkit
        from conftest import check_invariants
        # A shell starts background jobs with SIGINT ignored, and Python then
        # leaves it ignored: the test must not depend on how pytest was run.
        signal.signal(signal.SIGINT, signal.default_int_handler)
        {setup}
        started = False
        try:
            print("ready", flush=True)
            started = True
            result = {call}
        except KeyboardInterrupt:
            if not started:
                print("early", flush=True)
                sys.exit(0)
            {check}
            print("interrupted", flush=True)
        else:
            print("returned", flush=True)
    """))
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([str(Path(__file__).parent)] + sys.path))
    for _ in range(attempts):
        child = subprocess.Popen([sys.executable, str(script)], stdout=subprocess.PIPE,
                                 stderr=subprocess.PIPE, text=True, env=env)
        try:
            assert child.stdout.readline() == "ready\n", child.stderr.read()
            time.sleep(0.2)  # well into the call, as a rule
            child.send_signal(signal.SIGINT)
            out, err = child.communicate(timeout=120)
        finally:
            child.kill()
        assert child.returncode == 0, err
        if out != "early\n":
            return out
    return out


# --- shared by the process, thread and memory tests ---------------------------

SHIM = Path(__file__).resolve().parents[1] / "shim" / "fail_entropy.c"
SANITIZED = bool(os.environ.get("TWIRLKIT_SANITIZED"))
CLASSES = {2: Cube2x2, 3: Cube3x3}
ALLOWED_CONFLICTS = {"Already borrowed", "Already mutably borrowed"}


def run_script(path, code, timeout=120, env=None):
    path.write_text(textwrap.dedent(code))
    full_env = dict(os.environ, **(env or {}))
    result = subprocess.run([sys.executable, str(path)], env=full_env, capture_output=True,
                            text=True, timeout=timeout)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def assert_valid_sticker_rows(rows, cube_type):
    """Each colour once per sticker of a face; on the 3x3 the centres never move."""
    per_face = 9 if cube_type == 3 else 4
    assert rows.dtype == np.int64 and rows.shape[1] == 6 * per_face
    expected = np.repeat(np.arange(6, dtype=np.int64), per_face)
    assert (np.sort(rows, axis=1) == expected).all()
    if cube_type == 3:
        assert (rows[:, 4::9] == np.arange(6)).all()

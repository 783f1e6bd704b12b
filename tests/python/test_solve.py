"""batch.solve() on 3x3 batches: the two-phase solver."""
import math
import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch, Cube3x3
from conftest import run_until_interrupted

SANITIZED = bool(os.environ.get("TWIRLKIT_SANITIZED"))
FACES = "UDRLFB"
TOKENS = {f + s for f in FACES for s in ("", "2", "'")}
SUPERFLIP = "U R2 F B R B2 R U2 L B2 R U' D' R2 F R' L B2 U2 F2"
# Generous: lengths must come from the search, not from a busy machine's clock.
PATIENT = 60.0


def batch_from_texts(texts):
    """A 3x3 batch whose cube i is a solved cube turned by texts[i]."""
    steps = []
    for text in texts:
        indexes = []
        for token in text.split():
            quarter = 2 * FACES.index(token[0])
            indexes += [quarter + 1] if token.endswith("'") else [quarter] * (2 if token.endswith("2") else 1)
        steps.append(indexes)
    batch = CubeBatch(len(texts), 3)
    for k in range(max((len(s) for s in steps), default=0)):
        batch.apply_move_indexes(np.array([s[k] if k < len(s) else 12 for s in steps], dtype=np.uintp))
    return batch


def scrambled_batch(count, length=100, seed=0):
    rng = np.random.default_rng(seed)
    batch = CubeBatch(count, 3)
    for _ in range(length):
        batch.apply_move_indexes(rng.integers(0, 12, count).astype(np.uintp))
    return batch


def check_solutions(batch, solutions):
    assert isinstance(solutions, list) and len(solutions) == len(batch)
    for cube, text in zip(batch, solutions):
        assert isinstance(text, str)
        tokens = text.split()
        assert set(tokens) <= TOKENS
        assert text == " ".join(tokens)
        cube.do_moves(text)
        assert cube.is_solved(), text


def test_random_states_are_solved_within_the_default_length():
    batch = scrambled_batch(40 if SANITIZED else 200)
    solutions = batch.solve(timeout=PATIENT)
    check_solutions(batch, solutions)
    lengths = [len(s.split()) for s in solutions]
    assert max(lengths) <= 21
    # The batch itself is left as it was.
    again = scrambled_batch(len(batch))
    assert np.array_equal(batch.to_sticker_array(), again.to_sticker_array())


def test_hand_made_states():
    texts = ["", "U", "R2", "F'", "U D'", SUPERFLIP, " ".join(["R U R' U'"] * 6), "F2 B2 U2 D2 L2 R2"]
    batch = batch_from_texts(texts)
    solutions = batch.solve(timeout=PATIENT)
    check_solutions(batch, solutions)
    assert solutions[:5] == ["", "U'", "R2", "F", "U' D"]
    assert solutions[6] == ""  # six times R U R' U' is the identity
    assert 20 <= len(solutions[5].split()) <= 21  # the superflip takes 20
    assert len(solutions[7].split()) <= 6


def test_max_length_is_honoured_where_it_can_be():
    rng = np.random.default_rng(3)
    texts = [" ".join(rng.choice(sorted(TOKENS), size=n)) for n in (3, 5, 7, 8)]
    for text in texts:
        batch = batch_from_texts([text])
        [solution] = batch.solve(max_length=len(text.split()), timeout=PATIENT)
        assert len(solution.split()) <= len(text.split())
        check_solutions(batch, [solution])


def test_an_unreachable_length_still_gives_the_shortest_found():
    batch = scrambled_batch(2, seed=5)
    solutions = batch.solve(max_length=5, timeout=0.05)
    check_solutions(batch, solutions)
    assert all(len(s.split()) > 5 for s in solutions)


def test_empty_and_solved_batches():
    assert CubeBatch(0, 3).solve() == []
    assert CubeBatch(3, 3).solve() == ["", "", ""]


def test_arguments():
    batch = CubeBatch(1, 3)
    with pytest.raises(TypeError, match="positional"):
        batch.solve(21)
    with pytest.raises(TypeError, match="unexpected keyword|invalid keyword|got an"):
        batch.solve(length=21)
    for bad in ("21", 21.0, True, None):
        with pytest.raises(TypeError, match="max_length"):
            batch.solve(max_length=bad)
    with pytest.raises(ValueError, match="^max_length must not be negative$"):
        batch.solve(max_length=-1)
    assert batch.solve(max_length=10**30) == [""]  # as good as no limit
    for bad in ("1", None, True):
        with pytest.raises(TypeError, match="timeout"):
            batch.solve(timeout=bad)
    for bad in (0, 0.0, -1.0, float("nan"), float("-inf")):
        with pytest.raises(ValueError, match="^timeout must be a positive number of seconds$"):
            batch.solve(timeout=bad)
    assert batch.solve(max_length=0, timeout=2) == [""]


def test_keywords_take_what_index_and_float_take():
    cube = Cube3x3()
    cube.do_moves("R U")
    batch = CubeBatch.from_cubes([cube])
    for max_length, timeout in ((np.int64(20), np.float32(0.5)), (np.uint8(21), np.int64(1)),
                                (20, math.inf), (np.int32(-0) + 30, np.float64(1e300))):
        assert batch.solve(max_length=max_length, timeout=timeout) == ["U' R'"]
    with pytest.raises(ValueError, match="^max_length must not be negative$"):
        batch.solve(max_length=np.int8(-1))
    with pytest.raises(TypeError, match="max_length"):
        batch.solve(max_length=np.float64(20))
    assert CubeBatch(2, 2).solve(max_length=np.int16(3), timeout=math.inf) == ["", ""]


def test_other_threads_run_while_it_solves():
    batch = scrambled_batch(20, seed=8)
    ticks = []
    stop = threading.Event()

    def tick():
        while not stop.is_set():
            ticks.append(Cube3x3().is_solved())
            stop.wait(0.001)

    thread = threading.Thread(target=tick)
    thread.start()
    try:
        batch.solve(max_length=18, timeout=0.2)
    finally:
        stop.set()
        thread.join()
    assert ticks


def run_python(code, env, timeout=300):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          env={**os.environ, **env}, capture_output=True, text=True,
                          timeout=timeout)


def test_a_corrupt_cache_is_rebuilt_once_for_two_threads(tmp_path):
    cache = tmp_path / "twirlkit"
    cache.mkdir()
    name = "solver3x3-v4.bin"
    (cache / name).write_bytes(b"TWKSOLV3" + bytes(100))
    code = """
        import threading, twirlkit
        b = twirlkit.CubeBatch(4, 3)
        b.scramble(__import__("numpy").full(4, 30))
        out = []
        threads = [threading.Thread(target=lambda: out.append(b.solve())) for _ in range(2)]
        for t in threads: t.start()
        for t in threads: t.join()
        assert len(out) == 2
        for solutions in out:
            for cube, text in zip(b, solutions):
                cube.do_moves(text); assert cube.is_solved()
    """
    # Progress is shown on a terminal only, unless asked for.
    env = {"XDG_CACHE_HOME": str(tmp_path), "TWIRLKIT_PROGRESS": "1"}
    first = run_python(code, env)
    assert first.returncode == 0, first.stderr
    assert first.stderr.count("building the 3x3 solver tables") == 1
    assert (cache / name).stat().st_size > 50_000_000
    assert sorted(p.name for p in cache.iterdir()) == [name]
    second = run_python(code, env)
    assert second.returncode == 0, second.stderr
    assert "building" not in second.stderr


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_stops_a_long_solve(tmp_path):
    out = run_until_interrupted(
        tmp_path,
        # Tables ready before the signal; then hours of search.
        "twirlkit.CubeBatch(1, 3).solve(); b = twirlkit.CubeBatch(400, 3); "
        "b.scramble(np.full(400, 100))",
        "b.solve(max_length=14, timeout=1000.0)",
        "b.scramble(np.full(400, 1))")  # the batch is free again
    assert out == "interrupted\n"


def test_interop_with_the_other_solver():
    kociemba = pytest.importorskip("kociemba")
    batch = scrambled_batch(100, seed=9)
    faces = "URFDLB"
    facelets = ["".join(faces[c] for c in row) for row in batch.to_sticker_array()]
    theirs = [kociemba.solve(f) for f in facelets]
    ours = batch.solve(timeout=PATIENT)
    check_solutions(batch, ours)
    check_solutions(batch, theirs)

"""Exact 2x2 distances and optimal solutions: CubeBatch.distances() and solve()."""

import os
import subprocess
import sys
import textwrap

import numpy as np
import pytest

from twirlkit import CubeBatch, Cube2x2

QUARTER_TURNS = ["U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'"]
SANITIZED = bool(os.environ.get("TWIRLKIT_SANITIZED"))


def batch_after(move_lists):
    """A 2x2 batch whose cube i has had the move indexes move_lists[i] applied."""
    batch = CubeBatch(len(move_lists), 2)
    for step in range(max((len(m) for m in move_lists), default=0)):
        batch.apply_move_indexes(np.array(
            [m[step] if step < len(m) else 12 for m in move_lists], dtype=np.uintp))
    return batch


def run_python(code, timeout=240):
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)],
                          capture_output=True, text=True, timeout=timeout)


@pytest.fixture(scope="module")
def scrambled():
    batch = CubeBatch(3000, 2)
    batch.scramble(np.arange(3000, dtype=np.int64) % 40)
    return batch


def test_solutions_are_quarter_turns_as_long_as_the_distance_and_solve(scrambled):
    distances = scrambled.distances()
    solutions = scrambled.solve()
    assert distances.dtype == np.int8 and distances.shape == (len(scrambled),)
    assert isinstance(solutions, list) and len(solutions) == len(scrambled)
    assert distances.min() == 0 and distances.max() <= 14
    for i, text in enumerate(solutions):
        tokens = text.split()
        assert text == " ".join(tokens)
        assert set(tokens) <= set(QUARTER_TURNS)
        assert len(tokens) == distances[i]
        cube = scrambled[i]
        cube.do_moves(text)
        assert cube.is_solved(), (i, text)
    assert scrambled.solve() == solutions  # deterministic


def test_one_turn_from_solved_is_one_away_and_solved_by_its_inverse():
    batch = batch_after([[m] for m in range(12)] + [[]])
    assert batch.distances().tolist() == [1] * 12 + [0]
    inverse = [QUARTER_TURNS[m ^ 1] for m in range(12)]
    assert batch.solve() == inverse + [""]


def test_downhill_takes_the_first_move_in_index_order():
    # R R: both R (index 4) and R' (5) lower the distance; R comes first.
    # U D' turns the whole cube a quarter: not solved, two moves away; U'
    # (index 1) is its first downhill move.
    batch = batch_after([[4, 4], [0, 3], [0, 3, 0, 3]])
    assert batch.distances().tolist() == [2, 2, 4]
    assert batch.solve() == ["R R", "U' D", "U U D D"]


def test_empty_batches_and_3x3_batches():
    empty = CubeBatch(0, 2)
    assert empty.distances().dtype == np.int8 and empty.distances().shape == (0,)
    assert empty.solve() == []
    cubes = CubeBatch(2, 3)
    with pytest.raises(TypeError, match=r"^distances\(\) needs a batch of 2x2 cubes$"):
        cubes.distances()
    assert cubes.solve() == ["", ""]  # the 3x3 solver
    with pytest.raises(TypeError):
        empty.distances(1)
    # The solver's keywords are checked on a 2x2 batch too, and change nothing.
    batch = CubeBatch(3, 2)
    batch.apply_move_indexes(np.array([4, 0, 9], dtype=np.uintp))
    assert batch.solve(max_length=0, timeout=0.001) == batch.solve() == ["R'", "U'", "F"]
    with pytest.raises(ValueError):
        batch.solve(timeout=0)
    with pytest.raises(TypeError):
        batch.solve(1)


def test_the_batch_is_unchanged_and_the_array_is_its_own(scrambled):
    before = scrambled.to_sticker_array()
    d = scrambled.distances()
    d[:] = -1  # writeable, and not the table
    assert np.array_equal(scrambled.to_sticker_array(), before)
    assert scrambled.distances().min() >= 0


def test_racing_threads_and_forks_during_and_after_the_build():
    result = run_python("""
        import os, threading, numpy as np, twirlkit
        b = twirlkit.CubeBatch(512, 2)
        b.scramble(np.full(512, 25, dtype=np.int64))

        def child_distances():
            r, w = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(r)
                os.write(w, b.distances().tobytes())
                os._exit(0)
            os.close(w)
            data = b""
            while chunk := os.read(r, 4096):
                data += chunk
            os.close(r)
            assert os.waitpid(pid, 0)[1] == 0
            return np.frombuffer(data, dtype=np.int8)

        # Forked while another thread may be building: the child never waits
        # on a builder it does not have.
        results = []
        threads = [threading.Thread(target=lambda: results.append(b.distances()))
                   for _ in range(4)]
        for t in threads: t.start()
        during = child_distances()
        for t in threads: t.join()
        after = child_distances()
        assert all(np.array_equal(r, results[0]) for r in results)
        assert np.array_equal(during, results[0]) and np.array_equal(after, results[0])
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


@pytest.mark.skipif(SANITIZED, reason="address-space limits do not work under AddressSanitizer")
def test_a_refused_table_allocation_is_a_memory_error_and_builds_nothing():
    result = run_python("""
        import resource, numpy as np, twirlkit
        b = twirlkit.CubeBatch(64, 2)
        b.scramble(np.full(64, 20, dtype=np.int64))  # starts the pool's threads
        before = b.to_sticker_array()
        np.zeros(8, np.int8)
        with open("/proc/self/statm") as f:
            pages = int(f.read().split()[0])
        used = pages * resource.getpagesize()
        resource.setrlimit(resource.RLIMIT_AS, (used + (16 << 20), resource.RLIM_INFINITY))
        for _ in range(2):
            try:
                b.distances()
            except MemoryError as e:
                assert "distance table" in str(e), e
            else:
                raise AssertionError("no MemoryError")
        resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
        assert np.array_equal(b.to_sticker_array(), before)
        d = b.distances()
        assert len(b.solve()[0].split()) == d[0]
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"


def test_ctrl_c_during_the_build_leaves_no_half_built_table():
    result = run_python("""
        import os, signal, threading, numpy as np, twirlkit
        signal.signal(signal.SIGINT, signal.default_int_handler)  # even if started ignored
        b = twirlkit.CubeBatch(256, 2)
        b.scramble(np.full(256, 25, dtype=np.int64))
        threading.Timer(0.3, os.kill, (os.getpid(), signal.SIGINT)).start()
        try:
            b.distances()
            import time; time.sleep(5)  # the build was quicker: the signal lands here
        except KeyboardInterrupt:
            pass
        else:
            raise AssertionError("no KeyboardInterrupt")
        d = b.distances()
        assert [len(s.split()) for s in b.solve()] == d.tolist()
        one = twirlkit.CubeBatch(12, 2)
        one.apply_move_indexes(np.arange(12, dtype=np.uintp))
        assert one.distances().tolist() == [1] * 12
        print("ok")
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "ok"

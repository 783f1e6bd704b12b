"""Random scrambles of single cubes: length rules, uniform move choice, generators."""
import os
import select
import shutil
import signal
import subprocess
import sys
import textwrap
import threading
import time
from pathlib import Path

import pytest

import twirlkit
from conftest import TURNS, check_invariants, corner_word, words

SHIM = Path(__file__).resolve().parents[1] / "shim" / "fail_entropy.c"


def permutation_parity(word, count, mask):
    pieces = [(word >> (5 * k)) & mask for k in range(count)]
    return sum(a > b for i, a in enumerate(pieces) for b in pieces[i + 1:]) % 2


def successors(cube_class):
    """Words of the twelve quarter-turn successors of the solved cube, by move index."""
    table = {}
    for index, name in enumerate(TURNS):
        cube = cube_class()
        getattr(cube, name)()
        table[words(cube)] = index
    assert len(table) == 12
    return table


def scrambled(cube_class, *args, **kwargs):
    cube = cube_class()
    assert cube.scramble(*args, **kwargs) is None
    return cube


def test_every_quarter_turn_flips_the_permutation_parity(cube_class):
    # Each quarter turn is a 4-cycle of corners (and of edges), so k turns give
    # parity k mod 2; a scramble that drops or adds a turn shows up here.
    for length in (1, 2, 3, None, 100_001):
        for _ in range(40 if length != 100_001 else 2):
            cube = scrambled(cube_class) if length is None else scrambled(cube_class, length)
            expected = (20 if length is None else length) % 2
            assert permutation_parity(corner_word(cube), 8, 7) == expected
            if cube_class is twirlkit.Cube3x3:
                assert permutation_parity(words(cube)[1], 12, 15) == expected
            check_invariants(cube)


def test_default_length_scrambles(cube_class):
    results = {words(scrambled(cube_class)) for _ in range(50)}
    assert len(results) == 50
    assert words(cube_class()) not in results


def test_non_positive_lengths_leave_the_cube_alone(cube_class):
    for length in (0, -5, -(2**63)):
        assert scrambled(cube_class, length).is_solved()
    assert scrambled(cube_class, scramble_length=-1).is_solved()


def test_scramble_continues_from_the_current_state(cube_class):
    cube = cube_class()
    cube.do_r_move()
    cube.scramble(1)
    assert permutation_parity(corner_word(cube), 8, 7) == 0


def test_length_two_can_return_to_solved(cube_class):
    assert any(scrambled(cube_class, 2).is_solved() for _ in range(600))


def test_single_turns_are_uniform(cube_class):
    # 12 cells, 11 degrees of freedom: a chi-square above 40 has probability
    # below 1e-4 for a uniform choice.
    table = successors(cube_class)
    draws = 24_000
    counts = [0] * 12
    for _ in range(draws):
        counts[table[words(scrambled(cube_class, 1))]] += 1
    expected = draws / 12
    chi_square = sum((c - expected) ** 2 / expected for c in counts)
    assert chi_square < 40, counts


def test_length_argument_errors_leave_the_cube_alone(cube_class):
    cube = cube_class()
    with pytest.raises(OverflowError):
        cube.scramble(2**63)
    with pytest.raises(OverflowError):
        cube.scramble(-(2**63) - 1)
    for bad in (1.5, "3", None):
        with pytest.raises(TypeError, match="scramble_length"):
            cube.scramble(bad)
    with pytest.raises(TypeError, match="scramble_length"):
        cube.scramble(scramble_length=2.0)
    assert cube.is_solved()
    cube.scramble(3)  # no hold left behind


def read_all(fds, timeout):
    """Read every pipe to its end, or give up at the deadline."""
    data = {fd: b"" for fd in fds}
    open_fds = set(fds)
    deadline = time.monotonic() + timeout
    while open_fds:
        left = deadline - time.monotonic()
        if left <= 0:
            break
        ready, _, _ = select.select(list(open_fds), [], [], left)
        for fd in ready:
            chunk = os.read(fd, 4096)
            if chunk:
                data[fd] += chunk
            else:
                open_fds.discard(fd)
    return data, not open_fds


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_forked_children_draw_their_own_scrambles(cube_class):
    scrambled(cube_class, 5)  # seed this thread's generator before forking
    children = []
    for _ in range(16):
        read_fd, write_fd = os.pipe()
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                os.close(read_fd)
                os.write(write_fd, repr(words(scrambled(cube_class, 40))).encode())
                code = 0
            finally:
                os._exit(code)
        os.close(write_fd)
        children.append((pid, read_fd))
    try:
        data, complete = read_all([fd for _, fd in children], timeout=20)
    finally:
        for pid, fd in children:
            os.close(fd)
            for _ in range(200):
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                time.sleep(0.01)
            else:
                os.kill(pid, signal.SIGKILL)
                os.waitpid(pid, 0)
                status = -1
            assert status == 0, f"child {pid} ended with status {status}"
    assert complete, "a child did not finish in time"
    results = [data[fd] for _, fd in children]
    assert all(results)
    assert len(set(results)) == 16
    parent_next = repr(words(scrambled(cube_class, 40))).encode()
    assert parent_next not in results


def test_threads_draw_their_own_scrambles(cube_class):
    count = 4
    barrier = threading.Barrier(count)
    results = [None] * count
    errors = []

    def work(slot):
        try:
            barrier.wait(timeout=10)
            results[slot] = words(scrambled(cube_class, 40))
        except BaseException as error:  # reported below, not lost in the thread
            errors.append(error)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(count)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=20)
    assert not errors
    assert None not in results
    results.append(words(scrambled(cube_class, 40)))
    assert len(set(results)) == count + 1


@pytest.mark.skipif(shutil.which("gcc") is None, reason="needs gcc")
@pytest.mark.skipif(not SHIM.exists(), reason="entropy shim not present")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the shim cannot be stacked on the sanitizer preload")
def test_entropy_failure_raises_panic_and_the_process_goes_on(tmp_path):
    shim = tmp_path / "fail_entropy.so"
    subprocess.run(["gcc", "-shared", "-fPIC", "-o", str(shim), str(SHIM), "-ldl"], check=True)
    script = textwrap.dedent("""
        import twirlkit
        cube = twirlkit.Cube3x3()
        try:
            cube.scramble()
        except twirlkit.PanicException as error:
            print("panic", bool(str(error)))
        else:
            print("no panic")
        cube.do_moves("R")
        cube.scramble(0)
        print("solved" if cube.is_solved() else "turned")
        try:
            twirlkit.Cube2x2().scramble(1)
        except twirlkit.PanicException:
            print("panic again")
        print("alive")
    """)
    module_dir = os.path.dirname(twirlkit.__file__)
    env = dict(os.environ, LD_PRELOAD=str(shim), PYTHONHASHSEED="0",
               PYTHONPATH=os.pathsep.join(filter(None, [module_dir,
                                                        os.environ.get("PYTHONPATH")])))
    out = subprocess.run([sys.executable, "-c", script], env=env, capture_output=True,
                         text=True, timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split("\n") == ["panic True", "turned", "panic again", "alive", ""]

"""Threads: many threads on one batch, and a list changed while it is read."""
import random
import re
import sys
import threading
import time

import numpy as np
import pytest

from conftest import check_invariants
from twirlkit import CubeBatch, Cube2x2, Cube3x3, get_next_states
from conftest import ALLOWED_CONFLICTS, assert_valid_sticker_rows


# --- threads ---------------------------------------------------------------------

@pytest.mark.parametrize("cube_type", [2, 3])
def test_threads_hammering_one_batch_see_only_borrow_errors(cube_type):
    count = 1500
    batch = CubeBatch(count, cube_type)
    lengths = np.full(count, 3, dtype=np.int64)
    moves = (np.arange(count) % 13).astype(np.uintp)
    unexpected, conflicts, done = [], [], {}
    start = time.monotonic()

    # The two lock-free readers alone would keep the batch held almost all the
    # time; their short pauses, and the writers running on after the readers
    # stop, let every writer through.
    # Each thread also runs on past its window until one call of its own has
    # gone through, however the scheduler treats it; what it checks holds on
    # every interleaving: valid results and only the two borrow errors.
    def hammer(name, call, check=None, pause=0.0, seconds=0.8):
        calls = 0
        try:
            while time.monotonic() < start + seconds or (calls == 0 and time.monotonic() < start + 120):
                try:
                    result = call()
                except RuntimeError as error:
                    if str(error) not in ALLOWED_CONFLICTS:
                        raise
                    conflicts.append(str(error))
                    continue
                calls += 1
                if check is not None:
                    check(result)
                if pause:
                    time.sleep(pause)
        except BaseException as error:  # reported below, not lost in the thread
            unexpected.append((name, repr(error)))
        done[name] = calls

    def rows_of(expected_rows):
        def check(rows):
            assert rows.shape[0] == expected_rows
            assert_valid_sticker_rows(rows, cube_type)
        return check

    jobs = [
        ("next", batch.get_next_states, rows_of(12 * count), 5e-4, 0.6),
        ("stickers", batch.to_sticker_array, rows_of(count), 5e-4, 0.6),
        ("items", lambda: (batch[-1], batch.len(), len(batch)), None, 0.0, 0.6),
        ("scramble", lambda: batch.scramble(lengths)),
        ("moves", lambda: batch.apply_move_indexes(moves)),
    ]
    threads = [threading.Thread(target=hammer, args=job) for job in jobs]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=30)
    assert not unexpected
    assert all(done[job[0]] > 0 for job in jobs), done
    assert set(conflicts) <= ALLOWED_CONFLICTS
    for cube in batch:
        check_invariants(cube)
    assert_valid_sticker_rows(batch.to_sticker_array(), cube_type)


def test_module_get_next_states_while_another_thread_mutates_the_list():
    cubes = [Cube3x3() for _ in range(40)]
    stop = threading.Event()
    unexpected = []

    def mutate():
        rng = random.Random(7)
        try:
            while not stop.is_set():
                action = rng.randrange(5)
                if action == 0 and len(cubes) < 80:
                    cubes.extend(Cube3x3() for _ in range(5))
                elif action == 1 and cubes:
                    del cubes[rng.randrange(len(cubes)):]
                elif action == 2 and cubes:
                    cubes[rng.randrange(len(cubes))] = rng.choice([Cube2x2(), Cube3x3(), 7])
                elif action == 3:
                    cubes[:] = [Cube3x3() for _ in range(rng.randrange(1, 30))]
                elif cubes and hasattr(cube := cubes[rng.randrange(len(cubes))], "do_r_move"):
                    cube.do_r_move()
        except BaseException as error:
            unexpected.append(repr(error))

    old_interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-5)
    thread = threading.Thread(target=mutate)
    thread.start()
    shapes = set()
    try:
        for _ in range(400):
            try:
                rows = get_next_states(cubes)
            except (TypeError, RuntimeError):
                continue  # empty list, a mixed list, or a cube held by the mutator
            except BaseException as error:
                unexpected.append(repr(error))
                break
            assert rows.shape[0] % 12 == 0 and rows.shape[1] in (24, 54)
            assert_valid_sticker_rows(rows, 3 if rows.shape[1] == 54 else 2)
            shapes.add(rows.shape)
    finally:
        stop.set()
        thread.join()
        sys.setswitchinterval(old_interval)
    assert not unexpected
    # Whether any call above met a homogeneous list is up to the scheduler;
    # the same function on the list as the mutator left it is not.
    cubes[:] = [Cube3x3() for _ in range(3)]
    assert get_next_states(cubes).shape == (36, 54)


# --- argument arrays changed while they are read -------------------------------------

def race(target, states, call, calls=200):
    """Makes `calls` calls of call() while another thread copies each of `states`
    into `target` in turn (np.copyto releases the lock, so the copies overlap the
    calls, or some of them, however the scheduler runs it). Each call must give
    its documented error or a result; returns the results. Whether any copy
    lands inside a call is left to the scheduler: the verdict holds either way,
    and the more calls, the likelier a fault shows (on a quiet machine the
    sticker reader of old crashed within a few thousand)."""
    stop = threading.Event()

    def writer():
        while not stop.is_set():
            for state in states:
                np.copyto(target, state)

    thread = threading.Thread(target=writer, daemon=True)
    thread.start()
    try:
        return [call() for _ in range(calls)]
    finally:
        stop.set()
        thread.join()


def refused(error_type, pattern, call):
    """call(), or None where it raises `error_type` with a message matching `pattern`."""
    def attempt():
        try:
            return call()
        except error_type as error:
            assert re.match(pattern, str(error)), str(error)
            return None
    return attempt


@pytest.mark.parametrize("cube_type", [3, 2])
@pytest.mark.parametrize("layout", ["int64", "uint8", "int16 fortran"])
def test_sticker_rows_changed_while_read_give_their_rows_or_an_error(cube_type, layout):
    good = CubeBatch(64, cube_type)
    good.scramble(np.arange(64, dtype=np.int64) % 9)
    rows = good.to_sticker_array()
    dtype = {"int64": np.int64, "uint8": np.uint8, "int16 fortran": np.int16}[layout]
    make = np.asfortranarray if "fortran" in layout else np.ascontiguousarray
    # Each differs from the good rows in one sticker only, so a row that is
    # accepted, torn or not, is a good row.
    states = [make(rows.astype(dtype))]
    for code in (-1, 6, 7, 100):
        bad = rows.copy()
        bad[:, 0] = code
        states += [make(bad.astype(dtype)), states[0]]
    target = states[0].copy(order="K")
    results = race(target, states, refused(
        ValueError, r"^row \d+: sticker 0 has code (-1|6|7|100|255), not a colour code 0\.\.5$",
        lambda: CubeBatch.from_stickers(target, cube_type)), calls=2000)
    for made in results:
        if made is not None:
            assert np.array_equal(made.to_packed(), good.to_packed())


def test_packed_words_indexes_and_symmetries_changed_while_read_give_their_cubes_or_an_error():
    batch = CubeBatch(64, 3)
    batch.scramble(np.arange(64, dtype=np.int64) % 9)
    words = batch.to_packed()
    high = words.copy()
    high[:, 0] |= np.uint64(1 << 40)
    for state_type in (np.uint64, np.int64):
        target = words.astype(state_type)
        made = race(target, [words.astype(state_type), high.astype(state_type)], refused(
            ValueError, "^row \\d+: the corner word has bits set above its last slot$",
            lambda: CubeBatch.from_packed(target, 3)))
        assert all(m is None or np.array_equal(m.to_packed(), words) for m in made)

    picks = (np.arange(256) * 7) % 64
    expected = batch.take(picks).to_packed()
    for state_type in (np.int64, np.uint64, np.int8):
        outside = picks.astype(state_type)
        outside[::5] = 100
        target = picks.astype(state_type)
        made = race(target, [picks.astype(state_type), outside], refused(
            IndexError, "^cubeBatch index out of range$", lambda: batch.take(target)))
        assert all(m is None or np.array_equal(m.to_packed(), expected) for m in made)

    symmetries = np.arange(64) % 48
    expected = batch.transform(symmetries).to_packed()
    outside = symmetries.copy()
    outside[::3] = 1000
    target = symmetries.copy()
    made = race(target, [symmetries, outside], refused(
        ValueError, "^argument 'symmetry': value 1000 at position \\d+ is not in 0..47$",
        lambda: batch.transform(target)))
    assert all(m is None or np.array_equal(m.to_packed(), expected) for m in made)


def test_lengths_moves_and_outputs_changed_meanwhile_leave_valid_cubes():
    batch = CubeBatch(512, 3)
    lengths = np.full(512, 2, np.int64)
    moves = np.arange(512, dtype=np.uintp) % 12
    out = np.empty((512, 54), np.int64)
    race(lengths, [np.full(512, -2**63, np.int64), np.full(512, 2, np.int64), np.ones(512, np.int64)],
         lambda: batch.scramble(lengths))
    race(moves, [np.full(512, 2**63, np.uintp), np.arange(512, dtype=np.uintp) % 12],
         lambda: batch.apply_move_indexes(moves))
    race(out, [np.full((512, 54), -1, np.int64), np.zeros((512, 54), np.int64)],
         lambda: batch.stickers(out=out))
    assert_valid_sticker_rows(batch.stickers(out=out), 3)
    assert np.array_equal(out, batch.to_sticker_array())
    for cube in list(batch)[:32]:
        check_invariants(cube)

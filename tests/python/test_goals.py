"""Solving to a target batch, and solutions() as move arrays with a hard bound."""
import sys

import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch
from conftest import run_until_interrupted

NO_MOVE = {"qtm": 12, "htm": 18}
# Generous: 3x3 lengths must come from the search, not from a busy machine's clock.
PATIENT = 60.0


def check_rows(batch, target, moves, lengths, metric):
    """The arrays' types and padding, and that each found row takes its cube to the target."""
    n = len(batch)
    assert moves.dtype == np.uint8 and moves.ndim == 2 and moves.shape[0] == n
    assert lengths.dtype == np.int16 and lengths.shape == (n,)
    assert moves.shape[1] == max(lengths.max(initial=0), 0)
    for row, length in zip(moves, lengths):
        assert (row[max(length, 0):] == NO_MOVE[metric]).all()
        assert (row[:max(length, 0)] < NO_MOVE[metric]).all()
    reached = batch.copy()
    reached.apply(moves, metric=metric)
    found = lengths >= 0
    assert reached.equals(target)[found].all()
    return found


@pytest.mark.parametrize("metric", ["qtm", "htm"])
@pytest.mark.parametrize("cube_type, count", [(2, 300), (3, 8)])
def test_moves_take_every_cube_to_its_target(cube_type, count, metric):
    batch = CubeBatch.random(count, cube_type, 40, seed=cube_type)
    for target in (CubeBatch.random(count, cube_type, 40, seed=10 + cube_type),
                   CubeBatch.random(1, cube_type, 40, seed=20 + cube_type)):
        moves, lengths = batch.solutions(target=target, metric=metric, timeout=PATIENT)
        assert check_rows(batch, target, moves, lengths, metric).all()
        if cube_type == 3:
            # solve()'s default bound of 21 face turns, each one or two quarter turns.
            assert lengths.max() <= (21 if metric == "htm" else 42)
        # The text of solve() takes them there too, and so does a solved target.
        texts = batch.solve(target=target, timeout=PATIENT)
        for i, (cube, text) in enumerate(zip(batch, texts)):
            cube.do_moves(text)
            assert CubeBatch.from_cubes([cube]).equals(target.take([i % len(target)]))[0]
    solved = CubeBatch(1, cube_type)
    moves, lengths = batch.solutions(target=solved, metric=metric, timeout=PATIENT)
    again, again_lengths = batch.solutions(target=None, metric=metric, timeout=PATIENT)
    assert check_rows(batch, solved, moves, lengths, metric).all()
    if cube_type == 2:
        assert np.array_equal(moves, again) and np.array_equal(lengths, again_lengths)


def shallow_distances(metric, depth):
    """Packed state -> distance of every 2x2 position within `depth` moves of
    solved, by a breadth-first search over expand(): no table involved."""
    frontier = CubeBatch(1, 2)
    seen = {int(frontier.to_packed()[0, 0]): 0}
    for d in range(1, depth + 1):
        successors = frontier.expand(metric=metric)
        words, first = np.unique(successors.to_packed()[:, 0], return_index=True)
        new = [k for k, w in zip(first, words) if int(w) not in seen]
        seen.update((int(w), d) for w in words if int(w) not in seen)
        frontier = successors.take(np.array(new, dtype=np.int64))
    return seen


def test_2x2_lengths_are_the_optimum_of_the_metric():
    # Cubes a walk of up to four moves away from random targets: their
    # distance to the target is that of the walk's state, which the search
    # above knows.
    depth, count = 4, 400
    target = CubeBatch.random(count, 2, 30, seed=3)
    goal = target.take(np.arange(depth * count) % count)
    for metric in ("qtm", "htm"):
        walks, _ = CubeBatch(count, 2).random_walks(depth, seed=4, metric=metric)
        batch = goal.compose(walks)
        known = shallow_distances(metric, depth)
        expected = [known[int(w)] for w in walks.to_packed()[:, 0]]
        moves, lengths = batch.solutions(target=goal, metric=metric)
        check_rows(batch, goal, moves, lengths, metric)
        assert lengths.tolist() == expected
    # In quarter turns the lengths are the distances, to the target or of the
    # composed state.
    batch = CubeBatch.random(500, 2, 40, seed=5)
    goal = CubeBatch.random(500, 2, 40, seed=6)
    _, lengths = batch.solutions(target=goal)
    assert np.array_equal(lengths, batch.distances(target=goal))
    assert np.array_equal(lengths, goal.inverse().compose(batch).distances())
    one = goal.take([7])
    spread = one.take(np.zeros(len(batch), dtype=np.int64))
    assert np.array_equal(batch.distances(target=one), spread.inverse().compose(batch).distances())


@pytest.mark.parametrize("metric", ["qtm", "htm"])
def test_a_bound_below_the_optimum_gives_minus_one_and_never_a_longer_solution(metric):
    batch = CubeBatch.random(300, 2, 40, seed=7)
    goal = CubeBatch.random(300, 2, 40, seed=8)
    _, optimum = batch.solutions(target=goal, metric=metric)
    for bound in range(0, int(optimum.max()) + 1):
        moves, lengths = batch.solutions(target=goal, metric=metric, max_length=bound)
        assert lengths.tolist() == np.where(optimum <= bound, optimum, -1).tolist()
        check_rows(batch, goal, moves, lengths, metric)


@pytest.mark.parametrize("metric, bound", [("qtm", 26), ("htm", 19), ("htm", 0)])
def test_3x3_lengths_never_exceed_the_bound_in_the_metric(metric, bound):
    batch = CubeBatch.random(6, 3, 100, seed=9)
    goal = CubeBatch.random(6, 3, 100, seed=10)
    moves, lengths = batch.solutions(target=goal, metric=metric, max_length=bound, timeout=0.1)
    check_rows(batch, goal, moves, lengths, metric)
    assert lengths.max() <= bound
    if bound == 0:
        assert (lengths == -1).all() and moves.shape == (6, 0)
    # A cube at its target needs nothing, whatever the bound.
    assert batch.solutions(target=batch, max_length=0)[1].tolist() == [0] * 6


def test_wrong_targets_and_keywords_are_refused():
    small, big = CubeBatch(3, 2), CubeBatch(3, 3)
    for call in (small.distances, small.solve, small.solutions, big.solve, big.solutions):
        with pytest.raises(TypeError, match=r"^argument 'target' must be CubeBatch or None, not 'int'$"):
            call(target=1)
        other = big if call.__self__ is small else small
        with pytest.raises(TypeError, match=r"^argument 'target' holds Cube\dx\d cubes, not the "):
            call(target=other)
        with pytest.raises(ValueError, match=r"^argument 'target' must hold 3 cubes or 1, not 2$"):
            call(target=CubeBatch(2, 3 if call.__self__ is big else 2))
    with pytest.raises(ValueError, match="'qtm' or 'htm'"):
        small.solutions(metric="stm")
    with pytest.raises(ValueError, match="must not be negative"):
        small.solutions(max_length=-1)
    with pytest.raises(ValueError):
        big.solutions(timeout=0)
    with pytest.raises(TypeError):
        small.solutions(None)
    with pytest.raises(TypeError):
        small.distances(None)
    moves, lengths = CubeBatch(0, 3).solutions(target=CubeBatch(1, 3))
    assert moves.shape == (0, 0) and lengths.shape == (0,)


@pytest.mark.skipif(sys.platform == "win32", reason="POSIX signals")
def test_ctrl_c_stops_long_solutions(tmp_path):
    out = run_until_interrupted(
        tmp_path,
        "twirlkit.build_tables(3); b = twirlkit.CubeBatch.random(400, 3, 100, seed=1); "
        "t = twirlkit.CubeBatch.random(1, 3, 100, seed=2)",
        "b.solutions(target=t, max_length=14, timeout=1000.0)",
        "b.scramble(np.full(400, 1)); t.scramble(np.full(1, 1))")  # both free again
    assert out == "interrupted\n"

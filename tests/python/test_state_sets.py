"""StateSet, CubeBatch.unique and bfs, against Python sets, np.unique and known counts."""

import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch, StateSet

# Fixed-corner 2x2: U, U', R, R', F and F' keep the DBL corner at home.
FIXED_CORNER_MOVES = [0, 1, 4, 5, 8, 9]
FIXED_CORNER_GROWTH = [1, 6, 27, 120, 534, 2256, 8969, 33058, 114149, 360508, 930588,
                       1350852, 782536, 90280, 276]
QTM_3X3 = [1, 12, 114, 1068, 10011, 93840, 878880]
HTM_3X3 = [1, 18, 243, 3240, 43239]
TWELVE_MOVE_2X2 = [1, 12, 114, 924, 6539, 39528, 199926, 806136, 2761740, 8656152,
                   22334112, 32420448, 18780864, 2166720, 6624]


def rows(batch):
    return [tuple(r) for r in batch.to_packed().tolist()]


def short_scrambles(n, cube_type, seed):
    """Cubes a few moves from solved, so that states repeat."""
    lengths = np.random.default_rng(seed).integers(0, 4, n)
    return CubeBatch.random(n, cube_type, lengths, seed=seed)


@pytest.mark.parametrize("cube_type", [2, 3])
def test_state_set_answers_like_a_python_set(cube_type):
    states = StateSet(cube_type)
    reference = set()
    # Small batches keep the lock, 40_000 cubes take the workers.
    for seed, n in enumerate([1, 500, 40_000, 3_000]):
        batch = short_scrambles(n, cube_type, seed)
        probe = short_scrambles(2_000, cube_type, 100 + seed)
        expected_contains = [r in reference for r in rows(probe)]
        assert states.contains(probe).tolist() == expected_contains
        expected = []
        for r in rows(batch):
            expected.append(r not in reference)
            reference.add(r)
        flags = states.add(batch)
        assert flags.dtype == np.bool_ and flags.shape == (n,)
        assert flags.tolist() == expected
        assert len(states) == len(reference)
    assert sorted(rows(states.to_batch())) == sorted(reference)
    states.clear()
    assert len(states) == 0 and len(states.to_batch()) == 0
    assert not states.contains(CubeBatch(1, cube_type)).any()


def test_state_set_refuses_other_batches_and_cube_types():
    states = StateSet(3)
    with pytest.raises(TypeError, match="holds Cube2x2 cubes, not the Cube3x3 cubes of this set"):
        states.add(CubeBatch(2, 2))
    with pytest.raises(TypeError, match="must be CubeBatch"):
        states.contains([twirlkit.Cube3x3()])
    with pytest.raises(TypeError, match="unknown cube type"):
        StateSet(4)
    assert len(states) == 0


@pytest.mark.parametrize("cube_type", [2, 3])
def test_unique_matches_np_unique_keeping_first_places(cube_type):
    batch = short_scrambles(30_000, cube_type, 7)
    packed = batch.to_packed()
    states, index, inverse, counts = batch.unique(
        return_index=True, return_inverse=True, return_counts=True)
    _, np_index, np_counts = np.unique(packed, axis=0, return_index=True, return_counts=True)
    order = np.argsort(np_index)
    assert index.tolist() == np_index[order].tolist()
    assert counts.tolist() == np_counts[order].tolist()
    assert all(a.dtype == np.intp for a in (index, inverse, counts))
    assert (states.to_packed() == packed[index]).all()
    assert (states.to_packed()[inverse] == packed).all()
    # np.unique's return convention: the batch alone, or a tuple in its order.
    assert isinstance(batch.unique(), CubeBatch)
    assert (batch.unique().to_packed() == states.to_packed()).all()
    only_counts = batch.unique(return_counts=True)
    assert len(only_counts) == 2 and only_counts[1].tolist() == counts.tolist()
    pair = batch.unique(return_inverse=True, return_index=True)
    assert pair[1].tolist() == index.tolist() and pair[2].tolist() == inverse.tolist()
    empty = CubeBatch(0, cube_type).unique(return_index=True)
    assert len(empty[0]) == 0 and empty[1].shape == (0,)


def test_bfs_counts_of_the_3x3_in_both_metrics():
    sizes, layers = twirlkit.bfs(3, 6)
    assert sizes.dtype == np.int64 and sizes.tolist() == QTM_3X3[:7]
    assert len(layers) == 1 and len(layers[0]) == QTM_3X3[6]
    assert twirlkit.bfs(3, 4, metric="htm")[0].tolist() == HTM_3X3


def test_bfs_fixed_corner_2x2_growth_ends_at_the_last_non_empty_depth():
    sizes, layers = twirlkit.bfs(2, 100, moves=FIXED_CORNER_MOVES, keep_last=2)
    assert sizes.tolist() == FIXED_CORNER_GROWTH
    assert [len(x) for x in layers] == FIXED_CORNER_GROWTH[-2:]
    # The deepest layer is 14 quarter turns away, with or without the corner fixed.
    assert (layers[1].distances() == 14).all()


def test_bfs_layers_are_the_distance_table_layers():
    sizes, layers = twirlkit.bfs(2, 6, keep_last=10)
    assert sizes.tolist() == TWELVE_MOVE_2X2[:7]
    for depth, layer in enumerate(layers):
        assert (layer.distances() == depth).all()
        assert len(layer.unique()) == len(layer)


def test_bfs_several_starts_and_move_sets():
    # Starts one turn from solved, with a repeat: the solved cube is at depth 1.
    start = CubeBatch(3, 2)
    start.apply_move_indexes(np.array([0, 1, 0], np.uintp))
    sizes, layers = twirlkit.bfs(2, 5, start=start, moves=[0, 1], keep_last=2)
    assert sizes.tolist() == [2, 2]
    assert len(layers[0].unique()) == 2 and layers[1].is_solved().sum() == 1
    assert twirlkit.bfs(2, 5, moves=[])[0].tolist() == [1]
    assert twirlkit.bfs(3, 0, keep_last=0)[0].tolist() == [1]
    assert twirlkit.bfs(3, 0, keep_last=0)[1] == []
    # Half turns are their own inverses; U2 R2 has order 6.
    assert twirlkit.bfs(3, 10, metric="htm", moves=[2, 8])[0].tolist() == [1, 2, 2, 2, 2, 2, 1]
    with pytest.raises(ValueError, match="inverse of each of its moves"):
        twirlkit.bfs(3, 3, moves=[0, 1, 4])
    with pytest.raises(ValueError, match="not a move of metric 'qtm'"):
        twirlkit.bfs(3, 3, moves=[12])
    with pytest.raises(ValueError, match="must not be negative"):
        twirlkit.bfs(3, -1)
    with pytest.raises(TypeError, match="holds Cube3x3 cubes"):
        twirlkit.bfs(2, 1, start=CubeBatch(1, 3))
    with pytest.raises(ValueError, match="at least one cube"):
        twirlkit.bfs(2, 1, start=CubeBatch(0, 2))


def test_bfs_progress_goes_to_stderr_when_asked(monkeypatch, capfd):
    monkeypatch.setenv("TWIRLKIT_PROGRESS", "1")
    twirlkit.bfs(2, 100, moves=FIXED_CORNER_MOVES)
    err = capfd.readouterr().err
    # Lines appear only after the first half second, which a fast machine
    # may not reach: any line there is must name a depth and its states.
    for line in err.splitlines():
        assert line.startswith("twirlkit: bfs depth ") and "states" in line

"""The examples, run as a user runs them, in small forms."""
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import twirlkit

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

pytestmark = pytest.mark.skipif(not EXAMPLES.is_dir(), reason="examples not present")


def run(script, *args, cwd):
    done = subprocess.run([sys.executable, str(EXAMPLES / script), *map(str, args)],
                          cwd=cwd, capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stderr
    return done


def bfs_counts(tmp_path, *args):
    out = run("bfs.py", *args, cwd=tmp_path).stdout
    rows = [line.split() for line in out.splitlines()]
    return [int(r[1]) for r in rows if len(r) == 3 and r[0].isdigit()]


def sticker_bfs_counts(cube_type, depth):
    """The same counts the slow way: sticker rows of successors as set keys."""
    layer = {tuple(twirlkit.CubeBatch(1, cube_type).to_sticker_array()[0])}
    seen, counts = set(layer), [1]
    for _ in range(depth):
        rows = twirlkit.CubeBatch.from_stickers(np.array(sorted(layer)), cube_type).get_next_states()
        layer = {tuple(r) for r in rows.tolist()} - seen
        seen |= layer
        counts.append(len(layer))
    return counts


def test_bfs_counts_distinct_positions_per_depth(tmp_path):
    # A small chunk makes the same position turn up in several chunks.
    assert bfs_counts(tmp_path, 4, "--chunk", 300) == [1, 12, 114, 1068, 10011]
    assert bfs_counts(tmp_path, 4, "--cube", 2, "--chunk", 300) == sticker_bfs_counts(2, 4)


def replay(moves, cube_type):
    batch = twirlkit.CubeBatch(len(moves), cube_type)
    for step in moves.T:
        batch.apply_move_indexes(step.astype(np.uintp))
    return batch


def test_dataset_is_consistent_and_reproducible_across_workers(tmp_path):
    common = ["--count", 300, "--chunk", 64, "--min-depth", 2, "--max-depth", 9]
    run("dataset.py", "a.npz", *common, "--workers", 2, "--start-method", "spawn",
        "--progress", cwd=tmp_path)
    with np.load(tmp_path / "a.npz") as a:
        first = {key: a[key] for key in a.files}
    # The seed recorded by a run without one rebuilds the file on one process.
    run("dataset.py", "b.npz", *common, "--seed", first["seed"], cwd=tmp_path)
    with np.load(tmp_path / "b.npz") as b:
        for key in b.files:
            np.testing.assert_array_equal(b[key], first[key], err_msg=key)

    states, successors = first["states"], first["next_states"]
    depths, moves = first["depths"], first["moves"]
    assert states.shape == (300, 54) and successors.shape == (300, 12, 54)
    assert depths.min() >= 2 and depths.max() <= 9 and moves.shape == (300, 9)
    assert ((moves == 12) == (np.arange(9) >= depths[:, None])).all()
    batch = replay(moves, 3)
    np.testing.assert_array_equal(batch.to_sticker_array(), states)
    np.testing.assert_array_equal(batch.get_next_states().reshape(300, 12, 54), successors)

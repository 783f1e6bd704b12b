"""Breadth-first search from the solved cube in the quarter-turn metric.

Prints how many distinct positions are first reached at each depth, up to
the depth given on the command line (5 by default):

    python3 examples/bfs.py [max_depth] [--cube 2|3] [--chunk N]

The expansion is CubeBatch.get_next_states: for a frontier of n cubes it
returns the 12 * n successor sticker rows, row 12 * i + m being cube i
after move index m. De-duplication is NumPy's: every sticker row is packed
into one fixed-size byte string and the layers are kept as sorted arrays of
those strings.

A cube cannot be built from its stickers, so each frontier position is kept
as the move indexes that reach it from solved; a frontier batch is rebuilt
by applying those moves column by column with apply_move_indexes.
"""

import argparse
import sys
import time

import numpy as np

import twirlkit


def as_keys(rows):
    """Each sticker row (codes 0..5) as one byte string, comparable and sortable."""
    packed = np.ascontiguousarray(rows, dtype=np.uint8)
    return packed.view(np.dtype((np.void, packed.shape[1]))).ravel()


def contains(sorted_keys, keys):
    """For each key, whether it is in the sorted array `sorted_keys`."""
    if len(sorted_keys) == 0:
        return np.zeros(len(keys), dtype=bool)
    at = np.searchsorted(sorted_keys, keys)
    at[at == len(sorted_keys)] = 0
    return sorted_keys[at] == keys


def batch_from_paths(paths, cube_type):
    """A batch whose cube i is solved cube after the moves paths[i]."""
    batch = twirlkit.CubeBatch(len(paths), cube_type)
    for column in paths.T:
        # A column of a 2-D array is strided; the batch wants a contiguous
        # uintp array, which astype makes.
        batch.apply_move_indexes(column.astype(np.uintp))
    return batch


def expand(paths, cube_type, known, chunk):
    """The positions one move beyond `paths` that are in none of the `known` layers.

    Returns their sorted keys and, in the same order, their move paths.
    """
    found_keys, found_paths = [], []
    for start in range(0, len(paths), chunk):
        part = paths[start:start + chunk]
        rows = batch_from_paths(part, cube_type).get_next_states()
        keys, first = np.unique(as_keys(rows), return_index=True)
        fresh = np.ones(len(keys), dtype=bool)
        for layer in known:
            fresh &= ~contains(layer, keys)
        first = first[fresh]
        parent, move = np.divmod(first, 12)
        found_keys.append(keys[fresh])
        found_paths.append(np.column_stack([part[parent], move.astype(np.uint8)]))
    # The chunks may have reached the same position twice.
    keys, first = np.unique(np.concatenate(found_keys), return_index=True)
    return keys, np.concatenate(found_paths)[first]


def bfs(max_depth, cube_type=3, chunk=8192):
    """Yields (depth, number of positions first reached at that depth)."""
    solved = twirlkit.CubeBatch(1, cube_type).to_sticker_array()
    previous = as_keys(solved[:0])
    current = as_keys(solved)
    paths = np.zeros((1, 0), dtype=np.uint8)
    yield 0, len(current)
    for depth in range(1, max_depth + 1):
        # Every neighbour of a position at depth d lies at depth d - 1, d or
        # d + 1, so the last two layers are all that need excluding.
        keys, paths = expand(paths, cube_type, (previous, current), chunk)
        previous, current = current, keys
        yield depth, len(keys)
        if len(keys) == 0:
            break


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("max_depth", nargs="?", type=int, default=5,
                        help="deepest layer to count (default 5)")
    parser.add_argument("--cube", type=int, choices=(2, 3), default=3,
                        help="cube size (default 3)")
    parser.add_argument("--chunk", type=int, default=8192,
                        help="frontier cubes expanded per call (bounds memory)")
    args = parser.parse_args(argv)
    if args.max_depth < 0 or args.chunk < 1:
        parser.error("max_depth must be >= 0 and --chunk >= 1")

    start = time.perf_counter()
    print(f"{args.cube}x{args.cube}x{args.cube}, quarter-turn metric, from solved")
    print(f"{'depth':>5}  {'positions':>12}")
    total = 0
    for depth, count in bfs(args.max_depth, args.cube, args.chunk):
        total += count
        print(f"{depth:>5}  {count:>12}", flush=True)
    print(f"{total} positions within depth {args.max_depth}, "
          f"{time.perf_counter() - start:.2f} s", file=sys.stderr)


if __name__ == "__main__":
    main()

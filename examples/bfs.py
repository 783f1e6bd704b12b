"""Breadth-first search from the solved cube in the quarter-turn metric.

Prints how many distinct positions are first reached at each depth, up to
the depth given on the command line (5 by default), and how long it took:

    python examples/bfs.py [max_depth] [--cube 2|3] [--chunk N]

States stay states all the way: a layer is kept as the packed words of its
positions (CubeBatch.to_packed), a chunk of it becomes a batch again with
CubeBatch.from_packed, CubeBatch.expand gives its 12 * n successors, and
their words are the keys that NumPy sorts and de-duplicates. Equal states
have equal words, so no sticker rows and no move paths are needed.
"""

import argparse
import resource
import sys
import time

import numpy as np

import twirlkit


def as_keys(words):
    """Each packed row as one sortable value: the word itself on the 2x2, a
    16-byte string of both words on the 3x3."""
    words = np.ascontiguousarray(words)
    if words.shape[1] == 1:
        return words.ravel()
    return words.view(np.dtype((np.void, 8 * words.shape[1]))).ravel()


def as_words(keys, width):
    """The packed rows behind `keys` (the inverse of as_keys)."""
    return np.ascontiguousarray(keys).view(np.uint64).reshape(-1, width)


def unique(keys):
    """The distinct values of `keys`, sorted. A sort and a comparison of
    neighbours: np.unique of integers is several times slower on NumPy 2.3
    and later, which hash first and then sort."""
    keys = np.sort(keys)
    if len(keys) < 2:
        return keys
    keep = np.empty(len(keys), dtype=bool)
    keep[0] = True
    keep[1:] = keys[1:] != keys[:-1]
    return keys[keep]


def contains(sorted_keys, keys):
    """For each key, whether it is in the sorted array `sorted_keys`."""
    if len(sorted_keys) == 0:
        return np.zeros(len(keys), dtype=bool)
    at = np.searchsorted(sorted_keys, keys)
    at[at == len(sorted_keys)] = 0
    return sorted_keys[at] == keys


def next_layer(layer, cube_type, known, chunk):
    """The sorted keys of the positions one move beyond the keys `layer`
    that are in none of the sorted `known` layers."""
    width = 2 if cube_type == 3 else 1
    found = layer[:0]
    pending, waiting = [], 0
    for start in range(0, len(layer), chunk):
        batch = twirlkit.CubeBatch.from_packed(as_words(layer[start:start + chunk], width),
                                               cube_type)
        keys = unique(as_keys(batch.expand().to_packed()))
        fresh = np.ones(len(keys), dtype=bool)
        for seen in known:
            fresh &= ~contains(seen, keys)
        pending.append(keys[fresh])
        waiting += int(fresh.sum())
        # Different chunks reach many of the same positions: folding them in
        # now and then keeps memory near the size of the new layer.
        if waiting > max(len(found), 12 * chunk):
            found = unique(np.concatenate([found, *pending]))
            pending, waiting = [], 0
    return unique(np.concatenate([found, *pending]))


def bfs(max_depth, cube_type=3, chunk=1 << 18):
    """Yields (depth, number of positions first reached at that depth)."""
    previous = current = as_keys(twirlkit.CubeBatch(1, cube_type).to_packed())
    previous = previous[:0]
    yield 0, len(current)
    for depth in range(1, max_depth + 1):
        # Every neighbour of a position at depth d lies at depth d - 1, d or
        # d + 1, so the last two layers are all that need excluding.
        keys = next_layer(current, cube_type, (previous, current), chunk)
        previous, current = current, keys
        if len(keys) == 0:
            break
        yield depth, len(keys)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("max_depth", nargs="?", type=int, default=5,
                        help="deepest layer to count (default 5)")
    parser.add_argument("--cube", type=int, choices=(2, 3), default=3,
                        help="cube size (default 3)")
    parser.add_argument("--chunk", type=int, default=1 << 18,
                        help="layer positions expanded per batch (bounds memory)")
    args = parser.parse_args(argv)
    if args.max_depth < 0 or args.chunk < 1:
        parser.error("max_depth must be >= 0 and --chunk >= 1")

    start = time.perf_counter()
    print(f"{args.cube}x{args.cube}x{args.cube}, quarter-turn metric, all twelve moves, from solved")
    print(f"{'depth':>5}  {'positions':>12}  {'seconds':>8}")
    total = 0
    for depth, count in bfs(args.max_depth, args.cube, args.chunk):
        total += count
        print(f"{depth:>5}  {count:>12}  {time.perf_counter() - start:>8.2f}", flush=True)
    peak_mib = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"{total} positions within depth {args.max_depth}, "
          f"{time.perf_counter() - start:.2f} s, peak memory {peak_mib:.0f} MiB", file=sys.stderr)


if __name__ == "__main__":
    main()

"""Training data: cubes scrambled to random depths, and their successors.

    python examples/dataset.py OUT.npz [--count N] [--cube 2|3]
        [--min-depth A] [--max-depth B] [--workers W] [--seed S]

Writes a NumPy .npz file with, for n cubes of sticker length d (54 or 24):

    states       uint8 (n, d)       sticker colour codes of each scrambled cube
    next_states  uint8 (n, 12, d)   next_states[i, m] is states[i] after move index m
    depths       int64 (n,)         scramble depth of each cube, uniform in [A, B]
    moves        uint8 (n, B)       the move indexes applied, 12 (no move) past the depth
    cube_type    int64 ()           2 or 3
    seed         str ()             the seed; --seed with it rebuilds the same file

The module's own scramble draws from an unseeded generator, so this script
draws the moves with NumPy instead and applies them with apply_move_indexes:
the file then records exactly how every state was made, and a seed gives
the same file whatever the number of workers.

The work is cut into chunks of cubes, each with its own generator spawned
from the seed, and the chunks can be spread over worker processes. A
progress bar is drawn on standard error when it is a terminal.
"""

import argparse
import multiprocessing
import os
import sys
import time

import numpy as np

import twirlkit

NO_MOVE = 12  # move indexes of 12 and above leave a cube unchanged


def make_chunk(task):
    """Scrambles one chunk of cubes and expands it. Runs in a worker process."""
    index, size, seed, cube_type, min_depth, max_depth = task
    rng = np.random.default_rng(seed)
    depths = rng.integers(min_depth, max_depth + 1, size=size)
    moves = rng.integers(0, 12, size=(size, max_depth), dtype=np.uint8)
    moves[np.arange(max_depth) >= depths[:, None]] = NO_MOVE

    batch = twirlkit.CubeBatch(size, cube_type)
    for step in moves.T:
        batch.apply_move_indexes(step.astype(np.uintp))
    states = batch.to_sticker_array().astype(np.uint8)
    successors = batch.get_next_states().astype(np.uint8)
    # Row 12 * i + m of the successor array is cube i after move m.
    next_states = successors.reshape(size, 12, states.shape[1])
    return index, depths, moves, states, next_states


def limit_threads(per_process):
    """Pool initializer: split the CPUs between the worker processes.

    Each process sizes its own worker pool at its first batch call, so this
    must run before that call.
    """
    os.environ.setdefault("RAYON_NUM_THREADS", str(per_process))


class Progress:
    """A one-line progress bar on standard error."""

    def __init__(self, total, label, enabled, width=30):
        self.total, self.label, self.enabled, self.width = total, label, enabled, width
        self.done = 0
        self.start = time.perf_counter()
        self.show()

    def update(self, amount):
        self.done += amount
        self.show()

    def show(self):
        if not self.enabled:
            return
        fraction = self.done / self.total if self.total else 1.0
        filled = int(self.width * fraction)
        elapsed = time.perf_counter() - self.start
        sys.stderr.write(f"\r{self.label} [{'#' * filled}{'.' * (self.width - filled)}] "
                         f"{100 * fraction:5.1f}% {self.done}/{self.total} {elapsed:6.1f} s")
        sys.stderr.flush()

    def close(self):
        if self.enabled:
            sys.stderr.write("\n")


def generate(count, cube_type=3, min_depth=1, max_depth=20, chunk=4096, workers=1,
             seed=None, start_method=None, progress=False):
    """Returns the arrays of the file as a dict."""
    seed_sequence = np.random.SeedSequence(seed)
    sizes = [min(chunk, count - start) for start in range(0, count, chunk)]
    tasks = [(i, size, child, cube_type, min_depth, max_depth)
             for i, (size, child) in enumerate(zip(sizes, seed_sequence.spawn(len(sizes))))]
    dim = 54 if cube_type == 3 else 24
    out = {
        "states": np.empty((count, dim), dtype=np.uint8),
        "next_states": np.empty((count, 12, dim), dtype=np.uint8),
        "depths": np.empty(count, dtype=np.int64),
        "moves": np.empty((count, max_depth), dtype=np.uint8),
    }
    offsets = np.cumsum([0] + sizes)

    def store(result):
        index, depths, moves, states, next_states = result
        rows = slice(offsets[index], offsets[index + 1])
        out["depths"][rows], out["moves"][rows] = depths, moves
        out["states"][rows], out["next_states"][rows] = states, next_states
        bar.update(len(depths))

    bar = Progress(count, "cubes", progress)
    if workers <= 1:
        for task in tasks:
            store(make_chunk(task))
    else:
        per_process = max(1, (os.cpu_count() or 1) // workers)
        context = multiprocessing.get_context(start_method)
        with context.Pool(workers, initializer=limit_threads, initargs=(per_process,)) as pool:
            for result in pool.imap_unordered(make_chunk, tasks):
                store(result)
    bar.close()
    out["cube_type"] = np.array(cube_type, dtype=np.int64)
    out["seed"] = np.array(str(seed_sequence.entropy))
    return out


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="the .npz file to write")
    parser.add_argument("--count", type=int, default=100_000, help="number of cubes")
    parser.add_argument("--cube", type=int, choices=(2, 3), default=3, help="cube size")
    parser.add_argument("--min-depth", type=int, default=1)
    parser.add_argument("--max-depth", type=int, default=20)
    parser.add_argument("--chunk", type=int, default=4096, help="cubes per work unit")
    parser.add_argument("--workers", type=int, default=1,
                        help="worker processes (0: one per CPU; 1: none)")
    parser.add_argument("--seed", type=int, help="seed of the whole file (default: fresh)")
    parser.add_argument("--start-method", choices=multiprocessing.get_all_start_methods(),
                        help="how worker processes are started (default: the platform's)")
    bar = parser.add_mutually_exclusive_group()
    bar.add_argument("--progress", action="store_true", default=None,
                     help="always draw the progress bar")
    bar.add_argument("--no-progress", dest="progress", action="store_false")
    args = parser.parse_args(argv)
    if args.count < 0 or args.chunk < 1 or not 0 <= args.min_depth <= args.max_depth:
        parser.error("need --count >= 0, --chunk >= 1 and 0 <= --min-depth <= --max-depth")
    if args.seed is not None and args.seed < 0:
        parser.error("--seed must be >= 0")

    start = time.perf_counter()
    data = generate(args.count, args.cube, args.min_depth, args.max_depth, args.chunk,
                    args.workers or os.cpu_count() or 1, args.seed, args.start_method,
                    sys.stderr.isatty() if args.progress is None else args.progress)
    np.savez(args.output, **data)
    print(f"wrote {args.count} cubes ({args.cube}x{args.cube}, depths {args.min_depth} to "
          f"{args.max_depth}) to {args.output} in {time.perf_counter() - start:.2f} s; "
          f"seed {data['seed']}")


if __name__ == "__main__":
    main()

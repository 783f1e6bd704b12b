"""Two builds of the module side by side in one process: the same jobs timed
in interleaved rounds on each, reported as new / base medians.

    python bench/compare_builds.py BASE_SO NEW_SO [--rounds 15] [--threads 2]

BASE_SO and NEW_SO are the paths of two compiled extension files (`make
bench-compare BASE=<git revision>` builds the base one under build/base and
takes the installed module as the new one). Each is loaded under the name
`twirlkit` through a loader of its own, so each keeps its own worker pool and
caches; the pools' threads sleep while the other build runs. A ratio above 1
means the new build is slower. The noise column is the spread of the base
build against itself: the ratio of the medians of its odd and even rounds.
"""

from __future__ import annotations

import argparse
import importlib.machinery
import importlib.util
import os
import statistics
import sys
import time

import numpy as np


def load(path: str):
    loader = importlib.machinery.ExtensionFileLoader("twirlkit", path)
    spec = importlib.util.spec_from_file_location("twirlkit", path, loader=loader)
    module = importlib.util.module_from_spec(spec)
    loader.exec_module(module)
    sys.modules.pop("twirlkit", None)
    return module


def jobs_of(tk, n: int, cube: int) -> dict:
    """name -> zero-argument call, built on fixed data for module `tk`."""
    rng = np.random.default_rng(7)
    lengths = np.full(n, 20, dtype=np.int64)
    batch = tk.CubeBatch(n, cube)
    batch.scramble(lengths)
    moves = rng.integers(0, 12, n).astype(np.uintp)
    stickers = batch.to_sticker_array()
    packed = batch.to_packed()
    order = rng.permutation(n)
    one = (tk.Cube3x3 if cube == 3 else tk.Cube2x2)()
    text = " ".join(rng.choice(["U", "R'", "F2", "D", "L'", "B"], 20))
    jobs = {
        "CubeBatch(n)": lambda: tk.CubeBatch(n, cube),
        "scramble(20)": lambda: batch.scramble(lengths),
        "apply_move_indexes": lambda: batch.apply_move_indexes(moves),
        "get_next_states": batch.get_next_states,
        "to_sticker_array": batch.to_sticker_array,
        "stickers(successors, uint8)": lambda: batch.stickers(successors=True, dtype=np.uint8),
        "stickers(one_hot)": lambda: batch.stickers(one_hot=True),
        "expand": batch.expand,
        "from_stickers": lambda: tk.CubeBatch.from_stickers(stickers, cube),
        "from_packed": lambda: tk.CubeBatch.from_packed(packed, cube),
        "to_packed": batch.to_packed,
        "take": lambda: batch.take(order),
        "is_solved": batch.is_solved,
        "turn method x1000": lambda: [one.do_r_move() for _ in range(1000)],
        "do_moves(20)": lambda: one.do_moves(text),
    }
    if cube == 2:
        jobs["distances"] = batch.distances
    return jobs


def time_once(call) -> float:
    start = time.perf_counter_ns()
    call()
    return (time.perf_counter_ns() - start) / 1e3


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("base")
    ap.add_argument("new")
    ap.add_argument("--rounds", type=int, default=15)
    ap.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                    default=[1024, 65536])
    args = ap.parse_args()
    base, new = load(args.base), load(args.new)
    print(f"base {args.base}\nnew  {args.new}\n"
          f"RAYON_NUM_THREADS={os.environ.get('RAYON_NUM_THREADS', '(all)')}, "
          f"load average {os.getloadavg()[0]:.2f}\n")
    print(f"| cube | n | job | base µs | new µs | new / base | noise |")
    print(f"|---|---:|---|---:|---:|---:|---:|")
    worst = 0.0
    for cube in (3, 2):
        for n in args.sizes:
            builds = (jobs_of(base, n, cube), jobs_of(new, n, cube))
            for name in builds[0]:
                calls = (builds[0][name], builds[1][name])
                for call in calls:  # warm: tables, caches, pages
                    call()
                samples = ([], [])
                for r in range(args.rounds):
                    for k in ((0, 1) if r % 2 == 0 else (1, 0)):
                        samples[k].append(time_once(calls[k]))
                b, w = statistics.median(samples[0]), statistics.median(samples[1])
                noise = statistics.median(samples[0][0::2]) / statistics.median(samples[0][1::2])
                ratio = w / b
                worst = max(worst, ratio / max(noise, 1 / noise))
                print(f"| {cube}x{cube} | {n:,} | {name} | {b:,.1f} | {w:,.1f} | "
                      f"{ratio:.2f} | {noise:.2f} |", flush=True)
    print(f"\nload average at the end {os.getloadavg()[0]:.2f}; "
          f"largest ratio beyond its noise {worst:.2f}")


if __name__ == "__main__":
    main()

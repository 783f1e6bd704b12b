"""A labelled 2x2 data set written as shards by a Dask distributed cluster.

    python examples/dataset_distributed.py OUT_DIR [--shards K] [--shard-size N]
        [--scheduler ADDRESS | --workers W] [--seed S] [--min-depth A] [--max-depth B]

Each shard is made by one task on some worker and written by this process
to OUT_DIR/shard-<index>.npz, with, for its n cubes:

    states              uint8 (n, 24)       sticker colour codes of each scrambled cube
    next_states         uint8 (n, 12, 24)   next_states[i, m] is states[i] after move index m
    packed              uint64 (n, 1)       the packed state words (CubeBatch.from_packed)
    distances           int8 (n,)           exact quarter-turn distance of each state to solved
    next_distances      int8 (n, 12)        the same for every successor
    depths              int64 (n,)          scramble depth of each cube, uniform in [A, B]
    moves               uint8 (n, B)        the move indexes applied, 12 (no move) past the depth
    seed, shard         int64 ()            the shard is rebuilt from these two alone

A shard depends on (seed, shard index) only: its generator is seeded with
both, its moves are drawn with NumPy and applied with apply_move_indexes, so
the same seed gives the same files whatever the number of workers or where
each task ran. Without --scheduler a LocalCluster of --workers processes is
started here; with it, the same code runs on that cluster (every worker needs
numpy and twirlkit installed). Each worker process builds the 2x2 distance
table once, at its first shard (a few seconds, 46 MB).
Needs Dask: the "examples" extra, pip install ".[examples]" from a clone.
"""

import argparse
import os
import sys
import time
from pathlib import Path

import numpy as np

NO_MOVE = 12


def make_shard(seed, index, size, min_depth, max_depth):
    """The arrays of shard `index`. Runs on a worker."""
    import twirlkit

    rng = np.random.default_rng([seed, index])
    depths = rng.integers(min_depth, max_depth + 1, size=size)
    moves = rng.integers(0, 12, size=(size, max_depth), dtype=np.uint8)
    moves[np.arange(max_depth) >= depths[:, None]] = NO_MOVE
    batch = twirlkit.CubeBatch(size, 2)
    for step in moves.T:
        batch.apply_move_indexes(step.astype(np.uintp))
    return {
        "states": batch.stickers(dtype=np.uint8),
        "next_states": batch.stickers(successors=True, dtype=np.uint8).reshape(size, 12, 24),
        "packed": batch.to_packed(),
        "distances": batch.distances(),
        "next_distances": batch.expand().distances().reshape(size, 12),
        "depths": depths,
        "moves": moves,
        "seed": np.array(seed, dtype=np.int64),
        "shard": np.array(index, dtype=np.int64),
    }


def shard_path(out_dir, index):
    return Path(out_dir) / f"shard-{index:05d}.npz"


def write_shards(client, out_dir, shards, shard_size, seed, min_depth=1, max_depth=20,
                 progress=False):
    """Runs one task per shard on the client's cluster and writes each as it arrives.

    Returns the paths in shard order.
    """
    from dask.distributed import as_completed

    out_dir = Path(out_dir)
    out_dir.mkdir(parents=True, exist_ok=True)
    futures = [client.submit(make_shard, seed, i, shard_size, min_depth, max_depth,
                             key=f"twirlkit-shard-{seed}-{i}-{shard_size}-{min_depth}-{max_depth}")
               for i in range(shards)]
    start, done = time.perf_counter(), 0
    for future in as_completed(futures):
        data = future.result()
        np.savez(shard_path(out_dir, int(data["shard"])), **data)
        future.release()
        done += 1
        if progress:
            filled = 30 * done // shards
            sys.stderr.write(f"\rshards [{'#' * filled}{'.' * (30 - filled)}] {done}/{shards} "
                             f"{time.perf_counter() - start:6.1f} s")
            sys.stderr.flush()
    if progress:
        sys.stderr.write("\n")
    return [shard_path(out_dir, i) for i in range(shards)]


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("output", help="directory for the shard files")
    parser.add_argument("--shards", type=int, default=16)
    parser.add_argument("--shard-size", type=int, default=65536, help="cubes per shard")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--min-depth", type=int, default=1)
    parser.add_argument("--max-depth", type=int, default=20)
    where = parser.add_mutually_exclusive_group()
    where.add_argument("--scheduler", help="address of a running scheduler, e.g. tcp://host:8786")
    where.add_argument("--workers", type=int, default=2,
                       help="worker processes of the LocalCluster started without --scheduler")
    parser.add_argument("--threads-per-worker", type=int, default=1,
                        help="LocalCluster only: task threads per worker process")
    bar = parser.add_mutually_exclusive_group()
    bar.add_argument("--progress", action="store_true", default=None)
    bar.add_argument("--no-progress", dest="progress", action="store_false")
    args = parser.parse_args(argv)
    if min(args.shards, args.shard_size, args.workers, args.threads_per_worker) < 1:
        parser.error("--shards, --shard-size, --workers and --threads-per-worker must be >= 1")
    if not 0 <= args.min_depth <= args.max_depth or args.seed < 0:
        parser.error("need 0 <= --min-depth <= --max-depth and --seed >= 0")

    from dask.distributed import Client, LocalCluster

    progress = sys.stderr.isatty() if args.progress is None else args.progress
    start = time.perf_counter()
    if args.scheduler:
        client, cluster = Client(args.scheduler), None
    else:
        # Each worker process sizes the module's pool from this when it starts.
        per_worker = max(1, (os.cpu_count() or 1) // args.workers)
        cluster = LocalCluster(n_workers=args.workers, threads_per_worker=args.threads_per_worker,
                               processes=True, dashboard_address=None,
                               env={"RAYON_NUM_THREADS": str(per_worker)})
        client = Client(cluster)
    try:
        workers = len(client.scheduler_info()["workers"])
        paths = write_shards(client, args.output, args.shards, args.shard_size, args.seed,
                             args.min_depth, args.max_depth, progress)
    finally:
        client.close()
        if cluster is not None:
            cluster.close()
    print(f"wrote {len(paths)} shards of {args.shard_size} cubes to {args.output} with "
          f"{workers} workers in {time.perf_counter() - start:.1f} s (seed {args.seed})")


if __name__ == "__main__":
    main()

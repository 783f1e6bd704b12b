"""CubeVectorEnv.step beside what it must at least do, and beside gymnasium's
SyncVectorEnv over single CubeEnvs.

For each row, interleaved rounds time one step of a CubeVectorEnv of n cubes
(random actions, max_episode_steps=20 so that autoresets happen every step)
and, on a batch of the same n cubes, `apply` of one move a cube followed by
the observation encoding: `stickers(dtype=np.int8)` or
`stickers(one_hot=True)`. The SyncVectorEnv row times env-steps per second of
64 CubeEnvs stepped by gymnasium's SyncVectorEnv. Ratios are medians.

    python bench/bench_gym.py            # the table, and bench/results/gym.md and gym.json
    python bench/bench_gym.py --quick    # fewer rounds
"""

from __future__ import annotations

import argparse
import json
import os
import statistics
import sys
import time
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
RESULTS = HERE / "results"


def timed(call):
    start = time.perf_counter()
    call()
    return time.perf_counter() - start


def interleaved(jobs, rounds):
    """Median seconds of each job over rounds that time each job once, in turn."""
    samples = {name: [] for name in jobs}
    names = list(jobs)
    for r in range(rounds):
        for name in names[r % len(names):] + names[:r % len(names)]:
            samples[name].append(timed(jobs[name]))
    return {name: statistics.median(s) for name, s in samples.items()}


def step_row(n, observation, rounds, cube_type=3):
    from gymnasium.vector import AutoresetMode
    from twirlkit import CubeBatch
    from twirlkit_gym import CubeVectorEnv

    env = CubeVectorEnv(n, cube_type, observation=observation, max_episode_steps=20,
                        autoreset_mode=AutoresetMode.NEXT_STEP)
    env.reset(seed=0)
    rng = np.random.default_rng(0)
    actions = [rng.integers(0, 12, n) for _ in range(32)]
    for a in actions[:25]:  # into the steady state of autoresets
        env.step(a)
    batch = CubeBatch.random(n, cube_type, 10, seed=1)
    moves = actions[0].astype(np.uint8)
    if observation == "stickers":
        def floor():
            batch.apply(moves)
            batch.stickers(dtype=np.int8)
    else:
        def floor():
            batch.apply(moves)
            batch.stickers(one_hot=True)
    count = iter(range(10**9))
    times = interleaved({"step": lambda: env.step(actions[next(count) % 32]),
                         "apply + stickers": floor}, rounds)
    return {"n": n, "observation": observation, "step_s": times["step"],
            "floor_s": times["apply + stickers"], "ratio": times["step"] / times["apply + stickers"]}


def sync_rate(rounds, envs=64, cube_type=3):
    from gymnasium.vector import SyncVectorEnv
    from twirlkit_gym import CubeEnv

    sync = SyncVectorEnv([lambda: CubeEnv(cube_type, max_episode_steps=20)] * envs)
    sync.reset(seed=0)
    rng = np.random.default_rng(0)
    actions = rng.integers(0, 12, (8, envs))
    times = [timed(lambda: sync.step(actions[r % 8])) for r in range(rounds)]
    return envs / statistics.median(times)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args(argv)
    rounds = 15 if args.quick else 60
    rows = [step_row(65536, "stickers", rounds), step_row(4096, "one_hot", rounds)]
    sync = sync_rate(rounds * 4)
    vector_rate = rows[0]["n"] / rows[0]["step_s"]
    lines = [
        "| measure | n | CubeVectorEnv.step | reference | ratio | bound | |",
        "|---|---:|---:|---:|---:|---:|---|",
    ]
    for row in rows:
        met = "met" if row["ratio"] <= 2 else "missed"
        lines.append(f"| step / (apply + stickers), \"{row['observation']}\" | {row['n']:,} | "
                     f"{1e3 * row['step_s']:.3f} ms | {1e3 * row['floor_s']:.3f} ms | "
                     f"{row['ratio']:.2f} | <= 2 | {met} |")
    speedup = vector_rate / sync
    lines.append(f"| env-steps/s against SyncVectorEnv of 64 CubeEnvs | 65,536 | "
                 f"{vector_rate:,.0f}/s | {sync:,.0f}/s | {speedup:.0f} x | >= 100 x | "
                 f"{'met' if speedup >= 100 else 'missed'} |")
    workers = os.environ.get("RAYON_NUM_THREADS", "all CPUs")
    table = "\n".join(lines)
    print(f"CubeVectorEnv.step, 3x3, workers: {workers}, load average "
          f"{os.getloadavg()[0]:.2f}\n{table}")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "gym.md").write_text(table + "\n")
    (RESULTS / "gym.json").write_text(json.dumps(
        {"rows": rows, "sync_env_steps_per_s": sync, "vector_env_steps_per_s": vector_rate,
         "workers": workers, "python": sys.version.split()[0]}, indent=2) + "\n")


if __name__ == "__main__":
    main()

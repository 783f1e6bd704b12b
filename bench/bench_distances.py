"""The exact 2x2 distance table and the solver: the first-use build, distances()
of 65,536 cubes and solve() of 1024 random states, with one and two workers,
in interleaved rounds. Writes bench/results/distances.json and .md."""

import json
import os
import statistics
import subprocess
import sys
import textwrap
import time
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"

CHILD = textwrap.dedent("""
    import json, resource, sys, time, numpy as np, twirlkit
    rounds = int(sys.argv[1])
    one = twirlkit.CubeBatch(1, 2)
    one.scramble(np.full(1, 1, np.int64))  # starts the pool first
    cpu = lambda: sum(resource.getrusage(resource.RUSAGE_SELF)[:2])
    start, start_cpu = time.perf_counter(), cpu()
    one.distances()
    build, build_cpu = time.perf_counter() - start, cpu() - start_cpu
    rng = np.random.default_rng(1)
    big = twirlkit.CubeBatch(65536, 2)
    big.scramble(rng.integers(20, 40, 65536))
    small = twirlkit.CubeBatch(1024, 2)
    small.scramble(rng.integers(30, 60, 1024))
    floor, dist, solve = [], [], []
    for _ in range(rounds):
        t = time.perf_counter(); a = np.empty(65536, np.int8); a.fill(1); floor.append(time.perf_counter() - t)
        t = time.perf_counter(); big.distances(); dist.append(time.perf_counter() - t)
        t = time.perf_counter(); small.solve(); solve.append(time.perf_counter() - t)
    print(json.dumps({"build": build, "build_cpu": build_cpu, "floor": floor, "distances": dist, "solve": solve}))
""")


def run(workers, rounds):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-c", CHILD, str(rounds)], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    rounds = int(os.environ.get("BENCH_ROUNDS", "3"))
    load = os.getloadavg()[0]
    got = {1: [], 2: []}
    for _ in range(rounds):
        for workers in (1, 2):
            got[workers].append(run(workers, 50))
    rows = []
    summary = {"load_at_start": load, "workers": {}}
    for workers, runs in got.items():
        build = statistics.median(r["build"] for r in runs)
        entry = {"build_s": build, "build_min_s": min(r["build"] for r in runs)}
        entry["build_cpu_s"] = statistics.median(r["build_cpu"] for r in runs)
        row = [workers, f"{build:.2f} ({entry['build_min_s']:.2f})", f"{entry['build_cpu_s']:.2f}"]
        for key in ("distances", "solve", "floor"):
            values = [x * 1e3 for r in runs for x in r[key]]
            entry[key + "_ms"] = statistics.median(values)
            entry[key + "_min_ms"] = min(values)
            row.append(f"{entry[key + '_ms']:.3f} ({entry[key + '_min_ms']:.3f})")
        summary["workers"][workers] = entry
        rows.append(row)
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "distances.json").write_text(json.dumps(summary, indent=2) + "\n")
    lines = [f"load average {load:.1f} at the start; medians (and minima) over {rounds} processes "
             "per setting, 50 calls each",
             "",
             "| workers | table build (s) | its CPU time (s) | distances(), n = 65,536 (ms) | solve(), 1024 states (ms) | floor np.empty(65,536, int8).fill(1) (ms) |",
             "|---:|---:|---:|---:|---:|---:|"]
    for row in rows:
        lines.append("| " + " | ".join(str(x) for x in row) + " |")
    lines.append("")
    lines.append("targets with 2 workers: build <= 10 s, distances() <= 2 ms, solve() <= 50 ms")
    text = "\n".join(lines) + "\n"
    (RESULTS / "distances.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()

"""State sets and breadth-first layers: StateSet.add of 10^6 new 3x3 states,
with one and two workers; bfs of the fixed-corner 2x2 (U, R and F quarter
turns) to its last layer; and, with --full, bfs of the 3x3 to depth 8 (a
minute or more, 4 GB). Each measure runs in a process of its own, so that
peak memory is its own. Writes bench/results/sets.json and .md."""

import argparse
import json
import os
import statistics
import subprocess
import sys
import textwrap
from pathlib import Path

RESULTS = Path(__file__).resolve().parent / "results"

FIXED_CORNER_GROWTH = [1, 6, 27, 120, 534, 2256, 8969, 33058, 114149, 360508, 930588,
                       1350852, 782536, 90280, 276]
QTM_3X3_DEPTH_8 = [1, 12, 114, 1068, 10011, 93840, 878880, 8221632, 76843595]

CHILD = textwrap.dedent("""
    import json, resource, sys, time, twirlkit
    what, rounds = sys.argv[1], int(sys.argv[2])
    twirlkit.CubeBatch.random(1, 3, seed=0)  # starts the pool first
    out = {"seconds": [], "sizes": None}
    if what == "add":
        batch = twirlkit.CubeBatch.random(10**6, 3, 30, seed=1)
        out["n"] = len(batch.unique())  # new states: the rare repeats are not
        for _ in range(rounds):
            s = twirlkit.StateSet(3)
            t = time.perf_counter(); s.add(batch); out["seconds"].append(time.perf_counter() - t)
    else:
        args = {"fixed2": (2, 100, [0, 1, 4, 5, 8, 9]), "depth8": (3, 8, None)}[what]
        for _ in range(rounds):
            t = time.perf_counter()
            sizes, _ = twirlkit.bfs(args[0], args[1], moves=args[2])
            out["seconds"].append(time.perf_counter() - t)
            out["sizes"] = sizes.tolist()
    out["peak_mb"] = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(json.dumps(out))
""")


def run(what, workers, rounds):
    env = dict(os.environ, RAYON_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, "-c", CHILD, what, str(rounds)], env=env, check=True,
                         capture_output=True, text=True)
    return json.loads(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--full", action="store_true", help="also bfs of the 3x3 to depth 8")
    options = parser.parse_args()
    load = os.getloadavg()[0]
    summary = {"load_at_start": load}
    lines = [f"load average {load:.1f} at the start", "",
             "| measure | workers | median (min) | peak RSS (MB) | check | target |",
             "|---|---:|---:|---:|---|---|"]
    for workers in (1, 2):
        got = run("add", workers, 7)
        per = [s * 1e9 / got["n"] for s in got["seconds"]]
        summary[f"add_ns_{workers}"] = statistics.median(per)
        lines.append(f"| StateSet.add, 10^6 new 3x3 states (ns a state) | {workers} | "
                     f"{statistics.median(per):.1f} ({min(per):.1f}) | {got['peak_mb']:.0f} | "
                     f"{got['n']} new | <= 60 ns, 2 workers |")
    cases = [("fixed2", FIXED_CORNER_GROWTH, "bfs, fixed-corner 2x2, U R F quarter turns (s)", "")]
    if options.full:
        cases.append(("depth8", QTM_3X3_DEPTH_8, "bfs, 3x3 to depth 8 (s)", "<= 120 s, <= 6 GB"))
    for what, expected, label, target in cases:
        got = run(what, 2, 3 if what == "fixed2" else 1)
        ok = got["sizes"] == expected
        summary[what] = {"seconds": got["seconds"], "peak_mb": got["peak_mb"], "sizes_ok": ok}
        lines.append(f"| {label} | 2 | {statistics.median(got['seconds']):.2f} "
                     f"({min(got['seconds']):.2f}) | {got['peak_mb']:.0f} | "
                     f"{'growth as published' if ok else 'WRONG: ' + str(got['sizes'])} | {target} |")
    RESULTS.mkdir(exist_ok=True)
    (RESULTS / "sets.json").write_text(json.dumps(summary, indent=2) + "\n")
    text = "\n".join(lines) + "\n"
    (RESULTS / "sets.md").write_text(text)
    print(text)


if __name__ == "__main__":
    main()

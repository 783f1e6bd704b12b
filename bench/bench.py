"""Benchmarks of twirlkit against NumPy code doing the same jobs, and against
the floor of what any call returning a new array of that shape must pay.

The worker pool's size is fixed at its first use, so each worker count runs
in a process of its own (RAYON_NUM_THREADS set before the import). This
script starts them, then short processes of one and two workers in turn for
the scaling of the batch scramble, then one process per worker count and
cube size for the peak memory of get_next_states(), then one process with the
most workers for the training loop (loop.py), and merges the results.
Inside a process, the jobs compared with each other are timed in interleaved
rounds (each round times every job once, starting from a different job each
time) and compared by their medians.

    python bench/bench.py               # the full run, a few minutes
    python bench/bench.py --quick       # fewer rounds, n = 1024 and 65536
    python bench/bench.py --sizes 1024,65536 --threads 2

Every ratio is module time / reference time, so below 1 the module is
faster; a speed-up target of 20 x is the bound 0.05. Prints the tables, the
targets with met/missed and a one-line summary, and writes the same to
bench/results/ (untracked): latest.json, the tables as Markdown in latest.md
and, with matplotlib, the plot throughput.png. `make bench-record` copies
them to bench/recorded/, the copy that is committed.
"""

from __future__ import annotations

import argparse
import gc
import json
import os
import platform
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import time
import timeit
from pathlib import Path

HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE / "results" / "latest.json"
SIZES = (1024, 65536, 1_000_000)
CUBES = (3, 2)
SCRAMBLE_LENGTH = 20
DO_MOVES_TOKENS = 20
SCALING_N = 65536
LOOP_SIZES = (1024, 8192)

# Jobs whose one call outlasts this are timed once per round and get fewer
# rounds; the million-cube successor arrays are 2.3 and 5.2 GB each.
BIG_SAMPLE_S = 0.25
SLOW_S = 2.0


# --- timing ---------------------------------------------------------------


class Job:
    """One statement timed as a loop of `unroll` copies, like timeit, so that
    even a 30 ns method call is not buried under the loop around it."""

    def __init__(self, name: str, stmt: str, namespace: dict, unroll: int = 1):
        self.name = name
        self.unroll = unroll
        self.timer = timeit.Timer("\n".join([stmt] * unroll), globals=namespace)
        self.reps = 1
        self.samples: list[float] = []

    def run(self, reps: int) -> float:
        """Nanoseconds per statement over `reps` loop passes."""
        start = time.perf_counter_ns()
        self.timer.timeit(reps)
        return (time.perf_counter_ns() - start) / (reps * self.unroll)

    def calibrate(self, sample_s: float) -> float:
        once = self.run(1) * self.unroll  # also the warm-up
        self.reps = max(1, int(sample_s * 1e9 / max(once, 1.0)))
        return once


def measure(jobs: list[Job], rounds: int, sample_s: float, big_rounds: int) -> dict:
    """Interleaved rounds; returns {job name: {median_ns, samples_ns, reps}}.

    A NumPy or cayleypy job whose one call outlasts SLOW_S (the fancy-index
    successors, the scramble of a million cubes, the other library's random
    walks) keeps its first call as its only
    sample instead of running again in every round. The module and the floor
    always get every round, and their first call is only a warm-up: on a
    virtual machine the first touch of gigabytes of memory can cost ten times
    what later calls pay."""
    once = {job.name: job.calibrate(sample_s) for job in jobs}
    single = {job.name for job in jobs
              if job.name.startswith(("numpy", "cayleypy")) and once[job.name] > SLOW_S * 1e9}
    if max(once.values()) > BIG_SAMPLE_S * 1e9:
        rounds = min(rounds, big_rounds)
    for job in jobs:
        if job.name in single:
            job.samples.append(once[job.name] / job.unroll)
    for r in range(rounds):
        for k in range(len(jobs)):
            job = jobs[(r + k) % len(jobs)]
            if job.name in single:
                continue
            gc.collect()
            job.samples.append(job.run(job.reps))
    return {
        job.name: {
            "median_ns": statistics.median(job.samples),
            "samples_ns": [round(s, 1) for s in job.samples],
            "reps": job.reps,
            "unroll": job.unroll,
        }
        for job in jobs
    }


# --- one worker count -----------------------------------------------------


def one_hot_put(codes, np):
    """NumPy's fastest one-hot found here: put_along_axis into zeros."""
    out = np.zeros((*codes.shape, 6), np.float32)
    np.put_along_axis(out, codes[..., None], 1, axis=-1)
    return out.reshape(len(codes), -1)


def one_hot_compare(codes, np):
    return (codes[..., None] == np.arange(6)).astype(np.float32).reshape(len(codes), -1)


def state_groups(timed, cube, n, batch, ns) -> None:
    """The calls that bring states in and encode them, each beside its
    reference: the floor of its output, get_next_states(), or NumPy."""
    import numpy as np

    import twirlkit

    d = ns["next_shape"][1]
    ns.update({
        "CubeBatch": twirlkit.CubeBatch, "cube": cube, "f32": np.float32, "u64": np.uint64,
        "uint8": np.uint8, "words": batch.to_packed(), "put": one_hot_put,
        "compare": one_hot_compare, "hot_shape": (12 * n, 6 * d),
        "packed_shape": (n, 2 if cube == 3 else 1),
    })
    if n <= 1024 or n == 65536:
        jobs = [
            Job("module", "batch.stickers(successors=True, one_hot=True)", ns),
            Job("floor", "empty(hot_shape, f32).fill(1)", ns),
        ]
        ns["codes"] = batch.get_next_states()
        jobs += [Job("numpy_put", "put(codes, np)", ns), Job("numpy_compare", "compare(codes, np)", ns)]
        timed("stickers(one_hot)", cube, n, jobs)
        del ns["codes"]
    if n == 1024:
        ns["buf"] = np.empty((12 * n, 6 * d), np.float32)
        timed("stickers(out)", cube, n, [
            Job("module", "batch.stickers(successors=True, one_hot=True, out=buf)", ns),
            Job("no_out", "batch.stickers(successors=True, one_hot=True)", ns),
        ])
        del ns["buf"]
    if n == 65536:
        timed("stickers(uint8)", cube, n, [
            Job("module", "batch.stickers(successors=True, dtype=uint8)", ns),
            Job("get_next_states", "batch.get_next_states()", ns),
        ])
        timed("expand", cube, n, [
            Job("module", "batch.expand()", ns),
            Job("get_next_states", "batch.get_next_states()", ns),
        ])
        timed("transform", cube, n, [
            Job("module", "batch.transform(5)", ns),
            Job("get_next_states", "batch.get_next_states()", ns),
        ])
        timed("canonical", cube, n, [
            Job("module", "batch.canonical()", ns),
            Job("get_next_states", "batch.get_next_states()", ns),
        ])
        timed("from_stickers", cube, n, [
            Job("module", "CubeBatch.from_stickers(states, cube)", ns),
            Job("to_sticker_array", "batch.to_sticker_array()", ns),
        ])
        timed("to_packed", cube, n, [
            Job("module", "batch.to_packed()", ns),
            Job("floor", "empty(packed_shape, u64).fill(1)", ns),
        ])
        # A batch's storage is its output: CubeBatch(n) allocates and fills it.
        timed("from_packed", cube, n, [
            Job("module", "CubeBatch.from_packed(words, cube)", ns),
            Job("floor", "CubeBatch(len(words), cube)", ns),
        ])



def twenty_indexes(batch, columns):
    for column in columns:
        batch.apply_move_indexes(column)


def walk_rows(batch):
    walks, _ = batch.random_walks(SCRAMBLE_LENGTH, seed=1)
    return walks.stickers(dtype="int8")


def cayley_graph(cube):
    """cayleypy's graph of the same puzzle on the CPU (all quarter turns of
    the 3x3; the 2x2 with one corner fixed, six quarter turns), or None
    where cayleypy is not installed."""
    try:
        from cayleypy import CayleyGraph, Puzzles
    except ImportError:
        return None
    metric = "QTM" if cube == 3 else "fixed_QTM"
    graph = CayleyGraph(Puzzles.rubik_cube(cube, metric), device="cpu")
    graph.random_walks(width=16, length=2, mode="classic")  # its own set-up, untimed
    return graph


def fresh_scramble(CubeBatch, n, cube, lengths):
    """The unseeded way to the same states: a batch, then scramble."""
    batch = CubeBatch(n, cube)
    batch.scramble(lengths)
    return batch


def data_groups(timed, cube, n, batch, ns) -> None:
    """The data calls (seeded states and walks, the algebra, whole
    sequences), each beside the floor of its output or the calls it
    replaces. The walks with their sticker rows are also timed against
    cayleypy's random walks on its 12-move 3x3 and 6-move 2x2 graphs, where
    cayleypy is installed (requirements/bench.txt)."""
    import numpy as np

    import twirlkit

    words = 2 if cube == 3 else 1
    seq = np.random.default_rng(5).integers(0, 12, (n, SCRAMBLE_LENGTH))
    ns.update({
        "CubeBatch": twirlkit.CubeBatch, "cube": cube, "u64": np.uint64, "bool_": np.bool_,
        "fresh": fresh_scramble, "twenty": twenty_indexes, "walk_rows": walk_rows,
        "seq": seq, "columns": [np.ascontiguousarray(seq[:, j], dtype=np.uintp)
                                for j in range(SCRAMBLE_LENGTH)],
        "other": twirlkit.CubeBatch.random(n, cube, 20, seed=2),
        "walk_shape": (SCRAMBLE_LENGTH * n, words), "packed_shape": (n, words),
        "flags_shape": (n,),
    })
    timed("apply(n, 20)", cube, n, [
        Job("module", "batch.apply(seq)", ns),
        Job("twenty_indexes", "twenty(batch, columns)", ns),
    ])
    if n != 65536:
        return
    timed("random(seed)", cube, n, [
        Job("module", f"CubeBatch.random(len(lengths), cube, {SCRAMBLE_LENGTH}, seed=1)", ns),
        Job("fresh_scramble", "fresh(CubeBatch, len(lengths), cube, lengths)", ns),
    ])
    timed("random_walks", cube, n, [
        Job("module", f"batch.random_walks({SCRAMBLE_LENGTH}, seed=1)", ns),
        Job("floor", "empty(walk_shape, u64).fill(1)", ns),
    ])
    ns["small"] = twirlkit.CubeBatch(10_000, cube)
    ns["walk_row_shape"] = (SCRAMBLE_LENGTH * 10_000, ns["next_shape"][1])
    walk_jobs = [
        Job("module", "walk_rows(small)", ns),
        Job("floor", "empty(walk_row_shape, 'int8').fill(1)", ns),
    ]
    graph = cayley_graph(cube)
    if graph is not None:
        ns["graph"] = graph
        walk_jobs.append(Job("cayleypy",
                             f"graph.random_walks(width=10_000, length={SCRAMBLE_LENGTH}, mode='classic')",
                             ns))
    timed("random_walks+stickers", cube, 10_000, walk_jobs)
    for call, stmt, floor in (("compose", "batch.compose(other)", "packed_shape"),
                              ("inverse", "batch.inverse()", "packed_shape"),
                              ("equals", "batch.equals(other)", "flags_shape")):
        element = "bool_" if floor == "flags_shape" else "u64"
        timed(call, cube, n, [
            Job("module", stmt, ns),
            Job("floor", f"empty({floor}, {element}).fill(1)", ns),
        ])


def run_worker(args) -> dict:
    """All timings for the pool size this process was started with."""
    import numpy as np

    import baseline
    import twirlkit

    perms = {c: baseline.load(c) for c in CUBES}
    rng = np.random.default_rng()
    groups = []

    def record(call: str, cube: int | None, n: int | None, result: dict) -> None:
        groups.append({"call": call, "cube": cube, "n": n, "jobs": result})
        if args.verbose:
            line = ", ".join(f"{k} {fmt_ns(v['median_ns'])}" for k, v in result.items())
            print(f"  [T={os.environ.get('RAYON_NUM_THREADS')}] {call} {cube}x{cube} n={n}: {line}",
                  file=sys.stderr, flush=True)

    def timed(call, cube, n, jobs):
        t0 = time.perf_counter()
        record(call, cube, n, measure(jobs, args.rounds, args.sample, args.big_rounds))
        groups[-1]["elapsed_s"] = round(time.perf_counter() - t0, 2)

    for n in args.sizes:
        for cube in CUBES:
            p = perms[cube]
            d = p.shape[1]
            batch = twirlkit.CubeBatch(n, cube)
            batch.scramble(np.full(n, 40, dtype=np.int64))
            ns = {
                "np": np,
                "bl": baseline,
                "batch": batch,
                "states": np.asarray(batch.to_sticker_array()),
                "solved": baseline.solved_states(n, cube),
                "perms": p,
                "offsets": baseline.row_offsets(n, d),
                "rng": rng,
                "lengths": np.full(n, SCRAMBLE_LENGTH, dtype=np.int64),
                "moves": rng.integers(0, 12, n),
                "moves_uintp": None,
                "next_shape": (n * 12, d),
                "row_shape": (n, d),
                "int64": np.int64,
                "empty": np.empty,
                "get_next_states": twirlkit.get_next_states,
            }
            ns["moves_uintp"] = ns["moves"].astype(np.uintp)
            floor = "empty({}, int64).fill(1)"

            timed("get_next_states", cube, n, [
                Job("module", "batch.get_next_states()", ns),
                Job("numpy_take", "bl.next_states_take(states, perms)", ns),
                Job("numpy_fancy", "bl.next_states_fancy(states, perms)", ns),
                Job("floor", floor.format("next_shape"), ns),
            ])
            timed("to_sticker_array", cube, n, [
                Job("module", "batch.to_sticker_array()", ns),
                Job("numpy_copy", "states.copy()", ns),
                Job("floor", floor.format("row_shape"), ns),
            ])
            timed("scramble", cube, n, [
                Job("module", "batch.scramble(lengths)", ns),
                Job("numpy", f"bl.scramble(solved, perms, {SCRAMBLE_LENGTH}, rng, offsets)", ns),
            ])
            timed("apply_move_indexes", cube, n, [
                Job("module", "batch.apply_move_indexes(moves_uintp)", ns),
                Job("numpy", "bl.apply_move_indexes(states, perms, moves, offsets)", ns),
            ])
            if n <= 65536:
                state_groups(timed, cube, n, batch, ns)
                data_groups(timed, cube, n, batch, ns)
            if n <= 65536:
                ns["cubes"] = list(batch)
                timed("get_next_states(list)", cube, n, [
                    Job("module", "get_next_states(cubes)", ns),
                    Job("batch", "batch.get_next_states()", ns),
                    Job("floor", floor.format("next_shape"), ns),
                ])
            del batch, ns
            gc.collect()

    # Single cubes. A no-argument builtin method that returns None, like a
    # turn: list.clear on an empty list.
    for cube in CUBES:
        cls = twirlkit.Cube3x3 if cube == 3 else twirlkit.Cube2x2
        c = cls()
        c.scramble(30)
        p = perms[cube]
        ns = {
            "c": c,
            "e": [],
            "row": np.asarray(c.to_sticker_array(), dtype=np.int64),
            "perm_r": p[4],
            "bl": baseline,
            "text": baseline.random_move_text(rng, DO_MOVES_TOKENS),
            "table": baseline.token_perms(p),
        }
        timed("turn", cube, None, [
            Job("module", "c.do_r_move()", ns, unroll=50),
            Job("builtin", "e.clear()", ns, unroll=50),
            Job("numpy", "row[perm_r]", ns, unroll=50),
        ])
        timed("do_moves", cube, None, [
            Job("module", "c.do_moves(text)", ns, unroll=10),
            Job("numpy", "bl.do_moves(row, text, table)", ns, unroll=10),
            Job("builtin", "e.clear()", ns, unroll=50),
        ])
        timed("to_sticker_array(single)", cube, None, [
            Job("module", "c.to_sticker_array()", ns, unroll=20),
            Job("numpy_tolist", "row.tolist()", ns, unroll=20),
            Job("builtin", "e.clear()", ns, unroll=50),
        ])

    return {
        "threads_env": os.environ.get("RAYON_NUM_THREADS"),
        "module_file": twirlkit.__file__,
        "groups": groups,
    }


def run_scaling(args) -> dict:
    """Batch scramble alone, module only: the parent alternates processes of
    each worker count and pools their samples, so that a change in the
    machine's load hits both counts alike."""
    import numpy as np

    import twirlkit

    out = {}
    for cube in CUBES:
        n = SCALING_N
        ns = {"batch": twirlkit.CubeBatch(n, cube),
              "lengths": np.full(n, SCRAMBLE_LENGTH, dtype=np.int64)}
        result = measure([Job("module", "batch.scramble(lengths)", ns)],
                         args.rounds, args.sample, args.big_rounds)
        out[str(cube)] = result["module"]["samples_ns"]
    return out


def run_loops(args) -> list[dict]:
    import loop

    return [loop.run(cube, n, args.loop_rounds) for cube in CUBES for n in args.loop_sizes]


# --- peak memory ----------------------------------------------------------


def _status_kb(field: str) -> int:
    with open("/proc/self/status") as f:
        return int(re.search(field + r":\s+(\d+) kB", f.read()).group(1))


def run_memory(cube: int, n: int) -> dict:
    """Peak resident memory of one get_next_states() above the resident set
    just before it, in a process that has done nothing bigger."""
    import numpy as np

    import twirlkit

    batch = twirlkit.CubeBatch(n, cube)
    batch.scramble(np.full(n, 20, dtype=np.int64))
    # Start the pool and NumPy's array interface first: they belong to the
    # process, not to the call.
    twirlkit.CubeBatch(64, cube).get_next_states()
    gc.collect()
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")  # resets VmHWM to the current resident set
        method = "VmHWM after clear_refs"
    except OSError:
        method = "VmHWM without reset"
    before_kb = _status_kb("VmRSS")
    out = batch.get_next_states()
    peak_kb = _status_kb("VmHWM")
    out_bytes = out.nbytes
    del out
    above = (peak_kb - before_kb) * 1024
    return {
        "cube": cube,
        "n": n,
        "output_bytes": out_bytes,
        "rss_before_bytes": before_kb * 1024,
        "peak_bytes": peak_kb * 1024,
        "peak_above_bytes": above,
        "ratio": above / out_bytes,
        "method": method,
        "ru_maxrss_kb": resource.getrusage(resource.RUSAGE_SELF).ru_maxrss,
    }


# --- the parent: start the processes, compare, report ---------------------


def child(argv: list[str], threads: int, tag: str) -> dict:
    env = dict(os.environ, RAYON_NUM_THREADS=str(threads))
    env.pop("RAYON_RS_NUM_CPUS", None)
    with tempfile.NamedTemporaryFile("r", suffix=".json") as out:
        cmd = [sys.executable, str(Path(__file__).resolve()), *argv, "--json-out", out.name]
        proc = subprocess.run(cmd, env=env)
        if proc.returncode != 0:
            raise SystemExit(f"{tag} (RAYON_NUM_THREADS={threads}) failed: exit {proc.returncode}")
        return json.load(out)


def machine() -> dict:
    info = {
        "python": platform.python_version(),
        "platform": platform.platform(),
        "cpus_available": len(os.sched_getaffinity(0)),
    }
    try:
        with open("/proc/cpuinfo") as f:
            info["cpu"] = re.search(r"model name\s*:\s*(.*)", f.read()).group(1)
    except (OSError, AttributeError):
        info["cpu"] = platform.processor() or "unknown"
    try:
        with open("/proc/meminfo") as f:
            info["memory_gib"] = round(int(f.readline().split()[1]) / 2**20, 1)
    except (OSError, ValueError, IndexError):
        pass
    try:
        with open("/sys/kernel/mm/transparent_hugepage/enabled") as f:
            info["transparent_hugepages"] = re.search(r"\[(\w+)\]", f.read()).group(1)
    except (OSError, AttributeError):
        pass
    import numpy

    info["numpy"] = numpy.__version__
    return info


def load_average() -> float | None:
    try:
        with open("/proc/loadavg") as f:
            return float(f.read().split()[0])
    except (OSError, ValueError, IndexError):
        return None


def fmt_ns(ns: float) -> str:
    for unit, scale in (("s", 1e9), ("ms", 1e6), ("us", 1e3)):
        if ns >= scale:
            return f"{ns / scale:.3g} {unit}"
    return f"{ns:.3g} ns"


def median(runs: dict, threads: int, call: str, cube, n, job: str) -> float | None:
    for g in runs.get(str(threads), {}).get("groups", []):
        if g["call"] == call and g["cube"] == cube and g["n"] == n and job in g["jobs"]:
            return g["jobs"][job]["median_ns"]
    return None


def targets(runs: dict, memory: list[dict], scaling: dict, loops: list[dict],
            threads: list[int]) -> list[dict]:
    """Each target: the measured ratio, module time / reference time, against
    its upper bound. The tight-loop and single-cube targets hold for the
    largest worker count run; the loop runs with that count only."""
    out = []

    def add(name, t, cube, n, measured, bound):
        if measured is None:
            return
        out.append({"target": name, "threads": t, "cube": cube, "n": n,
                    "measured": measured, "bound": f"<= {bound:g}", "met": measured <= bound})

    def ratio(t, call, cube, n, a, b):
        x, y = median(runs, t, call, cube, n, a), median(runs, t, call, cube, n, b)
        return None if x is None or y is None else x / y

    t = max(threads)
    for cube in CUBES:
        for n, bound in ((1024, 1.0), (65536, 0.5), (1_000_000, 0.5)):
            add("get_next_states / floor", t, cube, n,
                ratio(t, "get_next_states", cube, n, "module", "floor"), bound)
        add("to_sticker_array / floor", t, cube, 65536,
            ratio(t, "to_sticker_array", cube, 65536, "module", "floor"), 0.8)
        add("get_next_states(list) / batch", t, cube, 1024,
            ratio(t, "get_next_states(list)", cube, 1024, "module", "batch"), 1.2)
        add("scramble / numpy (20 x)", t, cube, 65536,
            ratio(t, "scramble", cube, 65536, "module", "numpy"), 1 / 20)
        add("apply_move_indexes / numpy (50 x)", t, cube, 65536,
            ratio(t, "apply_move_indexes", cube, 65536, "module", "numpy"), 1 / 50)
        add("turn method / builtin call", t, cube, None,
            ratio(t, "turn", cube, None, "module", "builtin"), 1.25)
        add("do_moves(20) / numpy (20 x)", t, cube, None,
            ratio(t, "do_moves", cube, None, "module", "numpy"), 1 / 20)
    for lp in loops:
        mod, floor = lp["loops"]["module"], lp["loops"]["floor"]
        warm = lp["warm_floor"]["median_ns"]
        add("loop: get_next_states median / warm floor", t, lp["cube"], lp["n"],
            mod["get_next_states"]["median_ns"] / warm, 1.0)
        add("loop: get_next_states p90 / warm floor", t, lp["cube"], lp["n"],
            mod["get_next_states"]["p90_ns"] / warm, 1.5)
        add("loop: iteration / floor loop iteration", t, lp["cube"], lp["n"],
            mod["iteration"]["median_ns"] / floor["iteration"]["median_ns"], 1.1)
    # The state calls' targets, their speed-ups turned into the same
    # direction: module / reference against the reciprocal bound.
    def add_speedup_or_bound(name, t, cube, n, measured, op, bound):
        if op == ">=":
            measured = None if measured is None else 1 / measured
            name = name.replace(" speed-up over ", " / ") + f" ({bound:g} x)"
            bound = 1 / bound
        add(name, t, cube, n, measured, bound)

    for cube in CUBES:
        state_targets(add_speedup_or_bound, ratio, t, cube)
        data_targets(add, ratio, t, cube)
    for m in memory:
        add("get_next_states peak memory / output", m["threads"], m["cube"], m["n"],
            m["ratio"], 1.05)
    for cube in CUBES:
        pooled = scaling.get(str(cube), {})
        if "1" in pooled and "2" in pooled:
            one, two = statistics.median(pooled["1"]), statistics.median(pooled["2"])
            add("scramble 2 workers / 1 worker", "2/1", cube, SCALING_N, two / one, 1 / 1.8)
    return out


def state_targets(add, ratio, t, cube) -> None:
    """The targets of the calls that bring states in and encode them."""
    def fastest_numpy(n):
        put = ratio(t, "stickers(one_hot)", cube, n, "numpy_put", "module")
        compare = ratio(t, "stickers(one_hot)", cube, n, "numpy_compare", "module")
        known = [r for r in (put, compare) if r is not None]
        return min(known) if known else None

    for n in (1024, 65536):
        add("stickers(successors, one_hot) / floor", t, cube, n,
            ratio(t, "stickers(one_hot)", cube, n, "module", "floor"), "<=", 1.2)
        add("stickers(successors, one_hot) speed-up over numpy one-hot", t, cube, n,
            fastest_numpy(n), ">=", 10)
    add("stickers(successors, uint8) speed-up over get_next_states()", t, cube, 65536,
        ratio(t, "stickers(uint8)", cube, 65536, "get_next_states", "module"), ">=", 4)
    add("stickers(out=buf) / without out", t, cube, 1024,
        ratio(t, "stickers(out)", cube, 1024, "module", "no_out"), "<=", 0.7)
    add("expand() speed-up over get_next_states()", t, cube, 65536,
        ratio(t, "expand", cube, 65536, "get_next_states", "module"), ">=", 10)
    add("from_stickers() / to_sticker_array()", t, cube, 65536,
        ratio(t, "from_stickers", cube, 65536, "module", "to_sticker_array"), "<=", 2)
    for call, bound in (("transform", 2), ("canonical", 20)):
        add(f"{call}() / get_next_states()", t, cube, 65536,
            ratio(t, call, cube, 65536, "module", "get_next_states"), "<=", bound)
    for call in ("to_packed", "from_packed"):
        add(f"{call}() / floor", t, cube, 65536,
            ratio(t, call, cube, 65536, "module", "floor"), "<=", 1.5)


def data_targets(add, ratio, t, cube) -> None:
    """The targets of the data calls."""
    add("random(n, t, 20, seed=1) / CubeBatch(n, t) + scramble", t, cube, 65536,
        ratio(t, "random(seed)", cube, 65536, "module", "fresh_scramble"), 1.1)
    add("random_walks(20) / floor", t, cube, 65536,
        ratio(t, "random_walks", cube, 65536, "module", "floor"), 1.5)
    for call in ("compose", "inverse", "equals"):
        add(f"{call}() / floor", t, cube, 65536, ratio(t, call, cube, 65536, "module", "floor"), 3)
    for n, bound in ((1024, 0.3), (65536, 1.0)):
        add("apply(n, 20) / twenty apply_move_indexes", t, cube, n,
            ratio(t, "apply(n, 20)", cube, n, "module", "twenty_indexes"), bound)


def comparison_rows(runs: dict) -> list[dict]:
    """module time and its ratio to every other job of the same group."""
    rows = []
    for t, run in sorted(runs.items()):
        for g in run["groups"]:
            mod = g["jobs"]["module"]["median_ns"]
            rows.append({
                "threads": int(t), "call": g["call"], "cube": g["cube"], "n": g["n"],
                "module_ns": mod,
                "others": {k: {"ns": v["median_ns"], "module_over": mod / v["median_ns"]}
                           for k, v in g["jobs"].items() if k != "module"},
            })
    return rows


def print_report(result: dict) -> None:
    m = result["machine"]
    print(f"\nmachine: {m['cpu']}, {m['cpus_available']} CPUs, "
          f"{m.get('memory_gib', '?')} GiB, Python {m['python']}, NumPy {m['numpy']}, "
          f"THP {m.get('transparent_hugepages', '?')}")
    print("\nmedians; (r) = module time / other time, below 1 the module is faster\n")
    head = f"{'T':>2} {'call':<25} {'cube':>4} {'n':>9} {'module':>10}  others"
    print(head)
    print("-" * len(head))
    for r in result["comparisons"]:
        cube = f"{r['cube']}x{r['cube']}"
        n = "1" if r["n"] is None else f"{r['n']:,}"
        others = "  ".join(f"{k} {fmt_ns(v['ns'])} ({v['module_over']:.3g})"
                           for k, v in r["others"].items())
        print(f"{r['threads']:>2} {r['call']:<25} {cube:>4} {n:>9} "
              f"{fmt_ns(r['module_ns']):>10}  {others}")
    if result["loops"]:
        print("\n" + "\n".join(loop_lines(result["loops"], markdown=False)))
    print("\ntargets (module / reference; below 1 the module is faster)\n")
    head = f"{'target':<42} {'T':>3} {'cube':>4} {'n':>9} {'measured':>9} {'bound':>7}  result"
    print(head)
    print("-" * len(head))
    for t in result["targets"]:
        n = "1" if t["n"] is None else f"{t['n']:,}"
        print(f"{t['target']:<42} {t['threads']!s:>3} {t['cube']}x{t['cube']} {n:>9} "
              f"{t['measured']:>9.3g} {t['bound']:>7}  {'met' if t['met'] else 'MISSED'}")
    for mem in result["memory"]:
        print(f"  memory {mem['cube']}x{mem['cube']} n={mem['n']:,} T={mem['threads']}: "
              f"peak {mem['peak_above_bytes'] / 2**20:.1f} MiB above "
              f"{mem['rss_before_bytes'] / 2**20:.1f} MiB for an output of "
              f"{mem['output_bytes'] / 2**20:.1f} MiB ({mem['method']})")
    load = result["load_average"]
    if max(x or 0 for x in load.values()) > 0.5:
        print(f"\nnote: 1-minute load average {load['start']} at the start, {load['end']} "
              "at the end: other processes shared the CPUs, timings are noisy")
    print("\n" + result["summary"])


# The NumPy job each batch call is set against in the short tables.
NUMPY_JOB = {"get_next_states": "numpy_take", "to_sticker_array": "numpy_copy",
             "scramble": "numpy", "apply_move_indexes": "numpy",
             "turn": "numpy", "do_moves": "numpy", "to_sticker_array(single)": "numpy_tolist",
             "get_next_states(list)": "batch"}


LOOP_CALLS = ("get_next_states", "to_sticker_array", "apply_move_indexes", "scramble",
              "model", "iteration")


def loop_lines(loops: list[dict], markdown: bool) -> list[str]:
    """The training loop: median and p90 of each call per loop, and the
    module's medians over the NumPy loop's and over the floor loop's."""
    lines = []
    if markdown:
        lines += ["Training loop (bench/loop.py), median / p90 per call; the ratios are "
                  "twirlkit's median over the NumPy loop's and over the floor loop's "
                  "(`np.empty` + `fill` for each returned array). The warm floor is "
                  "`np.empty` + `fill` of the successor shape in a tight loop.", "",
                  "| cube | n | call | twirlkit | NumPy | floor loop | / NumPy | / floor |",
                  "|---|---:|---|---:|---:|---:|---:|---:|"]
    else:
        lines += ["training loop: median / p90 per call; ratios of the medians",
                  f"{'cube':>4} {'n':>6} {'call':<19} {'twirlkit':>19} {'numpy':>19} "
                  f"{'floor loop':>19} {'/numpy':>7} {'/floor':>7}"]
    for lp in loops:
        cube, n = f"{lp['cube']}x{lp['cube']}", f"{lp['n']:,}"
        calls = [(c, [lp["loops"][k].get(c) for k in ("module", "numpy", "floor")])
                 for c in LOOP_CALLS]
        calls.append(("warm floor", [None, None, lp["warm_floor"]]))
        for call, (mod, ref, flo) in calls:
            cells = [f"{fmt_ns(x['median_ns'])} / {fmt_ns(x['p90_ns'])}" if x else ""
                     for x in (mod, ref, flo)]
            if call == "warm floor":
                mod = lp["loops"]["module"]["get_next_states"]
                call = "get_next_states / warm floor"
                cells[0] = fmt_ns(mod["median_ns"])
            over = [f"{mod['median_ns'] / x['median_ns']:.3g}" if mod and x and x["median_ns"] > 50
                    else "" for x in (ref, flo)]
            if markdown:
                lines.append(f"| {cube} | {n} | `{call}` | " + " | ".join(cells + over) + " |")
            else:
                lines.append(f"{cube:>4} {n:>6} {call:<19} " +
                             " ".join(f"{c:>19}" for c in cells) +
                             " " + " ".join(f"{o:>7}" for o in over))
    return lines


def markdown_report(result: dict) -> str:
    """The tables for the README: the module against NumPy's fastest form and
    against the floor, then every target."""
    m = result["machine"]
    lines = [
        f"Measured on {m['cpu']}, {m['cpus_available']} CPUs, {m.get('memory_gib', '?')} GiB, "
        f"{m['platform']}, Python {m['python']}, NumPy {m['numpy']}; "
        f"load average {result['load_average']['start']} at the start, "
        f"{result['load_average']['end']} at the end.",
        "",
        "Every ratio is twirlkit time / reference time: below 1 twirlkit is faster.",
        "",
        "| call | cube | n | workers | twirlkit | reference | twirlkit / reference "
        "| floor | twirlkit / floor |",
        "|---|---|---:|---:|---:|---:|---:|---:|---:|",
    ]
    for r in result["comparisons"]:
        numpy_job = r["others"].get(NUMPY_JOB.get(r["call"], ""))
        floor = r["others"].get("floor") or r["others"].get("builtin")
        n = "1" if r["n"] is None else f"{r['n']:,}"
        numpy_cells = ["", ""]
        if numpy_job:
            numpy_cells = [fmt_ns(numpy_job["ns"]), f"{numpy_job['module_over']:.3g}"]
        floor_cells = ["", ""]
        if floor:
            floor_cells = [fmt_ns(floor["ns"]), f"{floor['module_over']:.3g}"]
        lines.append(
            f"| `{r['call']}` | {r['cube']}x{r['cube']} | {n} | {r['threads']} "
            f"| {fmt_ns(r['module_ns'])} | " + " | ".join(numpy_cells + floor_cells) + " |")
    lines += ["", "Reference: NumPy's fastest form of the same job (`np.take` over int64 "
              "sticker rows for the successors, a flat gather for the move indexes and "
              "scrambles, `states.copy()` and `row.tolist()` for the sticker arrays); "
              "for `get_next_states(list)` it is `CubeBatch.get_next_states()` of the same "
              "states. Floor: `np.empty(shape, np.int64)` then `.fill(1)` for batch calls, "
              "`[].clear()` for single-cube calls.", ""]
    if result["loops"]:
        lines += loop_lines(result["loops"], markdown=True) + [""]
    lines += ["| target | workers | cube | n | measured | bound | |",
              "|---|---:|---|---:|---:|---:|---|"]
    for t in result["targets"]:
        n = "1" if t["n"] is None else f"{t['n']:,}"
        lines.append(f"| {t['target']} | {t['threads']} | {t['cube']}x{t['cube']} | {n} "
                     f"| {t['measured']:.3g} | {t['bound']} | {'met' if t['met'] else 'missed'} |")
    lines += ["", result["summary"], ""]
    return "\n".join(lines)


PLOT_STYLE = {
    "twirlkit, 1 worker(s)": {"color": "tab:blue"},
    "twirlkit, 2 worker(s)": {"color": "navy"},
    "numpy": {"color": "tab:orange"},
    "numpy_take": {"color": "tab:orange"},
    "numpy_copy": {"color": "tab:orange"},
    "numpy_fancy": {"color": "tab:red"},
    "floor": {"color": "gray", "linestyle": "--"},
}
FLOOR_LABEL = "floor: np.empty + fill(1)"


def plot_throughput(result: dict, path: Path) -> bool:
    """Cubes per second against batch size, twirlkit per worker count next to
    NumPy and the floor. Skipped without matplotlib."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        return False
    calls = ["get_next_states", "to_sticker_array", "scramble", "apply_move_indexes"]
    fig, axes = plt.subplots(len(CUBES), len(calls), figsize=(12, 5.5), squeeze=False)
    for row, cube in enumerate(CUBES):
        for col, call in enumerate(calls):
            ax = axes[row][col]
            series: dict[str, list[tuple[int, float]]] = {}
            for r in result["comparisons"]:
                if r["call"] != call or r["cube"] != cube or r["n"] is None:
                    continue
                series.setdefault(f"twirlkit, {r['threads']} worker(s)", []).append(
                    (r["n"], r["n"] / r["module_ns"] * 1e9))
                if r["threads"] == min(result["settings"]["threads"]):
                    for job, v in r["others"].items():
                        label = FLOOR_LABEL if job == "floor" else job
                        series.setdefault(label, []).append((r["n"], r["n"] / v["ns"] * 1e9))
            for label in sorted(series, key=lambda k: (not k.startswith("twirlkit"), k)):
                points = sorted(series[label])
                ax.plot([p[0] for p in points], [p[1] for p in points], marker="o",
                        label=label, **PLOT_STYLE.get("floor" if label == FLOOR_LABEL else label,
                                                      {}))
            ax.set_xscale("log")
            ax.set_yscale("log")
            ax.set_title(f"{call}, {cube}x{cube}", fontsize=10)
            ax.set_xlabel("cubes in the batch")
            if col == 0:
                ax.set_ylabel("cubes per second")
            ax.grid(True, which="both", alpha=0.3)
            ax.legend(fontsize=7)
    fig.suptitle(f"twirlkit against NumPy ({result['machine']['cpu']}, "
                 f"{result['machine']['cpus_available']} CPUs, load "
                 f"{result['load_average']['start']})")
    fig.text(0.5, 0.005, "floor: the cost of any call that returns a new int64 array of the "
             "same shape, np.empty(shape, np.int64) then .fill(1); higher is faster",
             ha="center", fontsize=8)
    fig.tight_layout(rect=(0, 0.03, 1, 1))
    fig.savefig(path, dpi=72)
    plt.close(fig)
    return True


def summarise(result: dict) -> str:
    ts = result["targets"]
    missed = [t for t in ts if not t["met"]]
    m = result["machine"]
    text = (f"twirlkit bench: {len(ts) - len(missed)} of {len(ts)} targets met "
            f"({m['cpu']}, {m['cpus_available']} CPUs, {result['elapsed_s']:.0f} s)")
    if missed:
        counts: dict[str, int] = {}
        for t in missed:
            counts[t["target"]] = counts.get(t["target"], 0) + 1
        text += "; missed: " + ", ".join(f"{name} x{k}" for name, k in counts.items())
    return text


def parse_args(argv=None):
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--quick", action="store_true",
                    help="5 rounds, n = 1024 and 65536, shorter samples")
    ap.add_argument("--sizes", type=lambda s: [int(x) for x in s.split(",")],
                    help="comma-separated batch sizes (default 1024,65536,1000000)")
    ap.add_argument("--threads", type=lambda s: [int(x) for x in s.split(",")],
                    default=[1, 2], help="worker counts, one process each (default 1,2)")
    ap.add_argument("--rounds", type=int, help="rounds per group (default 11, quick 5)")
    ap.add_argument("--big-rounds", type=int, default=3,
                    help="rounds for groups whose single call takes over 0.25 s")
    ap.add_argument("--sample", type=float,
                    help="target seconds per timed sample (default 0.005, quick 0.002)")
    ap.add_argument("--passes", type=int,
                    help="alternating process pairs for the 2-vs-1 scramble (default 4, quick 2)")
    ap.add_argument("--no-memory", action="store_true", help="skip the peak-memory runs")
    ap.add_argument("--no-loop", action="store_true", help="skip the training-loop runs")
    ap.add_argument("--loop-rounds", type=int,
                    help="recorded iterations per loop (default 101, quick 31)")
    ap.add_argument("--loop-sizes", type=lambda s: [int(x) for x in s.split(",")],
                    default=list(LOOP_SIZES), help="batch sizes of the loop (default 1024,8192)")
    ap.add_argument("--out", type=Path, default=DEFAULT_OUT, help="JSON output path")
    ap.add_argument("--verbose", action="store_true", help="progress on stderr")
    # Internal: the child processes.
    ap.add_argument("--worker", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--memory", type=lambda s: [int(x) for x in s.split(",")],
                    help=argparse.SUPPRESS)
    ap.add_argument("--scaling", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--loop", action="store_true", help=argparse.SUPPRESS)
    ap.add_argument("--json-out", help=argparse.SUPPRESS)
    args = ap.parse_args(argv)
    if args.sizes is None:
        args.sizes = [1024, 65536] if args.quick else list(SIZES)
    if args.rounds is None:
        args.rounds = 5 if args.quick else 11
    if args.sample is None:
        args.sample = 0.002 if args.quick else 0.005
    if args.loop_rounds is None:
        args.loop_rounds = 31 if args.quick else 101
    if args.passes is None:
        args.passes = 2 if args.quick else 4
    args.scaling_rounds = 5
    if args.quick:
        args.big_rounds = min(args.big_rounds, 2)
    return args


def main(argv=None) -> int:
    args = parse_args(argv)
    if args.worker or args.memory or args.scaling or args.loop:
        if args.memory:
            result = run_memory(*args.memory)
        elif args.loop:
            result = run_loops(args)
        elif args.scaling:
            result = run_scaling(args)
        else:
            result = run_worker(args)
        with open(args.json_out, "w") as f:
            json.dump(result, f)
        return 0

    started = time.perf_counter()
    load_before = load_average()
    shared = ["--sizes", ",".join(map(str, args.sizes)), "--rounds", str(args.rounds),
              "--big-rounds", str(args.big_rounds), "--sample", str(args.sample)]
    if args.verbose:
        shared.append("--verbose")
    runs = {}
    for t in args.threads:
        print(f"timing with RAYON_NUM_THREADS={t} ...", file=sys.stderr, flush=True)
        runs[str(t)] = child(["--worker", *shared], t, "worker")
    # Worker scaling: short processes of each count in turn.
    scaling: dict = {}
    if 1 in args.threads and 2 in args.threads:
        print("timing scramble scaling ...", file=sys.stderr, flush=True)
        scaling_args = ["--scaling", "--rounds", str(args.scaling_rounds),
                        "--sample", str(args.sample)]
        for _ in range(args.passes):
            for t in (1, 2):
                for cube, samples in child(scaling_args, t, "scaling").items():
                    scaling.setdefault(cube, {}).setdefault(str(t), []).extend(samples)
    memory = []
    if not args.no_memory:
        for t in args.threads:
            for cube in CUBES:
                m = child(["--memory", f"{cube},65536"], t, "memory")
                m["threads"] = t
                memory.append(m)

    loops = []
    if not args.no_loop:
        print(f"timing the training loop with RAYON_NUM_THREADS={max(args.threads)} ...",
              file=sys.stderr, flush=True)
        loops = child(["--loop", "--loop-rounds", str(args.loop_rounds), "--loop-sizes",
                       ",".join(map(str, args.loop_sizes))], max(args.threads), "loop")

    result = {
        "machine": machine(),
        "module_file": next(iter(runs.values()))["module_file"] if runs else None,
        "settings": {"sizes": args.sizes, "threads": args.threads, "rounds": args.rounds,
                     "big_rounds": args.big_rounds, "sample_s": args.sample,
                     "quick": args.quick},
        "runs": runs,
        "memory": memory,
        "loops": loops,
        "scramble_scaling_samples_ns": scaling,
        "load_average": {"start": load_before, "end": load_average()},
    }
    result["comparisons"] = comparison_rows(runs)
    result["targets"] = targets(runs, memory, scaling, loops, args.threads)
    result["elapsed_s"] = time.perf_counter() - started
    result["summary"] = summarise(result)
    print_report(result)
    args.out.parent.mkdir(parents=True, exist_ok=True)
    with open(args.out, "w") as f:
        json.dump(result, f, indent=1)
        f.write("\n")
    markdown = args.out.with_suffix(".md")
    markdown.write_text(markdown_report(result))
    written = [args.out, markdown]
    plot = args.out.parent / "throughput.png"
    if plot_throughput(result, plot):
        written.append(plot)
    print("written: " + ", ".join(map(str, written)), file=sys.stderr)
    return 0


if __name__ == "__main__":
    sys.exit(main())

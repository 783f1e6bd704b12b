"""The training loop of the README timed call by call, with the lifetimes a
real loop has, next to the same loop on NumPy and a floor loop.

One iteration of every loop:

    every SCRAMBLE_EVERY-th iteration: scramble the batch (length 20)
    successors = get_next_states()          the previous successors and the
    scores = model(successors)              chosen rows are still alive here
    moves = best score of each cube's twelve rows
    chosen = successors[12 * i + moves]     kept until the next iteration
    apply_move_indexes(moves)
    states = to_sticker_array(); model(states)

The model is a stand-in that reads every row: the rows as float32 times a
weight vector, which allocates and frees an array of its own as a real model
does (that churn is what hands the allocator's warm memory back to the
system between calls). The NumPy loop keeps the cubes as sticker rows and
does each call with the baseline's fastest form. The floor loop has the same
model and lifetimes, with `np.empty(shape, np.int64)` and `.fill(1)` in place
of each array a call returns and nothing for the calls that return None.

The three loops run interleaved, one iteration of each per round in a
rotating order, and every round also times the warm floor: `np.empty` plus
`fill` of the successor shape in a tight loop of its own, the cost of a new
array of that shape when its memory is already warm.
"""

from __future__ import annotations

import time

import numpy as np

SCRAMBLE_EVERY = 4
SCRAMBLE_LENGTH = 20
WARMUP = 6
TIGHT_CALLS = 4
CALLS = ("scramble", "get_next_states", "model", "apply_move_indexes", "to_sticker_array")


class Loop:
    """One loop's state and per-call samples (ns)."""

    def __init__(self, name: str, n: int, d: int, weights: np.ndarray):
        self.name = name
        self.n = n
        self.d = d
        self.weights = weights
        self.rows = 12 * np.arange(n, dtype=np.uintp)
        self.iteration = 0
        self.successors = None
        self.chosen = None
        self.samples: dict[str, list[int]] = {c: [] for c in CALLS + ("iteration",)}

    def model(self, rows: np.ndarray) -> np.ndarray:
        return rows.astype(np.float32) @ self.weights

    def step(self, record: bool) -> None:
        clock = time.perf_counter_ns
        times = {}
        start = clock()
        if self.iteration % SCRAMBLE_EVERY == 0:
            t = clock()
            self.scramble()
            times["scramble"] = clock() - t
        t = clock()
        successors = self.next_states()
        times["get_next_states"] = clock() - t
        t = clock()
        scores = self.model(successors)
        moves = scores.reshape(self.n, 12).argmax(axis=1).astype(np.uintp)
        times["model"] = clock() - t
        chosen = successors[self.rows + moves]
        t = clock()
        self.apply(moves)
        times["apply_move_indexes"] = clock() - t
        t = clock()
        states = self.sticker_rows()
        times["to_sticker_array"] = clock() - t
        self.model(states)
        times["iteration"] = clock() - start
        # Alive into the next iteration's calls, as in a loop that keeps its
        # last step for the update.
        self.successors, self.chosen = successors, chosen
        self.iteration += 1
        if record:
            for call, ns in times.items():
                self.samples[call].append(ns)


class ModuleLoop(Loop):
    def __init__(self, twirlkit, cube: int, n: int, d: int, weights: np.ndarray):
        super().__init__("module", n, d, weights)
        self.batch = twirlkit.CubeBatch(n, cube)
        self.lengths = np.full(n, SCRAMBLE_LENGTH, dtype=np.int64)

    def scramble(self):
        self.batch.scramble(self.lengths)

    def next_states(self):
        return self.batch.get_next_states()

    def apply(self, moves):
        self.batch.apply_move_indexes(moves)

    def sticker_rows(self):
        return self.batch.to_sticker_array()


class NumpyLoop(Loop):
    def __init__(self, baseline, perms: np.ndarray, cube: int, n: int, d: int,
                 weights: np.ndarray, rng: np.random.Generator):
        super().__init__("numpy", n, d, weights)
        self.bl = baseline
        self.perms = perms
        self.rng = rng
        self.states = baseline.solved_states(n, cube)
        self.offsets = baseline.row_offsets(n, d)

    def scramble(self):
        self.states = self.bl.scramble(self.states, self.perms, SCRAMBLE_LENGTH, self.rng,
                                       self.offsets)

    def next_states(self):
        return self.bl.next_states_take(self.states, self.perms)

    def apply(self, moves):
        self.states = self.bl.apply_move_indexes(self.states, self.perms, moves, self.offsets)

    def sticker_rows(self):
        return self.states.copy()


class FloorLoop(Loop):
    def __init__(self, n: int, d: int, weights: np.ndarray):
        super().__init__("floor", n, d, weights)

    def scramble(self):
        pass

    def next_states(self):
        out = np.empty((12 * self.n, self.d), np.int64)
        out.fill(1)
        return out

    def apply(self, moves):
        pass

    def sticker_rows(self):
        out = np.empty((self.n, self.d), np.int64)
        out.fill(1)
        return out


def tight_floor(shape, samples: list[int]) -> None:
    """np.empty + fill of one shape a few times in a row; all but the first
    call (which may meet cold memory) are kept."""
    clock = time.perf_counter_ns
    for k in range(TIGHT_CALLS + 1):
        t = clock()
        out = np.empty(shape, np.int64)
        out.fill(1)
        ns = clock() - t
        del out
        if k:
            samples.append(ns)


def percentile(values: list[int], q: float) -> float:
    return float(np.percentile(np.asarray(values, dtype=np.float64), q))


def summary(samples: list[int]) -> dict:
    return {"median_ns": percentile(samples, 50), "p90_ns": percentile(samples, 90),
            "count": len(samples)}


def run(cube: int, n: int, rounds: int) -> dict:
    """All three loops for one cube size and batch size."""
    import baseline
    import twirlkit

    perms = baseline.load(cube)
    d = perms.shape[1]
    rng = np.random.default_rng(14)
    weights = rng.standard_normal(d).astype(np.float32)
    loops = [ModuleLoop(twirlkit, cube, n, d, weights),
             NumpyLoop(baseline, perms, cube, n, d, weights, rng),
             FloorLoop(n, d, weights)]
    warm_floor: list[int] = []
    for r in range(WARMUP + rounds):
        record = r >= WARMUP
        for k in range(len(loops)):
            loops[(r + k) % len(loops)].step(record)
        if record:
            tight_floor((12 * n, d), warm_floor)
    out = {"cube": cube, "n": n, "rounds": rounds, "warm_floor": summary(warm_floor),
           "loops": {}}
    for loop in loops:
        out["loops"][loop.name] = {call: summary(s) for call, s in loop.samples.items() if s}
    return out

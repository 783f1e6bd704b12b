"""The request a training loop makes, a few times over, with timings.

Each iteration scrambles a batch of 1024 cubes by random lengths, expands
every cube into its twelve quarter-turn successors, picks one move per cube
and applies it to the batch.

    python examples/demo.py [iterations]
"""

import sys
import time

import numpy as np

import twirlkit

BATCH = 1024


def timed(label, call, *args):
    start = time.perf_counter()
    result = call(*args)
    elapsed = (time.perf_counter() - start) * 1e3
    shape = getattr(result, "shape", None)
    suffix = f" -> shape {shape}" if shape is not None else ""
    print(f"  {label:<22} {elapsed:8.3f} ms{suffix}")
    return result


def main(iterations=5):
    rng = np.random.default_rng()
    batch = timed("CubeBatch(1024, 3)", twirlkit.CubeBatch, BATCH, 3)
    for step in range(iterations):
        print(f"iteration {step}")
        lengths = rng.integers(1, 31, size=BATCH, dtype=np.int64)
        timed("scramble", batch.scramble, lengths)
        successors = timed("get_next_states", batch.get_next_states)
        # A stand-in for a model's choice: a random move per cube, shown to
        # index the successor rows as 12 * cube + move.
        moves = rng.integers(0, 12, size=BATCH).astype(np.uintp)
        chosen = successors[12 * np.arange(BATCH, dtype=np.uintp) + moves]
        timed("apply_move_indexes", batch.apply_move_indexes, moves)
        current = timed("to_sticker_array", batch.to_sticker_array)
        assert (chosen == current).all(), "the chosen successor rows are the new states"
    print(f"solved after the last step: {sum(c.is_solved() for c in batch)} of {len(batch)}")


if __name__ == "__main__":
    main(int(sys.argv[1]) if len(sys.argv) > 1 else 5)

"""The same jobs done the way NumPy cube code does them: every cube is a row of
sticker colour codes, and every quarter turn is a fixed permutation of the
sticker positions.

The twelve permutations are not typed in. They are read off twirlkit itself:
a turn moves the sticker at position perm[m][p] to position p, so across
enough random states column p of the turned stickers equals exactly one
column of the stickers before the turn. `derive_perms` solves for that column,
and `check_against_module` replays the result against the module's own turns,
successor arrays and single-cube methods before anything is timed.
"""

from __future__ import annotations

import numpy as np

import twirlkit

MOVE_COUNT = 12
STICKER_DIM = {3: 54, 2: 24}

# Move index order: 2 * face + primed, faces U, D, R, L, F, B.
TURN_METHODS = [
    f"do_{face}{prime}_move" for face in "udrlfb" for prime in ("", "_prime")
]
FACES = "UDRLFB"


def _batch_stickers(batch) -> np.ndarray:
    return np.asarray(batch.to_sticker_array(), dtype=np.int64)


def _uintp(values) -> np.ndarray:
    return np.ascontiguousarray(values, dtype=np.uintp)


def derive_perms(cube_type: int, samples: int = 512) -> np.ndarray:
    """(12, d) int64 array: after move m, sticker p is sticker perm[m][p] of before."""
    batch = twirlkit.CubeBatch(samples, cube_type)
    batch.scramble(np.full(samples, 40, dtype=np.int64))
    before = _batch_stickers(batch)
    d = before.shape[1]
    perms = np.empty((MOVE_COUNT, d), dtype=np.int64)
    for m in range(MOVE_COUNT):
        batch.apply_move_indexes(_uintp(np.full(samples, m)))
        after = _batch_stickers(batch)
        batch.apply_move_indexes(_uintp(np.full(samples, m ^ 1)))  # the inverse turn
        # matches[p, q]: column p after the turn equals column q before it.
        matches = (after[:, :, None] == before[:, None, :]).all(axis=0)
        counts = matches.sum(axis=1)
        if not (counts == 1).all():
            raise AssertionError(
                f"move {m} of the {cube_type}x{cube_type}: sticker sources not unique "
                f"(per position {counts.tolist()})"
            )
        perms[m] = matches.argmax(axis=1)
        if sorted(perms[m].tolist()) != list(range(d)):
            raise AssertionError(f"move {m}: derived map is not a permutation")
    assert (_batch_stickers(batch) == before).all(), "inverse turns did not restore the batch"
    return perms


def check_against_module(cube_type: int, perms: np.ndarray, samples: int = 256) -> None:
    """Fails loudly if the permutations do not reproduce the module on fresh states."""
    d = STICKER_DIM[cube_type]
    rng = np.random.default_rng()
    batch = twirlkit.CubeBatch(samples, cube_type)
    batch.scramble(np.full(samples, 30, dtype=np.int64))
    states = _batch_stickers(batch)
    assert states.shape == (samples, d)

    # Batch turns by move index, a different index per cube.
    moves = rng.integers(0, MOVE_COUNT, samples)
    batch.apply_move_indexes(_uintp(moves))
    assert (apply_move_indexes(states, perms, moves) == _batch_stickers(batch)).all(), (
        "apply_move_indexes disagrees with the permutations"
    )

    # All twelve successors, in the module's row order, both NumPy forms.
    module_next = np.asarray(batch.get_next_states())
    fresh = _batch_stickers(batch)
    assert (next_states_take(fresh, perms) == module_next).all(), "next states (np.take) differ"
    assert (next_states_fancy(fresh, perms) == module_next).all(), "next states (fancy) differ"

    # Single cubes: the turn methods and do_moves.
    cube_cls = twirlkit.Cube3x3 if cube_type == 3 else twirlkit.Cube2x2
    text_perms = token_perms(perms)
    for i in range(8):
        cube = batch[i]
        row = fresh[i].copy()
        assert list(row) == cube.to_sticker_array(), "batch row differs from its cube"
        for m in rng.integers(0, MOVE_COUNT, 10):
            getattr(cube, TURN_METHODS[m])()
            row = row[perms[m]]
            assert list(row) == cube.to_sticker_array(), f"{TURN_METHODS[m]} differs"
        text = random_move_text(rng, 20)
        cube.do_moves(text)
        row = do_moves(row, text, text_perms)
        assert list(row) == cube.to_sticker_array(), f"do_moves({text!r}) differs"
    assert (solved_states(1, cube_type)[0] == cube_cls().to_sticker_array()).all(), (
        "solved rows differ from a new cube"
    )


# --- the NumPy jobs -------------------------------------------------------


def next_states_take(states: np.ndarray, perms: np.ndarray) -> np.ndarray:
    """Fastest form: one gather over int64 rows with the (12, d) index array."""
    n, d = states.shape
    return np.take(states, perms, axis=1).reshape(n * MOVE_COUNT, d)


def next_states_fancy(states: np.ndarray, perms: np.ndarray) -> np.ndarray:
    """The form research code usually writes."""
    n, d = states.shape
    return states[:, perms].reshape(n * MOVE_COUNT, d)


def row_offsets(n: int, d: int) -> np.ndarray:
    """(n, 1) start of each row in the flattened states, for the flat gathers."""
    return (np.arange(n, dtype=np.int64) * d)[:, None]


def apply_move_indexes(
    states: np.ndarray, perms: np.ndarray, moves: np.ndarray, offsets: np.ndarray | None = None
) -> np.ndarray:
    """Row i turned by moves[i]: a flat gather, measured faster than
    states[rows, perms[moves]] and np.take_along_axis."""
    n, d = states.shape
    index = perms[moves]
    index += row_offsets(n, d) if offsets is None else offsets
    return np.take(states.reshape(-1), index)


def scramble(
    states: np.ndarray,
    perms: np.ndarray,
    length: int,
    rng: np.random.Generator,
    offsets: np.ndarray | None = None,
) -> np.ndarray:
    """`length` rounds of one uniform quarter turn per cube."""
    n, d = states.shape
    if offsets is None:
        offsets = row_offsets(n, d)
    for _ in range(length):
        states = apply_move_indexes(states, perms, rng.integers(0, MOVE_COUNT, n), offsets)
    return states


def solved_states(n: int, cube_type: int) -> np.ndarray:
    d = STICKER_DIM[cube_type]
    per_face = d // 6
    return np.tile(np.repeat(np.arange(6, dtype=np.int64), per_face), (n, 1))


def token_perms(perms: np.ndarray) -> dict[str, np.ndarray]:
    """Index arrays for every accepted token, half turns composed in advance."""
    table = {}
    for f, face in enumerate(FACES):
        cw, ccw = perms[2 * f], perms[2 * f + 1]
        table[face] = cw
        table[face + "'"] = ccw
        table[face + "!"] = ccw
        table[face + "2"] = cw[cw]
    return table


def do_moves(row: np.ndarray, text: str, table: dict[str, np.ndarray]) -> np.ndarray:
    """One cube as a NumPy row: a Python loop over the tokens."""
    for token in text.split():
        perm = table.get(token)
        if perm is not None:
            row = row[perm]
    return row


def random_move_text(rng: np.random.Generator, tokens: int) -> str:
    suffixes = ("", "'", "2")
    return " ".join(
        FACES[rng.integers(0, 6)] + suffixes[rng.integers(0, 3)] for _ in range(tokens)
    )


def load(cube_type: int) -> np.ndarray:
    """The checked permutations of one cube size."""
    perms = derive_perms(cube_type)
    check_against_module(cube_type, perms)
    return perms

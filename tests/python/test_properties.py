"""Batches against single cubes, over random move sequences."""

import numpy as np
from hypothesis import given, settings
from hypothesis import strategies as st

from conftest import TURNS, check_invariants, words
from twirlkit import CubeBatch, get_next_states
from conftest import CLASSES, assert_valid_sticker_rows


# --- properties: batches against single cubes ------------------------------------

@settings(max_examples=60, deadline=None)
@given(cube_type=st.sampled_from([2, 3]),
       sequences=st.lists(st.lists(st.integers(0, 13), max_size=25), min_size=1, max_size=10))
def test_batch_equals_single_cubes_and_keeps_the_invariants(cube_type, sequences):
    batch = CubeBatch(len(sequences), cube_type)
    singles = [CLASSES[cube_type]() for _ in sequences]
    for step in range(max(map(len, sequences))):
        batch.apply_move_indexes(np.array(
            [moves[step] if step < len(moves) else 12 for moves in sequences], dtype=np.uintp))
    for cube, moves in zip(singles, sequences):
        for move in moves:
            if move < 12:  # 12 and 13 leave a batch cube unchanged
                getattr(cube, TURNS[move])()
    stickers = batch.to_sticker_array()
    assert_valid_sticker_rows(stickers, cube_type)
    for i, cube in enumerate(singles):
        check_invariants(batch[i])
        assert words(batch[i]) == words(cube)
        assert stickers[i].tolist() == cube.to_sticker_array()
    rows = batch.get_next_states()
    assert_valid_sticker_rows(rows, cube_type)
    assert (rows == get_next_states(singles)).all()

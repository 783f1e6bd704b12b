"""Argument errors: unreadable arrays and the text of conversion errors."""
import sys

import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch


def test_unreadable_arrays_are_value_errors_too():
    batch = CubeBatch(8, 3)
    with pytest.raises(ValueError) as caught:
        batch.apply_move_indexes(np.arange(16, dtype=np.uintp)[::2])
    assert isinstance(caught.value, twirlkit.PanicException)
    assert caught.value.args == (
        "argument 'move_indexes' is not a contiguous, aligned array: AsSliceError",)
    assert "UnreadableArrayError" not in twirlkit.__all__


@pytest.mark.parametrize("make, args, note", [
    (lambda b: b.scramble(np.zeros(4, np.int32)),
     ("argument 'scramble_lengths': 'numpy.ndarray' object cannot be converted to 'ndarray'",),
     "expected a 1-D C-contiguous int64 array; got int32 array with shape (4,)"),
    (lambda b: b.scramble([1, 2]),
     ("argument 'scramble_lengths': 'list' object cannot be converted to 'ndarray'",),
     "expected a 1-D C-contiguous int64 array; got list"),
    (lambda b: b.apply_move_indexes(np.zeros((2, 3), np.uintp)),
     ("argument 'move_indexes': 'numpy.ndarray' object cannot be converted to 'ndarray'",),
     "expected a 1-D C-contiguous uint64 array; got uint64 array with shape (2, 3)"),
    (lambda b: b.scramble(np.zeros(3, ">i8")),
     ("argument 'scramble_lengths': 'numpy.ndarray' object cannot be converted to 'ndarray'",),
     "expected a 1-D C-contiguous int64 array; got >int64 array with shape (3,)"),
    (lambda b: b.scramble(np.arange(10, dtype=np.int64)[::2]),
     ("argument 'scramble_lengths' is not a contiguous, aligned array: AsSliceError",),
     "expected a 1-D C-contiguous int64 array; got a non-contiguous int64 array "
     "with shape (5,) and strides (16,)"),
    (lambda b: b.scramble(np.frombuffer(bytes(17), np.int64, 2, 1)),
     ("argument 'scramble_lengths' is not a contiguous, aligned array: AsSliceError",),
     "expected a 1-D C-contiguous int64 array; got a misaligned int64 array "
     "with shape (2,) and strides (8,)"),
    (lambda b: CubeBatch(10**10, 3), ("Python int too large to convert to C unsigned int",),
     "argument 'count' must be an integer from 0 to 4294967295"),
    (lambda b: b[2**70], ("Python int too large to convert to C ssize_t",),
     "argument 'index' must be an integer from -9223372036854775808 to 9223372036854775807"),
], ids=["dtype", "list", "ndim", "byte-order", "strided", "misaligned", "count", "index"])
def test_argument_errors_keep_their_args_and_say_what_was_expected(make, args, note):
    with pytest.raises(BaseException) as caught:
        make(CubeBatch(4, 3))
    assert caught.value.args == args
    if sys.version_info >= (3, 11):
        assert caught.value.__notes__ == [note]

"""States into batches and between them: stickers, packed words, cubes,
selection, expansion, the solved test and the encoded sticker rows."""
import sys

import numpy as np
import pytest
from hypothesis import given, settings
from hypothesis import strategies as st

import twirlkit
from twirlkit import CubeBatch, Cube2x2, Cube3x3
from conftest import SANITIZED, check_invariants, run_script, words

SIZES = [(3, Cube3x3, 54), (2, Cube2x2, 24)]
CODE_DTYPES = [np.int8, np.uint8, np.int16, np.int32, np.int64]
ONE_HOT_DTYPES = [np.float32, np.float16, np.float64, np.bool_, np.uint8, np.int8]


@pytest.fixture(params=SIZES, ids=["3x3", "2x2"])
def size(request):
    return request.param


def scrambled(cube_type, n, seed):
    """A batch of n cubes with varied scramble lengths, some solved."""
    batch = CubeBatch(n, cube_type)
    lengths = np.random.default_rng(seed).integers(0, 40, n).astype(np.int64)
    lengths[::7] = 0
    batch.scramble(lengths)
    return batch


def one_hot_of(codes):
    return np.eye(6, dtype=np.float32)[codes].reshape(len(codes), 6 * codes.shape[1])


@settings(max_examples=30, deadline=None)
@given(cube_type=st.sampled_from([2, 3]), n=st.integers(0, 70), seed=st.integers(0, 2**32))
def test_round_trips_and_derived_batches_agree_with_the_parts(cube_type, n, seed):
    batch = scrambled(cube_type, n, seed)
    stickers = batch.to_sticker_array()
    packed = batch.to_packed()
    cubes = list(batch)

    # The packed rows are the cubes' own words.
    assert packed.dtype == np.uint64 and packed.flags.c_contiguous
    assert [tuple(int(w) for w in row) for row in packed] == [words(c) for c in cubes]

    for rebuilt in (CubeBatch.from_stickers(stickers, cube_type),
                    CubeBatch.from_packed(packed, cube_type)):
        assert np.array_equal(rebuilt.to_packed(), packed)
    if cubes:
        assert np.array_equal(CubeBatch.from_cubes(cubes).to_packed(), packed)

    assert batch.is_solved().tolist() == [c.is_solved() for c in cubes]

    expanded = batch.expand()
    successors = batch.get_next_states()
    assert len(expanded) == 12 * n
    assert np.array_equal(expanded.to_sticker_array(), successors)
    for cube in list(expanded)[:24]:
        check_invariants(cube)

    rng = np.random.default_rng(seed)
    if n:
        picks = rng.integers(-n, n, 2 * n)
        assert np.array_equal(batch.take(picks).to_packed(), packed[picks])

    for rows, codes in ((batch.stickers(), stickers),
                        (batch.stickers(successors=True), successors)):
        assert rows.dtype == np.int64 and np.array_equal(rows, codes)
    for successors_flag, codes in ((False, stickers), (True, successors)):
        for dtype in CODE_DTYPES:
            rows = batch.stickers(successors=successors_flag, dtype=dtype)
            assert rows.dtype == dtype and np.array_equal(rows, codes)
        expected = one_hot_of(codes)
        for dtype in ONE_HOT_DTYPES:
            rows = batch.stickers(successors=successors_flag, one_hot=True, dtype=dtype)
            assert rows.dtype == dtype and rows.shape == expected.shape
            assert np.array_equal(rows, expected.astype(dtype))


def test_empty_inputs_give_empty_batches_and_arrays(size):
    cube_type, _, dim = size
    empty = CubeBatch(0, cube_type)
    width = 2 if cube_type == 3 else 1
    assert len(CubeBatch.from_stickers(np.empty((0, dim), np.int64), cube_type)) == 0
    assert len(CubeBatch.from_packed(np.empty((0, width), np.uint64), cube_type)) == 0
    assert len(empty.expand()) == 0 and len(empty.take([])) == 0
    assert empty.to_packed().shape == (0, width)
    assert empty.is_solved().shape == (0,) and empty.is_solved().dtype == np.bool_
    assert empty.stickers(successors=True, one_hot=True).shape == (0, 6 * dim)


def test_inputs_of_any_integer_dtype_and_layout(size):
    cube_type, _, dim = size
    batch = scrambled(cube_type, 9, 1)
    codes = batch.to_sticker_array()
    packed = batch.to_packed()
    for stickers in (codes.astype(np.int8), codes.astype(np.uint16), np.asfortranarray(codes),
                     np.repeat(codes, 2, axis=0)[::2], codes.tolist()):
        assert np.array_equal(CubeBatch.from_stickers(stickers, cube_type).to_packed(), packed)
    for words_in in (packed.astype(np.int64), np.asfortranarray(packed), packed.tolist()):
        assert np.array_equal(CubeBatch.from_packed(words_in, cube_type).to_packed(), packed)
    for picks in ([2, -1], np.array([2, 8], np.uint8), np.array([2, -1], np.int16)):
        assert np.array_equal(batch.take(picks).to_packed(), packed[[2, 8]])


def test_argument_errors(size):
    cube_type, _, dim = size
    batch = CubeBatch(3, cube_type)
    codes = batch.to_sticker_array()
    other = 78 - dim
    with pytest.raises(TypeError, match="^unknown cube type: expected 2 or 3$"):
        CubeBatch.from_stickers(codes, 4)
    with pytest.raises(ValueError, match=rf"must have shape \(n, {dim}\), not \(3, {other}\)"):
        CubeBatch.from_stickers(np.zeros((3, other), np.int64), cube_type)
    with pytest.raises(ValueError, match=r"not \(54,\)"):
        CubeBatch.from_stickers(np.zeros(54, np.int64), cube_type)
    with pytest.raises(TypeError, match="must be an integer array, not dtype float64"):
        CubeBatch.from_stickers(codes.astype(float), cube_type)
    with pytest.raises(ValueError, match="must have shape"):
        CubeBatch.from_packed(np.zeros((3, 3), np.uint64), cube_type)
    for bad in ([3], [-4], np.array([2**64 - 1], np.uint64)):
        with pytest.raises(IndexError, match="^cubeBatch index out of range$"):
            batch.take(bad)
    with pytest.raises(TypeError):
        batch.take([0.0])
    with pytest.raises(ValueError, match="must have shape"):
        batch.take([[0]])
    with pytest.raises(TypeError, match="positional"):
        batch.stickers(True)
    with pytest.raises(TypeError, match="for sticker codes, not float32"):
        batch.stickers(dtype=np.float32)
    with pytest.raises(TypeError, match="for one-hot rows, not int16"):
        batch.stickers(one_hot=True, dtype=np.int16)
    with pytest.raises(TypeError, match="requires at least one cube"):
        CubeBatch.from_cubes([])
    with pytest.raises(TypeError, match="cannot be converted"):
        CubeBatch.from_cubes([Cube2x2(), Cube3x3()])
    with pytest.raises(TypeError, match="expects a list"):
        CubeBatch.from_cubes((7,))
    with pytest.raises(TypeError, match="Sequence"):
        CubeBatch.from_cubes(7)


def test_out_is_filled_in_place_and_every_other_out_names_shape_and_dtype(size):
    cube_type, _, dim = size
    batch = scrambled(cube_type, 4, 2)
    expected = one_hot_of(batch.get_next_states())
    out = np.full((48, 6 * dim), 7, np.float32)
    before = sys.getrefcount(out)
    assert batch.stickers(successors=True, one_hot=True, out=out) is out
    assert np.array_equal(out, expected)
    assert sys.getrefcount(out) == before
    codes = np.empty((4, dim), np.uint8)
    assert np.array_equal(batch.stickers(dtype=np.uint8, out=codes), batch.to_sticker_array())

    wanted = rf"shape \(48, {6 * dim}\) and dtype float32"
    cases = [
        (TypeError, [[0.0]]),
        (TypeError, np.zeros((48, 6 * dim), np.float64)),
        (TypeError, np.zeros((48, 6 * dim), ">f4")),
        (ValueError, np.zeros((47, 6 * dim), np.float32)),
        (ValueError, np.zeros((48 * 6 * dim,), np.float32)),
        (ValueError, np.zeros((6 * dim, 48), np.float32).T),
        (ValueError, np.zeros((48, 6 * dim), np.float32)[::-1]),
    ]
    read_only = np.zeros((48, 6 * dim), np.float32)
    read_only.flags.writeable = False
    cases.append((ValueError, read_only))
    for error, bad in cases:
        with pytest.raises(error, match=wanted):
            batch.stickers(successors=True, one_hot=True, out=bad)


def test_new_batches_share_nothing_with_their_source(size):
    cube_type, cls, _ = size
    batch = CubeBatch(2, cube_type)
    for derived in (batch.take([0, 0]), batch.expand(), CubeBatch.from_packed(batch.to_packed(), cube_type)):
        derived.scramble(np.full(len(derived), 5, np.int64))
    assert batch.is_solved().all()
    cube = cls()
    copied = CubeBatch.from_cubes([cube])
    cube.do_r_move()
    assert copied.is_solved().all()


def test_batches_made_in_reused_memory_hold_only_their_own_cubes(size):
    """Large batches come from freed buffers kept for reuse; one made where a
    scrambled batch lay must not show any of it, whatever made it."""
    cube_type = size[0]
    n = 8192  # 64 KiB of 2x2 cubes and more, so the buffers are reused
    solved = CubeBatch(n, cube_type)
    words, stickers = solved.to_packed(), solved.to_sticker_array()
    all_solved = lambda made: made.is_solved().all()  # noqa: E731
    cases = [
        (n, lambda: solved.take(np.arange(n)), all_solved),
        (n, lambda: CubeBatch.from_packed(words, cube_type), all_solved),
        (n, lambda: CubeBatch.from_stickers(stickers, cube_type), all_solved),
        (n, lambda: CubeBatch(n, cube_type), all_solved),
        (12 * n, solved.expand,
         lambda made: (made.to_sticker_array() == solved.get_next_states()).all()),
    ]
    for length, make, holds_its_own in cases:
        scrambled = CubeBatch(length, cube_type)
        scrambled.scramble(np.full(length, 9, np.int64))
        del scrambled
        made = make()
        assert len(made) == length and holds_its_own(made)
    twirlkit.release_cached_buffers()
    big = CubeBatch(n, cube_type)
    del big
    assert twirlkit.release_cached_buffers() > 0


def test_readers_hold_the_batch_while_they_convert_arguments():
    batch = CubeBatch(2, 3)
    seen = []

    class Indexes:
        def __array__(self, dtype=None, copy=None):
            try:
                batch.scramble(np.array([5, 5], np.int64))
            except RuntimeError as error:
                seen.append(str(error))
            return np.array([1, 0])

    assert len(batch.take(Indexes())) == 2
    assert seen == ["Already borrowed"] and batch.is_solved().all()


def test_signatures_and_class_methods():
    for name, signature in [
        ("from_stickers", "($type, stickers, cube_type)"),
        ("from_packed", "($type, words, cube_type)"),
        ("from_cubes", "($type, cubes)"),
        ("to_packed", "($self)"),
        ("take", "($self, indices)"),
        # The half-turn metric added a keyword-only `metric` to expand and stickers.
        ("expand", "($self, *, metric='qtm')"),
        ("is_solved", "($self, *, up_to_rotation=False)"),
        ("stickers", "($self, *, successors=False, dtype=None, one_hot=False, out=None, "
                     "metric='qtm')"),
    ]:
        method = getattr(CubeBatch, name)
        assert method.__text_signature__ == signature and method.__doc__
    assert list(twirlkit.__all__) == ["CubeBatch", "Cube2x2", "Cube3x3", "inverse_scramble",
                                      "get_next_states"]


# --- validation by one-way corruption ---------------------------------------------

# Sticker positions of the facelets of corner slot 0 (UBL) and edge slots 0
# (UB) and 1 (UR) in the 3x3 net, and of corner slots 0 and 1 in the 2x2 net.
UBL_3, UBR_3, UB_3, UR_3 = (0, 47, 36), (2, 11, 45), (1, 46), (5, 10)
UBL_2, UBR_2 = (0, 21, 16), (1, 5, 20)


def corrupt(row, kind, cube_type):
    ubl, ubr = (UBL_3, UBR_3) if cube_type == 3 else (UBL_2, UBR_2)
    if kind == "swap two stickers of a corner":
        row[[ubl[0], ubl[1]]] = row[[ubl[1], ubl[0]]]
    elif kind == "twist one corner":
        row[list(ubl)] = row[[ubl[1], ubl[2], ubl[0]]]
    elif kind == "code 6":
        row[7] = 6
    elif kind == "code -1":
        row[3] = -1
    elif kind == "recolour one sticker":
        row[ubl[0]] = (row[ubl[0]] + 1) % 6
    elif kind == "flip one edge":
        row[list(UB_3)] = row[[UB_3[1], UB_3[0]]]
    elif kind == "swap two edges":
        row[list(UB_3 + UR_3)] = row[list(UR_3 + UB_3)]
    elif kind == "bad centre":
        row[[4, 13]] = row[[13, 4]]
    return row


CORRUPTIONS = [
    (3, "swap two stickers of a corner", "corner slot 0 shows colours"),
    (2, "swap two stickers of a corner", "corner slot 0 shows colours"),
    (3, "twist one corner", r"the corner twists sum to [12] \(mod 3\)"),
    (2, "twist one corner", r"the corner twists sum to [12] \(mod 3\)"),
    (3, "code 6", "sticker 7 has code 6, not a colour code 0..5"),
    (2, "code -1", "sticker 3 has code -1, not a colour code 0..5"),
    (3, "recolour one sticker", "colour [0-5] occurs (8|10) times, not 9"),
    (2, "recolour one sticker", "colour [0-5] occurs (3|5) times, not 4"),
    (3, "flip one edge", r"the edge flips sum to 1 \(mod 2\)"),
    (3, "swap two edges", "the corner permutation is (odd|even) but the edge permutation is"),
    (3, "bad centre", "the centre sticker 4 has colour 1, not 0"),
]


@pytest.mark.parametrize("cube_type, kind, reason", CORRUPTIONS)
def test_each_corruption_names_the_first_bad_row_and_its_reason(cube_type, kind, reason):
    stickers = scrambled(cube_type, 3000, 7).to_sticker_array()
    # Far apart, so that different workers meet them; the lower row wins.
    for row in (2500, 17):
        corrupt(stickers[row], kind, cube_type)
    with pytest.raises(ValueError, match=rf"^row 17: {reason}"):
        CubeBatch.from_stickers(stickers, cube_type)


def test_swapping_two_corners_is_reachable_on_the_2x2_only():
    for cube_type, (a, b) in ((2, (UBL_2, UBR_2)), (3, (UBL_3, UBR_3))):
        row = CubeBatch(1, cube_type).to_sticker_array()
        # UBL's facelets 0, 1, 2 go to UBR's in the same order, and back.
        row[0, list(a) + list(b)] = row[0, list(b) + list(a)]
        if cube_type == 2:
            assert not CubeBatch.from_stickers(row, 2).is_solved()[0]
        else:
            with pytest.raises(ValueError, match="^row 0: the corner permutation is odd"):
                CubeBatch.from_stickers(row, 3)


PACKED_CORRUPTIONS = [
    (0, lambda w: w | 1 << 40, "the corner word has bits set above its last slot"),
    (1, lambda w: w | 1 << 63, "the edge word has bits set above its last slot"),
    (0, lambda w: w | 3 << 13, "corner slot 2 has orientation 3"),
    (1, lambda w: (w & ~(31 << 10)) | 13 << 10, "edge slot 2 holds piece 13, not an edge 0..11"),
    (0, lambda w: (w & ~31) | 1, "corner piece 1 occurs more than once"),
    (1, lambda w: (w & ~31) | 5, "edge piece 5 occurs more than once"),
    (0, lambda w: w ^ 1 << 3, r"the corner twists sum to 1 \(mod 3\)"),
    (1, lambda w: w ^ 1 << 4, r"the edge flips sum to 1 \(mod 2\)"),
    (1, lambda w: (w & ~1023) | ((w >> 5) & 31) | (w & 31) << 5,  # swap edge slots 0 and 1
     "the corner permutation is even but the edge permutation is odd"),
]


@pytest.mark.parametrize("column, change, reason", PACKED_CORRUPTIONS)
def test_packed_words_are_checked_like_stickers(column, change, reason):
    packed = CubeBatch(40, 3).to_packed()
    packed[33, column] = change(int(packed[33, column]))
    with pytest.raises(ValueError, match=rf"^row 33: {reason}$"):
        CubeBatch.from_packed(packed, 3)
    if column == 0 and "edge" not in reason:
        state = packed[:, :1].copy()
        with pytest.raises(ValueError, match=rf"^row 33: {reason}$"):
            CubeBatch.from_packed(state, 2)


def test_signed_words_that_do_not_fit_are_refused_not_wrapped():
    with pytest.raises(ValueError, match="^row 0: the corner word has bits set"):
        CubeBatch.from_packed(np.array([[-1]], np.int64), 2)


def test_edge_cases_of_the_readers(size):
    cube_type, _, dim = size
    # An empty list has no dtype worth refusing.
    assert len(CubeBatch.from_stickers([], cube_type)) == 0
    assert len(CubeBatch.from_packed([], cube_type)) == 0
    # A code is named by its value, in whatever dtype it came.
    for code, dtype in ((2**63, np.uint64), (2**64 - 1, np.uint64), (-2**63, np.int64),
                        (255, np.uint8), (-1, np.int8), (40000, np.uint16)):
        rows = CubeBatch(2, cube_type).to_sticker_array().astype(dtype)
        rows[1, 3] = code
        with pytest.raises(ValueError, match=rf"^row 1: sticker 3 has code {code}, not a colour"):
            CubeBatch.from_stickers(rows, cube_type)
    # Byte-swapped, strided and misaligned inputs read as their values.
    batch = scrambled(cube_type, 9, 3)
    codes, packed = batch.to_sticker_array(), batch.to_packed()
    misaligned = np.frombuffer(b"\0" + codes.astype(">i4").tobytes(), ">i4", offset=1).reshape(codes.shape)
    for stickers in (codes.astype(">i2"), misaligned, codes[::-1][::-1], codes.astype(np.uint32)):
        assert np.array_equal(CubeBatch.from_stickers(stickers, cube_type).to_packed(), packed)
    assert np.array_equal(CubeBatch.from_packed(packed.astype(">u8"), cube_type).to_packed(), packed)
    assert np.array_equal(batch.take(np.array([8, -9], ">i2")).to_packed(), packed[[8, 0]])


def test_pieces_are_checked_once_each_before_the_twists_as_documented():
    rows = CubeBatch(1, 3).to_sticker_array()
    rows[0, [46, 16]] = rows[0, [16, 46]]  # UB shows the UR edge, DR the DB one
    rows[0, list(UBL_3)] = rows[0, [UBL_3[1], UBL_3[2], UBL_3[0]]]  # and UBL twisted
    with pytest.raises(ValueError, match=r"^row 0: edge piece [14] occurs more than once$"):
        CubeBatch.from_stickers(rows, 3)
    packed = CubeBatch(1, 3).to_packed()
    packed[0, 0] ^= 1 << 3  # a twist of corner slot 0
    packed[0, 1] = (int(packed[0, 1]) & ~31) | 1  # edge piece 1 in slot 0 too
    with pytest.raises(ValueError, match=r"^row 0: edge piece 1 occurs more than once$"):
        CubeBatch.from_packed(packed, 3)


@pytest.mark.skipif(SANITIZED, reason="the sanitizer refuses such a request by ending the process")
def test_take_names_what_it_could_not_allocate():
    with pytest.raises(MemoryError, match=r"^cannot allocate the positions of 576460752303423488 indices"):
        CubeBatch(3, 3).take(np.broadcast_to(np.int64(0), (2**59,)))


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's allocator keeps freed memory")
def test_narrow_sticker_rows_are_read_without_a_wide_copy(tmp_path):
    out = run_script(tmp_path / "peak.py", """
        import resource, numpy as np, twirlkit
        batch = twirlkit.CubeBatch(1_000_000, 3)
        rows = batch.stickers(dtype=np.uint8)                      # 54 MB
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        made = twirlkit.CubeBatch.from_stickers(rows, 3)           # a 16 MB batch
        print((resource.getrusage(resource.RUSAGE_SELF).ru_maxrss - before) // 1024)
    """)
    # An int64 copy first would be 432 MB more.
    assert int(out) < 150

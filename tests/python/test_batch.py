"""CubeBatch, the batch kernels, the NumPy array contract and get_next_states."""

import os
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch, Cube2x2, Cube3x3, get_next_states

MOVES = [
    "do_u_move", "do_u_prime_move", "do_d_move", "do_d_prime_move",
    "do_r_move", "do_r_prime_move", "do_l_move", "do_l_prime_move",
    "do_f_move", "do_f_prime_move", "do_b_move", "do_b_prime_move",
]
SIZES = [(2, Cube2x2, 24), (3, Cube3x3, 54)]


def turned(cls, *moves):
    cube = cls()
    for m in moves:
        getattr(cube, MOVES[m])()
    return cube


def stickers(cube):
    return np.array(cube.to_sticker_array(), dtype=np.int64)


def uintp(values):
    return np.array(values, dtype=np.uintp)


def int64(values):
    return np.array(values, dtype=np.int64)


def run_python(code, env=None, timeout=60, **kwargs):
    full_env = dict(os.environ)
    full_env.update(env or {})
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=full_env,
                          capture_output=True, text=True, timeout=timeout, **kwargs)


# --- construction, length, items, text ---------------------------------------

def test_constructor_converts_count_first_then_checks_the_cube_type():
    with pytest.raises(OverflowError):
        CubeBatch(-1, 5)  # count fails before the cube type is looked at
    with pytest.raises(OverflowError):
        CubeBatch(2**32, 3)
    for bad in (0, 1, 4, 5):
        with pytest.raises(TypeError, match="^unknown cube type: expected 2 or 3$"):
            CubeBatch(5, bad)
    with pytest.raises(TypeError, match="count"):
        CubeBatch("3", 3)
    with pytest.raises(TypeError):
        CubeBatch(3)
    assert len(CubeBatch(cube_type=2, count=3)) == 3
    with pytest.raises(TypeError):
        type("Sub", (CubeBatch,), {})


def test_length_items_and_negative_indexes():
    batch = CubeBatch(3, 3)
    assert len(batch) == batch.len() == 3
    last = batch[-1]
    assert type(last) is Cube3x3 and last.is_solved()
    batch.apply_move_indexes(uintp([4, 12, 12]))
    assert batch[-3].to_sticker_array() == turned(Cube3x3, 4).to_sticker_array()
    assert batch[np.int64(1)].is_solved()  # any __index__ integer
    for index in (3, -4, 2**40):
        with pytest.raises(IndexError, match="^cubeBatch index out of range$"):
            batch[index]
    empty = CubeBatch(0, 2)
    assert len(empty) == 0
    for index in (0, -1):
        with pytest.raises(IndexError, match="^cubeBatch index out of range$"):
            empty[index]


def test_index_errors_name_the_parameter():
    batch = CubeBatch(3, 2)
    for key in (slice(0, 1), "0", 1.0):
        with pytest.raises(TypeError, match="index"):
            batch[key]
    with pytest.raises(OverflowError):
        batch[2**63]


def test_items_are_independent_copies():
    batch = CubeBatch(2, 2)
    first = batch[0]
    first.do_r_move()
    assert batch[0].is_solved()
    assert batch[0] is not batch[0]
    batch.apply_move_indexes(uintp([0]))
    assert first.state == turned(Cube2x2, 4).state


def test_iteration_yields_every_cube_in_order():
    cubes = list(CubeBatch(4, 2))
    assert len(cubes) == 4
    assert all(type(c) is Cube2x2 and c.is_solved() for c in cubes)
    batch = CubeBatch(3, 3)
    batch.apply_move_indexes(uintp([0, 4, 8]))
    expected = [turned(Cube3x3, m).to_sticker_array() for m in (0, 4, 8)]
    assert [c.to_sticker_array() for c in batch] == expected


def test_str_joins_the_cube_texts():
    single = str(Cube2x2())
    assert str(CubeBatch(2, 2)) == single + "\n\n" + single
    assert str(CubeBatch(1, 3)) == str(Cube3x3())
    assert str(CubeBatch(0, 3)) == ""


def test_method_signatures_and_docstrings():
    assert CubeBatch.__doc__ == ""
    assert CubeBatch.__text_signature__ == "(count, cube_type)"
    assert CubeBatch.scramble.__text_signature__ == "($self, scramble_lengths)"
    assert CubeBatch.apply_move_indexes.__text_signature__ == "($self, move_indexes)"
    assert CubeBatch.get_next_states.__text_signature__ == "($self)"
    assert CubeBatch.len.__doc__ == "Return the number of cubes in the batch."
    assert CubeBatch.scramble.__doc__.splitlines()[-1] == "ignored."
    names = [n for n in vars(CubeBatch) if not n.startswith("_")]
    assert names[:17] == ["apply_move_indexes", "get_next_states", "to_sticker_array", "scramble",
                          "len", "from_stickers", "from_packed", "from_cubes", "to_packed", "take",
                          "expand", "is_solved", "stickers", "distances", "solve", "transform",
                          "canonical"]
    assert names[17:] == ["random", "random_walks", "apply", "compose", "inverse", "equals", "copy",
                          "concatenate", "assign", "unique"]


# --- the array contract --------------------------------------------------------

def test_output_arrays_are_int64_views_of_a_slice_container():
    array = CubeBatch(2, 3).to_sticker_array()
    assert type(array) is np.ndarray
    assert array.dtype == np.int64 and array.dtype.isnative
    assert array.shape == (2, 54) and array.strides == (54 * 8, 8)
    assert array.flags.writeable and array.flags.c_contiguous and array.flags.aligned
    assert not array.flags.owndata
    holder = type(array.base)
    assert holder.__name__ == "PySliceContainer"
    assert not hasattr(twirlkit, "PySliceContainer")
    with pytest.raises(TypeError):
        holder()


@pytest.mark.parametrize("cube_type,cls,dim", SIZES)
def test_empty_batches_give_empty_arrays(cube_type, cls, dim):
    batch = CubeBatch(0, cube_type)
    for array in (batch.get_next_states(), batch.to_sticker_array()):
        assert array.shape == (0, dim)
        assert array.strides == (0, 0)
        assert array.dtype == np.int64 and not array.flags.owndata
    batch.scramble(int64([5, 5]))
    batch.apply_move_indexes(uintp([1]))
    assert len(batch) == 0


def test_outputs_share_no_memory_and_outlive_the_batch():
    batch = CubeBatch(2, 3)
    first = batch.to_sticker_array()
    first[:] = 9
    second = batch.to_sticker_array()
    assert (second == stickers(Cube3x3())).all()
    view = batch.get_next_states()[12:]
    del batch
    import gc
    gc.collect()
    assert (first == 9).all()
    assert (view[0] == stickers(turned(Cube3x3, 0))).all()
    view[0, 0] = -1  # still writeable memory of its own
    assert view[0, 0] == -1


# --- the kernels -----------------------------------------------------------------

@pytest.mark.parametrize("cube_type,cls,dim", SIZES)
def test_successor_rows_follow_the_move_index_order(cube_type, cls, dim):
    batch = CubeBatch(3, cube_type)
    batch.apply_move_indexes(uintp([12, 4, 9]))  # cube 0 stays solved
    starts = [[], [4], [9]]
    before = batch.to_sticker_array()
    rows = batch.get_next_states()
    assert rows.shape == (36, dim)
    for i, start in enumerate(starts):
        for m in range(12):
            assert (rows[12 * i + m] == stickers(turned(cls, *start, m))).all(), (i, m)
    assert (batch.to_sticker_array() == before).all()  # readers change nothing


def test_apply_move_indexes_zips_and_ignores_out_of_range_indexes():
    batch = CubeBatch(3, 3)
    batch.apply_move_indexes(uintp([4]))
    assert [c.to_sticker_array() for c in batch] == [
        turned(Cube3x3, 4).to_sticker_array(), *[Cube3x3().to_sticker_array()] * 2]
    batch = CubeBatch(3, 3)
    batch.apply_move_indexes(uintp([12, 12, 12]))
    batch.apply_move_indexes(uintp([2**64 - 1, 13, 1000]))
    assert all(c.is_solved() for c in batch)
    batch.apply_move_indexes(uintp([0, 2, 4, 6, 8]))  # the last two have no cube
    assert [c.to_sticker_array() for c in batch] == [
        turned(Cube3x3, m).to_sticker_array() for m in (0, 2, 4)]
    batch.apply_move_indexes(move_indexes=uintp([1, 3, 5]))
    assert all(c.is_solved() for c in batch)


def test_scramble_zips_lengths_and_skips_non_positive_ones():
    batch = CubeBatch(4, 3)
    batch.scramble(int64([0, -3, 20]))
    solved = [c.is_solved() for c in batch]
    assert solved == [True, True, False, True]
    batch = CubeBatch(2, 2)
    batch.scramble(scramble_lengths=int64([1, 1, 1, 1]))
    assert not any(c.is_solved() for c in batch)


@pytest.mark.parametrize("method,parameter,good", [
    ("scramble", "scramble_lengths", np.int64),
    ("apply_move_indexes", "move_indexes", np.uintp),
])
def test_argument_arrays_of_the_wrong_kind_are_type_errors(method, parameter, good):
    batch = CubeBatch(3, 3)
    batch.apply_move_indexes(uintp([4, 8, 10]))
    before = batch.to_sticker_array()
    wrong_dtype = np.int32 if good is np.int64 else np.int64  # signed indexes are refused too
    bad_arrays = [
        [1, 2, 3],
        (1, 2, 3),
        np.ones((3, 1), dtype=good),
        np.array(7, dtype=good),
        np.ones(3, dtype=wrong_dtype),
        np.ones(3, dtype=np.float64),
        np.ones(3, dtype=np.dtype(good).newbyteorder(">")),
    ]
    for bad in bad_arrays:
        with pytest.raises(TypeError) as info:
            getattr(batch, method)(bad)
        message = str(info.value)
        assert message.startswith(f"argument '{parameter}': '")
        assert message.endswith("' object cannot be converted to 'ndarray'")
    with pytest.raises(TypeError):
        getattr(batch, method)()
    assert (batch.to_sticker_array() == before).all()


@pytest.mark.parametrize("method,dtype", [("scramble", np.int64),
                                          ("apply_move_indexes", np.uintp)])
def test_argument_array_layouts(method, dtype):
    batch = CubeBatch(4, 3)
    call = getattr(batch, method)
    keep = 0 if method == "scramble" else 12  # a value that leaves a cube as it is
    with pytest.raises(twirlkit.PanicException) as info:
        call(np.zeros(10, dtype=dtype)[::2])
    assert str(info.value).endswith(": AsSliceError")
    misaligned = np.frombuffer(bytearray(8 * 4 + 1), dtype=dtype, offset=1)
    assert not misaligned.flags.aligned
    # The message alone: pytest's `match` also sees the exception's notes.
    with pytest.raises(twirlkit.PanicException) as info:
        call(misaligned)
    assert str(info.value).endswith(": AsSliceError")
    assert all(c.is_solved() for c in batch)

    call(np.zeros(10, dtype=dtype)[::3][:0])  # empty: strides do not matter
    call(np.lib.stride_tricks.as_strided(np.zeros(1, dtype=dtype), (0,), (24,)))
    frozen = np.full(4, keep, dtype=dtype)
    frozen.flags.writeable = False
    call(frozen)  # never written, so read-only is fine
    assert all(c.is_solved() for c in batch)

    class Sub(np.ndarray):
        pass
    source = np.full(20, keep, dtype=dtype)
    source[3:6] = 1
    call(source[3:7].view(Sub))  # a step-1 slice is read in place
    assert [c.is_solved() for c in batch] == [False, False, False, True]


def test_panic_exception_is_not_an_exception():
    assert issubclass(twirlkit.PanicException, BaseException)
    assert not issubclass(twirlkit.PanicException, Exception)


# --- the module function -----------------------------------------------------------

def test_module_get_next_states_matches_the_batch_method():
    assert get_next_states([Cube3x3()]).shape == (12, 54)
    pair = get_next_states(cubes=[Cube2x2(), Cube2x2()])
    assert pair.shape == (24, 24) and (pair[12:] == pair[:12]).all()
    assert (pair[5] == stickers(turned(Cube2x2, 5))).all()

    for cube_type, cls, _ in SIZES:
        batch = CubeBatch(5, cube_type)
        batch.scramble(int64([3, 7, 0, 20, 1]))
        cubes = list(batch)
        before = [c.to_sticker_array() for c in cubes]
        assert (get_next_states(cubes) == batch.get_next_states()).all()
        assert [c.to_sticker_array() for c in cubes] == before

    class CubeList(list):
        pass
    assert get_next_states(CubeList([Cube3x3()])).shape == (12, 54)


def test_module_get_next_states_errors():
    with pytest.raises(TypeError, match="^get_next_states\\(\\) requires at least one cube "
                                        "to infer the cube type$"):
        get_next_states([])
    for not_a_list in ((Cube3x3(),), np.zeros(3), Cube3x3()):
        with pytest.raises(TypeError, match="^argument 'cubes': .* cannot be converted to 'list'$"):
            get_next_states(not_a_list)
    expects = ("^get_next_states\\(\\) expects a list of twirlkit.Cube2x2 or "
               "twirlkit.Cube3x3 instances$")
    for first in (1, None, CubeBatch(1, 3)):
        with pytest.raises(TypeError, match=expects):
            get_next_states([first, Cube3x3()])
    with pytest.raises(TypeError) as info:
        get_next_states([Cube3x3(), Cube2x2()])
    assert "Cube2x2" in str(info.value) and str(info.value).endswith(
        "object cannot be converted to 'Cube3x3'")
    with pytest.raises(TypeError, match="cannot be converted to 'Cube2x2'$"):
        get_next_states([Cube2x2(), 7])


def test_module_get_next_states_sees_exclusive_holds():
    # Cube.scramble converts its length through __index__ while it holds the
    # cube exclusively, which lets a test observe the hold.
    held = Cube3x3()
    seen = {}

    class Length:
        def __index__(self):
            for key, cubes in (("first", [held]), ("later", [Cube3x3(), held])):
                try:
                    get_next_states(cubes)
                except (TypeError, RuntimeError) as error:
                    seen[key] = error
            return 0

    held.scramble(Length())
    assert isinstance(seen["first"], TypeError) and "expects a list" in str(seen["first"])
    assert isinstance(seen["later"], RuntimeError)
    assert str(seen["later"]) == "Already mutably borrowed"
    assert held.is_solved()


def test_batch_holds_during_index_conversion():
    batch = CubeBatch(2, 3)
    seen = {}

    class Index:
        def __index__(self):
            try:
                batch.scramble(int64([5, 5]))
            except RuntimeError as error:
                seen["scramble"] = str(error)
            seen["len"] = batch.len()  # shared holds coexist
            return 0

    assert batch[Index()].is_solved()
    assert seen == {"scramble": "Already borrowed", "len": 2}


# --- threads, processes, limits --------------------------------------------------

def test_import_does_not_import_numpy():
    result = run_python("""
        import sys, twirlkit
        twirlkit.CubeBatch(3, 3).len()
        print('numpy' in sys.modules)
    """)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == "False"


def test_results_do_not_depend_on_the_number_of_workers():
    code = """
        import hashlib, numpy as np, twirlkit
        for cube_type in (2, 3):
            batch = twirlkit.CubeBatch(3001, cube_type)
            for step in range(5):
                batch.apply_move_indexes(((np.arange(3001) * (step + 5)) % 14).astype(np.uintp))
            digest = hashlib.sha256()
            digest.update(batch.get_next_states().tobytes())
            digest.update(batch.to_sticker_array().tobytes())
            digest.update(twirlkit.get_next_states(list(batch)[:50]).tobytes())
            # The state kernels: expansion, encodings, checked input, selection.
            expanded = batch.expand()
            digest.update(expanded.to_packed().tobytes())
            digest.update(batch.stickers(successors=True, dtype=np.uint8).tobytes())
            digest.update(batch.stickers(successors=True, one_hot=True).tobytes())
            back = twirlkit.CubeBatch.from_stickers(batch.to_sticker_array(), cube_type)
            digest.update(back.take(np.arange(3000, -1, -7)).to_packed().tobytes())
            digest.update(twirlkit.CubeBatch.from_packed(expanded.to_packed(), cube_type).is_solved().tobytes())
            # A small batch, whose chunks the caller mostly runs itself, into
            # a reused buffer that the previous array scribbled over.
            small = twirlkit.CubeBatch(1024, cube_type)
            small.apply_move_indexes((np.arange(1024) % 13).astype(np.uintp))
            small.get_next_states().fill(-1)
            digest.update(small.get_next_states().tobytes())
            print(digest.hexdigest())
    """
    outputs = []
    for threads in ("1", "2", "3"):
        result = run_python(code, env={"RAYON_NUM_THREADS": threads})
        assert result.returncode == 0, result.stderr
        outputs.append(result.stdout)
    assert outputs[0] == outputs[1] == outputs[2]


def test_writers_fail_while_a_reader_runs_without_the_lock():
    batch = CubeBatch(20000, 3)  # each call writes about 100 MB with the lock released
    stop = threading.Event()
    errors = []
    lengths = int64([1])

    # The reader runs until the writer has met it, however long the scheduler
    # keeps them apart.
    def reader():
        deadline = time.monotonic() + 120
        while not stop.is_set() and time.monotonic() < deadline:
            batch.get_next_states()

    thread = threading.Thread(target=reader)
    thread.start()
    try:
        while thread.is_alive() and not errors:
            try:
                batch.scramble(lengths)
            except RuntimeError as error:
                errors.append(str(error))
                assert batch.len() == 20000  # readers still go ahead
    finally:
        stop.set()
        thread.join()
    assert errors and errors[0] == "Already borrowed"


def test_forked_children_get_a_working_pool_and_their_own_randomness():
    result = run_python("""
        import os, sys, time, numpy as np, twirlkit
        batch = twirlkit.CubeBatch(4096, 3)
        batch.scramble(np.full(4096, 10, dtype=np.int64))  # the parent's pool is running
        batch.get_next_states()

        def child(write_fd):
            b = twirlkit.CubeBatch(64, 3)
            b.scramble(np.full(64, 25, dtype=np.int64))
            rows = b.get_next_states()
            os.write(write_fd, b.to_sticker_array().tobytes()[:4096])
            os._exit(0 if rows.shape == (768, 54) else 3)

        seen = set()
        for _ in range(16):
            r, w = os.pipe()
            pid = os.fork()
            if pid == 0:
                os.close(r)
                child(w)
            os.close(w)
            deadline = time.monotonic() + 2.0
            while True:
                done, status = os.waitpid(pid, os.WNOHANG)
                if done:
                    break
                if time.monotonic() > deadline:
                    os.kill(pid, 9)
                    print("child hung"); sys.exit(1)
                time.sleep(0.005)
            data = b""
            while chunk := os.read(r, 65536):
                data += chunk
            os.close(r)
            if os.waitstatus_to_exitcode(status) != 0:
                print("child failed", status); sys.exit(1)
            seen.add(data)
        print(len(seen))
    """, timeout=120)
    assert result.returncode == 0, result.stdout + result.stderr
    assert result.stdout.strip() == "16"


@pytest.mark.skipif(sys.platform != "linux", reason="RLIMIT_AS semantics")
@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""),
                    reason="the address sanitizer's shadow memory does not fit under RLIMIT_AS")
def test_memory_errors_leave_the_process_running():
    code = """
        import resource
        limit = 2 * 1024**3
        resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        import numpy as np, twirlkit
        try:
            twirlkit.CubeBatch(2**28, 3)  # 4 GiB of cubes
        except MemoryError:
            print("storage")
        batch = twirlkit.CubeBatch(5_000_000, 3)
        try:
            batch.get_next_states()  # about 26 GB of rows
        except MemoryError:
            print("rows")
        small = twirlkit.CubeBatch(10, 3)
        small.scramble(np.full(10, 20, dtype=np.int64))
        print(small.get_next_states().shape)
    """
    result = run_python(code, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.split("\n")[:3] == ["storage", "rows", "(120, 54)"]


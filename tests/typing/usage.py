"""Typed use of the whole public surface, checked with `mypy --strict`.

The test suite also runs it, so every line here is real, working code.
The `type: ignore` lines are calls the stubs must refuse: under --strict an
ignore that is no longer needed is itself an error, so a stub that grew too
permissive fails the check.
"""
import sys
from typing import Any

if sys.version_info >= (3, 11):
    from typing import assert_type
else:  # mypy's own dependency carries it for 3.10
    from typing_extensions import assert_type

import numpy as np
from numpy.typing import NDArray

import twirlkit
from twirlkit import CubeBatch, Cube2x2, Cube3x3, get_next_states, inverse_scramble


def single_cubes() -> None:
    big = Cube3x3()
    big.do_moves("R U R' U'")
    big.do_r_move()
    big.do_r_prime_move()
    big.scramble()
    big.scramble(scramble_length=3)
    assert_type(big.is_solved(), bool)
    assert_type(big.corners, int)
    assert_type(big.to_binary(), tuple[str, str])
    assert_type(big.to_binary_corners(), str)
    assert_type(big.to_binary_edges(), str)
    assert_type(big.get_corners(), list[tuple[int, int]])
    assert_type(big.get_edges(), list[tuple[int, int]])
    assert_type(big.to_sticker_array(), list[int])
    assert_type(str(big), str)

    small = Cube2x2()
    small.do_moves(moves="F2 B'")
    small.do_u_move()
    small.do_u_prime_move()
    assert_type(small.state, int)
    assert_type(small.to_binary(), str)
    assert_type(small.get_corners(), list[tuple[int, int]])
    assert_type(small.to_sticker_array(), list[int])

    assert_type(inverse_scramble("R U"), str)
    assert_type(get_next_states([big]), NDArray[np.int64])
    assert_type(get_next_states([small, Cube2x2()]), NDArray[np.int64])


def batch_step() -> NDArray[np.int64]:
    batch = CubeBatch(8, 3)
    batch.scramble(np.full(len(batch), 5, dtype=np.int64))
    successors = batch.get_next_states()
    moves = (np.arange(len(batch)) % 12).astype(np.uintp)
    chosen = successors[12 * np.arange(len(batch), dtype=np.uintp) + moves]
    batch.apply_move_indexes(moves)
    assert (chosen == batch.to_sticker_array()).all()
    assert_type(batch.len(), int)
    cube = batch[0]
    assert_type(cube, Cube2x2 | Cube3x3)
    if isinstance(cube, Cube3x3):
        assert_type(cube.get_edges(), list[tuple[int, int]])
    for each in batch:
        assert_type(each, Cube2x2 | Cube3x3)
    assert_type(get_next_states(list(batch)), NDArray[np.int64])
    return successors


def states_in_and_out() -> None:
    batch = CubeBatch(4, 3)
    batch.scramble(np.full(4, 9, dtype=np.int64))
    assert_type(batch.to_packed(), NDArray[np.uint64])
    again = CubeBatch.from_packed(batch.to_packed(), 3)
    assert_type(CubeBatch.from_stickers(batch.to_sticker_array().tolist(), 3), CubeBatch)
    assert_type(CubeBatch.from_cubes([Cube2x2(), Cube2x2()]), CubeBatch)
    assert_type(again.take([0, -1]).expand(), CubeBatch)
    assert_type(again.is_solved(), NDArray[np.bool_])
    assert_type(batch.stickers(), NDArray[np.int64])
    assert_type(batch.stickers(successors=True, dtype=np.uint8), NDArray[np.uint8])
    assert_type(batch.stickers(one_hot=True), NDArray[np.float32])
    assert_type(batch.stickers(one_hot=True, dtype=np.float16), NDArray[np.float16])
    buffer = np.empty((48, 324), dtype=np.float32)
    assert_type(batch.stickers(successors=True, one_hot=True, out=buffer), NDArray[np.float32])
    flag = bool(len(batch) % 2)
    assert_type(batch.stickers(one_hot=flag), NDArray[Any])


def labels() -> None:
    small = CubeBatch(4, 2)
    small.scramble(np.full(4, 9, dtype=np.int64))
    distances = small.distances()
    assert_type(distances, NDArray[np.int8])
    solutions = small.solve()
    assert_type(solutions, list[str])
    assert [len(s.split()) for s in solutions] == distances.tolist()
    assert_type(CubeBatch(2, 3).solve(max_length=20, timeout=0.5), list[str])
    goal = CubeBatch(1, 2)
    assert_type(small.distances(target=goal), NDArray[np.int8])
    assert_type(small.solve(target=goal), list[str])
    moves, lengths = small.solutions(target=goal, metric="htm", max_length=None)
    assert_type(moves, NDArray[np.uint8])
    assert_type(lengths, NDArray[np.int16])
    small.apply(moves, metric="htm")
    assert small.equals(goal).all()


def refused() -> None:
    """Never called: each line would fail at run time as well."""
    big, small, batch = Cube3x3(), Cube2x2(), CubeBatch(2, 2)
    small.get_edges()  # type: ignore[attr-defined]
    big.corners = 0  # type: ignore[misc]
    big.scramble("20")  # type: ignore[arg-type]
    get_next_states((big,))  # type: ignore[arg-type]
    batch.scramble([1, 2])  # type: ignore[arg-type]
    batch.solutions(target=big)  # type: ignore[arg-type]
    # Named first: as a direct argument, NumPy's own stubs would let the
    # expected type steer the inference of the array's dtype.
    signed = np.zeros(2, dtype=np.int64)
    unsigned = np.zeros(2, dtype=np.uintp)
    batch.apply_move_indexes(signed)  # type: ignore[arg-type]
    batch.scramble(unsigned)  # type: ignore[arg-type]
    batch.stickers(True)  # type: ignore[call-overload]
    CubeBatch.from_cubes([big, small])  # type: ignore[arg-type]
    twirlkit.beam_search(batch, lambda x: x, encoding="hot")  # type: ignore[arg-type]


def guided_searches() -> None:
    start = CubeBatch.random(3, 2, 8, seed=1)
    beam = twirlkit.beam_search(start, lambda x: x.distances(), beam_width=1, encoding="batch")
    astar = twirlkit.weighted_astar(start, lambda x: np.zeros(len(x)), weight=1.0, batch_size=10,
                                    target=CubeBatch(1, 2), metric="htm", encoding="packed")
    for result in (beam, astar):
        assert_type(result, twirlkit.SearchResult)
        assert_type(result.moves, NDArray[np.uint8])
        assert_type(result.lengths, NDArray[np.int16])
        assert_type(result.search_seconds, float)


def sets_and_layers() -> None:
    seen = twirlkit.StateSet(2)
    batch = CubeBatch(3, 2)
    assert_type(seen.add(batch), NDArray[np.bool_])
    assert_type(len(seen), int)
    assert_type(batch.unique(), CubeBatch)
    sizes, layers = twirlkit.bfs(2, 3, moves=[0, 1])
    assert_type(sizes, NDArray[np.int64])
    assert_type(layers, list[CubeBatch])
    assert sizes.tolist() == [1, 2, 1] and seen.contains(layers[0]).tolist() == [False]


def panics_are_not_exceptions() -> None:
    try:
        Cube3x3().scramble(1)
    except twirlkit.PanicException as failure:
        assert_type(failure, twirlkit.PanicException)
        raise


if __name__ == "__main__":
    single_cubes()
    assert batch_step().shape == (96, 54)
    states_in_and_out()
    labels()
    sets_and_layers()
    panics_are_not_exceptions()
    guided_searches()
    print("ok")

"""beam_search and weighted_astar: optimal with exact distances, solutions
that reach their targets, the scorer's input and result checked."""
import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch


def exact(encoding):
    """The 2x2 distance to solved as a scorer, for each input form."""
    def to_batch(x):
        if encoding == "batch":
            return x
        if encoding == "packed":
            return CubeBatch.from_packed(x, 2)
        codes = x.reshape(len(x), 24, 6).argmax(axis=2) if encoding == "one_hot" else x
        return CubeBatch.from_stickers(codes, 2)
    return lambda x: to_batch(x).distances()


def reaches(start, result, target, metric="qtm"):
    found = result.lengths >= 0
    replay = start.take(np.flatnonzero(found))
    replay.apply(result.moves[found], metric=metric)
    goal = target if len(target) == 1 else target.take(np.flatnonzero(found))
    return replay.equals(goal).all()


def search(kind, start, scorer, **options):
    if kind == "beam":
        return twirlkit.beam_search(start, scorer, beam_width=1, **options)
    return twirlkit.weighted_astar(start, scorer, weight=1, batch_size=1, **options)


@pytest.mark.parametrize("kind", ["beam", "astar"])
@pytest.mark.parametrize("encoding", ["one_hot", "stickers", "packed", "batch"])
def test_exact_distances_give_optimal_solutions_that_reach_solved(kind, encoding):
    start = CubeBatch.random(60, 2, np.arange(60) % 16, seed=5)
    optimal = start.distances()
    result = search(kind, start, exact(encoding), encoding=encoding)
    np.testing.assert_array_equal(result.lengths, optimal)
    assert result.lengths.dtype == np.int16 and result.expanded.dtype == np.int64
    assert result.moves.dtype == np.uint8 and result.moves.shape == (60, optimal.max())
    assert (result.moves[np.arange(optimal.max()) >= optimal[:, None]] == 12).all()
    assert reaches(start, result, CubeBatch(1, 2))
    if kind == "beam":
        np.testing.assert_array_equal(result.expanded, optimal)
    assert result.scorer_seconds >= 0 and result.search_seconds >= 0


@pytest.mark.parametrize("kind", ["beam", "astar"])
def test_a_shared_target_is_reached_optimally(kind):
    target = CubeBatch.random(1, 2, 9, seed=2)
    start = CubeBatch.random(30, 2, 7, seed=3)
    # The distance from c to t is that of c⁻¹ t from solved.
    to_target = lambda x: x.inverse().compose(target).distances()
    result = search(kind, start, to_target, encoding="batch", target=target)
    np.testing.assert_array_equal(result.lengths, to_target(start))
    assert reaches(start, result, target)


@pytest.mark.parametrize("metric, moves", [("qtm", 12), ("htm", 18)])
def test_targets_of_their_own_in_either_metric(metric, moves):
    start = CubeBatch.random(8, 3, 12, seed=4)
    target = start.copy()
    target.apply(np.random.default_rng(1).integers(0, moves, (8, 3)), metric=metric)
    zero = lambda x: np.zeros(len(x))
    for result in (twirlkit.beam_search(start, zero, beam_width=2000, max_depth=3, target=target,
                                        metric=metric, encoding="packed"),
                   twirlkit.weighted_astar(start, zero, weight=1, batch_size=500, target=target,
                                           metric=metric, encoding="packed")):
        assert (result.lengths >= 0).all() and (result.lengths <= 3).all()
        assert reaches(start, result, target, metric)
        assert (result.moves <= moves).all()


def test_each_depth_scores_the_children_of_every_live_search_in_one_call():
    start = CubeBatch.random(5, 3, 20, seed=6)
    start.assign([0], CubeBatch(1, 3))  # solved: done before any call
    sizes = []
    result = twirlkit.beam_search(start, lambda x: sizes.append(len(x)) or np.zeros(len(x)),
                                  beam_width=3, max_depth=4, encoding="packed")
    # Depth 1 expands one state a search, later depths three; the children of
    # the last depth are only compared with the target.
    assert sizes == [4 * 12, 4 * 36, 4 * 36]
    np.testing.assert_array_equal(result.lengths, [0, -1, -1, -1, -1])
    np.testing.assert_array_equal(result.expanded, [0, 10, 10, 10, 10])
    limited = twirlkit.weighted_astar(start, lambda x: np.zeros(len(x)), max_nodes=25,
                                      batch_size=10, encoding="packed")
    np.testing.assert_array_equal(limited.lengths, [0, -1, -1, -1, -1])
    np.testing.assert_array_equal(limited.expanded, [0, 25, 25, 25, 25])


@pytest.mark.parametrize("encoding, dtype, shape", [
    ("one_hot", None, (12, 144, np.float32)), ("one_hot", np.uint8, (12, 144, np.uint8)),
    ("stickers", None, (12, 24, np.int64)), ("stickers", np.int8, (12, 24, np.int8)),
    ("packed", None, (12, 1, np.uint64)),
])
def test_the_scorer_gets_the_children_as_stickers_or_packed_words(encoding, dtype, shape):
    start = CubeBatch.random(1, 2, 10, seed=8)
    seen = []
    twirlkit.beam_search(start, lambda x: seen.append(x.copy()) or np.zeros(len(x)), max_depth=2,
                         encoding=encoding, dtype=dtype)
    rows, width, element = shape
    first = seen[0]
    assert first.shape == (rows, width) and first.dtype == element
    children = start.expand()
    expected = (children.to_packed() if encoding == "packed" else
                children.stickers(one_hot=encoding == "one_hot", dtype=dtype))
    np.testing.assert_array_equal(first, expected)


class Boom(Exception):
    pass


def boom(x):
    raise Boom("scorer failed")


ERRORS = [
    ("raises", dict(scorer=boom), Boom, "scorer failed"),
    ("short", dict(scorer=lambda x: np.zeros(len(x) - 1)), ValueError, "one per child"),
    ("2-D", dict(scorer=lambda x: np.zeros((len(x), 1))), ValueError, "1-D array"),
    ("scalar", dict(scorer=lambda x: 0.0), ValueError, "1-D array"),
    ("nan", dict(scorer=lambda x: np.where(np.arange(len(x)) == 3, np.nan, 0.0)), ValueError,
     "NaN for child 3"),
    ("strings", dict(scorer=lambda x: ["a"] * len(x)), TypeError, "real numbers"),
    ("complex", dict(scorer=lambda x: np.zeros(len(x), complex)), TypeError, "real numbers"),
    ("not callable", dict(scorer=3), TypeError, "must be callable"),
    ("encoding", dict(encoding="onehot"), ValueError, "'encoding' must be"),
    ("encoding type", dict(encoding=1), TypeError, "'encoding' must be"),
    ("dtype", dict(encoding="stickers", dtype=np.float32), TypeError, "sticker codes"),
    ("batch dtype", dict(encoding="batch", dtype=np.uint8), ValueError, "dtype"),
    ("metric", dict(metric="stm"), ValueError, "'metric' must be"),
    ("target size", dict(target=CubeBatch(2, 2)), ValueError, "'target' must hold 3 cubes or 1"),
    ("target type", dict(target=CubeBatch(1, 3)), TypeError, "Cube3x3"),
    ("start", dict(start=[twirlkit.Cube2x2()]), TypeError, "'start' must be CubeBatch"),
]


@pytest.mark.parametrize("kind", ["beam", "astar"])
@pytest.mark.parametrize("name, change, error, text", ERRORS, ids=[e[0] for e in ERRORS])
def test_bad_scorers_and_arguments_raise(kind, name, change, error, text):
    arguments = dict(start=CubeBatch.random(3, 2, 9, seed=1), scorer=lambda x: np.zeros(len(x)))
    arguments.update(change)
    start, scorer = arguments.pop("start"), arguments.pop("scorer")
    call = twirlkit.beam_search if kind == "beam" else twirlkit.weighted_astar
    with pytest.raises(error, match=text):
        call(start, scorer, **arguments)


@pytest.mark.parametrize("bad", [dict(beam_width=0), dict(max_depth=-1), dict(history=-1),
                                 dict(max_depth=40000)])
def test_beam_limits_are_checked(bad):
    with pytest.raises(ValueError, match=next(iter(bad))):
        twirlkit.beam_search(CubeBatch(1, 2), lambda x: np.zeros(len(x)), **bad)


@pytest.mark.parametrize("bad", [dict(batch_size=0), dict(max_nodes=-1), dict(weight=-1.0),
                                 dict(weight=float("inf"))])
def test_astar_limits_are_checked(bad):
    with pytest.raises(ValueError, match=next(iter(bad))):
        twirlkit.weighted_astar(CubeBatch(1, 2), lambda x: np.zeros(len(x)), **bad)


@pytest.mark.parametrize("call", [twirlkit.beam_search, twirlkit.weighted_astar])
def test_keyboard_interrupt_in_the_scorer_propagates_and_the_start_is_usable(call):
    start = CubeBatch.random(4, 3, 20, seed=2)
    before = start.to_packed()

    def interrupted(x):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        call(start, interrupted, encoding="batch")
    np.testing.assert_array_equal(start.to_packed(), before)
    start.apply(np.zeros(4, np.int64))  # not left borrowed

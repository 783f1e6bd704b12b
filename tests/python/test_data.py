"""Data for learning: seeded random states and walks, state algebra, whole move
sequences, writes into a batch and the half-turn metric."""
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from hypothesis import given, settings, strategies as st

import twirlkit
from twirlkit import CubeBatch

SIZES = [2, 3]
METRICS = {"qtm": 12, "htm": 18}
CASES = [(size, metric) for size in SIZES for metric in METRICS]


def single(size):
    return twirlkit.Cube2x2() if size == 2 else twirlkit.Cube3x3()


def by_text(size, rows, metric):
    """The batch of the move rows spelt as move text (no-moves dropped)."""
    names = twirlkit.move_names(metric)
    cubes = []
    for row in rows:
        cube = single(size)
        cube.do_moves(" ".join(names[m] for m in row if m < len(names)))
        cubes.append(cube)
    return CubeBatch.from_cubes(cubes)


def sequences(rng, n, k, metric, pad=True):
    return rng.integers(0, METRICS[metric] + (1 if pad else 0), (n, k))


def inverse_move(metric, m):
    if metric == "qtm":
        return m ^ 1
    return m if m % 3 == 2 else m - m % 3 + (1 - m % 3)


# --- moves and metrics ---------------------------------------------------------

def test_move_names_spell_the_index_order_of_both_metrics():
    qtm, htm = twirlkit.move_names(), twirlkit.move_names(metric="htm")
    assert qtm == ["U", "U'", "D", "D'", "R", "R'", "L", "L'", "F", "F'", "B", "B'"]
    assert htm[:6] == ["U", "U'", "U2", "D", "D'", "D2"] and len(htm) == 18
    assert [htm[3 * (m // 2) + m % 2] for m in range(12)] == qtm
    assert "move_names" not in twirlkit.__all__
    with pytest.raises(ValueError, match="'qtm' or 'htm'"):
        twirlkit.move_names("stm")
    with pytest.raises(TypeError):
        twirlkit.move_names(12)


@pytest.mark.parametrize("size,metric", CASES)
def test_apply_matches_move_text_and_pads(size, metric):
    rng = np.random.default_rng(size)
    rows = sequences(rng, 64, 9, metric)
    batch = CubeBatch(64, size)
    assert batch.apply(rows, metric=metric) is None
    assert batch.equals(by_text(size, rows, metric)).all()
    # One move per cube, from any integer dtype; the no-move leaves a cube be.
    one = CubeBatch(64, size)
    one.apply(rows[:, 0].astype(np.uint8), metric=metric)
    assert one.equals(by_text(size, rows[:, :1], metric)).all()
    still = batch.copy()
    still.apply(np.full((64, 3), METRICS[metric], np.int16), metric=metric)
    assert still.equals(batch).all()


@pytest.mark.parametrize("metric", METRICS)
def test_apply_refuses_bad_values_and_shapes_and_applies_nothing(metric):
    batch = CubeBatch.random(4, 3, 5, seed=3)
    before = batch.to_packed()
    top = METRICS[metric]
    rows = np.zeros((4, 3), np.int64)
    rows[2, 1] = top + 1
    rows[3, 0] = -1
    with pytest.raises(ValueError, match=r"\[2, 1\]"):
        batch.apply(rows, metric=metric)
    with pytest.raises(ValueError, match=r"\[1\]"):
        batch.apply(np.array([0, -1, 0, 0]), metric=metric)
    with pytest.raises(ValueError, match=r"\[0\]"):
        batch.apply(np.array([2**64 - 1, 0, 0, 0], np.uint64), metric=metric)
    with pytest.raises(ValueError, match="rows"):
        batch.apply(np.zeros((3, 2), np.int64), metric=metric)
    with pytest.raises(TypeError):
        batch.apply(np.zeros(4), metric=metric)
    assert (batch.to_packed() == before).all()
    if metric == "qtm":
        with pytest.raises(ValueError, match=r"\[0\]"):
            batch.apply([12 + 1, 0, 0, 0])


# --- the state algebra ---------------------------------------------------------

@settings(max_examples=25, deadline=None)
@given(seed=st.integers(0, 2**32 - 1), size=st.sampled_from(SIZES), metric=st.sampled_from(list(METRICS)),
       k1=st.integers(0, 12), k2=st.integers(0, 12))
def test_compose_and_inverse_follow_move_sequences(seed, size, metric, k1, k2):
    rng = np.random.default_rng(seed)
    s, t = sequences(rng, 16, k1, metric), sequences(rng, 16, k2, metric)
    a, b = CubeBatch(16, size), CubeBatch(16, size)
    a.apply(s, metric=metric)
    b.apply(t, metric=metric)
    assert a.compose(b).equals(by_text(size, np.concatenate([s, t], 1), metric)).all()
    # state(s) inverse is state(s^-1): the reversed sequence of inverse moves.
    top = METRICS[metric]
    undo = [[inverse_move(metric, m) if m < top else top for m in reversed(row)] for row in s]
    assert a.inverse().equals(by_text(size, undo, metric)).all()
    assert a.compose(a.inverse()).is_solved().all() and a.inverse().compose(a).is_solved().all()
    # A single cube is used for every cube.
    assert a.compose(b.take([3])).equals(a.compose(b.take([3] * 16))).all()
    assert a.equals(a.take([5])).tolist() == a.equals(a.take([5] * 16)).tolist()


def test_algebra_refuses_other_cube_types_and_lengths():
    a, b = CubeBatch(3, 3), CubeBatch(3, 2)
    for call in (a.compose, a.equals):
        with pytest.raises(TypeError):
            call(b)
        with pytest.raises(TypeError):
            call(np.zeros(3))
        with pytest.raises(ValueError):
            call(CubeBatch(2, 3))
    flags = a.equals(CubeBatch(1, 3))
    assert flags.dtype == np.bool_ and flags.shape == (3,) and flags.all()


def test_copy_and_concatenate_make_new_batches():
    a = CubeBatch.random(5, 3, 10, seed=1)
    b = a.copy()
    b.apply(np.zeros(5, np.int64))
    assert not a.equals(b).any()
    joined = CubeBatch.concatenate([a, b, CubeBatch(0, 3), a])
    assert (joined.to_packed() == np.concatenate([a.to_packed(), b.to_packed(), a.to_packed()])).all()
    assert len(CubeBatch.concatenate((x for x in [b]))) == 5
    with pytest.raises(TypeError):
        CubeBatch.concatenate([a, CubeBatch(1, 2)])
    with pytest.raises(TypeError):
        CubeBatch.concatenate([a, 3])
    with pytest.raises(ValueError):
        CubeBatch.concatenate([])


@pytest.mark.parametrize("size", SIZES)
def test_assign_with_indices_and_masks(size):
    base = CubeBatch.random(6, size, 8, seed=4)
    source = CubeBatch.random(3, size, 8, seed=5)
    expected = base.to_packed().copy()
    expected[[0, 4, 5]] = source.to_packed()
    target = base.copy()
    assert target.assign([0, -2, 5], source) is None
    assert (target.to_packed() == expected).all()
    masked = base.copy()
    masked.assign(np.array([1, 0, 0, 0, 1, 1], bool), source)
    assert (masked.to_packed() == expected).all()
    solved = base.copy()
    solved.assign(np.arange(6) % 2 == 0, CubeBatch(1, size))
    assert solved.is_solved().tolist() == [True, False, True, False, True, False]
    # Repeated indexes: the last write wins; a batch may be its own source.
    twice = base.copy()
    twice.assign([2, 2], source.take([0, 1]))
    assert twice.take([2]).equals(source.take([1])).all()
    own = base.copy()
    own.assign([0, 1], own.take([5, 4]))
    assert own.take([0, 1]).equals(base.take([5, 4])).all()
    for bad, error in (([6], IndexError), ([-7], IndexError), ([0, 1], ValueError),
                       (np.ones(5, bool), ValueError), ([0.5], TypeError)):
        victim = base.copy()
        with pytest.raises(error):
            victim.assign(bad, source)
        assert victim.equals(base).all()
    with pytest.raises(TypeError):
        base.copy().assign([0], CubeBatch(1, 5 - size))


# --- half-turn successors ------------------------------------------------------

@pytest.mark.parametrize("size", SIZES)
def test_htm_successors_are_row_18i_plus_m(size):
    batch = CubeBatch.random(5, size, 12, seed=9)
    expanded = batch.expand(metric="htm")
    assert len(expanded) == 90
    moves = np.tile(np.arange(18), 5)
    stepped = batch.take(np.repeat(np.arange(5), 18))
    stepped.apply(moves, metric="htm")
    assert expanded.equals(stepped).all()
    assert (batch.stickers(successors=True, metric="htm", dtype=np.int8) == expanded.stickers(dtype=np.int8)).all()
    assert (batch.stickers(successors=True, metric="htm", one_hot=True) == expanded.stickers(one_hot=True)).all()
    assert batch.expand().equals(batch.expand(metric="qtm")).all() and len(batch.expand()) == 60
    assert (batch.stickers(successors=True) == batch.get_next_states()).all()


# --- seeded random states and walks --------------------------------------------

@pytest.mark.parametrize("size,metric", CASES)
def test_walks_follow_their_own_moves(size, metric):
    start = CubeBatch.random(7, size, 4, seed=11)
    before = start.to_packed()
    walks, moves = start.random_walks(5, seed=12, metric=metric)
    assert (start.to_packed() == before).all()
    assert moves.dtype == np.uint8 and moves.shape == (5, 7) and len(walks) == 35
    assert moves.max() < METRICS[metric]
    state = start.copy()
    for j in range(5):
        state.apply(moves[j], metric=metric)
        assert walks.take(np.arange(7 * j, 7 * j + 7)).equals(state).all()
    # From solved cubes the last block is CubeBatch.random of that length.
    ends, _ = CubeBatch(7, size).random_walks(5, seed=12, metric=metric)
    assert ends.take(np.arange(28, 35)).equals(CubeBatch.random(7, size, 5, seed=12, metric=metric)).all()
    empty, none = start.random_walks(0, seed=1)
    assert len(empty) == 0 and none.shape == (0, 7)


@pytest.mark.parametrize("metric", METRICS)
def test_non_backtracking_never_undoes_a_move(metric):
    _, moves = CubeBatch(500, 3).random_walks(30, seed=13, metric=metric, non_backtracking=True)
    undo = np.vectorize(lambda m: inverse_move(metric, int(m)))(moves[:-1])
    assert not (moves[1:] == undo).any()
    _, free = CubeBatch(500, 3).random_walks(30, seed=13, metric=metric)
    assert (free[1:] == np.vectorize(lambda m: inverse_move(metric, int(m)))(free[:-1])).any()


@pytest.mark.parametrize("metric,non_backtracking", [(m, nb) for m in METRICS for nb in (False, True)])
def test_move_frequencies_pass_chi_square(metric, non_backtracking):
    """Over many seeded walks each move (given the one before) is as frequent
    as a uniform draw makes it; a biased draw fails at this fixed seed."""
    count = METRICS[metric]
    _, moves = CubeBatch(4000, 2).random_walks(25, seed=14, metric=metric, non_backtracking=non_backtracking)
    observed = np.bincount(moves.ravel(), minlength=count)
    expected = moves.size / count
    chi2 = ((observed - expected) ** 2 / expected).sum()
    # 99.9% quantiles of chi-square with 11 and 17 degrees of freedom.
    assert chi2 < {12: 31.26, 18: 40.79}[count]
    # The move after a given one: uniform over the allowed moves.
    pairs = np.zeros((count, count))
    np.add.at(pairs, (moves[:-1].ravel(), moves[1:].ravel()), 1)
    allowed = count - 1 if non_backtracking else count
    for previous in range(count):
        row = pairs[previous]
        keep = np.ones(count, bool)
        if non_backtracking:
            assert row[inverse_move(metric, previous)] == 0
            keep[inverse_move(metric, previous)] = False
        e = row.sum() / allowed
        assert ((row[keep] - e) ** 2 / e).sum() < {11: 31.26, 12: 32.91, 17: 40.79, 18: 42.31}[allowed]


def test_random_lengths_and_seed_rules():
    lengths = np.array([0, 1, 5, 20, 3])
    batch = CubeBatch.random(5, 3, lengths, seed=21)
    assert batch.is_solved()[0] and not batch.is_solved()[1:].any()
    for k, length in enumerate(lengths):
        assert batch.take([k]).equals(CubeBatch.random(k + 1, 3, int(length), seed=21).take([k])).all()
    gen_seed = int(np.random.default_rng(5).integers(0, 2**64, dtype=np.uint64))
    assert CubeBatch.random(9, 2, seed=np.random.default_rng(5)).equals(CubeBatch.random(9, 2, seed=gen_seed)).all()
    assert not CubeBatch.random(9, 3, seed=None).equals(CubeBatch.random(9, 3)).all()
    assert CubeBatch.random(3, 3, seed=2**64 - 1).equals(CubeBatch.random(3, 3, seed=2**64 - 1)).all()
    for seed, error in ((-1, ValueError), (2**64, ValueError), (1.5, TypeError), ("1", TypeError)):
        with pytest.raises(error):
            CubeBatch.random(1, 3, seed=seed)
    for bad, error in (([1, 2], ValueError), (-1, ValueError), ([[1]], ValueError), (2.5, TypeError)):
        with pytest.raises(error):
            CubeBatch.random(3, 3, bad)
    with pytest.raises(TypeError):
        CubeBatch.random(3, 3, 20, 1)  # seed is keyword-only
    with pytest.raises(ValueError):
        CubeBatch(2, 3).random_walks(-1)


def _chacha8_words(seed, nonce, count):
    """The documented stream, written out independently: ChaCha8 keyed with
    the seed's two 32-bit halves and six zero words, nonce = cube index."""
    mask = 0xFFFFFFFF
    rotl = lambda v, n: ((v << n) | (v >> (32 - n))) & mask  # noqa: E731
    words = []
    for counter in range((count + 15) // 16):
        state = [0x61707865, 0x3320646E, 0x79622D32, 0x6B206574, seed & mask, seed >> 32, 0, 0, 0, 0, 0, 0,
                 counter & mask, counter >> 32, nonce & mask, nonce >> 32]
        x = list(state)
        for _ in range(4):
            for a, b, c, d in ((0, 4, 8, 12), (1, 5, 9, 13), (2, 6, 10, 14), (3, 7, 11, 15),
                               (0, 5, 10, 15), (1, 6, 11, 12), (2, 7, 8, 13), (3, 4, 9, 14)):
                x[a] = (x[a] + x[b]) & mask; x[d] = rotl(x[d] ^ x[a], 16)  # noqa: E702
                x[c] = (x[c] + x[d]) & mask; x[b] = rotl(x[b] ^ x[c], 12)  # noqa: E702
                x[a] = (x[a] + x[b]) & mask; x[d] = rotl(x[d] ^ x[a], 8)  # noqa: E702
                x[c] = (x[c] + x[d]) & mask; x[b] = rotl(x[b] ^ x[c], 7)  # noqa: E702
        words += [(x[i] + state[i]) & mask for i in range(16)]
    return iter(words)


def _documented_walk(seed, index, length, metric, non_backtracking):
    count = METRICS[metric]
    words = _chacha8_words(seed, index, 4 * length + 16)
    moves, last = [], None
    for _ in range(length):
        r = count - 1 if non_backtracking and last is not None else count
        while True:
            product = next(words) * r
            if product & 0xFFFFFFFF >= (2**32) % r:
                break
        v = product >> 32
        if r < count:
            v += v >= inverse_move(metric, last)
        moves.append(v)
        last = v
    return moves


@pytest.mark.parametrize("metric,non_backtracking", [("qtm", False), ("htm", True)])
def test_seeded_stream_is_the_documented_one(metric, non_backtracking):
    seed = 0x0123456789ABCDEF
    _, moves = CubeBatch(20, 3).random_walks(40, seed=seed, metric=metric, non_backtracking=non_backtracking)
    for index in (0, 7, 8, 19):
        assert moves[:, index].tolist() == _documented_walk(seed, index, 40, metric, non_backtracking)


def test_seeded_stream_golden_values():
    assert CubeBatch.random(3, 3, 20, seed=1).to_packed().tolist() == [
        [761642730516, 650218992013946501], [536338450485, 596909736963956867],
        [364238917910, 748765316837535504]]
    assert CubeBatch.random(3, 2, [0, 5, 20], seed=2**64 - 1, metric="htm",
                            non_backtracking=True).to_packed().tolist() == [
        [247132686368], [603835323916], [192401672684]]
    assert CubeBatch(2, 3).random_walks(6, seed=7)[1].T.tolist() == [[2, 9, 10, 5, 5, 0], [1, 11, 8, 3, 1, 11]]
    assert CubeBatch(2, 2).random_walks(6, seed=0, metric="htm", non_backtracking=True)[1].T.tolist() == [
        [3, 15, 15, 10, 13, 3], [12, 14, 8, 14, 13, 4]]


SEEDED_DIGEST = """
    import hashlib, numpy as np, twirlkit
    from twirlkit import CubeBatch
    h = hashlib.sha256()
    for size in (2, 3):
        for metric in ("qtm", "htm"):
            h.update(CubeBatch.random(3000, size, np.arange(3000) % 23, seed=99, metric=metric,
                                      non_backtracking=True).to_packed().tobytes())
            walks, moves = CubeBatch.random(2500, size, 3, seed=5).random_walks(9, seed=98, metric=metric)
            h.update(walks.to_packed().tobytes() + moves.tobytes())
    print(h.hexdigest())
"""


def test_seeded_results_do_not_depend_on_workers_or_process():
    import os
    digests = set()
    for threads in ("1", "2", "3", "3"):
        env = dict(os.environ, RAYON_NUM_THREADS=threads)
        result = subprocess.run([sys.executable, "-c", textwrap.dedent(SEEDED_DIGEST)], env=env,
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        digests.add(result.stdout.strip())
    assert len(digests) == 1

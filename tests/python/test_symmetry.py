"""The 48 symmetries: the move law in both metrics, the group, class
representatives, the physical picture in stickers, and solved up to a
rotation."""
import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch

QTM = twirlkit.symmetry_moves()
HTM = twirlkit.symmetry_moves("htm")
NO_MOVE = 12


def apply_qtm(batch, moves):
    """moves: (steps, n) quarter-turn indexes, one call a step."""
    for step in moves:
        batch.apply_move_indexes(np.ascontiguousarray(step, dtype=np.uintp))


def apply_htm(batch, moves):
    """A face turn 3f + k as one or two quarter turns of face f."""
    face, kind = moves // 3, moves % 3
    first = 2 * face + (kind == 1)
    second = np.where(kind == 2, 2 * face, NO_MOVE)
    apply_qtm(batch, np.stack([first, second], axis=1).reshape(-1, moves.shape[1]))


def walks(cube, n, length=12, seed=0):
    rng = np.random.default_rng(seed)
    batch = CubeBatch(n, cube)
    apply_qtm(batch, rng.integers(0, 12, (length, n)))
    return batch


def all_transforms(batch):
    return np.stack([batch.transform(k).to_packed() for k in range(48)])


@pytest.mark.parametrize("cube", [2, 3])
@pytest.mark.parametrize("metric", ["qtm", "htm"])
def test_transform_of_a_sequence_is_the_mapped_sequence(cube, metric):
    table, count, apply = (QTM, 12, apply_qtm) if metric == "qtm" else (HTM, 18, apply_htm)
    assert table.shape == (48, count) and table.dtype == np.int64
    assert all(sorted(row) == list(range(count)) for row in table)
    rng = np.random.default_rng(5)
    n = 48 * 8
    symmetry = np.arange(n) % 48                       # every k, eight sequences each
    moves = rng.integers(0, count, (9, n))
    start, mapped = CubeBatch(n, cube), CubeBatch(n, cube)
    apply(start, moves)
    apply(mapped, table[symmetry, moves])
    assert (start.transform(symmetry).to_packed() == mapped.to_packed()).all()
    assert start.transform(symmetry).is_solved().sum() == start.is_solved().sum()
    # The metrics agree: a quarter turn's image is that of its face turn.
    quarter = np.arange(12)
    assert (HTM[:, 3 * (quarter // 2) + quarter % 2] ==
            3 * (QTM[:, quarter] // 2) + QTM[:, quarter] % 2).all()


@pytest.mark.parametrize("cube", [2, 3])
def test_the_48_form_a_group(cube):
    batch = walks(cube, 64, length=30, seed=cube)
    seen = all_transforms(batch)
    assert (seen[0] == batch.to_packed()).all()
    # Distinct motions give distinct cubes here, so each product is found.
    assert len({row.tobytes() for row in seen}) == 48
    for a in range(48):
        once = batch.transform(a)
        inverses = 0
        for b in range(48):
            twice = once.transform(b).to_packed()
            product = [c for c in range(48) if (seen[c] == twice).all()]
            assert len(product) == 1, (a, b)
            # ...and the move maps compose the same way.
            assert (QTM[product[0]] == QTM[b][QTM[a]]).all()
            inverses += product[0] == 0
        assert inverses == 1


@pytest.mark.parametrize("cube", [2, 3])
@pytest.mark.parametrize("symmetries,count", [("all", 48), ("rotations", 24)])
def test_canonical_is_the_least_of_the_class(cube, symmetries, count):
    batch = walks(cube, 200, length=25, seed=7)
    batch = CubeBatch.from_packed(np.vstack([CubeBatch(1, cube).to_packed(),
                                             batch.to_packed()]), cube)
    representative, symmetry = batch.canonical(symmetries=symmetries)
    assert symmetry.dtype == np.int8 and symmetry.shape == (len(batch),)
    assert ((0 <= symmetry) & (symmetry < count)).all()
    words = representative.to_packed()
    assert (batch.transform(symmetry).to_packed() == words).all()
    seen = all_transforms(batch)[:count]
    # Least by rows compared word by word, unsigned, first word first.
    for i in range(len(batch)):
        rows = sorted(tuple(int(w) for w in seen[k, i]) for k in range(count))
        assert tuple(int(w) for w in words[i]) == rows[0]
    for k in range(count):
        again, _ = batch.transform(k).canonical(symmetries=symmetries)
        assert (again.to_packed() == words).all()


def stickers_with(cube, changes):
    """The solved cube's stickers with the given (positions, colour) set."""
    row = CubeBatch(1, cube).to_sticker_array()[0].copy()
    for positions, colour in changes:
        row[list(positions)] = colour
    return row


# Colours U 0, R 1, F 2, D 3, L 4, B 5; positions as in the README's net.
AFTER_F = stickers_with(3, [((6, 7, 8), 4), ((9, 12, 15), 0), ((27, 28, 29), 1),
                            ((38, 41, 44), 3)])
AFTER_B = stickers_with(3, [((0, 1, 2), 1), ((36, 39, 42), 0), ((33, 34, 35), 4),
                            ((11, 14, 17), 3)])
AFTER_R = stickers_with(3, [((2, 5, 8), 2), ((45, 48, 51), 0), ((29, 32, 35), 5),
                            ((20, 23, 26), 3)])


@pytest.mark.parametrize("move,symmetry,expected", [
    ("R", 1, AFTER_F),    # y: the turned R layer is seen at the front
    ("U", 4, AFTER_B),    # x: the U layer goes to the back
    ("U", 16, AFTER_R),   # z: the U layer goes to the right
])
def test_a_whole_cube_rotation_moves_the_stickers_as_the_cube(move, symmetry, expected):
    cube = twirlkit.Cube3x3()
    cube.do_moves(move)
    batch = CubeBatch.from_cubes([cube])
    assert (batch.transform(symmetry).to_sticker_array()[0] == expected).all()
    # A 2x2 is the corners of the same picture.
    moved = twirlkit.Cube2x2()
    moved.do_moves(move)
    corners = [0, 2, 6, 8]
    faces = np.array(expected).reshape(6, 9)[:, corners].reshape(-1)
    assert (CubeBatch.from_cubes([moved]).transform(symmetry).to_sticker_array()[0] == faces).all()


def whole_cube_turns_of_solved():
    """The 24 orientations of a solved 2x2: closure under x (R L'), y (U D')
    and z (F B')."""
    found = {CubeBatch(1, 2).to_packed().tobytes(): CubeBatch(1, 2)}
    frontier = list(found.values())
    while frontier:
        nxt = []
        for batch in frontier:
            for pair in ((4, 7), (0, 3), (8, 11)):
                turned = CubeBatch.from_packed(batch.to_packed(), 2)
                apply_qtm(turned, np.array(pair)[:, None])
                key = turned.to_packed().tobytes()
                if key not in found:
                    found[key] = turned
                    nxt.append(turned)
        frontier = nxt
    return CubeBatch.from_packed(np.vstack([b.to_packed() for b in found.values()]), 2)


def test_solved_up_to_rotation():
    turned = whole_cube_turns_of_solved()
    assert len(turned) == 24
    assert turned.is_solved(up_to_rotation=True).all()
    assert turned.is_solved().sum() == 1
    for cube in (2, 3):
        batch = walks(cube, 500, length=20, seed=3)
        plain = batch.is_solved()
        assert (batch.is_solved(up_to_rotation=False) == plain).all()
        if cube == 3:
            assert (batch.is_solved(up_to_rotation=True) == plain).all()
        else:
            # One quarter turn from a turned solved cube is not solved however held.
            assert not walks(2, 12, length=1).is_solved(up_to_rotation=True).any()


def test_arguments():
    batch = walks(3, 4)
    before = batch.to_packed()
    symmetry = np.array([1, 2, 3, 47])
    out = batch.transform(symmetry)
    assert (symmetry == [1, 2, 3, 47]).all() and (batch.to_packed() == before).all()
    assert (batch.transform(np.int8(5)).to_packed() == batch.transform(5).to_packed()).all()
    assert (out.to_packed()[3] == batch.transform(47).to_packed()[3]).all()
    assert len(CubeBatch(0, 2).transform(np.zeros(0, int))) == 0
    for bad, error, text in [
        (48, ValueError, "0..47"), (-1, ValueError, "0..47"),
        (np.array([0, 1, 2]), ValueError, "3 values for a batch of 4"),
        (np.array([0, 1, 48, 2]), ValueError, "position 2"),
        (np.array([0, 1, 2, 2**64 - 1], dtype=np.uint64), ValueError, "0..47"),
        (1.5, TypeError, "integer"),
    ]:
        with pytest.raises(error, match=text):
            batch.transform(bad)
    with pytest.raises(TypeError):
        batch.canonical("all")
    with pytest.raises(ValueError, match="'all' or 'rotations'"):
        batch.canonical(symmetries="mirrors")
    with pytest.raises(TypeError):
        batch.is_solved(True)
    with pytest.raises(ValueError, match="'qtm' or 'htm'"):
        twirlkit.symmetry_moves("stm")
    assert "symmetry_moves" not in twirlkit.__all__
    assert CubeBatch.is_solved.__text_signature__ == "($self, *, up_to_rotation=False)"
    assert CubeBatch.canonical.__text_signature__ == "($self, *, symmetries='all')"

"""The random stream of the episodes.

Each episode of an environment draws its scramble from a stream keyed by two
numbers only: the environment's seed s (0 <= s < 2**64) and the episode's
number e (0 for the first reset after seeding, then 1, 2, ... for each
reset, whatever it starts from). A vector environment whose sub-environment
i has the seed s + i therefore makes the same episodes as single
environments seeded s + i, and it can draw the scrambles of all of its
finished sub-environments at once, as NumPy arrays, and apply them in one
native call.

The stream, in 64-bit unsigned arithmetic (wrapping):

    mix(z)    z ^= z >> 30; z *= 0xBF58476D1CE4E5B9; z ^= z >> 27;
              z *= 0x94D049BB133111EB; z ^= z >> 31        (SplitMix64's output)
    G         0x9E3779B97F4A7C15
    key       mix(mix(s) + (e + 1) * G)
    word j    mix(key + (j + 1) * G) >> 32, a 32-bit word, j = 0, 1, 2, ...
    draw(w, r)  (w * r) >> 32, a value below r

Word 0 gives the depth, low + draw(word 0, high - low + 1), for the depth
range (low, high) in force at that reset. Word t + 1 gives move t of the
scramble, t = 0 .. depth - 1: move 0 is draw(word 1, r) among all r moves of
the metric (12 or 18), and each later move is v = draw(word t + 1, r - 1)
among the r - 1 moves other than the inverse of the move before it, in move
index order (v, plus 1 where v >= that inverse). So no move undoes the one
before, and a depth of 1 or 2 never starts solved.

The multiply-shift draw is off uniform by less than r / 2**32 for any value.
The stream is part of the package's interface: the same seed gives the same
episodes in every run and later versions.
"""

from __future__ import annotations

import numpy as np

_GAMMA = np.uint64(0x9E3779B97F4A7C15)
_MIX1 = np.uint64(0xBF58476D1CE4E5B9)
_MIX2 = np.uint64(0x94D049BB133111EB)
_S30, _S27, _S31, _S32 = (np.uint64(k) for k in (30, 27, 31, 32))

# The inverse of each move index: 2f + p <-> 2f + (1 - p) in the quarter-turn
# metric; 3f + k with k = 0 <-> 1 and the half turn its own inverse.
INVERSE = {
    "qtm": np.arange(12, dtype=np.uint8) ^ np.uint8(1),
    "htm": (3 * (np.arange(18) // 3) + np.array([1, 0, 2] * 6)).astype(np.uint8),
}


def _mix(z):
    """SplitMix64's output function, in place on a uint64 array."""
    z ^= z >> _S30
    z *= _MIX1
    z ^= z >> _S27
    z *= _MIX2
    z ^= z >> _S31
    return z


def _words(keys, first, count):
    """Words first .. first + count - 1 of each key's stream, shape (k, count)."""
    steps = np.arange(first + 1, first + count + 1, dtype=np.uint64) * _GAMMA
    return _mix(keys[:, None] + steps[None, :]) >> _S32


def _draw(words, r):
    return (words * np.uint64(r)) >> _S32


def episode_scrambles(seeds, episodes, low, high, metric):
    """The depths (int64, k) and padded moves (uint8, (k, max depth)) of k episodes.

    `seeds` and `episodes` are uint64 arrays of k; the padding is the move
    count of the metric, the "no move" of CubeBatch.apply.
    """
    inverse = INVERSE[metric]
    r = len(inverse)
    keys = _mix(_mix(seeds.copy()) + (episodes + np.uint64(1)) * _GAMMA)
    depths = low + _draw(_words(keys, 0, 1)[:, 0], high - low + 1).astype(np.int64)
    longest = int(depths.max(initial=0))
    moves = np.full((len(keys), longest), r, dtype=np.uint8)
    if longest == 0:
        return depths, moves
    words = _words(keys, 1, longest)
    draws = np.empty(words.shape, dtype=np.uint8)
    draws[:, 0] = _draw(words[:, 0], r)
    draws[:, 1:] = _draw(words[:, 1:], r - 1)
    previous = draws[:, 0]
    for t in range(1, longest):
        column = draws[:, t]
        column += column >= inverse[previous]
        previous = column
    live = np.arange(longest) < depths[:, None]
    moves[live] = draws[live]
    return depths, moves

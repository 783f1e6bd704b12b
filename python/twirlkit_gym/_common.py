"""What CubeEnv and CubeVectorEnv share: the checked settings, the spaces,
the observations, the scrambles and the pictures."""

from __future__ import annotations

import operator

import numpy as np
from gymnasium import spaces

import twirlkit
from twirlkit import CubeBatch

from ._stream import episode_scrambles

OBSERVATIONS = ("stickers", "one_hot")
METRICS = {"qtm": 12, "htm": 18}
RENDER_MODES = ["ansi", "rgb_array"]
STICKERS = {3: 54, 2: 24}
CUBE_CLASSES = {3: twirlkit.Cube3x3, 2: twirlkit.Cube2x2}
SEED_LIMIT = 2**64

# The colour of each code (white, red, green, yellow, orange, blue), and the
# place of each face of the sticker order (U, R, F, D, L, B) in the net that
# str(cube) draws: U above F, then L F R B, then D below F.
PALETTE = np.array([[255, 255, 255], [200, 20, 30], [0, 155, 72], [255, 213, 0],
                    [255, 110, 0], [0, 70, 173], [40, 40, 40]], dtype=np.uint8)
NET_PLACES = ((0, 1), (1, 2), (1, 1), (2, 1), (1, 0), (1, 3))
CELL = 16
GAP = 2


def _integer(value, name):
    try:
        return operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, got {type(value).__name__}") from None


class Settings:
    """The checked constructor arguments of both environments."""

    def __init__(self, cube_type, scramble_depth, max_episode_steps, observation, metric,
                 render_mode):
        cube_type = _integer(cube_type, "cube_type")
        if cube_type not in STICKERS:
            raise ValueError(f"cube_type must be 2 or 3, got {cube_type}")
        if observation not in OBSERVATIONS:
            raise ValueError(f"observation must be 'stickers' or 'one_hot', got {observation!r}")
        if metric not in METRICS:
            raise ValueError(f"metric must be 'qtm' or 'htm', got {metric!r}")
        if render_mode is not None and render_mode not in RENDER_MODES:
            raise ValueError(f"render_mode must be None, 'ansi' or 'rgb_array', got {render_mode!r}")
        max_episode_steps = _integer(max_episode_steps, "max_episode_steps")
        if max_episode_steps < 1:
            raise ValueError(f"max_episode_steps must be at least 1, got {max_episode_steps}")
        self.cube_type, self.observation, self.metric = cube_type, observation, metric
        self.render_mode, self.max_episode_steps = render_mode, max_episode_steps
        self.moves = METRICS[metric]
        self.depth_range = depth_range(scramble_depth)

    def observation_space(self):
        d = STICKERS[self.cube_type]
        if self.observation == "stickers":
            return spaces.MultiDiscrete(np.full(d, 6), dtype=np.int8)
        return spaces.Box(0.0, 1.0, (6 * d,), dtype=np.float32)

    def action_space(self):
        return spaces.Discrete(self.moves)

    def observe(self, batch):
        """The observations of a batch, one row a cube."""
        if self.observation == "stickers":
            return batch.stickers(dtype=np.int8)
        return batch.stickers(one_hot=True)

    def scrambles(self, seeds, episodes):
        """The batch and depths of the episodes (seeds[i], episodes[i])."""
        low, high = self.depth_range
        depths, moves = episode_scrambles(seeds, episodes, low, high, self.metric)
        batch = CubeBatch(len(seeds), self.cube_type)
        if moves.shape[1]:
            batch.apply(moves, metric=self.metric)
        return batch, depths

    def given_state(self, state, name='options["state"]'):
        """A copy of a given cube or batch as a new batch; checks its size."""
        cube_class = CUBE_CLASSES[self.cube_type]
        if isinstance(state, cube_class):
            return CubeBatch.from_cubes([state])
        if isinstance(state, CubeBatch):
            if len(state) and not isinstance(state[0], cube_class):
                raise TypeError(f"{name} holds cubes of another size: "
                                f"this environment has {self.cube_type}x{self.cube_type} cubes")
            return state.copy()
        raise TypeError(f"{name} must be a {cube_class.__name__} or a CubeBatch of them, "
                        f"got {type(state).__name__}")

    def render(self, cube):
        if self.render_mode == "ansi":
            return str(cube)
        return picture(np.asarray(cube.to_sticker_array()), self.cube_type)


def depth_range(scramble_depth):
    """(low, high) of an int or an inclusive (low, high) pair of ints >= 0."""
    if isinstance(scramble_depth, (tuple, list)):
        if len(scramble_depth) != 2:
            raise ValueError("scramble_depth must be an int or a (low, high) pair")
        low, high = (_integer(v, "scramble_depth") for v in scramble_depth)
    else:
        low = high = _integer(scramble_depth, "scramble_depth")
    if not 0 <= low <= high <= 10**6:
        raise ValueError(f"scramble_depth must satisfy 0 <= low <= high <= 1000000, "
                         f"got ({low}, {high})")
    return low, high


def seed_value(seed):
    seed = _integer(seed, "seed")
    if not 0 <= seed < SEED_LIMIT:
        raise ValueError(f"seed must satisfy 0 <= seed < 2**64, got {seed}")
    return seed


def check_options(options, allowed):
    options = {} if options is None else options
    unknown = sorted(set(options) - set(allowed))
    if unknown:
        raise ValueError(f"unknown reset option {unknown[0]!r}; the options are "
                         + ", ".join(repr(k) for k in allowed))
    return options


def check_actions(actions, moves):
    """The actions as intp; ValueError for one outside 0 .. moves - 1."""
    values = np.asarray(actions)
    if values.dtype.kind not in "iu":
        raise TypeError(f"actions must be integers, got dtype {values.dtype}")
    bad = (values < 0) | (values >= moves)
    if bad.any():
        where = np.flatnonzero(bad.reshape(-1))[0]
        raise ValueError(f"action {values.reshape(-1)[where]} is not a move: "
                         f"the actions are 0 to {moves - 1}")
    return values.astype(np.intp)


def picture(codes, cube_type):
    """The unfolded net of one cube's colour codes as an RGB uint8 image."""
    n = cube_type
    grid = np.full((3 * n, 4 * n), len(PALETTE) - 1, dtype=np.intp)
    for face, (row, column) in enumerate(NET_PLACES):
        grid[row * n:(row + 1) * n, column * n:(column + 1) * n] = \
            codes[face * n * n:(face + 1) * n * n].reshape(n, n)
    image = PALETTE[np.repeat(np.repeat(grid, CELL, axis=0), CELL, axis=1)]
    # A dark border around each sticker.
    edge = (np.arange(CELL * grid.shape[0]) % CELL < GAP)[:, None] | \
           (np.arange(CELL * grid.shape[1]) % CELL < GAP)[None, :]
    image[edge] = PALETTE[-1]
    return image

"""CubeEnv: one cube as a gymnasium environment."""

from __future__ import annotations

import gymnasium as gym
import numpy as np

from ._common import RENDER_MODES, Settings, check_actions, check_options, depth_range, seed_value


class CubeEnv(gym.Env):
    """Solve one scrambled cube, a move at a time.

    CubeEnv(cube_type=3, *, scramble_depth=(1, 20), max_episode_steps=50,
            observation="stickers", metric="qtm", render_mode=None)

    Each reset scrambles a solved cube by a depth drawn uniformly from
    `scramble_depth` (an int, or an inclusive (low, high) range that may be
    changed between episodes), with moves of the environment's metric of
    which none undoes the one before. An action is a move index of that
    metric (12 quarter turns, or 18 face turns for "htm"); each move costs a
    reward of -1, the episode terminates when the cube is solved and is
    truncated after `max_episode_steps` moves. `info` holds "scramble_depth"
    (-1 after a reset to a given state) and, on the 2x2, "distance", the
    quarter-turn distance to solved.

    `reset(seed=s)` starts the episodes of seed s: episode e (0 at that
    reset, then counting every reset) depends on s and e alone; see
    twirlkit_gym._stream. `reset(options={"state": cube_or_batch})` starts
    from a copy of a given Cube2x2/Cube3x3 or a CubeBatch of one cube.
    """

    metadata = {"render_modes": RENDER_MODES, "render_fps": 4}

    def __init__(self, cube_type=3, *, scramble_depth=(1, 20), max_episode_steps=50,
                 observation="stickers", metric="qtm", render_mode=None):
        self._settings = Settings(cube_type, scramble_depth, max_episode_steps, observation,
                                  metric, render_mode)
        self.cube_type, self.observation, self.metric = self._settings.cube_type, observation, metric
        self.max_episode_steps, self.render_mode = max_episode_steps, render_mode
        self.observation_space = self._settings.observation_space()
        self.action_space = self._settings.action_space()
        self._stream_seed = None
        self._episode = -1
        self._batch = None
        self._depth = -1
        self._elapsed = 0

    @property
    def scramble_depth(self):
        """The (low, high) range of the next resets' depths; set an int or a pair."""
        return self._settings.depth_range

    @scramble_depth.setter
    def scramble_depth(self, value):
        self._settings.depth_range = depth_range(value)

    @property
    def episode(self):
        """The number of the current episode in its seed's stream (-1 before a reset)."""
        return self._episode

    @property
    def cubes(self):
        """A copy of the current cube as a CubeBatch of one (None before a reset)."""
        return None if self._batch is None else self._batch.copy()

    def reset(self, *, seed=None, options=None):
        options = check_options(options, ("state",))
        if seed is not None:
            seed = seed_value(seed)
        # Checked before anything changes, so that a refused reset leaves all as it was.
        given = None
        if "state" in options:
            given = self._settings.given_state(options["state"])
            if len(given) != 1:
                raise ValueError(f'options["state"] must hold one cube, got a batch of {len(given)}')
        super().reset(seed=seed)
        if seed is not None:
            self._stream_seed, self._episode = seed, 0
        elif self._stream_seed is None:
            self._stream_seed = int(self.np_random.integers(0, 2**64, dtype=np.uint64))
            self._episode = 0
        else:
            self._episode += 1
        if given is not None:
            self._batch, self._depth = given, -1
        else:
            self._batch, depths = self._settings.scrambles(
                np.array([self._stream_seed], dtype=np.uint64),
                np.array([self._episode], dtype=np.uint64))
            self._depth = int(depths[0])
        self._elapsed = 0
        return self._settings.observe(self._batch)[0], self._info()

    def step(self, action):
        if self._batch is None:
            raise RuntimeError("CubeEnv.step() before reset()")
        move = check_actions(action, self._settings.moves)
        if move.size != 1:
            raise ValueError(f"CubeEnv.step() takes one action, got an array of shape {move.shape}")
        move = move.reshape(1)
        self._batch.apply(move, metric=self.metric)
        self._elapsed += 1
        terminated = bool(self._batch.is_solved()[0])
        truncated = self._elapsed >= self.max_episode_steps
        return self._settings.observe(self._batch)[0], -1.0, terminated, truncated, self._info()

    def render(self):
        if self.render_mode is None or self._batch is None:
            return None
        return self._settings.render(self._batch[0])

    def _info(self):
        info = {"scramble_depth": self._depth}
        if self.cube_type == 2:
            info["distance"] = int(self._batch.distances()[0])
        return info

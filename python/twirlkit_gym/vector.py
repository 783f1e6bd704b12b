"""CubeVectorEnv: many cubes in one CubeBatch, stepped in one call."""

from __future__ import annotations

import numpy as np
from gymnasium.vector import AutoresetMode, VectorEnv
from gymnasium.vector.utils import batch_space

from twirlkit import CubeBatch

from ._common import (RENDER_MODES, SEED_LIMIT, Settings, check_actions, check_options,
                      depth_range, seed_value)


class CubeVectorEnv(VectorEnv):
    """`num_envs` CubeEnvs whose cubes live in one CubeBatch.

    CubeVectorEnv(num_envs, cube_type=3, *, scramble_depth=(1, 20),
                  max_episode_steps=50, observation="stickers", metric="qtm",
                  render_mode=None, autoreset_mode=AutoresetMode.NEXT_STEP)

    Sub-environment i behaves as a CubeEnv with the same settings: with
    `reset(seed=s)` it is seeded s + i (or seed[i] for a list of seeds), as
    in gymnasium's SyncVectorEnv, and it makes the same episodes, step for
    step, in each autoreset mode. A step applies every action in one call;
    an autoreset draws the scrambles of all finished sub-environments at
    once and writes them over their cubes in place.

    Reset options: "reset_mask", a bool array of num_envs, resets only the
    sub-environments where it is true; "state" starts from given states: a
    cube or a batch of one (for all), or a batch of num_envs (cube i for
    sub-environment i), or of as many cubes as the mask selects.
    """

    metadata = {"render_modes": RENDER_MODES, "render_fps": 4,
                "autoreset_mode": AutoresetMode.NEXT_STEP}

    def __init__(self, num_envs, cube_type=3, *, scramble_depth=(1, 20), max_episode_steps=50,
                 observation="stickers", metric="qtm", render_mode=None,
                 autoreset_mode=AutoresetMode.NEXT_STEP):
        num_envs = int(num_envs)
        if num_envs < 1:
            raise ValueError(f"num_envs must be at least 1, got {num_envs}")
        self._settings = Settings(cube_type, scramble_depth, max_episode_steps, observation,
                                  metric, render_mode)
        self.autoreset_mode = AutoresetMode(autoreset_mode)
        self.metadata = {**type(self).metadata, "autoreset_mode": self.autoreset_mode}
        self.num_envs, self.cube_type = num_envs, self._settings.cube_type
        self.observation, self.metric = observation, metric
        self.max_episode_steps, self.render_mode = max_episode_steps, render_mode
        self.single_observation_space = self._settings.observation_space()
        self.single_action_space = self._settings.action_space()
        self.observation_space = batch_space(self.single_observation_space, num_envs)
        self.action_space = batch_space(self.single_action_space, num_envs)

        self._batch = None
        self._seeds = np.zeros(num_envs, dtype=np.uint64)
        self._seeded = np.zeros(num_envs, dtype=bool)
        self._episodes = np.zeros(num_envs, dtype=np.uint64)
        self._depths = np.full(num_envs, -1, dtype=np.int64)
        self._elapsed = np.zeros(num_envs, dtype=np.int64)
        self._finished = np.zeros(num_envs, dtype=bool)

    @property
    def scramble_depth(self):
        """The (low, high) range of the next resets' depths, for every sub-environment."""
        return self._settings.depth_range

    @scramble_depth.setter
    def scramble_depth(self, value):
        self._settings.depth_range = depth_range(value)

    @property
    def episodes(self):
        """Each sub-environment's episode number in its seed's stream (a copy)."""
        return self._episodes.astype(np.int64)

    @property
    def cubes(self):
        """A copy of the current cubes (None before a reset)."""
        return None if self._batch is None else self._batch.copy()

    # --- reset ----------------------------------------------------------------

    def reset(self, *, seed=None, options=None):
        options = check_options(options, ("reset_mask", "state"))
        mask = self._reset_mask(options.get("reset_mask"))
        if self._batch is None and not mask.all():
            raise RuntimeError("the first reset must reset every sub-environment")
        seeds, given = self._reset_seeds(seed)
        chosen = np.flatnonzero(mask)
        # Checked before anything changes, so that a refused reset leaves all as it was.
        states = None
        if "state" in options:
            states = self._given_states(options["state"], mask, len(chosen))
        if isinstance(seed, int):
            super().reset(seed=seed)

        # New seeds restart their streams; the others go on to their next episode.
        given &= mask
        self._seeds[given] = seeds[given]
        fresh = mask & ~given & ~self._seeded
        if fresh.any():
            self._seeds[fresh] = self.np_random.integers(0, SEED_LIMIT, size=int(fresh.sum()),
                                                         dtype=np.uint64)
        restart = given | fresh
        self._seeded |= restart
        self._episodes[restart] = 0
        self._episodes[mask & ~restart] += np.uint64(1)

        if states is None:
            states, depths = self._settings.scrambles(self._seeds[chosen], self._episodes[chosen])
            self._depths[chosen] = depths
        else:
            self._depths[chosen] = -1
        self._place(chosen, states)
        self._elapsed[chosen] = 0
        self._finished[chosen] = False
        return self._settings.observe(self._batch), self._infos(mask)

    def _reset_mask(self, mask):
        if mask is None:
            return np.ones(self.num_envs, dtype=bool)
        if not isinstance(mask, np.ndarray):
            raise TypeError(f'options["reset_mask"] must be a numpy array, got {type(mask).__name__}')
        if mask.shape != (self.num_envs,):
            raise ValueError(f'options["reset_mask"] must have shape ({self.num_envs},), '
                             f"got {mask.shape}")
        if mask.dtype != np.bool_:
            raise TypeError(f'options["reset_mask"] must have dtype bool, got {mask.dtype}')
        if not mask.any():
            raise ValueError('options["reset_mask"] must select at least one sub-environment')
        return mask.copy()

    def _reset_seeds(self, seed):
        """Each sub-environment's new seed (uint64) and whether it has one."""
        n = self.num_envs
        if seed is None:
            return np.zeros(n, dtype=np.uint64), np.zeros(n, dtype=bool)
        if isinstance(seed, (int, np.integer)):
            seed = seed_value(seed)
            if seed + n > SEED_LIMIT:
                raise ValueError(f"seed + num_envs - 1 must be below 2**64, got seed {seed}")
            return np.uint64(seed) + np.arange(n, dtype=np.uint64), np.ones(n, dtype=bool)
        seeds = list(seed)
        if len(seeds) != n:
            raise ValueError(f"a list of seeds must have num_envs={n} entries, got {len(seeds)}")
        given = np.array([s is not None for s in seeds], dtype=bool)
        values = np.array([0 if s is None else seed_value(s) for s in seeds], dtype=np.uint64)
        return values, given

    def _given_states(self, state, mask, count):
        states = self._settings.given_state(state)
        if len(states) == count or len(states) == 1:
            return states
        if len(states) == self.num_envs:
            return states.take(np.flatnonzero(mask))
        raise ValueError(f'options["state"] must hold 1 cube, num_envs={self.num_envs} cubes or '
                         f"one cube per reset sub-environment ({count}), got {len(states)}")

    def _place(self, indices, cubes):
        if self._batch is None:
            self._batch = cubes if len(cubes) == self.num_envs else \
                CubeBatch(self.num_envs, self.cube_type)
            if len(cubes) == self.num_envs:
                return
        self._batch.assign(indices, cubes)

    # --- step -----------------------------------------------------------------

    def step(self, actions):
        if self._batch is None:
            raise RuntimeError("CubeVectorEnv.step() before reset()")
        n, moves = self.num_envs, self._settings.moves
        actions = check_actions(actions, moves)
        if actions.shape != (n,):
            raise ValueError(f"actions must have shape ({n},), got {actions.shape}")
        mode = self.autoreset_mode
        restarting = self._finished if mode == AutoresetMode.NEXT_STEP else np.zeros(n, bool)
        if mode == AutoresetMode.DISABLED and self._finished.any():
            first = int(np.flatnonzero(self._finished)[0])
            raise RuntimeError(f"sub-environment {first} has finished: with autoreset "
                               'disabled, reset it first (options={"reset_mask": ...})')

        stepping = ~restarting
        padded = actions.astype(np.uint8)
        padded[restarting] = moves
        self._batch.apply(padded, metric=self.metric)
        self._elapsed[stepping] += 1
        terminated = self._batch.is_solved() & stepping
        truncated = (self._elapsed >= self.max_episode_steps) & stepping
        rewards = np.where(stepping, -1.0, 0.0)
        finished = terminated | truncated
        infos = {}
        if restarting.any():
            self._refill(restarting)
        elif mode == AutoresetMode.SAME_STEP and finished.any():
            done = np.flatnonzero(finished)
            final = self._batch.take(done)
            final_rows = self._settings.observe(final)
            final_obs = np.full(n, None, dtype=object)
            for row, i in enumerate(done):
                final_obs[i] = final_rows[row]
            infos["final_obs"], infos["_final_obs"] = final_obs, finished.copy()
            infos["final_info"] = self._infos(finished, final)
            infos["_final_info"] = finished.copy()
            self._refill(finished)
            finished = np.zeros(n, dtype=bool)
        self._finished = finished
        infos.update(self._infos(np.ones(n, dtype=bool)))
        return self._settings.observe(self._batch), rewards, terminated, truncated, infos

    def _refill(self, which):
        chosen = np.flatnonzero(which)
        self._episodes[chosen] += np.uint64(1)
        cubes, depths = self._settings.scrambles(self._seeds[chosen], self._episodes[chosen])
        self._batch.assign(chosen, cubes)
        self._depths[chosen] = depths
        self._elapsed[chosen] = 0

    def _infos(self, mask, cubes=None):
        """The infos of the sub-environments in `mask`, as SyncVectorEnv gathers them.

        `cubes` holds those sub-environments' cubes in order (default: the batch's)."""
        n = self.num_envs
        where = np.flatnonzero(mask)
        depth = np.zeros(n, dtype=np.int64)
        depth[where] = self._depths[where]
        infos = {"scramble_depth": depth, "_scramble_depth": mask.copy()}
        if self.cube_type == 2:
            distance = np.zeros(n, dtype=np.int64)
            source = self._batch.distances()[where] if cubes is None else cubes.distances()
            distance[where] = source
            infos["distance"], infos["_distance"] = distance, mask.copy()
        return infos

    # --- the rest -------------------------------------------------------------

    def render(self):
        if self.render_mode is None or self._batch is None:
            return None
        return tuple(self._settings.render(cube) for cube in self._batch)

    def close_extras(self, **kwargs):
        self._batch = None

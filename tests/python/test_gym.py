"""The gymnasium environments: the API checker, agreement of the vector
environment with SyncVectorEnv over single ones, registration and the rules
of an episode."""
import subprocess
import sys
import warnings

import numpy as np
import pytest

gym = pytest.importorskip("gymnasium", reason="gymnasium not installed (pip install '.[gym]')")

from gymnasium.utils.env_checker import check_env  # noqa: E402
from gymnasium.vector import AutoresetMode, SyncVectorEnv  # noqa: E402

import twirlkit  # noqa: E402
import twirlkit_gym  # noqa: E402
from twirlkit import CubeBatch  # noqa: E402
from twirlkit_gym import CubeEnv, CubeVectorEnv  # noqa: E402
from twirlkit_gym._stream import episode_scrambles  # noqa: E402

IDS = {3: "twirlkit/Cube3x3-v0", 2: "twirlkit/Cube2x2-v0"}
BOTH = pytest.mark.parametrize("observation", ["stickers", "one_hot"])
METRICS = pytest.mark.parametrize("metric", ["qtm", "htm"])
CUBES = pytest.mark.parametrize("cube_type", [3, 2])


@CUBES
@BOTH
@METRICS
def test_check_env_passes_without_warnings(cube_type, observation, metric):
    env = gym.make(IDS[cube_type], observation=observation, metric=metric)
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        check_env(env.unwrapped)


def assert_same(a, b, where):
    """Equal values, dtypes and keys, through dicts and object arrays."""
    if isinstance(a, tuple):
        assert isinstance(b, tuple) and len(a) == len(b), where
        for k, (x, y) in enumerate(zip(a, b)):
            assert_same(x, y, f"{where}[{k}]")
    elif isinstance(a, dict):
        assert isinstance(b, dict) and a.keys() == b.keys(), (where, a.keys(), b.keys())
        for key in a:
            assert_same(a[key], b[key], f"{where}[{key!r}]")
    elif isinstance(a, np.ndarray) and a.dtype == object:
        assert b.dtype == object and a.shape == b.shape, where
        for i, (x, y) in enumerate(zip(a, b)):
            assert (x is None) == (y is None), f"{where}[{i}]"
            if x is not None:
                assert_same(x, y, f"{where}[{i}]")
    else:
        a, b = np.asarray(a), np.asarray(b)
        assert a.dtype == b.dtype and a.shape == b.shape, (where, a.dtype, b.dtype)
        np.testing.assert_array_equal(a, b, err_msg=where)


@pytest.mark.parametrize("mode", list(AutoresetMode))
@CUBES
@BOTH
@METRICS
def test_vector_env_agrees_with_sync_vector_env(mode, cube_type, observation, metric):
    n = 5
    settings = dict(scramble_depth=(1, 2), max_episode_steps=3, observation=observation,
                    metric=metric)
    ours = CubeVectorEnv(n, cube_type, autoreset_mode=mode, **settings)
    theirs = SyncVectorEnv([lambda: CubeEnv(cube_type, **settings)] * n, autoreset_mode=mode)
    assert ours.metadata["autoreset_mode"] == theirs.metadata["autoreset_mode"] == mode
    assert ours.observation_space == theirs.observation_space
    assert ours.action_space == theirs.action_space
    rng = np.random.default_rng([cube_type, len(observation), len(metric),
                                 list(AutoresetMode).index(mode)])
    moves = ours.single_action_space.n
    finished = np.zeros(n, dtype=bool)
    state = twirlkit.Cube2x2() if cube_type == 2 else twirlkit.Cube3x3()
    state.do_moves("R")
    resets = {0: dict(seed=7), 15: dict(seed=[3, None, 11, None, 2**64 - 1]),
              30: dict(options={"state": state}), 40: dict()}
    seen = np.zeros(4, dtype=int)  # terminations, truncations, both, final observations
    for step in range(60):
        reset = resets.get(step)
        if reset is None and mode == AutoresetMode.DISABLED and finished.any():
            reset = dict(options={"reset_mask": finished.copy()})
            if step % 2:
                reset["seed"] = step
        if reset is not None:
            got = ours.reset(**{k: (dict(v) if k == "options" else v) for k, v in reset.items()})
            want = theirs.reset(**{k: (dict(v) if k == "options" else v) for k, v in reset.items()})
            assert_same(got, want, f"reset at step {step}")
            finished[:] = False
            if "reset_mask" not in reset.get("options", {}):
                continue
        # Random moves, but a solving one half the time where there is one.
        actions = rng.integers(0, moves, size=n)
        solving = ours.cubes.expand(metric=metric).is_solved().reshape(n, moves)
        take = solving.any(axis=1) & (rng.random(n) < 0.5)
        actions[take] = solving[take].argmax(axis=1)
        got, want = ours.step(actions), theirs.step(actions)
        assert_same(got, want, f"step {step}")
        _, _, terminated, truncated, infos = got
        finished = terminated | truncated
        seen += [terminated.sum(), truncated.sum(), (terminated & truncated).sum(),
                 infos.get("_final_obs", np.zeros(n, int)).sum()]
    # The walk met every case it is meant to compare.
    assert seen[0] and seen[1]
    assert (seen[3] > 0) == (mode == AutoresetMode.SAME_STEP)


def test_registration_and_the_vector_entry_point():
    for cube_type, env_id in IDS.items():
        assert gym.spec(env_id).entry_point == "twirlkit_gym.env:CubeEnv"
        env = gym.make(env_id, metric="htm")
        assert isinstance(env.unwrapped, CubeEnv) and env.unwrapped.cube_type == cube_type
        assert env.action_space.n == 18
        vec = gym.make_vec(env_id, num_envs=3, vectorization_mode="vector_entry_point",
                           observation="one_hot")
        assert isinstance(vec, CubeVectorEnv) and vec.num_envs == 3
        assert vec.reset(seed=0)[0].shape == (3, 6 * (54 if cube_type == 3 else 24))
    # The module-prefixed id imports the package on demand.
    code = ("import gymnasium as g, sys; e = g.make('twirlkit_gym:twirlkit/Cube2x2-v0'); "
            "print(e.reset(seed=0)[0].shape, 'twirlkit_gym' in sys.modules)")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0, done.stderr
    assert done.stdout.split() == ["(24,)", "True"]


@METRICS
def test_episode_rules_on_the_2x2(metric):
    env = CubeEnv(2, scramble_depth=(1, 2), max_episode_steps=2, metric=metric)
    depths = set()
    for episode in range(60):
        obs, info = env.reset(seed=5) if episode == 0 else env.reset()
        depth = info["scramble_depth"]
        depths.add(depth)
        # Non-backtracking scrambles: depth 1 and 2 are never solved.
        assert info["distance"] >= 1 and env.episode == episode
        if metric == "qtm":
            assert info["distance"] == depth
        cube = env.cubes
        solution = [twirlkit.move_names("qtm").index(t) for t in cube.solve()[0].split()]
        if metric == "htm":
            solution = [3 * (m // 2) + m % 2 for m in solution]
        for k, move in enumerate(solution[:2]):
            obs, reward, terminated, truncated, info = env.step(move)
            assert reward == -1.0 and info["distance"] == len(solution) - k - 1
            assert terminated == (k == len(solution) - 1)
            assert truncated == (k == 1)   # both true on a solve at the last step
    assert depths == {1, 2}

    # A given state, and the depth range changed between episodes.
    state = CubeBatch(1, 2)
    state.apply([[4, 0]])
    obs, info = env.reset(options={"state": state})
    assert info == {"scramble_depth": -1, "distance": 2}
    np.testing.assert_array_equal(obs, state.stickers(dtype=np.int8)[0])
    env.scramble_depth = 0
    assert env.reset()[1] == {"scramble_depth": 0, "distance": 0}


def test_bad_arguments_raise():
    env = CubeEnv(3)
    with pytest.raises(RuntimeError):
        env.step(0)
    env.reset(seed=1)
    for action, error in ((12, ValueError), (-1, ValueError), (1.5, TypeError)):
        with pytest.raises(error):
            env.step(action)
    with pytest.raises(ValueError, match="unknown reset option"):
        env.reset(options={"stat": None})
    with pytest.raises(TypeError, match="Cube3x3"):
        env.reset(options={"state": twirlkit.Cube2x2()})
    with pytest.raises(ValueError, match="seed"):
        env.reset(seed=2**64)
    for kwargs in (dict(cube_type=4), dict(metric="stm"), dict(observation="rgb"),
                   dict(scramble_depth=(3, 2)), dict(max_episode_steps=0)):
        with pytest.raises(ValueError):
            CubeEnv(**kwargs)
    vec = CubeVectorEnv(3, 2, autoreset_mode=AutoresetMode.DISABLED, max_episode_steps=1)
    vec.reset(seed=0)
    with pytest.raises(ValueError):
        vec.step([0, 1])
    vec.step([0, 1, 2])
    with pytest.raises(RuntimeError, match="reset it first"):
        vec.step([0, 1, 2])
    for mask, error in (([True, False, True], TypeError), (np.zeros(3, bool), ValueError)):
        with pytest.raises(error):
            vec.reset(options={"reset_mask": mask})


def test_vector_reset_with_states_and_mask():
    vec = CubeVectorEnv(4, 3, scramble_depth=5)
    vec.reset(seed=3)
    before = vec.cubes.to_packed()
    given = CubeBatch(4, 3)
    given.apply([4, 5, 8, 9])
    mask = np.array([False, True, False, True])
    obs, infos = vec.reset(options={"reset_mask": mask, "state": given})
    after = vec.cubes.to_packed()
    np.testing.assert_array_equal(after[mask], given.to_packed()[mask])
    np.testing.assert_array_equal(after[~mask], before[~mask])
    np.testing.assert_array_equal(infos["_scramble_depth"], mask)
    np.testing.assert_array_equal(infos["scramble_depth"], [0, -1, 0, -1])
    np.testing.assert_array_equal(obs, vec.cubes.stickers(dtype=np.int8))
    # A refused reset changes nothing: not the cubes, the seeds nor the episode numbers.
    episodes = vec.episodes
    with pytest.raises(ValueError, match="num_envs=4"):
        vec.reset(seed=9, options={"state": CubeBatch(3, 3)})
    np.testing.assert_array_equal(vec.episodes, episodes)
    np.testing.assert_array_equal(vec.cubes.to_packed(), after)
    assert vec.reset()[1]["scramble_depth"].tolist() == [5] * 4
    np.testing.assert_array_equal(vec.episodes, episodes + 1)


def test_the_episode_stream_is_pinned():
    seeds = np.array([0, 1, 2**64 - 1], dtype=np.uint64)
    depths, moves = episode_scrambles(seeds, np.array([0, 0, 5], dtype=np.uint64), 1, 20, "qtm")
    assert depths.tolist() == GOLDEN_DEPTHS
    assert moves[:, :6].tolist() == GOLDEN_MOVES
    # A depth range draws its depths uniformly and the moves never undo themselves.
    many = np.arange(20000, dtype=np.uint64)
    for metric, inverse in twirlkit_gym._stream.INVERSE.items():
        depths, moves = episode_scrambles(many, many, 3, 6, metric)
        assert np.abs(np.bincount(depths)[3:] / 5000 - 1).max() < 0.06
        assert (moves[:, 1:3] != inverse[moves[:, 0:2]]).all()
        counts = np.bincount(moves[:, :3].reshape(-1), minlength=len(inverse))
        assert np.abs(counts / counts.mean() - 1).max() < 0.06


def test_render_modes():
    for cube_type, side in ((3, 3), (2, 2)):
        env = CubeEnv(cube_type, render_mode="rgb_array")
        env.reset(seed=2)
        image = env.render()
        assert image.dtype == np.uint8 and image.shape == (3 * side * 16, 4 * side * 16, 3)
        codes = env.cubes.stickers()[0]
        palette = twirlkit_gym._common.PALETTE
        # The centre of the first sticker of F (row side, column side of the net).
        centre = image[side * 16 + 8, side * 16 + 8]
        np.testing.assert_array_equal(centre, palette[codes[2 * side * side]])
        ansi = CubeEnv(cube_type, render_mode="ansi")
        ansi.reset(seed=2)
        assert ansi.render() == str(ansi.cubes[0])


# The stream's first values, written down once: a change here changes every
# seeded episode that users have recorded.
GOLDEN_DEPTHS = [14, 7, 1]
GOLDEN_MOVES = [[8, 4, 8, 8, 1, 9], [11, 3, 6, 0, 7, 9], [7, 12, 12, 12, 12, 12]]

"""The PyTorch, Dask and reinforcement-learning examples, in tiny forms, and
zero-copy exchange with torch."""
import gc
import importlib.util
import re
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import twirlkit
from twirlkit import CubeBatch

EXAMPLES = Path(__file__).resolve().parents[2] / "examples"

try:
    import torch
except ImportError:
    torch = None
try:
    import dask.distributed as distributed
except ImportError:
    distributed = None

try:
    import gymnasium
    import stable_baselines3
except ImportError:
    gymnasium = stable_baselines3 = None

needs_rl = pytest.mark.skipif(stable_baselines3 is None,
                              reason="stable-baselines3 not installed (pip install '.[examples]')")
needs_torch = pytest.mark.skipif(torch is None,
                                 reason="PyTorch not installed (pip install torch==2.13.0)")
needs_dask = pytest.mark.skipif(distributed is None,
                                reason="Dask not installed (pip install dask distributed)")


def load_example(name):
    path = EXAMPLES / f"{name}.py"
    if not path.exists():
        pytest.skip(f"examples/{name}.py not present")
    found = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


def scrambled_2x2(n, turns, seed=3):
    batch = CubeBatch(n, 2)
    rng = np.random.default_rng(seed)
    for _ in range(turns):
        batch.apply_move_indexes(rng.integers(0, 12, n).astype(np.uintp))
    return batch


# --- torch -------------------------------------------------------------------

@needs_torch
def test_every_output_is_shared_with_torch_and_outlives_the_batch():
    small, big = scrambled_2x2(5, 9), CubeBatch(3, 3)
    big.scramble(np.full(3, 7, dtype=np.int64))
    outputs = [
        small.distances(), small.is_solved(), small.to_packed(), big.to_packed(),
        small.to_sticker_array(), big.get_next_states(), twirlkit.get_next_states(list(big)),
        small.stickers(dtype=np.uint8), big.stickers(successors=True, dtype=np.int16),
        small.stickers(one_hot=True), big.stickers(one_hot=True, dtype=np.bool_),
        small.expand().stickers(one_hot=True, dtype=np.float16),
    ]
    tensors, copies = [], []
    for array in outputs:
        tensor = torch.from_numpy(array)
        assert tensor.data_ptr() == array.ctypes.data, array.dtype
        tensors.append(tensor)
        copies.append(array.copy())
    del small, big, outputs, array
    gc.collect()
    # Fresh allocations of the same sizes would land on freed memory.
    again = [CubeBatch(5, 2).stickers(one_hot=True), CubeBatch(3, 3).get_next_states()]
    for tensor, copy in zip(tensors, copies):
        np.testing.assert_array_equal(tensor.numpy(), copy)
    del again


@needs_torch
def test_stickers_fill_a_tensor_in_place():
    batch = scrambled_2x2(16, 11)
    for successors in (False, True):
        rows = len(batch) * (12 if successors else 1)
        tensor = torch.full((rows, 24 * 6), 7.0)
        returned = batch.stickers(successors=successors, one_hot=True, out=tensor.numpy())
        assert returned.ctypes.data == tensor.data_ptr()
        expected = torch.from_numpy(batch.stickers(successors=successors, one_hot=True))
        assert torch.equal(tensor, expected)
    codes = torch.zeros((16, 24), dtype=torch.int64)
    batch.stickers(out=codes.numpy())
    assert torch.equal(codes, torch.from_numpy(batch.to_sticker_array()))


@needs_torch
def test_training_step_learns_and_the_loop_reports():
    example = load_example("train_value_net")
    config = example.Config(steps=4, batch=32, hidden=16, eval_every=2, held_out=64,
                            solve_lengths=(1, 2, 3), solve_per_length=3, max_moves=5, seed=1)
    lines = []
    model, history = example.train(config, report=lines.append)
    assert history.steps == [0, 2, 4] and len(lines) == 3
    assert all(np.isfinite(history.mae)) and all(np.isfinite(history.loss[1:]))
    assert np.isfinite(history.loss[0]) and "loss     nan" not in lines[0]
    assert all(0 <= r <= 1 for r in history.solve_rate)

    # One step on a fixed batch moves the weights and lowers that batch's loss.
    batch = scrambled_2x2(64, 8)
    features = example.encode(batch, out=torch.empty((64, example.FEATURES)))
    labels = torch.from_numpy(batch.distances()).float()
    before = [p.detach().clone() for p in model.parameters()]
    optimiser = torch.optim.SGD(model.parameters(), lr=1e-3)
    first = example.train_step(model, optimiser, features, labels)
    assert any(not torch.equal(a, b) for a, b in zip(before, model.parameters()))
    assert example.train_step(model, optimiser, features, labels) < first


@needs_torch
def test_greedy_walk_with_exact_values_solves_optimally():
    example = load_example("train_value_net")

    class Oracle(torch.nn.Module):
        """Values each one-hot row by the exact distance of its state."""

        def forward(self, features):
            codes = features.numpy().reshape(-1, 24, 6).argmax(axis=2)
            exact = CubeBatch.from_stickers(codes, 2).distances()
            return torch.from_numpy(exact).float().unsqueeze(1)

    batch = scrambled_2x2(200, 9)
    optimal = np.array([len(s.split()) for s in batch.solve()])
    solved, taken = example.greedy_solve(Oracle(), batch, max_moves=14)
    assert solved.all() and batch.is_solved().all()
    np.testing.assert_array_equal(taken, optimal)


@needs_torch
def test_search_example_trains_saves_loads_and_reports_both_searches(tmp_path):
    command = [sys.executable, str(EXAMPLES / "search_with_value_net.py"), "--model", "net.pt",
               "--steps", "20", "--hidden", "16", "--per-length", "2", "--beam-width", "4",
               "--batch-size", "10", "--max-nodes", "100"]
    for first in (True, False):
        done = subprocess.run(command, cwd=tmp_path, capture_output=True, text=True, timeout=240)
        assert done.returncode == 0, done.stderr
        assert ("saved to net.pt" in done.stdout) == first, done.stdout
        rates = re.findall(r"^(greedy walk|beam 4|A\* 0.6/10) +solve rate +(\d+\.\d) %", done.stdout, re.M)
        assert [name for name, _ in rates] == ["greedy walk", "beam 4", "A* 0.6/10"], done.stdout
        assert re.search(r"^beam 4 .* network +\d+\.\d\d s +search +\d+\.\d\d s$", done.stdout, re.M)


@needs_rl
def test_agent_example_trains_and_reports_its_solve_rate(tmp_path):
    done = subprocess.run([sys.executable, str(EXAMPLES / "train_agent.py"), "--timesteps", "256",
                           "--envs", "4", "--n-steps", "32", "--batch", "64",
                           "--eval-episodes", "5"],
                          cwd=tmp_path, capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stderr
    assert re.search(r"^solve rate \d+\.\d % on 5 held-out scrambles", done.stdout, re.M), done.stdout


# --- dask --------------------------------------------------------------------

def load_shards(directory):
    shards = []
    for path in sorted(Path(directory).glob("shard-*.npz")):
        with np.load(path) as data:
            shards.append({key: data[key] for key in data.files})
    return shards


@needs_dask
def test_distributed_shards_depend_only_on_seed_and_index(tmp_path):
    args = ["--shards", 3, "--shard-size", 150, "--seed", 11, "--max-depth", 9]
    done = subprocess.run([sys.executable, str(EXAMPLES / "dataset_distributed.py"),
                           tmp_path / "two", *map(str, args), "--workers", "2", "--no-progress"],
                          capture_output=True, text=True, timeout=240)
    assert done.returncode == 0, done.stderr
    assert "with 2 workers" in done.stdout

    example = load_example("dataset_distributed")
    with distributed.LocalCluster(n_workers=1, processes=False, dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        example.write_shards(client, tmp_path / "one", shards=3, shard_size=150, seed=11,
                             max_depth=9)
    two, one = load_shards(tmp_path / "two"), load_shards(tmp_path / "one")
    assert len(two) == len(one) == 3
    for a, b in zip(two, one):
        assert a.keys() == b.keys()
        for key in a:
            np.testing.assert_array_equal(a[key], b[key], err_msg=key)
    assert not np.array_equal(two[0]["moves"], two[1]["moves"])

    for shard in two:
        batch = CubeBatch.from_packed(shard["packed"], 2)
        np.testing.assert_array_equal(batch.stickers(dtype=np.uint8), shard["states"])
        np.testing.assert_array_equal(batch.distances(), shard["distances"])
        steps = np.abs(shard["next_distances"].astype(int) - shard["distances"][:, None])
        assert (steps == 1).all()
        replay = CubeBatch(150, 2)
        for step in shard["moves"].T:
            replay.apply_move_indexes(step.astype(np.uintp))
        np.testing.assert_array_equal(replay.to_packed(), shard["packed"])
        assert (shard["distances"] <= shard["depths"]).all()

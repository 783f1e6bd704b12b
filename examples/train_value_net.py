"""Train a small value network on 2x2 states with exact distance labels.

    python examples/train_value_net.py [--steps N] [--batch B] [--plot PATH] [--save PATH]

Each step scrambles a fresh batch of 2x2 cubes, labels every cube with its
exact distance to solved (`CubeBatch.distances()`), encodes the states as
one-hot stickers straight into a reused tensor (`stickers(one_hot=True,
out=...)`) and takes one Adam step on the squared error, the learning rate falling
along a cosine to zero. Every so often it
reports, on held-out states, the mean absolute error of the predicted
distance, and the greedy solve rate: from scrambles of 1 to 14 turns, move to
the successor the network values lowest, for at most 20 moves, and compare
the solutions found with the optimal ones of `CubeBatch.solve()`.

It runs on the CPU. A progress bar goes to standard error, the evaluations
to standard output, and the learning curve to a PNG (matplotlib).
Needs the "examples" extra: pip install ".[examples]" from a clone.
"""

import argparse
import sys
import time
from dataclasses import dataclass, field

import numpy as np
import torch
from torch import nn

import twirlkit

STICKERS = 24
COLOURS = 6
FEATURES = STICKERS * COLOURS  # one-hot layout: feature 6 * s + c
NO_MOVE = 12


@dataclass
class Config:
    steps: int = 4000
    batch: int = 512
    hidden: int = 256
    lr: float = 2e-3
    max_scramble: int = 20       # training scrambles: 1 to this many turns
    eval_every: int = 200
    held_out: int = 8192
    solve_lengths: tuple = tuple(range(1, 15))
    solve_per_length: int = 40
    max_moves: int = 20
    seed: int = 0
    # One torch thread: the module's worker pool shares the CPUs, and on two
    # CPUs two torch threads made each small step several times slower.
    threads: int = 1             # torch threads; 0 keeps torch's default


@dataclass
class History:
    steps: list = field(default_factory=list)
    loss: list = field(default_factory=list)
    mae: list = field(default_factory=list)
    solve_rate: list = field(default_factory=list)
    length_ratio: list = field(default_factory=list)


def scrambled(rng, count, min_turns, max_turns):
    """A 2x2 batch scrambled with seeded move indexes, min..max turns per cube."""
    lengths = rng.integers(min_turns, max_turns + 1, size=count)
    moves = rng.integers(0, 12, size=(count, max_turns), dtype=np.uint8)
    moves[np.arange(max_turns) >= lengths[:, None]] = NO_MOVE
    batch = twirlkit.CubeBatch(count, 2)
    for step in moves.T:
        batch.apply_move_indexes(step.astype(np.uintp))
    return batch


def make_model(hidden):
    return nn.Sequential(
        nn.Linear(FEATURES, hidden), nn.ReLU(),
        nn.Linear(hidden, hidden), nn.ReLU(),
        nn.Linear(hidden, 1),
    )


def encode(batch, out=None, successors=False):
    """One-hot float32 stickers as a tensor; written in place into `out` if given."""
    if out is None:
        return torch.from_numpy(batch.stickers(successors=successors, one_hot=True))
    batch.stickers(successors=successors, one_hot=True, out=out.numpy())
    return out


def train_step(model, optimiser, features, labels):
    """One Adam step on the squared error; returns the loss."""
    optimiser.zero_grad(set_to_none=True)
    loss = nn.functional.mse_loss(model(features).squeeze(1), labels)
    loss.backward()
    optimiser.step()
    return loss.item()


@torch.no_grad()
def mean_absolute_error(model, features, labels):
    return (model(features).squeeze(1) - labels).abs().mean().item()


@torch.no_grad()
def greedy_solve(model, batch, max_moves):
    """Walks each cube to its lowest-valued successor; returns (solved, moves taken)."""
    n = len(batch)
    solved = batch.is_solved().copy()
    taken = np.zeros(n, dtype=np.int64)
    for _ in range(max_moves):
        if solved.all():
            break
        children = batch.expand()
        values = model(encode(children)).squeeze(1).numpy().reshape(n, 12)
        # A solved successor is always the right step, whatever the net says.
        values[children.is_solved().reshape(n, 12)] = -np.inf
        moves = values.argmin(axis=1).astype(np.uintp)
        moves[solved] = NO_MOVE
        taken += ~solved
        batch.apply_move_indexes(moves)
        solved |= batch.is_solved()
    return solved, taken


def evaluate(model, held, solve_set, optimal, config):
    """(held-out MAE, greedy solve rate, mean of greedy length / optimal length where solved)."""
    features, labels = held
    mae = mean_absolute_error(model, features, labels)
    # The greedy walk turns its batch: walk a copy of the states.
    walk = twirlkit.CubeBatch.from_packed(solve_set.to_packed(), 2)
    solved, taken = greedy_solve(model, walk, config.max_moves)
    # Scrambles that came back to solved have nothing to compare.
    judged = solved & (optimal > 0)
    ratio = float(np.mean(taken[judged] / optimal[judged])) if judged.any() else float("nan")
    return mae, float(solved.mean()), ratio


class Bar:
    """A one-line progress bar on standard error."""

    def __init__(self, total, enabled, width=30):
        self.total, self.enabled, self.width = total, enabled, width
        self.start = time.perf_counter()

    def show(self, done, note=""):
        if not self.enabled:
            return
        filled = int(self.width * done / self.total) if self.total else self.width
        sys.stderr.write(f"\rtraining [{'#' * filled}{'.' * (self.width - filled)}] "
                         f"{done}/{self.total} {time.perf_counter() - self.start:6.1f} s {note}")
        sys.stderr.flush()

    def close(self):
        if self.enabled:
            sys.stderr.write("\n")


def train(config, progress=False, report=print):
    """Trains a fresh network; returns (model, history)."""
    if config.threads:
        torch.set_num_threads(config.threads)
    torch.manual_seed(config.seed)
    rng = np.random.default_rng(config.seed)
    model = make_model(config.hidden)
    optimiser = torch.optim.Adam(model.parameters(), lr=config.lr)
    schedule = torch.optim.lr_scheduler.CosineAnnealingLR(optimiser, config.steps)

    held_batch = scrambled(rng, config.held_out, 1, config.max_scramble)
    held = (encode(held_batch), torch.from_numpy(held_batch.distances()).float())
    lengths = np.repeat(config.solve_lengths, config.solve_per_length)
    solve_set = twirlkit.CubeBatch.from_packed(np.concatenate(
        [scrambled(rng, config.solve_per_length, k, k).to_packed() for k in config.solve_lengths]), 2)
    optimal = np.array([len(s.split()) for s in solve_set.solve()])
    assert (optimal <= lengths).all()

    features = torch.empty((config.batch, FEATURES), dtype=torch.float32)  # reused every step
    history = History()
    bar = Bar(config.steps, progress)

    def checkpoint(step, loss):
        mae, rate, ratio = evaluate(model, held, solve_set, optimal, config)
        for name, value in (("steps", step), ("loss", loss), ("mae", mae),
                            ("solve_rate", rate), ("length_ratio", ratio)):
            getattr(history, name).append(value)
        bar.close()
        report(f"step {step:6d}  loss {loss:7.3f}  held-out MAE {mae:6.3f}  "
               f"greedy solve rate {100 * rate:5.1f} %  length / optimal {ratio:5.2f}")

    def draw():
        batch = scrambled(rng, config.batch, 1, config.max_scramble)
        return encode(batch, out=features), torch.from_numpy(batch.distances()).float()

    # Step 0 reports the untrained network's loss on the batch of step 1.
    inputs, labels = draw()
    with torch.no_grad():
        untrained = nn.functional.mse_loss(model(inputs).squeeze(1), labels).item()
    checkpoint(0, untrained)
    for step in range(1, config.steps + 1):
        if step > 1:
            inputs, labels = draw()
        loss = train_step(model, optimiser, inputs, labels)
        schedule.step()
        if step % config.eval_every == 0 or step == config.steps:
            checkpoint(step, loss)
        bar.show(step, f"loss {loss:.3f}")
    bar.close()
    return model, history


def save(model, config, path):
    """The weights and the hidden width, which load() needs to rebuild the network."""
    torch.save({"hidden": config.hidden, "state": model.state_dict()}, path)


def load(path):
    saved = torch.load(path, weights_only=True)
    model = make_model(saved["hidden"])
    model.load_state_dict(saved["state"])
    return model.eval()


def plot(history, path):
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, left = plt.subplots(figsize=(6.4, 3.6), dpi=90)
    left.plot(history.steps, history.mae, "o-", color="tab:blue", label="held-out MAE (turns)")
    left.set_xlabel("training step")
    left.set_ylabel("mean absolute error (quarter turns)", color="tab:blue")
    left.set_ylim(bottom=0)
    right = left.twinx()
    right.plot(history.steps, [100 * r for r in history.solve_rate], "s-", color="tab:red",
               label="greedy solve rate")
    right.set_ylabel("greedy solve rate, 1-14 turn scrambles (%)", color="tab:red")
    right.set_ylim(0, 100)
    left.set_title("2x2 value network, exact labels")
    fig.tight_layout()
    fig.savefig(path)
    plt.close(fig)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    defaults = Config()
    parser.add_argument("--steps", type=int, default=defaults.steps)
    parser.add_argument("--batch", type=int, default=defaults.batch)
    parser.add_argument("--hidden", type=int, default=defaults.hidden)
    parser.add_argument("--lr", type=float, default=defaults.lr)
    parser.add_argument("--eval-every", type=int, default=defaults.eval_every)
    parser.add_argument("--held-out", type=int, default=defaults.held_out)
    parser.add_argument("--solve-per-length", type=int, default=defaults.solve_per_length)
    parser.add_argument("--seed", type=int, default=defaults.seed)
    parser.add_argument("--threads", type=int, default=defaults.threads,
                        help="torch threads (default 1; 0: torch's choice)")
    parser.add_argument("--plot", default="value_net.png", help="PNG of the learning curve ('' for none)")
    parser.add_argument("--save", default="", help="file to save the trained network to, for "
                        "examples/search_with_value_net.py ('' for none)")
    bar = parser.add_mutually_exclusive_group()
    bar.add_argument("--progress", action="store_true", default=None)
    bar.add_argument("--no-progress", dest="progress", action="store_false")
    args = parser.parse_args(argv)
    if min(args.steps, args.batch, args.hidden, args.eval_every, args.held_out,
           args.solve_per_length) < 1:
        parser.error("sizes and counts must be at least 1")
    config = Config(steps=args.steps, batch=args.batch, hidden=args.hidden, lr=args.lr,
                    eval_every=args.eval_every, held_out=args.held_out,
                    solve_per_length=args.solve_per_length, seed=args.seed, threads=args.threads)
    start = time.perf_counter()
    model, history = train(config, sys.stderr.isatty() if args.progress is None else args.progress)
    print(f"trained {config.steps} steps of {config.batch} states in "
          f"{time.perf_counter() - start:.1f} s")
    if args.save:
        save(model, config, args.save)
        print(f"network: {args.save}")
    if args.plot:
        plot(history, args.plot)
        print(f"learning curve: {args.plot}")


if __name__ == "__main__":
    main()

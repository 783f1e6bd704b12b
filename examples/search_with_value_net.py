"""Solve 2x2 scrambles with a trained value network as the scorer of
beam_search and weighted_astar.

    python examples/search_with_value_net.py [--model value_net.pt] [--beam-width W]
                                             [--weight L] [--batch-size B] [--max-nodes N]

The network is the one examples/train_value_net.py trains: it is loaded from
--model (written by `train_value_net.py --save value_net.pt`), or trained here
first, with that example's settings, and saved there when the file does not
exist. The scrambles are those of its evaluation, from the same seed: 40 of
each length from 1 to 14 turns. For each way of solving (the greedy walk of that example,
beam search, batch-weighted A*) it prints the solve rate, the mean length
of the solutions against the optimal ones (`CubeBatch.distances()`), and how
the time splits between the network and the search.
"""

import argparse
import sys
import time
from pathlib import Path

import numpy as np
import torch

import twirlkit

sys.path.insert(0, str(Path(__file__).resolve().parent))
import train_value_net as value_net  # noqa: E402


def network_scorer(model):
    """The scorer of both searches: one-hot float32 rows in, predicted distances out."""
    @torch.no_grad()
    def score(rows):
        return model(torch.from_numpy(rows)).squeeze(1).numpy()
    return score


def report(name, solved, lengths, optimal, seconds, result=None):
    """One line; a search's time split into the network's and the search's own."""
    judged = solved & (optimal > 0)
    ratio = float(np.mean(lengths[judged] / optimal[judged])) if judged.any() else float("nan")
    split = (f"network {result.scorer_seconds:6.2f} s  search {result.search_seconds:6.2f} s"
             if result is not None else "")
    print(f"{name:12s} solve rate {100 * solved.mean():5.1f} %  length / optimal {ratio:5.3f}  "
          f"{seconds:6.2f} s  {split}".rstrip())


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    defaults = value_net.Config()
    parser.add_argument("--model", default="value_net.pt", help="saved network (trained if missing)")
    parser.add_argument("--steps", type=int, default=defaults.steps, help="training steps, if it trains")
    parser.add_argument("--hidden", type=int, default=defaults.hidden, help="hidden width, if it trains")
    parser.add_argument("--per-length", type=int, default=defaults.solve_per_length,
                        help="scrambles of each length 1..14")
    parser.add_argument("--beam-width", type=int, default=64)
    parser.add_argument("--weight", type=float, default=0.6)
    parser.add_argument("--batch-size", type=int, default=100)
    parser.add_argument("--max-nodes", type=int, default=20000)
    parser.add_argument("--seed", type=int, default=defaults.seed)
    args = parser.parse_args(argv)
    torch.set_num_threads(1)  # the module's pool has the other CPU (see train_value_net.py)

    if Path(args.model).exists():
        model = value_net.load(args.model)
        print(f"network: {args.model}")
    else:
        config = value_net.Config(steps=args.steps, hidden=args.hidden, eval_every=max(args.steps, 1))
        start = time.perf_counter()
        model, _ = value_net.train(config, report=lambda line: None)
        model.eval()
        value_net.save(model, config, args.model)
        print(f"trained {config.steps} steps in {time.perf_counter() - start:.1f} s; saved to {args.model}")

    # The training example's evaluation scrambles: drawn after its held-out
    # states from the same seed.
    rng = np.random.default_rng(args.seed)
    value_net.scrambled(rng, defaults.held_out, 1, defaults.max_scramble)
    scrambles = twirlkit.CubeBatch.concatenate(
        [value_net.scrambled(rng, args.per_length, k, k) for k in range(1, 15)])
    optimal = scrambles.distances().astype(np.int64)
    print(f"{len(scrambles)} scrambles of 1 to 14 turns, optimal mean length {optimal.mean():.2f}")
    score = network_scorer(model)

    walk = scrambles.copy()  # the greedy walk turns its batch
    start = time.perf_counter()
    solved, taken = value_net.greedy_solve(model, walk, 20)
    report("greedy walk", solved, taken, optimal, time.perf_counter() - start)

    start = time.perf_counter()
    beam = twirlkit.beam_search(scrambles, score, beam_width=args.beam_width, max_depth=20)
    report(f"beam {args.beam_width}", beam.lengths >= 0, beam.lengths, optimal,
           time.perf_counter() - start, beam)

    start = time.perf_counter()
    astar = twirlkit.weighted_astar(scrambles, score, weight=args.weight, batch_size=args.batch_size,
                                    max_nodes=args.max_nodes)
    report(f"A* {args.weight:g}/{args.batch_size}", astar.lengths >= 0, astar.lengths, optimal,
           time.perf_counter() - start, astar)

    # Every solution found reaches solved.
    for result in (beam, astar):
        found = np.flatnonzero(result.lengths >= 0)
        check = scrambles.take(found)
        check.apply(result.moves[found])
        assert check.is_solved().all()


if __name__ == "__main__":
    main()

"""Train a reinforcement-learning agent to solve the 2x2 from short scrambles.

    python examples/train_agent.py [--timesteps N] [--envs E] [--eval-episodes K]

The agent is stable-baselines3's PPO with a small multilayer perceptron, on
the gymnasium environment "twirlkit/Cube2x2-v0" (one-hot stickers, the
twelve quarter turns, -1 a move, solved ends the episode): E copies of it
scrambled by 1 to 3 moves, in stable-baselines3's own vector of
environments. After training it plays K held-out scrambles, seeded apart
from the training ones, with its most likely move each step, and reports the
share it solves within the step limit and how its solution lengths compare
with the optimal ones (CubeBatch.solve()).

Needs the "examples" extra: pip install ".[examples]" from a clone.
"""

import argparse
import time

import gymnasium as gym
import numpy as np
import torch
from stable_baselines3 import PPO
from stable_baselines3.common.env_util import make_vec_env

import twirlkit_gym  # noqa: F401  (registers the environments)

ENV_ID = "twirlkit/Cube2x2-v0"
# The held-out scrambles come from seeds far from those of training.
EVAL_SEED = 10**9


def env_kwargs(args):
    return dict(scramble_depth=(1, args.max_depth), max_episode_steps=args.max_steps,
                observation="one_hot")


def train(args):
    envs = make_vec_env(ENV_ID, n_envs=args.envs, seed=args.seed, env_kwargs=env_kwargs(args))
    model = PPO("MlpPolicy", envs, seed=args.seed, learning_rate=args.lr, n_steps=args.n_steps,
                batch_size=args.batch, n_epochs=4, gamma=0.9, ent_coef=0.01,
                policy_kwargs=dict(net_arch=[args.hidden, args.hidden]), device="cpu",
                verbose=0)
    model.learn(total_timesteps=args.timesteps)
    return model


def evaluate(model, args):
    """(solve rate, mean length / optimal where solved) over held-out scrambles."""
    env = gym.make(ENV_ID, **env_kwargs(args)).unwrapped
    solved, ratios = 0, []
    for episode in range(args.eval_episodes):
        obs, info = env.reset(seed=EVAL_SEED) if episode == 0 else env.reset()
        optimal = info["distance"]
        for moves in range(1, args.max_steps + 1):
            action, _ = model.predict(obs, deterministic=True)
            obs, _, terminated, truncated, info = env.step(action)
            if terminated:
                solved += 1
                ratios.append(moves / optimal)
                break
            if truncated:
                break
    return solved / args.eval_episodes, float(np.mean(ratios)) if ratios else float("nan")


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--timesteps", type=int, default=100_000)
    parser.add_argument("--envs", type=int, default=64)
    parser.add_argument("--max-depth", type=int, default=3, help="scramble depths 1 to this")
    parser.add_argument("--max-steps", type=int, default=8, help="moves allowed an episode")
    parser.add_argument("--n-steps", type=int, default=32, help="PPO steps per env and update")
    parser.add_argument("--batch", type=int, default=512)
    parser.add_argument("--hidden", type=int, default=128)
    parser.add_argument("--lr", type=float, default=1e-3)
    parser.add_argument("--eval-episodes", type=int, default=1000)
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--threads", type=int, default=1,
                        help="torch threads (default 1: the module's pool shares the CPUs)")
    args = parser.parse_args(argv)
    if min(args.timesteps, args.envs, args.max_depth, args.max_steps, args.n_steps, args.batch,
           args.hidden, args.eval_episodes) < 1:
        parser.error("sizes and counts must be at least 1")
    torch.set_num_threads(args.threads)
    start = time.perf_counter()
    model = train(args)
    trained = time.perf_counter() - start
    rate, ratio = evaluate(model, args)
    print(f"trained PPO for {args.timesteps} steps on {args.envs} environments in {trained:.1f} s")
    print(f"solve rate {100 * rate:.1f} % on {args.eval_episodes} held-out scrambles of depth "
          f"1 to {args.max_depth} (at most {args.max_steps} moves); "
          f"length / optimal {ratio:.2f}")


if __name__ == "__main__":
    main()

"""Self-play in the AlphaZero manner with varnok.MCTS and a tiny NumPy network.

Every game of a VectorEnv has its own search tree. For each move the trees
are grown together: select() hands out the leaves of all trees as one batch,
the network scores the batch, expand() backs its values up; after
`--simulations` rounds the improved policy is the training target and a move
is chosen (drawn in proportion to visits for the first `--explore` plies,
the most visited after). advance() keeps each tree's subtree for the next
move. When a game ends its samples get the outcome, from the side to move at
each sample, and its row starts a new game with a new tree.

Samples (observation, improved policy, outcome) are written to --out as an
.npz file (arrays obs, policy, outcome); the network takes one SGD step on
each finished game's samples.

    ./dev py examples/alphazero.py --games 8 --moves 200 --simulations 64 --out samples.npz
"""

from __future__ import annotations

import argparse
from typing import Any

import numpy as np
import varnok

ACTIONS = 4672
PIECE_PLANES = 12  # the newest position's pieces, the side to move's first


class TinyNetwork:
    """features (the newest 12 piece planes and the 7 scalar planes) -> tanh
    hidden layer -> policy logits over 4672 actions and a tanh value."""

    def __init__(self, hidden: int, rng: np.random.Generator) -> None:
        features = PIECE_PLANES * 64 + 7
        self.w1 = rng.normal(0, 1 / np.sqrt(features), (features, hidden)).astype(np.float32)
        self.w_policy = rng.normal(0, 0.01, (hidden, ACTIONS)).astype(np.float32)
        self.w_value = rng.normal(0, 0.01, hidden).astype(np.float32)

    @staticmethod
    def features(obs: np.ndarray) -> np.ndarray:
        pieces = obs[:, :PIECE_PLANES].reshape(len(obs), -1)
        scalars = obs[:, -7:, 0, 0] / np.array([1, 1, 100, 1, 1, 1, 1], np.float32)[None]
        return np.concatenate([pieces, scalars], axis=1)

    def __call__(self, obs: np.ndarray) -> tuple[np.ndarray, np.ndarray, np.ndarray]:
        hidden = np.tanh(self.features(obs) @ self.w1)
        return hidden @ self.w_policy, np.tanh(hidden @ self.w_value), hidden

    def train_step(self, obs: np.ndarray, policy: np.ndarray, outcome: np.ndarray, rate: float = 0.01) -> float:
        """One SGD step on the heads: cross-entropy to the policy, squared error to the outcome."""
        logits, value, hidden = self(obs)
        logits = np.where(policy > 0, logits, -1e9)  # the targets are zero on illegal actions
        logits -= logits.max(axis=1, keepdims=True)
        probs = np.exp(logits)
        probs /= probs.sum(axis=1, keepdims=True)
        n = len(obs)
        self.w_policy -= rate * hidden.T @ (probs - policy) / n
        self.w_value -= rate * hidden.T @ ((value - outcome) * (1 - value**2)) / n
        return float(np.mean((value - outcome) ** 2))


def self_play(games: int, moves: int, simulations: int, leaves_per_tree: int, explore: int, max_plies: int,
              seed: int, network: TinyNetwork) -> tuple[dict[str, list[Any]], list[list[Any]]]:
    venv = varnok.VectorEnv(games, seed=seed, max_steps=max_plies)
    step = venv.reset()
    search = varnok.MCTS(games, seed=seed)
    search.set_roots(venv)
    pending: list[list[tuple[np.ndarray, np.ndarray, int]]] = [[] for _ in range(games)]  # per game: (obs, policy, side to move) awaiting the outcome
    samples: dict[str, list[Any]] = {"obs": [], "policy": [], "outcome": []}
    plies = np.zeros(games, np.int64)
    for _ in range(moves):
        for _ in range(max(1, simulations // leaves_per_tree)):
            leaves = search.select(leaves_per_tree=leaves_per_tree)
            logits, values, _ = network(leaves.obs)
            search.expand(logits.astype(np.float32), values.astype(np.float32), logits=True)
        policy = search.policy()
        greedy, explored = search.choose_actions(0.0), search.choose_actions(1.0)
        actions = np.where(plies < explore, explored, greedy)
        for g in range(games):
            pending[g].append((step.obs[g].copy(), policy[g], int(step.to_play[g])))
        search.advance(actions)
        step = venv.step(actions)
        plies += 1
        ended = np.flatnonzero(step.terminated | step.truncated)
        for g in ended.tolist():
            white_result = float(step.final_reward[g])
            game = pending[g]
            for obs, target, side in game:
                samples["obs"].append(obs)
                samples["policy"].append(target)
                samples["outcome"].append(white_result if side == 0 else -white_result)
            loss = network.train_step(np.stack([o for o, _, _ in game]), np.stack([p for _, p, _ in game]),
                                      np.array([white_result if s == 0 else -white_result for _, _, s in game],
                                               np.float32))
            print(f"game over in row {g} after {len(game)} plies, result {white_result:+.0f}, value loss {loss:.3f}")
            pending[g] = []
            plies[g] = 0
        if len(ended):
            search.set_roots([venv.save_state(int(g)) for g in ended], trees=ended.tolist())
    return samples, pending


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--games", type=int, default=8)
    parser.add_argument("--moves", type=int, default=100, help="plies played in every game slot")
    parser.add_argument("--simulations", type=int, default=64)
    parser.add_argument("--leaves-per-tree", type=int, default=4)
    parser.add_argument("--explore", type=int, default=30, help="plies drawn by visit counts")
    parser.add_argument("--max-plies", type=int, default=200, help="a game longer than this is a draw")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--out", default="samples.npz")
    args = parser.parse_args()
    network = TinyNetwork(32, np.random.default_rng(args.seed))
    samples, unfinished = self_play(args.games, args.moves, args.simulations, args.leaves_per_tree, args.explore,
                                    args.max_plies, args.seed, network)
    count = len(samples["outcome"])
    np.savez_compressed(
        args.out,
        obs=np.array(samples["obs"], np.float32).reshape(count, 119, 8, 8),
        policy=np.array(samples["policy"], np.float32).reshape(count, ACTIONS),
        outcome=np.array(samples["outcome"], np.float32))
    print(f"{count} samples from finished games written to {args.out}; "
          f"{sum(map(len, unfinished))} positions of unfinished games dropped")


if __name__ == "__main__":
    main()

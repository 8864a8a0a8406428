"""A small Monte-Carlo search: branch with save_state/restore_state, score
each candidate move by random roll-outs, pick the best.

    ./dev py examples/search.py [FEN] [ROLLOUTS_PER_MOVE]

Scores are from the point of view of the side to move at the root.
"""

from __future__ import annotations

import sys

import varnok


def legal_actions(env: varnok.ChessEnv) -> list[int]:
    return [p * 64 + s for p, row in enumerate(env.get_actions()) for s, v in enumerate(row) if v]


def best_action(env: varnok.ChessEnv, rollouts_per_move: int = 50) -> tuple[int, float]:
    """Returns (action, score) for the side to move in env; env is left as found."""
    root = env.save_state()
    mover = root.side
    sign = 1 if mover == 0 else -1  # rewards count from white's side
    best: tuple[int, float] | None = None
    for action in legal_actions(env):
        env.restore_state(root)
        _, _, reward, done = env.step(action)
        if done:
            score = float(sign * reward)  # the move itself ends the game
        else:
            after = env.save_state()
            total = 0
            for _ in range(rollouts_per_move):
                env.restore_state(after)
                total += env.roll_out()
            score = sign * total / rollouts_per_move
        if best is None or score > best[1]:
            best = (action, score)
    env.restore_state(root)
    assert best is not None, "the root has a legal move"
    return best


def main() -> None:
    env = varnok.ChessEnv()
    if len(sys.argv) > 1:
        env.parse_fen(sys.argv[1])
    else:
        env.reset()
    rollouts = int(sys.argv[2]) if len(sys.argv) > 2 else 50
    action, score = best_action(env, rollouts)
    print(f"best move {env.action_to_san(action)} ({env.action_to_uci(action)}, action {action}), "
          f"score {score:+.3f}")


if __name__ == "__main__":
    main()

"""Play random games with varnok and report what happened and how fast.

Run with ./dev demo [GAMES]. The first game is played through the
Python-level loop (get_actions, pick a legal action, step) and its final
position is rendered; the rest are native roll-outs from a saved start.
"""

from __future__ import annotations

import collections
import random
import sys
import time

import varnok

RESULT_NAMES = {1: "white wins", -1: "black wins", 0: "draw or cap"}
ENDINGS = ("checkmate", "stalemate", "repetition", "no progress", "400-step cap")


def legal_actions(mask: list[list[int]]) -> list[int]:
    return [plane * 64 + square for plane, row in enumerate(mask) for square, v in enumerate(row) if v]


def ending(env: varnok.ChessEnv, reward: int) -> str:
    """Why the game that just ended stopped, judged in the order step uses."""
    if reward != 0:
        return "checkmate"
    if not any(any(row) for row in env.get_actions()):
        return "stalemate"
    state = env.save_state()
    if state.n_repititions == 2:
        return "repetition"
    if state.no_progress_count >= 50:
        return "no progress"
    return "400-step cap"


def play_python_game(env: varnok.ChessEnv, rng: random.Random) -> tuple[int, int]:
    side, obs, reward, done = env.reset()
    plies = 0
    while not done:
        side, obs, reward, done = env.step(rng.choice(legal_actions(env.get_actions())))
        plies += 1
    return reward, plies


def main() -> None:
    games = int(sys.argv[1]) if len(sys.argv) > 1 else 2000
    print(f"varnok: classes {[name for name in dir(varnok) if not name.startswith('_')]}")
    env = varnok.ChessEnv()
    rng = random.Random()

    start = time.perf_counter()
    reward, plies = play_python_game(env, rng)
    elapsed = time.perf_counter() - start
    print(f"\nA game through get_actions/step: {RESULT_NAMES[reward]} after {plies} plies "
          f"({plies / elapsed:,.0f} plies/s from Python). Final position:")
    env.render()

    env.reset()
    start_state = env.save_state()
    results: collections.Counter[int] = collections.Counter()
    total_plies = 0
    start = time.perf_counter()
    for _ in range(games):
        env.restore_state(start_state)
        results[env.roll_out()] += 1
        total_plies += env.save_state().total_move_count
    elapsed = time.perf_counter() - start
    print(f"{games} native roll-outs from the initial position in {elapsed:.2f} s: "
          f"{games / elapsed:,.0f} games/s, {total_plies / elapsed:,.0f} plies/s")
    for result in (1, -1, 0):
        print(f"  {RESULT_NAMES[result]:12s} {results[result]:6d}")

    # The same again, untimed, to see how the games ended.
    endings: collections.Counter[str] = collections.Counter()
    for _ in range(games):
        env.restore_state(start_state)
        endings[ending(env, env.roll_out())] += 1
    print("How they ended:")
    for name in ENDINGS:
        print(f"  {name:12s} {endings[name]:6d}")


if __name__ == "__main__":
    main()

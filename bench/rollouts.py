"""Random games: `roll_out` against the same games played with python-chess.

varnok: a `State` saved right after `reset` is restored before every game and
`roll_out` plays the game to its end (at most 400 plies). The plies of a game
are the growth of `total_move_count`, read with `save_state` outside the timed
part.

python-chess: a new `chess.Board()` per game, then `list(board.legal_moves)`,
a uniformly random choice and `push`, while `board.is_game_over()` is false and
fewer than 400 plies were played.

Each repetition gives each side its time box in SLICES short turns, varnok
and python-chess alternating, so that a burst of load from elsewhere on the
machine falls on both sides alike; games per second is the headline figure,
plies per second is kept beside it because the two rule sets end games at
somewhat different lengths.
"""

from __future__ import annotations

import random
import time

import chess
import varnok

from timing import PLY_CAP, summary

SLICES = 6


def varnok_games(env, start, seconds: float, min_games: int = 3):
    games = plies = 0
    busy = 0.0
    base = start.total_move_count
    while busy < seconds or games < min_games:
        t0 = time.perf_counter()
        env.restore_state(start)
        env.roll_out()
        busy += time.perf_counter() - t0
        plies += env.save_state().total_move_count - base
        games += 1
    return games, plies, busy


def python_chess_games(rng, seconds: float, min_games: int = 3):
    games = plies = 0
    busy = 0.0
    while busy < seconds or games < min_games:
        t0 = time.perf_counter()
        board = chess.Board()
        while not board.is_game_over() and board.ply() < PLY_CAP:
            board.push(rng.choice(list(board.legal_moves)))
        busy += time.perf_counter() - t0
        plies += board.ply()
        games += 1
    return games, plies, busy


def add_to(total: list, got: tuple) -> None:
    """Adds (games, plies, seconds) of one time box to a running total."""
    for i, value in enumerate(got):
        total[i] += value


def run(settings, progress) -> dict:
    env = varnok.ChessEnv()
    env.reset()
    start = env.save_state()
    rng = random.Random(20240601)
    # Warm both sides up (caches, first allocations).
    varnok_games(env, start, 0.05, 1)
    python_chess_games(rng, 0.05, 1)

    v_games, v_plies, p_games, p_plies = [], [], [], []
    ratio_games, ratio_plies, v_len, p_len = [], [], [], []
    for rep in range(settings.reps):
        v = [0, 0, 0.0]
        p = [0, 0, 0.0]
        for _ in range(SLICES):
            add_to(v, varnok_games(env, start, settings.rollout_seconds / SLICES, 1))
            add_to(p, python_chess_games(rng, settings.rollout_seconds * 1.5 / SLICES, 1))
        g, n, t = v
        v_games.append(g / t)
        v_plies.append(n / t)
        v_len.append(n / g)
        g, n, t = p
        p_games.append(g / t)
        p_plies.append(n / t)
        p_len.append(n / g)
        ratio_games.append(v_games[-1] / p_games[-1])
        ratio_plies.append(v_plies[-1] / p_plies[-1])
        progress.say(f"  rep {rep + 1}/{settings.reps}: varnok {v_games[-1]:.0f} games/s "
                     f"({v_plies[-1] / 1e3:.0f} k plies/s), python-chess {p_games[-1]:.1f} games/s "
                     f"({p_plies[-1] / 1e3:.1f} k plies/s)")

    figures = {
        "rollout_vs_python_chess": summary(ratio_games).as_dict("ratio"),
        "rollout_games_per_s": summary(v_games).as_dict("games/s"),
        "rollout_plies_per_s": summary(v_plies).as_dict("plies/s"),
        "python_chess_games_per_s": summary(p_games).as_dict("games/s"),
        "python_chess_plies_per_s": summary(p_plies).as_dict("plies/s"),
        "rollout_plies_vs_python_chess": summary(ratio_plies).as_dict("ratio"),
        "rollout_plies_per_game": summary(v_len).as_dict("plies"),
        "python_chess_plies_per_game": summary(p_len).as_dict("plies"),
    }
    figures["rollout_vs_python_chess"]["details"] = {
        "python_chess": chess.__version__,
        "how": "games per second; varnok: restore_state(saved after reset) + roll_out(); "
               "python-chess: Board(), then list(legal_moves), random choice, push while "
               "not is_game_over() and ply() < 400; the two sides alternate in "
               f"{SLICES} time boxes each per repetition",
    }
    return figures

"""Python-level play: the get_actions / choose / step loop, and list floors.

1. Plies per second of the loop a Python agent runs, against the same loop in
   the PettingZoo chess environment (`env.last()`, a random action among the
   mask's non-zero entries, `env.step`). Where PettingZoo cannot be imported,
   a python-chess loop that builds an equivalent 119-plane observation stands
   in, and the reason is recorded.
2. The cost of `step` over the cost of building a list of 119 new lists of 64
   ints in Python (`[[0] * 64 for _ in range(119)]`), the least that any call
   returning the observation as lists must do; likewise `get_actions` over a
   73 x 64 list. Both replay recorded random games, so every repetition sees
   the same positions.
"""

from __future__ import annotations

import functools
import random
import time
from itertools import compress

import varnok

from timing import aec_plies_per_s, summary

R64 = range(64)
R73 = range(73)
R119 = range(119)
FLOOR_TEXT = "[[0] * 64 for _ in range(119)]"
FLOOR73_TEXT = "[[0] * 64 for _ in range(73)]"


def legal_actions(mask):
    """Action indices (plane * 64 + square) whose mask cell is 1, ascending."""
    out = []
    for plane, row in enumerate(mask):
        if 1 in row:
            base = plane * 64
            out.extend([base + square for square, v in enumerate(row) if v])
    return out


ZERO_ROW = [0] * 64
_row_has_action = ZERO_ROW.__ne__


def random_legal_action(mask, rng):
    """A uniformly random legal action of a 73 x 64 mask, at Python speed.

    Comparing a row with a row of zeros is fast (the 0s are one object), so
    the rows holding actions are found first and only those are counted and
    searched; listing all 4,672 cells in Python would cost twice the time.
    """
    planes = list(compress(R73, map(_row_has_action, mask)))
    counts = [mask[plane].count(1) for plane in planes]
    k = rng.randrange(sum(counts))
    for plane, count in zip(planes, counts):
        if k < count:
            break
        k -= count
    row = mask[plane]
    square = row.index(1)
    for _ in range(k):
        square = row.index(1, square + 1)
    return plane * 64 + square


def varnok_loop(env, rng, seconds: float):
    """Plies per second over whole games, as many as start within `seconds`."""
    plies = 0
    clock = time.perf_counter
    t0 = clock()
    while True:
        env.reset()
        done = 0
        while not done:
            done = env.step(random_legal_action(env.get_actions(), rng))[3]
            plies += 1
        if clock() - t0 >= seconds:
            return plies / (clock() - t0)


# --------------------------------------------------------------- the peer


def pettingzoo_peer():
    """(name, loop function, None) or (None, None, reason it cannot be used)."""
    try:
        import numpy as np
        from pettingzoo.classic import chess_v6
        import pettingzoo

        env = chess_v6.env()
        env.reset(seed=1)
        obs, _, _, _, _ = env.last()
        env.step(int(np.flatnonzero(obs["action_mask"])[0]))
    except Exception as exc:  # any failure to import or to play one move
        return None, None, f"{type(exc).__name__}: {exc}"

    return f"PettingZoo {pettingzoo.__version__} chess_v6", functools.partial(aec_plies_per_s, env), None


def python_chess_observation_loop(rng, seconds: float):
    """Stand-in peer: python-chess play that also builds 119 planes of 64 ints."""
    import chess

    order = [(t, c) for c in (chess.WHITE, chess.BLACK) for t in chess.PIECE_TYPES]

    def planes(board):
        rows = [[(board.pieces_mask(t, c) >> (sq ^ 56)) & 1 for sq in R64] for t, c in order]
        rep = 1 if board.is_repetition(2) else 0
        rows.append([rep] * 64)
        rows.append([1 if board.is_repetition(3) else 0] * 64)
        return rows

    plies = 0
    clock = time.perf_counter
    t0 = clock()
    while True:
        board = chess.Board()
        history = [planes(board)]
        while not board.is_game_over():
            board.push(rng.choice(list(board.legal_moves)))
            history.append(planes(board))
            del history[:-8]
            obs = [row for entry in history for row in entry]
            obs += [[0] * 64 for _ in range(8 * 14 - len(obs))]
            obs += [[int(board.turn == chess.BLACK)] * 64, [board.fullmove_number] * 64,
                    [int(board.has_kingside_castling_rights(chess.WHITE))] * 64,
                    [int(board.has_queenside_castling_rights(chess.WHITE))] * 64,
                    [int(board.has_kingside_castling_rights(chess.BLACK))] * 64,
                    [int(board.has_queenside_castling_rights(chess.BLACK))] * 64,
                    [board.halfmove_clock] * 64]
            plies += 1
        if clock() - t0 >= seconds:
            return plies / (clock() - t0)


# ------------------------------------------------------ step and its floor


def record_games(count: int, seed: int):
    """`count` random games from the initial position: (start State, actions)."""
    rng = random.Random(seed)
    env = varnok.ChessEnv()
    env.reset()
    start = env.save_state()
    games = []
    for _ in range(count):
        env.restore_state(start)
        actions = []
        while True:
            action = random_legal_action(env.get_actions(), rng)
            actions.append(action)
            if env.step(action)[3]:
                break
        games.append(actions)
    return start, games


def time_steps(env, start, actions) -> float:
    env.restore_state(start)
    step = env.step
    clock = time.perf_counter
    t0 = clock()
    for action in actions:
        result = step(action)
    t = clock() - t0
    del result
    return t


def time_floor(actions, rows) -> float:
    clock = time.perf_counter
    t0 = clock()
    for _action in actions:
        result = [[0] * 64 for _ in rows]
    t = clock() - t0
    del result
    return t


def time_get_actions(env, start, actions, calls: int = 4) -> float:
    env.restore_state(start)
    get, step = env.get_actions, env.step
    clock = time.perf_counter
    inner = range(calls)
    total = 0.0
    for action in actions:
        t0 = clock()
        for _ in inner:
            mask = get()
        total += clock() - t0
        step(action)
    del mask
    return total / calls


def time_floor73(actions, calls: int = 4) -> float:
    clock = time.perf_counter
    inner = range(calls)
    total = 0.0
    for _action in actions:
        t0 = clock()
        for _ in inner:
            mask = [[0] * 64 for _ in R73]
        total += clock() - t0
    del mask
    return total / calls


def run(settings, progress) -> dict:
    rng = random.Random(7)
    env = varnok.ChessEnv()

    # 1. the loop, side by side
    peer_name, peer_loop, peer_failure = pettingzoo_peer()
    if peer_loop is None:
        peer_name = "python-chess loop building a 119 x 64 observation (PettingZoo unusable)"
        peer_loop = python_chess_observation_loop
        progress.say(f"  PettingZoo unusable ({peer_failure}); using {peer_name}")
    varnok_loop(env, rng, 0.05)
    peer_loop(rng, 0.05)
    ours, theirs, ratio = [], [], []
    for rep in range(settings.reps):
        ours.append(varnok_loop(env, rng, settings.loop_seconds))
        theirs.append(peer_loop(rng, settings.loop_seconds))
        ratio.append(ours[-1] / theirs[-1])
        progress.say(f"  rep {rep + 1}/{settings.reps}: varnok loop {ours[-1]:.0f} plies/s, "
                     f"peer {theirs[-1]:.0f} plies/s")

    # 2. step and get_actions against their list floors
    start, games = record_games(settings.step_games, seed=11)
    passes = 1 if settings.quick else 6
    plies = sum(len(g) for g in games) * passes
    step_ratio, step_us, floor_us = [], [], []
    get_ratio, get_us, floor73_us = [], [], []
    for rep in range(settings.reps):
        t_step = t_floor = t_get = t_floor73 = 0.0
        for _ in range(passes):
            for actions in games:
                t_step += time_steps(env, start, actions)
                t_floor += time_floor(actions, R119)
                t_get += time_get_actions(env, start, actions)
                t_floor73 += time_floor73(actions)
        step_ratio.append(t_step / t_floor)
        step_us.append(t_step / plies * 1e6)
        floor_us.append(t_floor / plies * 1e6)
        get_ratio.append(t_get / t_floor73)
        get_us.append(t_get / plies * 1e6)
        floor73_us.append(t_floor73 / plies * 1e6)
        progress.say(f"  rep {rep + 1}/{settings.reps}: step {step_us[-1]:.1f} us, "
                     f"119 x 64 floor {floor_us[-1]:.1f} us; get_actions {get_us[-1]:.1f} us, "
                     f"73 x 64 floor {floor73_us[-1]:.1f} us")

    figures = {
        "python_loop_vs_pettingzoo": summary(ratio).as_dict("ratio"),
        "python_loop_plies_per_s": summary(ours).as_dict("plies/s"),
        "peer_loop_plies_per_s": summary(theirs).as_dict("plies/s"),
        "step_vs_list_floor": summary(step_ratio).as_dict("ratio"),
        "step_us": summary(step_us).as_dict("us"),
        "list_floor_119_us": summary(floor_us).as_dict("us"),
        "get_actions_vs_list_floor": summary(get_ratio).as_dict("ratio"),
        "get_actions_us": summary(get_us).as_dict("us"),
        "list_floor_73_us": summary(floor73_us).as_dict("us"),
    }
    figures["python_loop_vs_pettingzoo"]["details"] = {
        "peer": peer_name,
        "pettingzoo_failure": peer_failure,
        "how": "plies per second over whole games; varnok: get_actions(), a uniformly "
               "random action among the mask cells that hold 1 (random_legal_action in "
               "bench/pyloop.py), "
               "step(), reset() at the end; peer: env.last(), "
               "random.choice(numpy.flatnonzero(action_mask)), env.step(), reset() at the end",
    }
    figures["step_vs_list_floor"]["details"] = {
        "floor": FLOOR_TEXT,
        "plies_per_rep": plies,
        "how": "replay of recorded random games; time of all step calls over the time of "
               "building the floor list once per ply in the same kind of loop",
    }
    figures["get_actions_vs_list_floor"]["details"] = {"floor": FLOOR73_TEXT}
    return figures

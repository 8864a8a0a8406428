"""Matches: the arena against the same games driven move by move through
python-chess, and batched against one game at a time.

- arena_random_vs_python_chess: `varnok.arena.match(Random(), Random(),
  games=256, max_plies=400, rules="fide")` (the games, results and
  reasons; PGN text is made on demand and not here), against the same games
  replayed through python-chess boards as a random player would drive them:
  per ply `list(board.legal_moves)`, the recorded move picked from it,
  `push`, and the FIDE ends as python-chess reads them (checkmate,
  stalemate, insufficient material, `halfmove_clock >= 100`,
  `is_repetition(3)`). Plies per second of the same games; the sides take
  turns in short boxes (the arena one whole match per box).
- arena_batched_vs_serial: games between two `MCTS` players (32
  simulations, a small NumPy network on packed observations: a linear value
  of the piece planes, uniform priors), 24 plies at most: one block of 256
  games (each player's search and network batch takes all the games it
  moves in) against blocks of one game (`batch=1`: one game, one tree, one
  network row at a time). Plies per second; in each repetition the two
  take turns in three boxes each (the block one match a box, one game at a
  time 16 games a box), so that a slow spell of the shared machine falls
  on both.
- arena_batched_vs_serial_every_processor: the same block with its players
  searching on every processor (`threads`), against the same one-game
  blocks. One tree's descents stay on one thread, so a lone game cannot
  use more; a block's trees can be spread, with the same games for any
  count.
"""

from __future__ import annotations

import os
import time

import chess
import numpy as np

from timing import summary

MATCH_GAMES = 256
MAX_PLIES = 400
MCTS_SIMULATIONS = 32
MCTS_PLIES = 24
MCTS_BOXES = 3


def varnok_match(seed: int, games: int):
    from varnok import arena, players
    t0 = time.perf_counter()
    result = arena.match(players.Random(), players.Random(), games=games, seed=seed, max_plies=MAX_PLIES,
                         rules="fide")
    took = time.perf_counter() - t0
    return result, took


def moves_of(result) -> list[tuple[str, list[chess.Move]]]:
    from varnok import ChessEnv
    env = ChessEnv("fide")
    out = []
    for g in result.games:
        env.load_fen(g.start_fen)
        moves = []
        for a in g.actions:
            moves.append(chess.Move.from_uci(env.action_to_uci(a)))
            env.play(a)
        out.append((g.start_fen, moves))
    return out


def python_chess_replay(games, seconds: float):
    plies = 0
    busy = 0.0
    i = 0
    while busy < seconds or i == 0:
        fen, moves = games[i % len(games)]
        i += 1
        t0 = time.perf_counter()
        board = chess.Board(fen)
        for move in moves:
            legal = list(board.legal_moves)
            chosen = legal[legal.index(move)]
            board.push(chosen)
            if (board.is_checkmate() or board.is_stalemate() or board.is_insufficient_material()
                    or board.halfmove_clock >= 100 or board.is_repetition(3)):
                break
        busy += time.perf_counter() - t0
        plies += len(moves)
    return plies, busy


class TinyNet:
    """A small fixed NumPy network on packed observations: a linear value
    of the twelve piece planes' bits through tanh, priors uniform over the
    legal moves."""

    def __init__(self, seed: int = 0):
        rng = np.random.default_rng(seed)
        self.w = (rng.standard_normal(12 * 64) / 28).astype(np.float32)
        self.logits = np.zeros((0, 4672), np.float32)

    def __call__(self, packed, legal_mask):
        bits = np.unpackbits(packed[:, :12].view(np.uint8), axis=1, bitorder="little")
        values = np.tanh(bits.astype(np.float32) @ self.w)
        if len(self.logits) < len(packed):  # zero logits, kept: uniform over the legal moves
            self.logits = np.zeros((len(packed), 4672), np.float32)
        return self.logits[:len(packed)], values


def mcts_match(games: int, batch: int, seed: int, threads: int = 1) -> tuple[int, float]:
    """The plies of one match between two MCTS players and the seconds it took."""
    from varnok import arena, players
    net = TinyNet()
    a = players.MCTS(net, MCTS_SIMULATIONS, logits=True, obs_dtype="packed", name="net-a", threads=threads)
    b = players.MCTS(net, MCTS_SIMULATIONS, logits=True, obs_dtype="packed", name="net-b", threads=threads)
    t0 = time.perf_counter()
    result = arena.match(a, b, games=games, seed=seed, max_plies=MCTS_PLIES, batch=batch)
    took = time.perf_counter() - t0
    return sum(len(g.actions) for g in result.games), took


def run(settings, progress) -> dict:
    quick = settings.quick
    games = 16 if quick else MATCH_GAMES
    ours, theirs, ratio = [], [], []
    varnok_match(0, 8)  # warm up
    for rep in range(settings.reps):
        result, took = varnok_match(rep, games)
        plies = sum(len(g.actions) for g in result.games)
        replay = moves_of(result)
        p_plies, p_busy = python_chess_replay(replay, 0.3 if quick else 2.0)
        ours.append(plies / took)
        theirs.append(p_plies / p_busy)
        ratio.append(ours[-1] / theirs[-1])
        progress.say(f"  rep {rep + 1}/{settings.reps}: arena {ours[-1] / 1e3:.0f} k plies/s, "
                     f"python-chess {theirs[-1] / 1e3:.1f} k plies/s, ratio {ratio[-1]:.1f}")

    cores = os.process_cpu_count() or 1
    batched, batched_all, serial, speedup, speedup_all = [], [], [], [], []
    boxes = 1 if quick else MCTS_BOXES
    for rep in range(settings.reps):
        totals = {"batched": [0, 0.0], "batched_all": [0, 0.0], "serial": [0, 0.0]}
        for box in range(boxes):
            seed = rep * boxes + box
            for side, (games, batch, threads) in (("batched", (16 if quick else 256, 256, 1)),
                                                  ("batched_all", (16 if quick else 256, 256, cores)),
                                                  ("serial", (4 if quick else 16, 1, 1))):
                plies, took = mcts_match(games, batch, seed, threads)
                totals[side][0] += plies
                totals[side][1] += took
        rate = {side: plies / took for side, (plies, took) in totals.items()}
        batched.append(rate["batched"])
        batched_all.append(rate["batched_all"])
        serial.append(rate["serial"])
        speedup.append(batched[-1] / serial[-1])
        speedup_all.append(batched_all[-1] / serial[-1])
        progress.say(f"  rep {rep + 1}/{settings.reps}: MCTS batched {batched[-1]:.0f} plies/s "
                     f"({batched_all[-1]:.0f} on {cores} threads), one game at a time "
                     f"{serial[-1]:.0f} plies/s, ratio {speedup[-1]:.1f} ({speedup_all[-1]:.1f})")

    figures = {
        "arena_random_vs_python_chess": summary(ratio).as_dict("ratio"),
        "arena_random_plies_per_s": summary(ours).as_dict("plies/s"),
        "python_chess_replay_plies_per_s": summary(theirs).as_dict("plies/s"),
        "arena_batched_vs_serial": summary(speedup).as_dict("ratio"),
        "arena_mcts_batched_plies_per_s": summary(batched).as_dict("plies/s"),
        "arena_batched_vs_serial_every_processor": summary(speedup_all).as_dict("ratio"),
        "arena_mcts_batched_every_processor_plies_per_s": summary(batched_all).as_dict("plies/s"),
        "arena_mcts_serial_plies_per_s": summary(serial).as_dict("plies/s"),
    }
    figures["arena_random_vs_python_chess"]["details"] = {
        "python_chess": chess.__version__,
        "how": f"plies/s; varnok: arena.match(Random(), Random(), games={games}, max_plies={MAX_PLIES}, "
               "rules='fide'); python-chess: the same games replayed, list(legal_moves), the recorded move, "
               "push, then checkmate/stalemate/insufficient material/halfmove_clock >= 100/is_repetition(3)",
    }
    figures["arena_batched_vs_serial"]["details"] = {
        "how": f"plies/s; two MCTS players, {MCTS_SIMULATIONS} simulations, a NumPy value of the packed piece "
               "planes with uniform priors, "
               f"{MCTS_PLIES} plies at most; 256 games in one block against batch=1 (16 games), "
               f"{boxes} boxes each a repetition, taking turns (every_processor: the block on {cores} threads)",
    }
    return figures

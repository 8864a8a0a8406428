"""Notation speed: varnok's native SAN, UCI, FEN and PGN code against python-chess.

Positions come from seeded random games (python-chess plays them). For each
figure both sides handle the same positions: varnok through the native
notation_bench tool, python-chess in this process. SAN is the headline: the
SAN of every legal move of every position.

    ./dev py bench/notation_native.py [--positions N] [--seconds S]
"""

from __future__ import annotations

import argparse
import os
import random
import subprocess
import tempfile
import time

import chess
import chess.pgn

TOOL = os.path.join(os.path.dirname(__file__), "..", "build", "native", "tools", "notation_bench")


def positions(count: int, seed: int) -> list[chess.Board]:
    rng = random.Random(seed)
    out: list[chess.Board] = []
    while len(out) < count:
        board = chess.Board()
        for _ in range(rng.randint(10, 160)):
            moves = list(board.legal_moves)
            if not moves:
                break
            board.push(rng.choice(moves))
        if any(board.legal_moves):
            out.append(board.copy(stack=False))
    return out


def per_item(seconds: float, run) -> float:
    items, start = 0, time.perf_counter()
    while (elapsed := time.perf_counter() - start) < seconds:
        items += run()
    return elapsed * 1e9 / items


def main() -> None:
    parser = argparse.ArgumentParser()
    parser.add_argument("--positions", type=int, default=300)
    parser.add_argument("--seconds", type=float, default=2.0)
    args = parser.parse_args()
    boards = positions(args.positions, 1)
    moves = [list(b.legal_moves) for b in boards]
    sans = [[b.san(m) for m in ms] for b, ms in zip(boards, moves)]
    count = sum(len(ms) for ms in moves)

    with tempfile.NamedTemporaryFile("w", suffix=".fen", delete=False) as f:
        f.write("\n".join(b.fen(en_passant="fen") for b in boards) + "\n")
    try:
        out = subprocess.run([TOOL, f.name, str(args.seconds)], check=True, capture_output=True, text=True).stdout
    finally:
        os.unlink(f.name)
    ours = {line.split()[0]: float(line.split()[1]) for line in out.splitlines()}

    theirs = {
        "san_of_ns_per_move": per_item(args.seconds, lambda: sum(
            1 for b, ms in zip(boards, moves) for m in ms if b.san(m))),
        "move_of_san_ns_per_move": per_item(args.seconds, lambda: sum(
            1 for b, ss in zip(boards, sans) for s in ss if b.parse_san(s))),
        "fen_of_ns_per_position": per_item(args.seconds, lambda: sum(1 for b in boards if b.fen())),
        "parse_fen_strict_ns_per_position": per_item(args.seconds, lambda: sum(
            1 for b in boards if chess.Board(b.fen()).is_valid())),
    }
    print(f"{len(boards)} positions, {count} legal moves")
    print(f"{'figure':36} {'varnok':>12} {'python-chess':>14} {'ratio':>8}")
    for name, value in theirs.items():
        print(f"{name:36} {ours[name]:10.1f}ns {value:12.1f}ns {value / ours[name]:8.1f}")
    for name in ("uci_of_ns_per_move", "move_of_uci_ns_per_move", "pgn_read_ns_per_ply", "pgn_read_mb_per_s"):
        print(f"{name:36} {ours[name]:10.1f}")


if __name__ == "__main__":
    main()

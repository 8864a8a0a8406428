"""Makes varnok/openings.epd, the built-in balanced openings of the arena.

Each candidate is a short seeded random opening (PLIES uniformly random legal
moves from the initial position); it is kept when Stockfish, searching it to
a fixed depth, scores it within MARGIN_CP centipawns of equality and it is
not already in the set. The file was made once with

    ./dev py tools/make_openings.py --count 100 --plies 6 --depth 12 --seed 1

(Stockfish from the build root, /usr/games/stockfish) and is checked in; a
rerun with the same arguments and the same Stockfish gives the same file.
"""

from __future__ import annotations

import argparse
import os
import random
import shutil

import chess
import chess.engine

MARGIN_CP = 50  # half a pawn either way
OUT = os.path.join(os.path.dirname(__file__), "..", "varnok", "openings.epd")


def main() -> None:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--count", type=int, default=100)
    p.add_argument("--plies", type=int, default=6)
    p.add_argument("--depth", type=int, default=12)
    p.add_argument("--seed", type=int, default=1)
    p.add_argument("--out", default=OUT)
    args = p.parse_args()
    rng = random.Random(args.seed)
    command = shutil.which("stockfish") or "/usr/games/stockfish"
    kept: dict[str, int] = {}
    tried = 0
    with chess.engine.SimpleEngine.popen_uci(command) as engine:
        engine.configure({"Threads": 1, "Hash": 16})
        while len(kept) < args.count:
            tried += 1
            board = chess.Board()
            for _ in range(args.plies):
                board.push(rng.choice(list(board.legal_moves)))
            if board.is_game_over():
                continue
            epd = board.epd()
            if epd in kept:
                continue
            info = engine.analyse(board, chess.engine.Limit(depth=args.depth), game=tried)
            cp = info["score"].white().score(mate_score=100000)
            if abs(cp) <= MARGIN_CP:
                kept[epd] = cp
    with open(args.out, "w", encoding="utf-8") as out:
        for epd, cp in kept.items():
            out.write(f'{epd} c0 "stockfish depth {args.depth}: {cp:+d} cp";\n')
    print(f"kept {len(kept)} of {tried} random {args.plies}-ply openings within {MARGIN_CP} cp -> {args.out}")


if __name__ == "__main__":
    main()

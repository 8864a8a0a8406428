"""Per-move perft counts of the native perft tool against Stockfish.

Positions come from seeded random play (python-chess) from several starts,
leaning towards captures, checks and promotions so that castling, en
passant, promotions and check evasions all occur in the sample.
"""

import os
import pathlib
import random
import re
import shutil
import subprocess

import chess
import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
MOVE_LINE = re.compile(r"^([a-h][1-8][a-h][1-8][nbrq]?): (\d+)$")
DEPTH = 3
STARTS = [
    chess.STARTING_FEN,
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "r4rk1/1pp1qppp/p1np1n2/2b1p1B1/2B1P1b1/P1NP1N2/1PP1QPPP/R4RK1 w - - 0 10",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R w KQkq - 0 1",
    "4k3/1P6/8/2pP4/8/8/6p1/4K3 w - c6 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
]
POSITIONS_PER_START = 21


def perft_tool():
    path = os.environ.get("VARNOK_PERFT")
    if path:
        return pathlib.Path(path)
    default = REPO / "build" / "native" / "tools" / "perft"
    if not default.exists():
        pytest.skip("native perft tool not built (build/native/tools/perft)")
    return default


def stockfish():
    path = shutil.which("stockfish") or (
        "/usr/games/stockfish" if os.path.exists("/usr/games/stockfish") else None)
    if path is None:
        pytest.skip("Stockfish is not installed")
    return path


def sample_positions():
    rng = random.Random(2024)
    fens = []
    for start in STARTS:
        chosen = []
        while len(chosen) < POSITIONS_PER_START:
            board = chess.Board(start)
            chosen.append(board.fen())
            for _ in range(rng.randrange(4, 40)):
                moves = list(board.legal_moves)
                if not moves:
                    break
                forcing = [m for m in moves
                           if board.is_capture(m) or m.promotion or board.gives_check(m)
                           or board.is_castling(m)]
                board.push(rng.choice(forcing if forcing and rng.random() < 0.5 else moves))
                if rng.random() < 0.25 and len(chosen) < POSITIONS_PER_START:
                    chosen.append(board.fen())
        fens += chosen
    return fens


def parse_moves(lines):
    return {m.group(1): int(m.group(2)) for m in map(MOVE_LINE.match, lines) if m}


def stockfish_counts(path, fens):
    commands = "".join(f"position fen {fen}\ngo perft {DEPTH}\n" for fen in fens) + "quit\n"
    out = subprocess.run([path], input=commands, capture_output=True, text=True,
                         timeout=300, check=True).stdout
    results, block = [], []
    for line in out.splitlines():
        line = line.strip()
        if line.startswith("Nodes searched:"):
            results.append((parse_moves(block), int(line.split(":")[1])))
            block = []
        else:
            block.append(line)
    assert len(results) == len(fens)
    return results


def varnok_counts(tool, fen):
    out = subprocess.run([str(tool), fen, str(DEPTH)], capture_output=True, text=True,
                         timeout=60, check=True).stdout.splitlines()
    total = next(int(line.split(":")[1]) for line in out if line.startswith("Nodes searched:"))
    return parse_moves(out), total


def test_sample_covers_the_special_moves():
    fens = sample_positions()
    assert len(fens) >= 200
    boards = [chess.Board(f) for f in fens]
    assert sum(b.is_check() for b in boards) >= 10
    assert sum(b.has_legal_en_passant() for b in boards) >= 3
    assert sum(any(b.is_castling(m) for m in b.legal_moves) for b in boards) >= 10
    assert sum(any(m.promotion for m in b.legal_moves) for b in boards) >= 10


def test_perft_matches_stockfish():
    tool, engine = perft_tool(), stockfish()
    fens = sample_positions()
    for fen, (expected, expected_total) in zip(fens, stockfish_counts(engine, fens)):
        moves, total = varnok_counts(tool, fen)
        assert moves == expected, fen
        assert total == expected_total, fen

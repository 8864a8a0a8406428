"""Reference perft counts of Chess960 positions, computed with python-chess.

Writes one line per position, "FEN;DEPTH;NODES", to tests/data/chess960_perft.txt:
a seeded sample of the 960 start arrays (518, the standard one, always among
them) and positions from seeded random Chess960 games that still hold
castling rights with a rook off the a- and h-files, for both colours. The
native perft is checked against these counts; python-chess at depth 4 takes
a second or more per position, too slow to run live for all of them.

    ./dev py tools/chess960_perft_reference.py [--jobs 2]
"""

import argparse
import concurrent.futures
import pathlib
import random

import chess

OUT = pathlib.Path(__file__).resolve().parents[1] / "tests" / "data" / "chess960_perft.txt"
DEPTH = 4
START_ARRAYS = 220
GAME_POSITIONS = 60
SEED = 960


def perft(board, depth):
    if depth == 1:
        return board.legal_moves.count()
    nodes = 0
    for move in board.legal_moves:
        board.push(move)
        nodes += perft(board, depth - 1)
        board.pop()
    return nodes


def odd_rook_rights(board):
    """Whether both colours hold a right whose rook is on neither the a- nor the h-file."""
    odd = board.castling_rights & ~chess.BB_CORNERS
    return bool(odd & chess.BB_RANK_1) and bool(odd & chess.BB_RANK_8)


def game_positions(rng, count):
    found = []
    while len(found) < count:
        board = chess.Board.from_chess960_pos(rng.randrange(960))
        for _ in range(rng.randrange(4, 24)):
            moves = list(board.legal_moves)
            if not moves:
                break
            # Castling whenever possible keeps the castling moves in the sample.
            castles = [m for m in moves if board.is_castling(m)]
            board.push(rng.choice(castles if castles and rng.random() < 0.3 else moves))
        if not board.is_game_over() and board.castling_rights and (odd_rook_rights(board) or rng.random() < 0.2):
            found.append(board.fen())
    return found


def sample(rng):
    numbers = sorted({518, *rng.sample(range(960), START_ARRAYS - 1)})[:START_ARRAYS]
    starts = [chess.Board.from_chess960_pos(n).fen() for n in numbers]
    return starts + game_positions(rng, GAME_POSITIONS)


def count(fen):
    return perft(chess.Board(fen, chess960=True), DEPTH)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--jobs", type=int, default=2)
    args = parser.parse_args()
    fens = sample(random.Random(SEED))
    with concurrent.futures.ProcessPoolExecutor(args.jobs) as pool:
        counts = list(pool.map(count, fens, chunksize=4))
    OUT.parent.mkdir(exist_ok=True)
    OUT.write_text("".join(f"{fen};{DEPTH};{nodes}\n" for fen, nodes in zip(fens, counts)))
    print(f"{len(fens)} positions written to {OUT}")


if __name__ == "__main__":
    main()

"""Random games played through step, checked ply by ply against python-chess.

At every ply: the legal actions (decoded to source, target and promotion),
the move word behind each action, the position hash and the no-progress
count. After every step: side to move, reward and done, with checkmate and
stalemate taken from python-chess and the repetition and no-progress limits
from the environment's own rules (third recording of a position hash,
no-progress count 50).
"""

import random

import chess
import pytest
import varnok

from conftest import decode, encode_move, expected_hash, expected_move_word, flip, legal_actions

STARTS = [
    None,  # reset
    "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1",
    "8/2p5/3p4/KP5r/1R3p1k/8/4P1P1/8 w - - 0 1",
    "r3k2r/Pppp1ppp/1b3nbN/nP6/BBP1P3/q4N2/Pp1P2PP/R2Q1RK1 w kq - 0 1",
    "rnbq1k1r/pp1Pbppp/2p5/8/2B5/8/PPP1NnPP/RNBQK2R w KQ - 1 8",
    "n1n5/PPPk4/8/8/8/8/4Kppp/5N1N b - - 0 1",
    "rnbqkbnr/ppp1p1pp/8/3pPp2/8/8/PPPP1PPP/RNBQKBNR w KQkq f6 0 3",
    "8/8/8/K2pP2r/8/8/8/7k w - d6 0 1",
    "8/8/3k4/8/8/3K4/3Q4/8 w - - 0 1",
    "6k1/5ppp/8/8/8/8/5PPP/3R2K1 w - - 0 1",
    "r3k2r/8/8/8/8/8/8/R3K2R b KQkq - 0 1",
    "k7/8/8/8/8/8/1Q6/K7 w - - 0 1",
    "7k/8/5K2/8/8/8/6Q1/8 b - - 0 1",
    "k7/2Q5/8/1K6/8/8/8/8 w - - 0 1",
    "7k/5K2/8/6P1/8/8/8/8 w - - 0 1",
]
GAMES = 312
MAX_PLIES = 120


def check_listing(env, board, no_progress):
    actions = legal_actions(env)
    side = 0 if board.turn == chess.WHITE else 1
    pawns = {flip(sq) for sq in board.pieces(chess.PAWN, board.turn)}
    decoded = sorted(decode(a, side, a % 64 in pawns) for a in actions)
    expected = sorted(
        (flip(m.from_square), flip(m.to_square),
         chess.piece_symbol(m.promotion) if m.promotion else None)
        for m in board.legal_moves)
    assert decoded == expected, board.fen()
    st = env.save_state()
    words = {encode_move(board, m): expected_move_word(board, m) for m in board.legal_moves}
    assert st.move_index == words, board.fen()
    assert env.hash_state() == expected_hash(board), board.fen()
    assert st.no_progress_count == no_progress, board.fen()
    assert st.side == side


def choose(rng, board, moves):
    """Uniform play, leaning towards captures, promotions and checks so that
    games reach decided endings."""
    if rng.random() < 0.6:
        forcing = [m for m in moves
                   if board.is_capture(m) or m.promotion or board.gives_check(m)]
        if forcing:
            return rng.choice(forcing)
    return rng.choice(moves)


def play_game(seed):
    rng = random.Random(seed)
    fen = STARTS[seed % len(STARTS)]
    env = varnok.ChessEnv()
    if fen is None:
        env.reset()
        board = chess.Board()
    else:
        env.parse_fen(fen)
        board = chess.Board(fen)
        assert board.is_valid()
    # A loaded position is not counted until a step reaches it; reset counts it.
    counts = {expected_hash(board): 1} if fen is None else {}
    no_progress = 0
    ending = "cap"
    for _ in range(MAX_PLIES):
        check_listing(env, board, no_progress)
        move = choose(rng, board, list(board.legal_moves))
        progress = board.is_capture(move) or board.piece_type_at(move.from_square) == chess.PAWN
        side, _, reward, done = env.step(encode_move(board, move))
        board.push(move)
        no_progress = 1 if progress else no_progress + 1
        h = expected_hash(board)
        counts[h] = counts.get(h, 0) + 1
        assert side == (0 if board.turn == chess.WHITE else 1)
        if board.is_checkmate():
            assert (reward, done) == ((1 if board.turn == chess.BLACK else -1), 1), board.fen()
            ending = "mate"
        elif board.is_stalemate():
            assert (reward, done) == (0, 1), board.fen()
            ending = "stalemate"
        else:
            draw = counts[h] == 3 or no_progress >= 50
            assert (reward, done) == (0, int(draw)), board.fen()
            ending = "draw" if draw else ending
        if done:
            break
    if ending in ("mate", "stalemate"):
        assert legal_actions(env) == []
    return ending


def test_random_games_agree_with_python_chess():
    endings = {}
    for seed in range(GAMES):
        try:
            ending = play_game(seed)
        except AssertionError as error:
            error.add_note(f"game seed {seed}")
            raise
        endings[ending] = endings.get(ending, 0) + 1
    # The sample must actually reach every kind of ending.
    assert endings.get("mate", 0) >= 10 and endings.get("stalemate", 0) >= 3
    assert endings.get("draw", 0) >= 10

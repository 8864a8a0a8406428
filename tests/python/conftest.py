"""Shared fixtures and helpers for the varnok Python tests.

Squares are numbered as the environment numbers them: 0 = a8, 7 = h8,
56 = a1, 63 = h1. python-chess numbers a1 = 0 ... h8 = 63, so the two
numberings differ by flipping the rank: chess_square = square ^ 56.
"""

import itertools

import chess
import pytest
import varnok

PIECE_LETTERS = "PNBRQKpnbrqk"
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"

# Direction codes as seen by white: (row step, file step), row 0 = rank 8.
# Black's code for a board direction is white's code + 4 (mod 8).
WHITE_DIRECTIONS = [(-1, -1), (-1, 0), (-1, 1), (0, 1), (1, 1), (1, 0), (1, -1), (0, -1)]
# Knight planes keyed by source - target.
KNIGHT_PLANE = {17: 56, 15: 57, 6: 58, -10: 59, -17: 60, -15: 61, -6: 62, 10: 63}
KNIGHT_DELTA = {plane: delta for delta, plane in KNIGHT_PLANE.items()}
UNDER_PROMOTIONS = "nbr"

FLAG_CAPTURE = 1 << 20
FLAG_DOUBLE_PUSH = 1 << 21
FLAG_EN_PASSANT = 1 << 22
FLAG_CASTLING = 1 << 23

MASK64 = (1 << 64) - 1


def square(name):
    """'a8' -> 0, 'h1' -> 63."""
    return (ord(name[0]) - ord("a")) + 8 * (8 - int(name[1]))


def square_name(sq):
    return "abcdefgh"[sq % 8] + str(8 - sq // 8)


def to_chess(sq):
    """Environment square -> python-chess square (the mapping is its own inverse)."""
    return sq ^ 56


from_chess = to_chess


def _sign(x):
    return (x > 0) - (x < 0)


def direction_code(source, target, side):
    dr = _sign(target // 8 - source // 8)
    df = _sign(target % 8 - source % 8)
    code = WHITE_DIRECTIONS.index((dr, df))
    return (code + 4) % 8 if side else code


def encode(source, target, side, knight=False, promotion=None):
    """Action index of a move given by environment squares.

    promotion is None or one of 'q', 'r', 'b', 'n'; a queen promotion is the
    one-square pawn move in the direction planes.
    """
    if knight:
        return KNIGHT_PLANE[source - target] * 64 + source
    d = direction_code(source, target, side)
    if promotion in ("n", "b", "r"):
        return (64 + 3 * d + UNDER_PROMOTIONS.index(promotion)) * 64 + source
    distance = max(abs(target // 8 - source // 8), abs(target % 8 - source % 8))
    return (7 * d + distance - 1) * 64 + source


def encode_uci(uci, side, knight=False):
    return encode(square(uci[:2]), square(uci[2:4]), side, knight, uci[4:] or None)


def encode_move(board, move):
    """Action index of a python-chess move on a python-chess board."""
    side = 0 if board.turn == chess.WHITE else 1
    knight = board.piece_type_at(move.from_square) == chess.KNIGHT
    promo = chess.piece_symbol(move.promotion) if move.promotion else None
    return encode(from_chess(move.from_square), from_chess(move.to_square), side, knight, promo)


def decode(action, side, pawn_on_source):
    """Action index -> (source, target, promotion letter or None), environment squares."""
    plane, source = divmod(action, 64)
    if 56 <= plane < 64:
        return source, source - KNIGHT_DELTA[plane], None
    if plane >= 64:
        d, kind = divmod(plane - 64, 3)
        distance, promo = 1, UNDER_PROMOTIONS[kind]
    else:
        d, distance = divmod(plane, 7)
        distance += 1
        promo = None
    dr, df = WHITE_DIRECTIONS[(d + 4 * side) % 8]
    target = source + distance * (8 * dr + df)
    if promo is None and pawn_on_source and target // 8 in (0, 7):
        promo = "q"
    return source, target, promo


def legal_actions(env):
    """Sorted list of the action indices set in the mask of get_actions."""
    mask = env.get_actions()
    assert len(mask) == 73 and all(len(row) == 64 for row in mask)
    return [i for i, v in enumerate(itertools.chain.from_iterable(mask)) if v]


def pieces(state):
    """{square: piece letter} of a State's bitboards."""
    bitboards = [int(b) for b in state.bitboards]
    out = {}
    for k, bb in enumerate(bitboards):
        for sq in range(64):
            if bb >> sq & 1:
                out[sq] = PIECE_LETTERS[k]
    return out


def castle_bits(board):
    return (
        board.has_kingside_castling_rights(chess.WHITE) * 1
        | board.has_queenside_castling_rights(chess.WHITE) * 2
        | board.has_kingside_castling_rights(chess.BLACK) * 4
        | board.has_queenside_castling_rights(chess.BLACK) * 8
    )


def piece_bitboards(board):
    """The 12 environment bitboards of a python-chess board, in 'PNBRQK pnbrqk' order."""
    out = []
    for color in (chess.WHITE, chess.BLACK):
        for piece_type in range(1, 7):
            out.append(chess.flip_vertical(int(board.pieces(piece_type, color))))
    return out


def expected_hash(board):
    """The position hash, computed from a python-chess board."""
    h = 0xCBF29CE484222325
    for bb in piece_bitboards(board):
        h ^= (bb * 0x9E3779B97F4A7C15) & MASK64
    if board.turn == chess.WHITE:
        h ^= 0xA5A5A5A5A5A5A5A5
    if board.ep_square is not None:
        h ^= 1 << from_chess(board.ep_square)
    h ^= (castle_bits(board) * 0xF0F0F0F0F0F0F0F0) & MASK64
    return h


def expected_move_word(board, move):
    """The packed move word of a python-chess move."""
    color = 0 if board.turn == chess.WHITE else 1
    piece_type = board.piece_type_at(move.from_square)
    source, target = from_chess(move.from_square), from_chess(move.to_square)
    word = source | target << 6 | (6 * color + piece_type - 1) << 12
    if move.promotion:
        word |= (6 * color + move.promotion - 1) << 16
    if board.is_capture(move):
        word |= FLAG_CAPTURE
    if piece_type == chess.PAWN and abs(source - target) == 16:
        word |= FLAG_DOUBLE_PUSH
    if board.is_en_passant(move):
        word |= FLAG_EN_PASSANT
    if board.is_castling(move):
        word |= FLAG_CASTLING
    return word


def play_uci(env, board, moves):
    """Play UCI moves on env and on the python-chess board; return the last result."""
    result = None
    for uci in moves.split():
        move = chess.Move.from_uci(uci)
        assert move in board.legal_moves, uci
        result = env.step(encode_move(board, move))
        board.push(move)
    return result


STATE_FIELDS = (
    "side", "enpassant", "castle", "state_history", "move_index", "state_pos",
    "total_move_count", "no_progress_count", "repetition_count", "n_repititions",
    "prev_n_repititions",
)


def state_dict(state):
    """Every field of a State as plain Python values, for comparisons."""
    out = {name: getattr(state, name) for name in STATE_FIELDS}
    out["bitboards"] = [int(b) for b in state.bitboards]
    out["occupancies"] = [int(b) for b in state.occupancies]
    return out


@pytest.fixture
def env():
    return varnok.ChessEnv()


@pytest.fixture
def started():
    """A ChessEnv right after reset, and its reset result."""
    e = varnok.ChessEnv()
    return e, e.reset()

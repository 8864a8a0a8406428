"""Shared fixtures and helpers.

Squares are numbered as the environment numbers them: 0 = a8 ... 63 = h1.
python-chess numbers a1 = 0 ... h8 = 63; the two differ by flipping the
rank, square ^ 56 (its own inverse).
"""

import itertools
import os
import pathlib
import signal
import subprocess
import sys

import chess
import pytest
import varnok

# The suite may start with SIGINT ignored: a background job of a shell
# without job control (a CI script's `cmd &`) ignores it, and every process
# it starts inherits that, Python included, which then installs no
# KeyboardInterrupt handler. The Ctrl-C tests need SIGINT as a terminal
# gives it, here and in the processes they start (a handler, unlike an
# ignored signal, is reset to the default across exec).
if signal.getsignal(signal.SIGINT) is signal.SIG_IGN:
    signal.signal(signal.SIGINT, signal.default_int_handler)

PIECE_LETTERS = "PNBRQKpnbrqk"
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# Direction codes as seen by white, as (row step, file step), row 0 = rank 8.
# Black's code for the same board direction is white's + 4 (mod 8).
DIRECTIONS = [(-1, -1), (-1, 0), (-1, 1), (0, 1), (1, 1), (1, 0), (1, -1), (0, -1)]
KNIGHT_PLANE = {17: 56, 15: 57, 6: 58, -10: 59, -17: 60, -15: 61, -6: 62, 10: 63}  # by source - target
KNIGHT_DELTA = {plane: delta for delta, plane in KNIGHT_PLANE.items()}
CAPTURE, DOUBLE_PUSH, EN_PASSANT, CASTLING = 1 << 20, 1 << 21, 1 << 22, 1 << 23
MASK64 = (1 << 64) - 1


def square(name):
    return (ord(name[0]) - ord("a")) + 8 * (8 - int(name[1]))


def flip(sq):
    """Environment square <-> python-chess square."""
    return sq ^ 56


def encode(source, target, side, knight=False, promotion=None):
    """Action index of a move; a queen promotion is the one-square pawn move."""
    if knight:
        return KNIGHT_PLANE[source - target] * 64 + source
    dr, df = target // 8 - source // 8, target % 8 - source % 8
    d = DIRECTIONS.index(((dr > 0) - (dr < 0), (df > 0) - (df < 0)))
    d = (d + 4 * side) % 8
    if promotion in ("n", "b", "r"):
        return (64 + 3 * d + "nbr".index(promotion)) * 64 + source
    return (7 * d + max(abs(dr), abs(df)) - 1) * 64 + source


def encode_uci(uci, side, knight=False):
    return encode(square(uci[:2]), square(uci[2:4]), side, knight, uci[4:] or None)


def encode_move(board, move):
    """Action index of a python-chess move on a python-chess board."""
    return encode(flip(move.from_square), flip(move.to_square), int(board.turn == chess.BLACK),
                  board.piece_type_at(move.from_square) == chess.KNIGHT,
                  chess.piece_symbol(move.promotion) if move.promotion else None)


def decode(action, side, pawn_on_source):
    """Action index -> (source, target, promotion letter or None)."""
    plane, source = divmod(action, 64)
    if 56 <= plane < 64:
        return source, source - KNIGHT_DELTA[plane], None
    if plane >= 64:
        d, distance, promo = (plane - 64) // 3, 1, "nbr"[(plane - 64) % 3]
    else:
        d, distance, promo = plane // 7, plane % 7 + 1, None
    dr, df = DIRECTIONS[(d + 4 * side) % 8]
    target = source + distance * (8 * dr + df)
    if promo is None and pawn_on_source and target // 8 in (0, 7):
        promo = "q"
    return source, target, promo


def legal_actions(env):
    """Sorted action indices set in the mask of get_actions."""
    mask = env.get_actions()
    assert len(mask) == 73 and all(len(row) == 64 for row in mask)
    return [i for i, v in enumerate(itertools.chain.from_iterable(mask)) if v]


def pieces(state):
    """{square: piece letter} from a State's bitboards."""
    return {sq: PIECE_LETTERS[k] for k, bb in enumerate(state.bitboards.tolist())
            for sq in range(64) if bb >> sq & 1}


def castle_bits(board):
    return sum(bit for bit, has in (
        (1, board.has_kingside_castling_rights(chess.WHITE)),
        (2, board.has_queenside_castling_rights(chess.WHITE)),
        (4, board.has_kingside_castling_rights(chess.BLACK)),
        (8, board.has_queenside_castling_rights(chess.BLACK))) if has)


def piece_bitboards(board):
    """The 12 environment bitboards of a python-chess board, 'PNBRQKpnbrqk' order."""
    return [chess.flip_vertical(int(board.pieces(pt, color)))
            for color in (chess.WHITE, chess.BLACK) for pt in range(1, 7)]


def expected_hash(board):
    h = 0xCBF29CE484222325
    for bb in piece_bitboards(board):
        h ^= (bb * 0x9E3779B97F4A7C15) & MASK64
    if board.turn == chess.WHITE:
        h ^= 0xA5A5A5A5A5A5A5A5
    if board.ep_square is not None:
        h ^= 1 << flip(board.ep_square)
    return h ^ (castle_bits(board) * 0xF0F0F0F0F0F0F0F0) & MASK64


def expected_move_word(board, move):
    color = int(board.turn == chess.BLACK)
    piece_type = board.piece_type_at(move.from_square)
    source, target = flip(move.from_square), flip(move.to_square)
    word = source | target << 6 | (6 * color + piece_type - 1) << 12
    if move.promotion:
        word |= (6 * color + move.promotion - 1) << 16
    if board.is_capture(move):
        word |= CAPTURE
    if piece_type == chess.PAWN and abs(source - target) == 16:
        word |= DOUBLE_PUSH
    if board.is_en_passant(move):
        word |= EN_PASSANT
    if board.is_castling(move):
        word |= CASTLING
    return word


def play_uci(env, board, moves):
    """Play UCI moves on env and on the python-chess board; return the results."""
    results = []
    for uci in moves.split():
        move = chess.Move.from_uci(uci)
        assert move in board.legal_moves, uci
        results.append(env.step(encode_move(board, move)))
        board.push(move)
    return results


def env_at(fen):
    """A ChessEnv with its game loaded from fen."""
    env = varnok.ChessEnv()
    env.load_fen(fen)
    return env


STATE_FIELDS = ("side", "enpassant", "castle", "state_history", "move_index", "state_pos",
                "total_move_count", "no_progress_count", "repetition_count",
                "n_repititions", "prev_n_repititions")


def state_dict(state):
    """Every field of a State as plain values, for comparisons."""
    out = {name: getattr(state, name) for name in STATE_FIELDS}
    out["bitboards"] = state.bitboards.tolist()
    out["occupancies"] = state.occupancies.tolist()
    return out


# Files whose every test drives native threads or interrupts them; the rest
# mark such tests themselves with @pytest.mark.threads.
THREAD_TEST_FILES = ("test_interrupt.py", "test_threads*.py")


def pytest_collection_modifyitems(items):
    for item in items:
        if any(item.path.match(pattern) for pattern in THREAD_TEST_FILES):
            item.add_marker(pytest.mark.threads)


def pytest_sessionstart(session):
    """Under tools/sanitize_python.sh, refuse to run on any _core but the sanitized one."""
    expected = os.environ.get("VARNOK_EXPECT_CORE")
    if expected and pathlib.Path(varnok._core.__file__).resolve() != pathlib.Path(expected).resolve():
        pytest.exit(f"varnok._core was imported from {varnok._core.__file__}, not {expected}", returncode=3)


@pytest.fixture
def env():
    return varnok.ChessEnv()


@pytest.fixture
def started():
    """A ChessEnv right after reset, and its reset result."""
    e = varnok.ChessEnv()
    return e, e.reset()


# A test marked in_child sends signals into its own process (or otherwise
# depends on the world around a call): it runs in a fresh interpreter with a
# time limit, so that a signal that is never acted on fails that test
# instead of stalling the whole suite.
IN_CHILD = "VARNOK_TEST_IN_CHILD"


def pytest_pyfunc_call(pyfuncitem):
    marker = pyfuncitem.get_closest_marker("in_child")
    if marker is None or os.environ.get(IN_CHILD):
        return None
    timeout = marker.kwargs.get("timeout", 180)
    # A child still running near its limit prints every thread's stack, so a hang says where it is.
    command = [sys.executable, "-m", "pytest", "-q", "-rs", "-p", "no:cacheprovider", "--capture=sys",
               "-o", f"faulthandler_timeout={max(1, timeout - 10)}", pyfuncitem.nodeid]
    try:
        done = subprocess.run(command, cwd=pyfuncitem.config.rootpath, env={**os.environ, IN_CHILD: "1"},
                              capture_output=True, text=True, timeout=timeout)
    except subprocess.TimeoutExpired as e:
        hung = "".join(part.decode(errors="replace") if isinstance(part, bytes) else (part or "")
                       for part in (e.stdout, e.stderr))
    else:
        hung = None
    if hung is not None:
        pytest.fail(f"did not end within {timeout} s in its child process (a hang)\n{hung[-6000:]}", pytrace=False)
    if done.returncode != 0:
        pytest.fail(f"failed in its child process (exit status {done.returncode})\n"
                    f"{done.stdout[-4000:]}{done.stderr[-2000:]}", pytrace=False)
    if " passed" not in done.stdout and " skipped" in done.stdout:
        reasons = [line for line in done.stdout.splitlines() if line.startswith("SKIPPED")]
        pytest.skip(f"in its child process: {reasons[0] if reasons else 'skipped'}")
    return True

"""Conversions between varnok's action numbers and those of PettingZoo's chess
(chess_v6) and pgx's chess.

All three encode a move as a source square and one of 73 move kinds (56
"queen" moves: direction and distance; 8 knight jumps; 9 under-promotions:
three directions times knight, bishop, rook), so each conversion is a
permutation of the 4,672 numbers for each side to move. They differ in how
squares and kinds are numbered and in how black's moves are seen:

- varnok: ``plane * 64 + square``, squares 0 = a8 ... 63 = h1 as on the board;
  directions are seen from the side to move (black's "ahead" is towards
  rank 1, so black's left and right are white's right and left); knight
  planes are the same for both sides.
- PettingZoo chess_v6: ``(file * 8 + rank) * 73 + plane`` on the board as the
  side to move sees it, black's board mirrored top to bottom (ranks
  reversed, files kept); planes 0-55 ``(distance - 1) * 8 + direction`` with
  the eight directions in the order (file step, rank step) = (-1,-1),
  (-1,0), (-1,1), (0,-1), (0,1), (1,-1), (1,0), (1,1); planes 56-63 knight
  jumps in the order (-2,-1), (-2,1), (-1,-2), (-1,2), (1,-2), (1,2),
  (2,-1), (2,1); planes 64-72 ``3 * (file step + 1) + piece`` for the
  under-promotions (knight 0, bishop 1, rook 2).
- pgx chess: ``(file * 8 + rank) * 73 + plane``, black's board mirrored
  top to bottom as above; planes 0-8 the under-promotions
  ``3 * piece + direction`` (piece rook 0, bishop 1, knight 2; direction
  straight 0, towards the h-file 1, towards the a-file 2), planes 9-72 the
  queen moves and knight jumps in pgx's own order (``_PGX_PLANE``).

Every function takes an action and the side to move (0 white, 1 black) as
ints or as NumPy integer arrays (broadcast against each other) and returns
an int or an ``int64`` array of the broadcast shape. The tables behind them
are ``(2, 4672)`` arrays built once from the geometry of each move.
"""

from __future__ import annotations

import numpy as np

from varnok._core import ACTIONS  # the size of the action space, as the core numbers actions


# varnok directions as (row step, file step), row 0 = rank 8, as white sees
# them; black's direction d is white's d + 4 (mod 8).
_VARNOK_DIRECTIONS = [(-1, -1), (-1, 0), (-1, 1), (0, 1), (1, 1), (1, 0), (1, -1), (0, -1)]
# varnok knight planes 56-63 by source - target in varnok square numbers.
_VARNOK_KNIGHT_DELTA = [17, 15, 6, -10, -17, -15, -6, 10]

_PZ_QUEEN = [(x, y) for x in (-1, 0, 1) for y in (-1, 0, 1) if (x, y) != (0, 0)]
_PZ_KNIGHT = [(x, y) for x in range(-2, 3) for y in range(-2, 3) if abs(x) + abs(y) == 3]


def _varnok_move(action: int, side: int):
    """(file, rank, file step, rank step, under-promotion piece or None),
    absolute board geometry (rank 0 = rank 1, steps towards rank 8 positive)."""
    plane, square = divmod(action, 64)
    file, rank = square % 8, 7 - square // 8
    if 56 <= plane < 64:
        delta = _VARNOK_KNIGHT_DELTA[plane - 56]
        # target = source - delta, with squares row * 8 + file (rows downwards)
        for dr in (-2, -1, 1, 2):
            for df in (-2, -1, 1, 2):
                if abs(dr) + abs(df) == 3 and 8 * dr + df == -delta:
                    return file, rank, df, -dr, None
        raise AssertionError(plane)
    if plane >= 64:
        direction, distance, piece = (plane - 64) // 3, 1, "nbr"[(plane - 64) % 3]
    else:
        direction, distance, piece = plane // 7, plane % 7 + 1, None
    dr, df = _VARNOK_DIRECTIONS[(direction + 4 * side) % 8]
    return file, rank, df * distance, -dr * distance, piece


def _sign(v: int) -> int:
    return (v > 0) - (v < 0)


def _pz_action(file, rank, dx, dy, piece, side):
    if side:  # black's board mirrored top to bottom
        rank, dy = 7 - rank, -dy
    if (dx, dy) in _PZ_KNIGHT:
        plane = 56 + _PZ_KNIGHT.index((dx, dy))
    elif piece is not None:
        plane = 64 + 3 * (dx + 1) + "nbr".index(piece)
    else:
        plane = (max(abs(dx), abs(dy)) - 1) * 8 + _PZ_QUEEN.index((_sign(dx), _sign(dy)))
    return (file * 8 + rank) * 73 + plane


# pgx's planes 9-72 as (rank step, file step), in pgx's order: rays down,
# up, left, right (each from distance 7 or 1 outwards as pgx lists them),
# the four diagonals, then the eight knight jumps.
_SEQ, _RSEQ, _ZEROS = list(range(1, 8)), list(range(-7, 0)), [0] * 7
_PGX_DR = _RSEQ + _SEQ + _ZEROS + _ZEROS + _RSEQ + _SEQ + _SEQ[::-1] + _RSEQ[::-1] + [-1, 1, -2, 2, -1, 1, -2, 2]
_PGX_DC = _ZEROS + _ZEROS + _RSEQ + _SEQ + _RSEQ + _SEQ + _RSEQ + _SEQ + [-2, -2, -1, -1, 2, 2, 1, 1]
_PGX_PLANE = {(dc, dr): 9 + i for i, (dr, dc) in enumerate(zip(_PGX_DR, _PGX_DC))}
# pgx under-promotions, planes 0-8: 3 * piece (rook, bishop, knight) + direction
# (file step 0, +1, -1; always one rank forward).
_PGX_UNDER_DIRECTION = {0: 0, 1: 1, -1: 2}


def _pgx_action(file, rank, dx, dy, piece, side):
    if side:  # black's board mirrored top to bottom
        rank, dy = 7 - rank, -dy
    if piece is not None and abs(dx) <= 1:
        plane = 3 * "rbn".index(piece) + _PGX_UNDER_DIRECTION[dx]
    else:
        plane = _PGX_PLANE[(dx, dy)]
    return (file * 8 + rank) * 73 + plane


def _table(encode):
    table = np.empty((2, ACTIONS), dtype=np.int64)
    for side in (0, 1):
        for action in range(ACTIONS):
            table[side, action] = encode(*_varnok_move(action, side), side)
        if len(set(table[side].tolist())) != ACTIONS:
            raise AssertionError("action conversion is not one-to-one")
    inverse = np.empty_like(table)
    for side in (0, 1):
        inverse[side, table[side]] = np.arange(ACTIONS)
    table.setflags(write=False)
    inverse.setflags(write=False)
    return table, inverse


def _index(values, name: str, size: int) -> np.ndarray:
    """values (an int or integers) as indices into a table's axis of size,
    checked first: NumPy's indexing would take -1 for the last action and
    cut 564.5 to action 564, a move no caller asked for."""
    array = np.asarray(values)
    if array.size == 0:
        return array.astype(np.intp)
    if array.dtype.kind not in "iub":
        got = repr(values) if array.ndim == 0 else f"an array of {array.dtype}"
        raise TypeError(f"{name} must be an integer or integers, got {got}")
    outside = (array < 0) | (array >= size)
    if outside.any():
        raise ValueError(f"{name} must be 0 to {size - 1}, got {array[outside].flat[0]}")
    return array.astype(np.intp)


def _convert(table, action, side):
    out = table[_index(side, "side", 2), _index(action, "action", ACTIONS)]
    return int(out) if out.ndim == 0 else out


_TO_PZ, _FROM_PZ = _table(_pz_action)


def to_pettingzoo(action, side):
    """PettingZoo chess_v6's number for varnok action(s) with `side` (0 white, 1 black) to move."""
    return _convert(_TO_PZ, action, side)


def from_pettingzoo(action, side):
    """varnok's number for PettingZoo chess_v6 action(s) with `side` to move."""
    return _convert(_FROM_PZ, action, side)


_TO_PGX, _FROM_PGX = _table(_pgx_action)


def to_pgx(action, side):
    """pgx chess's number for varnok action(s) with `side` (0 white, 1 black) to move."""
    return _convert(_TO_PGX, action, side)


def from_pgx(action, side):
    """varnok's number for pgx chess action(s) with `side` to move."""
    return _convert(_FROM_PGX, action, side)

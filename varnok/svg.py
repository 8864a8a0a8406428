"""SVG pictures of a ChessEnv's board, for notebooks and reports.

``ChessEnv.svg()`` and Jupyter (through ``ChessEnv._repr_svg_``) call
``board_svg``. The position is read through the extension (FEN, the move log,
whether the side to move is in check); the pieces are Unicode chess glyphs,
so the picture needs no image files.
"""

from __future__ import annotations

from typing import TYPE_CHECKING
from xml.sax.saxutils import quoteattr

from varnok._checks import integer
from varnok._fen import placement, square_of

if TYPE_CHECKING:
    from varnok._core import ChessEnv

__all__ = ["board_svg"]

LIGHT, DARK = "#f0d9b5", "#b58863"
LAST_MOVE = "#cdd26a"
CHECK = "#e8412c"
# The filled glyphs for both colours, so white and black pieces differ only by fill.
GLYPHS = {"k": "\u265a", "q": "\u265b", "r": "\u265c", "b": "\u265d", "n": "\u265e", "p": "\u265f"}
NAMES = {"k": "king", "q": "queen", "r": "rook", "b": "bishop", "n": "knight", "p": "pawn"}
SQUARE = 40          # user units per square
MARGIN = 20          # room for the labels left of and below the board
FILES = "abcdefgh"
MIN_SIZE = 64        # the labels' 12-unit font stays readable


def highlighted_squares(env: ChessEnv, fen: str, pieces: dict[int, str], last_move: bool = True,
                        check: bool = True) -> dict[int, str]:
    """{square: "last-move" or "check"}: the squares a picture of env marks.

    The last move's two squares, and the square of a king in check (drawn
    over the last move's mark when the two meet).
    """
    marked: dict[int, str] = {}
    if last_move:
        moves = env.moves_uci()
        if moves:
            for square in (square_of(moves[-1][0:2]), square_of(moves[-1][2:4])):
                marked[square] = "last-move"
    if check and env.in_check():
        king = "K" if fen.split()[1] == "w" else "k"
        for square, letter in pieces.items():
            if letter == king:
                marked[square] = "check"
    return marked


def checked_size(size: object) -> int:
    """size as an int of at least MIN_SIZE pixels (a NumPy integer too, as
    every count is taken): TypeError for a float or a str, which would
    otherwise be cut down or written into the picture as it is."""
    pixels: int = integer(size, "size")
    if pixels < MIN_SIZE:
        raise ValueError(f"size must be at least {MIN_SIZE} pixels, got {pixels}")
    return pixels


def _square_name(square: int) -> str:
    return f"{FILES[square % 8]}{8 - square // 8}"


def board_svg(env: ChessEnv, size: int = 400, last_move: bool = True, check: bool = True,
              flipped: bool = False) -> str:
    """The board of env as an SVG document (a str); see ChessEnv.svg."""
    size = checked_size(size)
    fen = env.fen()
    pieces = placement(fen)
    highlighted = {square: (kind, CHECK if kind == "check" else LAST_MOVE)
                   for square, kind in highlighted_squares(env, fen, pieces, last_move, check).items()}

    def corner(square: int) -> tuple[int, int]:
        row, column = divmod(square, 8)
        if flipped:
            row, column = 7 - row, 7 - column
        return MARGIN + column * SQUARE, row * SQUARE

    extent = MARGIN + 8 * SQUARE
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{size}" height="{size}" '
           f'viewBox="0 0 {extent} {extent}" font-family="DejaVu Sans, Segoe UI Symbol, sans-serif">',
           f"<title>{fen}</title>"]
    for square in range(64):
        x, y = corner(square)
        row, column = divmod(square, 8)
        light = (row + column) % 2 == 0
        name = _square_name(square)
        out.append(f'<rect class="square {"light" if light else "dark"}" data-square="{name}" x="{x}" y="{y}" '
                   f'width="{SQUARE}" height="{SQUARE}" fill="{LIGHT if light else DARK}"/>')
        if square in highlighted:
            kind, colour = highlighted[square]
            out.append(f'<rect class="{kind}" data-square="{name}" x="{x}" y="{y}" width="{SQUARE}" '
                       f'height="{SQUARE}" fill="{colour}" fill-opacity="0.75"/>')
    for square, letter in sorted(pieces.items()):
        x, y = corner(square)
        white = letter.isupper()
        kind = letter.lower()
        label = f"{'white' if white else 'black'} {NAMES.get(kind, 'piece')}"
        out.append(f'<text class="piece" data-square="{_square_name(square)}" data-piece={quoteattr(letter)} '
                   f'aria-label="{label}" x="{x + SQUARE / 2}" y="{y + SQUARE * 0.8}" font-size="{SQUARE * 0.85}" '
                   f'text-anchor="middle" fill="{"#ffffff" if white else "#000000"}" stroke="#000000" '
                   f'stroke-width="{1.2 if white else 0.5}">{GLYPHS.get(kind, "?")}</text>')
    for i in range(8):
        file_letter = FILES[7 - i] if flipped else FILES[i]
        rank_digit = str(i + 1) if flipped else str(8 - i)
        out.append(f'<text class="file-label" x="{MARGIN + i * SQUARE + SQUARE / 2}" y="{8 * SQUARE + 15}" '
                   f'font-size="12" text-anchor="middle">{file_letter}</text>')
        out.append(f'<text class="rank-label" x="{MARGIN / 2}" y="{i * SQUARE + SQUARE / 2 + 4}" '
                   f'font-size="12" text-anchor="middle">{rank_digit}</text>')
    out.append("</svg>")
    return "\n".join(out)

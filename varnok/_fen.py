"""Reading a FEN's placement field, for the pictures and text renderings."""

from __future__ import annotations


def placement(fen: str) -> dict[int, str]:
    """{square: piece letter} from a FEN's placement field, squares 0 = a8 ... 63 = h1."""
    pieces: dict[int, str] = {}
    for row, rank_text in enumerate(fen.split()[0].split("/")):
        column = 0
        for char in rank_text:
            if char.isdigit():
                column += int(char)
            else:
                pieces[8 * row + column] = char
                column += 1
    return pieces


def board_text(fen: str) -> str:
    """The board of a FEN as eight lines, rank 8 first, '.' for empty squares."""
    pieces = placement(fen)
    return "".join(" ".join(pieces.get(8 * row + column, ".") for column in range(8)) + "\n" for row in range(8))


def square_of(name: str) -> int:
    """The square number (0 = a8 ... 63 = h1) of a square name such as "e4"."""
    return 8 * (8 - int(name[1])) + "abcdefgh".index(name[0])

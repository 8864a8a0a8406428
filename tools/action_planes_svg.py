"""Draws the picture of the 73 action planes for the documentation.

    ./dev py tools/action_planes_svg.py docs/concepts/action-planes.svg

Every label is read from varnok itself: for three positions (a queen, a
knight, a pawn about to promote) each legal action of the piece is split
into its plane (action // 64) and its target square (from the action's UCI),
and the plane number is written on the target square. So the picture shows
the numbering the module uses, not a drawing of it.
"""

from __future__ import annotations

import sys
from collections import defaultdict

import varnok

SQUARE = 44
GAP = 24
TITLE = 28
LIGHT, DARK, FROM = "#f0d9b5", "#b58863", "#cdd26a"
GLYPHS = {"Q": "\u2655", "N": "\u2658", "P": "\u2659"}
FILES = "abcdefgh"
# (title, FEN, source square name): the white piece whose actions are drawn.
PANELS = (
    ("0-55: 7 x direction + distance - 1", "8/8/7k/8/3Q4/8/K7/8 w - - 0 1", "d4"),
    ("56-63: knight jumps", "8/8/7k/8/3N4/8/K7/8 w - - 0 1", "d4"),
    ("64-72: promotion to N, B, R (Q: 0, 7, 14)", "2r1r3/3P4/7k/8/8/8/K7/8 w - - 0 1", "d7"),
)


def square_index(name: str) -> int:
    """varnok's square number: 0 = a8 ... 63 = h1."""
    return (8 - int(name[1])) * 8 + FILES.index(name[0])


def labels(fen: str, source: str) -> dict[int, list[str]]:
    """{target square: ["plane" or "plane piece", ...]} for the legal actions from source."""
    env = varnok.ChessEnv()
    env.load_fen(fen)
    found: dict[int, list[str]] = defaultdict(list)
    for action in env.legal_actions():
        uci = env.action_to_uci(int(action))
        if uci[:2] != source:
            continue
        plane = int(action) // 64
        promotion = uci[4:].upper()
        found[square_index(uci[2:4])].append(f"{plane}{' ' + promotion if promotion else ''}")
    return found


def panel(x0: int, title: str, fen: str, source: str) -> list[str]:
    out = [f'<text x="{x0}" y="18" font-size="13">{title}</text>']
    placement = fen.split()[0].split("/")
    pieces: dict[int, str] = {}
    for row, text in enumerate(placement):
        column = 0
        for char in text:
            if char.isdigit():
                column += int(char)
            else:
                pieces[row * 8 + column] = char
                column += 1
    found = labels(fen, source)
    for square in range(64):
        row, column = divmod(square, 8)
        x, y = x0 + column * SQUARE, TITLE + row * SQUARE
        fill = FROM if square == square_index(source) else (LIGHT if (row + column) % 2 == 0 else DARK)
        out.append(f'<rect x="{x}" y="{y}" width="{SQUARE}" height="{SQUARE}" fill="{fill}"/>')
        if square == square_index(source):
            out.append(f'<text x="{x + SQUARE / 2}" y="{y + SQUARE * 0.78}" font-size="{SQUARE * 0.8}" '
                       f'text-anchor="middle">{GLYPHS[pieces[square]]}</text>')
        elif square in pieces:
            out.append(f'<text x="{x + SQUARE / 2}" y="{y + SQUARE * 0.78}" font-size="{SQUARE * 0.5}" '
                       f'text-anchor="middle" fill-opacity="0.45">{pieces[square]}</text>')
        for i, text in enumerate(sorted(found.get(square, []), key=lambda t: int(t.split()[0]))):
            lines = len(found[square])
            out.append(f'<text class="plane" x="{x + SQUARE / 2}" y="{y + SQUARE / 2 + 4 + (i - (lines - 1) / 2) * 10}" '
                       f'font-size="{11 if lines == 1 else 9}" font-weight="bold" text-anchor="middle">{text}</text>')
    for i in range(8):
        out.append(f'<text x="{x0 + i * SQUARE + SQUARE / 2}" y="{TITLE + 8 * SQUARE + 14}" font-size="11" '
                   f'text-anchor="middle">{FILES[i]}</text>')
    return out


def picture() -> str:
    width = len(PANELS) * 8 * SQUARE + (len(PANELS) - 1) * GAP
    height = TITLE + 8 * SQUARE + 20
    out = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
           f'viewBox="0 0 {width} {height}" font-family="DejaVu Sans, sans-serif">',
           "<title>varnok's 73 action planes: the plane of each legal move, written on its target square</title>"]
    for i, (title, fen, source) in enumerate(PANELS):
        out += panel(i * (8 * SQUARE + GAP), title, fen, source)
    out.append("</svg>")
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: action_planes_svg.py OUT.svg")
    with open(sys.argv[1], "w", encoding="utf-8") as f:
        f.write(picture())

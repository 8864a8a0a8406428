"""Board pictures as RGB arrays: video frames for Gymnasium's ``rgb_array``.

``board_rgb(env, size)`` draws the position of a ``varnok.ChessEnv`` as an
``(size, size, 3)`` ``uint8`` array with the same colours and highlights as
``ChessEnv.svg()`` (the last move's squares, the king in check).

A frame is made of square tiles. Each tile (a piece, or none, on one square
colour) is drawn once per size with Pillow, 4x supersampled and averaged down
for smooth edges, and cached; a frame then only copies 64 tiles into place,
which keeps ``RecordVideo`` and friends far from being the slow part of an
episode. The pieces are simple silhouettes drawn from polygons and ellipses,
so frames need no fonts or image files.

Pillow is needed (``pip install varnok[gym]`` brings it).
"""

from __future__ import annotations

from functools import lru_cache
from typing import TYPE_CHECKING

import numpy as np

from varnok._checks import integer
from varnok._fen import board_text, placement
from varnok.svg import CHECK, DARK, LAST_MOVE, LIGHT, highlighted_squares

if TYPE_CHECKING:
    from varnok._core import ChessEnv

__all__ = ["board_rgb"]

MIN_SIZE = 16            # two pixels a square
# The side of 8K video, the largest frame encoders take: a frame of 192 MiB,
# drawn in about a second. A larger one would only fail later, at render
# time, for want of memory (or of a window that large).
MAX_SIZE = 8192
SUPERSAMPLE = 4          # pieces are drawn this many times larger, then scaled down
HIGHLIGHT_OPACITY = 0.75  # as the SVG's highlight rectangles
OUTLINE = 1 / 24         # outline width, in squares

# Piece silhouettes in a unit square (x right, y down): ("polygon", points),
# ("ellipse", (left, top, right, bottom)) or ("rect", (left, top, right, bottom)).
_BASE = ("rect", (0.24, 0.80, 0.76, 0.89))
SHAPES: dict[str, tuple[tuple[str, tuple], ...]] = {
    "p": (("ellipse", (0.38, 0.20, 0.62, 0.44)),
          ("polygon", ((0.40, 0.44), (0.60, 0.44), (0.69, 0.80), (0.31, 0.80))), _BASE),
    "r": (("rect", (0.27, 0.18, 0.37, 0.36)), ("rect", (0.45, 0.18, 0.55, 0.36)),
          ("rect", (0.63, 0.18, 0.73, 0.36)), ("rect", (0.27, 0.28, 0.73, 0.38)),
          ("rect", (0.33, 0.38, 0.67, 0.80)), _BASE),
    "n": (("polygon", ((0.30, 0.80), (0.72, 0.80), (0.71, 0.52), (0.66, 0.30), (0.54, 0.17),
                       (0.47, 0.13), (0.44, 0.22), (0.30, 0.34), (0.22, 0.50), (0.27, 0.57),
                       (0.36, 0.52), (0.46, 0.47), (0.36, 0.66))), _BASE),
    "b": (("ellipse", (0.45, 0.12, 0.55, 0.22)), ("ellipse", (0.34, 0.22, 0.66, 0.66)),
          ("polygon", ((0.40, 0.60), (0.60, 0.60), (0.66, 0.80), (0.34, 0.80))), _BASE),
    "q": (("ellipse", (0.17, 0.20, 0.27, 0.30)), ("ellipse", (0.35, 0.14, 0.45, 0.24)),
          ("ellipse", (0.55, 0.14, 0.65, 0.24)), ("ellipse", (0.73, 0.20, 0.83, 0.30)),
          ("polygon", ((0.30, 0.80), (0.70, 0.80), (0.78, 0.27), (0.64, 0.52), (0.60, 0.21),
                       (0.50, 0.50), (0.40, 0.21), (0.36, 0.52), (0.22, 0.27))), _BASE),
    "k": (("rect", (0.46, 0.08, 0.54, 0.34)), ("rect", (0.38, 0.15, 0.62, 0.22)),
          ("ellipse", (0.26, 0.30, 0.74, 0.56)),
          ("polygon", ((0.30, 0.44), (0.70, 0.44), (0.68, 0.80), (0.32, 0.80))), _BASE),
}
_FILL = {True: (255, 255, 255), False: (20, 20, 20)}      # by "is the piece white"
_EDGE = {True: (0, 0, 0), False: (235, 235, 235)}


def _rgb(colour: str) -> tuple[int, int, int]:
    return tuple(int(colour[i:i + 2], 16) for i in (1, 3, 5))


def _blend(under: tuple[int, ...], over: tuple[int, ...], opacity: float) -> tuple[int, ...]:
    return tuple(round(u * (1 - opacity) + o * opacity) for u, o in zip(under, over))


@lru_cache(maxsize=64)
def _silhouette(kind: str, side: int):
    """The piece's shape as a Pillow "L" mask of side x side pixels (255 inside)."""
    from PIL import Image, ImageDraw

    big = side * SUPERSAMPLE
    mask = Image.new("L", (big, big), 0)
    draw = ImageDraw.Draw(mask)
    for form, points in SHAPES[kind]:
        if form == "polygon":
            draw.polygon([(x * big, y * big) for x, y in points], fill=255)
        else:
            box = [value * big for value in points]
            (draw.ellipse if form == "ellipse" else draw.rectangle)(box, fill=255)
    return mask


def _grown(mask: np.ndarray, reach: int) -> np.ndarray:
    """Each pixel of mask as the largest within `reach` pixels across and
    down (a square of side 2 * reach + 1, the edge pixels repeated beyond the
    edge): Pillow's MaxFilter, whose work grows with the square's area, done
    as a maximum down then across, each in steps that double the window."""
    side = 2 * reach + 1
    grown = np.pad(mask, reach, mode="edge")
    for _ in range(2):
        # window[i] is the largest of grown[i : i + width], the width doubling up to side.
        window, width = grown, 1
        while 2 * width <= side:
            window = np.maximum(window[:-width], window[width:])
            width *= 2
        rows = len(grown) - side + 1
        grown = np.maximum(window[:rows], window[side - width:side - width + rows]).T   # then the other axis
    return np.ascontiguousarray(grown)


@lru_cache(maxsize=512)
def _tile(letter: str | None, background: tuple[int, int, int], side: int) -> np.ndarray:
    """One square of side x side pixels: the background, with the piece on it if any."""
    from PIL import Image

    square = Image.new("RGB", (side * SUPERSAMPLE, side * SUPERSAMPLE), background)
    if letter is not None:
        white = letter.isupper()
        inside = _silhouette(letter.lower(), side)
        outline = Image.fromarray(_grown(np.asarray(inside), max(1, round(OUTLINE * side * SUPERSAMPLE / 2))))
        square.paste(_EDGE[white], mask=outline)
        square.paste(_FILL[white], mask=inside)
    tile = np.asarray(square.resize((side, side), Image.Resampling.BOX), dtype=np.uint8)
    tile.flags.writeable = False
    return tile


def _check_size(size, what: str) -> int:
    """size as an int (a NumPy integer too, as every other count is taken;
    not a bool, which is no number of pixels), MIN_SIZE to MAX_SIZE."""
    size = integer(size, what, bools=False)
    if not MIN_SIZE <= size <= MAX_SIZE:
        raise ValueError(f"{what} must be {MIN_SIZE} to {MAX_SIZE} pixels, got {size}")
    return size


def board_rgb(env: ChessEnv, size: int = 256, last_move: bool = True, check: bool = True,
              flipped: bool = False) -> np.ndarray:
    """The board of ``env`` as a new ``(size, size, 3)`` ``uint8`` RGB array.

    Rank 8 is at the top (rank 1 with ``flipped=True``); ``last_move`` and
    ``check`` highlight the last move's squares and a king in check, as
    ``ChessEnv.svg()`` does. ``size`` is 16 to 8192 pixels; squares are
    ``size // 8`` pixels; a ``size`` that is not a multiple of 8 leaves the
    remainder as a border of the dark square colour at the right and bottom.
    """
    size = _check_size(size, "size")
    fen = env.fen()
    pieces = placement(fen)
    marks = highlighted_squares(env, fen, pieces, last_move, check)
    side = size // 8
    light, dark = _rgb(LIGHT), _rgb(DARK)
    tiles = []
    for square in range(64):           # square 0 is a8, in reading order
        row, column = divmod(square, 8)
        background = light if (row + column) % 2 == 0 else dark
        if square in marks:
            background = _blend(background, _rgb(CHECK if marks[square] == "check" else LAST_MOVE),
                                HIGHLIGHT_OPACITY)
        tiles.append(_tile(pieces.get(square), background, side))
    if flipped:
        tiles.reverse()
    # (rank, file, y, x, colour) -> (rank, y, file, x, colour): rows of tiles into rows of pixels.
    board = np.stack(tiles).reshape(8, 8, side, side, 3).transpose(0, 2, 1, 3, 4).reshape(8 * side, 8 * side, 3)
    if 8 * side == size:
        return board
    frame = np.empty((size, size, 3), dtype=np.uint8)
    frame[...] = dark
    frame[:8 * side, :8 * side] = board
    return frame


RENDER_MODES = ("ansi", "rgb_array", "human")


def _display_missing() -> str | None:
    """Why no window can open here, or None where one can."""
    import os
    import sys

    if sys.platform in ("win32", "darwin") or os.environ.get("SDL_VIDEODRIVER"):
        return None
    if os.environ.get("DISPLAY") or os.environ.get("WAYLAND_DISPLAY"):
        return None
    return ("render_mode='human' needs a display, and none was found (neither DISPLAY nor "
            "WAYLAND_DISPLAY is set); use render_mode='rgb_array' for frames without one")


class _Window:
    """A pygame window that shows frames at most ``fps`` times a second."""

    def __init__(self, size: int, fps: int, title: str):
        why = _display_missing()
        if why is not None:
            raise RuntimeError(why)
        try:
            import pygame
        except ImportError as error:
            raise ImportError("render_mode='human' needs pygame: pip install pygame-ce") from error
        self._pygame = pygame
        pygame.display.init()
        self._surface = pygame.display.set_mode((size, size))
        pygame.display.set_caption(title)
        self._clock = pygame.time.Clock()
        self._fps = fps

    def show(self, frame: np.ndarray) -> None:
        pygame = self._pygame
        pygame.event.pump()    # keeps the window responsive
        pygame.surfarray.blit_array(self._surface, frame.transpose(1, 0, 2))   # pygame indexes x first
        pygame.display.flip()
        self._clock.tick(self._fps)

    def close(self) -> None:
        self._pygame.display.quit()


class Renderer:
    """What an adapter's ``render()`` returns in each render mode.

    ``"ansi"``: the board as text, eight lines, rank 8 first; ``"rgb_array"``:
    ``board_rgb(env, size)``; ``"human"``: the frame shown in a pygame window
    (opened here, so a missing display is reported when the environment is
    made, not in the middle of an episode; after ``close()`` the next render
    opens it again), returning None. ``None``: nothing.
    """

    def __init__(self, mode: str | None, size: int = 256, fps: int = 4, title: str = "varnok"):
        if mode is not None and mode not in RENDER_MODES:
            raise ValueError(f"render_mode must be None, 'ansi', 'rgb_array' or 'human', got {mode!r}")
        # Checked in any mode: an env is made once, and a size that cannot be
        # drawn is said then, not at the first render of an episode.
        self.mode, self.size = mode, _check_size(size, "render_size")
        self._fps, self._title = fps, title
        self._window = _Window(self.size, fps, title) if mode == "human" else None

    def render(self, env: ChessEnv):
        if self.mode == "ansi":
            return board_text(env.fen())
        if self.mode is None:
            return None
        frame = board_rgb(env, self.size)
        if self.mode == "rgb_array":
            return frame
        if self._window is None:   # closed: a render opens the window again, as Gymnasium's own envs do
            self._window = _Window(self.size, self._fps, self._title)
        self._window.show(frame)
        return None

    def close(self) -> None:
        if self._window is not None:
            self._window.close()
            self._window = None


"""Board frames (render_mode="rgb_array" and "human"): the picture shows the
position, its last move and a check, in both adapters."""

import os
import subprocess
import sys

import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):  # the adapters live in the varnok package, not the bare extension
    pytest.skip("varnok is installed as the bare extension module, not the package", allow_module_level=True)

pytest.importorskip("PIL")
gymnasium = pytest.importorskip("gymnasium")
import varnok.gym as vgym  # noqa: E402
from varnok._fen import placement  # noqa: E402
from varnok.frames import CHECK, DARK, LAST_MOVE, LIGHT, board_rgb  # noqa: E402


def colour(text):
    return np.array([int(text[i:i + 2], 16) for i in (1, 3, 5)])


def read_board(frame):
    """What a frame shows on each square (0 = a8): None for an empty square,
    "w"/"b" for a light or dark piece, and the square's own colour
    (sampled in its corner, where pieces never reach)."""
    side = frame.shape[0] // 8
    seen, grounds = {}, {}
    for square in range(64):
        row, column = divmod(square, 8)
        tile = frame[row * side:(row + 1) * side, column * side:(column + 1) * side].astype(int)
        ground = tile[0, 0]
        grounds[square] = ground
        centre = tile[side // 2 - 2:side // 2 + 3, side // 2 - 2:side // 2 + 3].reshape(-1, 3)
        differs = np.abs(centre - ground).sum(axis=1) > 60
        if not differs.any():
            seen[square] = None
        else:
            seen[square] = "w" if centre[differs].mean() > 128 else "b"
    return seen, grounds


def blended(square_colour, mark):
    return np.round(colour(square_colour) * 0.25 + colour(mark) * 0.75)


def test_frames_show_the_position_last_move_and_check():
    rng = np.random.default_rng(5)
    env = varnok.ChessEnv()
    for game in range(6):
        env.reset()
        for _ in range(int(rng.integers(1, 60))):
            actions = env.legal_actions()
            if env.step(int(rng.choice(actions)))[3]:
                break
        for size, flipped in ((256, False), (96, True), (100, False), (np.int64(64), False)):
            frame = board_rgb(env, size, flipped=flipped)
            assert frame.shape == (size, size, 3) and frame.dtype == np.uint8
            if flipped:
                frame = frame[::-1, ::-1]
            seen, grounds = read_board(frame[:8 * (size // 8), :8 * (size // 8)])
            pieces = placement(env.fen())
            assert seen == {sq: (None if sq not in pieces else "w" if pieces[sq].isupper() else "b")
                            for sq in range(64)}
            last = env.save_state().moves[-1]
            marked = {last & 63, (last >> 6) & 63}
            king = "K" if env.fen().split()[1] == "w" else "k"
            checked = {sq for sq, p in pieces.items() if p == king} if env.in_check() else set()
            for square, ground in grounds.items():
                plain = LIGHT if (square // 8 + square % 8) % 2 == 0 else DARK
                want = (blended(plain, CHECK) if square in checked else
                        blended(plain, LAST_MOVE) if square in marked else colour(plain))
                assert np.abs(ground - want).max() <= 1, (square, ground, want)


def test_the_outline_grows_each_piece_as_pillows_max_filter_does():
    """The outline is grown in steps that double (Pillow's MaxFilter took a
    minute for a 2048-pixel frame): the same pixels, edges included."""
    from PIL import Image, ImageFilter

    from varnok.frames import _grown, _silhouette

    masks = [np.asarray(_silhouette(kind, side)) for kind, side in (("n", 9), ("q", 16), ("k", 31))]
    masks.append((np.random.default_rng(0).random((37, 23)) * 255).astype(np.uint8))   # not square, not 0/255
    for mask in masks:
        for reach in (1, 2, 3, 6, 11):
            pillow = np.asarray(Image.fromarray(mask).filter(ImageFilter.MaxFilter(2 * reach + 1)))
            assert np.array_equal(_grown(mask, reach), pillow), (mask.shape, reach)


def test_gym_and_pettingzoo_render_frames():
    import varnok.pettingzoo as vpz

    env = gymnasium.make(vgym.ENV_ID, render_mode="rgb_array", render_size=128)
    env.reset(seed=1)
    env.step(int(env.unwrapped.game.uci_to_action("e2e4")))
    frame = env.render()
    assert frame.shape == (128, 128, 3)
    assert np.array_equal(frame, board_rgb(env.unwrapped.game, 128))
    two = vpz.env(render_mode="rgb_array")
    two.reset()
    start = varnok.ChessEnv()
    start.reset()
    assert np.array_equal(two.render(), board_rgb(start, 256))


HUMAN = """
import numpy as np, pygame, gymnasium, varnok.gym
env = gymnasium.make("varnok/Chess-v0", render_mode="human", render_size=64)
env.reset(seed=0)
env.step(int(env.unwrapped.game.uci_to_action("d2d4")))
shown = pygame.surfarray.array3d(pygame.display.get_surface()).transpose(1, 0, 2)
assert np.array_equal(shown, varnok.frames.board_rgb(env.unwrapped.game, 64))
env.close()
assert pygame.display.get_surface() is None
assert env.render() is None   # shown in a window opened again, never handed back as a frame
assert pygame.display.get_surface() is not None
env.close()
print("shown")
"""


REFUSED = """
import pygame, varnok.gym, varnok.pettingzoo
for options in (dict(rules="modern"), dict(max_steps=0)):
    for make in (varnok.gym.ChessEnv, varnok.pettingzoo.raw_env):
        try:
            make(render_mode="human", **options)
        except ValueError:
            assert pygame.display.get_surface() is None, (make, options, "left its window open")
print("no window")
"""


@pytest.mark.parametrize("code, display, expected", [
    (HUMAN, {"SDL_VIDEODRIVER": "dummy"}, "shown"),
    (HUMAN, {}, "render_mode='human' needs a display"),
    (REFUSED, {"SDL_VIDEODRIVER": "dummy"}, "no window"),   # a refused env opens none
])
def test_human_mode_shows_the_frame_or_says_there_is_no_display(code, display, expected):
    pytest.importorskip("pygame")
    environ = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "SDL_VIDEODRIVER")}
    environ.update(display, PYGAME_HIDE_SUPPORT_PROMPT="1")
    run = subprocess.run([sys.executable, "-c", code], env=environ, capture_output=True, text=True, timeout=120)
    assert expected in run.stdout + run.stderr

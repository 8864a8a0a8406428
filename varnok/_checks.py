"""Argument checks shared by the adapters and the data tools: each returns the
value in the form wanted or raises TypeError / ValueError naming the
argument, before anything has changed."""

from __future__ import annotations

import math
import operator
import os
from collections.abc import Mapping
from pathlib import Path


def integer(value, name: str, low: int | None = None, high: int | None = None, *, bools: bool = True) -> int:
    """value as an int, as operator.index takes it (TypeError for a float, a
    str, None; for a bool too with bools=False: no count of things),
    within low..high when they are given (ValueError)."""
    if not bools and isinstance(value, bool):
        raise TypeError(f"{name} must be an integer, got {value!r}")
    try:
        number = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer, got {value!r}") from None
    if (low is not None and number < low) or (high is not None and number > high):
        bounds = f"at least {low}" if high is None else f"{low} to {high}"
        raise ValueError(f"{name} must be {bounds}, got {number}")
    return number


def real(value, name: str, low: float | None = None, high: float | None = None) -> float:
    """value as a finite float (TypeError for a str or None; ValueError for
    NaN, an infinity, or a value outside low..high)."""
    if isinstance(value, (str, bytes)) or value is None:
        raise TypeError(f"{name} must be a number, got {value!r}")
    number = float(value)
    if not math.isfinite(number) or (low is not None and number < low) or (high is not None and number > high):
        bounds = "" if low is None else f" at least {low}" if high is None else f" from {low} to {high}"
        raise ValueError(f"{name} must be a finite number{bounds}, got {value!r}")
    return number


def reset_options(options) -> Mapping:
    """The options of a Gymnasium or PettingZoo reset: a mapping (None is
    none), TypeError for anything else."""
    if options is None:
        return {}
    if not isinstance(options, Mapping):
        raise TypeError(f"options must be a dict (or None), got {type(options).__name__}")
    return options


def path(value, name: str) -> Path:
    """value (a str or os.PathLike) as a Path; TypeError for anything else,
    ValueError for a path holding a NUL byte, as open() refuses it (the name
    would end there and name another file, and a check such as Path.is_dir
    would answer False instead of refusing)."""
    try:
        text = os.fspath(value)
    except TypeError:
        raise TypeError(f"{name} must be a str or os.PathLike path, got {value!r}") from None
    if "\0" in (text if isinstance(text, str) else os.fsdecode(text)):
        raise ValueError(f"{name}: embedded null byte in the path {text!r}")
    return Path(text)


def output_file(value, name: str) -> Path:
    """value checked as path() checks it, as a file that can be written
    there: not a folder, in a folder that exists (ValueError). A command
    writing several files checks each before it writes any, so that a bad
    last path leaves no first file written."""
    target = path(value, name)
    if target.is_dir():
        raise ValueError(f"{name} {os.fspath(target)!r}: is a folder; give a file's name")
    folder = target.parent
    if not folder.is_dir():
        raise ValueError(f"{name} {os.fspath(target)!r}: there is no folder {os.fspath(folder)!r} to write it in")
    return target


def write_text(value, text: str, name: str = "path") -> None:
    """Writes text (UTF-8) to the path value, checked as path() checks it:
    never to a file descriptor, which open() would take an int for, write
    and close (the caller's stdout with it). The text is encoded before the
    file is opened, so that text UTF-8 cannot hold (a lone surrogate)
    leaves the file as it was."""
    target = path(value, name)
    data = text.encode("utf-8")
    with open(target, "wb") as out:
        out.write(data)


def game_from_fen(fen, rules: str = "classic", chess960: bool = False):
    """A new native game started from fen (checked as load_fen checks it,
    with Chess960 castling when chess960); ValueError for a position whose
    game is already over, which an episode cannot start from: checkmate or
    stalemate, as the native episode judges them."""
    from varnok import ChessEnv
    game = ChessEnv(rules, chess960=chess960)
    load_start(game, fen)
    # The draw rules are left to the first step: a FEN whose clock has run
    # out (say 150 under "fide") still starts an episode.
    ended = game._checkmate_or_stalemate()
    if ended is not None:
        raise ValueError(f"the FEN {fen!r} is a finished game ({ended}): an episode needs a move to play")
    return game


# What a refusal adds where a game of standard chess is given a Chess960 start.
CHESS960_START = " (a Chess960 position, which a game of standard chess cannot start from)"


def chess960_only(fen, rules: str = "classic") -> bool:
    """Whether fen, which standard chess refuses, reads as a Chess960
    position (castling rights of a king or rook off its standard square,
    Shredder letters)."""
    from varnok import ChessEnv
    try:
        ChessEnv(rules, chess960=True).load_fen(fen)
    except ValueError:
        return False
    return True


def load_start(env, fen: str) -> None:
    """env.load_fen(fen), with a refusal that says so where a standard env
    is given a Chess960 position (castling rights of a king or rook off its
    standard square, Shredder letters), which it cannot start from."""
    try:
        env.load_fen(fen)
    except ValueError as exc:
        if env.chess960 or not chess960_only(fen, env.rules):
            raise
        raise ValueError(f"{exc}{CHESS960_START}") from None


def set_start_positions(venv, fens) -> None:
    """venv.set_start_positions(fens) of a native VectorEnv, with a refusal
    that says so where a standard one is given a Chess960 position, as
    load_start says it."""
    try:
        venv.set_start_positions(fens)
    except ValueError as exc:
        if venv.chess960:
            raise
        from varnok import ChessEnv
        game = ChessEnv(venv.rules)
        for fen in fens:
            try:
                game.load_fen(fen)
            except ValueError:
                # The first position that standard chess cannot read is the
                # one the refusal names (the same reader reads them in order).
                if chess960_only(fen, venv.rules):
                    raise ValueError(f"{exc}{CHESS960_START}") from None
                raise exc from None
        raise


def openings_go_on(fens, rules: str = "classic", chess960: bool = False) -> None:
    """Refuses, before any game is played, an opening whose game is already
    over by the rules (a worker would find it only when its games start)."""
    from varnok import ChessEnv, VectorEnv
    env = ChessEnv(rules, chess960=chess960)
    row = VectorEnv(1, num_threads=1, rules=rules)
    row.reset()
    for i, fen in enumerate(fens):
        env.load_fen(fen)
        if not goes_on(env, row):
            raise ValueError(f"opening {i} ({fen}) is a finished game: a game needs a move to play")


def goes_on(game, row=None) -> bool:
    """Whether the game of a ChessEnv goes on by its own draw rules (it has a
    move to play and no rule has ended it), as a VectorEnv row judges a game
    put into it; row, a one-game VectorEnv of the same rules, may be given to
    be used again for many games."""
    if row is None:
        from varnok import VectorEnv
        row = VectorEnv(1, num_threads=1, rules=game.rules)
        row.reset()
    try:
        row.restore_state(0, game.save_state())
    except ValueError:
        return False
    return True

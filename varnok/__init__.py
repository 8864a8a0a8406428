"""varnok: a fast chess environment for reinforcement learning.

The classes and functions live in the compiled extension ``varnok._core``
and are offered here under their plain names:

* ``ChessEnv`` one game: reset, step or play actions, observations, FEN,
  notation, roll-outs, saving and restoring whole games, SVG pictures;
* ``State`` a detached copy of a whole game (pickles, copies, compares);
* ``VectorEnv`` and ``VectorStep`` many games stepped natively on threads;
* ``roll_outs`` batched random games from States, ``unpack`` packed
  observations to planes;
* ``read_pgn``, ``replay_pgn``, ``PgnGame``, ``PgnGames`` PGN in;
* ``MCTS``, ``SearchLeaves``, ``UCT`` searches, ``MaterialSearch`` the
  material alpha-beta of ``varnok.players.Material``;
* ``Termination`` why a game ended (``final_reason`` codes, ``outcome()``
  texts), from ``varnok.termination``, imported on first use like the
  adapters.

Matches between players (Elo, SPRT, PGN) are in ``varnok.arena`` and
``varnok.players``.

The adapters ``varnok.gym``, ``varnok.pettingzoo`` and ``varnok.actions``
are imported on first use (the first two need the ``gym`` / ``pettingzoo``
extras; ``varnok.actions`` only NumPy).
"""

import importlib as _importlib
import pkgutil as _pkgutil

# A checkout's varnok/ folder holds the Python sources but not the compiled
# extension; where it comes first on the path (tests run from the checkout),
# the installed copy of the package supplies _core. The package path spans
# every varnok/ folder on sys.path, in sys.path order, which is also how a
# folder holding only another build's _core (tools/sanitize_python.sh puts a
# sanitized one on PYTHONPATH) overrides the installed one while the Python
# files still come from the checkout. An editable install would serve the
# first case but not the second, and would change how every checkout imports;
# for an installed wheel the path is its one folder and this changes nothing.
__path__ = _pkgutil.extend_path(__path__, __name__)

try:
    _importlib.import_module("varnok._core")
except ModuleNotFoundError as _missing:
    if _missing.name != "varnok._core":
        raise
    import sys as _sys

    raise ImportError(
        f"varnok's compiled core (varnok._core) is not installed for this interpreter, "
        f"Python {_sys.version_info.major}.{_sys.version_info.minor} at {_sys.executable}. "
        "varnok needs Python 3.14 and a built module: in a checkout, run './dev setup' once and "
        "then use './dev py' (or './dev shell'); elsewhere, 'pip install varnok' into a Python 3.14 "
        "environment."
    ) from None

import importlib.metadata as _metadata  # noqa: E402

from varnok._core import (  # noqa: E402
    MCTS,
    UCT,
    ChessEnv,
    MaterialSearch,
    PgnGame,
    PgnGames,
    SearchLeaves,
    State,
    VectorEnv,
    VectorStep,
    chess960_fen,
    read_pgn,
    replay_pgn,
    roll_outs,
    unpack,
)

try:
    __version__ = _metadata.version("varnok")
except _metadata.PackageNotFoundError:  # running from a checkout that was never installed
    __version__ = "0+unknown"

__all__ = [
    "ChessEnv",
    "MCTS",
    "MaterialSearch",
    "PgnGame",
    "PgnGames",
    "SearchLeaves",
    "State",
    "UCT",
    "VectorEnv",
    "VectorStep",
    "chess960_fen",
    "read_pgn",
    "replay_pgn",
    "roll_outs",
    "unpack",
]

_ADAPTERS = ("actions", "gym", "pettingzoo")


def __getattr__(name: str) -> object:
    # gym and pettingzoo import gymnasium / pettingzoo, so the adapters load only when asked for.
    if name in _ADAPTERS:
        return _importlib.import_module(f"{__name__}.{name}")
    if name == "Termination":
        return _importlib.import_module(f"{__name__}.termination").Termination
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")

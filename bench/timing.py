"""Shared helpers of the benchmarks: settings, progress lines and summaries.

Every figure is measured several times (repetitions); a summary keeps the
median, the lowest and highest value and every single value, so that the
spread is visible next to the median.
"""

from __future__ import annotations

import math
import os
import statistics
import sys
import time
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

TOP = Path(__file__).resolve().parent.parent
START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# The well-known middle-game test position with castling on both sides.
KIWIPETE_FEN = "r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1"
# Published leaf counts, used to check that both move generators agree.
KNOWN_PERFT = {
    ("startpos", 1): 20, ("startpos", 2): 400, ("startpos", 3): 8_902,
    ("startpos", 4): 197_281, ("startpos", 5): 4_865_609, ("startpos", 6): 119_060_324,
    ("kiwipete", 1): 48, ("kiwipete", 2): 2_039, ("kiwipete", 3): 97_862,
    ("kiwipete", 4): 4_085_603, ("kiwipete", 5): 193_690_690,
}
PLY_CAP = 400


@dataclass(frozen=True)
class Settings:
    """How much work each benchmark does. `quick` is a smoke run of seconds."""

    quick: bool
    reps: int                 # repetitions of each timed figure
    perft_depths: dict        # position name -> depth
    rollout_seconds: float    # time box of one roll-out repetition, per side
    loop_seconds: float       # time box of one Python-loop repetition, per side
    step_games: int           # recorded games replayed for the step / floor timing
    env_count: int            # ChessEnv objects for env_bytes
    memory_reps: int          # fresh processes per memory figure
    growth_steps: int         # steps whose resident growth is measured
    growth_warmup: int        # steps played before the first reading
    vector_games: int         # games stepped side by side (VectorEnv, EnvPool, pgx)
    vector_seconds: float     # time box of one vectorised side in one repetition
    notation_games: int       # games in the generated PGN file
    notation_seconds: float   # time box of one PGN / SAN side in one repetition
    san_positions: int        # positions whose legal moves are written in SAN
    search_trees: int         # trees searched side by side (mctx, varnok.MCTS)
    search_simulations: int   # simulations per tree
    search_reps: int          # repetitions of the search figure (a search is slow in mctx)

    @staticmethod
    def make(quick: bool) -> "Settings":
        if quick:
            return Settings(quick=True, reps=2,
                            perft_depths={"startpos": 3, "kiwipete": 2},
                            rollout_seconds=0.1, loop_seconds=0.1, step_games=1,
                            env_count=100, memory_reps=1,
                            growth_steps=2_000, growth_warmup=500,
                            vector_games=32, vector_seconds=0.05,
                            notation_games=40, notation_seconds=0.05, san_positions=20,
                            search_trees=4, search_simulations=8, search_reps=1)
        return Settings(quick=False, reps=5,
                        perft_depths={"startpos": 6, "kiwipete": 5},
                        rollout_seconds=1.5, loop_seconds=1.5, step_games=4,
                        env_count=1_000, memory_reps=3,
                        growth_steps=200_000, growth_warmup=5_000,
                        vector_games=256, vector_seconds=0.6,
                        notation_games=2_000, notation_seconds=1.0, san_positions=300,
                        search_trees=64, search_simulations=200, search_reps=3)


class Progress:
    """Progress lines on standard error, with the time since the start."""

    def __init__(self, total_sections: int):
        self.start = time.perf_counter()
        self.total = total_sections
        self.section = 0

    def begin(self, title: str) -> None:
        self.section += 1
        self.say(f"[{self.section}/{self.total}] {title}")

    def say(self, text: str) -> None:
        elapsed = time.perf_counter() - self.start
        print(f"[bench {elapsed:6.1f} s] {text}", file=sys.stderr, flush=True)

    def elapsed(self) -> float:
        return time.perf_counter() - self.start


@dataclass
class Summary:
    """Median, range and every value of one figure over its repetitions."""

    values: list = field(default_factory=list)

    @property
    def median(self) -> float:
        return statistics.median(self.values)

    @property
    def low(self) -> float:
        return min(self.values)

    @property
    def high(self) -> float:
        return max(self.values)

    def as_dict(self, unit: str) -> dict:
        return {"value": self.median, "low": self.low, "high": self.high,
                "reps": list(self.values), "unit": unit}


def summary(values) -> Summary:
    values = [float(v) for v in values]
    if not values:
        raise ValueError("a figure needs at least one repetition")
    return Summary(values)


def missing(unit: str, reason: str) -> dict:
    """A figure that could not be measured in this run, and why.

    It has no value (JSON null) and is shown as missing in the table; the
    reason is printed during the run and kept in the notes.
    """
    return {"value": None, "low": None, "high": None, "reps": [], "unit": unit,
            "missing": reason}


# Each repetition of a side-by-side figure gives each side this many short
# boxes, the sides taking turns.
TURNS_PER_REP = 4


def rates_in_turns(boxes: dict, turns: int = TURNS_PER_REP) -> dict[str, float]:
    """Each side's rate over `turns` rounds in which the sides take turns.

    `boxes` maps a side's name to a function that runs one short box of its
    work and returns (work done, seconds spent); a side's rate is the work of
    all its boxes over their seconds. This shared machine runs for seconds
    at a time markedly slower or faster: in short turns such a spell falls
    on every side alike, where one long box each lets it fall on one side.
    """
    done, seconds = dict.fromkeys(boxes, 0.0), dict.fromkeys(boxes, 0.0)
    for _ in range(turns):
        for name, box in boxes.items():
            work, took = box()
            done[name] += work
            seconds[name] += took
    return {name: done[name] / seconds[name] for name in boxes}


def aec_plies_per_s(env, rng, seconds: float) -> float:
    """Plies per second over whole games, as many as start within seconds, of
    the usual PettingZoo AEC agent loop: env.last(), a random choice among
    the mask's legal actions (rng.choice, so a random.Random or a NumPy
    generator), env.step()."""
    plies = 0
    clock = time.perf_counter
    t0 = clock()
    while True:
        env.reset()
        for _agent in env.agent_iter():
            obs, _reward, term, trunc, _info = env.last()
            if term or trunc:
                break
            env.step(rng.choice(np.flatnonzero(obs["action_mask"])))
            plies += 1
        if clock() - t0 >= seconds:
            return plies / (clock() - t0)


def finite_positive(x) -> bool:
    return isinstance(x, (int, float)) and math.isfinite(x) and x > 0


def perft_tool() -> Path:
    """The native perft tool: VARNOK_PERFT if set, else the native build's."""
    path = os.environ.get("VARNOK_PERFT")
    return Path(path) if path else TOP / "build" / "native" / "tools" / "perft"

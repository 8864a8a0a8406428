"""Tree search speed: varnok.MCTS against the pure-Python reference PUCT,
and varnok.UCT's roll-out simulations.

MCTS: TREES trees from the initial position, SIMULATIONS rounds of
select(leaves_per_tree=1) / expand each, with a trivial evaluator: uniform
priors (an array of ones: expand normalises over the legal actions and
ignores the rest) and value 0. The time includes set_roots.
Simulations per second = trees x rounds / seconds.

Reference: tests/python/mcts_reference.py, the same PUCT rules written in
Python over ChessEnv.save_state / restore_state, one leaf per round, the same
evaluator and the same trees. mcts_vs_python is the ratio of the two rates.

The same with 8 leaves per tree per round (fewer, larger batches), and with
packed observations (119 words a leaf instead of 30 KB of float32); with
packed observations on both sides (the reference asking ChessEnv for
observation("packed")), mcts_vs_python_packed compares the two at 1 leaf
per tree per round again, without the float32 observation's 30 KB of
writes a leaf.

UCT: varnok.UCT, TREES trees from the initial position, SIMULATIONS
simulations each (one native random roll-out per simulation).

    ./dev py bench/search_bench.py            # the full figures
    ./dev py bench/search_bench.py --quick    # a smoke run

Prints one JSON object.
"""

from __future__ import annotations

import argparse
import json
import statistics
import sys
import time
from pathlib import Path

import numpy as np
import varnok

sys.path.insert(0, str(Path(__file__).resolve().parents[1] / "tests" / "python"))
import mcts_reference  # noqa: E402

INITIAL = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"


class Uniform:
    """The trivial evaluator: priors of one on every action, value 0."""

    def __init__(self, rows: int):
        self.priors = np.ones((rows, 4672), np.float32)
        self.values = np.zeros(rows, np.float32)

    def __call__(self, rows: int):
        return self.priors[:rows], self.values[:rows]


def native_mcts(trees: int, simulations: int, leaves_per_tree: int, threads: int | None,
                obs_dtype: str = "float32", search: varnok.MCTS | None = None, searches: int = 1) -> float:
    """Simulations per second over `searches` searches one after the other.

    `search` (made with the same trees, threads and obs_dtype) is reused if
    given, as a self-play worker keeps one search and sets new roots every
    move. A search of 64 trees takes about 10 ms here: several make a
    measurement that a pause of a few milliseconds does not decide.
    """
    if search is None:
        search = varnok.MCTS(trees, seed=0, num_threads=threads, obs_dtype=obs_dtype)
    evaluate = Uniform(trees * leaves_per_tree)
    t0 = time.perf_counter()
    for _ in range(searches):
        search.set_roots([INITIAL] * trees)
        for _ in range(simulations // leaves_per_tree):
            leaves = search.select(leaves_per_tree=leaves_per_tree)
            search.expand(*evaluate(len(leaves)))
    return searches * trees * simulations / (time.perf_counter() - t0)


class PythonSearch:
    """The reference's search of `trees` trees from the initial position,
    run a few simulations at a time (each simulation one round over every
    tree, as the native search goes)."""

    def __init__(self, trees: int, obs_dtype: str = "float32"):
        start = varnok.VectorEnv(1, num_threads=1, seed=0).save_state(0)
        self.evaluate = Uniform(1)
        t0 = time.perf_counter()
        self.refs = [mcts_reference.Tree(start, dirichlet_fraction=0.0, obs_dtype=obs_dtype) for _ in range(trees)]
        self.setup_seconds = time.perf_counter() - t0  # counted with the first simulations

    def run(self, simulations: int) -> tuple[int, float]:
        """Runs `simulations` more; returns the simulations done and their seconds."""
        evaluate, no_noise = self.evaluate, lambda: np.zeros(4672)
        t0 = time.perf_counter()
        for _ in range(simulations):
            for ref in self.refs:
                ref.expand(*evaluate(len(ref.select(1))), no_noise)
        seconds, self.setup_seconds = time.perf_counter() - t0 + self.setup_seconds, 0.0
        return simulations * len(self.refs), seconds


def python_mcts(trees: int, simulations: int, obs_dtype: str = "float32") -> float:
    done, seconds = PythonSearch(trees, obs_dtype).run(simulations)
    return done / seconds


def native_uct(trees: int, simulations: int, threads: int | None) -> float:
    search = varnok.UCT(trees, seed=0, num_threads=threads)
    t0 = time.perf_counter()
    search.set_roots([INITIAL] * trees)
    ran = search.run(simulations)
    return float(ran.sum()) / (time.perf_counter() - t0)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--reps", type=int, default=3)
    parser.add_argument("--threads", type=int, default=None)
    args = parser.parse_args()
    trees, sims, reps = (4, 20, 1) if args.quick else (64, 200, args.reps)
    figures: dict[str, dict] = {}

    def record(name, unit, runs, **details):
        figures[name] = {"median": statistics.median(runs), "runs": runs, "unit": unit, **details}

    record("mcts_sims_per_s", "sims/s", [native_mcts(trees, sims, 1, args.threads) for _ in range(reps)],
           trees=trees, simulations=sims, leaves_per_tree=1)
    record("mcts_sims_per_s_8_leaves", "sims/s", [native_mcts(trees, sims, 8, args.threads) for _ in range(reps)],
           trees=trees, simulations=sims, leaves_per_tree=8)
    record("mcts_sims_per_s_8_leaves_packed", "sims/s",
           [native_mcts(trees, sims, 8, args.threads, "packed") for _ in range(reps)],
           trees=trees, simulations=sims, leaves_per_tree=8, obs_dtype="packed")
    record("python_reference_sims_per_s", "sims/s", [python_mcts(trees, sims) for _ in range(reps)],
           trees=trees, simulations=sims)
    figures["mcts_vs_python"] = {
        "median": figures["mcts_sims_per_s"]["median"] / figures["python_reference_sims_per_s"]["median"],
        "unit": "ratio", "goal": 50}
    record("mcts_sims_per_s_packed", "sims/s", [native_mcts(trees, sims, 1, args.threads, "packed") for _ in range(reps)],
           trees=trees, simulations=sims, leaves_per_tree=1, obs_dtype="packed")
    record("python_reference_sims_per_s_packed", "sims/s",
           [python_mcts(trees, sims, "packed") for _ in range(reps)],
           trees=trees, simulations=sims, obs_dtype="packed")
    figures["mcts_vs_python_packed"] = {
        "median": figures["mcts_sims_per_s_packed"]["median"] / figures["python_reference_sims_per_s_packed"]["median"],
        "unit": "ratio"}
    record("uct_sims_per_s", "sims/s", [native_uct(trees, sims, args.threads) for _ in range(reps)],
           trees=trees, simulations=sims)
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()

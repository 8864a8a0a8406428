"""Side-by-side speed of two builds of the module: an older one and the one installed.

Build the older one into a folder of its own, for example:

    git worktree add ../varnok-old REV
    ./dev py -m pip install -q --no-build-isolation --no-deps --target build/old-module ../varnok-old
    ./dev py bench/compare_builds.py build/old-module

The two builds run alternately in fresh processes, so that load from elsewhere
on the machine falls on both; each process measures games per second of
`restore_state` + `roll_out` from the initial position, and the time of `step`
and of `get_actions` over one recorded random game. With `--perft OLD_TOOL`
the older perft tool (build it with `cmake -S ../varnok-old -B build/old-native
-DVARNOK_MODULE=OFF && cmake --build build/old-native --target perft`) and
build/native/tools/perft alternate too, on the initial position (depth 5) and
Kiwipete (depth 4). Medians and new/old ratios are printed.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys
import time

MEASURE = r"""
import random, sys, time
import varnok
games = int(sys.argv[1])
env = varnok.ChessEnv()
env.reset()
start = env.save_state()
t0 = time.perf_counter()
for _ in range(games):
    env.restore_state(start)
    env.roll_out()
games_per_s = games / (time.perf_counter() - t0)

rng = random.Random(5)
actions = []
env.reset()
while True:
    mask = env.get_actions()
    legal = [p * 64 + s for p in range(73) for s in range(64) if mask[p][s]]
    actions.append(rng.choice(legal))
    if env.step(actions[-1])[3] or len(actions) >= 200:
        break
step_us = float("inf")
for _ in range(5):
    env.reset()
    t0 = time.perf_counter()
    for action in actions:
        env.step(action)
    step_us = min(step_us, (time.perf_counter() - t0) / len(actions) * 1e6)
states = []
env.reset()
for action in actions:
    states.append(env.save_state())
    env.step(action)
get_actions_us = float("inf")
for _ in range(5):
    t = 0.0
    for state in states:
        env.restore_state(state)
        t0 = time.perf_counter()
        env.get_actions()
        t += time.perf_counter() - t0
    get_actions_us = min(get_actions_us, t / len(states) * 1e6)
# An older build is the flat extension varnok; a newer one the package with varnok._core.
print(getattr(varnok, "_core", varnok).__file__, games_per_s, step_us, get_actions_us)
"""

TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NEW_PERFT = os.path.join(TOP, "build", "native", "tools", "perft")
PERFT_POSITIONS = [
    ("rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1", "5"),
    ("r3k2r/p1ppqpb1/bn2pnp1/3PN3/1p2P3/2N2Q1p/PPPBBPPP/R3K2R w KQkq - 0 1", "4"),
]


def perft_nodes_per_s(tool: str) -> float:
    nodes = 0
    seconds = 0.0
    for fen, depth in PERFT_POSITIONS:
        t0 = time.perf_counter()
        out = subprocess.run([tool, fen, depth], capture_output=True, text=True, check=True).stdout
        seconds += time.perf_counter() - t0
        nodes += int(out.split("Nodes searched:")[1].split()[0])
    return nodes / seconds



def measure(module_dir: str | None, games: int) -> tuple[float, float]:
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = os.path.abspath(module_dir) + os.pathsep + env.get("PYTHONPATH", "")
    # -P: the current folder (a checkout holding the varnok/ sources) is not put on the path.
    out = subprocess.run([sys.executable, "-P", "-c", MEASURE, str(games)], capture_output=True, text=True,
                         env=env, check=True).stdout.split()
    if module_dir and not os.path.abspath(out[0]).startswith(os.path.abspath(module_dir)):
        raise SystemExit(f"the older build was not loaded from {module_dir} (got {out[0]})")
    return float(out[1]), float(out[2]), float(out[3])


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old", help="folder holding the older build of the module")
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--games", type=int, default=4000)
    parser.add_argument("--perft", metavar="OLD_TOOL", help="the older perft tool, compared with build/native's")
    args = parser.parse_args(argv)

    names = ["games/s (restore_state + roll_out)", "us per step", "us per get_actions"]
    if args.perft:
        names.append("perft nodes/s")
    results = {"old": [], "new": []}
    for round_no in range(args.rounds):
        for side, module_dir, tool in (("old", args.old, args.perft), ("new", None, NEW_PERFT)):
            row = list(measure(module_dir, args.games))
            if args.perft:
                row.append(perft_nodes_per_s(tool))
            results[side].append(row)
        print(f"round {round_no + 1}/{args.rounds}: old {results['old'][-1]}, new {results['new'][-1]}",
              file=sys.stderr)
    for i, name in enumerate(names):
        old = [r[i] for r in results["old"]]
        new = [r[i] for r in results["new"]]
        ratios = sorted(n / o for n, o in zip(new, old))
        print(f"{name}: old {statistics.median(old):.4g}, new {statistics.median(new):.4g}, "
              f"new/old median {statistics.median(ratios):.3f} (per-round {ratios[0]:.3f} - {ratios[-1]:.3f})")
    return 0


if __name__ == "__main__":
    sys.exit(main())

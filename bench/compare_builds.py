"""Side-by-side speed of two builds of the module: an older one and the one installed.

Build the older one into a folder of its own, for example:

    git worktree add ../varnok-old REV
    ./dev py -m pip install -q --no-build-isolation --no-deps --target build/old-module ../varnok-old
    ./dev py bench/compare_builds.py build/old-module

The two builds run alternately in fresh processes, so that load from elsewhere
on the machine falls on both; each process measures games per second of
`restore_state` + `roll_out` from the initial position and the time of `step`
over one recorded random game. Medians and new/old ratios are printed.
"""

from __future__ import annotations

import argparse
import os
import statistics
import subprocess
import sys

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
print(varnok.__file__, games_per_s, step_us)
"""


def measure(module_dir: str | None, games: int) -> tuple[float, float]:
    env = dict(os.environ)
    if module_dir:
        env["PYTHONPATH"] = os.path.abspath(module_dir) + os.pathsep + env.get("PYTHONPATH", "")
    out = subprocess.run([sys.executable, "-c", MEASURE, str(games)], capture_output=True, text=True,
                         env=env, check=True).stdout.split()
    if module_dir and not os.path.abspath(out[0]).startswith(os.path.abspath(module_dir)):
        raise SystemExit(f"the older build was not loaded from {module_dir} (got {out[0]})")
    return float(out[1]), float(out[2])


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("old", help="folder holding the older build of the module")
    parser.add_argument("--rounds", type=int, default=8)
    parser.add_argument("--games", type=int, default=4000)
    args = parser.parse_args(argv)

    results = {"old": [], "new": []}
    for round_no in range(args.rounds):
        results["old"].append(measure(args.old, args.games))
        results["new"].append(measure(None, args.games))
        print(f"round {round_no + 1}/{args.rounds}: "
              f"old {results['old'][-1][0]:.0f} games/s {results['old'][-1][1]:.2f} us/step, "
              f"new {results['new'][-1][0]:.0f} games/s {results['new'][-1][1]:.2f} us/step", file=sys.stderr)
    median = {name: [statistics.median(r[i] for r in rows) for i in range(2)] for name, rows in results.items()}
    for name in ("old", "new"):
        print(f"{name}: {median[name][0]:.0f} games/s (restore_state + roll_out), {median[name][1]:.2f} us per step")
    print(f"new / old: games {median['new'][0] / median['old'][0]:.3f}, step time {median['new'][1] / median['old'][1]:.3f}")
    return 0


if __name__ == "__main__":
    sys.exit(main())

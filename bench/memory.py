"""Memory: resident bytes per ChessEnv, and resident growth over many steps.

Each measurement runs in a fresh interpreter of its own (this file run as a
script), so that one cannot inherit the other's heap. Resident set sizes are
read with psutil.

- env_bytes: resident growth from creating and resetting N `ChessEnv`
  objects (all kept alive), divided by N; then again once each has played
  16 plies, when its eight-position history is full.
- growth: after a warm-up, the resident growth over S plies of the Python
  loop (get_actions, a random legal action, step, reset when done). A
  growing repetition map is the only growth an episode may show, so the
  largest repetition map seen is reported with it.
"""

from __future__ import annotations

import gc
import json
import random
import subprocess
import sys
from pathlib import Path

# Typical cost of one entry of an unordered map from a 64-bit hash to a
# count: an allocated node (next pointer, key, value, rounded up by malloc)
# plus its share of the bucket array.
MAP_ENTRY_BYTES = 64


def rss() -> int:
    import psutil

    gc.collect()
    return psutil.Process().memory_info().rss


def measure_env_bytes(count: int) -> dict:
    import varnok

    rss()  # the first reading sets psutil itself up
    warm = varnok.ChessEnv()
    warm.reset()
    del warm
    before = rss()
    envs = []
    for _ in range(count):
        env = varnok.ChessEnv()
        env.reset()
        envs.append(env)
    after = rss()
    # Sixteen plies later each history ring holds all eight positions.
    from pyloop import random_legal_action

    rng = random.Random(1)
    for env in envs:
        for _ in range(16):
            if env.step(random_legal_action(env.get_actions(), rng))[3]:
                env.reset()
    played = rss()
    return {"env_bytes": (after - before) / count, "count": count,
            "env_bytes_full_history": (played - before) / count}


def measure_growth(steps: int, warmup: int) -> dict:
    import varnok
    from pyloop import random_legal_action

    rss()  # the first reading sets psutil itself up
    rng = random.Random(3)
    env = varnok.ChessEnv()
    env.reset()
    largest_map = [0]

    def play(n: int) -> None:
        for _ in range(n):
            action = random_legal_action(env.get_actions(), rng)
            if env.step(action)[3]:
                largest_map[0] = max(largest_map[0], len(env.save_state().repetition_count))
                env.reset()

    play(warmup)
    before = rss()
    play(steps)
    after = rss()
    allowance = max(largest_map[0], 1) * MAP_ENTRY_BYTES
    return {"growth_bytes": after - before, "steps": steps, "warmup": warmup,
            "largest_repetition_map": largest_map[0], "allowance_bytes": allowance,
            "rss_before": before, "rss_after": after}


def in_fresh_process(*args: str) -> dict:
    here = Path(__file__).resolve()
    done = subprocess.run([sys.executable, str(here), *args], capture_output=True,
                          text=True, check=True, cwd=here.parent)
    return json.loads(done.stdout.strip().splitlines()[-1])


def run(settings, progress) -> dict:
    from timing import summary

    per_env, per_env_played = [], []
    for rep in range(settings.memory_reps):
        got = in_fresh_process("env_bytes", str(settings.env_count))
        per_env.append(got["env_bytes"])
        per_env_played.append(got["env_bytes_full_history"])
        progress.say(f"  rep {rep + 1}/{settings.memory_reps}: {got['env_bytes']:.0f} bytes "
                     f"per ChessEnv over {settings.env_count} after reset, "
                     f"{got['env_bytes_full_history']:.0f} after 16 plies")
    growth, growth_runs = [], []
    for rep in range(settings.memory_reps):
        got = in_fresh_process("growth", str(settings.growth_steps), str(settings.growth_warmup))
        growth.append(got["growth_bytes"])
        growth_runs.append(got)
        progress.say(f"  rep {rep + 1}/{settings.memory_reps}: {got['growth_bytes']} bytes "
                     f"resident growth over {settings.growth_steps} steps "
                     f"(largest repetition map {got['largest_repetition_map']} entries)")
    allowance = max(r["allowance_bytes"] for r in growth_runs)
    figures = {
        "env_bytes": summary(per_env).as_dict("bytes"),
        "env_bytes_full_history": summary(per_env_played).as_dict("bytes"),
        "growth_bytes_200k_steps": summary(growth).as_dict("bytes"),
    }
    figures["env_bytes"]["details"] = {
        "envs": settings.env_count,
        "how": "resident growth (psutil RSS) from creating and resetting the ChessEnv "
               "objects, all kept alive, divided by their number; one fresh process per rep",
    }
    figures["growth_bytes_200k_steps"]["details"] = {
        "steps": settings.growth_steps,
        "warmup_steps": settings.growth_warmup,
        "largest_repetition_map": max(r["largest_repetition_map"] for r in growth_runs),
        "allowance_bytes": allowance,
        "how": "resident growth over the steps of the Python loop after a warm-up; the "
               f"allowance is the largest episode's repetition map at {MAP_ENTRY_BYTES} "
               "bytes an entry; one fresh process per rep",
    }
    return figures


def main(argv: list[str]) -> int:
    if argv[:1] == ["env_bytes"] and len(argv) == 2:
        result = measure_env_bytes(int(argv[1]))
    elif argv[:1] == ["growth"] and len(argv) == 3:
        result = measure_growth(int(argv[1]), int(argv[2]))
    else:
        print("usage: memory.py env_bytes COUNT | growth STEPS WARMUP", file=sys.stderr)
        return 2
    print(json.dumps(result))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

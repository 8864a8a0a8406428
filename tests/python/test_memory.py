"""Long runs keep resident memory flat.

A leak of even a few dozen bytes per step or per saved State adds up to
megabytes over these runs, so a generous bound still catches one. The work
runs in a fresh interpreter, so that what other tests allocated does not
blur the measurement.
"""

import json
import subprocess
import sys

STEPS = 200_000
CYCLES = 20_000
BOUND = 8 * 1024 * 1024  # bytes of growth tolerated per phase

DRIVER = r"""
import json, random, sys, time
import varnok

def rss():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) * 1024
    raise RuntimeError("no VmRSS line")

def legal(mask):
    out = []
    for r, row in enumerate(mask):
        if 1 in row:
            j = -1
            try:
                while True:
                    j = row.index(1, j + 1)
                    out.append(r * 64 + j)
            except ValueError:
                pass
    return out

def play(env, rng, steps):
    games = 0
    for _ in range(steps):
        _, _, _, done = env.step(rng.choice(legal(env.get_actions())))
        if done:
            env.reset()
            games += 1
    return games

def cycles(env, count):
    for _ in range(count):
        saved = env.save_state()
        env.roll_out()
        env.restore_state(saved)

steps, count = int(sys.argv[1]), int(sys.argv[2])
rng = random.Random(20240601)
env = varnok.ChessEnv()
env.reset()
# Warm-up: the allocator's pools, the repetition table and the interpreter's
# caches reach their working size.
play(env, rng, 5_000)
cycles(env, 1_000)

out = {"start": rss()}
t = time.perf_counter()
out["games"] = play(env, rng, steps)
out["steps_s"] = time.perf_counter() - t
out["after_steps"] = rss()
env.reset()
play(env, rng, 20)  # branch from the middle of a game
t = time.perf_counter()
cycles(env, count)
out["cycles_s"] = time.perf_counter() - t
out["after_cycles"] = rss()
print(json.dumps(out))
"""


def measure(steps, cycles):
    run = subprocess.run([sys.executable, "-c", DRIVER, str(steps), str(cycles)],
                         capture_output=True, text=True, timeout=600)
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout)


def test_resident_memory_stays_flat_over_long_runs():
    m = measure(STEPS, CYCLES)
    mib = 1024 * 1024
    report = (f"{STEPS} steps ({m['games']} games) in {m['steps_s']:.1f} s, "
              f"{CYCLES} save/roll-out/restore cycles in {m['cycles_s']:.1f} s; RSS "
              f"{m['start'] / mib:.1f} -> {m['after_steps'] / mib:.1f} -> {m['after_cycles'] / mib:.1f} MiB")
    print(report)
    assert m["games"] > 0, report
    assert m["after_steps"] - m["start"] < BOUND, report
    assert m["after_cycles"] - m["after_steps"] < BOUND, report

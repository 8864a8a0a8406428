"""varnok's side-by-side benchmarks (`./dev bench`).

    bench/run.py [--quick] [--only SECTION[,SECTION...]] [--out FOLDER]

Measures, on this machine and in one run:

1. move generation: the native perft tool against Stockfish's `go perft`;
2. random games: `roll_out` against python-chess;
3. Python-level play: the get_actions / step loop against PettingZoo's chess
   environment, and `step` / `get_actions` against plain list-building floors;
4. the single-game NumPy loop (observation, legal_mask, play) against
   PettingZoo;
5. notation: reading PGN and writing SAN against python-chess;
6. vectorised stepping: VectorEnv against EnvPool Chess-v1 and pgx on the CPU;
7. tree search: varnok.MCTS against mctx with pgx chess;
8. memory: resident bytes per ChessEnv, and resident growth over many steps;
9. matches: a Random match against python-chess, MCTS players batched
   against one game at a time;
10. learning: varnok's share of AlphaZero self-play time against the
   network's.

Sections 4-7 measure parts of varnok's API that may not be in the installed
build yet, and peers that may not import here: such figures are written as
missing (value null) with the reason, printed during the run and listed under
the table, and the run goes on.

Writes latest.json, latest.md (a markdown table) and latest.png (a chart)
into FOLDER (default bench/results). Progress goes to standard error.
`--quick` runs everything with tiny counts in a few seconds (a smoke run;
its figures mean nothing). `--only` runs the named sections alone (names in
SECTIONS below: movegen, rollouts, pyloop, single_game, notation, vector,
search, adapters, arena, distributed, learning, memory), by default into build/bench-partial; a
quick run goes by default into build/bench-quick; so a partial or smoke run
never replaces the results of a whole one.
"""

from __future__ import annotations

import argparse
import datetime
import json
import os
import platform
import subprocess
import sys
from pathlib import Path

import adapters
import arena
import distributed
import learning
import movegen
import memory
import notation
import pyloop
import report
import rollouts
import single_game
import tree_search
import vector
from timing import TOP, Progress, Settings

SECTIONS = [
    ("movegen", "move generation: perft against Stockfish", movegen.run),
    ("rollouts", "random games: roll_out against python-chess", rollouts.run),
    ("pyloop", "Python-level play and list floors", pyloop.run),
    ("single_game", "single-game NumPy loop against PettingZoo", single_game.run),
    ("notation", "notation: PGN and SAN against python-chess", notation.run),
    ("vector", "vectorised steps against EnvPool and pgx", vector.run),
    ("search", "tree search against the Python reference and mctx", tree_search.run),
    ("adapters", "Gymnasium and PettingZoo adapters", adapters.run),
    ("arena", "matches: the arena against python-chess, batched against serial", arena.run),
    ("distributed", "self-play and PGN shards on Ray", distributed.run),
    ("learning", "AlphaZero self-play: varnok's share against the network", learning.run),
    ("memory", "memory (fresh processes)", memory.run),
]


def cpu_name() -> str:
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or platform.machine()


def commit() -> str:
    try:
        done = subprocess.run(["git", "-C", str(TOP), "rev-parse", "--short", "HEAD"],
                              capture_output=True, text=True, check=True)
        dirty = subprocess.run(["git", "-C", str(TOP), "status", "--porcelain", "--",
                                "core", "env", "module", "CMakeLists.txt"],
                               capture_output=True, text=True, check=True).stdout.strip()
        return done.stdout.strip() + (" with local changes to the core" if dirty else "")
    except (OSError, subprocess.CalledProcessError):
        return "unknown"


def write_atomic(path: Path, data: bytes) -> None:
    tmp = path.with_name(path.name + ".tmp")
    tmp.write_bytes(data)
    os.replace(tmp, path)


def main(argv=None) -> int:
    parser = argparse.ArgumentParser(description="varnok side-by-side benchmarks")
    parser.add_argument("--quick", action="store_true",
                        help="tiny repetition counts: a smoke run of a few seconds")
    parser.add_argument("--only", type=lambda text: text.split(","), default=None,
                        metavar="SECTION[,SECTION...]",
                        help="run these sections alone: " + ", ".join(s[0] for s in SECTIONS))
    parser.add_argument("--out", type=Path, default=None,
                        help="folder for latest.json, latest.md and latest.png (default "
                             "bench/results; build/bench-partial with --only, build/bench-quick "
                             "with --quick)")
    args = parser.parse_args(argv)
    names = [s[0] for s in SECTIONS]
    unknown = sorted(set(args.only or []) - set(names))
    if unknown:
        parser.error(f"unknown sections {unknown}; there are {names}")
    sections = [s for s in SECTIONS if args.only is None or s[0] in args.only]
    settings = Settings.make(args.quick)
    # Only a whole, full run replaces the committed results.
    default_out = "build/bench-quick" if args.quick else "build/bench-partial" if args.only else "bench/results"
    out = args.out or TOP / default_out
    out = out.resolve()
    out.mkdir(parents=True, exist_ok=True)

    load_before = os.getloadavg()[0]
    progress = Progress(len(sections))
    progress.say(f"{'quick smoke run' if settings.quick else 'full run'}, "
                 f"{settings.reps} repetitions, results to {out}")
    figures = {}
    for _name, title, section in sections:
        progress.begin(title)
        figures.update(section(settings, progress))
    report.apply_targets(figures)
    if not report.all_finite(figures):
        bad = [k for k, f in figures.items()
               if not report.is_missing(f) and f["value"] != f["value"]]
        raise RuntimeError(f"figures that are not numbers: {bad}")

    meta = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "machine": f"{cpu_name()}, {os.cpu_count()} CPUs, {platform.system()} "
                   f"{platform.release()}",
        "python": platform.python_version(),
        "commit": commit(),
        "quick": settings.quick,
        "reps": settings.reps,
        "memory_reps": settings.memory_reps,
        "seconds": progress.elapsed(),
        # Other work on the machine shows here: the run itself adds about 1.
        "load_average_1min": [round(load_before, 2), round(os.getloadavg()[0], 2)],
        "only": [s[0] for s in sections] if args.only else None,
    }
    document = {"meta": meta, **figures}
    write_atomic(out / "latest.json", (json.dumps(document, indent=2) + "\n").encode())
    table = report.markdown(figures, meta)
    write_atomic(out / "latest.md", table.encode())
    report.chart(figures, out / "latest.png")
    gone = [k for k, f in figures.items() if report.is_missing(f)]
    if gone:
        progress.say(f"{len(gone)} figures missing (reasons under the table): {', '.join(gone)}")
    progress.say(f"done in {progress.elapsed():.0f} s: {out / 'latest.json'}, latest.md, "
                 "latest.png")
    sys.stdout.write(table)
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""The strength table of docs/arena.md: each row one match played with the
arena, reproducible alone with the command printed beside it.

    ./dev py tools/strength_table.py [--scale S] [--only N,...] [--out FILE]

Rows chain from Random up through Material and UCT to Stockfish at fixed
node counts, each against a neighbour close enough in strength for its
score to say something; the ladder column adds the rows' Elo along the
chain from Random (a sum of point estimates: its uncertainty is at least
that of each step). Openings: the built-in balanced set, each played with
both colours; FIDE draw rules; a game still going at 300 plies is a draw.
--scale multiplies every row's game count.
"""

from __future__ import annotations

import argparse
import math
import shlex
import sys
import time

from varnok import arena, players

SEED = 1
MAX_PLIES = 300
SF1 = "uci:stockfish:nodes=1,Threads=1"
SF100 = "uci:stockfish:nodes=100,Threads=1"
# (player, opponent, games, the opponent's row for the ladder: None for Random)
ROWS = [
    ("random", "random", 20, None),
    ("material:1", "random", 100, "random"),
    ("material:2", "material:1", 100, "material:1"),
    ("material:3", "material:2", 100, "material:2"),
    ("uct:100", "random", 40, "random"),
    ("uct:400", "uct:100", 40, "uct:100"),
    ("uct:800", "uct:400", 40, "uct:400"),
    ("uct:1600", "uct:800", 20, "uct:800"),
    ("uct:3200", "uct:1600", 20, "uct:1600"),
    (SF1, "material:3", 40, "material:3"),
    (SF100, SF1, 20, SF1),
]


def command(a: str, b: str, games: int) -> str:
    return (f"python -m varnok match {shlex.quote(a)} {shlex.quote(b)} --games {games} --openings builtin "
            f"--seed {SEED} --max-plies {MAX_PLIES}")


def fmt(x: float) -> str:
    if math.isnan(x):
        return "n/a"  # a row whose opponent's row was not played in this run
    return f"{x:+.0f}" if math.isfinite(x) else ("+inf" if x > 0 else "-inf")


def main() -> int:
    p = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    p.add_argument("--scale", type=float, default=1.0)
    p.add_argument("--only", type=lambda t: [int(x) for x in t.split(",")], default=None)
    p.add_argument("--out", default=None, help="also write the markdown table here")
    args = p.parse_args()
    ladder: dict[str, float] = {}
    lines = ["| player | opponent | games | +W =D -L | score | Elo [95% interval] | ladder Elo from Random |"
             " minutes |", "|---|---|---|---|---|---|---|---|"]
    for number, (a, b, games, base) in enumerate(ROWS):
        if args.only is not None and number not in args.only:
            continue
        games = max(2, int(round(games * args.scale / 2)) * 2)
        pa, pb = players.player_from_text(a, seed=SEED), players.player_from_text(b, seed=SEED)
        t0 = time.perf_counter()
        try:
            r = arena.match(pa, pb, games, "builtin", seed=SEED, max_plies=MAX_PLIES)
        finally:
            pa.close()
            pb.close()
        minutes = (time.perf_counter() - t0) / 60
        low, high = r.elo_interval
        ladder[a] = 0.0 if base is None else ladder.get(base, math.nan) + r.elo
        row = (f"| {pa.name} | {pb.name} | {len(r.games)} | +{r.wins} ={r.draws} -{r.losses} | {r.score:.3f} | "
               f"{fmt(r.elo)} [{fmt(low)}, {fmt(high)}] | {fmt(ladder[a])} | {minutes:.1f} |")
        lines.append(row)
        print(row, flush=True)
        print(f"    {command(a, b, games)}", file=sys.stderr, flush=True)
    text = "\n".join(lines)
    print(text)
    if args.out:
        with open(args.out, "w", encoding="utf-8") as out:
            out.write(text + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

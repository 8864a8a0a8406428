"""python -m varnok: training data from the command line (the `ray` extra).

    python -m varnok selfplay OUT --games 1000 --simulations 64 --seed 7
    python -m varnok pgn2shards GAMES.pgn|FOLDER OUT
    python -m varnok verify OUT

Jobs run on Ray, on this machine's cores by default or on a running cluster
with --address; --engine local runs them in this process. A rerun into the
same OUT resumes: finished shards are kept.
"""

from __future__ import annotations

import argparse
import sys


def _engine_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--engine", choices=("ray", "local"), default="ray", help="where shards are made (default ray)")
    p.add_argument("--workers", type=int, default=None, help="worker processes (default: one per CPU)")
    p.add_argument("--address", default=None, help="address of a running Ray cluster (default: a local one)")
    p.add_argument("--quiet", action="store_true", help="no progress bar")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m varnok", description=__doc__.split("\n\n")[0])
    sub = top.add_subparsers(dest="command", required=True)

    sp = sub.add_parser("selfplay", help="play games with the native search into shards")
    sp.add_argument("out", help="output folder")
    sp.add_argument("--games", type=int, required=True)
    sp.add_argument("--games-per-shard", type=int, default=16)
    sp.add_argument("--seed", type=int, default=0)
    sp.add_argument("--search", choices=("uct", "uniform", "policy"), default="uct",
                    help="uct: random roll-outs; uniform: MCTS with uniform priors; policy: MCTS with --policy")
    sp.add_argument("--policy", help="module:function mapping (obs, legal_mask) to (priors, values)")
    sp.add_argument("--logits", action="store_true", help="the policy function returns logits")
    sp.add_argument("--simulations", type=int, default=32)
    sp.add_argument("--leaves-per-tree", type=int, default=1)
    sp.add_argument("--temperature", type=float, default=1.0)
    sp.add_argument("--temperature-plies", type=int, default=30,
                    help="plies played at --temperature; the most visited move after")
    sp.add_argument("--max-plies", type=int, default=200, help="a longer game is a draw")
    sp.add_argument("--resign", type=float, default=None,
                    help="resign when the root value falls below this (default: never)")
    sp.add_argument("--resign-min-plies", type=int, default=0)
    sp.add_argument("--openings", help="start positions: a file of FEN lines or a PGN file")
    sp.add_argument("--threads", type=int, default=1, help="threads per worker")
    sp.add_argument("--rules", choices=("classic", "fide", "fide-strict"), default="classic", help="draw rules of the games")
    _engine_args(sp)

    pg = sub.add_parser("pgn2shards", help="convert a PGN file or folder into shards")
    pg.add_argument("source", help="a .pgn file or a folder of them")
    pg.add_argument("out", help="output folder")
    pg.add_argument("--chunk-mb", type=float, default=8.0, help="bytes of PGN per shard, in MB")
    _engine_args(pg)

    vf = sub.add_parser("verify", help="replay every game of a shard folder and check every row")
    vf.add_argument("path")
    vf.add_argument("--quiet", action="store_true")
    return top


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    from varnok import data
    try:
        if args.command == "selfplay":
            summary = data.selfplay(
                args.out, args.games, games_per_shard=args.games_per_shard, seed=args.seed, search=args.search,
                policy=args.policy, logits=args.logits, simulations=args.simulations,
                leaves_per_tree=args.leaves_per_tree, temperature=args.temperature,
                temperature_plies=args.temperature_plies, max_plies=args.max_plies, resign=args.resign,
                resign_min_plies=args.resign_min_plies, openings=args.openings, threads=args.threads,
                engine=args.engine, workers=args.workers, address=args.address, progress=not args.quiet,
                rules=args.rules)
        elif args.command == "pgn2shards":
            summary = data.pgn2shards(args.source, args.out, chunk_bytes=max(1, int(args.chunk_mb * 1e6)),
                                      engine=args.engine, workers=args.workers, address=args.address,
                                      progress=not args.quiet)
        else:
            summary = data.verify(args.path, progress=not args.quiet)
    except (data.ShardError, FileNotFoundError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    print(summary.text())
    return 0


if __name__ == "__main__":
    sys.exit(main())

"""python -m varnok: training data from the command line (the `ray` extra).

    python -m varnok selfplay OUT --games 1000 --simulations 64 --seed 7
    python -m varnok pgn2shards GAMES.pgn|GAMES.pgn.zst|FOLDER OUT
    python -m varnok verify OUT

Jobs run on Ray, on this machine's cores by default or on a running cluster
with --address; --engine local runs them in this process. A rerun into the
same OUT resumes: finished shards are kept.
"""

from __future__ import annotations

import argparse
import sys

SELFPLAY_EXAMPLES = """examples:
  python -m varnok selfplay out/sp --games 1000 --simulations 64 --seed 7
  python -m varnok selfplay out/az --games 200 --search policy --policy mynet:evaluate --logits
  python -m varnok selfplay out/sp --games 1000 --simulations 64 --seed 7   # again: resumes or says nothing to do
"""
PGN_EXAMPLES = """examples:
  python -m varnok pgn2shards lichess_db_standard_rated_2024-01.pgn.zst out/lichess
  python -m varnok pgn2shards games/ out/games --chunk-mb 32 --workers 8

Files may be .pgn or compressed .pgn.gz, .pgn.bz2, .pgn.zst (read as they
stream). Ranges are cut at game starts as the reader finds them; for a
compressed file they count bytes of the decompressed text.
"""
VERIFY_EXAMPLES = """examples:
  python -m varnok verify out/sp
  python -m varnok verify out/lichess --skip-source   # the PGN files are not on this machine
"""


class HelpFormatter(argparse.RawDescriptionHelpFormatter):
    """Examples kept as written; every option's default after its help,
    unless the help says it (a default that is "none" or a computed one)."""

    def _get_help_string(self, action):
        text = action.help or ""
        shown = not (action.default is None or action.default is False or action.default == argparse.SUPPRESS)
        if "default" not in text and shown and action.option_strings:
            text += " (default: %(default)s)"
        return text


def _engine_args(p: argparse.ArgumentParser) -> None:
    p.add_argument("--engine", choices=("ray", "local"), default="ray",
                   help="where shards are made: Ray workers, or this process one shard after the other")
    p.add_argument("--workers", type=int, default=None, metavar="N",
                   help="worker processes (default: one per CPU of the machine or cluster)")
    p.add_argument("--address", default=None, metavar="HOST:PORT",
                   help="address of a running Ray cluster (default: start a local one, stopped at the end)")
    p.add_argument("--quiet", action="store_true", help="no progress bar (default: a bar on stderr)")


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m varnok", description=__doc__.split("\n\n")[0],
                                  epilog=__doc__.split("\n\n", 1)[1], formatter_class=HelpFormatter)
    sub = top.add_subparsers(dest="command", required=True)

    sp = sub.add_parser("selfplay", help="play games with the native search into shards", epilog=SELFPLAY_EXAMPLES,
                        description="Plays games with the native search into Parquet shards in OUT.",
                        formatter_class=HelpFormatter)
    sp.add_argument("out", help="output folder (made if missing; a rerun into it resumes)")
    sp.add_argument("--games", type=int, required=True, help="games to play in all (required)")
    sp.add_argument("--games-per-shard", type=int, default=16, metavar="N",
                    help="games per shard, played side by side in one worker")
    sp.add_argument("--seed", type=int, default=0, help="the job's seed; each shard derives its own from it")
    sp.add_argument("--search", choices=("uct", "uniform", "policy"), default="uct",
                    help="uct: random roll-outs; uniform: MCTS with uniform priors; policy: MCTS with --policy")
    sp.add_argument("--policy", metavar="MODULE:FUNCTION",
                    help="with --search policy: a function mapping (obs, legal_mask) to (priors, values); "
                         "tried once here before any worker starts (default: none)")
    sp.add_argument("--logits", action="store_true",
                    help="the policy function returns logits (default: probabilities)")
    sp.add_argument("--simulations", type=int, default=32, metavar="N", help="search simulations per move")
    sp.add_argument("--leaves-per-tree", type=int, default=1, metavar="N",
                    help="MCTS leaves selected per tree and batch")
    sp.add_argument("--temperature", type=float, default=1.0,
                    help="moves drawn in proportion to visits ** (1 / temperature); 0 plays the most visited")
    sp.add_argument("--temperature-plies", type=int, default=30, metavar="N",
                    help="plies played at --temperature; the most visited move after")
    sp.add_argument("--max-plies", type=int, default=200, metavar="N", help="a longer game is a draw")
    sp.add_argument("--resign", type=float, default=None, metavar="VALUE",
                    help="resign when the root value falls below this (default: never)")
    sp.add_argument("--resign-min-plies", type=int, default=0, metavar="N",
                    help="plies before which no side resigns")
    sp.add_argument("--openings", metavar="FILE",
                    help="start positions: a file of FEN lines or a PGN file (default: the initial position)")
    sp.add_argument("--threads", type=int, default=1, metavar="N",
                    help="threads per worker (the games do not depend on it)")
    sp.add_argument("--rules", choices=("classic", "fide", "fide-strict"), default="classic",
                    help="draw rules of the games (default: %(default)s)")
    sp.add_argument("--chess960", action="store_true",
                    help="play Chess960: each game starts from one of the 960 arrays, drawn from the seed "
                         "(default: standard chess)")
    _engine_args(sp)

    pg = sub.add_parser("pgn2shards", help="convert PGN files (also .gz, .bz2, .zst) into shards",
                        epilog=PGN_EXAMPLES, formatter_class=HelpFormatter,
                        description="Converts a PGN file, or every PGN file under a folder, into Parquet shards.")
    pg.add_argument("source", help="a PGN file (.pgn, .pgn.gz, .pgn.bz2, .pgn.zst) or a folder of them")
    pg.add_argument("out", help="output folder (made if missing; a rerun into it resumes)")
    pg.add_argument("--chunk-mb", type=float, default=8.0, metavar="MB",
                    help="PGN text per shard, in MB (decompressed for a compressed file)")
    _engine_args(pg)

    vf = sub.add_parser("verify", help="replay every game of a shard folder and check every row",
                        epilog=VERIFY_EXAMPLES, formatter_class=HelpFormatter,
                        description="Checks every shard against the manifest, replays every game and checks every "
                                    "row; for PGN shards also compares the games with a full read of the source.")
    vf.add_argument("path", help="the shard folder (the one holding manifest.json)")
    vf.add_argument("--skip-source", action="store_true",
                    help="do not compare PGN shards with their source files (default: compare)")
    vf.add_argument("--quiet", action="store_true", help="no progress bar (default: a bar on stderr)")
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
                rules=args.rules, chess960=args.chess960)
        elif args.command == "pgn2shards":
            summary = data.pgn2shards(args.source, args.out, chunk_bytes=max(1, int(args.chunk_mb * 1e6)),
                                      engine=args.engine, workers=args.workers, address=args.address,
                                      progress=not args.quiet)
        else:
            summary = data.verify(args.path, progress=not args.quiet, source=not args.skip_source)
    except (data.ShardError, OSError, ValueError, RuntimeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        stopped = "the finished shards are kept; rerun the same command to resume" if args.command != "verify" else ""
        print(f"error: interrupted{'; ' + stopped if stopped else ''}", file=sys.stderr)
        return 130
    print(summary.text())
    return 0


if __name__ == "__main__":
    sys.exit(main())

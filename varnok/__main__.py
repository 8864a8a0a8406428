"""python -m varnok: training data, matches and a UCI engine from the command line.

    python -m varnok selfplay OUT --games 1000 --simulations 64 --seed 7
    python -m varnok pgn2shards GAMES.pgn|GAMES.pgn.zst|FOLDER OUT
    python -m varnok verify OUT
    python -m varnok view GAMES.pgn [-o GAMES.html]
    python -m varnok train out/games --out net.pt --minutes 10
    python -m varnok match material:1 random --games 200
    python -m varnok uci uct:800

Jobs run on Ray, on this machine's cores by default or on a running cluster
with --address; --engine local runs them in this process. A rerun into the
same OUT resumes: finished shards are kept.
"""

from __future__ import annotations

import argparse
import sys

from varnok._checks import integer, output_file, real, write_text

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
compressed file they count bytes of the decompressed text. A game without a
result (*, unfinished) is left out, not stored as a draw; the summary counts them.
"""
MATCH_EXAMPLES = """players:
  random, material:DEPTH, uct:SIMULATIONS, mcts:MODULE:FUNCTION:SIMULATIONS[:logits],
  torch:CHECKPOINT:SIMULATIONS (MCTS over a network of `python -m varnok train`),
  uci:COMMAND[:name=value,...] (nodes, depth, movetime in ms; timeout in s for one answer,
    600 by default; other names are UCI options)

examples:
  python -m varnok match material:1 random --games 200
  python -m varnok match uct:800 material:2 --games 400 --openings builtin --pgn games.pgn
  python -m varnok match mcts:mynet:evaluate:200 mcts:oldnet:evaluate:200 --sprt 0 10 --games 20000
  python -m varnok match material:3 "uci:stockfish:nodes=1000,Skill Level=0" --games 100 --workers 2 --engine ray
"""
UCI_EXAMPLES = """examples:
  python -m varnok uci material:2
  python -m varnok uci torch:net.pt:200
  python -m varnok uci mcts:mynet:evaluate:400      # then in a GUI: go movetime 1000
"""
VERIFY_EXAMPLES = """examples:
  python -m varnok verify out/sp
  python -m varnok verify out/lichess --skip-source   # the PGN files are not on this machine
"""
TRAIN_EXAMPLES = """examples:
  python -m varnok train out/games --out net.pt --minutes 10
  python -m varnok train out/games --out big.pt --blocks 6 --channels 64 --steps 20000 --device cuda

Needs PyTorch (pip install varnok[torch]). A line per measure: steps, time,
positions seen, the training loss since the last line, and on the held-out
games the policy accuracy (the move played is the network's first choice),
the policy loss and the value loss; the checkpoint is written each time,
and on Ctrl-C with the steps made since (unmeasured).
"""
VIEW_EXAMPLES = """examples:
  python -m varnok view games.pgn                   # writes games.html
  python -m varnok view games.pgn -o watch.html --animated first.svg
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
                   help="Ray worker processes (default: one per CPU of the machine or cluster)")
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

    tr = sub.add_parser("train", help="train a policy-and-value network on shards (PyTorch)",
                        epilog=TRAIN_EXAMPLES, formatter_class=HelpFormatter,
                        description="Trains a residual network to predict the move played at each row of a shard "
                                    "folder and the game's result for the side to move.")
    tr.add_argument("shards", help="the shard folder (from pgn2shards or selfplay)")
    tr.add_argument("--out", required=True, help="the checkpoint to write (required)")
    tr.add_argument("--minutes", type=float, default=None, help="training time (default: none; give it or --steps)")
    tr.add_argument("--steps", type=int, default=None, help="Adam steps (default: none; give it or --minutes)")
    tr.add_argument("--batch", type=int, default=256, metavar="N", help="positions per step")
    tr.add_argument("--lr", type=float, default=1e-3, help="Adam's learning rate")
    tr.add_argument("--blocks", type=int, default=4, metavar="N", help="residual blocks")
    tr.add_argument("--channels", type=int, default=32, metavar="N", help="channels per convolution")
    tr.add_argument("--held-out", type=float, default=0.05, metavar="SHARE",
                    help="share of the games kept out of training and measured")
    tr.add_argument("--eval-every", type=int, default=500, metavar="N", help="steps between measures")
    tr.add_argument("--seed", type=int, default=0, help="weights and shuffle")
    tr.add_argument("--device", default="cpu", help="torch device")
    tr.add_argument("--workers", type=int, default=0, metavar="N", help="data-loader worker processes")
    tr.add_argument("--threads", type=int, default=None, metavar="N", help="torch threads (default: torch's)")
    tr.add_argument("--quiet", action="store_true", help="no progress bar (default: a bar of the steps on stderr)")

    vf = sub.add_parser("verify", help="replay every game of a shard folder and check every row",
                        epilog=VERIFY_EXAMPLES, formatter_class=HelpFormatter,
                        description="Checks every shard against the manifest, replays every game and checks every "
                                    "row; for PGN shards also compares the games with a full read of the source.")
    vf.add_argument("path", help="the shard folder (the one holding manifest.json)")
    vf.add_argument("--skip-source", action="store_true",
                    help="do not compare PGN shards with their source files (default: compare)")
    vf.add_argument("--quiet", action="store_true", help="no progress bar (default: a bar on stderr)")

    vw = sub.add_parser("view", help="write a PGN file's games as one HTML page to watch in a browser",
                        epilog=VIEW_EXAMPLES, formatter_class=HelpFormatter,
                        description="Writes a self-contained HTML page (no network needed) showing every game "
                                    "of a PGN file with a move list, buttons and the arrow keys.")
    vw.add_argument("pgn", help="a PGN file (.pgn, .pgn.gz, .pgn.bz2, .pgn.zst)")
    vw.add_argument("-o", "--output", metavar="OUT.html",
                    help="the page to write (default: the PGN file's name with .html)")
    vw.add_argument("--animated", metavar="OUT.svg",
                    help="also write one game as an SVG that plays itself (default: none)")
    vw.add_argument("--game", type=int, default=0, metavar="N", help="the game --animated shows, 0 the first")
    vw.add_argument("--seconds-per-ply", type=float, default=1.0, metavar="S", help="--animated's pace")
    mt = sub.add_parser("match", help="play two players against each other: Elo, interval, SPRT, PGN",
                        epilog=MATCH_EXAMPLES, formatter_class=HelpFormatter,
                        description="Plays WHITE (the first player) against BLACK with alternating colours, each "
                                    "opening once with each colour, and prints the score, Elo with its 95% "
                                    "interval, the likelihood of superiority and (with --sprt) the SPRT verdict.")
    mt.add_argument("first", metavar="WHITE", help="the first player (white in odd games)")
    mt.add_argument("second", metavar="BLACK", help="the second player")
    mt.add_argument("--games", type=int, default=100, metavar="N", help="games to play (at most, under --sprt)")
    mt.add_argument("--openings", metavar="FILE",
                    help="a FEN/EPD file, a PGN file, or 'builtin' (default: the initial position)")
    mt.add_argument("--opening-plies", type=int, default=None, metavar="N",
                    help="with a PGN file: the position after N plies of each game, or after all its moves "
                         "when it has fewer (default: all its moves)")
    mt.add_argument("--pgn", metavar="OUT", help="write every game to this PGN file (default: none)")
    mt.add_argument("--sprt", type=float, nargs=2, metavar=("ELO0", "ELO1"),
                    help="stop when the SPRT of ELO0 against ELO1 decides (default: play every game)")
    mt.add_argument("--alpha", type=float, default=None, help="SPRT false-positive rate (default: 0.05)")
    mt.add_argument("--beta", type=float, default=None, help="SPRT false-negative rate (default: 0.05)")
    mt.add_argument("--seed", type=int, default=0, help="the match's seed (players and openings draws)")
    mt.add_argument("--max-plies", type=int, default=500, metavar="N", help="a longer game is a draw")
    mt.add_argument("--rules", choices=("classic", "fide", "fide-strict"), default="fide",
                    help="draw rules of the games (default: %(default)s)")
    mt.add_argument("--chess960", action="store_true",
                    help="play Chess960: each pair from its own array drawn from the seed, or the openings "
                         "read as Chess960 positions")
    mt.add_argument("--batch", type=int, default=None, metavar="N",
                    help="games played side by side per block (default: 256, 32 under --sprt)")
    mt.add_argument("--engine", choices=("local", "ray"), default="local",
                    help="where blocks are played: this process, or Ray workers")
    mt.add_argument("--workers", type=int, default=None, metavar="N",
                    help="Ray worker processes (default: one per CPU); the games do not depend on it")
    mt.add_argument("--address", default=None, metavar="HOST:PORT", help="a running Ray cluster (default: none)")
    mt.add_argument("--quiet", action="store_true", help="no progress bar (default: a bar on stderr)")

    uc = sub.add_parser("uci", help="speak UCI on stdin/stdout for a player (GUIs, match managers)",
                        epilog=UCI_EXAMPLES, formatter_class=HelpFormatter,
                        description="Plays PLAYER as a UCI engine on standard input and output.")
    uc.add_argument("player", metavar="PLAYER",
                    help="random, material:D, uct:N, mcts:MODULE:FUNCTION:N, torch:CHECKPOINT:N")
    return top


def _view(args: argparse.Namespace) -> int:
    import pathlib
    import warnings

    from varnok import viewer

    source = pathlib.Path(args.pgn)
    out = args.output or str(source.with_name(_page_name(source.name)))
    try:
        # Written over the PGN file, the page would take its games; the SVG over the page, the page.
        written = [pathlib.Path(out)] + ([pathlib.Path(args.animated)] if args.animated else [])
        for i, path in enumerate(written):
            for other in [source] + written[:i]:
                if path.resolve() == other.resolve():
                    what = "the PGN file" if other is source else "the page"
                    raise ValueError(f"{path}: would be written over {what}; choose another name")
        # Every path given is checked before any file is written (or a long
        # PGN file read): a bad --animated path, found after the page was
        # written, would leave half the work. The default page, beside the
        # PGN file, is the first file written: a refusal there writes nothing.
        for given, option in ((args.output, "-o"), (args.animated, "--animated")):
            if given:
                output_file(given, option)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", UserWarning)  # "holds no PGN game": said once below
            games = viewer.games_of(source, draw=False)  # the page draws its boards
        if not games:
            raise ValueError(f"{source} holds no PGN game")
        animated = None
        if args.animated:  # made first: a refused --game or pace writes nothing
            if not 0 <= args.game < len(games):
                raise ValueError(f"--game {args.game}: the file holds games 0 to {len(games) - 1}")
            animated = viewer.animated_svg(games[args.game], args.seconds_per_ply)
        viewer.html(games, out, title=source.name)
        print(f"{len(games)} games written to {out}")
        if animated is not None:
            write_text(args.animated, animated, "--animated")
            print(f"game {args.game} written to {args.animated}")
    except (OSError, ValueError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:   # Ctrl-C while a long PGN file (or a pipe) is read
        print("error: interrupted", file=sys.stderr)
        return 130
    return 0


def _page_name(pgn_name: str) -> str:
    """The page beside a PGN file: its name with .html for .pgn and a
    compression suffix (round.1.pgn.zst: round.1.html, not round.html,
    which round.2.pgn would overwrite)."""
    from varnok._compression import SUFFIXES
    stem = pgn_name
    for suffix in (*SUFFIXES, ".pgn"):
        if stem.lower().endswith(suffix):
            stem = stem[:-len(suffix)]
    return (stem or pgn_name) + ".html"


def _train(args: argparse.Namespace) -> int:
    try:
        from varnok import train
    except ImportError as exc:
        print(f"error: training needs PyTorch (pip install varnok[torch]): {exc}", file=sys.stderr)
        return 1
    try:
        if args.threads is not None:
            train.torch.set_num_threads(integer(args.threads, "--threads", 1))
        train.supervised(args.shards, args.out, minutes=args.minutes, steps=args.steps, batch=args.batch,
                         lr=args.lr, blocks=args.blocks, channels=args.channels, held_out=args.held_out,
                         eval_every=args.eval_every, seed=args.seed, device=args.device, workers=args.workers,
                         log=lambda line: print(line, flush=True), progress=not args.quiet)
    except (train.ShardError, OSError, ValueError, TypeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        print("error: interrupted", file=sys.stderr)   # the log line before says what was written
        return 130
    return 0


def run_match(args) -> int:
    from varnok import players
    if args.seed < 0:  # the match's own argument, not the first player's
        print(f"error: --seed must be at least 0, got {args.seed}", file=sys.stderr)
        return 2
    a = None
    try:
        a = players.player_from_text(args.first, seed=args.seed)
        b = players.player_from_text(args.second, seed=args.seed)
    except (TypeError, ValueError) as exc:
        if a is not None:
            a.close()   # a UCI engine's process, started for nothing
        print(f"error: {exc}", file=sys.stderr)
        return 2
    try:
        return _play_match(args, a, b)
    finally:
        a.close()
        b.close()


def _play_match(args, a, b) -> int:
    """The match of run_match between its players a and b: 2 for a fault
    of the command's arguments, said before any game; 1 for a failure
    once games are under way, 130 for Ctrl-C."""
    import os

    from varnok import arena
    made = False
    if args.pgn:
        # A PGN file that cannot be written is said before the games, not after them;
        # so is one that would take the place of the opening book the games start from.
        if args.openings not in (None, "builtin") and os.path.exists(args.openings) and os.path.exists(args.pgn) \
                and os.path.samefile(args.openings, args.pgn):
            print(f"error: --pgn {args.pgn}: the games would be written over the --openings file",
                  file=sys.stderr)
            return 2
        made = not os.path.exists(args.pgn)
        try:
            open(args.pgn, "a", encoding="utf-8").close()
        except OSError as exc:
            print(f"error: --pgn: {exc}", file=sys.stderr)
            return 2
    if not args.sprt and (args.alpha is not None or args.beta is not None):
        # Without a test they would change nothing: a forgotten --sprt, said rather than a whole match played.
        print("error: --alpha and --beta set the SPRT's error rates: they need --sprt ELO0 ELO1", file=sys.stderr)
        return 2
    sprt = (args.sprt[0], args.sprt[1], 0.05 if args.alpha is None else args.alpha,
            0.05 if args.beta is None else args.beta) if args.sprt else None
    bar = play = None
    so_far = []  # the result of the blocks finished, kept for an interruption

    def progress(result) -> None:
        so_far[:] = [result]
        if bar:
            bar.update(result)

    try:
        # The match's own arguments (--games 0, an openings file that cannot
        # be read, --workers with the local engine) are usage errors, exit 2
        # as argparse's are; they are all checked before any game.
        play = arena._prepared_match(
            a, b, args.games, args.openings, seed=args.seed, max_plies=args.max_plies, rules=args.rules,
            engine=args.engine, workers=args.workers, address=args.address, sprt=sprt, batch=args.batch,
            opening_plies=args.opening_plies, progress=progress, chess960=args.chess960)
        bar = None if args.quiet else _match_bar(args.games, f"{a.name} vs {b.name}")
        result = play()
    except (Exception, KeyboardInterrupt) as exc:
        # A failure (an engine that died, a network function that raised)
        # or Ctrl-C ends the match; the games of the blocks finished before
        # it are summed up and written.
        interrupted = isinstance(exc, KeyboardInterrupt)
        told = isinstance(exc, (OSError, ValueError, RuntimeError))
        what, code = ("interrupted", 130) if interrupted else (str(exc) if told else f"{type(exc).__name__}: {exc}", 1)
        if play is None and isinstance(exc, (TypeError, ValueError, OSError)):
            what, code = str(exc), 2   # refused by the checks, before any game
        if bar:
            bar.close()  # the error on a line of its own, not after the bar's
        if not (interrupted or told or code == 2):
            # A fault of a player's own code (a KeyError in a network
            # function, say): where it was is what its author needs.
            import traceback
            traceback.print_exc()
        if not so_far or not so_far[0].games:
            print(f"error: {what}" + (" before a block of games was finished" if interrupted else ""),
                  file=sys.stderr)
            if args.pgn and made:
                os.remove(args.pgn)
            return code
        result = so_far[0]
        print(f"error: {what}; the {len(result.games)} games of the finished blocks follow", file=sys.stderr)
        return _match_report(result, args.pgn) or code
    finally:
        if bar:
            bar.close()
    return _match_report(result, args.pgn)


def _match_report(result, pgn: str | None) -> int:
    """Prints the summary, then writes the PGN file when asked (1 when it
    cannot be written: the summary is out in any case)."""
    print(result.text(), flush=True)
    if pgn:
        try:
            result.write_pgn(pgn)
        except OSError as exc:
            print(f"error: --pgn: {exc}", file=sys.stderr)
            return 1
    return 0


class _match_bar:
    """The running score, Elo and interval (or LLR) on stderr, through tqdm
    when it is installed, else one line per block."""

    def __init__(self, total: int, what: str):
        self.total, self.seen = total, 0
        try:
            from tqdm import tqdm
            self.bar = tqdm(total=total, desc=what, file=sys.stderr, dynamic_ncols=True, unit="game")
        except ImportError:
            self.bar = None

    def update(self, result) -> None:
        low, high = result.elo_interval
        text = f"{result.score:.3f} Elo {result.elo:+.0f} [{low:+.0f}, {high:+.0f}]"
        if result.sprt is not None:
            text += f" LLR {result.sprt.llr:.2f} [{result.sprt.lower:.2f}, {result.sprt.upper:.2f}]"
        games = len(result.games)
        if self.bar is not None:
            self.bar.update(games - self.seen)
            self.bar.set_postfix_str(text)
        else:
            print(f"{games}/{self.total} games: {text}", file=sys.stderr)
        self.seen = games

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def main(argv=None) -> int:
    args = parser().parse_args(argv)
    if args.command == "match":
        return run_match(args)
    if args.command == "uci":
        from varnok import uci
        return uci.main(args.player)
    if args.command == "view":
        return _view(args)
    if args.command == "train":
        return _train(args)
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
            chunk_bytes = int(real(args.chunk_mb, "--chunk-mb", 1e-6) * 1e6)
            summary = data.pgn2shards(args.source, args.out, chunk_bytes=chunk_bytes,
                                      engine=args.engine, workers=args.workers, address=args.address,
                                      progress=not args.quiet)
        else:
            summary = data.verify(args.path, progress=not args.quiet, source=not args.skip_source)
    except (data.ShardError, OSError, ValueError, RuntimeError) as exc:
        print(f"error: {exc}", file=sys.stderr)
        return 1
    except KeyboardInterrupt:
        kept = "" if args.command == "verify" else f"; {_kept(data, args.out)}; rerun the same command to resume"
        print(f"error: interrupted{kept}", file=sys.stderr)
        return 130
    print(summary.text())
    return 0


def _kept(data, out: str) -> str:
    """What an interrupted job leaves in its folder, as its manifest lists it."""
    try:
        shards = data.Folder(out).shards
    except (data.ShardError, OSError, ValueError):  # not a folder yet, or a path no folder can have
        shards = {}
    if not shards:
        return "no shard finished"
    games = sum(entry["games"] for entry in shards.values())
    return f"{len(shards)} finished shard{'s' * (len(shards) != 1)} kept ({games} games)"


if __name__ == "__main__":
    sys.exit(main())

"""Matches between players: W/D/L, Elo with a 95% interval, likelihood of
superiority, SPRT, and every game as PGN.

    from varnok import arena, players
    result = arena.match(players.Material(1), players.Random(), games=200, seed=1)
    print(result.text())

Games come in pairs: pair k (games 2k and 2k + 1) starts both of its games
from the same opening, the first with player a as white, the second with b
as white. Games are played in blocks side by side in one VectorEnv, each player asked
once per round for all the games it moves in. A block's games depend only
on the match's seed and the block's number, so a match gives the same games
for any number of workers and for engine="local" or "ray".
"""

from __future__ import annotations

import dataclasses
import math
import os
from typing import Callable, Sequence

import numpy as np

from varnok import _elo
from varnok._checks import integer, load_start, openings_go_on, write_text
from varnok._core import ChessEnv, VectorEnv, chess960_fen
from varnok.players import Games, chosen_actions

__all__ = ["match", "MatchResult", "GameRecord", "SprtResult", "load_openings", "builtin_openings"]

START_FEN = "rnbqkbnr/pppppppp/8/8/8/8/PPPPPPPP/RNBQKBNR w KQkq - 0 1"
# Why a game ended, by the VectorEnv's final_reason numbers; a game that
# reaches max_plies is adjudicated a draw.
REASONS = {1: "checkmate", 2: "stalemate", 3: "repetition", 4: "no progress", 5: "insufficient material"}
MAX_PLIES_REASON = "max plies"
RESULT_TEXT = {1: "1-0", 0: "1/2-1/2", -1: "0-1"}
DEFAULT_BATCH = 256  # games per block: one VectorEnv, one search batch per player and round
SPRT_BATCH = 32      # smaller blocks under SPRT, so that a match stops soon after the bounds are crossed
BUILTIN_OPENINGS = os.path.join(os.path.dirname(__file__), "openings.epd")
# Keys the draws of Chess960 arrays apart from every other draw of a match's seed.
CHESS960_DRAWS = 960


@dataclasses.dataclass
class GameRecord:
    """One game: its number, pair and opening, who had white, the moves
    (actions from start_fen), the result from white's side (+1, 0, -1) and
    why it ended."""

    index: int
    pair: int
    white: str
    black: str
    a_is_white: bool
    opening: str
    start_fen: str
    actions: list[int]
    result: int
    termination: str
    chess960: bool = False  # castling by the Chess960 rule (king onto its own rook)

    @property
    def score_a(self) -> float:
        """The game's score for the match's first player."""
        white = (self.result + 1) / 2
        return white if self.a_is_white else 1.0 - white

    def pgn(self, rules: str = "fide", event: str = "varnok match") -> str:
        env = ChessEnv(rules, chess960=self.chess960)
        env.load_fen(self.start_fen)
        for a in self.actions:
            env.play(int(a))
        headers = {"Event": event, "Round": str(self.index + 1), "White": self.white, "Black": self.black,
                   "Result": RESULT_TEXT[self.result], "Termination": self.termination,
                   "Opening": self.opening, "PlyCount": str(len(self.actions))}
        return env.pgn(headers)


@dataclasses.dataclass(frozen=True)
class SprtResult:
    """The SPRT's verdict ("H0", "H1" or "undecided"), its log-likelihood
    ratio, bounds and hypotheses."""

    verdict: str
    llr: float
    lower: float
    upper: float
    elo0: float
    elo1: float
    alpha: float
    beta: float


@dataclasses.dataclass
class MatchResult:
    """A finished (or SPRT-stopped) match, from player a's side."""

    a: str
    b: str
    games: list[GameRecord]
    rules: str
    paired_openings: bool
    sprt: SprtResult | None = None

    @property
    def wins(self) -> int:
        return sum(g.score_a == 1.0 for g in self.games)

    @property
    def draws(self) -> int:
        return sum(g.score_a == 0.5 for g in self.games)

    @property
    def losses(self) -> int:
        return sum(g.score_a == 0.0 for g in self.games)

    @property
    def score(self) -> float:
        return sum(g.score_a for g in self.games) / len(self.games) if self.games else math.nan

    @property
    def pentanomial_counts(self) -> list[int]:
        return pentanomial_counts(self.games)

    @property
    def trinomial(self) -> _elo.Estimate:
        return _elo.trinomial(self.wins, self.draws, self.losses)

    @property
    def pentanomial(self) -> _elo.Estimate:
        return _elo.pentanomial(self.pentanomial_counts)

    @property
    def estimate_kind(self) -> str:
        """Which estimate is the headline: "pentanomial" for paired openings
        (once a pair is complete), else "trinomial"."""
        return "pentanomial" if self.paired_openings and sum(self.pentanomial_counts) else "trinomial"

    @property
    def estimate(self) -> _elo.Estimate:
        """The headline estimate (see estimate_kind)."""
        return self.pentanomial if self.estimate_kind == "pentanomial" else self.trinomial

    @property
    def elo(self) -> float:
        return self.estimate.elo

    @property
    def elo_interval(self) -> tuple[float, float]:
        e = self.estimate
        return e.elo_low, e.elo_high

    @property
    def los(self) -> float:
        return _elo.likelihood_of_superiority(self.wins, self.losses)

    def pgn(self) -> str:
        """Every game as PGN, in game order."""
        return "\n".join(g.pgn(self.rules) for g in self.games)

    def write_pgn(self, path) -> None:
        """Writes pgn() to path; a game that cannot be written leaves the
        file as it was."""
        write_text(path, self.pgn())

    def text(self) -> str:
        """A summary table."""
        low, high = self.elo_interval
        kind = self.estimate_kind
        rows = [("players", f"{self.a} vs {self.b}"),
                ("games", f"{len(self.games)}  (+{self.wins} ={self.draws} -{self.losses})"),
                ("score", f"{self.score:.3f}"),
                ("Elo", f"{_fmt(self.elo)}  [{_fmt(low)}, {_fmt(high)}] 95%, {kind}"),
                ("LOS", _fmt_los(self.los)),
                ("pairs", " ".join(str(c) for c in self.pentanomial_counts) + "  (0, 1/4, 1/2, 3/4, 1)")]
        if self.sprt is not None:
            s = self.sprt
            rows.append(("SPRT", f"{s.verdict}  LLR {s.llr:.2f} [{s.lower:.2f}, {s.upper:.2f}]  "
                                 f"elo0={_fmt(s.elo0)} elo1={_fmt(s.elo1)} alpha={s.alpha} beta={s.beta}"))
        width = max(len(k) for k, _ in rows)
        return "\n".join(f"{k:<{width}}  {v}" for k, v in rows)

    def __str__(self) -> str:
        return self.text()


def _fmt(elo: float) -> str:
    if math.isnan(elo):
        return "nan"  # no games: no estimate
    return f"{elo:+.1f}" if math.isfinite(elo) else ("+inf" if elo > 0 else "-inf")


def _fmt_los(los: float) -> str:
    # Finite games never make either player surely the stronger, though the
    # normal tail rounds to it (40 wins and no loss leave 1e-10): a LOS that
    # would print as 100.0% or 0.0% is told as beyond 99.9% or 0.1%.
    percent = 100 * los
    if percent >= 99.95:
        return ">99.9%"
    if percent < 0.05:
        return "<0.1%"
    return f"{percent:.1f}%"


def pentanomial_counts(games: Sequence[GameRecord]) -> list[int]:
    """The five pair counts of the complete pairs among games."""
    by_pair: dict[int, list[float]] = {}
    for g in games:
        by_pair.setdefault(g.pair, []).append(g.score_a)
    counts = [0] * 5
    for scores in by_pair.values():
        if len(scores) == 2:
            counts[int(round(2 * sum(scores)))] += 1
    return counts


# ---------------------------------------------------------------- openings

def load_openings(source, plies: int | None = None, chess960: bool = False) -> list[str]:
    """Opening positions as FEN texts: a list of FEN texts, a FEN or EPD
    file (one position a line; EPD operations are dropped), a PGN file (each
    game's position after plies plies, or after all its moves when it has
    fewer or plies is None), or "builtin" for the balanced set shipped with
    varnok. Each is checked as ChessEnv.load_fen checks it (ValueError
    naming the line); with chess960 as a Chess960 position (X-FEN or
    Shredder-FEN castling)."""
    from varnok._selfplay import openings_from
    if isinstance(source, bytes):
        source = os.fsdecode(source)  # a path given as bytes, as open() takes one (not a list of numbers)
    if isinstance(source, str) and source == "builtin":
        source = BUILTIN_OPENINGS
    if isinstance(source, (str, os.PathLike)):
        if not os.fspath(source):
            raise ValueError("openings: an empty path names no file")  # not the folder '.' that open() would try
        fens = openings_from(source, plies=plies, chess960=chess960)
    else:
        try:
            texts = list(source)
        except TypeError:
            kind = type(source).__name__
            raise TypeError(f"openings must be FEN texts, a file's path or 'builtin', got {kind}") from None
        # One space between the fields, as a file's lines are read: a FEN
        # as readlines() gives it ends in a newline, which load_fen passes
        # over but no PGN tag may hold (the games' Opening tag). Lines of a
        # file opened in binary are bytes, read as the file's lines are.
        # Four fields (a position without its clocks) get the clocks load_fen
        # gives them, 0 1, as a file's EPD lines do: a game's start_fen and
        # Opening tag are the whole FEN it started from.
        fields = [(f.decode("utf-8", errors="replace") if isinstance(f, bytes) else str(f)).split() for f in texts]
        fens = [" ".join(f + ["0", "1"] if len(f) == 4 else f) for f in fields]
        env = ChessEnv(chess960=chess960)
        for i, f in enumerate(fens):
            try:
                load_start(env, f)
            except ValueError as exc:
                raise ValueError(f"opening {i}: {exc}") from None
    if not fens:
        where = f" in {os.fspath(source)}" if isinstance(source, (str, os.PathLike)) else ""
        raise ValueError(f"no opening positions found{where}")
    return fens


def builtin_openings() -> list[str]:
    """The built-in balanced openings (see tools/make_openings.py)."""
    return load_openings("builtin")


# ---------------------------------------------------------------- one block

def _seed(*parts: int) -> int:
    return int(np.random.SeedSequence([int(p) for p in parts]).generate_state(1, np.uint64)[0] >> 1)


class BlockPlayer:
    """Plays blocks of a match in one process: holds the two players."""

    def __init__(self, cfg: dict):
        self.cfg = cfg
        self.players = (cfg["a"], cfg["b"])

    def play(self, task: dict) -> tuple[list[GameRecord], int]:
        cfg = self.cfg
        a, b = self.players
        seed = task["seed"]
        a.start(_seed(seed, 0))
        b.start(_seed(seed, 1))
        records = play_block(a, b, task["first_game"], task["openings"], task["labels"], seed, cfg["max_plies"],
                             cfg["rules"], cfg.get("chess960", False))
        return records, len(records)


def play_block(a, b, first_game: int, openings: list[str], labels: list[str], seed: int, max_plies: int,
               rules: str, chess960: bool = False) -> list[GameRecord]:
    """Games first_game, first_game + 1, ... side by side, one per opening
    given (game g's opening, pair g // 2, a has white in even games). Game
    i is row i of one VectorEnv from start to end: a finished game sits
    every later step out, so each row's moves and draws are its own."""
    n = len(openings)
    starts = list(openings)
    a_white = np.array([(first_game + i) % 2 == 0 for i in range(n)])
    env = ChessEnv(rules, chess960=chess960)
    venv = VectorEnv(n, num_threads=1, seed=seed, obs_dtype="packed", rules=rules, chess960=chess960)
    venv.reset()
    for i, fen in enumerate(starts):
        env.load_fen(fen)
        venv.restore_state(i, env.save_state())
    log = np.zeros((max_plies, n), np.int16)
    result = np.zeros(n, np.int8)
    reason = [""] * n
    length = np.full(n, max_plies, np.int64)
    live = np.ones(n, bool)
    side = np.array([0 if fen.split()[1] == "w" else 1 for fen in starts], np.int8)
    everyone = np.arange(n)
    for ply in range(max_plies):
        drawn: list[np.ndarray] = []

        def random_actions(rows, drawn=drawn):
            if not drawn:
                drawn.append(venv.random_actions())
            return drawn[0][rows]

        actions = np.zeros(n, np.int64)
        a_moves = a_white == (side == 0)
        for player, mask in ((a, a_moves), (b, ~a_moves)):
            rows = everyone[live & mask]
            if rows.size:
                batch = Games.of_rows(venv, rows, lambda rows=rows: random_actions(rows))
                actions[rows] = chosen_actions(player, batch)
        step = venv.step(actions, active=live)  # refuses an illegal action before the log keeps it
        log[ply] = actions
        side = step.to_play
        ended = np.flatnonzero(step.terminated)
        if ended.size:
            for g in ended:
                result[g] = int(step.final_reward[g])
                reason[g] = REASONS.get(int(step.final_reason[g]), str(int(step.final_reason[g])))
                length[g] = ply + 1
            live[ended] = False
            if not live.any():
                break
    for i in np.flatnonzero(live):
        reason[i] = MAX_PLIES_REASON
    names = (a.name, b.name)
    records = []
    for i in range(n):
        white, black = (names if a_white[i] else names[::-1])
        records.append(GameRecord(
            index=first_game + i, pair=(first_game + i) // 2, white=white, black=black,
            a_is_white=bool(a_white[i]), opening=labels[i], start_fen=starts[i],
            actions=log[:length[i], i].astype(np.int64).tolist(), result=int(result[i]), termination=reason[i],
            chess960=chess960))
    return records


# ---------------------------------------------------------------- the match

def _check_player(p, what: str) -> None:
    if isinstance(p, type):
        # The class has the methods too, but its start(seed) is unbound.
        raise TypeError(f"{what} must be a player, got the class {p.__name__} (make one: {p.__name__}(...))")
    if not (hasattr(p, "choose") and hasattr(p, "start") and hasattr(p, "name")):
        raise TypeError(f"{what} must be a player (name, start(seed), choose(games)), got {type(p).__name__}")


def match(a, b, games: int = 100, openings=None, *, seed: int = 0, max_plies: int = 500, rules: str = "fide",
          engine: str = "local", workers: int | None = None, address: str | None = None,
          sprt=None, batch: int | None = None, opening_plies: int | None = None,
          progress: Callable[[MatchResult], None] | None = None, chess960: bool = False) -> MatchResult:
    """Plays games between players a and b and returns a MatchResult (from
    a's side). Colours alternate; each opening (taken in order, again from
    the first when there are more pairs than openings) is played twice, once
    with each colour; with an odd games, the last opening is played once,
    and that lone game counts in the trinomial figures but not in the
    pentanomial pair counts. openings: None (the initial position), a list of FEN
    texts, a FEN/EPD or PGN file (opening_plies: the position after that
    many plies of each PGN game), or "builtin". A game still going at
    max_plies is a draw. sprt=(elo0, elo1[, alpha, beta]) stops the match as
    soon as the log-likelihood ratio crosses its bounds (checked pair by
    pair, in pair order); games is then the most it plays. batch: games per
    block (default 256, or 32 under SPRT); blocks go to engine="local" (this
    process, in order) or "ray" (workers processes, address a cluster).
    progress(result so far) is called after each block. chess960=True plays
    Chess960: without openings each pair starts from its own array, drawn
    from the seed (label "Chess960 #N", Scharnagl's numbering); openings are
    read as Chess960 positions; the PGN carries the Variant tag."""
    return _prepared_match(a, b, games, openings, seed=seed, max_plies=max_plies, rules=rules, engine=engine,
                           workers=workers, address=address, sprt=sprt, batch=batch, opening_plies=opening_plies,
                           progress=progress, chess960=chess960)()


def _prepared_match(a, b, games, openings, *, seed, max_plies, rules, engine, workers, address, sprt, batch,
                    opening_plies, progress, chess960) -> Callable[[], MatchResult]:
    """match's arguments checked and its openings read, before any game:
    TypeError, ValueError or OSError (an openings file that cannot be read)
    for a faulty one; the match itself is what the returned function plays.
    The command line tells these, faults of its own arguments, apart from
    those of a match under way (an engine that died)."""
    _check_player(a, "a")
    _check_player(b, "b")
    # Counts and the seed as every integer argument is taken: a NumPy integer too.
    games = integer(games, "games", 1)
    max_plies = integer(max_plies, "max_plies", 1, 30000)
    if rules not in ("classic", "fide", "fide-strict"):
        raise ValueError(f"rules must be 'classic', 'fide' or 'fide-strict', got {rules!r}")
    seed = integer(seed, "seed", 0)
    test = _elo.check_sprt(sprt) if sprt is not None else None
    batch = integer(batch, "batch", 1) if batch is not None else (SPRT_BATCH if test else DEFAULT_BATCH)
    if not isinstance(chess960, (bool, np.bool_)):
        raise TypeError(f"chess960 must be True or False, got {type(chess960).__name__}")
    chess960 = bool(chess960)
    if progress is not None and not callable(progress):
        # Found here, not after the first block's games were played.
        raise TypeError(f"progress must be a function of the result so far, got {type(progress).__name__}")
    from varnok._engine import check_engine, make_engine
    check_engine(engine, workers, address, reach=False)   # Ray and its cluster are looked for as the match starts
    if openings is not None:
        fens = load_openings(openings, opening_plies, chess960)
        labels, paired = fens, True
        openings_go_on(fens[:(games + 1) // 2], rules, chess960)
    elif chess960:
        fens, labels, paired = [], [], True  # an array drawn for each pair
    else:
        fens, labels, paired = [START_FEN], ["initial position"], False

    def opening(pair: int) -> tuple[str, str]:
        if fens:
            return fens[pair % len(fens)], labels[pair % len(labels)]
        # Drawn from the seed and the pair alone: the same for any batch and
        # worker count, and made as the blocks are (games may be a cap far
        # past what an SPRT match plays).
        number = _seed(seed, CHESS960_DRAWS, pair) % 960
        return chess960_fen(number), f"Chess960 #{number}"

    def block_task(block: int) -> dict:
        numbers = range(block * batch, min(games, (block + 1) * batch))
        starts = [opening(g // 2) for g in numbers]
        return {"shard": block, "seed": _seed(seed, block), "first_game": numbers.start,
                "openings": [fen for fen, _ in starts], "labels": [label for _, label in starts]}

    def play() -> MatchResult:
        # Each block is made as it is handed out: under SPRT, games is a cap that
        # may be far past what the match plays (a list of every block of
        # games=10**9 would take tens of GB before the first game).
        tasks = (block_task(block) for block in range(-(-games // batch)))
        runner = make_engine(engine, workers, address)
        cfg = {"a": a, "b": b, "max_plies": max_plies, "rules": rules, "chess960": chess960}
        done: dict[int, list[GameRecord]] = {}
        played: list[GameRecord] = []
        verdict = None
        next_block = 0
        try:
            for task, records, _ in runner.run("match", cfg, tasks):
                done[task["shard"]] = records
                while next_block in done and verdict is None:
                    block_games = done.pop(next_block)
                    next_block += 1
                    if test is None:
                        played.extend(block_games)
                        continue
                    # Game by game, in order: the match ends with the first pair that crosses a bound.
                    for g in block_games:
                        played.append(g)
                        if g.index % 2 == 1:
                            verdict = _sprt_result(played, test)
                            if verdict.verdict != "undecided":
                                break
                            verdict = None
                if progress is not None:
                    progress(_result(a, b, played, rules, paired, test))
                if verdict is not None:
                    break
        finally:
            runner.close()
        return _result(a, b, played, rules, paired, test)

    return play


def _sprt_result(games: list[GameRecord], test) -> SprtResult:
    elo0, elo1, alpha, beta = test
    llr = _elo.sprt_llr(pentanomial_counts(games), elo0, elo1)
    lower, upper = _elo.sprt_bounds(alpha, beta)
    verdict = "H1" if llr >= upper else "H0" if llr <= lower else "undecided"
    return SprtResult(verdict, llr, lower, upper, elo0, elo1, alpha, beta)


def _result(a, b, games, rules, paired, test) -> MatchResult:
    return MatchResult(a.name, b.name, list(games), rules, paired, _sprt_result(games, test) if test else None)

"""Training data at scale: self-play and PGN conversion into Parquet shards,
spread over Ray workers, and reading the shards back (the `ray` extra).

    import varnok.data as vd
    vd.selfplay("out/sp", games=1000, simulations=64, seed=7)   # Ray on this machine
    vd.pgn2shards("games/", "out/pgn")                          # a file or a folder (.pgn, .gz, .bz2, .zst)
    for batch in vd.read_shards("out/sp", batch_size=512, obs="float32", policy=True):
        ...                                                     # NumPy arrays
    vd.verify("out/sp")                                         # every row replayed (and PGN against the source)

A job is cut into shards, each with its own seed (self-play) or byte range
(PGN), made by whichever worker is free. The games of a shard depend only on
the job's seed and parameters, so a run is reproducible and the worker count
does not change it. Finished shards are recorded in the folder's manifest; a
rerun into the same folder skips them, so an interrupted job resumes without
losing or repeating a game. The same commands run as `python -m varnok`.
"""

from __future__ import annotations

import hashlib
import os
import time

from varnok._checks import integer, openings_go_on, real
from varnok._engine import check_engine, make_engine
from varnok._pgn import RangeFeeder, file_identity, plan, source_games
from varnok._progress import stderr_bar
from varnok._selfplay import MAX_THREADS, SEARCHES, openings_from, shard_seed, try_policy
from varnok._shards import Folder, ShardError, check_shard_count, read_shards, verify_shard  # noqa: F401

__all__ = ["selfplay", "pgn2shards", "read_shards", "verify", "ShardError", "Summary"]


class Summary(dict):
    """What a command did: games, positions, results split, mean length, time."""

    def text(self) -> str:
        if self.get("shards_made") == 0 and self.get("shards_skipped") and "shards" not in self:
            n = self["shards_skipped"]
            return f"nothing to do: {self['games_there']} games already there ({n} shard{'s' * (n != 1)} finished)"
        r = self["results"]
        mean = self["positions"] / self["games"] if self["games"] else 0.0
        lines = [f"games {self['games']}, positions {self['positions']} "
                 f"(mean length {mean:.1f} plies) in {self['elapsed']:.1f} s",
                 f"results: white wins {r['white']}, black wins {r['black']}, draws {r['draw']}"]
        if self.get("unfinished"):
            lines.append(f"unfinished games left out (result * or none: no outcome to learn): {self['unfinished']}")
        if self.get("broken"):
            lines.append(f"broken games skipped (an illegal or unreadable move, a bad FEN): {self['broken']}")
        if "shards" in self:
            lines.append(f"shards: {self['shards']} verified, every row replayed")
            if self.get("source_checked"):
                lines.append("every game and row matched against a full read of the source")
        elif self.get("shards_skipped"):
            lines.append(f"shards: {self['shards_made']} made, {self['shards_skipped']} already finished (skipped)")
        else:
            lines.append(f"shards: {self['shards_made']} made")
        return "\n".join(lines)


class Progress:
    """A progress bar of games, with games and positions per second."""

    def __init__(self, enabled: bool, total_games: int | None, what: str):
        self.start = time.perf_counter()
        self.games = self.positions = 0
        self.bar = stderr_bar(what, total_games, "games") if enabled else None

    def add(self, games: int, positions: int) -> None:
        self.games += games
        self.positions += positions
        if self.bar is not None:
            elapsed = max(time.perf_counter() - self.start, 1e-9)
            self.bar.update(games)
            self.bar.set_postfix_str(f"{self.games / elapsed:.1f} games/s, {self.positions / elapsed:.0f} pos/s")

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()


def _run(folder: Folder, kind: str, cfg: dict, tasks: list, engine, workers, address, progress, total_games,
         on_shard=None, prepare=None) -> Summary:
    todo = [t for t in tasks if not folder.finished(t["shard"])]
    skipped_games = sum(folder.shards[str(t["shard"])]["games"] for t in tasks if folder.finished(t["shard"]))
    summary = Summary(games=0, positions=0, results={"white": 0, "black": 0, "draw": 0}, unfinished=0, broken=0,
                      shards_made=0, shards_skipped=len(tasks) - len(todo), games_there=skipped_games, elapsed=0.0)
    if not todo:
        return summary  # a finished job: no engine (no Ray) is started
    bar = Progress(progress, None if total_games is None else total_games - skipped_games, kind)
    start = time.perf_counter()
    runner = make_engine(engine, workers, address) if isinstance(engine, str) else engine
    try:
        args = (kind, cfg, todo) if prepare is None else (kind, cfg, todo, prepare)
        for task, data, counts in runner.run(*args):
            folder.add(task["shard"], data, counts, seed=task.get("seed"),
                       extra=({"source": task["file"], "start": task["start"], "end": task["end"],
                               "unfinished": counts["unfinished"], "broken": counts["broken"]}
                              if "file" in task else None))
            summary["games"] += counts["games"]
            for left_out in ("unfinished", "broken"):
                summary[left_out] += counts.get(left_out, 0)
            summary["positions"] += counts["rows"]
            summary["shards_made"] += 1
            for k, v in counts["results"].items():
                summary["results"][k] += v
            bar.add(counts["games"], counts["rows"])
            if on_shard is not None:
                on_shard(task, runner)
    finally:
        bar.close()
        if prepare is not None and hasattr(prepare, "close"):
            prepare.close()
        if isinstance(engine, str):
            runner.close()
    summary["elapsed"] = time.perf_counter() - start
    return summary


def selfplay(out, games: int, *, games_per_shard: int = 16, seed: int = 0, search: str = "uct",
             policy: str | None = None, logits: bool = False, simulations: int = 32, leaves_per_tree: int = 1,
             temperature: float = 1.0, temperature_plies: int = 30, max_plies: int = 200,
             resign: float | None = None, resign_min_plies: int = 0, openings=None, c_puct: float = 1.25,
             dirichlet_alpha: float = 0.3, dirichlet_fraction: float = 0.25, threads: int = 1,
             engine="ray", workers: int | None = None, address: str | None = None, progress: bool = True,
             on_shard=None, rules: str = "classic", chess960: bool = False) -> Summary:
    """Plays `games` games into shards of `games_per_shard` in folder `out`.

    search: "uct" (native random roll-outs at the leaves), "uniform" (MCTS
    with uniform priors and zero values) or "policy" (MCTS asking `policy`,
    "module:function", for priors (probabilities, or logits with logits=True)
    and values of a batch of float32 observations and legal masks). Moves are
    drawn in proportion to visits ** (1 / temperature) for the first
    `temperature_plies` plies of a game, the most visited after. A game
    longer than `max_plies` is a draw. With `resign` (a value, e.g. -0.9) the
    side to move resigns when its root value falls below it, after
    `resign_min_plies`; off by default. `openings`: a file of FEN lines or a
    PGN file (each game's final position is a start); starts are drawn per
    game from the shard's seed. `threads` per worker (results do not depend on it).
    `rules`: the draw rules of the games, "classic", "fide" or "fide-strict" (as for ChessEnv).
    `chess960`: each game starts from a Chess960 array drawn from the shard's seed (start FENs in X-FEN), or
    from one of `openings`, read as Chess960 positions (X-FEN or Shredder-FEN castling).
    """
    # Every parameter is checked before the folder is made or any shard played.
    games = integer(games, "games", 1)
    games_per_shard = integer(games_per_shard, "games_per_shard", 1)
    seed = integer(seed, "seed", 0)
    simulations = integer(simulations, "simulations", 1)
    leaves_per_tree = integer(leaves_per_tree, "leaves_per_tree", 1)
    temperature = real(temperature, "temperature", 0.0)
    temperature_plies = integer(temperature_plies, "temperature_plies", 0)
    max_plies = integer(max_plies, "max_plies", 1, 2**31 - 1)
    resign = None if resign is None else real(resign, "resign")
    resign_min_plies = integer(resign_min_plies, "resign_min_plies", 0)
    c_puct = real(c_puct, "c_puct", 0.0)
    dirichlet_alpha = real(dirichlet_alpha, "dirichlet_alpha", 0.0)
    if dirichlet_alpha == 0:
        raise ValueError("dirichlet_alpha must be a finite number above 0, got 0")
    dirichlet_fraction = real(dirichlet_fraction, "dirichlet_fraction", 0.0, 1.0)
    threads = integer(threads, "threads", 1, MAX_THREADS)
    check_engine(engine, workers, address)
    if rules not in ("classic", "fide", "fide-strict"):
        raise ValueError(f'rules must be "classic", "fide" or "fide-strict", got {rules!r}')
    if not isinstance(chess960, bool):
        raise TypeError(f"chess960 must be a bool, got {type(chess960).__name__}")
    if search not in SEARCHES:
        raise ValueError(f"search must be one of {', '.join(SEARCHES)}, got {search!r}")
    if (search == "policy") != (policy is not None):
        raise ValueError('a policy ("module:function") goes with search="policy", and only with it')
    if policy is not None:
        try_policy(policy, logits)
    fens = openings_from(openings, chess960=chess960) if openings else []
    if openings and not fens:
        raise ValueError(f"{openings}: no start position in this file (FEN lines or PGN games)")
    openings_go_on(fens, rules, chess960)
    cfg = {"search": search, "policy": policy, "logits": logits, "simulations": simulations,
           "leaves_per_tree": leaves_per_tree, "temperature": temperature, "temperature_plies": temperature_plies,
           "max_plies": max_plies, "resign": resign, "resign_min_plies": resign_min_plies, "openings": fens,
           "c_puct": c_puct, "dirichlet_alpha": dirichlet_alpha, "dirichlet_fraction": dirichlet_fraction,
           "threads": threads, "rules": rules, "chess960": chess960}
    # A classic standard-chess job is written as before rules or Chess960 could be chosen, so its folders
    # still resume.
    job = {"kind": "selfplay", "games": games, "games_per_shard": games_per_shard, "seed": seed,
           **{k: v for k, v in cfg.items()
              if k not in ("openings", "threads") and (k, v) not in (("rules", "classic"), ("chess960", False))},
           "openings": len(fens), "openings_hash": _hash_list(fens)}
    count = -(-games // games_per_shard)
    check_shard_count(count, "raise games_per_shard")
    tasks = [{"shard": s, "seed": shard_seed(seed, s), "games": min(games_per_shard, games - s * games_per_shard)}
             for s in range(count)]
    with Folder(out, job=job, create=True) as folder:
        return _run(folder, "selfplay", cfg, tasks, engine, workers, address, progress, games, on_shard)


def pgn2shards(source, out, *, chunk_bytes: int = 8 << 20, engine="ray", workers: int | None = None,
               address: str | None = None, progress: bool = True, on_shard=None) -> Summary:
    """Converts a PGN file, or every PGN file under a folder (.pgn, and the
    compressed .pgn.gz, .pgn.bz2, .pgn.zst), into shards in `out`: each file
    is cut at game starts (as the native reader finds them: never inside a
    comment) into ranges of about `chunk_bytes` (of decompressed text for a
    compressed file), one shard each, read by the workers side by side with
    the native reader. A file without any PGN game raises ValueError before
    anything is written. A game without a result (`*`, unfinished, or none)
    is left out, not taken for a draw, and a broken game (an illegal move)
    is skipped as the reader skips it: the summary counts both."""
    chunk_bytes = integer(chunk_bytes, "chunk_bytes", 1)
    check_engine(engine, workers, address)
    tasks = plan(source, chunk_bytes)
    check_shard_count(len(tasks), "raise chunk_bytes")
    inputs = [file_identity(f) for f in dict.fromkeys(t["file"] for t in tasks)]
    # "unfinished": such games are left out (an older varnok stored them as draws: its folders do not resume).
    job = {"kind": "pgn", "chunk_bytes": chunk_bytes, "inputs": inputs, "unfinished": "skipped"}
    with Folder(out, job=job, create=True) as folder:
        _check_ranges(folder, tasks)
        return _run(folder, "pgn", {}, tasks, engine, workers, address, progress, None, on_shard, RangeFeeder())


def _check_ranges(folder: Folder, tasks: list) -> None:
    """A resumed conversion must cut as the finished shards were cut, or games
    would be lost or repeated between old and new ranges."""
    planned = {str(t["shard"]): (t["file"], t["start"], t["end"]) for t in tasks}
    for shard, entry in folder.shards.items():
        made = (entry.get("source"), entry.get("start"), entry.get("end"))
        now = planned.get(shard)
        if now != made:
            cut = f"cuts bytes {now[1]}-{now[2]} of {now[0]} there" if now else "has no such shard"
            raise ShardError(f"{folder.path}: shard {shard} holds bytes {made[1]}-{made[2]} of {made[0]}, but this run "
                             f"{cut}: the folder was cut by another rule (an older varnok); choose an empty folder")


def verify(path, *, progress: bool = False, source: bool = True) -> Summary:
    """Replays every game of a shard folder from its start FEN and moves and
    checks every row (observation, action, ply, result against a mate) and
    every file against the manifest (checksum, counts). For a folder made by
    pgn2shards, with source=True, the games are also compared, in order, with
    a full read of the PGN files: every game of the source with moves must be
    in the shards, once, with the same start, moves and result. Raises
    ShardError naming the first fault (also for a missing source file: pass
    source=False to check the shards alone)."""
    folder = Folder(path)
    files = folder.files()
    expected = _source_games(folder) if source and folder.manifest["job"].get("kind") == "pgn" else None
    bar = Progress(progress, sum(e["games"] for _, _, e in files), "verify")
    summary = Summary(games=0, positions=0, results={"white": 0, "black": 0, "draw": 0}, unfinished=0, broken=0,
                      shards_made=0, shards_skipped=0, elapsed=0.0)
    start = time.perf_counter()
    try:
        for shard, file, entry in files:
            job = folder.manifest["job"]
            counts = verify_shard(file, entry, shard, job.get("rules", "classic"), expected,
                                  chess960=job.get("chess960", False), pgn=job.get("kind") == "pgn")
            summary["games"] += counts["games"]
            summary["positions"] += counts["rows"]
            for k, v in entry["results"].items():
                summary["results"][k] += v
            for left_out in ("unfinished", "broken"):
                summary[left_out] += entry.get(left_out, 0)
            bar.add(counts["games"], counts["rows"])
        if expected is not None:
            left = next(expected, None)
            if left is not None:
                raise ShardError(f"{left[0]}: the game at line {left[1]} is in no shard: the shards lack games "
                                 "of a full read of the source")
            summary["source_checked"] = True
    finally:
        bar.close()
    summary["elapsed"] = time.perf_counter() - start
    summary["shards"] = len(files)
    return summary


def _source_games(folder: Folder):
    """(file, line, start FEN, moves, result) of every game with moves of the
    job's PGN files, in the order the shards hold them."""
    job = folder.manifest["job"]
    skipped = job.get("unfinished") == "skipped"
    for item in job.get("inputs", []):
        path = item["file"]
        if not os.path.isfile(path):
            raise ShardError(f"{path}: the PGN source of {folder.path} is missing: its games cannot be compared "
                             "(verify with source=False, --skip-source, to check the shards alone)")
    return ((item["file"], *game) for item in job.get("inputs", [])
            for game in source_games(item["file"], skipped))


def _hash_list(items) -> str:
    return hashlib.sha256("\n".join(items).encode()).hexdigest()[:16]

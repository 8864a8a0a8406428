"""PGN files cut into ranges of whole games, and a range into a shard.

The cut points are game starts as the native reader itself finds them: the
driver reads each file through once with the reader's tokenizer (moves are
not read, so this goes at the speed of the disk or the codec) and cuts at
the first game that starts at least `chunk_bytes` after the previous cut. A
comment or a variation never holds a cut, whatever text it contains, so the
ranges of a file together hold each game of a full read exactly once, and
many workers can read one file side by side.

A compressed file (`.gz`, `.bz2`, `.zst`) cannot be entered in the middle:
its ranges count bytes of the decompressed text, and the driver decompresses
the file once more while the shards are made and hands each worker its
range's text (finished ranges of a resumed job are passed over).
"""

from __future__ import annotations

import os
import warnings
from pathlib import Path

import numpy as np

from varnok._compression import SUFFIXES, codec_of, open_compressed
from varnok._shards import GameRecord, encode_shard

# A chunk of this many bytes or more holds any file whole (4 EiB).
MAX_CHUNK_BYTES = 1 << 62
# Where a file's first bytes show a compression its name does not.
MAGIC = {b"\x1f\x8b": ".gz", b"BZh": ".bz2", b"\x28\xb5\x2f\xfd": ".zst"}


def is_pgn_name(path: Path) -> bool:
    """A .pgn file, or a compressed one (.pgn.gz, .pgn.bz2, .pgn.zst)."""
    name = path.name.lower()
    return name.endswith(".pgn") or any(name.endswith(".pgn" + s) for s in SUFFIXES)


def pgn_files(source) -> list[Path]:
    """A file, or the PGN files of a folder (recursively: .pgn, and .pgn.gz,
    .pgn.bz2, .pgn.zst), in name order."""
    from varnok._checks import path as checked_path
    path = checked_path(source, "source")
    if path.is_dir():
        files = sorted(p for p in path.rglob("*") if p.is_file() and is_pgn_name(p))
        if not files:
            raise FileNotFoundError(f"{path}: no .pgn files in this folder (nor .pgn.gz, .pgn.bz2, .pgn.zst)")
        return files
    if not path.is_file():
        if path.exists():  # a pipe or a device: its text cannot be read again, to cut and then convert it
            raise ValueError(f"{path}: not a regular file or a folder (a pipe or a device cannot be read "
                             f"twice, to cut it and to convert it: copy it into a file first)")
        raise FileNotFoundError(f"{path}: no such PGN file or folder")
    return [path]


def no_game_hint(path: Path) -> str:
    if codec_of(path) is None:
        with open(path, "rb") as f:
            head = f.read(4)
        for magic, suffix in MAGIC.items():
            if head.startswith(magic):
                return f" (its bytes are {suffix} compressed: name it *{suffix} to have it decompressed)"
    return ""


def first_good_game(path):
    """The first game of a file that reads whole, or None."""
    from varnok import read_pgn
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)
        return next(iter(read_pgn(path)), None)


def split_file(path: Path, chunk_bytes: int) -> list[tuple[int, int]]:
    """Ranges [start, end) of about chunk_bytes each (of the decompressed
    text for a compressed file), each beginning at a game start (the first at
    0); ValueError for a file without any game."""
    from varnok._core import _pgn_cuts
    # A Path, never its str: a str that starts with "[" or holds a newline is
    # PGN text to the reader ("[2024] games.pgn" would be read as a tag).
    # The native cut counts in 64-bit offsets: a larger chunk (one range a
    # file, whatever its size) reaches it as MAX_CHUNK_BYTES.
    cuts, games, size = _pgn_cuts(Path(path), min(chunk_bytes, MAX_CHUNK_BYTES))
    if games == 0:
        raise ValueError(f"{path}: no PGN game in this file{no_game_hint(Path(path))}")
    if first_good_game(path) is None:
        raise ValueError(f"{path}: no readable PGN game in this file (its {games} games are all broken: "
                         f"not PGN?){no_game_hint(Path(path))}")
    bounds = [0, *(int(c) for c in cuts[1:]), size]
    return [(bounds[i], bounds[i + 1]) for i in range(len(bounds) - 1) if bounds[i + 1] > bounds[i]]


def plan(source, chunk_bytes: int) -> list[dict]:
    """Every range of every file, numbered: the shards of a pgn2shards job.
    A file reached under two names in a folder (a symbolic or hard link,
    "latest.pgn" beside the file it names) is converted once: its games
    would otherwise be in the shards twice."""
    tasks = []
    seen = set()
    for path in pgn_files(source):
        status = path.stat()
        if (status.st_dev, status.st_ino) in seen:
            continue
        seen.add((status.st_dev, status.st_ino))
        for start, end in split_file(path, chunk_bytes):
            tasks.append({"shard": len(tasks), "file": str(path.resolve()), "start": start, "end": end})
    return tasks


class RangeFeeder:
    """Gives each task of a compressed file the text of its range, reading
    the file once in task order (tasks are handed out in shard order); a task
    of a plain file passes unchanged (its worker reads the range itself)."""

    BLOCK = 1 << 20

    def __init__(self):
        self.file = None
        self.stream = None
        self.pos = 0

    def __call__(self, task: dict) -> dict:
        if codec_of(task["file"]) is None:
            return task
        if task["file"] != self.file or task["start"] < self.pos:
            self.close()
            self.stream, self.file, self.pos = open_compressed(task["file"]), task["file"], 0
        while self.pos < task["start"]:
            skipped = len(self.stream.read(min(self.BLOCK, task["start"] - self.pos)))
            if not skipped:
                break
            self.pos += skipped
        text = self.stream.read(task["end"] - task["start"])
        self.pos += len(text)
        if self.pos != task["end"]:
            raise ValueError(f"{task['file']}: ends at byte {self.pos} of its text, before the range "
                             f"{task['start']}-{task['end']} planned from it: changed since?")
        return {**task, "text": text}

    def close(self) -> None:
        if self.stream is not None:
            self.stream.close()
        self.stream = None


# A game's result from white's side. A game without one of these results
# (`*`: unfinished, or no result at all) has no outcome to learn a value
# from: a shard does not hold it (counted as "unfinished").
RESULTS = {"1-0": 1, "0-1": -1, "1/2-1/2": 0}


def contradicts_its_mate(game) -> bool:
    """A game whose last move mates but whose result says otherwise (a
    "1-0" after black mates): the file contradicts itself, and a shard does
    not hold it (counted as broken), since either label would be a guess."""
    if game.result not in RESULTS or not game.checkmate:
        return False
    white_mated = (game.start_fen.split()[1] == "w") == (len(game.uci) % 2 == 0)
    return RESULTS[game.result] != (-1 if white_mated else 1)


def convert_range(task: dict) -> tuple[bytes, dict]:
    """Reads one byte range with the native PGN reader and replay, and encodes
    its finished games as a shard (no search policy: the lists stay empty);
    the counts say how many unfinished and how many broken games (an illegal
    or unreadable move, a bad FEN: the reader skips them; a result that
    contradicts the mate the game ends in) were passed over."""
    from varnok._core import _pgn_cuts
    from varnok import read_pgn, replay_pgn
    raw = task.get("text")
    if raw is None:
        with open(task["file"], "rb") as f:
            f.seek(task["start"])
            raw = f.read(task["end"] - task["start"])
    # The reader drops a byte-order mark where its text starts, as it does a
    # file's; behind the newline put before a range below it would stay, and
    # make a "%" escape line after it (its moves hidden from a full read)
    # begin mid-line: moves to read.
    text = raw.decode("utf-8", errors="replace").removeprefix("\ufeff")
    if not text.strip():
        return _counted(encode_shard(task["shard"], []), 0, 0)
    if not text.startswith("["):
        text = "\n" + text  # a range of moves before any tag is still PGN text, not a path
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", UserWarning)  # a range of broken games only: an empty shard
        games = list(read_pgn(text))
        data = replay_pgn(text, obs_dtype="packed")
    broken = _pgn_cuts(text, len(text) + 1)[1] - len(games)  # every game start the tokenizer finds, read or not
    game_of_row = data["game"]
    starts = np.searchsorted(game_of_row, np.arange(len(games) + 1))
    records = []
    unfinished = 0
    for i, g in enumerate(games):
        lo, hi = starts[i], starts[i + 1]
        actions = list(g.actions)
        if not actions:
            continue  # a game without moves has no position to learn from
        if g.result not in RESULTS:
            unfinished += 1
            continue
        if contradicts_its_mate(g):
            broken += 1
            continue
        if hi - lo != len(actions) or not np.array_equal(data["action"][lo:hi], actions):
            raise RuntimeError(f"{task['file']}: the reader and the replay disagree on the game at line "
                               f"{g.line} of the range from byte {task['start']}")
        records.append(GameRecord(start_fen=g.start_fen, actions=actions, uci=list(g.uci),
                                  result=RESULTS[g.result], obs=data["obs"][lo:hi]))
    return _counted(encode_shard(task["shard"], records), unfinished, broken)


def _counted(shard: tuple[bytes, dict], unfinished: int, broken: int) -> tuple[bytes, dict]:
    data, counts = shard
    return data, {**counts, "unfinished": unfinished, "broken": broken}


def source_games(path: str, unfinished_skipped: bool = True):
    """(line, start FEN, moves in UCI, result) of each game of a full read of
    a PGN file that a shard would hold (one with moves and, unless
    unfinished_skipped is False as in folders of older varnok, a result), in
    file order."""
    from varnok import read_pgn
    games = read_pgn(Path(path))  # a path, whatever its name holds (see split_file)
    while True:
        with warnings.catch_warnings():  # a file without games: the comparison says what is missing
            warnings.simplefilter("ignore", UserWarning)
            g = next(games, None)
        if g is None:
            return
        uci = g.uci
        if uci and (g.result in RESULTS or not unfinished_skipped) and not contradicts_its_mate(g):
            yield g.line, g.start_fen, " ".join(uci), RESULTS.get(g.result, 0)


def file_identity(path: str) -> dict:
    st = os.stat(path)
    return {"file": path, "bytes": st.st_size, "mtime_ns": st.st_mtime_ns}

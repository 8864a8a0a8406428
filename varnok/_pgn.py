"""PGN files cut into byte ranges at game boundaries, and a range into a shard.

A big file is cut without reading it through: for each wanted cut point the
reader seeks there and scans forward to the next line that starts with
`[Event` right after a blank line (the start of a game's tag section). Every
range therefore holds whole games, and the ranges of a file together hold
each game exactly once, so many workers can read one file side by side.
"""

from __future__ import annotations

import os
import re
from pathlib import Path

import numpy as np

from varnok._shards import GameRecord, encode_shard

BOUNDARY = re.compile(rb"\n\r?\n\[Event[ \t]")
SCAN = 1 << 16


def pgn_files(source) -> list[Path]:
    """A file, or the *.pgn files of a folder (recursively), in name order."""
    from varnok._checks import path as checked_path
    path = checked_path(source, "source")
    if path.is_dir():
        files = sorted(p for p in path.rglob("*") if p.is_file() and p.suffix.lower() == ".pgn")
        if not files:
            raise FileNotFoundError(f"{path}: no .pgn files in this folder")
        return files
    if not path.is_file():
        raise FileNotFoundError(f"{path}: no such PGN file or folder")
    return [path]


def next_boundary(f, offset: int, size: int) -> int:
    """The offset of the first game start at or after `offset` (size if none):
    the `[` of an `[Event` line that follows a blank line."""
    if offset <= 0:
        return 0
    # Start one byte early with the newline that may end the blank line.
    pos = max(0, offset - 2)
    carry = b""
    while pos < size:
        f.seek(pos)
        block = f.read(SCAN)
        if not block:
            break
        data = carry + block
        m = BOUNDARY.search(data)
        if m:
            return pos - len(carry) + m.end() - len(b"[Event ")
        carry = data[-16:]
        pos += len(block)
    return size


def split_file(path: Path, chunk_bytes: int) -> list[tuple[int, int]]:
    """Byte ranges of about chunk_bytes each, starting at game starts."""
    size = path.stat().st_size
    cuts = [0]
    with open(path, "rb") as f:
        target = chunk_bytes
        while target < size:
            cut = next_boundary(f, target, size)
            if cut >= size:
                break
            if cut > cuts[-1]:
                cuts.append(cut)
            target = max(cut, target) + chunk_bytes
    cuts.append(size)
    return [(cuts[i], cuts[i + 1]) for i in range(len(cuts) - 1) if cuts[i + 1] > cuts[i]]


def plan(source, chunk_bytes: int) -> list[dict]:
    """Every range of every file, numbered: the shards of a pgn2shards job."""
    tasks = []
    for path in pgn_files(source):
        for start, end in split_file(path, chunk_bytes):
            tasks.append({"shard": len(tasks), "file": str(path.resolve()), "start": start, "end": end})
    return tasks


RESULTS = {"1-0": 1, "0-1": -1}


def convert_range(task: dict) -> tuple[bytes, dict]:
    """Reads one byte range with the native PGN reader and replay, and encodes
    its games as a shard (no search policy: the lists stay empty)."""
    from varnok import read_pgn, replay_pgn
    with open(task["file"], "rb") as f:
        f.seek(task["start"])
        raw = f.read(task["end"] - task["start"])
    text = raw.decode("utf-8", errors="replace")
    if not text.strip():
        return encode_shard(task["shard"], [])
    if not text.startswith("["):
        text = "\n" + text  # a range of moves before any tag is still PGN text, not a path
    games = list(read_pgn(text))
    data = replay_pgn(text, obs_dtype="packed")
    game_of_row = data["game"]
    starts = np.searchsorted(game_of_row, np.arange(len(games) + 1))
    records = []
    for i, g in enumerate(games):
        lo, hi = starts[i], starts[i + 1]
        actions = list(g.actions)
        if not actions:
            continue  # a game without moves has no position to learn from
        if hi - lo != len(actions) or not np.array_equal(data["action"][lo:hi], actions):
            raise RuntimeError(f"{task['file']}: the reader and the replay disagree on the game at line "
                               f"{g.line} of the range from byte {task['start']}")
        records.append(GameRecord(start_fen=g.start_fen, actions=actions, uci=list(g.uci),
                                  result=RESULTS.get(g.result, 0), obs=data["obs"][lo:hi]))
    return encode_shard(task["shard"], records)


def file_identity(path: str) -> dict:
    st = os.stat(path)
    return {"file": path, "bytes": st.st_size, "mtime_ns": st.st_mtime_ns}

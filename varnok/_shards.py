"""Training shards: Parquet files of positions, a manifest, reading and checks.

A shard folder holds `manifest.json` and one `shard-NNNNNN.parquet` per
finished shard. Every row is one position before a move:

    obs              119 uint64 words (the packed observation, fixed-size list)
    action           int32, the action played there
    policy_actions   list<int32>, the root actions the search visited (empty for PGN games)
    policy_visits    list<int32>, their visit counts
    result           int8, the game's result from white's side (+1, -1, 0)
    game             int64, (shard id << 32) | game index in the shard: unique in the folder
    ply              int32, plies played before this position
    start_fen        string (dictionary-encoded), the game's start position
    moves            string (dictionary-encoded), the game's moves in UCI, space-separated

`start_fen` and `moves` repeat along a game and are stored once per game
(dictionary encoding); with them every row can be derived again from scratch.

The manifest is the folder's table of contents: the job that made it (its
kind and parameters), the format version, and per finished shard its file,
seed, row and game counts, result split and SHA-256. Shards are written under
a temporary name and renamed, and the manifest is rewritten (also atomically)
after each one, so a folder is always consistent: a shard is finished exactly
when the manifest lists it.
"""

from __future__ import annotations

import contextlib
import hashlib
import io
import json
import os
import re
import signal
import weakref
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq

from varnok import ChessEnv, unpack
from varnok._checks import integer
from varnok._checks import path as checked_path
from varnok._core import ACTIONS  # the size of the action space, as the core numbers actions

FORMAT = "varnok-shards"
VERSION = 1
MANIFEST = "manifest.json"
PLANES = 119
# The plane that is 1 on every square when black is to move, 0 for white.
BLACK_TO_MOVE_PLANE = 112
# Rows a shuffled read mixes at a time (shuffle=True): about 60 MB of packed observations.
SHUFFLE_ROWS = 1 << 16
# A shard's number has six digits in its file name: a job has at most this many.
MAX_SHARDS = 10**6
SHARD_NAME = re.compile(r"^shard-(\d{6})\.parquet$")
TEMP_NAME = re.compile(r"^\.shard-(\d{6})\.parquet\.\d+\.tmp$|^\.manifest\.json\.\d+\.tmp$")

SCHEMA = pa.schema([
    ("obs", pa.list_(pa.uint64(), PLANES)),
    ("action", pa.int32()),
    ("policy_actions", pa.list_(pa.int32())),
    ("policy_visits", pa.list_(pa.int32())),
    ("result", pa.int8()),
    ("game", pa.int64()),
    ("ply", pa.int32()),
    ("start_fen", pa.dictionary(pa.int32(), pa.string())),
    ("moves", pa.dictionary(pa.int32(), pa.string())),
])


class ShardError(Exception):
    """A shard folder that cannot be used as asked: foreign or damaged files,
    another job's manifest, rows that do not replay."""


def shard_file(shard: int) -> str:
    return f"shard-{shard:06d}.parquet"


def check_shard_count(count: int, larger: str) -> None:
    """A job of more shards than their names can number is refused before it starts."""
    if count > MAX_SHARDS:
        raise ValueError(f"the job needs {count} shards, more than the {MAX_SHARDS} a folder numbers: {larger}")


def game_id(shard: int, index: int) -> int:
    return (shard << 32) | index


@dataclass
class GameRecord:
    """One finished game: where it started, its moves, and per position the
    packed observation and the search's visits."""

    start_fen: str
    actions: list
    uci: list
    result: int
    obs: np.ndarray                      # (plies, 119) uint64
    policy: list = field(default_factory=list)  # per ply: (actions int32, visits int32), or empty


def encode_shard(shard: int, games: list[GameRecord]) -> tuple[bytes, dict]:
    """The Parquet bytes of a shard holding `games`, and its counts."""
    rows = sum(len(g.actions) for g in games)
    obs = np.zeros((rows, PLANES), np.uint64)
    action = np.zeros(rows, np.int32)
    result = np.zeros(rows, np.int8)
    gid = np.zeros(rows, np.int64)
    ply = np.zeros(rows, np.int32)
    game_index = np.zeros(rows, np.int32)
    p_lengths = np.zeros(rows, np.int64)
    p_actions, p_visits = [], []
    row = 0
    for index, g in enumerate(games):
        n = len(g.actions)
        obs[row:row + n] = g.obs
        action[row:row + n] = g.actions
        result[row:row + n] = g.result
        gid[row:row + n] = game_id(shard, index)
        ply[row:row + n] = np.arange(n)
        game_index[row:row + n] = index
        for k, (acts, visits) in enumerate(g.policy):
            p_actions.append(np.asarray(acts, np.int32))
            p_visits.append(np.asarray(visits, np.int32))
            p_lengths[row + k] = len(acts)
        row += n
    offsets = pa.array(np.concatenate([[0], np.cumsum(p_lengths)]).astype(np.int32))
    flat_a = np.concatenate(p_actions) if p_actions else np.zeros(0, np.int32)
    flat_v = np.concatenate(p_visits) if p_visits else np.zeros(0, np.int32)
    indices = pa.array(game_index)
    table = pa.table({
        "obs": pa.FixedSizeListArray.from_arrays(pa.array(obs.reshape(-1)), PLANES),
        "action": action,
        "policy_actions": pa.ListArray.from_arrays(offsets, pa.array(flat_a)),
        "policy_visits": pa.ListArray.from_arrays(offsets, pa.array(flat_v)),
        "result": result,
        "game": gid,
        "ply": ply,
        # One dictionary entry per game: a game's text is stored once.
        "start_fen": pa.DictionaryArray.from_arrays(indices, pa.array([g.start_fen for g in games], pa.string())),
        "moves": pa.DictionaryArray.from_arrays(indices, pa.array([" ".join(g.uci) for g in games], pa.string())),
    }, schema=SCHEMA)
    table = table.replace_schema_metadata({b"varnok.shard": str(shard).encode(),
                                           b"varnok.format": f"{FORMAT}/{VERSION}".encode()})
    sink = io.BytesIO()
    pq.write_table(table, sink, compression="zstd", use_dictionary=["start_fen", "moves"])
    data = sink.getvalue()
    counts = {"rows": rows, "games": len(games), "results": split_results(games),
              "plies": [len(g.actions) for g in games]}
    return data, counts


def split_results(games) -> dict:
    out = {"white": 0, "black": 0, "draw": 0}
    for g in games:
        out["white" if g.result > 0 else "black" if g.result < 0 else "draw"] += 1
    return out


def write_atomic(path: Path, data: bytes) -> None:
    """Write under a temporary name in the same folder, flush, then rename:
    readers see the old file or the whole new one, never a part."""
    tmp = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        with open(tmp, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        os.replace(tmp, path)
    except BaseException:
        # A full disk or an interruption: the part written is no file of the
        # folder's and goes at once, not at the next run.
        with contextlib.suppress(OSError):
            os.remove(tmp)
        raise


@contextlib.contextmanager
def interrupts_deferred():
    """Holds SIGINT back until the block has run (in the main thread, where
    Python handles signals), then acts on it as the handler before would."""
    caught = []
    try:
        before = signal.signal(signal.SIGINT, lambda signum, frame: caught.append(signum))
    except ValueError:  # not the main thread: signals never land here
        yield
        return
    try:
        yield
    finally:
        signal.signal(signal.SIGINT, before)
        if caught:
            if before in (signal.default_int_handler, signal.SIG_DFL):
                raise KeyboardInterrupt
            if callable(before):
                before(signal.SIGINT, None)


def sha256(data: bytes | pa.Buffer) -> str:
    return hashlib.sha256(data).hexdigest()


class Folder:
    """An output folder: its manifest, and the shards it has finished. A
    writer (create=True) holds the folder for itself until close() (or the
    end of a with block): a second job writing into it at once would drop
    the first one's files in progress and write over its manifest."""

    def __init__(self, path, job: dict | None = None, create: bool = False, live: bool = False):
        """`live`: the folder may be being written while it is read (a
        trainer reading what self-play writes). A writer renames a shard
        into place and then lists it, so a shard not listed yet is left out
        rather than refused; verify, which reads with `live` False, says
        how to finish a folder whose run stopped between the two."""
        self.path = checked_path(path, "the shard folder")
        self._held = None
        if self.path.exists() and not self.path.is_dir():
            raise ShardError(f"{self.path}: is a file, not a shard folder "
                             f"(give the folder that holds {MANIFEST} and the shards)")
        if create:
            self.path.mkdir(parents=True, exist_ok=True)
            self._hold()
        elif not self.path.is_dir():
            raise ShardError(f"{self.path}: no such shard folder")
        try:
            self._open(job, create, live)
        except BaseException:
            self.close()
            raise

    def _hold(self) -> None:
        """An exclusive lock on the folder itself (flock on its descriptor:
        nothing is added to the folder, and the lock goes with the process
        however it ends)."""
        try:
            import fcntl
        except ImportError:  # no flock here: the folder is not held
            return
        try:
            fd = os.open(self.path, os.O_RDONLY)
        except OSError:  # a folder that cannot be opened for reading: listing it says why
            return
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise ShardError(f"{self.path}: another job is writing this shard folder; wait for it to end "
                             "or choose another folder") from None
        except OSError:  # a file system without flock: the folder is not held
            os.close(fd)
            return
        self._held = weakref.finalize(self, os.close, fd)

    def close(self) -> None:
        """Lets the folder go (a writer's lock); reading it goes on."""
        if self._held is not None:
            self._held()
            self._held = None

    def __enter__(self) -> "Folder":
        return self

    def __exit__(self, *exc) -> None:
        self.close()

    def _open(self, job: dict | None, create: bool, live: bool) -> None:
        self.manifest = self._load_manifest()
        had_manifest = self.manifest is not None
        if job is not None:
            if self.manifest is None:
                self.manifest = {"format": FORMAT, "version": VERSION, "job": job, "shards": {}}
            elif self.manifest["job"] != job:
                differences = job_difference(self.manifest["job"], job)
                raise ShardError(f"{self.path} holds shards of another job: {differences}; "
                                 "choose an empty folder or the same settings")
        elif self.manifest is None:
            raise ShardError(f"{self.path}: no {MANIFEST}; not a shard folder (or no shard finished yet)")
        self._check_files(cleanup=create, adopt=create and had_manifest, had_manifest=had_manifest,
                          unlisted_ok=live and had_manifest)

    def _load_manifest(self):
        path = self.path / MANIFEST
        if not path.exists():
            return None
        try:
            manifest = json.loads(path.read_text())
        except (ValueError, UnicodeDecodeError, RecursionError) as exc:  # nested too deep to decode: not ours
            raise ShardError(f"{path}: damaged manifest ({exc})") from None
        if not isinstance(manifest, dict) or manifest.get("format") != FORMAT:
            raise ShardError(f"{path}: not a varnok shard manifest")
        if manifest.get("version") != VERSION:
            raise ShardError(f"{path}: shard format version {manifest.get('version')}, "
                             f"this varnok reads version {VERSION}")
        check_entries(path, manifest)
        return manifest

    def _check_files(self, cleanup: bool, adopt: bool, had_manifest: bool, unlisted_ok: bool = False) -> None:
        """Refuse foreign files; drop temporary files left by an interrupted run.
        With `adopt` (a rerun of the manifest's own job) a shard file written
        just before an interruption, but not yet listed, is made again."""
        listed = {entry["file"] for entry in self.shards.values()}
        for entry in sorted(os.listdir(self.path)):
            if entry == MANIFEST:
                continue
            if TEMP_NAME.match(entry):
                if cleanup:
                    os.remove(self.path / entry)
                continue
            if SHARD_NAME.match(entry):
                if entry not in listed and not (adopt or unlisted_ok):
                    # With a manifest, the run that wrote the folder stopped
                    # between a shard and its entry: its own rerun takes it.
                    hint = ("; the run that wrote the folder stopped before listing it: rerun the same "
                            "command to finish the folder" if had_manifest else "")
                    raise ShardError(f"{self.path / entry}: a shard the manifest does not list{hint}")
                continue
            raise ShardError(f"{self.path / entry}: foreign file in a shard folder "
                             "(only manifest.json and shard-NNNNNN.parquet belong there)")
        for shard, entry in self.shards.items():
            path = self.path / entry["file"]
            if not path.exists():
                raise ShardError(f"{path}: shard {shard} is listed in the manifest but missing")
            if path.stat().st_size != entry["bytes"]:
                raise ShardError(f"{path}: shard {shard} has {path.stat().st_size} bytes, the manifest says "
                                 f"{entry['bytes']}: damaged (delete it and the manifest entry to make it again)")

    @property
    def shards(self) -> dict:
        return self.manifest["shards"] if self.manifest else {}

    def finished(self, shard: int) -> bool:
        return str(shard) in self.shards

    def add(self, shard: int, data: bytes, counts: dict, seed=None, extra: dict | None = None) -> None:
        """Write one finished shard, then list it in the manifest (Ctrl-C
        waits for both, so an interruption leaves no unlisted shard behind)."""
        name = shard_file(shard)
        entry = {"file": name, "seed": seed, "rows": counts["rows"], "games": counts["games"],
                 "results": counts["results"], "bytes": len(data), "sha256": sha256(data)}
        if extra:
            entry.update(extra)
        with interrupts_deferred():
            write_atomic(self.path / name, data)
            self.shards[str(shard)] = entry
            self.save()

    def save(self) -> None:
        ordered = dict(sorted(self.shards.items(), key=lambda kv: int(kv[0])))
        self.manifest["shards"] = ordered
        write_atomic(self.path / MANIFEST, json.dumps(self.manifest, indent=1).encode())

    def files(self) -> list[tuple[int, Path, dict]]:
        return [(int(s), self.path / e["file"], e) for s, e in self.shards.items()]


ENTRY_FIELDS = ("file", "rows", "games", "results", "bytes", "sha256")
# The whole numbers of an entry (the last two only for PGN shards), and its results' split.
COUNT_FIELDS = ("rows", "games", "bytes", "unfinished", "broken")
RESULT_NAMES = ("white", "black", "draw")


def check_entries(path: Path, manifest: dict) -> None:
    """Each listed shard names its own file, inside the folder: shard N is
    shard-NNNNNN.parquet, so no entry reaches outside the folder and no two
    entries share a file."""
    if not isinstance(manifest.get("job"), dict) or not isinstance(manifest.get("shards"), dict):
        raise ShardError(f"{path}: damaged manifest (no job or shard table)")
    for shard, entry in manifest["shards"].items():
        if not (isinstance(shard, str) and shard.isdigit() and shard.isascii() and int(shard) < MAX_SHARDS):
            raise ShardError(f"{path}: {shard!r} is not a shard number")
        if not isinstance(entry, dict) or any(name not in entry for name in ENTRY_FIELDS):
            raise ShardError(f"{path}: the entry of shard {shard} lacks {', '.join(ENTRY_FIELDS)}")
        if entry["file"] != shard_file(int(shard)):
            raise ShardError(f"{path}: shard {shard} names the file {entry['file']!r}; its file is "
                             f"{shard_file(int(shard))} in the folder itself")
        # The counts are summed and compared by every reader: numbers, or the folder is damaged.
        results = entry["results"]
        counts = [entry[name] for name in COUNT_FIELDS if name in entry]
        if not isinstance(results, dict) or sorted(results) != sorted(RESULT_NAMES):
            raise ShardError(f"{path}: damaged manifest (the results of shard {shard} are not "
                             f"{', '.join(RESULT_NAMES)}: {results!r})")
        if not isinstance(entry["sha256"], str) or not all(
                type(n) is int and n >= 0 for n in [*counts, *results.values()]):
            raise ShardError(f"{path}: damaged manifest (shard {shard} has a count that is no number of 0 or more, "
                             "or a checksum that is no text)")
    inputs = manifest["job"].get("inputs", [])
    if not (isinstance(inputs, list) and all(isinstance(i, dict) and isinstance(i.get("file"), str) for i in inputs)):
        raise ShardError(f"{path}: damaged manifest (the job's inputs are not a list of files)")


def job_difference(made: dict, now: dict) -> str:
    """The settings in which two jobs differ, named: "seed: the folder's 1, this run's 2"."""
    def show(value):
        if isinstance(value, list) and value and all(isinstance(v, dict) and "file" in v for v in value):
            return ", ".join(f"{v['file']} ({v.get('bytes')} bytes)" for v in value)  # pgn2shards inputs
        return repr(value)

    names = [k for k in dict.fromkeys([*made, *now]) if made.get(k) != now.get(k)]
    if "kind" in names:
        names = ["kind"]   # a self-play folder against a PGN job: each other setting differs only by that
    text = "; ".join(f"{k}: the folder's {show(made.get(k))}, this run's {show(now.get(k))}" for k in names)
    if len(text) <= 600:
        return text
    cut = text.rfind("; ", 0, 600)   # whole settings; one long list of inputs is cut where it reaches 600
    return text[:cut if cut > 0 else 600] + " ..."


def open_shard(source, path: Path | None = None) -> pq.ParquetFile:
    """A shard's Parquet file, from its path or its bytes (then `path` names it)."""
    path = source if path is None else path
    try:
        f = pq.ParquetFile(source)
    except (pa.ArrowException, OSError) as exc:
        raise ShardError(f"{path}: not a readable Parquet shard ({exc})") from None
    if not f.schema_arrow.equals(SCHEMA, check_metadata=False):
        raise ShardError(f"{path}: columns differ from a varnok shard's")
    return f


def policy_dense(actions: pa.Array, visits: pa.Array) -> np.ndarray:
    """Visit shares (float32 (n, 4672)) from the sparse lists; zero rows where no search ran."""
    n = len(actions)
    out = np.zeros((n, ACTIONS), np.float32)
    offsets = actions.offsets.to_numpy()
    offsets = offsets - offsets[0]
    flat_a = actions.flatten().to_numpy()
    flat_v = visits.flatten().to_numpy().astype(np.float32)
    rows = np.repeat(np.arange(n), np.diff(offsets))
    out[rows, flat_a] = flat_v
    totals = out.sum(axis=1, keepdims=True)
    np.divide(out, totals, out=out, where=totals > 0)
    return out


def packed_obs(column: pa.Array) -> np.ndarray:
    return column.flatten().to_numpy().reshape(-1, PLANES)


def batch_arrays(batch: pa.RecordBatch | pa.Table, obs: str, policy: bool, value: bool = False) -> dict:
    col = batch.column("obs")
    if isinstance(col, pa.ChunkedArray):
        col = col.combine_chunks()
    words = packed_obs(col)
    out = {"obs": words if obs == "packed" else unpack(words, obs)}
    for name in ("action", "result", "game", "ply"):
        out[name] = batch.column(name).to_numpy()
    if value:
        # The result is white's; the player to move at a row wins it when white is to move there.
        black = words[:, BLACK_TO_MOVE_PLANE] != 0
        out["value"] = np.where(black, -out["result"], out["result"]).astype(np.float32)
    if policy:
        a, v = batch.column("policy_actions"), batch.column("policy_visits")
        if isinstance(a, pa.ChunkedArray):
            a, v = a.combine_chunks(), v.combine_chunks()
        out["policy"] = policy_dense(a, v)
    return out


def open_checked(file: Path, entry: dict) -> pq.ParquetFile:
    """A shard read whole into memory and checked against the manifest's
    SHA-256 before any of its rows is used: the rows handed out are the
    bytes that were checked. The bytes are read into Arrow's own memory:
    Arrow's worker threads may drop the last reference to them, and a
    buffer of Python bytes needs the interpreter to be freed (at the exit of
    the process, when the interpreter is gone, such a thread would wait for
    it for ever, and the exit for that thread)."""
    with pa.OSFile(str(file)) as source:
        data = source.read_buffer()
    if sha256(data) != entry["sha256"]:
        raise ShardError(f"{file}: checksum differs from the manifest's (damaged or replaced)")
    return open_shard(pa.BufferReader(data), file)


def check_policy(actions, visits, file) -> None:
    """The search's visits of some rows, as policy_dense takes them: per row
    as many counts as actions, each action one of the action space and no
    count below 0. ShardError naming the file otherwise: a negative action
    would mark another move (counted from the end of the row), a count
    below 0 give a share below 0."""
    lengths = [pc.list_value_length(column).fill_null(0) for column in (actions, visits)]
    flat_a, flat_v = pc.list_flatten(actions), pc.list_flatten(visits)
    bad = (not lengths[0].equals(lengths[1])
           or (len(flat_a) and (pc.min(flat_a).as_py() < 0 or pc.max(flat_a).as_py() >= ACTIONS))
           or (len(flat_v) and pc.min(flat_v).as_py() < 0))
    if bad:
        raise ShardError(f"{file}: damaged shard (a row's search visits hold an action outside 0 to {ACTIONS - 1}, "
                         "a count below 0, or not a count per action)")


def _batches(f, file, batch_size, columns):
    try:
        for batch in f.iter_batches(batch_size=batch_size, columns=columns):
            if "policy_actions" in columns:
                check_policy(batch.column("policy_actions"), batch.column("policy_visits"), file)
            yield batch
    except (pa.ArrowException, OSError) as exc:
        raise ShardError(f"{file}: damaged shard ({exc})") from None


def _rebatched(batches, batch_size: int):
    """Tables of exactly batch_size rows (the last may be shorter) from batches of any size."""
    pending: list[pa.RecordBatch] = []
    count = 0
    for batch in batches:
        pending.append(batch)
        count += batch.num_rows
        while count >= batch_size:
            table = pa.Table.from_batches(pending)
            yield table.slice(0, batch_size)
            rest = table.slice(batch_size)
            pending = rest.to_batches() if rest.num_rows else []
            count = rest.num_rows
    if count:
        yield pa.Table.from_batches(pending)


def _shuffled(batches, rows: int, rng: np.random.Generator):
    """The rows of `batches` in a random order, through a buffer of `rows`:
    whenever it is full, half of it, drawn at random, goes out; the rest at
    the end. Every row comes out once."""
    pending: list[pa.RecordBatch] = []
    count = 0
    for batch in batches:
        pending.append(batch)
        count += batch.num_rows
        if count >= rows:
            table = pa.Table.from_batches(pending).combine_chunks()
            order = rng.permutation(count)
            keep = rows // 2
            yield from table.take(order[keep:]).to_batches()
            pending = table.take(order[:keep]).to_batches()
            count = keep
    if count:
        table = pa.Table.from_batches(pending).combine_chunks()
        yield from table.take(rng.permutation(count)).to_batches()


def read_shards(path, batch_size: int = 1024, obs: str = "packed", policy: bool = False, value: bool = False,
                shuffle: bool | int = False, seed: int = 0, part: tuple[int, int] = (0, 1)):
    """Iterates NumPy batches of `batch_size` rows (the last may be shorter)
    over every finished shard of a folder, in shard order: dicts with
    "obs" ((n, 119) uint64 for "packed", else (n, 119, 8, 8) of "float32" or
    "int32" through varnok.unpack), "action", "result", "game", "ply", and
    with policy=True "policy" (float32 (n, 4672) visit shares).

    value=True adds "value" (float32): the game's result for the player to
    move at the row (+1 a win, 0 a draw, -1 a loss), where "result" is
    white's.

    shuffle=True reads the shards in an order drawn from `seed` and the rows
    through a shuffle buffer of 65536 rows (shuffle=N: of N rows): every row
    comes exactly once per pass, and the same seed gives the same order (a
    new seed per epoch gives a new one). `part=(i, n)` reads only the i-th of
    n disjoint parts of the shards (after the shuffle of their order), so n
    data-loader workers read every row once between them.

    The arguments and the folder (its manifest and files) are checked at the
    call, before the first batch is asked for."""
    if obs not in ("packed", "float32", "int32"):
        raise ValueError(f'obs must be "packed", "float32" or "int32", got {obs!r}')
    batch_size = integer(batch_size, "batch_size", 1)
    if not isinstance(shuffle, (bool, int)):
        raise TypeError(f"shuffle must be a bool or a number of rows, got {type(shuffle).__name__}")
    buffer = SHUFFLE_ROWS if shuffle is True else 0 if shuffle is False else integer(shuffle, "shuffle", 1)
    seed = integer(seed, "seed", 0)
    if not (isinstance(part, tuple) and len(part) == 2):
        raise TypeError(f"part must be a tuple (index, count), got {part!r}")
    count = integer(part[1], "the part count", 1)
    index = integer(part[0], "the part index", 0, count - 1)
    folder = Folder(path, live=True)
    columns = ["obs", "action", "result", "game", "ply"] + (["policy_actions", "policy_visits"] if policy else [])
    rng = np.random.default_rng(seed)
    files = folder.files()
    if buffer:
        files = [files[k] for k in rng.permutation(len(files))]
    files = files[index::count]

    def batches():
        for _shard, file, entry in files:
            yield from _batches(open_checked(file, entry), file, batch_size, columns)

    rows = _shuffled(batches(), buffer, rng) if buffer else batches()
    return (batch_arrays(table, obs, policy, value) for table in _rebatched(rows, batch_size))


def verify_shard(file: Path, entry: dict, shard: int, rules: str = "classic", expected=None,
                 chess960: bool = False, pgn: bool = False) -> dict:
    """Replays every game of a shard from its start FEN and moves (under the
    job's draw rules) and checks each row against it; with `expected`, an
    iterator of the source's games ((file, line, start FEN, moves, result),
    in order), also that each game is the next of the source. A shard of PGN
    games (`pgn`) may hold Chess960 games among standard ones: a game that
    does not replay as standard chess is replayed as Chess960. Returns
    counts, raises ShardError on the first fault."""
    try:
        table = open_checked(file, entry).read()
    except (pa.ArrowException, OSError) as exc:
        raise ShardError(f"{file}: damaged shard ({exc})") from None
    if table.num_rows != entry["rows"]:
        raise ShardError(f"{file}: {table.num_rows} rows, the manifest says {entry['rows']}")
    check_policy(table.column("policy_actions"), table.column("policy_visits"), file)
    obs = packed_obs(table.column("obs").combine_chunks())
    action = table.column("action").to_numpy()
    result = table.column("result").to_numpy()
    gid = table.column("game").to_numpy()
    ply = table.column("ply").to_numpy()
    fens = table.column("start_fen").to_pylist()
    moves = table.column("moves").to_pylist()
    env = ChessEnv(rules, chess960=chess960)
    variant = ChessEnv(rules, chess960=True) if pgn and not chess960 else None
    games = 0
    row = 0
    n = table.num_rows
    while row < n:
        end = row
        while end < n and gid[end] == gid[row]:
            end += 1
        where = f"{file}: game {gid[row]:#x} (rows {row}-{end - 1})"
        if gid[row] >> 32 != shard or (gid[row] & 0xFFFFFFFF) != games:
            raise ShardError(f"{where}: game id out of order for shard {shard}")
        uci = moves[row].split()
        if len(uci) != end - row:
            raise ShardError(f"{where}: {end - row} rows for a game of {len(uci)} moves")
        if any(fens[k] != fens[row] or moves[k] != moves[row] or result[k] != result[row] for k in range(row, end)):
            raise ShardError(f"{where}: start FEN, moves or result change inside the game")
        if result[row] not in (-1, 0, 1):
            raise ShardError(f"{where}: result {result[row]} is not +1, -1 or 0")
        if expected is not None:
            source = next(expected, None)
            if source is None:
                raise ShardError(f"{where}: a game that a full read of the source does not hold "
                                 "(the source has fewer games)")
            if (source[2], source[3], source[4]) != (fens[row], moves[row], int(result[row])):
                raise ShardError(f"{where}: differs from the source's game at line {source[1]} of {source[0]} "
                                 "(start, moves or result): the shards do not hold the games of a full read")
        rows = (obs[row:end], action[row:end], ply[row:end])
        try:
            played, (reward, done) = env, _replay(env, fens[row], uci, *rows, where)
        except ShardError as standard:
            if variant is None:
                raise
            try:  # a Chess960 game of a PGN file ([Variant "Chess960"]): its castling is the king taking its rook
                played, (reward, done) = variant, _replay(variant, fens[row], uci, *rows, where)
            except ShardError:
                raise standard from None
        if done and played.outcome() == "checkmate" and result[row] != int(reward):
            raise ShardError(f"{where}: ends in checkmate ({reward:+.0f}) but the result is {result[row]:+d}")
        games += 1
        row = end
    if games != entry["games"]:
        raise ShardError(f"{file}: {games} games, the manifest says {entry['games']}")
    return {"games": games, "rows": n}


def _replay(env, fen: str, uci: list, obs, action, ply, where: str) -> tuple[float, int]:
    """Plays one game's moves from its start in env, checking each row's
    ply, observation and action; (the last reward, done), or ShardError."""
    try:
        env.load_fen(fen)
    except ValueError as exc:
        raise ShardError(f"{where}: start FEN: {exc}") from None
    reward, done = 0.0, 0
    for k, text in enumerate(uci):
        if ply[k] != k:
            raise ShardError(f"{where}: row {k} of the game has ply {ply[k]}, expected {k}")
        if not np.array_equal(env.observation("packed"), obs[k]):
            raise ShardError(f"{where}: observation at ply {k} differs from the replay")
        try:
            a = env.uci_to_action(text)
        except ValueError as exc:
            raise ShardError(f"{where}: move {k + 1} {text}: {exc}") from None
        if a != action[k]:
            raise ShardError(f"{where}: action {action[k]} at ply {k}, the move {text} is {a}")
        _side, reward, done = env.play(a)
    return reward, done

"""varnok.data: self-play and PGN shards, reading, verification, resuming,
faults (a killed worker, an interrupted run, foreign or damaged files)."""

import hashlib
import json
import os
import signal
import subprocess
import sys
import time

import numpy as np
import pytest
import varnok

if not hasattr(varnok, "__path__"):
    pytest.skip("varnok is still the flat extension module; varnok.data needs the package", allow_module_level=True)
pa = pytest.importorskip("pyarrow")
pq = pytest.importorskip("pyarrow.parquet")
ray = pytest.importorskip("ray")

from varnok import ChessEnv, replay_pgn  # noqa: E402
from varnok import data as vd  # noqa: E402
from varnok._pgn import plan, split_file  # noqa: E402

SMALL = dict(simulations=4, max_plies=24, temperature_plies=8, progress=False)


@pytest.fixture(scope="module")
def local_ray():
    """A short-lived two-CPU Ray instance on this machine for the module."""
    ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield
    ray.shutdown()


def random_pgn(path, games, seed, extra=""):
    """A PGN file of short random games (some from a FEN), with comments,
    each given a result (a shard holds only games with one)."""
    rng = np.random.default_rng(seed)
    env = ChessEnv()
    texts = []
    fens = [None, "r3k2r/pppq1ppp/2n2n2/3pp3/3PP3/2N2N2/PPPQ1PPP/R3K2R b KQkq - 4 8"]
    for g in range(games):
        fen = fens[g % 2]
        env.load_fen(fen) if fen else env.reset()
        for _ in range(int(rng.integers(1, 60))):
            legal = env.legal_actions()
            if len(legal) == 0:
                break
            if env.play(int(rng.choice(legal)))[2]:
                break
        text = env.pgn({"Event": f"test {g}", "Round": str(g)})
        if text.rstrip().endswith("*"):
            result = ("1-0", "0-1", "1/2-1/2")[g % 3]
            text = text.replace('[Result "*"]', f'[Result "{result}"]').rstrip()[:-1] + result
        if g % 3 == 0:
            text = text.replace("\n1.", "\n{a comment with [Event inside}\n1.", 1)
        texts.append(text.strip() + "\n")
    path.write_text(extra + "\n\n".join(texts) + "\n")
    return path


def table(folder):
    files = sorted(p for p in folder.iterdir() if p.suffix == ".parquet")
    return pa.concat_tables([pq.read_table(p) for p in files])


def test_selfplay_rows_replay_and_read_back(tmp_path):
    out = tmp_path / "sp"
    s = vd.selfplay(out, games=5, games_per_shard=2, seed=3, engine="local", **SMALL)
    assert (s["games"], s["shards_made"]) == (5, 3)
    assert sum(s["results"].values()) == 5
    checked = vd.verify(out)
    assert (checked["games"], checked["positions"]) == (5, s["positions"])
    t = table(out)
    assert t.num_rows == s["positions"] and t.column("ply").to_numpy().max() < 24
    # Every row's policy is the search's visits, and the move played is among them.
    for acts, visits, action in zip(t.column("policy_actions").to_pylist(), t.column("policy_visits").to_pylist(),
                                    t.column("action").to_pylist()):
        assert action in acts and min(visits) > 0  # (a proved root may stop early)
    # read_shards: exact batch sizes across shard files, every row once, in order.
    batches = list(vd.read_shards(out, batch_size=7, obs="float32", policy=True))
    assert [len(b["action"]) for b in batches[:-1]] == [7] * (len(batches) - 1)
    got = {k: np.concatenate([b[k] for b in batches]) for k in batches[0]}
    packed = np.concatenate([b["obs"] for b in vd.read_shards(out, batch_size=1000)])
    assert np.array_equal(got["action"], t.column("action").to_numpy())
    assert np.array_equal(got["obs"], varnok.unpack(packed, "float32"))
    assert got["obs"].shape == (t.num_rows, 119, 8, 8)
    np.testing.assert_allclose(got["policy"].sum(axis=1), 1, rtol=1e-5)
    assert np.all(got["policy"][np.arange(t.num_rows), got["action"]] > 0)
    with pytest.raises(ValueError):
        next(vd.read_shards(out, obs="uint16"))


def test_uniform_and_policy_searches_with_openings(tmp_path):
    fen = "4k3/8/8/8/8/8/4P3/4K2R w K - 0 1"
    openings = tmp_path / "openings.fen"
    openings.write_text(f"# one start\n{fen}\n")
    (tmp_path / "mypolicy.py").write_text(
        "import numpy as np\n"
        "CALLS = []\n"
        "def net(obs, mask):\n"
        "    CALLS.append(obs.shape)\n"
        "    return mask.astype(np.float32) / mask.sum(1, keepdims=True), np.zeros(len(obs), np.float32)\n")
    sys.path.insert(0, str(tmp_path))
    try:
        s = vd.selfplay(tmp_path / "p", games=2, search="policy", policy="mypolicy:net", openings=openings,
                        engine="local", **SMALL)
        import mypolicy
        assert mypolicy.CALLS and all(shape[1:] == (119, 8, 8) for shape in mypolicy.CALLS)
    finally:
        sys.path.remove(str(tmp_path))
    assert vd.verify(tmp_path / "p")["games"] == 2 == s["games"]
    assert set(table(tmp_path / "p").column("start_fen").to_pylist()) == {fen}
    vd.selfplay(tmp_path / "u", games=2, search="uniform", engine="local", **SMALL)
    assert vd.verify(tmp_path / "u")["games"] == 2
    with pytest.raises(ValueError):
        vd.selfplay(tmp_path / "x", games=2, search="policy", engine="local", **SMALL)


def test_same_seed_same_games_for_any_worker_count(tmp_path, local_ray):
    vd.selfplay(tmp_path / "one", games=6, games_per_shard=2, seed=11, engine="local", **SMALL)
    vd.selfplay(tmp_path / "two", games=6, games_per_shard=2, seed=11, workers=2, **SMALL)
    vd.selfplay(tmp_path / "other", games=6, games_per_shard=2, seed=12, engine="local", **SMALL)
    one, two, other = (table(tmp_path / n) for n in ("one", "two", "other"))
    assert one.equals(two)
    assert not one.column("moves").equals(other.column("moves"))


def test_pgn_split_at_game_starts_and_convert(tmp_path, local_ray):
    src = random_pgn(tmp_path / "a.pgn", 40, seed=1, extra="\ufeff")
    ranges = split_file(src, 700)
    raw = src.read_bytes()
    assert len(ranges) > 5 and ranges[0][0] == 0 and ranges[-1][1] == len(raw)
    assert all(a[1] == b[0] for a, b in zip(ranges, ranges[1:]))
    assert all(raw[start:start + 7] == b"[Event " for start, _ in ranges[1:])
    folder = tmp_path / "games"
    folder.mkdir()
    random_pgn(folder / "b.pgn", 15, seed=2)
    (folder / "c.PGN").write_bytes(src.read_bytes())
    s = vd.pgn2shards(folder, tmp_path / "out", chunk_bytes=900, workers=2, progress=False)
    assert s["games"] == 55 and s["shards_made"] == len(plan(folder, 900))
    # The shards hold exactly what the native replay of the whole files gives, in file order.
    t = table(tmp_path / "out")
    whole = [replay_pgn(str(folder / "b.pgn")), replay_pgn(str(folder / "c.PGN"))]
    assert np.array_equal(packed := np.concatenate([w["obs"] for w in whole]),
                          np.asarray(t.column("obs").combine_chunks().flatten()).reshape(-1, 119))
    assert np.array_equal(np.concatenate([w["action"] for w in whole]), t.column("action").to_numpy())
    assert np.array_equal(np.concatenate([w["result"] for w in whole]), t.column("result").to_numpy())
    assert len(packed) == s["positions"]
    assert vd.verify(tmp_path / "out")["games"] == 55
    assert all(e["policy_actions"] == [] for e in t.select(["policy_actions"]).slice(0, 5).to_pylist())


def test_worker_killed_in_the_middle_of_a_shard(tmp_path, local_ray):
    killed = []

    def kill_a_busy_worker(task, engine):
        if killed:
            return
        pids = ray.get([a.pid.remote() for a in engine.actors])
        os.kill(pids[0], signal.SIGKILL)
        killed.append(pids[0])

    out = tmp_path / "k"
    s = vd.selfplay(out, games=12, games_per_shard=2, seed=5, workers=2, on_shard=kill_a_busy_worker,
                    simulations=24, max_plies=40, progress=False)
    assert killed and s["games"] == 12 and s["shards_made"] == 6
    manifest = json.loads((out / "manifest.json").read_text())
    assert sorted(map(int, manifest["shards"])) == list(range(6))
    assert sorted(p.name for p in out.iterdir()) == ["manifest.json"] + [f"shard-{i:06d}.parquet" for i in range(6)]
    assert vd.verify(out)["games"] == 12
    gids = table(out).column("game").to_numpy()
    assert len(np.unique(gids)) == 12
    vd.selfplay(tmp_path / "calm", games=12, games_per_shard=2, seed=5, engine="local", simulations=24,
                max_plies=40, progress=False)
    assert table(out).equals(table(tmp_path / "calm"))


def test_interrupted_run_resumes_without_loss_or_duplicates(tmp_path):
    out = tmp_path / "r"

    def stop_after_two(task, engine):
        if len(json.loads((out / "manifest.json").read_text())["shards"]) == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vd.selfplay(out, games=8, games_per_shard=2, seed=9, engine="local", on_shard=stop_after_two, **SMALL)
    # Leftovers of an interruption: a temporary file, and a shard written but not yet listed.
    (out / ".shard-000003.parquet.123.tmp").write_bytes(b"partial")
    (out / "shard-000002.parquet").write_bytes(b"written before the manifest")
    s = vd.selfplay(out, games=8, games_per_shard=2, seed=9, engine="local", **SMALL)
    assert (s["shards_skipped"], s["shards_made"], s["games"]) == (2, 2, 4)
    vd.selfplay(tmp_path / "whole", games=8, games_per_shard=2, seed=9, engine="local", **SMALL)
    assert table(out).equals(table(tmp_path / "whole"))
    assert vd.verify(out)["games"] == 8
    again = vd.selfplay(out, games=8, games_per_shard=2, seed=9, engine="local", **SMALL)
    assert (again["shards_made"], again["shards_skipped"]) == (0, 4)


def test_a_folder_takes_one_writer_and_a_failed_write_leaves_no_part(tmp_path, monkeypatch):
    out = tmp_path / "r"

    def stop(task, engine):
        raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vd.selfplay(out, games=4, games_per_shard=2, seed=9, engine="local", on_shard=stop, **SMALL)
    job = json.loads((out / "manifest.json").read_text())["job"]
    # While a job writes the folder, another is refused before it touches the
    # first one's shard in progress; reading goes on.
    with vd.Folder(out, job=job, create=True):
        (out / ".shard-000001.parquet.77.tmp").write_bytes(b"the running job's shard")
        with pytest.raises(vd.ShardError, match="another job is writing this shard folder"):
            vd.selfplay(out, games=4, games_per_shard=2, seed=9, engine="local", **SMALL)
        assert (out / ".shard-000001.parquet.77.tmp").exists() and vd.verify(out)["games"] == 2
    (out / ".shard-000001.parquet.77.tmp").unlink()

    def disk_full(fd):
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(os, "fsync", disk_full)
    with pytest.raises(OSError, match="No space left"):
        vd.selfplay(out, games=4, games_per_shard=2, seed=9, engine="local", **SMALL)
    monkeypatch.undo()
    assert sorted(p.name for p in out.iterdir()) == ["manifest.json", "shard-000000.parquet"]
    assert vd.selfplay(out, games=4, games_per_shard=2, seed=9, engine="local", **SMALL)["shards_made"] == 1


def test_foreign_damaged_and_tampered_folders_fail_clearly(tmp_path):
    out = tmp_path / "f"
    vd.selfplay(out, games=4, games_per_shard=2, seed=1, engine="local", **SMALL)
    with pytest.raises(vd.ShardError, match="another job"):
        vd.selfplay(out, games=4, games_per_shard=2, seed=2, engine="local", **SMALL)
    (out / "notes.txt").write_text("mine")
    with pytest.raises(vd.ShardError, match="foreign file"):
        vd.selfplay(out, games=4, games_per_shard=2, seed=1, engine="local", **SMALL)
    with pytest.raises(vd.ShardError, match="foreign file"):
        next(vd.read_shards(out))
    (out / "notes.txt").unlink()
    # Shards without a manifest are not adopted by a new job.
    stray = tmp_path / "stray"
    stray.mkdir()
    (stray / "shard-000000.parquet").write_bytes((out / "shard-000000.parquet").read_bytes())
    with pytest.raises(vd.ShardError, match="does not list"):
        vd.selfplay(stray, games=4, games_per_shard=2, seed=1, engine="local", **SMALL)
    # A shard written just before a kill, its manifest entry not: the folder says how to finish it.
    # A reader (a trainer reading what self-play writes meets this between a shard and its entry)
    # reads the listed shards, where it used to stop the training.
    rows = sum(len(b["game"]) for b in vd.read_shards(out))
    (out / "shard-000002.parquet").write_bytes((out / "shard-000000.parquet").read_bytes())
    with pytest.raises(vd.ShardError, match="does not list.*rerun the same command"):
        vd.verify(out)
    assert sum(len(b["game"]) for b in vd.read_shards(out)) == rows
    (out / "shard-000002.parquet").unlink()
    # A truncated shard, a flipped byte, and a consistent file whose rows lie.
    shard = out / "shard-000001.parquet"
    good = shard.read_bytes()
    shard.write_bytes(good[:-10])
    with pytest.raises(vd.ShardError, match="damaged"):
        vd.verify(out)
    shard.write_bytes(good[:100] + bytes([good[100] ^ 1]) + good[101:])
    with pytest.raises(vd.ShardError, match="checksum"):
        vd.verify(out)
    shard.write_bytes(good)
    t = pq.read_table(shard)
    obs = np.asarray(t.column("obs").combine_chunks().flatten()).reshape(-1, 119).copy()
    obs[3, 0] ^= 1 << 20
    t = t.set_column(0, "obs", pa.FixedSizeListArray.from_arrays(pa.array(obs.reshape(-1)), 119))
    pq.write_table(t, shard)
    manifest = json.loads((out / "manifest.json").read_text())
    entry = manifest["shards"]["1"]
    entry["bytes"] = shard.stat().st_size
    entry["sha256"] = hashlib.sha256(shard.read_bytes()).hexdigest()
    (out / "manifest.json").write_text(json.dumps(manifest))
    with pytest.raises(vd.ShardError, match="observation at ply 3"):
        vd.verify(out)
    manifest["job"]["inputs"] = "games.pgn"   # a list of files in a folder of PGN shards
    for damaged in ("{not json", "[" * 100_000, json.dumps(manifest)):   # too deep: was a RecursionError
        (out / "manifest.json").write_text(damaged)
        with pytest.raises(vd.ShardError, match="damaged manifest"):
            vd.verify(out)


def test_command_line(tmp_path):
    # Each command has a time limit: a command that hangs fails the test instead of stalling the suite.
    env = dict(os.environ)
    run = [sys.executable, "-m", "varnok"]
    out = tmp_path / "cli"
    done = subprocess.run(run + ["selfplay", str(out), "--games", "3", "--games-per-shard", "2", "--simulations",
                                 "4", "--max-plies", "16", "--engine", "local"], capture_output=True, text=True,
                          env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    assert "games 3," in done.stdout and "results: white wins" in done.stdout and "games/s" in done.stderr
    checked = subprocess.run(run + ["verify", str(out), "--quiet"], capture_output=True, text=True, env=env, timeout=300)
    assert checked.returncode == 0 and "every row replayed" in checked.stdout
    (out / "stray.bin").write_bytes(b"x")
    bad = subprocess.run(run + ["verify", str(out)], capture_output=True, text=True, env=env, timeout=300)
    assert bad.returncode == 1 and "foreign file" in bad.stderr


# ---- cut points, compressed sources, sources without games, checked reads

# A comment may hold a blank line and an [Event line: only the reader's own
# tokenizer knows it is no game start.
TRAP = "{ quoted from another file:\n\n[Event \"not a game\"]\n\n1. d4 }"
TRICKY = [
    '[Event "a"]\n\n1. e4 ' + TRAP + ' e5 2. Nf3 1-0\n\n[Event "b"]\n\n1. d4 (1. c4 {x\n\n[Event "y"]} c5) d5 *\n',
    "\ufeff1. e4 e5 1-0\n1. d4 d5 0-1\n% an escape line [Event \"z\"]\n1. c4 *\n",
    '[Event "only tags"]\n[Site "?"]\n\n[Event "c"]\n1. Nf3 ; [Event "in a line comment"]\nNf6 1/2-1/2\n',
]


def games_of(text):
    return [(g.start_fen, g.uci, g.result) for g in varnok.read_pgn(text)]


@pytest.mark.parametrize("text", TRICKY)
def test_game_offsets_cut_a_source_into_its_games(text):
    raw = text.encode()
    offsets = [g.offset for g in varnok.read_pgn(text)]
    bounds = [*offsets, len(raw)]
    pieces = [raw[a:b].decode() for a, b in zip(bounds, bounds[1:])]
    assert [games_of("\n" + p) for p in pieces] == [[g] for g in games_of(text)]
    cuts, games, size = varnok._core._pgn_cuts(text, 1)
    assert (cuts.tolist(), games, size) == (offsets, len(offsets), len(raw))


def trapped_pgn(path, games):
    """Games whose comments hold what looks like a game start, everywhere,
    after a byte-order mark and an escape line that holds a game's moves
    (a full read passes over it; the first range once read it as a game)."""
    text = random_pgn(path, games, seed=4).read_text()
    path.write_text("\ufeff% 1. f3 e5 2. g4 Qh4# 0-1\n" + text.replace("{a comment with [Event inside}", TRAP))
    return path


def test_pgn2shards_cuts_only_between_games_and_verify_reads_the_source(tmp_path):
    src = trapped_pgn(tmp_path / "t.pgn", 60)
    whole = replay_pgn(str(src))
    for chunk in (1, 333, 2000):
        out = tmp_path / f"out{chunk}"
        s = vd.pgn2shards(src, out, chunk_bytes=chunk, engine="local", progress=False)
        assert (s["games"], s["positions"]) == (int(whole["game"].max()) + 1, len(whole["action"]))
        assert np.array_equal(table(out).column("action").to_numpy(), whole["action"])
        checked = vd.verify(out)
        assert checked["source_checked"] and "full read of the source" in checked.text()
    # A folder cut by another rule (as an older varnok cut at "[Event" lines) is not resumed.
    rewrite_manifest(tmp_path / "out333", lambda shards: shards["1"].update(end=shards["1"]["end"] - 40))
    with pytest.raises(vd.ShardError, match="shard 1 holds bytes .* cut by another rule"):
        vd.pgn2shards(src, tmp_path / "out333", chunk_bytes=333, engine="local", progress=False)
    rewrite_manifest(tmp_path / "out333", lambda shards: shards["1"].update(end=shards["1"]["end"] + 40))
    # A source that no longer matches its shards, one way or another, fails verify.
    text = src.read_text()
    starts = [g.offset for g in varnok.read_pgn(src)]
    for changed, message in [(text + '\n[Event "new"]\n1. e4 1-0\n', "in no shard"),
                             (text[:starts[1]] + text[starts[2]:], "differs from"),   # one game left out
                             ('[Event "x"]\n1. e4 0-1\n', "differs from")]:
        src.write_text(changed)
        with pytest.raises(vd.ShardError, match=message):
            vd.verify(tmp_path / "out333")
    src.unlink()
    with pytest.raises(vd.ShardError, match="missing.*--skip-source"):
        vd.verify(tmp_path / "out333")
    assert vd.verify(tmp_path / "out333", source=False)["games"] == 60


def test_games_without_a_result_are_left_out_not_taken_for_draws(tmp_path):
    """An unfinished game (`*`) or one without a result has no outcome to
    train a value on: the shards leave it out, the summaries count it, and
    verify expects it left out of the source too. Broken games are counted,
    and so is a game whose result contradicts the mate it ends in."""
    endings = ["1-0", "*", "0-1", "", "1/2-1/2", "*", "3. Kxe8 1-0", "3. Qh5 Ke7 4. Qxe8 0-1"]
    mates = ["1. f3 e5 2. g4 Qh4# 1-0", "1. f3 e5 2. g4 Qh4# 0-1"]
    src = tmp_path / "r.pgn"
    src.write_text("".join(f'[Event "{k}"]\n\n1. e4 e5 2. Nf3 {end}\n\n' for k, end in enumerate(endings))
                   + "".join(f'[Event "mate"]\n\n{moves}\n\n' for moves in mates))
    made = vd.pgn2shards(src, tmp_path / "out", chunk_bytes=40, engine="local", progress=False)
    checked = vd.verify(tmp_path / "out")
    for summary in (made, checked):
        assert (summary["games"], summary["unfinished"], summary["broken"]) == (4, 3, 3)
        assert "unfinished games left out" in summary.text() and summary["results"]["draw"] == 1
        assert "broken games skipped" in summary.text()
    assert table(tmp_path / "out").column("result").to_pylist() == [1] * 3 + [-1] * 3 + [0] * 3 + [-1] * 4
    assert checked["source_checked"]


def test_chess960_games_of_a_pgn_file_convert_and_verify(tmp_path):
    """[Variant "Chess960"] games, castling as the king taking its rook (in
    the standard array too, where standard chess reads e1h1 as no move)."""
    import chess.pgn

    texts = []
    for array in (518, 100):
        board = chess.Board.from_chess960_pos(array)
        game = chess.pgn.Game.from_board(board)
        game.headers.update(Variant="Chess960", Result="1/2-1/2")
        node, rng, castled = game, np.random.default_rng(array), 0
        for _ in range(60):
            castles = [m for m in board.legal_moves if board.is_castling(m)]
            move = castles[0] if castles else rng.choice(list(board.legal_moves))
            castled += board.is_castling(move)
            node = node.add_variation(move)
            board.push(move)
            if board.is_game_over():
                break
        assert castled
        texts.append(str(game))
    (tmp_path / "960.pgn").write_text("\n\n".join(texts) + "\n")
    assert vd.pgn2shards(tmp_path / "960.pgn", tmp_path / "out", engine="local", progress=False)["games"] == 2
    assert vd.verify(tmp_path / "out")["games"] == 2


def compress(path, codec):
    import bz2
    import gzip
    from compression import zstd
    opener = {"gz": gzip.open, "bz2": bz2.open, "zst": zstd.open}[codec]
    target = path.with_name(path.name + "." + codec)
    with opener(target, "wb") as f:
        f.write(path.read_bytes())
    return target


@pytest.mark.parametrize("codec", ["gz", "bz2", "zst"])
def test_compressed_sources_read_as_their_text(tmp_path, codec):
    src = trapped_pgn(tmp_path / "c.pgn", 30)
    packed = compress(src, codec)
    assert games_of(packed) == games_of(src) != []
    assert [g.offset for g in varnok.read_pgn(packed)] == [g.offset for g in varnok.read_pgn(src)]
    plain, unpacked = replay_pgn(src), replay_pgn(str(packed))
    assert all(np.array_equal(plain[k], unpacked[k]) for k in plain)
    # Resumable: stopped after two shards, the rerun makes the rest, as one run would.
    out = tmp_path / "out"

    def stop_after_two(task, engine):
        if len(json.loads((out / "manifest.json").read_text())["shards"]) == 2:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        vd.pgn2shards(packed, out, chunk_bytes=500, engine="local", progress=False, on_shard=stop_after_two)
    resumed = vd.pgn2shards(packed, out, chunk_bytes=500, engine="local", progress=False)
    assert resumed["shards_skipped"] == 2 and resumed["shards_made"] > 2
    vd.pgn2shards(src, tmp_path / "plain", chunk_bytes=500, engine="local", progress=False)
    assert table(out).equals(table(tmp_path / "plain"))
    assert vd.verify(out)["source_checked"]
    damaged = tmp_path / f"d.pgn.{codec}"
    damaged.write_bytes(packed.read_bytes()[: len(packed.read_bytes()) // 2])
    with pytest.raises(OSError, match=f"{damaged.name}: .*damaged or cut-off"):
        list(varnok.read_pgn(damaged))
    with pytest.raises(OSError, match=damaged.name):   # the converter names it too
        vd.pgn2shards(damaged, tmp_path / "never", engine="local", progress=False)
    assert not (tmp_path / "never").exists()


# A str that starts with "[" or holds a newline is PGN text to the reader: a
# file so named was read as its own name (no game, or none of its games).
@pytest.mark.parametrize("name", ["[2024] games.pgn", "line\nbreak.pgn", "[x]\n1. e4 1-0.pgn"])
def test_a_source_is_read_as_a_file_whatever_its_name_holds(tmp_path, monkeypatch, name):
    monkeypatch.chdir(tmp_path)
    random_pgn(tmp_path / name, 6, seed=2)
    s = vd.pgn2shards(name, "out", chunk_bytes=300, engine="local", progress=False)
    assert s["games"] == len(games_of(tmp_path / name)) == 6
    assert vd.verify("out")["source_checked"]


# A chunk larger than any file is one shard a file (--chunk-mb 1e13 was a TypeError past 64 bits).
@pytest.mark.parametrize("chunk", [2**63, 10**30])
def test_a_chunk_larger_than_the_file_makes_one_shard(tmp_path, chunk):
    s = vd.pgn2shards(random_pgn(tmp_path / "g.pgn", 6, seed=2), tmp_path / "out", chunk_bytes=chunk,
                      engine="local", progress=False)
    assert (s["games"], s["shards_made"]) == (6, 1)


@pytest.mark.parametrize("link", [os.symlink, os.link])
def test_a_file_under_two_names_in_a_folder_is_converted_once(tmp_path, link):
    (tmp_path / "src").mkdir()
    random_pgn(tmp_path / "src" / "2024.pgn", 6, seed=2)
    link(tmp_path / "src" / "2024.pgn", tmp_path / "src" / "latest.pgn")
    s = vd.pgn2shards(tmp_path / "src", tmp_path / "out", chunk_bytes=300, engine="local", progress=False)
    assert s["games"] == 6 and vd.verify(tmp_path / "out")["source_checked"]   # was 12, and verify refused them


@pytest.mark.parametrize("name, content, hint", [
    ("empty.pgn", b"", ""),
    ("notes.pgn", b"Just some notes.\nNo games here.\n", ""),
    ("comments.pgn", b"{only a comment}\n; and a line comment\n", ""),
    ("packed.pgn", __import__("gzip").compress(b'[Event "x"]\n1. e4 *\n'), ".gz compressed"),
])
def test_a_source_without_games_is_refused(tmp_path, capsys, name, content, hint):
    from varnok.__main__ import main
    src = tmp_path / name
    src.write_bytes(content)
    with pytest.warns(UserWarning, match="holds no PGN game|none of its 1 games could be read"):
        assert list(varnok.read_pgn(src)) == []
    with pytest.warns(UserWarning, match="gave no PGN game"):
        assert len(replay_pgn(src)["action"]) == 0
    with pytest.raises(ValueError, match="no (readable )?PGN game in this file" + (f".*{hint}" if hint else "")):
        vd.pgn2shards(src, tmp_path / "out", engine="local", progress=False)
    assert main(["pgn2shards", str(src), str(tmp_path / "out"), "--engine", "local", "--quiet"]) == 1
    err = capsys.readouterr().err
    assert err.startswith("error: ") and "PGN game in this file" in err and err.count("\n") == 1
    assert not (tmp_path / "out").exists()


def rewrite_manifest(out, change):
    manifest = json.loads((out / "manifest.json").read_text())
    change(manifest["shards"])
    (out / "manifest.json").write_text(json.dumps(manifest))


@pytest.mark.parametrize("change, message", [
    (lambda s: s["1"].update(file="/tmp/" + s["1"]["file"]), "names the file '/tmp/shard"),
    (lambda s: s["1"].update(file="../elsewhere/shard-000001.parquet"), "names the file '../elsewhere"),
    (lambda s: s["1"].update(file=s["0"]["file"], sha256=s["0"]["sha256"], bytes=s["0"]["bytes"]),
     "names the file 'shard-000000.parquet'"),
    (lambda s: s.update({"x": s["0"]}), "'x' is not a shard number"),
    (lambda s: s["1"].pop("sha256"), "lacks"),
    (lambda s: s["1"].update(sha256="0" * 64), "checksum differs"),
    # Counts that are no numbers: summed, they failed with a TypeError (an AttributeError for the results).
    (lambda s: s["1"].update(games="2"), "damaged manifest .*shard 1 has a count"),
    (lambda s: s["1"].update(rows=None), "damaged manifest .*shard 1 has a count"),
    (lambda s: s["1"].update(sha256=5), "damaged manifest .*shard 1 has a count"),
    (lambda s: s["1"].update(results=[1, 1, 0]), "damaged manifest .*results of shard 1"),
])
def test_read_shards_reads_only_the_folders_own_checked_files(tmp_path, change, message):
    out = tmp_path / "f"
    vd.selfplay(out, games=4, games_per_shard=2, seed=1, engine="local", **SMALL)
    rewrite_manifest(out, change)
    with pytest.raises(vd.ShardError, match=message):
        next(vd.read_shards(out))
    with pytest.raises(vd.ShardError, match=message):
        vd.verify(out)


# A row's search visits, rewritten in a shard whose manifest is made to agree: an action
# below 0 marked the last action of the row instead, one past the space raised IndexError,
# a count below 0 gave a share below 0, a count too few failed in NumPy's broadcasting.
@pytest.mark.parametrize("actions, visits", [([-1], [3]), ([4672], [3]), ([5, 9], [4, -3]),
                                             ([5, 9], [3])])
def test_search_visits_that_fit_no_row_are_refused(tmp_path, actions, visits):
    out = tmp_path / "f"
    vd.selfplay(out, games=2, games_per_shard=1, seed=1, engine="local", **SMALL)
    shard = out / "shard-000001.parquet"
    t = pq.read_table(shard)
    columns = {name: t.column(name).to_pylist() for name in ("policy_actions", "policy_visits")}
    columns["policy_actions"][3], columns["policy_visits"][3] = actions, visits
    for name, rows in columns.items():
        t = t.set_column(t.schema.get_field_index(name), name, pa.array(rows, pa.list_(pa.int32())))
    pq.write_table(t, shard)
    rewrite_manifest(out, lambda s: s["1"].update(bytes=shard.stat().st_size,
                                                   sha256=hashlib.sha256(shard.read_bytes()).hexdigest()))
    with pytest.raises(vd.ShardError, match="shard-000001.parquet: damaged shard .*search visits"):
        list(vd.read_shards(out, policy=True))
    with pytest.raises(vd.ShardError, match="shard-000001.parquet: damaged shard .*search visits"):
        vd.verify(out)


# The policy answers the driver's trial batch, then priors of the wrong shape.
LATE_FAILING_POLICY = """
import numpy as np
CALLS = []
def net(obs, mask):
    CALLS.append(1)
    width = 4672 if len(CALLS) == 1 else 10
    return np.full((len(obs), width), 1.0, np.float32), np.zeros(len(obs), np.float32)
"""
# The policy imports in the driver but not in the workers (not installed there).
DRIVER_ONLY_POLICY = """
import sys
if "worker" in sys.argv[0]:
    raise ImportError("not installed on this node")
def net(obs, mask):
    return mask / mask.sum(1, keepdims=True), obs[:, 0, 0, 0] * 0
"""
# Ray started once in the child; the command lines given run one after the other.
RAY_CHILD = """
import json, sys, ray
from varnok.__main__ import main
ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
for argv in json.loads(sys.argv[1]):
    code = main(argv)
    print("exit", code, flush=True)
    print("exit", code, file=sys.stderr, flush=True)
"""


def own_lines(stderr):
    """What the command printed on stderr, apart from Ray's own timestamped
    log lines at start-up; no traceback may be among it."""
    assert "Traceback" not in stderr and "force=True" not in stderr, stderr[-3000:]
    return [line for line in stderr.splitlines() if line.strip() and not line[:4].isdigit()]


def test_ray_runs_surface_the_first_worker_error_and_stop_on_ctrl_c(tmp_path):
    (tmp_path / "late.py").write_text(LATE_FAILING_POLICY)
    (tmp_path / "driveronly.py").write_text(DRIVER_ONLY_POLICY)
    env = {**os.environ, "PYTHONPATH": os.pathsep.join([str(tmp_path), os.environ.get("PYTHONPATH", "")])}
    common = ["--games-per-shard", "8", "--simulations", "4", "--max-plies", "30", "--quiet", "--workers", "2"]
    out = tmp_path / "long"
    runs = [["selfplay", str(tmp_path / "bad"), "--games", "16", "--search", "policy", "--policy", "late:net", *common],
            ["selfplay", str(tmp_path / "bad2"), "--games", "16", "--search", "policy", "--policy", "driveronly:net",
             *common],
            ["selfplay", str(out), "--games", "400", *common]]
    child = subprocess.Popen([sys.executable, "-c", RAY_CHILD, json.dumps(runs)], stdout=subprocess.PIPE,
                             stderr=subprocess.PIPE, text=True, env=env)
    try:
        # The first runs end by themselves; Ctrl-C lands once the last has finished a shard.
        first = child.stdout.readline() + child.stdout.readline()
        deadline = time.monotonic() + 180
        while time.monotonic() < deadline and child.poll() is None:
            if (out / "manifest.json").exists() and json.loads((out / "manifest.json").read_text())["shards"]:
                break
            time.sleep(0.1)
        child.send_signal(signal.SIGINT)
        stdout, stderr = child.communicate(timeout=60)
    finally:
        child.kill()
    assert first + stdout == "exit 1\nexit 1\nexit 130\n", stderr[-3000:]
    finished = json.loads((out / "manifest.json").read_text())["shards"]
    assert own_lines(stderr) == ["error: policy late:net failed on a batch of 8 positions: "
                                 "ValueError: priors must have shape (8, 4672), got (8, 10)", "exit 1",
                                 "error: the workers cannot start: ValueError: policy driveronly:net: cannot import "
                                 "driveronly (ImportError: not installed on this node)", "exit 1",
                                 f"error: interrupted; {len(finished)} finished shard{'s' * (len(finished) != 1)} "
                                 f"kept ({8 * len(finished)} games); rerun the same command to resume", "exit 130"]
    assert 0 < len(finished) < 50 and vd.verify(out)["games"] == 8 * len(finished)

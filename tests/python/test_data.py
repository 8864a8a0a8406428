"""varnok.data: self-play and PGN shards, reading, verification, resuming,
faults (a killed worker, an interrupted run, foreign or damaged files)."""

import hashlib
import json
import os
import signal
import subprocess
import sys

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
    """A PGN file of short random games (some from a FEN), with comments."""
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
    (out / "manifest.json").write_text("{not json")
    with pytest.raises(vd.ShardError, match="damaged manifest"):
        vd.verify(out)


def test_command_line(tmp_path):
    env = dict(os.environ)
    run = [sys.executable, "-m", "varnok"]
    out = tmp_path / "cli"
    done = subprocess.run(run + ["selfplay", str(out), "--games", "3", "--games-per-shard", "2", "--simulations",
                                 "4", "--max-plies", "16", "--engine", "local"], capture_output=True, text=True,
                          env=env)
    assert done.returncode == 0, done.stderr
    assert "games 3," in done.stdout and "results: white wins" in done.stdout and "games/s" in done.stderr
    checked = subprocess.run(run + ["verify", str(out), "--quiet"], capture_output=True, text=True, env=env)
    assert checked.returncode == 0 and "every row replayed" in checked.stdout
    (out / "stray.bin").write_bytes(b"x")
    bad = subprocess.run(run + ["verify", str(out)], capture_output=True, text=True, env=env)
    assert bad.returncode == 1 and "foreign file" in bad.stderr

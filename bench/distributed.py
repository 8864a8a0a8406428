"""Distributed data jobs (varnok.data on Ray): scaling and overhead.

1. Self-play positions per second with 1 and 2 Ray workers (UCT roll-outs,
   the same job and seed each time), and their ratio
   `selfplay_scaling_2_workers` (goal >= 1.7 on 2 cores).
2. `pgn2shards` games per second on the benchmark PGN file (the one
   bench/notation.py writes), against the native single-process reader
   (`replay_pgn(path, "packed")` plus `read_pgn` for each game's UCI and start
   FEN, what a shard needs); `pgn2shards_overhead` is pgn2shards' time over
   the reader's (goal <= 1.3).

Ray is started once, outside the timings; each repetition writes into a
fresh folder (nothing skipped). Run alone with
`./dev py bench/distributed.py [--quick]`.
"""

from __future__ import annotations

import shutil
import sys
import tempfile
import time
from pathlib import Path

from timing import missing, summary

GOAL_SCALING = 1.7
GOAL_OVERHEAD = 1.3


def selfplay_rate(vd, out: Path, workers: int, games: int, per_shard: int, simulations: int) -> float:
    shutil.rmtree(out, ignore_errors=True)
    t0 = time.perf_counter()
    s = vd.selfplay(out, games=games, games_per_shard=per_shard, seed=1, simulations=simulations,
                    max_plies=60, workers=workers, progress=False)
    return s["positions"] / (time.perf_counter() - t0)


def native_pgn_time(varnok, path) -> tuple[float, int]:
    t0 = time.perf_counter()
    varnok.replay_pgn(str(path), obs_dtype="packed")
    games = sum(1 for g in varnok.read_pgn(str(path)) if (g.uci, g.start_fen))
    return time.perf_counter() - t0, games


def run(settings, progress) -> dict:
    try:
        import ray
        import varnok
        from varnok import data as vd
    except ImportError as exc:
        reason = f"needs the ray extra and the varnok package: {exc}"
        return {k: missing(u, reason) for k, u in (("selfplay_scaling_2_workers", "ratio"),
                                                  ("pgn2shards_overhead", "ratio"))}
    import notation
    quick = settings.quick
    games, per_shard, sims = (8, 2, 4) if quick else (48, 4, 32)
    pgn_games = 40 if quick else 2000
    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    work = Path(tempfile.mkdtemp(prefix="varnok-bench-dist-"))
    try:
        one, two, ratio = [], [], []
        for rep in range(settings.reps):
            a = selfplay_rate(vd, work / "sp1", 1, games, per_shard, sims)
            b = selfplay_rate(vd, work / "sp2", 2, games, per_shard, sims)
            one.append(a)
            two.append(b)
            ratio.append(b / a)
            progress.say(f"  rep {rep + 1}/{settings.reps}: self-play {a:.0f} positions/s with 1 worker, "
                         f"{b:.0f} with 2 ({b / a:.2f}x)")
        path = notation.pgn_file(pgn_games)
        size = Path(path).stat().st_size
        chunk = max(1 << 16, size // 8)
        ours, native, overhead = [], [], []
        for rep in range(settings.reps):
            t_native, n = native_pgn_time(varnok, path)
            shutil.rmtree(work / "pgn", ignore_errors=True)
            t0 = time.perf_counter()
            s = vd.pgn2shards(path, work / "pgn", chunk_bytes=chunk, workers=2, progress=False)
            t_ours = time.perf_counter() - t0
            if s["games"] != n:
                raise RuntimeError(f"pgn2shards kept {s['games']} games, the reader {n}")
            ours.append(n / t_ours)
            native.append(n / t_native)
            overhead.append(t_ours / t_native)
            progress.say(f"  rep {rep + 1}/{settings.reps}: pgn2shards {n / t_ours:.0f} games/s, native reader "
                         f"{n / t_native:.0f} games/s ({t_ours / t_native:.2f}x the time)")
    finally:
        shutil.rmtree(work, ignore_errors=True)
        if started:
            ray.shutdown()
    figures = {
        "selfplay_scaling_2_workers": summary(ratio).as_dict("ratio"),
        "selfplay_positions_per_s_1_worker": summary(one).as_dict("positions/s"),
        "selfplay_positions_per_s_2_workers": summary(two).as_dict("positions/s"),
        "pgn2shards_overhead": summary(overhead).as_dict("ratio"),
        "pgn2shards_games_per_s": summary(ours).as_dict("games/s"),
        "native_pgn_games_per_s": summary(native).as_dict("games/s"),
    }
    figures["selfplay_scaling_2_workers"]["details"] = {
        "goal": f">= {GOAL_SCALING}",
        "how": f"{games} games in shards of {per_shard}, UCT with {sims} simulations a move, at most 60 plies; "
               "wall time of varnok.data.selfplay on a running local Ray, 1 then 2 workers"}
    figures["pgn2shards_overhead"]["details"] = {
        "goal": f"<= {GOAL_OVERHEAD}",
        "how": f"{pgn_games}-game PGN file in about 8 byte ranges, 2 workers; native: replay_pgn(packed) and "
               "read_pgn in one process"}
    return figures


if __name__ == "__main__":
    sys.path.insert(0, str(Path(__file__).resolve().parent))
    from timing import Progress, Settings
    result = run(Settings.make("--quick" in sys.argv), Progress(1))
    for key, fig in result.items():
        print(f"{key}: {fig['value']:.3f} {fig['unit']} ({fig['low']:.3f} - {fig['high']:.3f})"
              if fig["value"] is not None else f"{key}: missing ({fig['missing']})")

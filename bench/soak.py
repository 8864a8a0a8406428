"""varnok's soak run (`./dev soak`): long runs of every kind of work, with the
resident memory watched.

    bench/soak.py [--scale S] [--parts vector,mcts,pgn,pickle] [--limit-mb 1]

Four parts, each run to its count in a fresh process of its own:

- vector: 10,000,000 VectorEnv steps (random legal actions, games restart
  inside the step);
- mcts:   1,000,000 MCTS simulations: select / expand rounds with random
  priors and values, the move chosen and the trees kept under it (advance),
  a tree started afresh when its game ends;
- pgn:    100,000 random games written with ChessEnv.pgn, read back with
  read_pgn and replay_pgn (every game and every position checked against
  what was written), and some batches converted with varnok.data.pgn2shards;
- pickle: 100,000 round trips of a ChessEnv and a State through pickle,
  copy.copy and copy.deepcopy (VectorEnv, MCTS and UCT do not pickle: noted).

Each part first runs a warm-up (a tenth of its count, for the search
four tenths, so that the allocator's pools, the search trees' node pools,
Arrow's memory pool and the interpreter's free lists reach their working
size), then samples the resident set size (VmRSS from
/proc/self/status, or psutil) at intervals. The figures go to standard
output as JSON, per part: count, seconds, rate, RSS after the warm-up and at
the end, the growth between them and the largest sample. A part that grows by
`--limit-mb` (1 MB) or more after its warm-up fails the run: a clear line on
standard error and exit status 1. `--scale 0.01` is a quick run: its rates
mean little and its growth is shown but not judged (the warm-ups are too
short for it). Progress goes to standard error.
"""

from __future__ import annotations

import argparse
import copy
import gc
import json
import pickle
import shutil
import subprocess
import sys
import tempfile
import time
from pathlib import Path

import numpy as np
import varnok

VECTOR_STEPS = 10_000_000
MCTS_SIMULATIONS = 1_000_000
PGN_GAMES = 100_000
PICKLE_ROUND_TRIPS = 100_000
# Share of each part run before the first sample. The search trees' node
# pools grow (doubling) up to their budget as the trees get bigger, and do
# so for a while; the other parts settle at once.
WARM_UP = {"vector": 0.1, "mcts": 0.4, "pgn": 0.1, "pickle": 0.1}
SAMPLES = 10           # RSS samples after the warm-up
MB = 1 << 20

VECTOR_ENVS = 256
MCTS_TREES = 64
MCTS_LEAVES = 4
MCTS_ROUNDS_PER_MOVE = 8
MCTS_NODE_BUDGET = 1024  # small enough that every tree reaches it during the warm-up
PRIOR_POOL_ROWS = 1024
PGN_BATCH = 50         # games per text: its replay arrays (~15 MB) come and go every batch
PGN_SHARDS_EVERY = 100  # every this many batches also go through pgn2shards (twice in the warm-up:
                        # Arrow keeps a memory pool of its own that its first jobs fill)


def rss() -> int:
    """Resident bytes of this process."""
    try:
        with open("/proc/self/status", encoding="ascii") as status:
            for line in status:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1]) * 1024
    except OSError:
        pass
    import psutil
    return psutil.Process().memory_info().rss


def say(text: str) -> None:
    print(f"[soak] {text}", file=sys.stderr, flush=True)


class Watch:
    """Counts a part's work, samples RSS after the warm-up and at intervals."""

    def __init__(self, name: str, total: int):
        self.name, self.total = name, total
        self.done = 0
        self.warm_at = max(1, int(total * WARM_UP[name]))
        self.every = max(1, (total - self.warm_at) // SAMPLES)
        self.next_sample = self.warm_at
        self.rss_warm = None
        self.samples: list[int] = []
        self.start = time.perf_counter()

    def add(self, count: int) -> None:
        self.done += count
        if self.done >= self.next_sample:
            gc.collect()
            value = rss()
            if self.rss_warm is None:
                self.rss_warm = value
            self.samples.append(value)
            self.next_sample += self.every
            say(f"{self.name}: {self.done:,} / {self.total:,} in {time.perf_counter() - self.start:.0f} s, "
                f"RSS {value / MB:.1f} MB")

    def more(self) -> bool:
        return self.done < self.total

    def figures(self) -> dict:
        seconds = time.perf_counter() - self.start
        gc.collect()
        end = rss()
        warm = self.rss_warm if self.rss_warm is not None else end
        return {"count": self.done, "seconds": round(seconds, 2), "per_s": round(self.done / max(seconds, 1e-9), 1),
                "rss_warm_mb": round(warm / MB, 3), "rss_end_mb": round(end / MB, 3),
                "growth_mb": round((end - warm) / MB, 3), "rss_max_mb": round(max(self.samples + [end]) / MB, 3)}


def soak_vector(total: int) -> dict:
    venv = varnok.VectorEnv(VECTOR_ENVS, num_threads=2, seed=1)
    venv.reset()
    watch = Watch("vector", total)
    games = 0
    while watch.more():
        r = venv.step(venv.random_actions())
        games += int(np.count_nonzero(r.final_reason))
        watch.add(VECTOR_ENVS)
    return {**watch.figures(), "unit": "steps", "games_ended": games}


def fresh_root() -> varnok.ChessEnv:
    env = varnok.ChessEnv()
    env.reset()
    return env


def soak_mcts(total: int) -> dict:
    rng = np.random.default_rng(2)
    logits = rng.standard_normal((PRIOR_POOL_ROWS, 4672), dtype=np.float32)
    search = varnok.MCTS(MCTS_TREES, seed=3, node_budget=MCTS_NODE_BUDGET, num_threads=2)
    games = [fresh_root() for _ in range(MCTS_TREES)]
    search.set_roots(games)
    watch = Watch("mcts", total)
    rounds = moves = restarts = 0
    while watch.more():
        leaves = search.select(MCTS_LEAVES)
        n = len(leaves)
        priors = np.take(logits, np.arange(rounds * 97, rounds * 97 + n), axis=0, mode="wrap")
        values = rng.uniform(-1, 1, n).astype(np.float32)
        search.expand(priors, values, logits=True)
        rounds += 1
        watch.add(MCTS_TREES * MCTS_LEAVES)
        if rounds % MCTS_ROUNDS_PER_MOVE:
            continue
        actions = search.choose_actions(temperature=1.0)
        ended = []
        for t, (env, action) in enumerate(zip(games, actions)):
            _, _, done = env.play(int(action))
            ended.extend([t] if done else [])
        search.advance(actions)
        moves += 1
        if ended:
            for t in ended:
                games[t] = fresh_root()
            search.set_roots([games[t] for t in ended], trees=ended)
            restarts += len(ended)
    return {**watch.figures(), "unit": "simulations (descents)", "rounds": rounds, "moves": moves,
            "games_restarted": restarts}


def random_games_pgn(env: varnok.ChessEnv, first_seed: int, count: int) -> tuple[str, int]:
    """count random games as PGN text (varnok's writer), and their plies."""
    texts, plies = [], 0
    for seed in range(first_seed, first_seed + count):
        env.reset()
        env.roll_out(seed=seed)
        plies += len(env.moves_uci())
        texts.append(env.pgn({"Event": f"soak {seed}", "Round": str(seed)}))
    return "\n".join(texts), plies


def soak_pgn(total: int, scratch: Path) -> dict:
    import varnok.data as vd
    env = varnok.ChessEnv()
    watch = Watch("pgn", total)
    batches = shard_jobs = shard_rows = 0
    while watch.more():
        count = min(PGN_BATCH, total - watch.done)
        text, plies = random_games_pgn(env, watch.done, count)
        games = list(varnok.read_pgn(text, errors="raise"))
        data = varnok.replay_pgn(text, obs_dtype="packed", errors="raise")
        if len(games) != count or sum(len(g.actions) for g in games) != plies or len(data["action"]) != plies:
            raise SystemExit(f"pgn: a batch of {count} games ({plies} plies) read back as {len(games)} games, "
                             f"{len(data['action'])} positions")
        if batches % PGN_SHARDS_EVERY == 0:
            source, out = scratch / "games.pgn", scratch / "shards"
            source.write_text(text)
            summary = vd.pgn2shards(source, out, chunk_bytes=len(text) // 4 + 1, engine="local", progress=False)
            finished = sum(len(g.actions) for g in games if g.result != "*")  # a shard holds no unfinished game
            if summary["positions"] != finished:
                raise SystemExit(f"pgn2shards: {summary['positions']} positions, {finished} of finished games written")
            shard_jobs += 1
            shard_rows += summary["positions"]
            shutil.rmtree(out)
        batches += 1
        watch.add(count)
    return {**watch.figures(), "unit": "games written, read and replayed", "pgn2shards_jobs": shard_jobs,
            "pgn2shards_positions": shard_rows}


def soak_pickle(total: int) -> dict:
    env = varnok.ChessEnv()
    env.reset()
    env.roll_out(seed=4)  # a whole game, so the bytes carry a long move log
    state = env.save_state()
    fen = env.fen()
    not_picklable = []
    for name, make in (("VectorEnv", lambda: varnok.VectorEnv(1, num_threads=1, seed=0)),
                       ("MCTS", lambda: varnok.MCTS(1, seed=0)), ("UCT", lambda: varnok.UCT(1, seed=0))):
        try:
            pickle.dumps(make())
        except TypeError:
            not_picklable.append(name)
    watch = Watch("pickle", total)
    while watch.more():
        env2 = pickle.loads(pickle.dumps(env, protocol=pickle.HIGHEST_PROTOCOL))
        state2 = pickle.loads(pickle.dumps(state))
        env3 = copy.deepcopy(env2)
        state3 = copy.copy(state2)
        if watch.done % 1000 == 0 and (env3.fen() != fen or state3 != state or env2.save_state() != state):
            raise SystemExit("pickle: a round trip changed the game")
        watch.add(1)
    return {**watch.figures(), "unit": "round trips (ChessEnv and State: pickle, copy, deepcopy)",
            "not_picklable": not_picklable}


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--scale", type=float, default=1.0, help="multiply every count (0.01 for a quick run)")
    parser.add_argument("--parts", default="vector,mcts,pgn,pickle", help="comma-separated parts to run")
    parser.add_argument("--limit-mb", type=float, default=1.0, help="growth after warm-up that fails the run")
    parser.add_argument("--one-part", choices=["vector", "mcts", "pgn", "pickle"], help=argparse.SUPPRESS)
    args = parser.parse_args()
    counts = {"vector": VECTOR_STEPS, "mcts": MCTS_SIMULATIONS, "pgn": PGN_GAMES, "pickle": PICKLE_ROUND_TRIPS}
    parts = [p for p in args.parts.split(",") if p]
    unknown = [p for p in parts if p not in counts]
    if unknown:
        parser.error(f"unknown parts {unknown}; choose from {', '.join(counts)}")
    if args.one_part:
        total = max(1, int(counts[args.one_part] * args.scale))
        say(f"{args.one_part}: {total:,}")
        with tempfile.TemporaryDirectory(prefix="varnok-soak-") as scratch:
            figures = {"vector": soak_vector, "mcts": soak_mcts, "pickle": soak_pickle}.get(
                args.one_part, lambda n: soak_pgn(n, Path(scratch)))(total)
        print(json.dumps(figures))
        return 0
    report = {"varnok": varnok.__version__, "scale": args.scale, "limit_mb": args.limit_mb, "parts": {}}
    started = time.perf_counter()
    for part in parts:
        # Each part in a fresh interpreter: what one part leaves in the heap
        # (freed but not returned to the system) must not blur the next one's figures.
        run = subprocess.run([sys.executable, __file__, "--scale", str(args.scale), "--one-part", part],
                             stdout=subprocess.PIPE, text=True)
        if run.returncode:
            say(f"{part}: the run failed (exit status {run.returncode})")
            return 2
        report["parts"][part] = json.loads(run.stdout)
    report["seconds"] = round(time.perf_counter() - started, 1)
    grown = {p: f["growth_mb"] for p, f in report["parts"].items() if f["growth_mb"] >= args.limit_mb}
    # Below full scale the warm-ups are too short to tell a leak from pools
    # still filling: the growth is shown, not judged.
    judged = args.scale >= 1
    report["ok"] = not grown if judged else None
    print(json.dumps(report, indent=1))
    for part, growth in grown.items():
        print(f"[soak] MEMORY GROWTH: {part} grew by {growth:.3f} MB after its warm-up (limit {args.limit_mb} MB)"
              + ("" if judged else "; not judged below --scale 1"), file=sys.stderr)
    if not grown:
        say(f"every part stayed within {args.limit_mb} MB of its warm-up RSS")
    return 1 if grown and judged else 0


if __name__ == "__main__":
    sys.exit(main())

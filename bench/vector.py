"""Vectorised stepping: varnok.VectorEnv against EnvPool Chess-v1 and pgx on CPU.

Every side steps the same number of games (256 in a full run) in one batch
and is timed over the step calls only: choosing the actions is left out on
every side. Each repetition gives each side four short time boxes, the
sides taking turns, so load from elsewhere on the machine falls on all of
them alike.
Steps per second count plies actually played: one per game per call, except
EnvPool's calls that only start a new game (below).

- EnvPool `Chess-v1` (a C++ port of pgx's chess) at num_threads 2 and 1,
  gymnasium interface, synchronous (batch = all games). It returns one
  observation per player, (2N, 8, 8, 119) float32, and `info` holds
  `legal_action_mask` (N, 4672) and `env_id`, whose order can change from
  call to call: actions go back with those ids. An action is pgx's label,
  source square × 73 + plane, squares a1 = 0, a2 = 1, ... seen from the side
  to move; the mask is in the same layout, so drawing from it is drawing
  among the legal moves (checked against python-chess over 765,793 plies in
  a development run: every drawn move legal, every mask count equal to
  python-chess's legal-move count). An illegal action would end the game at
  once with -1 for the mover. A finished game starts again on its next call,
  which ignores the action: such calls are not counted as plies.
- pgx chess, `jax.jit(jax.vmap(env.step))` on the CPU (XLA's own threads),
  float32 observations (N, 8, 8, 119) built in every step; finished games are
  replaced by new ones between steps, outside the timed part.
- varnok: `VectorEnv(num_envs, num_threads, seed=0, obs_dtype)` with
  `reset()` / `step(actions)`; the result's fields (`obs`, `legal_mask`,
  `reward`, `terminated`, `truncated`, `to_play`) are read inside the timed
  part. Actions come from `random_actions()` (its own figures) or from the
  same NumPy chooser as EnvPool's (the figures against EnvPool). The same
  side with `rules="fide"` against `rules="classic"` (the default) gives
  `fide_vs_classic_vector`, the cost of the FIDE draw rules (Zobrist keys
  and position identities for repetitions, insufficient material); with
  `chess960=True` it gives `chess960_vs_standard_vector`, the cost of
  Chess960 castling and of a drawn start at every reset.

The NumPy chooser (`random_legal_rows`) draws, for every row of a boolean
mask at once, a uniformly random index among the row's True cells.
"""

from __future__ import annotations

import subprocess
import time

import numpy as np

import peers
from timing import TOP, TURNS_PER_REP, missing, rates_in_turns, summary

# ASSUMPTION about the coming VectorEnv, to be checked when it lands: a game
# that ends in a step is replaced by a new one within that same step, so
# every call plays one ply in every game. If VectorEnv instead starts the new
# game on the following call (as EnvPool does), set this to False and those
# calls are not counted, exactly as on EnvPool's side.
VARNOK_RESETS_IN_STEP = True

UNITS = {
    "vector_vs_envpool": "ratio",
    "vector_packed_vs_envpool": "ratio",
    "vector_vs_pgx_cpu": "ratio",
    "vector_thread_scaling": "ratio",
    "vector_vs_native_floor": "ratio",
    "vector_floor_steps_per_s": "steps/s",
    "fide_vs_classic_vector": "ratio",
    "vector_fide_steps_per_s": "steps/s",
    "chess960_vs_standard_vector": "ratio",
    "vector_chess960_steps_per_s": "steps/s",
    "vector_steps_per_s": "steps/s",
    "vector_steps_per_s_1t": "steps/s",
    "vector_packed_steps_per_s": "steps/s",
    "vector_packed_steps_per_s_1t": "steps/s",
    "vector_packed_thread_scaling": "ratio",
    "vector_numpy_steps_per_s": "steps/s",
    "vector_packed_numpy_steps_per_s": "steps/s",
    "envpool_steps_per_s": "steps/s",
    "envpool_steps_per_s_1t": "steps/s",
    "envpool_thread_scaling": "ratio",
    "pgx_cpu_steps_per_s": "steps/s",
}



def random_legal_rows(mask: np.ndarray, rng: np.random.Generator) -> np.ndarray:
    """For each row of a bool mask, a uniformly random column holding True.

    Rows without any True (a finished game) get 0. The True cells are listed
    once for the whole mask (row-major, so each row's cells are contiguous)
    and the k-th cell of each row is picked with k drawn below the row count.
    """
    rows, width = mask.shape
    counts = mask.sum(axis=1)
    cells = np.flatnonzero(mask)
    if cells.size == 0:
        return np.zeros(rows, dtype=np.int32)
    starts = np.cumsum(counts) - counts
    k = (rng.random(rows) * counts).astype(np.int64)
    picked = cells[np.minimum(starts + k, cells.size - 1)] - np.arange(rows) * width
    return np.where(counts > 0, picked, 0).astype(np.int32)


class Tally:
    """Plies played and busy seconds of one side in one time box."""

    def __init__(self):
        self.plies = 0
        self.busy = 0.0


# ------------------------------------------------------------ native floor


class FloorSide:
    """bench/native/vector_floor: the same kind of random games played by a
    plain C++ loop over the episode library, float32 observation and mask
    written into one reused buffer each; the tool times its own loop."""

    def __init__(self, games: int):
        self.tool = TOP / "build" / "native" / "tools" / "vector_floor"
        if not self.tool.exists():
            raise FileNotFoundError(f"{self.tool} is not built (./dev setup builds it)")
        self.games, self.steps = games, 20

    def box(self, seconds: float) -> Tally:
        out = subprocess.run([str(self.tool), str(self.games), str(self.steps), "0"], capture_output=True,
                             text=True, check=True).stdout
        rate = float(out.split()[1])
        tally = Tally()
        tally.plies = self.steps * self.games
        tally.busy = tally.plies / rate
        self.steps = max(5, int(self.steps * seconds / tally.busy))  # fill the next box
        return tally


# ------------------------------------------------------------------ EnvPool


class EnvPoolSide:
    def __init__(self, envpool, games: int, threads: int, seed: int):
        self.env = envpool.make("Chess-v1", env_type="gymnasium", num_envs=games,
                                num_threads=threads, seed=seed)
        _obs, self.info = self.env.reset()
        self.restarts = np.zeros(games, dtype=bool)  # next call of that game only restarts it
        self.rng = np.random.default_rng(seed)

    def box(self, seconds: float, min_calls: int = 2) -> Tally:
        tally, calls = Tally(), 0
        env, info, restarts, rng = self.env, self.info, self.restarts, self.rng
        clock = time.perf_counter
        while tally.busy < seconds or calls < min_calls:
            ids = info["env_id"]
            actions = random_legal_rows(info["legal_action_mask"], rng)
            t0 = clock()
            _obs, _reward, term, trunc, info = env.step(actions, ids)
            tally.busy += clock() - t0
            calls += 1
            tally.plies += int(np.count_nonzero(~restarts[ids]))
            restarts[info["env_id"]] = term | trunc
        self.info = info
        return tally

    def close(self):
        self.env.close()


# ---------------------------------------------------------------------- pgx


class PgxSide:
    def __init__(self, pgx, games: int, seed: int):
        import jax
        import jax.numpy as jnp

        self.jax = jax
        env = pgx.make("chess")
        init = jax.vmap(env.init)
        self.step = jax.jit(jax.vmap(env.step))

        def refill(state, key):
            # Finished games are replaced by new ones (not timed).
            ended = state.terminated | state.truncated
            fresh = init(jax.random.split(key, games))

            def pick(old, new):
                return jnp.where(ended.reshape((-1,) + (1,) * (old.ndim - 1)), new, old)

            return jax.tree.map(pick, state, fresh)

        self.refill = jax.jit(refill)
        self.key = jax.random.PRNGKey(seed)
        self.key, sub = jax.random.split(self.key)
        self.state = jax.jit(init)(jax.random.split(sub, games))
        self.games = games
        self.rng = np.random.default_rng(seed)
        # Compile both programs now, outside every timed part.
        self.box(0.0, min_calls=1)
        self.key, sub = jax.random.split(self.key)
        jax.block_until_ready(self.refill(self.state, sub))

    def box(self, seconds: float, min_calls: int = 2) -> Tally:
        tally, calls = Tally(), 0
        jax, step, state, rng = self.jax, self.step, self.state, self.rng
        clock = time.perf_counter
        while tally.busy < seconds or calls < min_calls:
            actions = random_legal_rows(np.asarray(state.legal_action_mask), rng)
            t0 = clock()
            state = step(state, actions)
            jax.block_until_ready(state)
            tally.busy += clock() - t0
            calls += 1
            tally.plies += self.games
            ended = np.asarray(state.terminated | state.truncated)
            if ended.any():
                self.key, sub = jax.random.split(self.key)
                state = self.refill(state, sub)
        self.state = state
        return tally


# ------------------------------------------------------------------- varnok


class VarnokSide:
    """varnok.VectorEnv, written against its planned API (see the module text)."""

    def __init__(self, games: int, threads: int, obs_dtype: str, chooser: str, seed: int = 0,
                 rules: str = "classic", chess960: bool = False):
        import varnok

        extra = {"chess960": True} if chess960 else {}   # standard sides run on builds without the option
        self.env = varnok.VectorEnv(num_envs=games, num_threads=threads, seed=seed,
                                    obs_dtype=obs_dtype, rules=rules, **extra)
        self.r = self.env.reset()
        self.games = games
        self.numpy_chooser = chooser == "numpy"
        self.rng = np.random.default_rng(seed)
        self.ended = np.zeros(games, dtype=bool)
        self.box(0.0, min_calls=1)  # first allocations, and a check that it runs at all

    def box(self, seconds: float, min_calls: int = 2) -> Tally:
        tally, calls = Tally(), 0
        env, r, rng = self.env, self.r, self.rng
        clock = time.perf_counter
        while tally.busy < seconds or calls < min_calls:
            if self.numpy_chooser:
                actions = random_legal_rows(np.asarray(r.legal_mask), rng)
            else:
                actions = env.random_actions()
            t0 = clock()
            r = env.step(actions)
            _fields = (r.obs, r.legal_mask, r.reward, r.terminated, r.truncated, r.to_play)
            tally.busy += clock() - t0
            calls += 1
            if VARNOK_RESETS_IN_STEP:
                tally.plies += self.games
            else:
                tally.plies += int(np.count_nonzero(~self.ended))
                self.ended = np.asarray(r.terminated) | np.asarray(r.truncated)
        self.r = r
        return tally


# ---------------------------------------------------------------- the run


def run(settings, progress) -> dict:
    n = settings.vector_games
    sides, why = {}, {}

    def build(name, make):
        try:
            sides[name] = make()
        except Exception as exc:  # a missing API or peer, or one that fails at once
            why[name] = peers.failure(exc)
            progress.say(f"  {name}: cannot be measured ({why[name]})")

    envpool, reason = peers.envpool()
    if envpool is None:
        why["envpool_2t"] = why["envpool_1t"] = f"EnvPool unusable: {reason}"
        progress.say(f"  EnvPool unusable ({reason})")
    else:
        build("envpool_2t", lambda: EnvPoolSide(envpool, n, 2, seed=1))
        build("envpool_1t", lambda: EnvPoolSide(envpool, n, 1, seed=2))
    api = peers.absent("VectorEnv")
    # The FIDE and Chess960 sides take their turns right after the classic one they are compared with.
    varnok_sides = {
        "varnok_f32_numpy_2t": (2, "float32", "numpy", "classic", False),
        "varnok_packed_numpy_2t": (2, "packed", "numpy", "classic", False),
        "varnok_f32_2t": (2, "float32", "native", "classic", False),
        "varnok_f32_fide_2t": (2, "float32", "native", "fide", False),
        "varnok_f32_960_2t": (2, "float32", "native", "classic", True),
        "varnok_f32_1t": (1, "float32", "native", "classic", False),
        "varnok_packed_2t": (2, "packed", "native", "classic", False),
        "varnok_packed_1t": (1, "packed", "native", "classic", False),
    }
    if api:
        progress.say(f"  varnok side missing: {api}")
    for name, (threads, dtype, chooser, rules, chess960) in varnok_sides.items():
        if api:
            why[name] = api
        else:
            build(name, lambda t=threads, d=dtype, c=chooser, r=rules, x=chess960:
                  VarnokSide(n, t, d, c, rules=r, chess960=x))
    build("floor", lambda: FloorSide(n))
    pgx, reason = peers.jax_pgx()
    if pgx is None:
        why["pgx"] = f"pgx / JAX unusable: {reason}"
        progress.say(f"  pgx unusable ({reason})")
    else:
        t0 = time.perf_counter()
        build("pgx", lambda: PgxSide(pgx, n, seed=3))
        if "pgx" in sides:
            progress.say(f"  pgx programs compiled (or loaded) in {time.perf_counter() - t0:.1f} s")

    for side in sides.values():  # warm-up
        side.box(settings.vector_seconds / 4)
    rates = {name: [] for name in sides}

    def turn(side):
        tally = side.box(settings.vector_seconds / TURNS_PER_REP)
        return tally.plies, tally.busy

    for rep in range(settings.reps):
        got = rates_in_turns({name: (lambda side=side: turn(side)) for name, side in sides.items()})
        for name in sides:
            rates[name].append(got[name])
        line = ", ".join(f"{name} {rates[name][-1] / 1e3:.1f} k" for name in sides)
        progress.say(f"  rep {rep + 1}/{settings.reps} steps/s: {line}")
    for side in sides.values():
        if hasattr(side, "close"):
            side.close()

    figures = {}

    def put(key, name):
        if name in rates:
            figures[key] = summary(rates[name]).as_dict(UNITS[key])
        else:
            figures[key] = missing(UNITS[key], why[name])

    def ratio(key, top, bottom):
        if top in rates and bottom in rates:
            values = [a / b for a, b in zip(rates[top], rates[bottom])]
            figures[key] = summary(values).as_dict("ratio")
        else:
            figures[key] = missing("ratio", why.get(top) or why[bottom])

    ratio("vector_vs_envpool", "varnok_f32_numpy_2t", "envpool_2t")
    ratio("vector_packed_vs_envpool", "varnok_packed_numpy_2t", "envpool_2t")
    ratio("vector_vs_pgx_cpu", "varnok_f32_2t", "pgx")
    ratio("vector_thread_scaling", "varnok_f32_2t", "varnok_f32_1t")
    ratio("vector_vs_native_floor", "varnok_f32_1t", "floor")
    put("vector_floor_steps_per_s", "floor")
    put("vector_steps_per_s", "varnok_f32_2t")
    put("vector_steps_per_s_1t", "varnok_f32_1t")
    put("vector_packed_steps_per_s", "varnok_packed_2t")
    put("vector_packed_steps_per_s_1t", "varnok_packed_1t")
    ratio("vector_packed_thread_scaling", "varnok_packed_2t", "varnok_packed_1t")
    put("vector_numpy_steps_per_s", "varnok_f32_numpy_2t")
    put("vector_packed_numpy_steps_per_s", "varnok_packed_numpy_2t")
    put("envpool_steps_per_s", "envpool_2t")
    put("envpool_steps_per_s_1t", "envpool_1t")
    ratio("envpool_thread_scaling", "envpool_2t", "envpool_1t")
    put("pgx_cpu_steps_per_s", "pgx")
    ratio("fide_vs_classic_vector", "varnok_f32_fide_2t", "varnok_f32_2t")
    put("vector_fide_steps_per_s", "varnok_f32_fide_2t")
    if "details" not in figures["fide_vs_classic_vector"]:
        figures["fide_vs_classic_vector"]["details"] = {
            "games": n,
            "how": f"VectorEnv({n}, num_threads=2, seed=0, obs_dtype='float32', rules='fide') against the same "
                   "with rules='classic', random_actions(), plies per second of step time; the FIDE side takes "
                   f"its {TURNS_PER_REP} short time boxes per repetition right after the classic side's, among "
                   "the other sides of this benchmark; the ratio is taken per repetition"}

    ratio("chess960_vs_standard_vector", "varnok_f32_960_2t", "varnok_f32_2t")
    put("vector_chess960_steps_per_s", "varnok_f32_960_2t")
    if "details" not in figures["chess960_vs_standard_vector"]:
        figures["chess960_vs_standard_vector"]["details"] = {
            "games": n,
            "how": f"VectorEnv({n}, num_threads=2, seed=0, obs_dtype='float32', chess960=True) against the same "
                   "in standard chess, random_actions(), plies per second of step time (resets to a drawn "
                   f"Chess960 array included); the Chess960 side takes its {TURNS_PER_REP} short time boxes per "
                   "repetition right after the standard side's; the ratio is taken per repetition"}

    figures["vector_vs_envpool"]["details"] = {
        "games": n,
        "envpool": peers.version("envpool") if "envpool_2t" in sides else None,
        "pgx": peers.version("pgx") if "pgx" in sides else None,
        "jax": peers.version("jax") if "pgx" in sides else None,
        "varnok_resets_in_step": VARNOK_RESETS_IN_STEP,
        "how": f"{n} games in one batch, plies per second of step time only (choosing the "
               f"actions is not timed); each side {TURNS_PER_REP} short time boxes per repetition, the sides "
               "taking turns. "
               "EnvPool Chess-v1, gymnasium, synchronous, num_threads 2 (and 1), actions "
               "given with info['env_id'], an observation per player, calls that only "
               "restart a finished game not counted; pgx chess: jax.jit(jax.vmap(step)) on "
               "the CPU, float32 observations, finished games replaced between steps (not "
               "timed); varnok: VectorEnv(num_envs, num_threads, seed=0, obs_dtype).step(), "
               "its result's fields read in the timed part. Against EnvPool both sides draw "
               "with the same NumPy chooser (random_legal_rows in bench/vector.py) at 2 "
               "threads; against pgx and for the thread scaling varnok draws with "
               "random_actions() (float32 observations, 2 threads, and 1 for the scaling)",
    }
    return figures

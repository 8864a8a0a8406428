"""Tree search: simulations per second, mctx with pgx chess against varnok.MCTS.

Both sides grow 64 trees (in a full run) from the initial position by 200
simulations each, with a trivial evaluator: uniform priors over the legal
moves and a value of zero for every leaf. One search per side and
repetition; simulations per second = trees × simulations / seconds.

- mctx: `mctx.muzero_policy` (PUCT, as AlphaZero; its default Dirichlet
  noise at the roots) under `jax.jit` on the CPU, the tree's embeddings being
  pgx chess states and the recurrent function `jax.vmap(env.step)`: reward
  for the player who moved, discount -1 (0 once the game is over), prior
  logits 0 on the legal moves, value 0; the embedding is the whole pgx state
  (with the observation pgx builds in every step, what a network would read),
  as in pgx's own AlphaZero example.
- varnok: the planned `varnok.MCTS`; see `varnok_search` below, which is
  written against that API and reports the figure missing until it exists.
"""

from __future__ import annotations

import gc
import time

import numpy as np

import peers
from timing import TURNS_PER_REP, missing, rates_in_turns, summary

LEAVES_PER_TREE = 1  # one leaf per tree per round: the same sequence of simulations as mctx's
# Against the Python reference, a repetition is TURNS_PER_REP turns per side
# (see rates_in_turns): NATIVE_SEARCHES_PER_TURN native searches (about
# 10 ms each here), then the next part of one search of the reference (its
# simulations on all the trees, about 0.2 s a turn).
NATIVE_SEARCHES_PER_TURN = 3

UNITS = {
    "mcts_vs_mctx_cpu": "ratio",
    "mcts_vs_python": "ratio",
    "mcts_sims_per_s": "sims/s",
    "python_mcts_sims_per_s": "sims/s",
    "mcts_vs_python_packed": "ratio",
    "mcts_packed_sims_per_s": "sims/s",
    "python_mcts_packed_sims_per_s": "sims/s",
    "uct_sims_per_s": "sims/s",
    "search_sims_per_s": "sims/s",
    "mctx_sims_per_s": "sims/s",
}


class MctxSide:
    def __init__(self, mctx, pgx, trees: int, simulations: int, seed: int = 0):
        import jax
        import jax.numpy as jnp

        self.jax = jax
        env = pgx.make("chess")
        step = jax.vmap(env.step)
        lowest = jnp.finfo(jnp.float32).min

        def recurrent_fn(params, rng_key, action, state):
            del params, rng_key
            mover = state.current_player
            state = step(state, action)  # state.observation: a network's input
            out = mctx.RecurrentFnOutput(
                reward=state.rewards[jnp.arange(trees), mover],
                discount=jnp.where(state.terminated, 0.0, -1.0),
                prior_logits=jnp.where(state.legal_action_mask, 0.0, lowest),
                value=jnp.zeros(trees))
            return out, state

        def search(state, key):
            root = mctx.RootFnOutput(
                prior_logits=jnp.where(state.legal_action_mask, 0.0, lowest),
                value=jnp.zeros(trees), embedding=state)
            return mctx.muzero_policy(params=None, rng_key=key, root=root,
                                      recurrent_fn=recurrent_fn, num_simulations=simulations,
                                      invalid_actions=~state.legal_action_mask)

        self.search = jax.jit(search)
        self.key = jax.random.PRNGKey(seed)
        self.key, sub = jax.random.split(self.key)
        self.roots = jax.jit(jax.vmap(env.init))(jax.random.split(sub, trees))
        self.work = trees * simulations
        self.once()  # compiles (or loads from the cache); not timed

    def once(self) -> float:
        """Simulations per second of one search."""
        self.key, sub = self.jax.random.split(self.key)
        t0 = time.perf_counter()
        out = self.search(self.roots, sub)
        self.jax.block_until_ready(out)
        return self.work / (time.perf_counter() - t0)


# ---------------------------------------------------------------------------
# varnok side, written against the PLANNED varnok.MCTS API. Until that API
# exists (peers.absent("MCTS")) the figure is reported missing. What is
# assumed, to be checked when it lands:
#   varnok.MCTS(num_trees=T)       other arguments left at their defaults
#   tree.set_roots(envs)           a list of T ChessEnv, each at its root position
#   tree.select(leaves_per_tree=k) the leaves of one round: .obs and .legal_mask
#                                  (bool (L, 4672)), one row per leaf
#   tree.expand(priors, values)    float32 priors (L, 4672) and values (L,)
# ---------------------------------------------------------------------------


def varnok_search(trees: int, simulations: int, leaves_per_tree: int = LEAVES_PER_TREE) -> float:
    """Simulations per second of one search of `trees` trees."""
    import varnok

    roots = []
    for _ in range(trees):
        env = varnok.ChessEnv()
        env.reset()
        roots.append(env)
    tree = varnok.MCTS(num_trees=trees)
    t0 = time.perf_counter()
    tree.set_roots(roots)
    done = 0
    while done < simulations:
        k = min(leaves_per_tree, simulations - done)
        leaves = tree.select(leaves_per_tree=k)
        _network_input = leaves.obs
        mask = np.asarray(leaves.legal_mask)
        counts = np.maximum(mask.sum(axis=1, keepdims=True), 1)
        priors = mask / counts.astype(np.float32)  # uniform over the legal moves
        values = np.zeros(mask.shape[0], dtype=np.float32)
        tree.expand(priors.astype(np.float32), values)
        done += k
    return trees * simulations / (time.perf_counter() - t0)


def run(settings, progress) -> dict:
    trees, sims = settings.search_trees, settings.search_simulations
    why = {}
    mctx = pgx = side = None
    mctx, reason = peers.mctx()
    if mctx is None:
        why["mctx"] = f"mctx / JAX unusable: {reason}"
    else:
        pgx, _ = peers.jax_pgx()
        t0 = time.perf_counter()
        try:
            side = MctxSide(mctx, pgx, trees, sims)
            progress.say(f"  mctx search compiled (or loaded) and run once in "
                         f"{time.perf_counter() - t0:.1f} s")
        except Exception as exc:
            why["mctx"] = f"mctx search failed: {peers.failure(exc)}"
    api = peers.absent("MCTS")
    if api:
        why["varnok"] = api
    else:
        try:
            varnok_search(trees, min(sims, 4))
        except Exception as exc:
            why["varnok"] = f"varnok.MCTS not usable: {peers.failure(exc)}"
    for name, text in why.items():
        progress.say(f"  {name} side missing: {text}")

    ours, theirs = [], []
    for rep in range(settings.search_reps):
        if "varnok" not in why:
            ours.append(varnok_search(trees, sims))
        if side is not None:
            theirs.append(side.once())
        shown = [f"varnok {ours[-1]:.0f}" if ours else None,
                 f"mctx {theirs[-1]:.0f}" if theirs else None]
        progress.say(f"  rep {rep + 1}/{settings.search_reps} simulations/s: "
                     + ", ".join(s for s in shown if s))

    # Against the pure-Python reference of the same PUCT rules, on the same
    # trees, and UCT's roll-out simulations.
    import search_bench

    # The same pair with packed observations on both sides: without the
    # float32 observation's 30 KB of writes per leaf.
    native, python, uct, native_packed, python_packed = [], [], [], [], []
    # The reference allocates a Python object per node. In this process the
    # peers' modules hold hundreds of thousands of objects, and a collection
    # of the oldest generation walks them all: frozen, they are left out and
    # the reference runs as it would in a process of its own.
    gc.collect()
    gc.freeze()
    # JAX's worker threads keep polling for work for a while after its last
    # search; neither side below should share the processors with them.
    time.sleep(1.0)
    if "varnok" not in why:
        # One search object per kind, reused by every repetition as a
        # self-play worker keeps one and sets new roots every move; and one
        # untimed search per kind first: the first search faults in its node
        # pools' memory from the system (about 20 MB for 64 trees), which a
        # worker pays once, not every move.
        import varnok

        searches = {dtype: varnok.MCTS(trees, seed=0, obs_dtype=dtype) for dtype in ("float32", "packed")}
        for dtype, search in searches.items():
            search_bench.native_mcts(trees, sims, 1, None, dtype, search)
        search_bench.python_mcts(max(1, trees // 16), sims)

        def turns(dtype: str) -> tuple[float, float]:
            """Simulations per second of the native search and the reference over one repetition."""
            native_done = trees * sims * NATIVE_SEARCHES_PER_TURN
            reference = search_bench.PythonSearch(trees, dtype)
            reference_turns = iter([sims * (k + 1) // TURNS_PER_REP - sims * k // TURNS_PER_REP
                                    for k in range(TURNS_PER_REP)])
            got = rates_in_turns({
                "native": lambda: (native_done, native_done / search_bench.native_mcts(
                    trees, sims, 1, None, dtype, searches[dtype], NATIVE_SEARCHES_PER_TURN)),
                "reference": lambda: reference.run(next(reference_turns)),
            })
            return got["native"], got["reference"]

        # A search here takes a fraction of a second (mctx's above take tens):
        # as many repetitions as the other figures.
        for rep in range(settings.reps):
            ours_rate, reference_rate = turns("float32")
            native.append(ours_rate)
            python.append(reference_rate)
            ours_rate, reference_rate = turns("packed")
            native_packed.append(ours_rate)
            python_packed.append(reference_rate)
            uct.append(search_bench.native_uct(trees, max(1, sims // 4), None))
            progress.say(f"  rep {rep + 1}/{settings.reps}: varnok.MCTS {native[-1]:.0f} (packed "
                         f"{native_packed[-1]:.0f}), Python reference {python[-1]:.0f} (packed {python_packed[-1]:.0f}), "
                         f"UCT {uct[-1]:.0f} simulations/s")

    gc.unfreeze()
    figures = {
        "mcts_vs_python": summary([a / b for a, b in zip(native, python)]).as_dict("ratio") if native
        else missing("ratio", why["varnok"]),
        "mcts_sims_per_s": summary(native).as_dict("sims/s") if native else missing("sims/s", why["varnok"]),
        "python_mcts_sims_per_s": summary(python).as_dict("sims/s") if python
        else missing("sims/s", why["varnok"]),
        "mcts_vs_python_packed": summary([a / b for a, b in zip(native_packed, python_packed)]).as_dict("ratio")
        if native_packed else missing("ratio", why["varnok"]),
        "mcts_packed_sims_per_s": summary(native_packed).as_dict("sims/s") if native_packed
        else missing("sims/s", why["varnok"]),
        "python_mcts_packed_sims_per_s": summary(python_packed).as_dict("sims/s") if python_packed
        else missing("sims/s", why["varnok"]),
        "uct_sims_per_s": summary(uct).as_dict("sims/s") if uct else missing("sims/s", why["varnok"]),
        "search_sims_per_s": summary(ours).as_dict("sims/s") if ours
        else missing("sims/s", why["varnok"]),
        "mctx_sims_per_s": summary(theirs).as_dict("sims/s") if theirs
        else missing("sims/s", why["mctx"]),
    }
    if ours and theirs:
        figures["mcts_vs_mctx_cpu"] = summary([a / b for a, b in zip(ours, theirs)]).as_dict("ratio")
    else:
        figures["mcts_vs_mctx_cpu"] = missing("ratio", why.get("varnok") or why["mctx"])
    if native:
        figures["mcts_vs_python"]["details"] = {
            "how": f"simulations per second, {trees} trees x {sims} simulations from the initial position, one leaf "
                   "per tree per round, uniform priors and value 0, set_roots timed, one MCTS object per observation "
                   f"dtype reused by every repetition, after one untimed search per side; a repetition is "
                   f"{TURNS_PER_REP} turns per side, the sides taking turns: {NATIVE_SEARCHES_PER_TURN} native "
                   f"searches, then the next part of one search of the reference (its simulations on all {trees} "
                   "trees); "
                   "the Python reference "
                   "(tests/python/mcts_reference.py: the same PUCT rules over ChessEnv save_state/restore_state), "
                   "the objects the process held before frozen out of the garbage collector's "
                   "walks (gc.freeze); mcts_vs_python_packed: the same with packed observations on both sides "
                   f"(obs_dtype=\"packed\", observation(\"packed\")); UCT: {trees} trees x {max(1, sims // 4)} "
                   "roll-out simulations",
        }
    figures["mcts_vs_mctx_cpu"]["details"] = {
        "trees": trees, "simulations": sims, "leaves_per_tree": LEAVES_PER_TREE,
        "mctx": peers.version("mctx") if side else None,
        "how": f"{trees} trees from the initial position, {sims} simulations each, uniform "
               "priors over the legal moves and value 0; mctx: muzero_policy under jax.jit on "
               "the CPU with pgx chess states (observation included) as embeddings; varnok: "
               f"MCTS(num_trees), set_roots, select(leaves_per_tree={LEAVES_PER_TREE}) and "
               "expand(priors, values) rounds; one search per side "
               "and repetition, the tree's set-up inside the timed part on both sides",
    }
    return figures

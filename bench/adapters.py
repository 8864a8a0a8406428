"""The ecosystem adapters against what they wrap or stand in for.

1. `gym_vector_overhead`: the time of a step of the Gymnasium vector env
   (`gymnasium.make_vec("varnok/Chess-v0", ...)`) over that of the native
   `varnok.VectorEnv` it wraps, at the same number of games and threads, both
   stepping the native `random_actions()`. The adapter hands the native
   arrays through, so the ratio should stay near 1 (goal: at most 1.15).
2. `rgb_array_frames_per_s`: frames per second of `render()` on
   `gymnasium.make("varnok/Chess-v0", render_mode="rgb_array")` at 256 x 256,
   over positions of random games (goal: at least 1,000, what recording
   video of self-play needs not to slow it), beside PettingZoo chess_v6's
   own `rgb_array` render over the same positions.
3. `sb3_vecenv_vs_dummy`: steps per second of `varnok.sb3.VecEnv(64)`
   against SB3's `DummyVecEnv` of 64 `gymnasium.make("varnok/Chess-v0")`
   envs, both self-play, both stepping uniformly random legal actions drawn
   from their masks the same way; the time counted is the environment's
   (`get_action_masks` and `step`), not the draw's (goal: at least 20).
   `sb3_contract_ceiling` is what any VecEnv over the native env could
   reach in the same loop: DummyVecEnv's time over the work SB3's contract
   alone asks for, the native step of the 64 games writing a fresh array of
   observations (SB3 keeps the last one while the next step runs) and the
   `np.stack` of the 64 mask rows that `get_action_masks` makes.
   `sb3_native_step_ceiling` counts the native steps alone: no adapter over
   this step can pass it, whatever it did about the masks and copies.
4. `pettingzoo_adapter_vs_pettingzoo`: plies per second of the loop a
   PettingZoo agent runs (`env.last()`, a random action among the mask's
   non-zero entries, `env.step`) on `varnok.pettingzoo.env()` over the same
   loop on PettingZoo's own chess_v6 (goal: at least 10).

Each function takes the benchmark settings and progress reporter of
bench/timing.py and returns its figures; the two sides alternate within
every repetition.
"""

from __future__ import annotations

import random
import time

import numpy as np

from timing import TURNS_PER_REP, aec_plies_per_s, rates_in_turns, summary
from vector import random_legal_rows

VECTOR_ENVS = 64


def _vector_box(step, actions, num_envs: int, seconds: float) -> tuple[int, float]:
    """Game steps of `step(actions())` in a time box, and the box's seconds."""
    steps = 0
    clock = time.perf_counter
    t0 = clock()
    while True:
        for _ in range(10):
            step(actions())
        steps += 10
        if clock() - t0 >= seconds:
            return steps * num_envs, clock() - t0


def gym_vector_overhead(settings, progress, num_envs: int = VECTOR_ENVS) -> dict:
    import gymnasium
    import varnok
    import varnok.gym  # noqa: F401  (registers varnok/Chess-v0)

    envs = gymnasium.make_vec("varnok/Chess-v0", num_envs=num_envs, vectorization_mode="vector_entry_point",
                              seed=1)
    # The same draw rules on both sides: the adapter's default, "fide".
    native = varnok.VectorEnv(num_envs, num_threads=envs.unwrapped.native.num_threads, seed=1,
                              rules=envs.unwrapped.rules)
    envs.reset(seed=1)
    native.reset(seed=1)
    sides = {"gym": (envs.step, envs.unwrapped.native.random_actions),
             "native": (native.step, native.random_actions)}
    for step, actions in sides.values():
        _vector_box(step, actions, num_envs, 0.05)
    gym_sps, native_sps, ratio = [], [], []
    for rep in range(settings.reps):
        order = ("gym", "native") if rep % 2 == 0 else ("native", "gym")
        got = rates_in_turns({name: (lambda name=name: _vector_box(*sides[name], num_envs,
                                                                   settings.loop_seconds / TURNS_PER_REP))
                              for name in order})
        gym_sps.append(got["gym"])
        native_sps.append(got["native"])
        ratio.append(got["native"] / got["gym"])
        progress.say(f"  rep {rep + 1}/{settings.reps}: Gymnasium vector env {got['gym']:.0f} steps/s, "
                     f"native VectorEnv {got['native']:.0f} steps/s")
    figures = {
        "gym_vector_overhead": summary(ratio).as_dict("ratio"),
        "gym_vector_steps_per_s": summary(gym_sps).as_dict("steps/s"),
        "native_vector_steps_per_s": summary(native_sps).as_dict("steps/s"),
    }
    figures["gym_vector_overhead"]["details"] = {
        "num_envs": num_envs,
        "num_threads": native.num_threads,
        "how": "time per step of gymnasium.make_vec('varnok/Chess-v0', vectorization_mode="
               "'vector_entry_point') over that of varnok.VectorEnv at the same num_envs and threads; "
               "both step random_actions() of their native environment, float32 observations, the same "
               "draw rules (the adapter's default); "
               f"game steps per second, each side {TURNS_PER_REP} time boxes per repetition, the two sides "
               "taking turns",
    }
    return figures


def pettingzoo_adapter_vs_pettingzoo(settings, progress) -> dict:
    import pettingzoo
    from pettingzoo.classic import chess_v6

    import varnok.pettingzoo

    rng = random.Random(3)
    sides = {"varnok": varnok.pettingzoo.env(), "pettingzoo": chess_v6.env()}
    for env in sides.values():
        aec_plies_per_s(env, rng, 0.05)
    ours, theirs, ratio = [], [], []
    for rep in range(settings.reps):
        order = ("varnok", "pettingzoo") if rep % 2 == 0 else ("pettingzoo", "varnok")
        got = {name: aec_plies_per_s(sides[name], rng, settings.loop_seconds) for name in order}
        ours.append(got["varnok"])
        theirs.append(got["pettingzoo"])
        ratio.append(got["varnok"] / got["pettingzoo"])
        progress.say(f"  rep {rep + 1}/{settings.reps}: varnok.pettingzoo {got['varnok']:.0f} plies/s, "
                     f"chess_v6 {got['pettingzoo']:.0f} plies/s")
    figures = {
        "pettingzoo_adapter_vs_pettingzoo": summary(ratio).as_dict("ratio"),
        "pettingzoo_adapter_plies_per_s": summary(ours).as_dict("plies/s"),
        "pettingzoo_chess_v6_plies_per_s": summary(theirs).as_dict("plies/s"),
    }
    figures["pettingzoo_adapter_vs_pettingzoo"]["details"] = {
        "peer": f"PettingZoo {pettingzoo.__version__} chess_v6",
        "how": "plies per second over whole games, both as env() with PettingZoo's wrappers: env.last(), "
               "random.choice(numpy.flatnonzero(action_mask)), env.step(), reset() at the end; "
               "the two sides alternating in time boxes",
    }
    return figures


def _frames_box(render, positions, seconds: float) -> tuple[int, float]:
    """Frames rendered over the positions in a time box, and the box's seconds."""
    frames = 0
    clock = time.perf_counter
    t0 = clock()
    while clock() - t0 < seconds:
        positions[frames % len(positions)]()
        render()
        frames += 1
    return frames, clock() - t0


def rgb_array_frames(settings, progress) -> dict:
    import chess
    import gymnasium
    from pettingzoo.classic import chess_v6

    import varnok.gym  # noqa: F401  (registers varnok/Chess-v0)

    ours = gymnasium.make("varnok/Chess-v0", render_mode="rgb_array", render_size=256).unwrapped
    theirs = chess_v6.env(render_mode="rgb_array").unwrapped
    theirs.reset()
    rng = random.Random(11)
    fens = []
    game = chess.Board()
    while len(fens) < 40:   # positions along random games
        if game.is_game_over() or game.ply() > 80:
            game = chess.Board()
        game.push(rng.choice(list(game.legal_moves)))
        fens.append(game.fen())

    def our_position(fen):
        return lambda: ours.reset(options={"fen": fen})

    def their_position(fen):
        def put():
            theirs.board = chess.Board(fen)
        return put

    sides = {"varnok": (ours.render, [our_position(fen) for fen in fens]),
             "pettingzoo": (theirs.render, [their_position(fen) for fen in fens])}
    for render, positions in sides.values():
        _frames_box(render, positions, 0.05)
    mine, peer, ratio = [], [], []
    for rep in range(settings.reps):
        order = ("varnok", "pettingzoo") if rep % 2 == 0 else ("pettingzoo", "varnok")
        box = settings.loop_seconds / TURNS_PER_REP
        got = rates_in_turns({name: (lambda name=name: _frames_box(*sides[name], box)) for name in order})
        mine.append(got["varnok"])
        peer.append(got["pettingzoo"])
        ratio.append(got["varnok"] / got["pettingzoo"])
        progress.say(f"  rep {rep + 1}/{settings.reps}: varnok {got['varnok']:.0f} frames/s, "
                     f"chess_v6 {got['pettingzoo']:.0f} frames/s")
    figures = {
        "rgb_array_frames_per_s": summary(mine).as_dict("frames/s"),
        "pettingzoo_chess_v6_frames_per_s": summary(peer).as_dict("frames/s"),
        "rgb_array_vs_pettingzoo": summary(ratio).as_dict("ratio"),
    }
    figures["rgb_array_frames_per_s"]["details"] = {
        "size": [256, 256, 3],
        "peer": f"PettingZoo chess_v6 rgb_array, {theirs.render().shape}",
        "how": "render() of the unwrapped environment over 40 positions of random games, each set with "
               "reset(options={'fen': ...}) (varnok) or by assigning the board (PettingZoo), the time to set "
               "the position included on both sides; the two sides alternating in time boxes",
    }
    return figures


def _sb3_box(env, rng, seconds: float) -> tuple[int, float]:
    """Game steps of an SB3 VecEnv in a time box (random legal actions from
    its masks), and the seconds the environment took.

    The environment's time is what MaskablePPO waits for in a step:
    get_action_masks(env) and env.step. The draw of the actions from the
    masks stands in for the agent: it is the same NumPy work on both sides,
    as long as the whole of a batched native step, and is left out of both.
    """
    from sb3_contrib.common.maskable.utils import get_action_masks

    steps = 0
    busy = 0.0
    clock = time.perf_counter
    while busy < seconds:
        for _ in range(5):
            t0 = clock()
            masks = get_action_masks(env)
            t1 = clock()
            actions = random_legal_rows(masks, rng)
            t2 = clock()
            env.step(actions)
            busy += (t1 - t0) + (clock() - t2)
        steps += 5
    return steps * env.num_envs, busy


def _contract_box(native, rng, seconds: float, contract: bool = True) -> tuple[int, float]:
    """Game steps of the bare native env doing only what SB3's contract asks
    of a step in a time box (the 64 mask rows stacked, the step writing a
    fresh array of observations), and the seconds of that work; without
    contract, the seconds of the plain steps alone."""
    steps = 0
    busy = 0.0
    clock = time.perf_counter
    r = native.step(native.random_actions())
    shape, dtype = r.obs.shape, r.obs.dtype
    mask = r.legal_mask
    while busy < seconds:
        for _ in range(5):
            t0 = clock()
            masks = np.stack(list(mask)) if contract else mask
            t1 = clock()
            actions = random_legal_rows(masks, rng)
            t2 = clock()
            r = native.step(actions, obs_out=np.empty(shape, dtype)) if contract else native.step(actions)
            busy += (t1 - t0) + (clock() - t2) if contract else clock() - t2
            mask = r.legal_mask
        steps += 5
    return steps * native.num_envs, busy


def sb3_vecenv_vs_dummy(settings, progress, num_envs: int = 64) -> dict:
    import gymnasium
    import stable_baselines3
    from stable_baselines3.common.vec_env import DummyVecEnv

    import varnok.gym  # noqa: F401  (registers varnok/Chess-v0)
    import varnok.sb3

    sides = {"varnok": varnok.sb3.VecEnv(num_envs, seed=1),
             "dummy": DummyVecEnv([lambda: gymnasium.make("varnok/Chess-v0")] * num_envs)}
    # The native env under the adapter, with its threads and rules.
    inner = sides["varnok"].env
    native = varnok.VectorEnv(num_envs, num_threads=inner.native.num_threads, seed=1, rules=inner.rules)
    native.reset(seed=1)
    rng = np.random.default_rng(5)
    for env in sides.values():
        env.reset()
        _sb3_box(env, rng, 0.05)
    _contract_box(native, rng, 0.05)
    _contract_box(native, rng, 0.05, contract=False)
    boxes = {"varnok": lambda box: _sb3_box(sides["varnok"], rng, box),
             "dummy": lambda box: _sb3_box(sides["dummy"], rng, box),
             "contract": lambda box: _contract_box(native, rng, box),
             "step": lambda box: _contract_box(native, rng, box, contract=False)}
    ours, theirs, ratio, ceiling, step_ceiling = [], [], [], [], []
    for rep in range(settings.reps):
        order = ("varnok", "dummy", "contract", "step")
        order = order if rep % 2 == 0 else order[::-1]
        box = settings.loop_seconds / TURNS_PER_REP
        got = rates_in_turns({name: (lambda name=name: boxes[name](box)) for name in order})
        ours.append(got["varnok"])
        theirs.append(got["dummy"])
        ratio.append(got["varnok"] / got["dummy"])
        ceiling.append(got["contract"] / got["dummy"])
        step_ceiling.append(got["step"] / got["dummy"])
        progress.say(f"  rep {rep + 1}/{settings.reps}: varnok.sb3.VecEnv {got['varnok']:.0f} steps/s, "
                     f"DummyVecEnv {got['dummy']:.0f} steps/s, the contract's work alone "
                     f"{got['contract']:.0f} steps/s")
    figures = {
        "sb3_vecenv_vs_dummy": summary(ratio).as_dict("ratio"),
        "sb3_contract_ceiling": summary(ceiling).as_dict("ratio"),
        "sb3_native_step_ceiling": summary(step_ceiling).as_dict("ratio"),
        "sb3_vecenv_steps_per_s": summary(ours).as_dict("steps/s"),
        "sb3_dummy_steps_per_s": summary(theirs).as_dict("steps/s"),
    }
    figures["sb3_vecenv_vs_dummy"]["details"] = {
        "num_envs": num_envs,
        "peer": f"Stable-Baselines3 {stable_baselines3.__version__} DummyVecEnv of {num_envs} varnok/Chess-v0",
        "how": "game steps per second of the environment's own time, get_action_masks(env) and env.step; "
               "each step's actions drawn uniformly among the legal ones from those masks by random_legal_rows "
               "(bench/vector.py), the same on both sides and left out of both sides' time; self-play, fide "
               "rules; the two sides alternating in time boxes",
    }
    figures["sb3_contract_ceiling"]["details"] = {
        "how": "steps/s of the native VectorEnv under the adapter (same games, threads and rules) doing only "
               "np.stack of its 64 mask rows and the step writing a fresh array (obs_out), over DummyVecEnv's, "
               "timed in the same boxes: the most an adapter over today's native step can reach",
    }
    figures["sb3_native_step_ceiling"]["details"] = {
        "how": "the same boxes, the native steps' time alone (masks and observations free): the most any "
               "adapter over this native step could reach, whatever it did about masks and copies",
    }
    for env in sides.values():
        env.close()
    return figures


def run(settings, progress) -> dict:
    """All the figures, for a runner that takes a whole section."""
    figures = gym_vector_overhead(settings, progress)
    figures.update(rgb_array_frames(settings, progress))
    figures.update(sb3_vecenv_vs_dummy(settings, progress))
    figures.update(pettingzoo_adapter_vs_pettingzoo(settings, progress))
    return figures


if __name__ == "__main__":
    import argparse
    import json

    from timing import Progress, Settings

    parser = argparse.ArgumentParser(description="varnok adapter benchmarks")
    parser.add_argument("--quick", action="store_true", help="a smoke run of seconds")
    args = parser.parse_args()
    result = run(Settings.make(args.quick), Progress(1))
    print(json.dumps({k: {f: v[f] for f in ("value", "low", "high", "unit")} for k, v in result.items()}, indent=1))

"""One game at a time, the loop an AlphaZero implementation writes in Python.

Per ply: read the observation and the legal-action mask as NumPy arrays,
choose a uniformly random legal action with NumPy (`random_legal`, the same
function on both sides), play it; start a new game when one ends. Plies per
second over whole games, each side in its own time box, the two alternating
within each repetition.

- varnok (planned API): `obs = env.observation()` (float32 (119, 8, 8)),
  `mask = env.legal_mask()` (bool (4672,)), `side, reward, done =
  env.play(action)`, `env.reset()` at the end of a game.
- PettingZoo chess_v6: `observation, reward, termination, truncation, info =
  env.last()`, the mask is `observation["action_mask"]` and the planes
  `observation["observation"]` (bool (8, 8, 111)), `env.step(action)`,
  `env.reset()` at the end of a game.
"""

from __future__ import annotations

import time

import numpy as np

import peers
from timing import missing, summary

UNITS = {
    "numpy_loop_vs_pettingzoo": "ratio",
    "numpy_loop_plies_per_s": "plies/s",
    "pettingzoo_numpy_loop_plies_per_s": "plies/s",
}


def random_legal(mask: np.ndarray, rng: np.random.Generator) -> int:
    """A uniformly random index among the True (or non-zero) cells of a mask."""
    legal = np.flatnonzero(mask)
    return int(legal[rng.integers(legal.size)])


def varnok_loop(env, rng, seconds: float) -> float:
    """Plies per second over whole games, as many as start within `seconds`."""
    plies = 0
    clock = time.perf_counter
    t0 = clock()
    while True:
        env.reset()
        done = False
        while not done:
            _obs = env.observation()
            mask = env.legal_mask()
            _side, _reward, done = env.play(random_legal(mask, rng))
            plies += 1
        if clock() - t0 >= seconds:
            return plies / (clock() - t0)


def pettingzoo_loop(env, rng, seconds: float) -> float:
    plies = 0
    clock = time.perf_counter
    t0 = clock()
    while True:
        env.reset()
        for _agent in env.agent_iter():
            observation, _reward, termination, truncation, _info = env.last()
            if termination or truncation:
                break
            _planes = observation["observation"]
            env.step(random_legal(observation["action_mask"], rng))
            plies += 1
        if clock() - t0 >= seconds:
            return plies / (clock() - t0)


def run(settings, progress) -> dict:
    why = {}
    chess_v6, reason = peers.pettingzoo_chess()
    if chess_v6 is None:
        why["peer"] = f"PettingZoo unusable: {reason}"
    api = peers.absent("ChessEnv.observation", "ChessEnv.legal_mask", "ChessEnv.play")
    if api:
        why["varnok"] = api
    env = peer = None
    rng = np.random.default_rng(17)
    if "varnok" not in why:
        try:
            import varnok

            env = varnok.ChessEnv()
            varnok_loop(env, rng, 0.05)
        except Exception as exc:
            why["varnok"] = peers.failure(exc)
    if "peer" not in why:
        peer = chess_v6.env()
        pettingzoo_loop(peer, rng, 0.05)
    for side, text in why.items():
        progress.say(f"  {side} side missing: {text}")

    ours, theirs = [], []
    for rep in range(settings.reps):
        if "varnok" not in why:
            ours.append(varnok_loop(env, rng, settings.loop_seconds))
        if "peer" not in why:
            theirs.append(pettingzoo_loop(peer, rng, settings.loop_seconds))
        shown = [f"varnok {ours[-1]:.0f}" if ours else None,
                 f"PettingZoo {theirs[-1]:.0f}" if theirs else None]
        progress.say(f"  rep {rep + 1}/{settings.reps} plies/s: "
                     + ", ".join(s for s in shown if s))

    figures = {
        "numpy_loop_plies_per_s": summary(ours).as_dict("plies/s") if ours
        else missing("plies/s", why["varnok"]),
        "pettingzoo_numpy_loop_plies_per_s": summary(theirs).as_dict("plies/s") if theirs
        else missing("plies/s", why["peer"]),
    }
    if ours and theirs:
        figures["numpy_loop_vs_pettingzoo"] = summary(
            [a / b for a, b in zip(ours, theirs)]).as_dict("ratio")
    else:
        figures["numpy_loop_vs_pettingzoo"] = missing("ratio", why.get("varnok") or why["peer"])
    figures["numpy_loop_vs_pettingzoo"]["details"] = {
        "peer": f"PettingZoo {peers.version('pettingzoo')} chess_v6" if chess_v6 else None,
        "how": "plies per second over whole games, one game at a time; varnok: observation(), "
               "legal_mask(), play(), reset() at the end; PettingZoo: env.last() (observation "
               "and action_mask), env.step(), reset() at the end; both choose with "
               "numpy.flatnonzero(mask) and Generator.integers (random_legal in "
               "bench/single_game.py)",
    }
    return figures

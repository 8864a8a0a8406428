"""Learning: where AlphaZero self-play spends its time.

- selfplay_env_share: the share of self-play wall time spent inside varnok
  (the MCTS calls select, expand, policy, choose_actions, advance and
  set_roots, and the VectorEnv's step) while examples/alphazero_torch.py
  plays with its default network (4 residual blocks of 32 channels, PyTorch
  on the CPU with its default threads): 64 games, 32 simulations a move.
  The rest is the network (unpacking on the device included) and the
  example's own Python. Goal: below 10%, so that the network is the cost a
  user sees. Medians of repetitions of `MOVES` moves each.
"""

from __future__ import annotations

import importlib.util
import time

from timing import TOP, missing, summary

GAMES = 64
SIMULATIONS = 32
MOVES = 12
VARNOK_CALLS = {"search": ("select", "expand", "policy", "choose_actions", "advance", "set_roots"),
                "venv": ("step",)}


class Timed:
    """Stands in for an object and adds the seconds of the named calls to a
    shared clock."""

    def __init__(self, inner, names, clock: list[float]):
        self._inner, self._names, self._clock = inner, names, clock

    def __getattr__(self, name):
        attribute = getattr(self._inner, name)
        if name not in self._names:
            return attribute

        def timed(*args, **kwargs):
            t0 = time.perf_counter()
            try:
                return attribute(*args, **kwargs)
            finally:
                self._clock[0] += time.perf_counter() - t0

        return timed


def load_example():
    located = importlib.util.spec_from_file_location("alphazero_torch", TOP / "examples" / "alphazero_torch.py")
    module = importlib.util.module_from_spec(located)
    located.loader.exec_module(module)
    return module


def run(settings, progress) -> dict:
    try:
        import torch
        example = load_example()
    except ImportError as exc:
        return {"selfplay_env_share": missing("share", f"PyTorch does not import: {exc}")}
    quick = settings.quick
    args = example.make_parser().parse_args(
        ["--run", "unused", "--games", str(4 if quick else GAMES),
         "--simulations", str(2 if quick else SIMULATIONS), "--max-plies", "160", "--explore", "20"])
    torch.manual_seed(0)
    network = example.Network()
    device = torch.device("cpu")
    play = example.SelfPlay(args, network, device, seed=1)
    varnok_clock = [0.0]
    network_clock = [0.0]
    play.search = Timed(play.search, VARNOK_CALLS["search"], varnok_clock)
    play.venv = Timed(play.venv, VARNOK_CALLS["venv"], varnok_clock)
    evaluate = play.evaluate

    def timed_evaluate(obs, mask):
        t0 = time.perf_counter()
        try:
            return evaluate(obs, mask)
        finally:
            network_clock[0] += time.perf_counter() - t0

    play.evaluate = timed_evaluate
    play.play(1)  # warm up
    shares, network_shares, moves_per_s = [], [], []
    for rep in range(settings.reps):
        varnok_clock[0] = network_clock[0] = 0.0
        t0 = time.perf_counter()
        moves = 1 if quick else MOVES
        play.play(moves)
        took = time.perf_counter() - t0
        shares.append(varnok_clock[0] / took)
        network_shares.append(network_clock[0] / took)
        moves_per_s.append(moves * args.games / took)
        progress.say(f"  rep {rep + 1}/{settings.reps}: varnok {shares[-1]:.1%}, network {network_shares[-1]:.1%} "
                     f"of {took:.1f} s; {moves_per_s[-1]:.0f} moves/s")
    figures = {
        "selfplay_env_share": summary(shares).as_dict("share"),
        "selfplay_network_share": summary(network_shares).as_dict("share"),
        "selfplay_moves_per_s": summary(moves_per_s).as_dict("moves/s"),
    }
    figures["selfplay_env_share"]["details"] = {
        "goal": "< 0.10",
        "what": f"examples/alphazero_torch.py self-play, default network, {args.games} games, "
                f"{args.simulations} simulations a move, {MOVES} moves per repetition; varnok = time in "
                "MCTS and VectorEnv calls, network = the evaluate function (unpacking included)",
        "torch_threads": torch.get_num_threads(),
    }
    return figures

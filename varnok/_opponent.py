"""The fixed opponent of the single-agent chess task (``opponent=`` of the
Gymnasium adapters).

An opponent is given as text (``"random"``, ``"material:1"``, ``"uct:200"``,
any text ``varnok.players.player_from_text`` takes), a player object (with
``start(seed)`` and ``choose(games)``, see ``varnok.players``), or a
callable ``f(env) -> action`` that is shown each game as a ``ChessEnv``.
"""

from __future__ import annotations

from typing import Any, Callable

import numpy as np

from varnok._core import ChessEnv

AGENT_COLORS = ("white", "black", "random")
WHITE, BLACK = 0, 1


class _CallablePlayer:
    """A function of one game as a player: called once per game."""

    def __init__(self, function: Callable[[ChessEnv], Any]):
        self.function = function
        self.name = getattr(function, "__name__", "opponent")

    def start(self, seed: int) -> None:
        pass

    def choose(self, games) -> np.ndarray:
        chosen = []
        for env in games.envs():
            action = self.function(env)
            if isinstance(action, bool) or not isinstance(action, (int, np.integer)):
                raise TypeError(f"the opponent function must return an int action, got {type(action).__name__}")
            chosen.append(int(action))
        return np.array(chosen, dtype=np.int64)


def opponent_player(opponent):
    """The player behind an ``opponent=`` value, or None for self-play."""
    if opponent is None:
        return None
    if isinstance(opponent, str):
        from varnok.players import player_from_text

        return player_from_text(opponent)
    if callable(getattr(opponent, "choose", None)):
        return opponent
    if callable(opponent):
        return _CallablePlayer(opponent)
    raise TypeError("opponent must be None, a player named in text such as 'random' or 'material:1', a player "
                    f"(with choose(games)) or a function of a ChessEnv, got {type(opponent).__name__}")


def check_agent_color(agent_color: str, opponent) -> str:
    if agent_color not in AGENT_COLORS:
        raise ValueError(f'agent_color must be "white", "black" or "random", got {agent_color!r}')
    if opponent is None and agent_color != "white":
        raise ValueError("agent_color needs an opponent: without one the agent plays both sides")
    return agent_color


def draw_sides(agent_color: str, rng: np.random.Generator, count: int) -> np.ndarray:
    """The agent's side (0 white, 1 black) in count new games."""
    if agent_color == "random":
        return rng.integers(0, 2, size=count, dtype=np.int8)
    return np.full(count, WHITE if agent_color == "white" else BLACK, dtype=np.int8)


def start_player(player, rng: np.random.Generator) -> None:
    """Restarts the player's own draws from a seed of the environment's generator."""
    if player is not None:
        player.start(int(rng.integers(0, 2**32)))


def choose_for_env(player, env: ChessEnv, rng: np.random.Generator) -> int:
    """The opponent's action in one game."""
    from varnok.players import Games, chosen_actions

    action = int(chosen_actions(player, Games.of_envs([env], rng))[0])
    if action not in env.legal_actions():
        raise RuntimeError(f"the opponent {getattr(player, 'name', player)!r} chose action {action}, "
                           f"which is not legal in {env.fen()}")
    return action


def choose_for_rows(player, native, rows: np.ndarray) -> np.ndarray:
    """The opponent's actions in the given rows of a native VectorEnv
    (int64, one per row of ``rows``), in one batch."""
    from varnok.players import Games, chosen_actions

    return chosen_actions(player, Games.of_rows(native, np.asarray(rows)))

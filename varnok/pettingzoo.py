"""A PettingZoo AEC view of varnok: two agents playing one game of chess.

``env()`` is :class:`raw_env` in PettingZoo's usual wrappers (an illegal
action ends the game and loses it for the mover, reward -1; actions outside
the space and calls out of order raise), as PettingZoo's own chess_v6 is.

- agents ``player_0`` (white) and ``player_1`` (black), taking turns;
- observation ``{"observation": float32 (119, 8, 8), "action_mask": int8 (4672,)}``:
  varnok's 119 planes (not PettingZoo chess's 111 boolean planes: varnok's
  planes hold counters, the move count and the no-progress count, that a
  boolean cannot), as the side to move sees them, whichever agent asks
  (plane 112 says which side that is); the mask is the legal actions for
  the agent to move and all zeros for the other one;
- action ``Discrete(4672)`` in varnok's numbering; ``varnok.actions``
  converts to and from PettingZoo chess_v6's and pgx's numbering;
- rewards at the end: +1 for the winner, -1 for the loser, 0 each for a draw
  (stalemate, repetition, no progress, and with ``rules="fide"`` also
  insufficient material); ``max_steps`` truncates a game after that many
  plies.
"""

from __future__ import annotations

from typing import Any

import numpy as np
from gymnasium import spaces
from pettingzoo import AECEnv
from pettingzoo.utils import wrappers

from varnok import ChessEnv as _NativeEnv
from varnok._checks import game_from_fen, integer, reset_options
from varnok._core import ACTIONS  # the size of the action space, as the core numbers actions
from varnok.frames import RENDER_MODES, Renderer
from varnok.termination import Termination

AGENTS = ("player_0", "player_1")


class _IllegalActionLoses(wrappers.TerminateIllegalWrapper):
    """PettingZoo's wrapper that ends the game on an illegal action, saying
    why in ``info["reason"]`` as every other end of a game does."""

    def step(self, action):
        ended = self._terminated
        super().step(action)
        if self._terminated and not ended:
            self.env.unwrapped.infos = {a: {"reason": Termination.ILLEGAL_ACTION.reason} for a in AGENTS}


def env(**kwargs):
    """:class:`raw_env` with PettingZoo's wrappers for board games."""
    wrapped = raw_env(**kwargs)
    wrapped = _IllegalActionLoses(wrapped, illegal_reward=-1)
    wrapped = wrappers.AssertOutOfBoundsWrapper(wrapped)
    return wrappers.OrderEnforcingWrapper(wrapped)


class raw_env(AECEnv):
    """Two-agent chess on varnok's ChessEnv (see the module text).

    ``rules`` is ``"fide"`` (the default, what chess players expect), ``"classic"`` or ``"fide-strict"``, as for
    ``varnok.ChessEnv``; ``reset(options={"fen": text})`` starts from a FEN. ``chess960=True`` plays Chess960:
    each reset starts from one of the 960 arrays, drawn uniformly (``reset(seed=...)`` makes the draws
    reproducible), with Chess960 castling.
    """

    metadata = {"render_modes": list(RENDER_MODES), "name": "varnok_chess_v0", "is_parallelizable": False,
                "render_fps": 1}

    def __init__(self, render_mode: str | None = None, rules: str = "fide", max_steps: int | None = None,
                 render_size: int = 256, chess960: bool = False):
        super().__init__()
        if not isinstance(chess960, bool):
            raise TypeError(f"chess960 must be a bool, got {type(chess960).__name__}")
        if max_steps is not None and integer(max_steps, "max_steps") < 1:
            raise ValueError(f"max_steps must be a positive number of plies, got {max_steps}")
        self.render_mode = render_mode
        self.max_steps = max_steps
        self.rules = rules
        self.chess960 = chess960
        self._starts = np.random.default_rng()
        self.game = _NativeEnv(rules, chess960=chess960)
        # Last of the checks: "human" opens its window here, which no later refusal would close.
        self._renderer = Renderer(render_mode, render_size, self.metadata["render_fps"], "varnok_chess_v0")
        self.possible_agents = list(AGENTS)
        self.agents = []
        observation_space = spaces.Dict({
            "observation": spaces.Box(low=0.0, high=np.inf, shape=(119, 8, 8), dtype=np.float32),
            "action_mask": spaces.Box(low=0, high=1, shape=(ACTIONS,), dtype=np.int8),
        })
        self.observation_spaces = {agent: observation_space for agent in AGENTS}
        self.action_spaces = {agent: spaces.Discrete(ACTIONS) for agent in AGENTS}
        self._mask = np.zeros(ACTIONS, np.int8)
        self._no_actions = np.zeros(ACTIONS, np.int8)
        self._no_actions.setflags(write=False)
        self._plies = 0

    def observation_space(self, agent):
        return self.observation_spaces[agent]

    def action_space(self, agent):
        return self.action_spaces[agent]

    def observe(self, agent):
        # The legal moves are the agent's to move while its game goes on. A
        # game ended from outside (PettingZoo's wrapper on an illegal action)
        # leaves the position as it was, with moves that neither agent may play.
        playing = (self.agents and agent == self.agent_selection
                   and not (self.terminations[agent] or self.truncations[agent]))
        mask = self._mask if playing else self._no_actions
        return {"observation": self.game.observation(), "action_mask": mask.copy()}

    def reset(self, seed: int | None = None, options: dict[str, Any] | None = None):
        fen = reset_options(options).get("fen")
        # The FEN and the seed are checked whole before this env changes.
        game = None if fen is None else game_from_fen(fen, self.rules, self.chess960)
        if seed is not None:
            self._starts = np.random.default_rng(integer(seed, "seed"))
        if game is not None:
            self.game = game
            side = game.save_state().side
        elif self.chess960:
            side = self.game.reset(position=int(self._starts.integers(960)))[0]
        else:
            side = self.game.reset()[0]
        self._plies = 0
        self.agents = list(AGENTS)
        self.rewards = dict.fromkeys(AGENTS, 0)
        self._cumulative_rewards = dict.fromkeys(AGENTS, 0)
        self.terminations = dict.fromkeys(AGENTS, False)
        self.truncations = dict.fromkeys(AGENTS, False)
        self.infos = {agent: {} for agent in AGENTS}
        self.agent_selection = AGENTS[side]
        self._mask = self.game.legal_mask().view(np.int8)
        if self.render_mode == "human":
            self.render()

    def step(self, action):
        agent = self.agent_selection
        if self.terminations[agent] or self.truncations[agent]:
            self._was_dead_step(action)
            return
        side, white_reward, done = self.game.play(integer(action, "action"))
        self._plies += 1
        self.rewards = dict.fromkeys(AGENTS, 0)
        if done:
            self.rewards = {AGENTS[0]: white_reward, AGENTS[1]: -white_reward}
            self.terminations = dict.fromkeys(AGENTS, True)
            self.infos = {a: {"reason": self.game.outcome()} for a in AGENTS}
            self._mask = self._no_actions
        elif self.max_steps is not None and self._plies >= self.max_steps:
            self.truncations = dict.fromkeys(AGENTS, True)
            self.infos = {a: {"reason": Termination.TRUNCATED.reason} for a in AGENTS}
            self._mask = self._no_actions
        else:
            self._mask = self.game.legal_mask().view(np.int8)
        self._cumulative_rewards[agent] = 0
        self.agent_selection = AGENTS[side]
        self._accumulate_rewards()
        if self.render_mode == "human":
            self.render()

    def render(self):
        """The board as text ("ansi"), an RGB image ("rgb_array"), or shown in a window ("human")."""
        return self._renderer.render(self.game)

    def close(self):
        self._renderer.close()

"""Stable-Baselines3 view of varnok: :class:`VecEnv`, the native vector
environment as an SB3 ``VecEnv``.

``pip install varnok[sb3]`` brings stable-baselines3 and sb3-contrib. With
sb3-contrib's ``MaskablePPO``::

    from sb3_contrib import MaskablePPO
    import varnok.sb3

    env = varnok.sb3.VecEnv(16, opponent="random", seed=0)
    model = MaskablePPO("MlpPolicy", env, n_steps=64, seed=0)
    model.learn(2_048)

Every game is the single-agent task of ``varnok.gym.ChessEnv`` (with an
``opponent``) or self-play (without one), stepped natively on worker
threads. A game that ends starts again in the same step, its last
observation in ``infos[i]["terminal_observation"]`` and
``infos[i]["TimeLimit.truncated"]`` set for an end by ``max_steps``, as SB3
expects. ``action_masks()`` (and ``env_method("action_masks")``, which
sb3-contrib's ``get_action_masks`` calls) give the legal actions.
Observations are fresh arrays each step: SB3 keeps the previous one while
the next step runs.
"""

from __future__ import annotations

import operator
from typing import Any, Sequence

import numpy as np
from stable_baselines3.common.vec_env.base_vec_env import VecEnv as _SB3VecEnv

from varnok._checks import set_start_positions
from varnok._core import ChessEnv as _NativeEnv
from varnok.frames import board_rgb
from varnok.gym import REASONS, ChessVectorEnv

__all__ = ["VecEnv"]


class VecEnv(_SB3VecEnv):
    """``num_envs`` games as an SB3 ``VecEnv`` (see the module text).

    ``opponent``, ``agent_color``, ``max_steps``, ``rules``,
    ``illegal_action``, ``num_threads`` and ``seed`` are those of
    ``varnok.gym.ChessVectorEnv``. ``chess960=True`` plays Chess960, as
    there: every new game starts from one of the 960 arrays, drawn per game
    from the seeded draws, with Chess960 castling. ``start_fens`` (FEN
    texts) makes every new game start from one of them instead, drawn
    uniformly and reproducibly; with ``chess960`` they are read as Chess960
    positions (X-FEN or Shredder-FEN castling), without it such a position
    is refused, saying so.
    ``render_mode="rgb_array"`` makes ``render()`` a tiled image of the
    games (SB3's ``VecVideoRecorder`` records it).
    """

    def __init__(self, num_envs: int, opponent=None, agent_color: str = "white", max_steps: int | None = None,
                 rules: str = "fide", illegal_action: str = "lose", num_threads: int | None = None,
                 seed: int | None = None, start_fens: Sequence[str] | None = None,
                 render_mode: str | None = None, chess960: bool = False):
        if render_mode not in (None, "rgb_array"):
            raise ValueError(f"render_mode must be None or 'rgb_array', got {render_mode!r}")
        if isinstance(start_fens, (str, bytes)):   # one FEN would be read as a list of its characters
            raise TypeError("start_fens must be a list of FEN texts, got one text: wrap it in a list")
        self.env = ChessVectorEnv(num_envs, illegal_action=illegal_action, max_steps=max_steps,
                                  num_threads=num_threads, seed=seed, rules=rules,
                                  opponent=opponent, agent_color=agent_color, chess960=chess960)
        if start_fens is not None:
            set_start_positions(self.env.native, list(start_fens))
        self._first_seed = seed
        self._actions = None
        self._masks = None
        self.render_mode = render_mode   # read back by the base class through get_attr
        super().__init__(self.env.num_envs, self.env.single_observation_space, self.env.single_action_space)

    def reset(self) -> np.ndarray:
        seed = self._seeds[0] if self._seeds and self._seeds[0] is not None else self._first_seed
        self._first_seed = None
        # Options of set_options reach the games' reset (which refuses a "fen": start_fens sets the starts).
        options = next((o for o in self._options if o), None)
        obs, infos = self.env.reset(seed=seed, options=options)
        self._reset_seeds()
        self._reset_options()
        self._masks = self.env.action_masks()   # a view, read before the next step writes it
        self.reset_infos = [{} for _ in range(self.num_envs)]
        return obs.copy()   # SB3 keeps it while the next step writes the native buffer

    def step_async(self, actions: np.ndarray) -> None:
        actions = np.asarray(actions)
        # Refused as the Gymnasium envs refuse them: a cast would play 564.9 as action 564.
        if actions.dtype.kind not in "iu":
            raise TypeError(f"actions must hold integers, got dtype {actions.dtype}")
        if actions.size != self.num_envs:
            raise ValueError(f"actions must hold one action per game ({self.num_envs}), got shape {actions.shape}")
        self._actions = actions.astype(np.int64).reshape(self.num_envs)

    def step_wait(self):
        if self._actions is None:
            raise RuntimeError("step_wait without step_async")
        # A fresh array each step, which the native step fills itself.
        obs = np.empty((self.num_envs, *self.observation_space.shape), dtype=np.float32)
        obs, reward, terminated, truncated, infos = self.env._step(self._actions, obs_out=obs)
        self._actions = None
        self._masks = self.env.action_masks()
        dones = terminated | truncated   # a new array: the native flags are rewritten next step
        out: list[dict[str, Any]] = [{} for _ in range(self.num_envs)]
        if "final_obs" in infos:
            final, reasons = infos["final_obs"], infos["final_info"]["reason"]
            for row in np.flatnonzero(dones).tolist():
                out[row]["terminal_observation"] = final[row]
                out[row]["TimeLimit.truncated"] = bool(truncated[row] and not terminated[row])
                out[row]["reason"] = REASONS.get(int(reasons[row]), "unknown")
        # The rewards are a fresh float32 array of the step already.
        return obs, np.asarray(reward, dtype=np.float32), dones, out

    def action_masks(self) -> np.ndarray:
        """The legal actions of every game: ``bool (num_envs, 4672)``, a
        read-only view that the next step rewrites."""
        if self._masks is None:
            raise RuntimeError("call reset() first")
        return self._masks

    def _rows(self, indices) -> list[int]:
        """The games named by indices (None: all), as SB3's own VecEnvs index
        their list of envs: a negative index counts from the end, and one
        outside the games is an IndexError."""
        every = range(self.num_envs)
        if indices is None:
            return list(every)
        if isinstance(indices, (int, np.integer)):
            indices = [indices]
        return [every[operator.index(i)] for i in indices]

    def env_method(self, method_name: str, *method_args, indices=None, **method_kwargs) -> list[Any]:
        """``"action_masks"``: each game's mask; ``"render"``: each game's
        frame. The games are rows of one native environment, so no other
        per-game method exists."""
        rows = self._rows(indices)
        if method_name == "action_masks":
            masks = self.action_masks()
            return [masks[row] for row in rows]
        if method_name == "render":
            return [self._frame(row) for row in rows]
        raise AttributeError(f"varnok.sb3.VecEnv games have no method {method_name!r} "
                             "(env_method knows 'action_masks' and 'render')")

    def get_attr(self, attr_name: str, indices=None) -> list[Any]:
        """An attribute of the underlying ``varnok.gym.ChessVectorEnv``, once per game."""
        value = self.render_mode if attr_name == "render_mode" else getattr(self.env, attr_name)
        return [value for _ in self._rows(indices)]

    def set_attr(self, attr_name: str, value: Any, indices=None) -> None:
        """Sets the attribute of the one underlying env, that all games share
        (``render_mode`` is this env's own, as ``get_attr`` reads it)."""
        self._rows(indices)
        setattr(self if attr_name == "render_mode" else self.env, attr_name, value)

    def env_is_wrapped(self, wrapper_class, indices=None) -> list[bool]:
        return [False for _ in self._rows(indices)]

    def _frame(self, row: int) -> np.ndarray:
        game = _NativeEnv(self.env.rules)
        game.restore_state(self.env._native_env().save_state(row))
        return board_rgb(game)

    def get_images(self) -> Sequence[np.ndarray | None]:
        return [self._frame(row) for row in range(self.num_envs)]

    def close(self) -> None:
        self.env.close()

"""TorchRL view of varnok: :func:`env`, ``varnok/Chess-v0`` as a TorchRL
environment whose legal actions reach TorchRL's ``ActionMask``.

TorchRL's ``GymEnv("varnok/Chess-v0")`` does not read ``info``, so the mask
would be lost; this wraps the Gymnasium env with a reader that puts
``info["action_mask"]`` into the tensordict as ``"action_mask"`` (``bool``,
the dtype ``ActionMask`` expects) and appends ``ActionMask``, so random steps
and policies that read the action space only ever see legal actions::

    import varnok.torchrl

    env = varnok.torchrl.env(opponent="random")
    rollout = env.rollout(100, break_when_any_done=False)
"""

from __future__ import annotations

from typing import Any

import numpy as np
import torch
from torchrl.data import Binary
from torchrl.envs import GymWrapper, TransformedEnv
from torchrl.envs.gym_like import BaseInfoDictReader
from torchrl.envs.transforms import ActionMask

from varnok.gym import ACTIONS, ChessEnv

__all__ = ["env"]


class _MaskReader(BaseInfoDictReader):
    """Reads ``info["action_mask"]`` (int8) into the tensordict as bool."""

    def __init__(self, device: torch.device | str | None = None):
        self._info = {"action_mask": Binary(n=ACTIONS, shape=(ACTIONS,), dtype=torch.bool, device=device)}

    def __call__(self, info_dict: dict[str, Any], tensordict):
        mask = np.asarray(info_dict["action_mask"], dtype=bool)
        tensordict.set("action_mask", torch.from_numpy(mask.copy()).to(tensordict.device))
        return tensordict

    @property
    def info_spec(self):
        return self._info


def env(device: torch.device | str = "cpu", **options) -> TransformedEnv:
    """``varnok.gym.ChessEnv(**options)`` (``opponent``, ``agent_color``,
    ``max_steps``, ``rules``, ``chess960``, ...) as a TorchRL env:
    ``GymWrapper`` with the actions as categorical integers, the legal
    actions in ``"action_mask"`` and an ``ActionMask`` transform."""
    base = GymWrapper(ChessEnv(**options), categorical_action_encoding=True, device=device)
    base.set_info_dict_reader(_MaskReader(device))
    return TransformedEnv(base, ActionMask())

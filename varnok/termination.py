"""Why a game ended, as one enumeration for every part of varnok.

``Termination`` is an :class:`enum.IntEnum` (python-chess's
``chess.Termination`` is the model): its values are the codes that
``VectorStep.final_reason`` and the Gymnasium vector infos carry, so a
member compares equal to the old integer, and its :attr:`~Termination.reason`
is the text that ``ChessEnv.outcome()`` and the single environment's
``info["reason"]`` give::

    Termination.CHECKMATE == 1
    Termination.of("checkmate") is Termination.CHECKMATE
    Termination(step.final_reason[row])     # from a VectorStep row
"""

from __future__ import annotations

import enum


class Termination(enum.IntEnum):
    """Why a game ended: a rule of chess, or the environment stopping it."""

    CHECKMATE = 1
    STALEMATE = 2
    REPETITION = 3
    NO_PROGRESS = 4
    INSUFFICIENT_MATERIAL = 5
    MOVE_CAP = 6          # a roll-out stopped after its 400 steps
    TRUNCATED = 16        # the step cap (max_steps) reached
    ILLEGAL_ACTION = 17   # an adapter's illegal_action="lose"

    @property
    def reason(self) -> str:
        """The text of this reason: ``ChessEnv.outcome()``'s, e.g. ``"no_progress"``."""
        return self.name.lower()

    @property
    def is_draw(self) -> bool:
        """True for the rules that end a game drawn."""
        return self in _DRAWS

    @classmethod
    def of(cls, reason: str | int) -> Termination:
        """The member for an ``outcome()`` text or a ``final_reason`` code.

        ValueError for a text or code that names no reason (0 and ``None``
        mean the game goes on: there is no member for them).
        """
        if isinstance(reason, str):
            try:
                return cls[reason.upper()]
            except KeyError:
                raise ValueError(f"{reason!r} is not a reason a game ends for; "
                                 f"one of {', '.join(m.reason for m in cls)}") from None
        return cls(reason)


_DRAWS = frozenset({Termination.STALEMATE, Termination.REPETITION, Termination.NO_PROGRESS,
                    Termination.INSUFFICIENT_MATERIAL})

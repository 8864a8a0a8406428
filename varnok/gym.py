"""Gymnasium views of varnok: ``varnok/Chess-v0`` and its native vector form.

Importing this module registers ``varnok/Chess-v0``:

- ``gymnasium.make("varnok/Chess-v0")`` gives :class:`ChessEnv`, one game of
  self-play: the agent plays both sides, one move per step.
- ``gymnasium.make_vec("varnok/Chess-v0", num_envs=N)`` (the registered
  vector entry point, also ``vectorization_mode="vector_entry_point"``)
  gives :class:`ChessVectorEnv`, N games stepped by the native
  ``varnok.VectorEnv`` on worker threads, with its arrays handed through.

Observation: ``Box(0, inf, (119, 8, 8), float32)``, varnok's planes as the
side to move sees them. Action: ``Discrete(4672)``, varnok's numbering
(``varnok.actions`` converts to and from PettingZoo's and pgx's). The legal
actions are ``info["action_mask"]`` (``int8``, 1 = legal, the form
``Discrete.sample(mask=...)`` takes) and ``action_masks()`` (``bool``, for
libraries that ask for it), the same cells: at the end, the last position's
(none after a mate, a stalemate or an illegal action; the moves left after
a draw by rule or a truncation).

The reward is counted for the side that just moved: +1 when its move mates,
0 for any other move or a draw. ``terminated`` is an end by a rule of chess
(mate, stalemate, repetition, no progress, insufficient material),
``truncated`` an end by ``max_steps`` plies; the two are never both set.

``rules`` are the draw rules, ``"fide"`` by default here (repetition by FIDE
identity, the FIDE half-move clock reaching 100, insufficient material; see
``varnok.ChessEnv``), ``"classic"`` or ``"fide-strict"``.

``chess960=True`` plays Chess960 (Fischer Random): every episode starts
from one of the 960 arrays, drawn uniformly from the environment's seeded
generator (``reset(seed=...)`` makes the sequence reproducible), and castling
follows the Chess960 rules (the king moves onto its own rook's square).

``illegal_action`` says what an action that is not legal does:
``"lose"`` (the default, so that tools stepping random actions work): the
mover loses, reward -1, and the episode terminates with the position
unchanged; ``"raise"``: ``ValueError`` and nothing changes.
"""

from __future__ import annotations

from typing import Any

import gymnasium
import numpy as np
from gymnasium import spaces
from gymnasium.utils import seeding
from gymnasium.vector import AutoresetMode
from gymnasium.vector.utils import batch_space

from varnok import ChessEnv as _NativeEnv
from varnok import VectorEnv as _NativeVectorEnv
from varnok._checks import game_from_fen, integer, reset_options
from varnok._core import ACTIONS  # the size of the action space, as the core numbers actions
from varnok._opponent import (BLACK, WHITE, check_agent_color, choose_for_env, choose_for_rows, draw_sides,
                              opponent_player, start_player)
from varnok.frames import RENDER_MODES, Renderer
from varnok.termination import Termination

ENV_ID = "varnok/Chess-v0"
OBSERVATION_SHAPE = (119, 8, 8)
ILLEGAL_ACTION_CHOICES = ("lose", "raise")
# The VectorEnv's final_reason codes by the single env's info["reason"] texts.
REASONS = {int(t): t.reason for t in Termination if t is not Termination.MOVE_CAP}
ILLEGAL_REASON = Termination.ILLEGAL_ACTION
# New games the opponent opens, one after another, before a game whose every
# opening ends it is taken for a set-up that leaves the agent no position.
OPENING_TRIES = 64
_MOVER_SIGN = np.array([1.0, -1.0], dtype=np.float32)   # by the side that moved, 0 white, 1 black
# The mask where no position is the agent's: after an illegal action, or a
# step or reset that failed half way.
_NO_ACTIONS = np.zeros(ACTIONS, dtype=bool)
_NO_ACTIONS.flags.writeable = False


def _observation_space() -> spaces.Box:
    return spaces.Box(low=0.0, high=np.inf, shape=OBSERVATION_SHAPE, dtype=np.float32)


def _native_seed(seed) -> int | None:
    """A vector env's seed as the native generators take it: None, or an
    integer (NumPy's too) from 0 to 2**64 - 1, checked before anything is
    seeded, so that a refused one leaves the env as it was."""
    return None if seed is None else integer(seed, "seed", 0, 2**64 - 1)


def _plies_of_steps(max_episode_steps, opponent, agent_color: str) -> int | None:
    """Gymnasium's max_episode_steps, a number of steps (what TimeLimit
    counts around each game of make_vec's other modes), as the native cap
    in plies: a step of self-play is one ply; against an opponent it is the
    agent's move and the reply, after the opponent's first move in the games
    where it has white. None (or -1, Gymnasium's "no limit") is no cap."""
    if max_episode_steps is None or max_episode_steps == -1:
        return None
    steps = integer(max_episode_steps, "max_episode_steps")
    if steps < 1:
        raise ValueError(f"max_episode_steps must be a positive number of steps, got {steps}")
    if opponent is None:
        return steps
    if agent_color == "random":
        raise ValueError('max_episode_steps with agent_color="random" is no fixed number of plies (the '
                         "opponent's first move counts in the games where it has white): give max_steps, "
                         "a number of plies")
    return 2 * steps + (agent_color == "black")


def _check_options(illegal_action: str, max_steps: int | None) -> None:
    if illegal_action not in ILLEGAL_ACTION_CHOICES:
        raise ValueError(f'illegal_action must be "lose" or "raise", got {illegal_action!r}')
    if max_steps is not None and integer(max_steps, "max_steps") < 1:
        raise ValueError(f"max_steps must be a positive number of plies, got {max_steps}")


class ChessEnv(gymnasium.Env):
    """One game of chess: self-play, or the agent against a fixed opponent.

    Without ``opponent`` the agent plays both sides (see the module text);
    to train on it, score each move for the side that made it (a zero-sum
    game: the loser's moves earn the negated return of the winner's).

    With ``opponent`` (``"random"``, ``"material:1"``, ``"uct:200"`` or any
    other text of ``varnok.players.player_from_text``, a player object, or a
    function ``f(env) -> action`` of a ``varnok.ChessEnv``) the agent plays
    one side, ``agent_color`` (``"white"``, ``"black"`` or ``"random"``, drawn
    per episode from the environment's seeded generator), and the opponent
    replies inside ``step`` (and moves first in ``reset`` when it has
    white). The reward is then the agent's: +1 for a win, -1 for a loss
    (by the opponent's mating move too, or an illegal action), 0 otherwise.
    ``info["opponent_action"]`` is the opponent's reply (-1 when it had none)
    and ``info["agent_color"]`` the agent's side (0 white, 1 black).

    ``reset(options={"fen": text})`` starts from a FEN instead of the initial
    position. ``max_steps`` truncates an episode after that many plies.
    ``render_mode="ansi"`` makes ``render()`` return the board as text,
    ``"rgb_array"`` as a ``(render_size, render_size, 3)`` ``uint8`` image
    (what ``RecordVideo`` records; the last move and a check highlighted),
    and ``"human"`` shows it in a window (pygame; a missing display is an
    error here, when the environment is made).
    """

    metadata = {"render_modes": list(RENDER_MODES), "render_fps": 1}

    def __init__(self, illegal_action: str = "lose", max_steps: int | None = None,
                 render_mode: str | None = None, rules: str = "fide", render_size: int = 256,
                 opponent=None, agent_color: str = "white", chess960: bool = False):
        _check_options(illegal_action, max_steps)
        if not isinstance(chess960, bool):
            raise TypeError(f"chess960 must be a bool, got {type(chess960).__name__}")
        self.opponent = opponent_player(opponent)
        self.agent_color = check_agent_color(agent_color, self.opponent)
        self.illegal_action = illegal_action
        self.max_steps = max_steps
        self.render_mode = render_mode
        self.observation_space = _observation_space()
        self.action_space = spaces.Discrete(ACTIONS)
        self.game = _NativeEnv(rules, chess960=chess960)   # ValueError for unknown rules
        # Last of the checks: "human" opens its window here, which no later refusal would close.
        self._renderer = Renderer(render_mode, render_size, self.metadata["render_fps"], ENV_ID)
        self.rules = rules
        self.chess960 = chess960
        self._side = 0
        self._agent = WHITE
        self._plies = 0
        self._mask = None
        self._over = True

    def _info(self) -> dict[str, Any]:
        self._mask = self.game.legal_mask()
        # Read-only, as the vector env's masks are: step judges the agent's
        # action against this array, which a write through info's view or
        # action_masks() would change.
        self._mask.flags.writeable = False
        info = {"action_mask": self._mask.view(np.int8), "to_play": self._side}
        if self.opponent is not None:
            info["agent_color"] = self._agent
        return info

    def __setstate__(self, state: dict[str, Any]) -> None:
        # A deep copy makes every array afresh, and writeable: the copy's
        # mask, which its step judges actions by, is made read-only again.
        self.__dict__.update(state)
        if self._mask is not None:
            self._mask.flags.writeable = False

    def _opponent_moves(self) -> tuple[int, float, bool]:
        """The opponent's reply: (its action, white's reward, whether the game ended)."""
        action = choose_for_env(self.opponent, self.game, self.np_random)
        self._side, white_reward, done = self.game.play(action)
        self._plies += 1
        return action, white_reward, bool(done)

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        fen = reset_options(options).get("fen")
        # The FEN and the seed are checked whole before this env changes.
        game = None if fen is None else game_from_fen(fen, self.rules, self.chess960)
        super().reset(seed=seed)
        if game is not None:
            self.game = game
            self._side = game.save_state().side
        elif self.chess960:
            self._side = self.game.reset(position=int(self.np_random.integers(960)))[0]
        else:
            self._side = self.game.reset()[0]
        self._plies = 0
        # No episode until the opponent, where it opens, has moved: a first
        # move that fails or ends the game leaves step asking for a reset.
        self._over, self._mask = True, _NO_ACTIONS
        reply = -1
        if self.opponent is not None:
            start_player(self.opponent, self.np_random)
            self._agent = int(draw_sides(self.agent_color, self.np_random, 1)[0])
            if self._side != self._agent:
                reply, _, done = self._opponent_moves()
                if done:
                    raise ValueError(f"the opponent's first move ends the game ({self.game.fen()}): "
                                     "no position is left for the agent")
        self._over = False
        if self.render_mode == "human":
            self.render()
        info = self._info()
        if self.opponent is not None:
            info["opponent_action"] = reply
        return self.game.observation(), info

    def step(self, action):
        if self._over:
            raise RuntimeError("the episode has ended: call reset() first")
        action = integer(action, "action")
        mover = self._side
        if not (0 <= action < ACTIONS and self._mask[action]):
            if self.illegal_action == "raise":
                raise ValueError(f"action {action} is not legal in this position ({self.game.fen()})")
            self._over, self._mask = True, _NO_ACTIONS
            info = {"action_mask": self._mask.view(np.int8), "to_play": mover,
                    "reason": Termination.ILLEGAL_ACTION.reason}
            if self.opponent is not None:   # the keys of every other step against an opponent
                info["agent_color"], info["opponent_action"] = self._agent, -1
            return self.game.observation(), -1.0, True, False, info
        self._side, white_reward, done = self.game.play(action)
        self._plies += 1
        truncated = not done and self.max_steps is not None and self._plies >= self.max_steps
        reply = -1
        if self.opponent is not None and not (done or truncated):
            try:
                reply, white_reward, done = self._opponent_moves()
            except BaseException:
                # The agent's move stands with no reply: the position is the
                # opponent's to play, never the agent's, so the episode is over.
                self._over, self._mask = True, _NO_ACTIONS
                raise
            truncated = not done and self.max_steps is not None and self._plies >= self.max_steps
        self._over = bool(done) or truncated
        info = self._info()
        if self.opponent is not None:
            info["opponent_action"] = reply
            mover = self._agent   # rewards are the agent's, whoever moved last
        if self._over:
            info["reason"] = self.game.outcome() if done else Termination.TRUNCATED.reason
        reward = float(white_reward if mover == 0 else -white_reward) + 0.0  # never -0.0
        if self.render_mode == "human":
            self.render()
        return self.game.observation(), reward, bool(done), truncated, info

    def action_masks(self) -> np.ndarray:
        """The legal actions of the current position as ``bool (4672,)``:
        ``info["action_mask"]`` of the last reset or step, as ``bool``. After
        the end, the last position's (none after a mate, a stalemate or an
        illegal action; after a draw by rule or a truncation its moves, as a
        bootstrapped value needs them)."""
        if self._mask is None:
            raise RuntimeError("call reset() first")
        return self._mask

    def render(self):
        return self._renderer.render(self.game)

    def close(self):
        self._renderer.close()


class ChessVectorEnv(gymnasium.vector.VectorEnv):
    """``num_envs`` games of :class:`ChessEnv` on the native ``varnok.VectorEnv``.

    A game that ends is started again in the same step
    (``metadata["autoreset_mode"]`` is ``AutoresetMode.SAME_STEP``): the
    returned observation and mask are the new game's, and
    ``infos["final_obs"]`` holds the ended game's last observation at the
    rows marked in ``infos["_final_obs"]`` (``None`` elsewhere), with
    ``infos["final_info"]["reason"]`` the native ``final_reason`` code, a
    :class:`varnok.Termination` value (1 checkmate, 2 stalemate, 3
    repetition, 4 no progress, 5 insufficient material, 16 truncated, 17
    illegal action).

    The observations, masks, ``terminated``, ``truncated`` and
    ``infos["to_play"]`` are the native buffers themselves, read-only views
    that the next ``step`` or ``reset`` overwrites; ``copy=True`` hands out fresh arrays instead (as Gymnasium's
    own vector environments do by default). ``num_threads`` defaults to the
    core count; ``max_episode_steps`` (what ``make_vec`` passes) is
    Gymnasium's cap in steps, each the agent's move and the opponent's
    reply where there is one; ``seed`` (an integer from 0 to 2**64 - 1, the native
    generators' range) given to the constructor or to ``reset`` makes the
    games reproducible. ``chess960=True`` starts every game from a Chess960
    array drawn per game from those seeded draws.

    ``opponent`` and ``agent_color`` make every game the single-agent task
    of :class:`ChessEnv`: the agent's actions move every game, then the
    opponent replies in all games at once (one batch: native for
    ``"random"``, ``"material:N"`` and ``"uct:N"``), also moving first in
    new games where it has white (a new game that this first move ends, say
    from a start position with a mate in one, starts again: the agent is only
    handed games where it is to move); rewards are the agent's (+1 win, -1 loss,
    0 otherwise) and ``infos["agent_color"]`` is the agent's side per game.
    ``infos["opponent_action"]`` is the opponent's reply in this step (-1
    where it had none; in ``reset``, its first move), and
    ``infos["opening_action"]`` its first move in each game that started in
    this step or ``reset`` with the opponent on move (-1 elsewhere): a game
    lost to the opponent's reply has that reply in ``opponent_action`` and
    the next game's first move here.
    """

    metadata = {"autoreset_mode": AutoresetMode.SAME_STEP, "render_modes": []}

    def __init__(self, num_envs: int = 1, illegal_action: str = "lose", max_steps: int | None = None,
                 num_threads: int | None = None, seed: int | None = None, copy: bool = False,
                 max_episode_steps: int | None = None, rules: str = "fide", opponent=None,
                 agent_color: str = "white", chess960: bool = False):
        _check_options(illegal_action, max_steps)
        seed = _native_seed(seed)
        if not isinstance(chess960, bool):
            raise TypeError(f"chess960 must be a bool, got {type(chess960).__name__}")
        self.opponent = opponent_player(opponent)
        self.agent_color = check_agent_color(agent_color, self.opponent)
        cap = _plies_of_steps(max_episode_steps, self.opponent, agent_color)
        if cap is not None:
            max_steps = cap if max_steps is None else min(max_steps, cap)   # both caps hold, as in make_vec's sync mode
        if self.opponent is not None and agent_color != "white" and max_steps == 1:
            # The games count every ply: the opponent's first move would end
            # each game it opens (or, drawn anew, leave the agent only white).
            raise ValueError("max_steps=1 leaves the agent no move in a game the opponent opens: "
                             'give max_steps of 2 or more, or agent_color="white"')
        self.illegal_action = illegal_action
        self.num_envs = integer(num_envs, "num_envs")
        self.native = _NativeVectorEnv(self.num_envs, num_threads=num_threads, seed=seed,
                                       max_steps=max_steps, copy=copy, rules=rules, chess960=chess960)
        if seed is not None:
            # The sides and the opponent's draws come from np_random: the
            # constructor's seed makes them reproducible as it does the games.
            self._np_random, self._np_random_seed = seeding.np_random(seed)
        self.rules = rules
        self.chess960 = chess960
        self.copy = copy
        self.single_observation_space = _observation_space()
        self.single_action_space = spaces.Discrete(ACTIONS)
        self.observation_space = batch_space(self.single_observation_space, self.num_envs)
        self.action_space = batch_space(self.single_action_space, self.num_envs)
        self._all = np.ones(self.num_envs, dtype=bool)
        self._rows = np.arange(self.num_envs)
        self._offsets = self._rows * ACTIONS   # row starts in the flattened masks
        self._result = None
        self._mask_seen = self._mask_int8 = None
        self._agent = np.zeros(self.num_envs, dtype=np.int8)
        self._no_reasons = bytes(self.num_envs)   # the final reasons of a step where no game ended
        self._no_rewards = np.zeros(self.num_envs, dtype=np.float32)

    def _infos(self, r) -> dict[str, Any]:
        # Without copy the native env hands out the same mask array every
        # step, and then so does this: its int8 view is made once.
        if r.legal_mask is not self._mask_seen:
            self._mask_seen, self._mask_int8 = r.legal_mask, r.legal_mask.view(np.int8)
        infos = {"action_mask": self._mask_int8, "_action_mask": self._all,
                 "to_play": r.to_play, "_to_play": self._all}
        if self.opponent is not None:
            infos["agent_color"], infos["_agent_color"] = self._agent.copy(), self._all
        return infos

    def _native_env(self) -> _NativeVectorEnv:
        if self.native is None:
            raise RuntimeError("this environment is closed")
        return self.native

    def reset(self, *, seed: int | None = None, options: dict[str, Any] | None = None):
        native = self._native_env()
        if "fen" in reset_options(options):   # not passed over in silence: every game would start elsewhere
            raise ValueError('the vector env takes no "fen" reset option: set the start positions of every '
                             "game with env.native.set_start_positions([fen, ...]) (start_fens of varnok.sb3.VecEnv)")
        seed = _native_seed(seed)
        super().reset(seed=seed)
        self._result = r = native.reset(seed=seed)
        if self.opponent is not None:
            openings = np.full(self.num_envs, -1, dtype=np.int64)
            try:
                start_player(self.opponent, self.np_random)
                self._agent = draw_sides(self.agent_color, self.np_random, self.num_envs)
                r = self._open_games(r.to_play != self._agent, r, openings=openings)
            except BaseException:
                self._result = None   # games left with the opponent to move: none is the agent's to step
                raise
            infos = self._infos(r)
            infos["opponent_action"], infos["_opponent_action"] = openings, self._all
            infos["opening_action"], infos["_opening_action"] = openings.copy(), self._all
            return r.obs, infos
        return r.obs, self._infos(r)

    def step(self, actions):
        return self._step(actions)

    def _step(self, actions, obs_out: np.ndarray | None = None):
        """step, with the observations written into obs_out (a fresh
        float32 array of the batch's shape, for adapters that hand out a
        new array every step) by the native step itself."""
        self._native_env()
        if self._result is None:
            raise RuntimeError("call reset() first")
        if self.opponent is None:
            return self._agent_step(actions, obs_out)
        step = self._agent_step(actions, obs_out)
        try:
            return self._replies(*step, obs_out)
        except BaseException:
            # The opponent failed (it raised, or chose an illegal action)
            # after the agent's moves: games are left with the opponent to
            # move, which no step may hand to the agent. A reset starts again.
            self._result = None
            raise

    def _replies(self, obs, reward, terminated, truncated, infos, obs_out: np.ndarray | None):
        """The opponent's part of a step, after the agent's moves."""
        terminated, truncated = terminated.copy(), truncated.copy()   # the next native step writes them
        ended = terminated | truncated
        self._draw_new_sides(ended)
        waiting = self._result.to_play != self._agent
        if not waiting.any():   # the opponent had no move: its keys as in every other step
            infos["agent_color"] = self._agent.copy()
            for key in ("opponent_action", "opening_action"):
                infos[key] = np.full(self.num_envs, -1, dtype=np.int64)
                infos["_" + key] = np.zeros(self.num_envs, dtype=bool)
            return obs, reward, terminated, truncated, infos
        r, replies = self._opponent_replies(waiting, obs_out)
        # In a game the agent's move ended, the reply is the next game's first move.
        openings = np.where(ended & waiting, replies, -1)
        # Only the side that moves can end a game with its move: the
        # opponent's mate is the agent's loss, a draw is 0.
        lost = (r.terminated | r.truncated) & ~ended
        if lost.any():
            reward = reward.copy()
            reward[lost] = -np.abs(r.reward[lost]) + 0.0
            terminated |= r.terminated & lost
            truncated |= r.truncated & lost
            self._add_final(infos, r.final_obs, lost, r.final_reason)
        # The games that ended in the reply started again: the lost ones,
        # and new games whose first move was the opponent's and ended them.
        again = r.terminated | r.truncated
        self._draw_new_sides(again)
        r = self._open_games(again & (r.to_play != self._agent), r, obs_out, openings)
        merged = self._infos(r)
        for key in ("final_obs", "_final_obs", "final_info", "_final_info"):
            if key in infos:
                merged[key] = infos[key]
        merged["opponent_action"], merged["_opponent_action"] = replies, waiting
        merged["opening_action"], merged["_opening_action"] = openings, openings >= 0
        return r.obs, reward, terminated, truncated, merged

    def _draw_new_sides(self, started: np.ndarray) -> None:
        """The agent's side in the games that started again."""
        if self.agent_color == "random" and started.any():
            self._agent[started] = draw_sides("random", self.np_random, int(started.sum()))

    def _open_games(self, opening: np.ndarray, r, obs_out: np.ndarray | None = None,
                    openings: np.ndarray | None = None):
        """The opponent's first move in the new games where it has white,
        written into openings at their rows when given. A game that this
        move ends (a mate-in-one start position, a max_steps of 1) was never
        the agent's: it starts again, until every game waits for the agent.
        Returns the last native result."""
        for _ in range(OPENING_TRIES):
            if not opening.any():
                return r
            r, replies = self._opponent_replies(opening, obs_out)
            if openings is not None:
                openings[opening] = replies[opening]
            again = r.terminated | r.truncated
            self._draw_new_sides(again)
            opening = again & (r.to_play != self._agent)
        raise ValueError(f"the opponent's first move ended its games {OPENING_TRIES} times over: "
                         "no position is left for the agent (see the start positions and max_steps)")

    def _opponent_replies(self, waiting: np.ndarray, obs_out: np.ndarray | None = None):
        """The opponent's moves in the waiting games, one batch; the others
        sit the step out. Returns the native result and the replies (-1
        where the opponent did not move)."""
        rows = np.flatnonzero(waiting)
        replies = np.full(self.num_envs, -1, dtype=np.int64)
        replies[rows] = choose_for_rows(self.opponent, self.native, rows)
        try:
            self._result = r = self.native.step(replies, active=waiting, obs_out=obs_out)
        except ValueError as error:
            raise RuntimeError(f"the opponent {getattr(self.opponent, 'name', self.opponent)!r} chose an "
                               f"illegal action: {error}") from error
        return r, replies

    def _agent_step(self, actions, obs_out: np.ndarray | None = None):
        before = self._result
        actions = np.asarray(actions)
        if actions.shape != (self.num_envs,):
            raise ValueError(f"actions must have shape ({self.num_envs},), got {actions.shape}")
        try:
            # The native step checks every row before any game moves, so an
            # illegal action costs nothing to find here and changes nothing
            # (before.to_play still holds the movers).
            # Without obs_out the keyword is left out: a keyword argument
            # costs the binding about a tenth of a one-game step to parse.
            native = self.native
            self._result = r = native.step(actions) if obs_out is None else native.step(actions, obs_out=obs_out)
        except ValueError:
            if self.illegal_action == "lose" and not self._all_legal(before, actions):
                return self._step_with_illegal(before, actions, _MOVER_SIGN[before.to_play], obs_out)
            raise
        infos = self._infos(r)
        reasons = r.final_reason
        # Whether a game ended: a compare of the reasons' bytes with zeros,
        # several times cheaper than a NumPy reduction right after the
        # native step has filled the caches with its own work.
        if reasons.tobytes() == self._no_reasons:
            # No game ended, so every reward is 0: rewards come only with the end.
            return r.obs, self._no_rewards.copy(), r.terminated, r.truncated, infos
        self._add_final(infos, r.final_obs, None, reasons)
        # Only the side that moves can end a game with its move: by mating
        # (+1 for it, whichever colour it plays) or by a draw (0). So the
        # mover's reward is the size of white's.
        return r.obs, np.abs(r.reward), r.terminated, r.truncated, infos

    def random_actions(self) -> np.ndarray:
        """A uniformly random legal action of every game (int64, one per
        row), drawn natively from the environment's seeded generator: the
        cheap chooser for random play, far cheaper than sampling from
        ``info["action_mask"]`` in NumPy."""
        self._native_env()
        if self._result is None:
            raise RuntimeError("call reset() first")
        return self.native.random_actions()

    def _all_legal(self, before, actions) -> bool:
        if actions.size and (actions.min() < 0 or actions.max() >= ACTIONS):
            return False
        # int64 first: uint64 actions added to the int64 offsets would give floats, no index.
        return bool(before.legal_mask.reshape(-1)[self._offsets + actions.astype(np.int64)].all())

    def _add_final(self, infos, final_obs, ended, reasons) -> None:
        """Puts the last observation and reason of the games that ended
        into infos; ended None stands for every row with a reason."""
        now = reasons != 0 if ended is None else ended & (reasons != 0)
        rows = now.nonzero()[0].tolist()
        if "final_obs" in infos:   # games that ended earlier in the same step stay
            final, reason = infos["final_obs"], infos["final_info"]["reason"]
            reason[now] = reasons[now]
            ended = (now if ended is None else ended) | infos["_final_obs"]
        else:
            final = np.empty(self.num_envs, dtype=object)  # None everywhere
            reason = reasons.copy() if ended is None else np.where(now, reasons, np.int8(0))
            ended = now if ended is None else ended
        # Copies: the native row is written again when its next game ends.
        # A few games end in a step, and a copy of one row is cheaper than
        # gathering them.
        for row in rows:
            final[row] = final_obs[row].copy()
        infos["final_obs"], infos["_final_obs"] = final, ended
        infos["final_info"] = {"reason": reason, "_reason": ended}
        infos["_final_info"] = ended

    def _step_with_illegal(self, before, actions, sign, obs_out: np.ndarray | None = None):
        """Rows with an illegal action lose and start again; the others step natively.

        The illegal rows start their next game first, as an auto-reset
        would (a start position or a Chess960 array from the row's own
        draws), and sit the native step out; their last observation is the
        unchanged position they were in.
        """
        inside = (actions >= 0) & (actions < ACTIONS)
        legal = inside.copy()
        legal[inside] = before.legal_mask[self._rows[inside], actions[inside]]
        bad = np.flatnonzero(~legal)
        last_obs = before.obs[bad].copy()
        for row in bad.tolist():
            self.native.reset_row(row)
        r = self.native.step(np.where(legal, actions, 0).astype(np.int64), active=legal, obs_out=obs_out)
        self._result = r
        reward = r.reward * sign + 0.0  # + 0.0 turns -0.0 into 0.0
        reward[bad] = -1.0
        terminated = r.terminated.copy()
        truncated = r.truncated.copy()
        terminated[bad], truncated[bad] = True, False
        final_obs = r.final_obs.copy()
        final_obs[bad] = last_obs
        reasons = r.final_reason.copy()
        reasons[bad] = Termination.ILLEGAL_ACTION
        infos = self._infos(r)
        self._add_final(infos, final_obs, terminated | truncated, reasons)
        return r.obs, reward, terminated, truncated, infos

    def action_masks(self) -> np.ndarray:
        """The legal actions of every game as ``bool (num_envs, 4672)``."""
        if self._result is None:
            raise RuntimeError("call reset() first")
        return self._result.legal_mask

    def close_extras(self, **kwargs) -> None:
        self.native = None


def _register() -> None:
    if ENV_ID not in gymnasium.registry:
        gymnasium.register(id=ENV_ID, entry_point=f"{__name__}:ChessEnv",
                           vector_entry_point=f"{__name__}:ChessVectorEnv",
                           disable_env_checker=False)


_register()

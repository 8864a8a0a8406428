"""Players for matches and for the UCI front end.

A player is anything with

- ``name``: a short text for tables and PGN headers;
- ``start(seed)``: called before each block of games of a match (and once by
  the UCI front end), so that everything random in the player restarts from a
  seed the match derives; a match's games then depend only on its own seed;
- ``choose(games) -> int64 array``: one action per game of ``games`` (a
  :class:`Games`: the games of one round that this player moves in);
- ``close()``: releases processes or threads (optional).

``think(env, ...)`` (one game, with the search's root value, node count and
principal variation, stoppable) is what the UCI front end asks; the base
class answers it through ``choose``.

Built in: :class:`Random`, :class:`Material` (native alpha-beta on material),
:class:`UCT`, :class:`MCTS` (a network's ``evaluate(obs, legal_mask)``, all
games it moves in searched together: one network batch per round) and
:class:`UCIEngine` (any UCI engine, through python-chess's engine module).
Players hold only their settings until ``start``: they pickle, so a match can
run them in worker processes.
"""

from __future__ import annotations

import dataclasses
import math
import shutil
import threading
import time
from collections import OrderedDict
from typing import Callable, Protocol, Sequence

import numpy as np

from varnok._checks import integer
from varnok._core import MCTS as _MCTS
from varnok._core import UCT as _UCT
from varnok._core import ACTIONS, ChessEnv, MaterialSearch, State, VectorEnv

__all__ = ["Games", "Player", "Thought", "chosen_actions", "Random", "Material", "UCT", "MCTS", "UCIEngine",
           "player_from_text"]

# The deepest material search, in plies.
MATERIAL_DEEPEST = 8
# The largest node budget the native material search counts to (int64).
MATERIAL_MOST_NODES = 2**63 - 1
# Scores of the material search from this far up are mates (see MaterialSearch.choose).
MATE_SCORE = 30000
MATE_BOUND = MATE_SCORE - 1000
# A search value v in [-1, 1] shown as centipawns, as Leela-style engines do:
# the logistic inverse of a win expectancy, v = tanh(cp / CP_SCALE).
CP_SCALE = 290.68
# The most simulations one native UCT run takes (an int32 count).
MAX_UCT_SIMULATIONS = 2**31 - 1
# Search objects kept per player for recently seen batch sizes (a batch
# shrinks as games end; the two colours of a block give two sizes).
KEPT_SEARCHES = 4
# The node budgets of one tree searched past the player's own simulations (a
# larger node count, a clock, or until stop): about 48 MB of MCTS nodes,
# 10 MB of UCT nodes.
MCTS_UNBOUNDED_NODES = 1 << 20
UCT_UNBOUNDED_NODES = 200_000
# The most legal moves of any chess position: the children one expansion adds.
MOST_LEGAL_MOVES = 218
# How long a UCI engine is given to answer uci and quit (python-chess's default).
UCI_ANSWER_SECONDS = 10.0
# How long it is given, by default, to answer a search beyond the limit's
# own time: far more than a search by nodes or depth takes, and still an end.
UCI_MOVE_SECONDS = 600.0
# How often a search with no end of its own (go infinite) tells its progress.
REPORT_SECONDS = 1.0


class Games:
    """The games a player moves in: their states (``states``), their draw
    rules (``rules``), and a uniformly random legal action for each
    (``random_actions()``). ``envs()`` gives each game as a ChessEnv;
    ``roots()`` gives them to a native search."""

    def __init__(self, states: Callable[[], list[State]] | Sequence[State], rules: str,
                 random_actions: Callable[[], np.ndarray], size: int, chess960: bool = False):
        self._states = states
        self._random_actions = random_actions
        self.rules = rules
        # Chess960 games castle king onto rook: envs() and every player that
        # rebuilds a game must keep that, or castling is read as another move.
        self.chess960 = bool(chess960)
        self._size = size
        self._vector_env: VectorEnv | None = None
        self._rows = np.zeros(0, np.int64)

    @classmethod
    def of_rows(cls, vector_env: VectorEnv, rows: Sequence[int],
                random_actions: Callable[[], np.ndarray] | None = None) -> "Games":
        """The games of some rows of a VectorEnv, in the order of rows;
        random actions from random_actions(), by default the VectorEnv's own
        draws. A search reads the rows in place (see roots)."""
        rows = np.asarray(rows, np.int64)
        draw = random_actions or (lambda: vector_env.random_actions()[rows])
        games = cls(lambda: [vector_env.save_state(int(r)) for r in rows], vector_env.rules, draw, len(rows),
                    vector_env.chess960)
        games._vector_env, games._rows = vector_env, rows
        return games

    @classmethod
    def of_envs(cls, envs: Sequence[ChessEnv], rng: np.random.Generator) -> "Games":
        """Games of ChessEnvs (all played by the first one's rules and
        castling); random actions drawn from rng."""
        envs = list(envs)
        rules = envs[0].rules if envs else "classic"
        chess960 = envs[0].chess960 if envs else False

        def draw():
            actions = np.empty(len(envs), np.int64)
            for i, env in enumerate(envs):
                legal = env.legal_actions()
                if legal.size == 0:
                    raise ValueError(f"game {i} is over: it has no legal move to play")
                actions[i] = rng.choice(legal)
            return actions

        return cls(lambda: [env.save_state() for env in envs], rules, draw, len(envs), chess960)

    def __len__(self) -> int:
        return self._size

    @property
    def states(self) -> list[State]:
        if callable(self._states):
            self._states = self._states()
        return self._states

    def random_actions(self) -> np.ndarray:
        return self._random_actions()

    def roots(self) -> dict:
        """The games as the roots of a native search: keyword arguments of
        MCTS.set_roots, UCT.set_roots and MaterialSearch.choose, the
        VectorEnv and its rows for games of_rows (no State is made), else the
        states and their rules."""
        if self._vector_env is not None:
            return {"roots": self._vector_env, "rows": self._rows}
        return {"roots": self.states, "rules": self.rules}

    def envs(self) -> list[ChessEnv]:
        out = []
        for state in self.states:
            env = ChessEnv(self.rules, chess960=self.chess960)
            env.restore_state(state)
            out.append(env)
        return out


@dataclasses.dataclass
class Thought:
    """One game's answer with what the search saw: the action, the value of
    the root for the side to move (centipawns, or a mate in ``mate`` moves,
    negative when mated), the nodes searched, the principal variation
    (actions from the root) and, for a search by depth, the depth reached."""

    action: int
    cp: int | None = None
    mate: int | None = None
    nodes: int = 0
    pv: list[int] = dataclasses.field(default_factory=list)
    depth: int | None = None  # the plies searched whole, where the search goes by depth


class Player(Protocol):
    name: str

    def start(self, seed: int) -> None: ...

    def choose(self, games: Games) -> np.ndarray: ...


def chosen_actions(player, games: Games) -> np.ndarray:
    """player.choose(games) as int64, one action per game: TypeError naming
    the player for anything but integers (a cast would play 3.7 as action
    3), RuntimeError for another count of actions. Legality is the caller's
    to check: the step that plays them refuses an illegal one."""
    returned = player.choose(games)
    name = getattr(player, "name", type(player).__name__)
    if returned is None:  # a choose that forgot its return, not "1 actions"
        raise TypeError(f"the player {name!r} returned None, not one action per game")
    chosen = np.asarray(returned)
    if chosen.size != len(games):
        raise RuntimeError(f"the player {name!r} returned {chosen.size} actions for {len(games)} games")
    if chosen.size and chosen.dtype.kind not in "iu":
        raise TypeError(f"the player {name!r} must return integer actions, got dtype {chosen.dtype}")
    return chosen.astype(np.int64).reshape(-1)


class BasePlayer:
    """What every built-in player shares: the name, seeding, and ``think``
    through ``choose``."""

    name = "player"

    _draws: np.random.Generator | None = None

    def start(self, seed: int) -> None:
        self.seed = int(seed)
        self._draws = np.random.default_rng(self.seed)

    def choose(self, games: Games) -> np.ndarray:  # pragma: no cover - every player overrides it
        raise NotImplementedError

    def think(self, env: ChessEnv, *, nodes: int | None = None, depth: int | None = None,
              deadline: float | None = None, stop: threading.Event | None = None,
              report: Callable[[Thought], None] | None = None) -> Thought:
        """The move for one game. nodes, depth and deadline (a
        time.monotonic() value) bound the search where the player has one;
        stop ends it early with the best move so far. A deadline of
        math.inf is analysis: no clock, the search goes on (as deep as the
        player goes) until stop. report, when given, is called with the best
        so far as the search goes: about once a second, or, for a search by
        depth, as each depth is searched whole."""
        # One stream of draws from the seed for every move: a generator made
        # again at each move would draw the same number each time.
        if self._draws is None:
            self._draws = np.random.default_rng(getattr(self, "seed", 0))
        return Thought(int(chosen_actions(self, Games.of_envs([env], self._draws))[0]))

    def close(self) -> None:
        pass

    def __repr__(self) -> str:
        return self.name


class Random(BasePlayer):
    """Uniformly random legal moves. In a match the moves come from the
    match's seeded native generator; alone (the UCI front end) from seed."""

    def __init__(self, seed: int = 0):
        self.seed = integer(seed, "seed", 0, bools=False)
        self.name = "Random"

    def choose(self, games: Games) -> np.ndarray:
        return games.random_actions()


class Material(BasePlayer):
    """Native alpha-beta on material alone, depth plies deep (1 to 8), with
    mates found at every node searched; equal moves are broken by a seeded
    draw. A weak, fast and reproducible reference."""

    def __init__(self, depth: int = 1, seed: int = 0):
        self.seed = integer(seed, "seed", 0, bools=False)
        self.depth = integer(depth, "depth", 1, MATERIAL_DEEPEST, bools=False)
        self._search = self._made(self.depth)
        self.name = f"Material({self.depth})"

    def __getstate__(self):
        # The native search is made again where the player is unpickled; its
        # draws go along, so a copy goes on choosing as the original would.
        draws = self._search.draws if self._search is not None else None
        return {**self.__dict__, "_search": None, "_search_draws": draws}

    def __setstate__(self, state):
        state = dict(state)
        draws = state.pop("_search_draws", None)
        self.__dict__.update(state)
        if draws is not None:
            self._native().draws = draws

    def start(self, seed: int) -> None:
        super().start(seed)
        self._search = self._made(self.depth)

    def _made(self, depth: int) -> MaterialSearch:
        # The native search's draws take a 64-bit seed; a larger one (any
        # non-negative int seeds the other players) is folded into 64 bits.
        if self.seed < 2**64:
            return MaterialSearch(depth, seed=self.seed)
        return MaterialSearch(depth, seed=int(np.random.SeedSequence(self.seed).generate_state(1, np.uint64)[0]))

    def _native(self):
        if self._search is None:
            self._search = self._made(self.depth)
        return self._search

    def choose(self, games: Games) -> np.ndarray:
        return self._native().choose(**games.roots())[0]

    def think(self, env, *, nodes=None, depth=None, deadline=None, stop=None, report=None) -> Thought:
        # Deepened a ply at a time, so a clock or a stop ends the search with
        # the move of the deepest depth searched whole; reaching its depth it
        # plays as choose does. Analysis (no clock) goes to the deepest depth.
        # report hears of each depth as it is searched whole.
        search = self._native()
        _checked_deadline(deadline)
        if depth is None and deadline == math.inf:
            depth = MATERIAL_DEEPEST
        if depth is not None and depth != search.depth:
            search = self._made(max(1, min(MATERIAL_DEEPEST, int(depth))))
        seconds = None if deadline is None or deadline == math.inf else max(0.0, deadline - time.monotonic())
        told = None if report is None else lambda *so_far: report(self._thought(*so_far))
        # A node budget given is at least one position (0 is none to the
        # native search) and at most what it counts.
        budget = 0 if nodes is None else max(1, min(MATERIAL_MOST_NODES, int(nodes)))
        return self._thought(*search.think(env, nodes=budget, seconds=seconds, stop=stop, report=told))

    @staticmethod
    def _thought(action: int, score: int, nodes: int, depth: int) -> Thought:
        thought = Thought(action, nodes=nodes, pv=[action], depth=depth)
        if abs(score) >= MATE_BOUND:
            mate = (MATE_SCORE - abs(score) + 2) // 2
            thought.mate = mate if score > 0 else -mate
        else:
            thought.cp = score
        return thought


def _checked_deadline(deadline: float | None) -> float | None:
    """think's deadline: None, a time.monotonic() value, or math.inf. NaN
    is refused: compared with the clock it is never reached, so a search
    bounded by it alone would never end."""
    if deadline is not None and math.isnan(deadline):
        raise ValueError("deadline must be a time.monotonic() value (or math.inf), got nan")
    return deadline


def _move_budget(nodes: int | None, deadline: float | None, simulations: int) -> int | None:
    """Simulations of one move's search: nodes when given (at least one: a
    move needs a search), none when a deadline bounds it, else the player's."""
    _checked_deadline(deadline)
    if nodes is not None:
        return max(1, int(nodes))
    return None if deadline is not None else simulations


def copy_of(env: ChessEnv, rules: str | None = None) -> ChessEnv:
    """The game of env in a new ChessEnv (by other draw rules when given),
    which writes castling as env does."""
    copy = ChessEnv(rules or env.rules, chess960=env.chess960)
    copy.restore_state(env.save_state())
    return copy


def _mates_at_once(env: ChessEnv, action: int) -> bool:
    after = copy_of(env)
    after.play(action)
    return after.in_check() and after.legal_actions().size == 0


def value_to_cp(value: float) -> int:
    """A root value in [-1, 1] as centipawns (tanh scale, clipped)."""
    value = max(-0.999, min(0.999, float(value)))
    return int(round(CP_SCALE * math.atanh(value)))


class _SearchCache:
    """Search objects of a player by batch size, the most recent few kept:
    a search's trees are fixed at construction, and a batch shrinks as its
    games end. A search past the player's own simulations (unbounded) has
    trees of its own, with room for a long search."""

    def __init__(self, make: Callable[[int, int, bool], object]):
        self.make = make
        self.kept: OrderedDict[tuple[int, bool], object] = OrderedDict()
        self.seed = 0

    def restart(self, seed: int) -> None:
        self.kept.clear()
        self.seed = seed

    def get(self, size: int, unbounded: bool = False):
        key = (size, unbounded)
        if key in self.kept:
            self.kept.move_to_end(key)
            return self.kept[key]
        entropy = [self.seed, size, 1] if unbounded else [self.seed, size]
        search = self.make(size, int(np.random.SeedSequence(entropy).generate_state(1, np.uint64)[0]), unbounded)
        self.kept[key] = search
        while len(self.kept) > KEPT_SEARCHES:
            self.kept.popitem(last=False)
        return search


class _SearchPlayer(BasePlayer):
    """A player on a native search: its searches by batch size (see
    _SearchCache), made by the subclass's _make(size, seed) and restarted
    from the player's seed by start. A pickle or a copy carries the state of
    their seeded draws, and makes the searches again from it."""

    _cache: _SearchCache | None = None

    def _make(self, size: int, seed: int, unbounded: bool):  # pragma: no cover - every search player overrides it
        raise NotImplementedError

    def __getstate__(self):
        # The native searches are made again where the player is unpickled;
        # their draws go along, so a copy goes on choosing as the original
        # would.
        kept = [(key, search.draws) for key, search in self._cache.kept.items()] if self._cache else []
        return {**self.__dict__, "_cache": None, "_search_draws": kept}

    def __setstate__(self, state):
        state = dict(state)
        kept = state.pop("_search_draws", [])
        self.__dict__.update(state)
        for key, draws in kept:
            self._searches().get(*key).draws = draws

    def start(self, seed: int) -> None:
        super().start(seed)
        self._searches().restart(self.seed)

    def _one_game_search(self, env: ChessEnv, budget: int | None):
        """think's search of env, and whether it is unbounded: a search past
        the player's own simulations gets a tree with room for them."""
        unbounded = budget is None or budget > self.simulations
        search = self._searches().get(1, unbounded=unbounded)
        search.set_roots([env])
        return search, unbounded

    def _searches(self) -> _SearchCache:
        if self._cache is None:
            self._cache = _SearchCache(self._make)
            self._cache.restart(self.seed)
        return self._cache


class UCT(_SearchPlayer):
    """varnok.UCT: simulations random roll-outs per move (with the mate
    solver), the most visited move (a proved win first)."""

    def __init__(self, simulations: int = 800, exploration: float = math.sqrt(2), seed: int = 0,
                 threads: int = 1):
        self.simulations = integer(simulations, "simulations", 1, MAX_UCT_SIMULATIONS, bools=False)
        self.exploration = float(exploration)
        self.seed = integer(seed, "seed", 0, bools=False)
        self.threads = integer(threads, "threads", 1, 1024, bools=False)
        self.name = f"UCT({self.simulations})"

    def _make(self, size: int, seed: int, unbounded: bool):
        # Each simulation adds at most one node's children (a few dozen nodes).
        budget = UCT_UNBOUNDED_NODES if unbounded else min(UCT_UNBOUNDED_NODES, 64 * self.simulations + 256)
        return _UCT(size, exploration=self.exploration, node_budget=budget, num_threads=self.threads, seed=seed)

    def choose(self, games: Games) -> np.ndarray:
        search = self._searches().get(len(games))
        search.set_roots(**games.roots())
        search.run(self.simulations)
        return search.best_actions()

    def think(self, env, *, nodes=None, depth=None, deadline=None, stop=None, report=None) -> Thought:
        budget = _move_budget(nodes, deadline, self.simulations)
        search, _ = self._one_game_search(env, budget)
        done = 0
        step = 64
        progress = _Progress(report, lambda: self._thought(env, search, done))
        while budget is None or done < budget:
            # The first simulations run whatever the clock says: a move needs a search.
            if done and ((stop is not None and stop.is_set()) or (deadline is not None and time.monotonic() >= deadline)):
                break
            run = step if budget is None else min(step, budget - done)
            ran = int(search.run(run)[0])
            done += ran
            if ran < run:  # the root is proved
                break
            progress.tick()
        return self._thought(env, search, done)

    @staticmethod
    def _thought(env: ChessEnv, search, done: int) -> Thought:
        action = int(search.best_actions()[0])
        value = float(search.root_values()[0])
        line = search.principal_variation(0).tolist() or [action]
        # The solver proves a result but not its distance: only a mate on the
        # move itself is told as a mate, any longer one as the value's score.
        if bool(search.solved()[0]) and value > 0 and _mates_at_once(env, action):
            return Thought(action, mate=1, nodes=done, pv=line)
        return Thought(action, cp=value_to_cp(value), nodes=done, pv=line)


class MCTS(_SearchPlayer):
    """varnok.MCTS driven by evaluate(obs, legal_mask) -> (priors, values),
    the same kind of function as ``selfplay --policy`` (values for the side
    to move; priors as probabilities, or logits with logits=True). Every game
    this player moves in is searched together: each of the simulations
    rounds sends one batch (leaves_per_tree leaves per game) to evaluate, its
    observations in obs_dtype (as MCTS takes it: float32 (n, 119, 8, 8), or
    packed uint64 (n, 119)). No root noise; the most visited move is played."""

    def __init__(self, evaluate: Callable | str, simulations: int = 200, *, logits: bool = False,
                 c_puct: float = 1.25, leaves_per_tree: int = 1, seed: int = 0, threads: int = 1,
                 obs_dtype: str = "float32", name: str | None = None):
        if isinstance(evaluate, str):
            from varnok._selfplay import load_policy
            target = evaluate
            evaluate = load_policy(target)
            self._target = target
        else:
            if not callable(evaluate):
                raise TypeError(f"evaluate must be callable or module:function, got {type(evaluate).__name__}")
            self._target = None
        self.evaluate = evaluate
        self.simulations = integer(simulations, "simulations", 1, bools=False)
        self.leaves_per_tree = integer(leaves_per_tree, "leaves_per_tree", 1, 256, bools=False)
        self.logits = bool(logits)
        self.c_puct = float(c_puct)
        self.seed = integer(seed, "seed", 0, bools=False)
        self.threads = integer(threads, "threads", 1, 1024, bools=False)
        if obs_dtype not in ("float32", "int32", "uint8", "packed"):
            raise ValueError(f"obs_dtype must be 'float32', 'int32', 'uint8' or 'packed', got {obs_dtype!r}")
        self.obs_dtype = obs_dtype
        fn = self._target or getattr(evaluate, "__name__", "evaluate")
        self.name = name or f"MCTS({fn},{self.simulations})"

    def __getstate__(self):
        state = super().__getstate__()
        if self._target is not None:
            state["evaluate"] = None  # imported again where it is unpickled
        return state

    def __setstate__(self, state):
        super().__setstate__(state)
        if self.evaluate is None:
            from varnok._selfplay import load_policy
            self.evaluate = load_policy(self._target)

    def _make(self, size: int, seed: int, unbounded: bool):
        budget = MCTS_UNBOUNDED_NODES if unbounded else min(MCTS_UNBOUNDED_NODES,
                                                             64 * (self.simulations * self.leaves_per_tree + 4))
        return _MCTS(size, c_puct=self.c_puct, dirichlet_fraction=0.0, node_budget=budget,
                     num_threads=self.threads, seed=seed, obs_dtype=self.obs_dtype)

    def _round(self, search) -> int:
        leaves = search.select(leaves_per_tree=self.leaves_per_tree)
        if len(leaves) == 0:
            search.expand(np.zeros((0, ACTIONS), np.float32), np.zeros(0, np.float32))
            return 0
        priors, values = self.evaluate(leaves.obs, leaves.legal_mask)
        search.expand(np.asarray(priors, np.float32), np.asarray(values, np.float32).reshape(-1),
                      logits=self.logits)
        return len(leaves)

    def choose(self, games: Games) -> np.ndarray:
        search = self._searches().get(len(games))
        search.set_roots(**games.roots())
        for _ in range(self.simulations):
            self._round(search)
        return search.choose_actions(0.0)

    def think(self, env, *, nodes=None, depth=None, deadline=None, stop=None, report=None) -> Thought:
        budget = _move_budget(nodes, deadline, self.simulations)
        search, unbounded = self._one_game_search(env, budget)
        done = 0
        progress = _Progress(report, lambda: self._thought(search, done))
        while budget is None or done < budget:
            if (stop is not None and stop.is_set()) or (deadline is not None and time.monotonic() >= deadline):
                if done > 0:
                    break
            if (self._round(search) == 0 and unbounded
                    and int(search.node_counts()[0]) + MOST_LEGAL_MOVES > MCTS_UNBOUNDED_NODES):
                break  # the tree is full: a descent may need more nodes than it has left
            done += 1
            progress.tick()
        return self._thought(search, done)

    @staticmethod
    def _thought(search, done: int) -> Thought:
        action = int(search.choose_actions(0.0)[0])
        line = search.principal_variation(0).tolist() or [action]
        return Thought(action, cp=value_to_cp(float(search.root_values()[0])), nodes=done, pv=line)


class _Progress:
    """Calls report with the search's best so far (from thought()) about
    every REPORT_SECONDS; nothing without a report."""

    def __init__(self, report: Callable[[Thought], None] | None, thought: Callable[[], Thought]):
        self.report = report
        self.thought = thought
        self.next = time.monotonic() + REPORT_SECONDS

    def tick(self) -> None:
        if self.report is not None and time.monotonic() >= self.next:
            self.report(self.thought())
            self.next = time.monotonic() + REPORT_SECONDS


def _find_command(command: str | Sequence[str]) -> str | list[str]:
    if isinstance(command, str):
        found = shutil.which(command) or shutil.which(command, path="/usr/games:/usr/local/games")
        if found is None:
            raise ValueError(f"UCI engine {command!r} not found on the PATH or in /usr/games")
        return found
    return list(command)


def _board_of(env: ChessEnv):
    """python-chess's board of the start of env's game, Chess960 where the
    game is. A Chess960 game restored into a standard ChessEnv (or VectorEnv)
    goes on castling as Chess960 though the env's chess960 option is off;
    read as standard chess, its board would drop the castling rights of a
    king or rook off its standard square."""
    import chess
    start = env.save_state().start_fen
    board = chess.Board(start, chess960=env.chess960)
    if not board.chess960:
        chess960 = chess.Board(start, chess960=True)
        if chess960.clean_castling_rights() != board.clean_castling_rights():
            return chess960
    return board


class UCIEngine(BasePlayer):
    """Any UCI engine, driven through python-chess's chess.engine module.
    command: the program (looked up on the PATH and in /usr/games) or an
    argument list; options: UCI options such as {"Skill Level": 0, "Threads":
    1, "UCI_LimitStrength": True, "UCI_Elo": 1350}; limit: a
    chess.engine.Limit or a dict of its fields (nodes, depth, time in
    seconds). timeout: the seconds an engine may take to answer one search
    beyond the limit's own time (None waits as long as it takes); an engine
    that takes longer is ended and TimeoutError names it. The engine process
    starts on first use (again after such an end) and ends with close()."""

    def __init__(self, command: str | Sequence[str] = "stockfish", options: dict | None = None,
                 limit=None, name: str | None = None, timeout: float | None = UCI_MOVE_SECONDS):
        import chess.engine
        if timeout is not None:
            if isinstance(timeout, bool) or not isinstance(timeout, (int, float, np.integer, np.floating)):
                raise TypeError(f"timeout must be a number of seconds or None, got {type(timeout).__name__}")
            if not 0 < timeout < math.inf:
                raise ValueError(f"timeout must be a positive number of seconds, got {timeout}")
            timeout = float(timeout)
        self.timeout = timeout
        self.command = command
        self.options = dict(options or {})
        if limit is None:
            limit = chess.engine.Limit(nodes=1000)
        elif isinstance(limit, dict):
            limit = chess.engine.Limit(**limit)
        elif not isinstance(limit, chess.engine.Limit):
            raise TypeError(f"limit must be a chess.engine.Limit or a dict, got {type(limit).__name__}")
        # python-chess sends nodes 0 (or less) as "go nodes 1": the engine
        # would search one node under a name that says 0.
        for field in ("nodes", "depth"):
            if getattr(limit, field) is not None:
                integer(getattr(limit, field), f"limit {field}", 1, bools=False)
        if limit.time is not None and not (isinstance(limit.time, (int, float)) and 0 < limit.time < math.inf):
            raise ValueError(f"limit time must be a positive number of seconds, got {limit.time!r}")
        self.limit = limit
        short = command if isinstance(command, str) else command[0]
        short = short.rsplit("/", 1)[-1]
        shown = [f"{k}={v}" for k, v in (("nodes", limit.nodes), ("depth", limit.depth), ("time", limit.time))
                 if v is not None] + [f"{k}={v}" for k, v in self.options.items()]
        self.name = name or f"{short}({','.join(shown)})"
        self._engine = None
        self._game = object()

    def __getstate__(self):
        return {**self.__dict__, "_engine": None}

    def _open(self):
        if self._engine is None:
            import chess.engine
            try:
                self._engine = chess.engine.SimpleEngine.popen_uci(_find_command(self.command),
                                                                   timeout=UCI_ANSWER_SECONDS)
            except TimeoutError:  # python-chess's own has no text
                raise TimeoutError(f"UCI engine {self.command!r} did not answer uci with uciok within "
                                   f"{UCI_ANSWER_SECONDS:g} s") from None
            if self.options:
                self._engine.configure(self.options)
        return self._engine

    def start(self, seed: int) -> None:
        super().start(seed)
        # A new token makes python-chess send ucinewgame before the next
        # search: the engine's hash and histories from earlier games would
        # otherwise change its moves, and a block's games would depend on
        # what the same process played before.
        self._game = object()

    def choose(self, games: Games) -> np.ndarray:
        import chess
        engine = self._open()
        out = np.empty(len(games), np.int64)
        for i, env in enumerate(games.envs()):
            board = _board_of(env)
            for move in env.moves_uci():
                board.push_uci(move)
            played = self._played(engine, board)
            if played.move is None:  # bestmove (none): the engine sees no move to play
                raise RuntimeError(f"UCI engine {self.name} gave no move in {board.fen()}")
            out[i] = env.uci_to_action(played.move.uci())
        return out

    def _played(self, engine, board):
        """engine.play under the timeout: python-chess waits for ever for an
        engine searching by nodes or depth, so one that never answers go
        would hang the match. It is ended when the time is up."""
        if self.timeout is None:
            return engine.play(board, self.limit, game=self._game)
        import chess.engine
        ended = threading.Event()

        def end():
            ended.set()
            engine.close()

        timer = threading.Timer(self.timeout + (self.limit.time or 0), end)
        timer.daemon = True
        timer.start()
        try:
            return engine.play(board, self.limit, game=self._game)
        except chess.engine.EngineTerminatedError:
            if not ended.is_set():
                raise
            raise TimeoutError(f"UCI engine {self.name} did not answer go within {self.timeout:g} s "
                               f"(beyond the limit's own time) in {board.fen()}") from None
        finally:
            timer.cancel()
            if ended.is_set():  # ended, even if just as it answered: started again on the next use
                self._engine = None

    def close(self) -> None:
        if self._engine is not None:
            try:
                self._engine.quit()
            except Exception:  # noqa: BLE001  (the engine may have died already, or not answer)
                pass
            finally:
                # An engine that does not end at quit (stuck, or deaf to it)
                # is ended here: its process would keep this one from exiting.
                self._engine.close()
                self._engine = None


def _option_value(text: str):
    low = text.strip().lower()
    if low in ("true", "false"):
        return low == "true"
    try:
        return int(text)
    except ValueError:
        return text.strip()


def player_from_text(text: str, seed: int = 0) -> BasePlayer:
    """A player from its command-line text: ``random``, ``material:2``,
    ``uct:800``, ``mcts:module:function:200`` (add ``:logits`` for a function
    that returns logits), ``torch:net.pt:200`` (MCTS over a checkpoint's
    network, see varnok.train; needs PyTorch) or ``uci:stockfish:nodes=1000,Skill Level=0`` (the
    limit fields nodes, depth, movetime in ms; timeout in seconds, as
    UCIEngine takes it; every other name=value is a UCI option). ValueError
    naming the text for anything else."""
    if not isinstance(text, str):
        raise TypeError(f"a player must be given as text, got {type(text).__name__}")
    kind, _, rest = text.partition(":")
    kind = kind.strip().lower()
    try:
        if kind == "random" and not rest:
            return Random(seed)
        if kind == "material":
            return Material(int(rest) if rest else 1, seed=seed)
        if kind == "uct":
            return UCT(int(rest) if rest else 800, seed=seed)
        if kind == "mcts":
            parts = rest.split(":")
            logits = parts[-1] == "logits"
            if logits:
                parts = parts[:-1]
            if len(parts) != 3:
                raise ValueError("give mcts:module:function:simulations")
            return MCTS(f"{parts[0]}:{parts[1]}", int(parts[2]), logits=logits, seed=seed)
        if kind == "torch":
            path, colon, simulations = rest.rpartition(":")
            if not colon or not path or not simulations.strip().isdigit():
                raise ValueError("give torch:CHECKPOINT:SIMULATIONS")
            try:
                from varnok import train  # torch is imported only for a network player
            except ImportError as exc:
                raise ValueError(f"a network player needs PyTorch (pip install varnok[torch]): {exc}") from None
            return train.player(path, int(simulations), seed=seed)
        if kind == "uci":
            command, _, settings = rest.partition(":")
            if not command:
                raise ValueError("give uci:COMMAND[:name=value,...]")
            limit, options, timeout = {}, {}, UCI_MOVE_SECONDS
            for item in filter(None, (s.strip() for s in settings.split(","))):
                name, eq, value = item.partition("=")
                if not eq:
                    raise ValueError(f"{item!r} is not name=value")
                if name in ("nodes", "depth"):
                    limit[name] = int(value)
                elif name == "movetime":
                    limit["time"] = int(value) / 1000
                elif name == "timeout":
                    timeout = float(value)
                else:
                    options[name] = _option_value(value)
            return UCIEngine(command, options, limit or None, timeout=timeout)
    except ValueError as exc:
        raise ValueError(f"player {text!r}: {exc}") from None
    raise ValueError(f"player {text!r}: expected random, material:DEPTH, uct:SIMULATIONS, "
                     "mcts:MODULE:FUNCTION:SIMULATIONS, torch:CHECKPOINT:SIMULATIONS or uci:COMMAND[:name=value,...]")

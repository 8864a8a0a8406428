"""Self-play of one shard: its games side by side in one VectorEnv with one
search tree per game.

Everything random in a shard (the environment's draws of start positions,
the search's noise and sampling, the temperature draws) comes from
the shard's own seed, and the search runs with a fixed thread count, so a
shard's games depend on nothing but its seed and the job's parameters: not
on which worker plays it, nor on how many workers there are.
"""

from __future__ import annotations

import importlib
import stat
from pathlib import Path

import numpy as np

from varnok._core import ACTIONS, MAX_THREADS  # MAX_THREADS: as VectorEnv and the searches take num_threads
from varnok._shards import GameRecord, encode_shard

SEARCHES = ("uct", "uniform", "policy")


def shard_seed(seed: int, shard: int) -> int:
    """A shard's own seed, independent of every other shard's."""
    return int(np.random.SeedSequence([seed, shard]).generate_state(1, np.uint32)[0])


def check_policy_name(target) -> tuple[str, str]:
    """(module, function) of a `module:function` text; ValueError otherwise."""
    if not isinstance(target, str):
        raise TypeError(f"policy must be a str, module:function, got {target!r}")
    module, sep, name = target.partition(":")
    if not sep or not module or not name:
        raise ValueError(f"policy must be given as module:function, got {target!r}")
    return module, name


def load_policy(target: str):
    """`module:function`; the function maps (obs float32 (n, 119, 8, 8),
    legal_mask bool (n, 4672)) to (priors (n, 4672), values (n,)), values for
    the side to move. ValueError when the module cannot be imported or has no
    such function."""
    module, name = check_policy_name(target)
    try:
        found = importlib.import_module(module)
    except Exception as exc:  # noqa: BLE001  (ImportError, or whatever the module raised while loading)
        raise ValueError(f"policy {target}: cannot import {module} ({type(exc).__name__}: {exc})") from None
    fn = getattr(found, name, None)
    if not callable(fn):
        raise ValueError(f"policy {target}: {name} is not a function of {module}")
    return fn


def try_policy(target: str, logits: bool = False) -> None:
    """Imports the policy and asks it once for a batch of two start
    positions, in this process, before any worker starts: a policy that
    cannot be imported, fails or answers in the wrong shape raises one
    ValueError naming it, instead of failing in every worker."""
    from varnok import MCTS, ChessEnv
    fn = load_policy(target)
    env = ChessEnv()
    env.reset()
    batch = 2
    # The leaves of a search, asked and checked as every worker's search will.
    search = MCTS(batch, seed=0, num_threads=1, obs_dtype="float32")
    search.set_roots([env] * batch)
    leaves = search.select()
    try:
        priors, values = fn(leaves.obs, leaves.legal_mask)
        search.expand(np.asarray(priors, np.float32), np.asarray(values, np.float32).reshape(-1), logits=logits)
    except Exception as exc:  # noqa: BLE001  (the user's function may raise anything)
        raise ValueError(f"policy {target} failed on a batch of {batch} start positions: "
                         f"{type(exc).__name__}: {exc}") from None


def openings_from(path, plies: int | None = None, chess960: bool = False) -> list[str]:
    """Start positions: a file of FEN or EPD lines (EPD operations after the
    four position fields are dropped), or a PGN file whose games' positions
    after plies plies (after all their moves when plies is None or a game
    has fewer: an opening book's lines) are the starts; Chess960 positions
    (X-FEN or Shredder-FEN castling) with chess960. ValueError naming the
    file and the line (of the position, or of the game's start) that cannot
    be used, or a device (/dev/zero) given as the file."""
    from varnok import ChessEnv, read_pgn
    from varnok._checks import integer, load_start
    from varnok._pgn import is_pgn_name
    if plies is not None:
        plies = integer(plies, "plies", 0)
    env = ChessEnv(chess960=chess960)
    try:
        mode = Path(path).stat().st_mode
    except OSError:
        mode = 0  # a path that cannot be read is named by the reading below
    if stat.S_ISCHR(mode) or stat.S_ISBLK(mode):
        # /dev/zero or a disk never ends (read whole, it would fill the
        # memory), /dev/null holds nothing: a device is no openings file. A
        # pipe is one, its text read once as it comes.
        raise ValueError(f"{path}: a device, not a file of openings (a regular file or a pipe is)")
    # A byte-order mark (Windows editors write one) is dropped; bytes that
    # are no UTF-8 (a Latin-1 name in an EPD operation) cannot spoil a FEN.
    pgn = is_pgn_name(Path(path))
    text = "" if pgn else Path(path).read_bytes().decode("utf-8-sig", errors="replace")
    if pgn or text.lstrip().startswith("["):
        # A .pgn file is read by the PGN reader itself: any encoding,
        # compressed, with or without tags. Other PGN text, read whole above,
        # is given as text: a pipe (/dev/stdin, a shell's <(zcat book.pgn.gz))
        # gives its bytes once, and opened again would be found empty.
        source = Path(path) if pgn else text if "\n" in text else text.lstrip()
        fens = []
        try:
            for game in read_pgn(source, errors="raise"):  # a game that cannot be read names its line
                try:
                    load_start(env, game.start_fen)
                except ValueError as exc:
                    raise ValueError(f"line {game.line}: {exc}") from None
                # By the moves' text, which reads castling in either convention:
                # a game's actions encode castling as its own chess does.
                for move in game.uci[:plies]:
                    env.play(env.uci_to_action(move))
                fens.append(env.fen())
        except ValueError as exc:
            raise ValueError(f"{path}, {exc}") from None  # the file, as a FEN line's refusal names it
        return fens
    fens = []
    for number, line in enumerate(text.splitlines(), 1):
        fields = line.split("#")[0].split()
        if not fields:
            continue
        # FEN: six fields ending in the two clocks; EPD: four, then
        # operations, each led by an opcode, which starts with a letter. A
        # number after the four fields is a clock, and the line a FEN whose
        # clocks load_fen judges: one missing or broken is refused rather
        # than replaced by "0 1".
        if len(fields) > 4 and fields[4].lstrip("+-").isdigit():
            fen = " ".join(fields[:6])
        else:
            fen = " ".join(fields[:4]) + " 0 1"
        try:
            load_start(env, fen)  # a faulty FEN fails here, naming the field
        except ValueError as exc:
            raise ValueError(f"{path}, line {number}: {exc}") from None
        fens.append(fen)
    return fens


class SelfPlayer:
    """Holds what a worker needs between shards: the policy function."""

    def __init__(self, cfg: dict):
        self.cfg = cfg
        if cfg["search"] not in SEARCHES:
            raise ValueError(f"search must be one of {', '.join(SEARCHES)}, got {cfg['search']!r}")
        self.policy = load_policy(cfg["policy"]) if cfg["search"] == "policy" else None

    def play(self, task: dict) -> tuple[bytes, dict]:
        from varnok import MCTS, UCT, ChessEnv, VectorEnv
        cfg = self.cfg
        n, seed = task["games"], task["seed"]
        threads = cfg.get("threads", 1)
        venv = VectorEnv(n, num_threads=threads, seed=seed, obs_dtype="packed", max_steps=cfg["max_plies"],
                         copy=True, rules=cfg.get("rules", "classic"), chess960=cfg.get("chess960", False))
        if cfg.get("openings"):
            venv.set_start_positions(cfg["openings"])
        step = venv.reset()
        uct = cfg["search"] == "uct"
        if uct:
            search = UCT(n, seed=seed, num_threads=threads)
        else:
            search = MCTS(n, seed=seed, num_threads=threads, c_puct=cfg["c_puct"],
                          dirichlet_alpha=cfg["dirichlet_alpha"], dirichlet_fraction=cfg["dirichlet_fraction"],
                          obs_dtype="float32" if self.policy else "packed")
            search.set_roots(venv)
        starts = [venv.save_state(i).start_fen for i in range(n)]
        obs = [[] for _ in range(n)]
        actions = [[] for _ in range(n)]
        policy = [[] for _ in range(n)]
        result = [None] * n
        ply = np.zeros(n, np.int64)
        while any(r is None for r in result):
            if uct:
                search.set_roots(venv)
                search.run(cfg["simulations"])
            else:
                self._grow(search)
            visits = search.visit_counts()
            chosen = self._choose(search, ply)
            values = search.root_values() if cfg.get("resign") is not None else None
            for i in range(n):
                if result[i] is not None:
                    continue
                if values is not None and ply[i] >= cfg.get("resign_min_plies", 0) and values[i] < cfg["resign"]:
                    # The side to move gives up: the other side wins.
                    result[i] = -1 if step.to_play[i] == 0 else 1
                    continue
                obs[i].append(step.obs[i])
                actions[i].append(int(chosen[i]))
                played = np.flatnonzero(visits[i])
                policy[i].append((played.astype(np.int32), visits[i][played].astype(np.int32)))
            if not uct:
                search.advance(chosen)
            step = venv.step(chosen)
            ply += 1
            ended = np.flatnonzero(step.terminated | step.truncated)
            for i in ended:
                if result[i] is None:
                    result[i] = int(step.final_reward[i])
            if len(ended) and not uct:
                search.set_roots([venv.save_state(int(i)) for i in ended], trees=ended.tolist())
        env = ChessEnv(chess960=cfg.get("chess960", False))
        records = []
        for i in range(n):
            env.load_fen(starts[i])
            uci = []
            for a in actions[i]:
                uci.append(env.action_to_uci(a))
                env.play(a)
            records.append(GameRecord(start_fen=starts[i], actions=actions[i], uci=uci, result=result[i],
                                      obs=np.asarray(obs[i], np.uint64).reshape(-1, 119), policy=policy[i]))
        records = [r for r in records if r.actions]
        return encode_shard(task["shard"], records)

    def _grow(self, search) -> None:
        cfg = self.cfg
        k = cfg["leaves_per_tree"]
        for _ in range(max(1, cfg["simulations"] // k)):
            leaves = search.select(leaves_per_tree=k)
            if len(leaves) == 0:
                search.expand(np.zeros((0, ACTIONS), np.float32), np.zeros(0, np.float32))
                continue
            if self.policy is None:
                priors = leaves.legal_mask.astype(np.float32)
                priors /= np.maximum(priors.sum(axis=1, keepdims=True), 1)
                values = np.zeros(len(leaves), np.float32)
                search.expand(priors, values)
            else:
                # Tried once before the job; a later batch (other positions, another size) may still fail.
                try:
                    priors, values = self.policy(leaves.obs, leaves.legal_mask)
                    search.expand(np.asarray(priors, np.float32), np.asarray(values, np.float32).reshape(-1),
                                  logits=cfg.get("logits", False))
                except Exception as exc:  # noqa: BLE001  (the user's function may raise anything)
                    raise ValueError(f"policy {cfg['policy']} failed on a batch of {len(leaves)} positions: "
                                     f"{type(exc).__name__}: {exc}") from exc

    def _choose(self, search, ply) -> np.ndarray:
        """The moves to play: drawn by visits at the temperature for the
        first temperature_plies plies, the search's best after them."""
        cfg = self.cfg
        temperature, explore = cfg["temperature"], cfg["temperature_plies"]
        greedy = search.choose_actions(0.0)
        if temperature <= 0:
            return greedy
        return np.where(ply < explore, search.choose_actions(temperature), greedy)

"""AlphaZero in PyTorch on varnok: self-play with the batched MCTS, training
on the improved policies and outcomes, evaluation with the arena.

One run lives in a folder (``--run``): ``checkpoint.pt`` (the network, the
optimiser, the counters and the replay buffer, written before and after
every evaluation and at the end: a run started again with the same folder
goes on from there, first with an evaluation it was stopped in) and ``log.jsonl`` (one line per evaluation: time, training steps,
and the Elo with its 95% interval against the previous checkpoint, the
untrained network and ``Material(1)``; strict JSON, an infinite Elo or bound
written as null: the score says which end). ``--plot`` draws the log as a curve.

How it works:
- Self-play: ``--games`` games on a ``VectorEnv`` (packed observations), one
  ``varnok.MCTS`` tree each; every round of a move's search sends the leaves
  of all trees to the network as one batch, unpacked on the device. Moves are
  drawn in proportion to visits for the first ``--explore`` plies, the most
  visited after; root noise as AlphaZero's. With ``--root gumbel`` the root
  samples ``--considered`` actions by the Gumbel-Top-k trick and halves them
  down to the move played, and the policy target is softmax(logits +
  sigma(completed Q)), which says more than visit shares after a few
  simulations (Gumbel MuZero). A game longer than
  ``--max-plies`` is a draw, or with ``--adjudicate N`` a win for the side
  ahead by N points of material or more (pawn 1, knight and bishop 3, rook
  5, queen 9). With ``--workers K`` the games are played on K Ray worker
  processes, each with ``--games`` games and a copy of the network sent
  before every round.
- Training: a replay buffer of the last ``--buffer`` positions (packed, 952
  bytes each), ``--train-steps`` Adam steps of ``--batch`` positions after
  every ``--moves-per-round`` moves of self-play; loss = ``--policy-weight``
  times the cross-entropy to the search's policy (``--policy-smoothing``:
  that share of it spread uniformly over the legal moves) + squared error
  to the value target, for the side to move: the outcome, or with
  ``--material-weight w`` w times the material lead ``--horizon`` plies
  later (tanh(lead / 10); a checkmate within the horizon counts as its
  result) and 1 - w times the outcome.
- Evaluation every ``--eval-minutes``: ``varnok.arena.match`` between MCTS
  players (``--eval-simulations``, no noise) with this network and with the
  references, ``--eval-games`` games each (``--final-eval-games`` at the
  end of the budget), games longer than ``--eval-max-plies`` drawn.

    ./dev py examples/alphazero_torch.py --run runs/az --minutes 30
    ./dev py examples/alphazero_torch.py --run runs/az --plot docs/img/alphazero.png

CPU by default; ``--device cuda`` runs the network on a GPU where there is one.
"""

from __future__ import annotations

import argparse
import copy
import json
import math
import time
from pathlib import Path
from typing import Any

import numpy as np
import torch
import torch.nn.functional as F

import varnok
from varnok import arena, players
from varnok.train import ACTIONS, BLACK_TO_MOVE_PLANE, PLANES, Network, evaluator, unpack, write_checkpoint

# Points of the side to move's pawn, knight, bishop, rook and queen planes
# (the opponent's follow six planes later).
PIECE_POINTS = (1, 3, 3, 5, 9)
OPPONENT_PIECES = 6
# A batch of finished positions: packed observations, legal actions (packed
# bits), visit distributions, outcomes for the side to move.
Samples = tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]


def white_material_lead(packed: np.ndarray) -> int:
    """Material points white is ahead by in a packed observation."""
    lead = sum(points * (int(packed[p]).bit_count() - int(packed[p + OPPONENT_PIECES]).bit_count())
               for p, points in enumerate(PIECE_POINTS))
    return -lead if packed[BLACK_TO_MOVE_PLANE] else lead


# A material lead as a value for white in (-1, 1): tanh(lead / 10), so a
# pawn is worth 0.1, a queen 0.72, and leads keep apart up to some 20 points
# (a value that saturates at a minor piece cannot tell a won game from a
# piece up, and a search on it grabs material without ever converting it).
MATERIAL_VALUE_SCALE = 10.0


def material_ahead(observations: list[np.ndarray], final: np.ndarray, white_result: float, horizon: int) -> np.ndarray:
    """For each position of a finished game (packed observations, in order;
    final: the position it ended in, white_result: its result for white),
    the value for white of the material lead `horizon` plies later, or at
    the end when that comes sooner: a game ended by checkmate counts its
    result there. What a position's material turns into a few plies on
    (the exchanges and blunders it allows) is a dense and fairly reliable
    value target even while the games' outcomes are still noise."""
    leads = [white_material_lead(obs) for obs in observations]
    end = white_result if white_result != 0 else math.tanh(white_material_lead(final) / MATERIAL_VALUE_SCALE)
    values = np.tanh(np.array(leads + [0], np.float32) / MATERIAL_VALUE_SCALE)
    values[-1] = end
    return values[np.minimum(np.arange(len(observations)) + horizon, len(observations))]


LEGAL_BYTES = ACTIONS // 8
COLUMNS = ("obs", "legal", "policy", "outcome")


class ReplayBuffer:
    """The last ``capacity`` positions: packed observation, legal actions
    (one bit each), visit distribution, outcome."""

    def __init__(self, capacity: int):
        self.capacity = capacity
        self.obs = np.zeros((capacity, PLANES), np.uint64)
        self.legal = np.zeros((capacity, LEGAL_BYTES), np.uint8)
        self.policy = np.zeros((capacity, ACTIONS), np.float16)
        self.outcome = np.zeros(capacity, np.float32)
        self.size = self.next = 0

    def add(self, obs: np.ndarray, legal: np.ndarray, policy: np.ndarray, outcome: np.ndarray) -> None:
        for i in range(len(obs)):
            row = self.next
            self.obs[row], self.legal[row], self.policy[row], self.outcome[row] = obs[i], legal[i], policy[i], outcome[i]
            self.next = (self.next + 1) % self.capacity
            self.size = min(self.size + 1, self.capacity)

    def sample(self, batch: int, rng: np.random.Generator) -> tuple[np.ndarray, np.ndarray, np.ndarray, np.ndarray]:
        rows = rng.integers(0, self.size, batch)
        return (self.obs[rows], np.unpackbits(self.legal[rows], axis=1).astype(bool),
                self.policy[rows].astype(np.float32), self.outcome[rows])

    def state(self) -> dict[str, Any]:
        return {k: getattr(self, k)[:self.size] for k in COLUMNS} | {"next": self.next}

    def load(self, state: dict[str, Any]) -> None:
        n = len(state["outcome"])
        for k in COLUMNS:
            getattr(self, k)[:n] = state[k]
        self.size, self.next = n, state["next"] % self.capacity


class SelfPlay:
    """Games on a VectorEnv, each with its tree; ``play(moves)`` plays that
    many moves in every game and returns the samples of the games that ended."""

    def __init__(self, args: argparse.Namespace, network: Network, device: torch.device, seed: int):
        self.args = args
        self.venv = varnok.VectorEnv(args.games, seed=seed, obs_dtype="packed", max_steps=args.max_plies,
                                     rules="fide")
        self.search = varnok.MCTS(args.games, obs_dtype="packed", seed=seed,
                                  node_budget=args.games * args.simulations * 40, root_selection=args.root,
                                  gumbel_simulations=args.simulations, gumbel_considered=args.considered)
        self.evaluate = evaluator(network, device, packed=True)
        self.step = self.venv.reset(seed=seed)
        self.search.set_roots(self.venv)
        self.pending: list[list[tuple[np.ndarray, np.ndarray, np.ndarray, int]]] = [[] for _ in range(args.games)]
        self.plies = np.zeros(args.games, np.int64)

    def play(self, moves: int) -> Samples | None:
        done_obs, done_legal, done_policy, done_outcome = [], [], [], []
        for _ in range(moves):
            for _ in range(self.args.simulations):
                leaves = self.search.select()
                logits, values = self.evaluate(leaves.obs, leaves.legal_mask)
                self.search.expand(logits, values, logits=True)
            policy = self.search.policy()
            if self.args.root == "gumbel":  # the Gumbel draw explores already
                actions = self.search.choose_actions()
            else:
                actions = np.where(self.plies < self.args.explore, self.search.choose_actions(1.0),
                                   self.search.choose_actions(0.0))
            legal = np.packbits(self.step.legal_mask, axis=1)
            for g in range(self.args.games):
                self.pending[g].append((self.step.obs[g].copy(), legal[g], policy[g].copy(), int(self.step.to_play[g])))
            self.search.advance(actions)
            self.step = self.venv.step(actions)
            self.plies += 1
            ended = np.flatnonzero(self.step.terminated | self.step.truncated)
            for g in ended.tolist():
                final = self.step.final_obs[g]
                white = float(self.step.final_reward[g])
                if self.step.truncated[g] and self.args.adjudicate > 0:
                    lead = white_material_lead(final)
                    white = float(np.sign(lead)) if abs(lead) >= self.args.adjudicate else 0.0
                ahead = material_ahead([obs for obs, *_ in self.pending[g]], final,
                                       float(self.step.final_reward[g]), self.args.horizon)
                weight = self.args.material_weight
                for (obs, legal_bits, target, side), later in zip(self.pending[g], ahead):
                    done_obs.append(obs)
                    done_legal.append(legal_bits)
                    done_policy.append(target)
                    white_target = (1 - weight) * white + weight * later
                    done_outcome.append(white_target if side == 0 else -white_target)
                self.pending[g] = []
                self.plies[g] = 0
            if len(ended):
                self.search.set_roots([self.venv.save_state(int(g)) for g in ended], trees=ended.tolist())
        if not done_obs:
            return None
        return np.stack(done_obs), np.stack(done_legal), np.stack(done_policy), np.array(done_outcome, np.float32)


class SelfPlayWorker:
    """One Ray worker's self-play: its own games and trees, and a copy of
    the network whose weights arrive with every round."""

    def __init__(self, args: argparse.Namespace, seed: int):
        torch.set_num_threads(1)
        self.network = Network(args.blocks, args.channels)
        self.selfplay = SelfPlay(args, self.network, torch.device("cpu"), seed)

    def play(self, moves: int, weights: dict[str, torch.Tensor]) -> Samples | None:
        self.network.load_state_dict(weights)
        return self.selfplay.play(moves)


class RaySelfPlay:
    """``--workers`` SelfPlayWorkers on Ray, played one round at a time with
    the trainer's current weights; their samples come back together."""

    def __init__(self, args: argparse.Namespace, network: Network, seed: int):
        import os

        import ray

        # Ray lowers its workers' priority by default (nice 15): on a shared
        # machine they then starve while the trainer waits on them. Self-play
        # is this run's main work, so it runs at the trainer's priority.
        os.environ.setdefault("RAY_worker_niceness", "0")
        ray.init(num_cpus=args.workers, include_dashboard=False, log_to_driver=False, ignore_reinit_error=True)
        worker = ray.remote(num_cpus=1)(SelfPlayWorker)
        self.network = network
        self.workers = [worker.remote(args, seed + 1_000_003 * k) for k in range(args.workers)]

    def play(self, moves: int) -> Samples | None:
        import ray

        weights = ray.put({k: v.detach().cpu() for k, v in self.network.state_dict().items()})
        played = ray.get([w.play.remote(moves, weights) for w in self.workers])  # type: ignore[attr-defined]
        done = [s for s in played if s is not None]
        if not done:
            return None
        return tuple(np.concatenate(column) for column in zip(*done))  # type: ignore[return-value]


def train(network: Network, optimiser: torch.optim.Optimizer, buffer: ReplayBuffer, args: argparse.Namespace,
          device: torch.device, rng: np.random.Generator) -> float:
    network.train()
    total = 0.0
    for _ in range(args.train_steps):
        obs, legal, policy, outcome = buffer.sample(args.batch, rng)
        logits, values = network(unpack(obs, device))
        target = torch.from_numpy(policy).to(device)
        legal_mask = torch.from_numpy(legal).to(device)
        if args.policy_smoothing:
            # Part of the target spread over the legal moves: a few dozen
            # simulations of a young network's search mostly echo its own
            # priors, and a policy that learns them by heart narrows the
            # search onto arbitrary moves (worse than uniform priors).
            uniform = legal_mask / legal_mask.sum(dim=1, keepdim=True)
            target = (1 - args.policy_smoothing) * target + args.policy_smoothing * uniform
        # Over the legal actions only, as the search reads the priors: a
        # softmax over all 4672 would also learn which actions are often
        # legal, and favour them (pawn pushes, king steps) in every position.
        legal_logits = logits.masked_fill(~legal_mask, -torch.inf)
        log_priors = F.log_softmax(legal_logits, dim=1).masked_fill(target == 0, 0.0)
        policy_loss = -(target * log_priors).sum(dim=1).mean()
        value_loss = F.mse_loss(values, torch.from_numpy(outcome).to(device))
        loss = float(args.policy_weight) * policy_loss + value_loss
        optimiser.zero_grad()
        loss.backward()  # type: ignore[no-untyped-call]
        optimiser.step()
        total += float(loss.item())
    return total / max(1, int(args.train_steps))


OPPONENTS = ("previous", "untrained", "material1")


def mcts_player(network: Network, device: torch.device, args: argparse.Namespace, name: str) -> players.MCTS:
    frozen = copy.deepcopy(network).to(device)
    return players.MCTS(evaluator(frozen, device, packed=False), args.eval_simulations, logits=True, name=name)


def evaluation(network: Network, previous: Network, untrained: Network, device: torch.device,
               args: argparse.Namespace, seed: int, games: int) -> dict[str, dict[str, Any]]:
    me = mcts_player(network, device, args, "trained")
    rows: dict[str, dict[str, Any]] = {}
    opponents: dict[str, Any] = {"previous": lambda: mcts_player(previous, device, args, "previous"),
                                 "untrained": lambda: mcts_player(untrained, device, args, "untrained"),
                                 "material1": lambda: players.Material(1)}
    for label in args.eval_against:
        opponent = opponents[label]()
        result = arena.match(me, opponent, games=games, seed=seed, max_plies=args.eval_max_plies,
                             openings="builtin")
        low, high = result.elo_interval
        rows[label] = {"score": result.score, "elo": result.elo, "low": low, "high": high,
                       "wins": result.wins, "draws": result.draws, "losses": result.losses}
        print(f"  against {label}: score {result.score:.3f}, Elo {result.elo:+.0f} [{low:+.0f}, {high:+.0f}]",
              flush=True)
    return rows


ELO_EDGE = 800
GOAL_ELO = 400 * np.log10(3)  # the Elo difference of a 75% score


def log_line(entry: dict[str, Any]) -> str:
    """An evaluation as one line of strict JSON (jq and JavaScript refuse
    Infinity and NaN): an Elo of a match without a win or without a loss,
    and an interval's open end, are infinite and written as null."""
    def finite(value: Any) -> Any:
        if isinstance(value, dict):
            return {key: finite(item) for key, item in value.items()}
        return None if isinstance(value, float) and not math.isfinite(value) else value

    return json.dumps(finite(entry), allow_nan=False)


def elo_at_edge(value: float | None, score: float) -> float:
    """A logged Elo, null (infinite) read as the edge of the curve on the score's side."""
    return (ELO_EDGE if score > 0.5 else -ELO_EDGE) if value is None else value


def plot(run: Path, out: Path) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    log = [json.loads(line) for line in (run / "log.jsonl").read_text().splitlines() if line.strip()]
    figure, axis = plt.subplots(figsize=(7, 4))
    for label in ("untrained", "material1"):
        if any(label not in entry["results"] for entry in log):
            continue
        minutes = [entry["minutes"] for entry in log]
        rows = [entry["results"][label] for entry in log]
        elo = np.array([elo_at_edge(row["elo"], row["score"]) for row in rows])
        low = np.array([elo_at_edge(row["low"], 0.0) for row in rows])     # only a lower bound is -infinite
        high = np.array([elo_at_edge(row["high"], 1.0) for row in rows])   # and only an upper +infinite
        # An infinity (a match without a win or without a loss) is drawn at the edge.
        elo = np.clip(elo, -ELO_EDGE, ELO_EDGE)
        low, high = np.maximum(low, -ELO_EDGE), np.minimum(high, ELO_EDGE)
        axis.errorbar(minutes, elo, yerr=[elo - low, high - elo], marker="o", capsize=4, label=f"against {label}")
    axis.axhline(0, color="grey", linewidth=0.8)
    axis.axhline(GOAL_ELO, color="grey", linestyle="--", linewidth=0.8, label="a 75% score")
    axis.set_xlim(left=0)
    axis.set_xlabel("training time (minutes)")
    axis.set_ylabel("Elo difference (95% interval)")
    axis.legend()
    out.parent.mkdir(parents=True, exist_ok=True)
    figure.savefig(out, dpi=120, bbox_inches="tight")
    print(f"curve written to {out}")


def make_parser() -> argparse.ArgumentParser:
    """The example's options and their defaults (the bench reads them too)."""
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--run", type=Path, required=True, help="the run's folder (resumed if it holds a checkpoint)")
    parser.add_argument("--minutes", type=float, default=30.0, help="training budget, self-play included")
    parser.add_argument("--rounds", type=int, default=None,
                        help="stop after this many self-play rounds in all, whatever the minutes")
    parser.add_argument("--blocks", type=int, default=4)
    parser.add_argument("--channels", type=int, default=32)
    parser.add_argument("--games", type=int, default=64, help="self-play games stepped together")
    parser.add_argument("--simulations", type=int, default=32, help="MCTS simulations per self-play move")
    parser.add_argument("--root", choices=("puct", "gumbel"), default="puct",
                        help="self-play's root selection: PUCT with Dirichlet noise (visit shares as the policy "
                             "target) or Gumbel (sequential halving; softmax(logits + sigma(completed Q)) as the "
                             "target)")
    parser.add_argument("--considered", type=int, default=16, help="actions sampled at a Gumbel root")
    parser.add_argument("--explore", type=int, default=20, help="plies drawn by visit counts")
    parser.add_argument("--max-plies", type=int, default=160, help="a longer game is a draw")
    parser.add_argument("--adjudicate", type=int, default=0,
                        help="at the ply limit, a lead of this many material points wins (0: a draw)")
    parser.add_argument("--material-weight", type=float, default=0.0,
                        help="value target: this share the material lead --horizon plies on, the rest the outcome")
    parser.add_argument("--horizon", type=int, default=8, help="plies ahead for the material part of the value target")
    parser.add_argument("--policy-smoothing", type=float, default=0.0,
                        help="policy target: this share uniform over the legal moves, the rest the visits")
    parser.add_argument("--policy-weight", type=float, default=1.0,
                        help="weight of the policy loss against the value loss's 1")
    parser.add_argument("--moves-per-round", type=int, default=8)
    parser.add_argument("--train-steps", type=int, default=16)
    parser.add_argument("--batch", type=int, default=256)
    parser.add_argument("--buffer", type=int, default=100_000)
    parser.add_argument("--lr", type=float, default=2e-3)
    parser.add_argument("--eval-minutes", type=float, default=10.0)
    parser.add_argument("--eval-games", type=int, default=64)
    parser.add_argument("--final-eval-games", type=int, default=None,
                        help="games per opponent in the evaluation at the end (default: --eval-games)")
    parser.add_argument("--eval-max-plies", type=int, default=300, help="an evaluation game longer is a draw")
    parser.add_argument("--eval-simulations", type=int, default=64)
    parser.add_argument("--eval-against", nargs="+", default=list(OPPONENTS), choices=OPPONENTS,
                        help="the evaluation's opponents")
    parser.add_argument("--threads", type=int, default=None, help="torch threads (default: torch's)")
    parser.add_argument("--device", default="cpu")
    parser.add_argument("--workers", type=int, default=0,
                        help="self-play on this many Ray worker processes (0: in this process)")
    parser.add_argument("--seed", type=int, default=0)
    parser.add_argument("--plot", type=Path, default=None, help="draw the run's log to this image and stop")
    return parser


def main() -> None:
    args = make_parser().parse_args()
    if args.plot is not None:
        plot(args.run, args.plot)
        return
    if args.threads:
        torch.set_num_threads(args.threads)
    device = torch.device(args.device)
    torch.manual_seed(args.seed)
    rng = np.random.default_rng(args.seed)
    args.run.mkdir(parents=True, exist_ok=True)
    checkpoint_path = args.run / "checkpoint.pt"
    network = Network(args.blocks, args.channels).to(device)
    untrained = copy.deepcopy(network)
    optimiser = torch.optim.Adam(network.parameters(), lr=args.lr, weight_decay=1e-4)
    buffer = ReplayBuffer(args.buffer)
    spent, steps, evaluations, rounds = 0.0, 0, 0, 0
    # An evaluation is due from the checkpoint written just before it until
    # its line is in the log: a run stopped during one (the last is long)
    # starts again with it, even when its budget is spent.
    due = False
    if checkpoint_path.exists():
        saved = torch.load(checkpoint_path, weights_only=False)
        network.load_state_dict(saved["network"])
        untrained.load_state_dict(saved["untrained"])
        optimiser.load_state_dict(saved["optimiser"])
        buffer.load(saved["buffer"])
        spent, steps, evaluations = saved["minutes"], saved["steps"], saved["evaluations"]
        rounds, due = saved.get("rounds", 0), saved.get("evaluation_due", False)
        print(f"resumed {checkpoint_path}: {spent:.1f} minutes, {steps} training steps, {buffer.size} positions")
    previous = copy.deepcopy(network)

    def save() -> None:
        # Renamed into place: a Ctrl-C while the buffer is written keeps the checkpoint before it.
        write_checkpoint(checkpoint_path, {"network": network.state_dict(), "untrained": untrained.state_dict(),
                                           "optimiser": optimiser.state_dict(), "buffer": buffer.state(),
                                           "minutes": spent, "steps": steps, "evaluations": evaluations,
                                           "rounds": rounds, "evaluation_due": due, "args": vars(args)})

    # The clock counts the self-play workers' start (Ray's some tens of seconds) too.
    started = time.monotonic() - spent * 60
    play: SelfPlay | RaySelfPlay | None = None
    next_eval = (evaluations + 1) * args.eval_minutes
    def budget_spent() -> bool:
        return spent >= args.minutes or (args.rounds is not None and rounds >= args.rounds)

    while due or not budget_spent():
        if not due:
            if play is None:
                play = RaySelfPlay(args, network, seed=args.seed + evaluations) if args.workers \
                    else SelfPlay(args, network, device, seed=args.seed + evaluations)
            samples = play.play(args.moves_per_round)
            rounds += 1
            if samples is not None:
                buffer.add(*samples)
            if buffer.size >= args.batch:
                loss = train(network, optimiser, buffer, args, device, rng)
                steps += args.train_steps
                print(f"{spent:6.1f} min  {buffer.size:7d} positions  {steps:6d} steps  loss {loss:.3f}", flush=True)
            spent = (time.monotonic() - started) / 60
            due = spent >= next_eval or budget_spent()
            if due:
                save()  # first: an evaluation stopped part way loses no training
        if due:
            evaluations += 1
            print(f"evaluation {evaluations} after {spent:.1f} minutes:", flush=True)
            games = args.final_eval_games if budget_spent() and args.final_eval_games else args.eval_games
            results = evaluation(network, previous, untrained, device, args, seed=args.seed + evaluations,
                                 games=games)
            with open(args.run / "log.jsonl", "a") as log:
                log.write(log_line({"minutes": round(spent, 2), "steps": steps, "positions": buffer.size,
                                    "results": results}) + "\n")
            previous, due = copy.deepcopy(network), False
            save()
            next_eval = (evaluations + 1) * args.eval_minutes
            started = time.monotonic() - spent * 60   # evaluation time does not count as training
    save()


if __name__ == "__main__":
    main()

"""Policy-and-value networks in PyTorch: the network, its input, the search's
view of it, checkpoints, and supervised training on shards.

    python -m varnok train out/games --out net.pt --minutes 10
    python -m varnok match torch:net.pt:200 material:1 --games 100

The network is AlphaZero's: a residual tower with a policy head (logits over
the 4672 actions) and a value head (tanh, for the side to move). It reads
packed observations ((n, 119) uint64, 952 bytes a position) and unpacks them
on its own device, so a data loader and a search move an eighth of the bytes
of float planes. Supervised training predicts the move played at each row of
a shard folder (cross-entropy) and the game's result for the side to move
(squared error), on a held-out share of the games measured apart.

This module imports torch (the `torch` extra); `import varnok` does not
import it.
"""

from __future__ import annotations

import math
import os
import time
from pathlib import Path, PosixPath, PurePosixPath, PureWindowsPath, WindowsPath
from typing import Any, Callable

import numpy as np
import torch
import torch.nn.functional as F
from torch import nn
from torch.utils.data import DataLoader, IterableDataset, get_worker_info
from torch.utils.dlpack import from_dlpack

from varnok import players
from varnok._checks import integer, real
from varnok._core import ACTIONS as ACTIONS  # the network's policy width, for callers too
from varnok._progress import stderr_bar
from varnok._shards import BLACK_TO_MOVE_PLANE as BLACK_TO_MOVE_PLANE
from varnok._shards import Folder, ShardError, interrupts_deferred, read_shards  # noqa: F401  (ShardError: for callers)

PLANES = 119
TOTAL_MOVES_PLANE, NO_PROGRESS_PLANE = 113, 118
# The counter planes as the network sees them: roughly 0 to 1.
PLANE_SCALE = torch.ones(PLANES)
PLANE_SCALE[TOTAL_MOVES_PLANE] = 1 / 200
PLANE_SCALE[NO_PROGRESS_PLANE] = 1 / 100
# Planes that are one bit per square (the pieces of each of the eight
# positions); every other plane holds one number on all squares.
PIECE_PLANES = torch.tensor([p < BLACK_TO_MOVE_PLANE and p % 14 < 12 for p in range(PLANES)])
BITS = 2 ** torch.arange(64, dtype=torch.int64)
# The policy head answers in the side to move's frame, the one the
# observation is drawn in: with black to move the board is turned by a half
# turn, so a move from square s is seen from square 63 - s. Direction planes
# are already the mover's (ahead, right, ...), but knight planes name a fixed
# jump (source - target), which the half turn negates: +17 is -17, +15 is
# -15, +6 is -6, -10 is +10. MOVER_ACTION[a] is action a seen from the other
# colour; applying it twice gives a back.
SQUARES, LAST_SQUARE = 64, 63
ACTION_PLANES = ACTIONS // SQUARES
FIRST_KNIGHT_PLANE, KNIGHT_JUMPS = 56, 4
TURNED_PLANE = np.arange(ACTION_PLANES)
TURNED_PLANE[FIRST_KNIGHT_PLANE:FIRST_KNIGHT_PLANE + 2 * KNIGHT_JUMPS] = np.roll(
    TURNED_PLANE[FIRST_KNIGHT_PLANE:FIRST_KNIGHT_PLANE + 2 * KNIGHT_JUMPS], KNIGHT_JUMPS)
MOVER_ACTION = (TURNED_PLANE[:, None] * SQUARES + LAST_SQUARE - np.arange(SQUARES)).reshape(-1)
MOVER_INDEX = torch.from_numpy(MOVER_ACTION)
# A game goes to the held-out share by a hash of its id, so the split is the
# same whatever the shard order, shuffle or worker count.
GOLDEN = np.uint64(0x9E3779B97F4A7C15)
HELD_OUT_BUCKETS = 1000


def unpack(packed: np.ndarray | torch.Tensor, device: torch.device) -> torch.Tensor:
    """Packed observations (N, 119) uint64 (or their int64 view as a tensor)
    as float planes (N, 119, 8, 8) on the device."""
    if isinstance(packed, torch.Tensor):
        words = packed.to(device)
    else:
        # DLPack takes the search's read-only buffers as they are, without a copy.
        words = from_dlpack(np.ascontiguousarray(packed).view(np.int64)).to(device)
    bits = (words.unsqueeze(-1) & BITS.to(device)) != 0
    planes = torch.where(PIECE_PLANES.to(device)[:, None], bits.float(), words.unsqueeze(-1).float())
    return planes.view(-1, PLANES, 8, 8) * PLANE_SCALE.to(device)[:, None, None]


class Residual(nn.Module):
    def __init__(self, channels: int):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn1 = nn.BatchNorm2d(channels)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1, bias=False)
        self.bn2 = nn.BatchNorm2d(channels)

    def forward(self, x: torch.Tensor) -> torch.Tensor:
        y = F.relu(self.bn1(self.conv1(x)))
        return F.relu(x + self.bn2(self.conv2(y)))


class Network(nn.Module):
    """A residual tower with AlphaZero's two heads: policy logits over the
    4672 actions and a value in [-1, 1] for the side to move. The policy
    layer learns one mapping for both colours (the mover's frame); the
    logits it returns are varnok's actions."""

    def __init__(self, blocks: int = 4, channels: int = 32):
        super().__init__()
        self.blocks, self.channels = blocks, channels
        self.stem = nn.Sequential(nn.Conv2d(PLANES, channels, 3, padding=1, bias=False),
                                  nn.BatchNorm2d(channels), nn.ReLU())
        self.tower = nn.Sequential(*(Residual(channels) for _ in range(blocks)))
        self.policy = nn.Sequential(nn.Conv2d(channels, 2, 1, bias=False), nn.BatchNorm2d(2), nn.ReLU(),
                                    nn.Flatten(), nn.Linear(2 * 64, ACTIONS))
        self.value = nn.Sequential(nn.Conv2d(channels, 1, 1, bias=False), nn.BatchNorm2d(1), nn.ReLU(),
                                   nn.Flatten(), nn.Linear(64, 64), nn.ReLU(), nn.Linear(64, 1), nn.Tanh())

    def forward(self, planes: torch.Tensor) -> tuple[torch.Tensor, torch.Tensor]:
        x = self.tower(self.stem(planes))
        logits = self.policy(x)
        black = planes[:, BLACK_TO_MOVE_PLANE, 0, 0] != 0
        turned = logits[:, MOVER_INDEX.to(logits.device)]
        return torch.where(black[:, None], turned, logits), self.value(x).squeeze(-1)


Evaluate = Callable[[np.ndarray, np.ndarray], tuple[np.ndarray, np.ndarray]]


def evaluator(network: Network, device: torch.device, packed: bool) -> Evaluate:
    """The network as an ``evaluate(obs, legal_mask) -> (logits, values)`` for varnok.MCTS."""

    @torch.inference_mode()
    def evaluate(obs: np.ndarray, legal_mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        network.eval()
        planes = unpack(obs, device) if packed else from_dlpack(obs).to(device) * \
            PLANE_SCALE.to(device)[:, None, None]
        logits, values = network(planes)
        return logits.float().cpu().numpy(), values.float().cpu().numpy()

    return evaluate


# What a checkpoint may hold besides tensors and plain containers: the
# example's also keep its replay buffer (NumPy arrays) and its arguments
# (paths). Each of these only rebuilds a value; none runs code of the file's
# choosing.
_CHECKPOINT_DATA = [np.ndarray, np.dtype, np._core.multiarray._reconstruct, PurePosixPath, PosixPath,
                    PureWindowsPath, WindowsPath]


def load(path, device: str | torch.device = "cpu") -> Network:
    """The network of a checkpoint: one written by ``python -m varnok
    train`` or by examples/alphazero_torch.py (both keep the weights under
    "network" and the tower's size under "args"). ValueError naming the file
    for one that is not such a checkpoint: damaged, cut short, another
    kind of file, or weights of another shape than its "args" say.

    The file is read as data only: a checkpoint is a pickle, and one that
    names any other code to run (a file from someone else, made to do
    harm) is refused before that code runs."""
    try:
        with torch.serialization.safe_globals(_CHECKPOINT_DATA):
            saved = torch.load(path, map_location=device, weights_only=True)
    except OSError:
        raise
    except Exception as exc:  # noqa: BLE001  (the unpickler raises whatever the bytes lead it to)
        raise ValueError(f"{path}: not a readable checkpoint ({_first_line(exc)})") from None
    if not isinstance(saved, dict) or not isinstance(saved.get("network"), dict):
        raise ValueError(f'{path}: not a checkpoint of varnok.train (no "network" weights)')
    args = saved.get("args")
    args = args if isinstance(args, dict) else {}
    blocks, channels = args.get("blocks", 4), args.get("channels", 32)
    # The tower is built as "args" says before the weights are loaded into it:
    # a size the weights themselves do not have (a million blocks, in a file
    # of a few) would take all the memory there is before load_state_dict
    # could refuse it.
    held = _tower_size(saved["network"])
    if held != (blocks, channels):
        shown = f"{held[0]} blocks of {held[1]} channels" if held else "no residual tower of this network"
        raise ValueError(f"{path}: the weights do not fit a network of {blocks!r} blocks of {channels!r} "
                         f"channels (they hold {shown})")
    try:
        network = Network(blocks, channels).to(device)
        network.load_state_dict(saved["network"])
    except (RuntimeError, TypeError, ValueError) as exc:
        raise ValueError(f"{path}: the weights do not fit a network of {blocks!r} blocks of {channels!r} "
                         f"channels ({_first_line(exc)})") from None
    network.eval()
    return network


def _tower_size(weights: dict) -> tuple[int, int] | None:
    """(blocks, channels) of a Network's weights: its stem's output
    channels and its residual blocks, counted; None where there is no stem."""
    stem = weights.get("stem.0.weight")
    if not isinstance(stem, torch.Tensor) or stem.dim() != 4:
        return None
    blocks = {key.split(".")[1] for key in weights if isinstance(key, str) and key.startswith("tower.")}
    return len(blocks), int(stem.shape[0])


def _first_line(exc: BaseException) -> str:
    """An exception's message without torch's lists of every key or hint."""
    lines = [line.strip() for line in str(exc).splitlines() if line.strip()]
    text = lines[0] if lines else type(exc).__name__
    # load_state_dict heads its list with "Error(s) in loading state_dict ...:"; the first error says more.
    if text.endswith(":") and len(lines) > 1:
        text = f"{text} {lines[1]}"
    return text.split(". ")[0]


class Checkpoint:
    """A checkpoint's network as an evaluate function over packed
    observations, read when made (so a damaged or foreign file is refused
    before any game): it pickles as its path, and a worker process reads
    it again on first use."""

    def __init__(self, path, device: str = "cpu"):
        self.path = os.fspath(path)
        if not os.path.isfile(self.path):
            raise ValueError(f"{self.path}: no such checkpoint")
        self.device = device
        where = _device(device)
        self._evaluate: Evaluate | None = evaluator(load(self.path, where), where, packed=True)

    def __getstate__(self):
        return {"path": self.path, "device": self.device, "_evaluate": None}

    def __call__(self, obs: np.ndarray, legal_mask: np.ndarray) -> tuple[np.ndarray, np.ndarray]:
        if self._evaluate is None:
            device = torch.device(self.device)
            self._evaluate = evaluator(load(self.path, device), device, packed=True)
        return self._evaluate(obs, legal_mask)


def player(path, simulations: int = 200, seed: int = 0, device: str = "cpu") -> players.MCTS:
    """An MCTS player over a checkpoint's network: the player text
    ``torch:PATH:SIMULATIONS`` of matches and the UCI front end."""
    return players.MCTS(Checkpoint(path, device), simulations, logits=True, obs_dtype="packed", seed=seed,
                        name=f"torch({Path(path).name},{simulations})")


def held_out_rows(game: np.ndarray, share: float) -> np.ndarray:
    """The rows whose game belongs to the held-out share (a hash of the game id)."""
    mixed = (game.astype(np.uint64) * GOLDEN) >> np.uint64(40)
    return (mixed % np.uint64(HELD_OUT_BUCKETS)) < round(share * HELD_OUT_BUCKETS)


class ShardDataset(IterableDataset):
    """Batches of a shard folder for training: dicts of tensors "obs"
    ((n, 119) int64, the packed words as torch holds them; unpack on the
    device), "action" (int64, the move played) and "value" (float32, the
    result for the side to move). ``part`` "train" or "held-out" keeps the
    games of that side of a ``held_out`` share; batches hold ``batch_size``
    rows (the last of a pass may be shorter). With ``shuffle`` the order is
    drawn from ``seed`` plus the epoch (``set_epoch``). Under a DataLoader
    with workers (``batch_size=None``), each worker reads its own shards."""

    def __init__(self, path, batch_size: int = 256, *, shuffle: bool | int = True, seed: int = 0,
                 held_out: float = 0.0, part: str = "train"):
        if part not in ("train", "held-out"):
            raise ValueError(f'part must be "train" or "held-out", got {part!r}')
        self.path = path
        self.batch_size = integer(batch_size, "batch_size", 1)
        self.shuffle, self.seed, self.part = shuffle, integer(seed, "seed", 0), part
        self.held_out = real(held_out, "held_out", 0.0, 1.0)
        self.epoch = 0

    def set_epoch(self, epoch: int) -> None:
        self.epoch = integer(epoch, "epoch", 0)

    def __iter__(self):
        info = get_worker_info()
        part = (0, 1) if info is None else (info.id, info.num_workers)
        pending: list[dict[str, np.ndarray]] = []
        count = 0
        for batch in read_shards(self.path, self.batch_size, value=True, shuffle=self.shuffle,
                                 seed=self.seed + self.epoch, part=part):
            held = held_out_rows(batch["game"], self.held_out)
            keep = held if self.part == "held-out" else ~held
            pending.append({name: batch[name][keep] for name in ("obs", "action", "value")})
            count += int(keep.sum())
            while count >= self.batch_size:
                rows = {name: np.concatenate([p[name] for p in pending]) for name in pending[0]}
                yield self._tensors({name: column[:self.batch_size] for name, column in rows.items()})
                pending = [{name: column[self.batch_size:] for name, column in rows.items()}]
                count -= self.batch_size
        if count:
            yield self._tensors({name: np.concatenate([p[name] for p in pending]) for name in pending[0]})

    @staticmethod
    def _tensors(rows: dict[str, np.ndarray]) -> dict[str, torch.Tensor]:
        return {"obs": torch.from_numpy(np.ascontiguousarray(rows["obs"]).view(np.int64)),
                "action": torch.from_numpy(rows["action"].astype(np.int64)),
                "value": torch.from_numpy(np.ascontiguousarray(rows["value"]))}


def losses(network: Network, batch: dict, device: torch.device) -> tuple[torch.Tensor, torch.Tensor, torch.Tensor]:
    """Policy cross-entropy to the move played, value squared error, and the
    policy's top-1 hits, over one batch."""
    logits, values = network(unpack(batch["obs"], device))
    action = batch["action"].to(device)
    policy_loss = F.cross_entropy(logits, action)
    value_loss = F.mse_loss(values, batch["value"].to(device))
    return policy_loss, value_loss, (logits.argmax(dim=1) == action).sum()


@torch.no_grad()
def measure(network: Network, loader, device: torch.device) -> dict[str, float]:
    """Policy accuracy (the move played is the network's first choice among
    all actions), policy loss and value loss over every batch of a loader."""
    network.eval()
    rows, hits, policy_sum, value_sum = 0, 0, 0.0, 0.0
    for batch in loader:
        n = len(batch["action"])
        policy_loss, value_loss, hit = losses(network, batch, device)
        rows += n
        hits += int(hit)
        policy_sum += float(policy_loss) * n
        value_sum += float(value_loss) * n
    if rows == 0:
        return {"positions": 0, "accuracy": math.nan, "policy_loss": math.nan, "value_loss": math.nan}
    return {"positions": rows, "accuracy": hits / rows, "policy_loss": policy_sum / rows,
            "value_loss": value_sum / rows}


def save(path, network: Network, **extra: Any) -> None:
    """A checkpoint that ``load`` reads, written under a temporary name and renamed."""
    write_checkpoint(path, {"network": network.state_dict(),
                            "args": {"blocks": network.blocks, "channels": network.channels}, **extra})


def write_checkpoint(path, data: dict) -> None:
    """``torch.save(data, path)`` under a temporary name beside it, then
    renamed: a full disk or a Ctrl-C while the (perhaps large) file is
    written leaves the checkpoint before it whole, never a half file."""
    path = Path(path)
    _check_file(path)
    path.parent.mkdir(parents=True, exist_ok=True)
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        torch.save(data, temporary)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise


def _device(name) -> torch.device:
    """A torch device that this machine has; ValueError naming it otherwise."""
    try:
        where = torch.device(name)
        # A number there and back: "meta" holds no numbers, a backend this torch lacks fails at the first one.
        torch.ones(1, device=where).cpu()
    except Exception as exc:  # noqa: BLE001  (no CUDA: an AssertionError; a backend missing: ImportError)
        raise ValueError(f"device {name!r}: {_first_line(exc)}") from None
    return where


def _check_file(path: Path) -> None:
    """A checkpoint replaces a file by renaming a new one over it: over a
    device (/dev/null), a pipe or a socket that rename would put a file in
    its place, so only a regular file, or no file yet, may be the target."""
    if path.is_dir():
        raise ValueError(f"{path}: is a folder; give the checkpoint's file name")
    if path.exists() and not path.is_file():
        raise ValueError(f"{path}: not a regular file (a device, a pipe or a socket); "
                         "give the checkpoint's file name")


def _check_writable(out) -> None:
    """The checkpoint can be written where `save` will write it, said before
    any training rather than at the first checkpoint."""
    path = Path(out)
    _check_file(path)
    temporary = path.with_name(f".{path.name}.{os.getpid()}.tmp")
    try:
        path.parent.mkdir(parents=True, exist_ok=True)
        open(temporary, "wb").close()
        os.remove(temporary)
    except OSError as exc:
        raise OSError(f"{path}: the checkpoint cannot be written there ({exc.strerror or exc})") from None


class _StepBar:
    """The steps of a training run as a progress bar on stderr (through
    tqdm, when it is installed), drawn around the run's log lines."""

    def __init__(self, enabled: bool, steps: int | None, minutes: float | None, log):
        self.start, self._log = time.monotonic(), log
        limit = f" of {minutes:g} min" if minutes is not None else ""
        self.bar = stderr_bar("train", steps, "steps", limit) if enabled else None

    def log(self, line: str) -> None:
        if self.bar is None:
            self._log(line)
            return
        self.bar.clear()
        self._log(line)
        self.bar.refresh()

    def step(self, loss: float, positions: int) -> None:
        if self.bar is not None:
            rate = positions / max(time.monotonic() - self.start, 1e-9)
            self.bar.set_postfix_str(f"loss {loss:.3f}, {rate:.0f} positions/s", refresh=False)
            self.bar.update(1)

    def close(self) -> None:
        if self.bar is not None:
            self.bar.close()
            self.bar = None


def supervised(shards, out, *, minutes: float | None = None, steps: int | None = None, batch: int = 256,
               lr: float = 1e-3, blocks: int = 4, channels: int = 32, held_out: float = 0.05,
               eval_every: int = 500, seed: int = 0, device: str = "cpu", workers: int = 0,
               log=print, progress: bool = False) -> dict[str, Any]:
    """Trains a network on a shard folder to predict the move played and the
    result for the side to move, for `minutes` of training or `steps` Adam
    steps (whichever comes first; passes over the data repeat, reshuffled).
    Every `eval_every` steps and at the end it measures the held-out games
    (policy accuracy, losses), logs a line and writes the checkpoint `out`.
    Returns the last measure with the steps, positions and minutes.

    With `progress` a bar on stderr (tqdm, when installed) counts the steps
    between the lines, with the training loss and the positions a second.
    Ctrl-C writes the checkpoint of the steps made, unmeasured, and logs it.

    Every argument, the folder and whether `out` can be written are checked
    before the first step (ValueError, TypeError, ShardError, OSError)."""
    if minutes is None and steps is None:
        raise ValueError("give minutes or steps (or both)")
    limit_steps = math.inf if steps is None else integer(steps, "steps", 1)
    limit_seconds = math.inf if minutes is None else real(minutes, "minutes", 0.0) * 60
    eval_every = integer(eval_every, "eval_every", 1)
    workers = integer(workers, "workers", 0)
    blocks, channels = integer(blocks, "blocks", 0), integer(channels, "channels", 1)
    batch, held_out = integer(batch, "batch", 1), real(held_out, "held_out", 0.0, 1.0)
    lr = real(lr, "lr", 0.0)
    where = _device(device)
    Folder(shards, live=True)
    if Path(out).resolve().is_relative_to(Path(shards).resolve()):
        # The next pass would find it there and stop on a foreign file, as every later reader would.
        raise ValueError(f"{out}: inside the shard folder {shards}, which holds shards only; "
                         "write the checkpoint outside it")
    _check_writable(out)
    torch.manual_seed(seed)
    network = Network(blocks, channels).to(where)
    optimiser = torch.optim.Adam(network.parameters(), lr=lr, weight_decay=1e-4)
    train_set = ShardDataset(shards, batch, seed=seed, held_out=held_out, part="train")
    held = DataLoader(ShardDataset(shards, 1024, shuffle=False, held_out=held_out, part="held-out"),
                      batch_size=None, num_workers=workers)
    log(f"training a {blocks}x{channels} network on {shards}: batches of {batch}, "
        f"{held_out:.0%} of the games held out")
    done, positions, epoch, running = 0, 0, 0, []
    written = -1   # the steps of the checkpoint last written
    start = time.monotonic()
    report: dict[str, Any] = {}

    def checkpoint() -> None:
        nonlocal report, written
        report = measure(network, held, where) | {"steps": done, "positions": positions,
                                                   "minutes": (time.monotonic() - start) / 60}
        train_loss = float(np.mean(running)) if running else math.nan
        log(f"step {done:6d}  {report['minutes']:5.1f} min  {positions:9d} positions  train loss {train_loss:.3f}"
            f"  held-out: accuracy {report['accuracy']:.3f}, policy loss {report['policy_loss']:.3f}, "
            f"value loss {report['value_loss']:.3f}")
        running.clear()
        save(out, network, steps=done, positions=positions, held_out=report)
        written = done
        network.train()

    bar = _StepBar(progress, None if steps is None else limit_steps, minutes, log)
    log = bar.log
    network.train()
    try:
        while done < limit_steps and time.monotonic() - start < limit_seconds:
            train_set.set_epoch(epoch)
            seen = done
            for rows in DataLoader(train_set, batch_size=None, num_workers=workers):
                # A Ctrl-C waits for the step: the weights written then are those of `done` whole steps.
                with interrupts_deferred():
                    policy_loss, value_loss, _ = losses(network, rows, where)
                    loss = policy_loss + value_loss
                    optimiser.zero_grad()
                    loss.backward()  # type: ignore[no-untyped-call]
                    optimiser.step()
                    running.append(loss.item())
                    done += 1
                    positions += len(rows["action"])
                bar.step(running[-1], positions)
                if done % eval_every == 0:
                    checkpoint()
                if done >= limit_steps or time.monotonic() - start >= limit_seconds:
                    break
            if done == seen:
                raise ValueError(f"{shards}: no training rows (every game is held out, or the folder is empty)")
            epoch += 1
    except KeyboardInterrupt:
        # The steps since the last measure are kept too, unmeasured: stopping is not losing them.
        with interrupts_deferred():   # a second Ctrl-C waits for the file and the line that says so
            if done and written != done:
                save(out, network, steps=done, positions=positions)
            log(f"interrupted at step {done}: " + (f"checkpoint written to {out}" if done else "nothing written"))
        raise
    finally:
        bar.close()
    if done % eval_every or not done:   # not done: the time ran out before a step, the network is still written
        checkpoint()
    log(f"checkpoint written to {out}")
    return report

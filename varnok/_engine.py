"""Where shards are made: Ray actors (on this machine or a cluster) or the
calling process.

A job is tasks, one per shard (a list, or made as they are taken), and a
worker kind ("selfplay", "pgn" or "match", whose shards are blocks of a
match's games) with the job's parameters. Each worker holds what its kind needs
between shards (for self-play the policy function; the vector environment
and search are made per shard from the shard's seed) and returns a finished
shard's Parquet bytes and counts. The driver alone writes files and the
manifest, so the output needs no shared file system (PGN input does: every
node reads its ranges from the same path).
"""

from __future__ import annotations

import importlib.util
import itertools
import os
import socket
from typing import Iterable

from varnok._checks import integer


def make_worker(kind: str, cfg: dict):
    if kind == "selfplay":
        from varnok._selfplay import SelfPlayer
        player = SelfPlayer(cfg)
        return player.play
    if kind == "pgn":
        from varnok._pgn import convert_range
        return convert_range
    if kind == "match":
        from varnok.arena import BlockPlayer
        return BlockPlayer(cfg).play
    raise ValueError(f"unknown job kind {kind!r}")


class LocalEngine:
    """Every shard in this process, one after the other."""

    name = "local"

    def __init__(self):
        self.workers = 1

    def run(self, kind: str, cfg: dict, tasks: Iterable[dict], prepare=None):
        work = make_worker(kind, cfg)
        for task in tasks:
            task = prepare(task) if prepare else task
            data, counts = work(task)
            yield task, data, counts

    def close(self) -> None:
        pass


class ShardWorker:
    """A Ray actor: one worker process making shards of one job."""

    def __init__(self, kind: str, cfg: dict):
        # A worker that cannot start (a policy module missing on its node)
        # fails its first shard with the reason, as a task error: an error in
        # the constructor would make Ray restart the actor and retry its
        # tasks, printing a traceback each time, all failing the same way.
        self.failure = None
        try:
            self.work = make_worker(kind, cfg)
        except Exception as exc:  # noqa: BLE001  (reported by run)
            self.failure = f"the workers cannot start: {type(exc).__name__}: {exc}"

    def run(self, task: dict):
        if self.failure is not None:
            raise RuntimeError(self.failure)
        return self.work(task)

    def pid(self) -> int:
        return os.getpid()


class RayEngine:
    """Ray actors, each a process with one CPU. A worker that dies is
    restarted and its shard run again (a shard depends only on its seed, so
    the repeat is the same shard); a shard whose worker keeps dying fails the
    job, and a rerun resumes it."""

    name = "ray"

    def __init__(self, workers: int | None = None, address: str | None = None, max_restarts: int = 3):
        import ray
        self.ray = ray
        self.started = False
        if not ray.is_initialized():
            if address:
                ray.init(address=address, include_dashboard=False, log_to_driver=False)
            else:
                cpus = max(workers or 0, os.cpu_count() or 1)
                ray.init(num_cpus=cpus, include_dashboard=False, log_to_driver=False)
            self.started = True
        if workers is None:
            workers = max(1, int(ray.cluster_resources().get("CPU", 1)))
        self.workers = workers
        self.max_restarts = max_restarts
        self.actors = []

    def run(self, kind: str, cfg: dict, tasks: Iterable[dict], prepare=None):
        """Yields (task, Parquet bytes, counts) per shard as workers finish
        them. prepare(task), when given, is called on each task in order just
        before it is handed out. The first worker error ends the run: raised
        as the worker raised it (its own type and message), once."""
        ray = self.ray
        prepare = prepare or (lambda task: task)
        # Two threads per actor so that pid() answers while a shard runs.
        actor_class = ray.remote(num_cpus=1, max_restarts=self.max_restarts,
                                 max_task_retries=self.max_restarts, max_concurrency=2)(ShardWorker)
        # Tasks are taken as they are handed out: a job may make them as it goes.
        queue = iter(tasks)
        first = list(itertools.islice(queue, self.workers))
        self.actors = [actor_class.remote(kind, cfg) for _ in first]
        running = {}
        for actor, task in zip(self.actors, first):
            task = prepare(task)
            running[actor.run.remote(task)] = (actor, task)
        try:
            while running:
                done, _ = ray.wait(list(running), num_returns=1)
                ref = done[0]
                actor, task = running.pop(ref)
                try:
                    data, counts = ray.get(ref)
                except ray.exceptions.RayTaskError as exc:
                    # The worker's own exception (a policy's ValueError, say)
                    # without Ray's wrapping and remote traceback.
                    cause = getattr(exc, "cause", None)
                    if isinstance(cause, Exception):
                        raise cause.with_traceback(None) from None
                    raise RuntimeError(f"shard {task['shard']}: {first_line(exc)}") from None
                except ray.exceptions.RayActorError as exc:
                    if getattr(exc, "actor_init_failed", False):
                        # Every restart fails the same way: rerunning cannot help.
                        raise RuntimeError(f"the workers cannot start: {last_line(exc)}") from None
                    raise RuntimeError(f"shard {task['shard']}: its worker died more than "
                                       f"{self.max_restarts} times ({first_line(exc)}); "
                                       "rerun the command to resume") from None
                nxt = next(queue, None)
                if nxt is not None:
                    nxt = prepare(nxt)
                    running[actor.run.remote(nxt)] = (actor, nxt)
                yield task, data, counts
        finally:
            self._stop(list(running))

    def _stop(self, refs: list) -> None:
        """Cancels the shards still running (as Ray cancels actor tasks: no
        force) and ends the actors; the outcome of every cancelled shard is
        fetched and dropped, so that Ray reports no unhandled errors."""
        ray = self.ray
        for ref in refs:
            try:
                ray.cancel(ref)
            except Exception:  # noqa: BLE001  (the actor is killed next in any case)
                pass
        for actor in self.actors:
            ray.kill(actor, no_restart=True)
        self.actors = []
        for ref in refs:
            try:
                ray.get(ref, timeout=10)
            except Exception:  # noqa: BLE001  (cancelled or killed: expected)
                pass

    def close(self) -> None:
        if self.started:
            self.ray.shutdown()


def first_line(exc: BaseException) -> str:
    """The first non-empty line of an exception's text: Ray's carry whole
    remote tracebacks."""
    lines = [line.strip() for line in str(exc).splitlines() if line.strip()]
    return lines[0] if lines else type(exc).__name__


def last_line(exc: BaseException) -> str:
    """The last non-empty line of an exception's text: for one that carries
    a remote traceback, the original exception's type and message."""
    lines = [line.strip() for line in str(exc).splitlines() if line.strip()]
    return lines[-1] if lines else type(exc).__name__


NO_RAY = "the Ray engine needs the ray extra: pip install 'varnok[ray]' (or use --engine local)"


# How long a Ray cluster's address may take to answer before it is said to be
# unreachable (Ray itself keeps trying for minutes).
CLUSTER_CONNECT_SECONDS = 5.0


def check_cluster(address: str) -> None:
    """ConnectionError, at once, when nothing answers at a Ray cluster's
    HOST:PORT (or ray://HOST:PORT). Other forms ("auto", "local") are left
    to Ray."""
    target = address.removeprefix("ray://")
    host, _, port = target.rpartition(":")
    if not host or not port.isdigit():
        return
    try:
        socket.create_connection((host.strip("[]"), int(port)), timeout=CLUSTER_CONNECT_SECONDS).close()
    except OSError as exc:
        reason = exc.strerror or str(exc) or type(exc).__name__
        raise ConnectionError(f"no Ray cluster answers at {address}: {reason} (start one with `ray start --head`, "
                              "or leave the address out for a Ray on this machine)") from None


def check_engine(engine, workers: int | None, address: str | None = None, reach: bool = True) -> int | None:
    """An engine name ("ray", "local") or an engine object, a worker count
    (None: one per CPU) and a Ray cluster's address, checked before a job
    makes anything: ValueError, RuntimeError for "ray" where Ray is not
    installed, or ConnectionError where nothing answers at the address. The
    local engine works in the calling process alone, so a worker count
    above one or an address given with it is refused rather than quietly
    ignored. Returns the worker count as an int (None stays None).
    reach=False checks the arguments alone: neither whether Ray is
    installed nor whether a cluster answers at the address."""
    if workers is not None:
        # Any true integer (a NumPy integer too); a bool or a float is no
        # count of processes.
        try:
            workers = integer(workers, "workers", 1, bools=False)
        except (TypeError, ValueError):
            raise ValueError(f"workers must be a positive int, got {workers!r}") from None
    if isinstance(engine, str) and engine not in ("ray", "local"):
        raise ValueError(f"engine must be 'ray' or 'local', got {engine!r}")
    if address is not None and not isinstance(address, str):
        raise ValueError(f"address must be a text such as 'HOST:PORT', got {address!r}")
    if engine == "local" and address is not None:
        raise ValueError(f"address {address!r} names a Ray cluster: it needs engine 'ray', not 'local'")
    if engine == "local" and workers not in (None, 1):
        raise ValueError(f"the local engine works in this process alone: {workers} workers need engine 'ray'")
    if reach and engine == "ray" and importlib.util.find_spec("ray") is None:
        raise RuntimeError(NO_RAY)
    if reach and engine == "ray" and address is not None:
        check_cluster(address)
    return workers


def make_engine(engine: str = "ray", workers: int | None = None, address: str | None = None):
    """The engine named "local" or "ray", checked by check_engine (an
    engine object, which a data job runs as it is, is no name here)."""
    workers = check_engine(engine, workers, address)
    if engine == "local":
        return LocalEngine()
    if engine == "ray":
        return RayEngine(workers, address)
    raise ValueError(f"engine must be 'ray' or 'local', got {engine!r}")

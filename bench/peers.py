"""The peers of the newer benchmarks, imported on demand and never required.

Each loader returns (module, None) when the peer imports and does a first
small piece of work here, or (None, reason) when it cannot be used; the
sections then mark their figures missing with that reason instead of failing.
The same goes for the parts of varnok's API that the figures need: `absent`
names what this build of varnok does not have yet.

JAX runs on the CPU only, with its persistent compilation cache in
build/jax-cache, so that a second run (and `--quick`) does not compile the
pgx and mctx programs again.
"""

from __future__ import annotations

import os

from timing import TOP

JAX_CACHE = TOP / "build" / "jax-cache"


def failure(exc: BaseException) -> str:
    text = str(exc).strip().splitlines()
    return f"{type(exc).__name__}: {text[0] if text else ''}".rstrip(": ")


def absent(*names: str):
    """None when varnok has every dotted name (e.g. "ChessEnv.play"), else why not."""
    import varnok

    gone = []
    for name in names:
        obj = varnok
        for part in name.split("."):
            obj = getattr(obj, part, None)
            if obj is None:
                break
        if obj is None:
            gone.append(f"varnok.{name}")
    if not gone:
        return None
    return f"{', '.join(gone)} not in this build of varnok ({version('varnok')})"


def envpool():
    try:
        import envpool as ep

        env = ep.make("Chess-v1", env_type="gymnasium", num_envs=1, num_threads=1, seed=0)
        env.reset()
        env.close()
        return ep, None
    except Exception as exc:  # import failure (e.g. libEGL missing) or no Chess-v1
        return None, failure(exc)


def jax_pgx():
    """(pgx, None) with JAX on the CPU and its compilation cache set up."""
    try:
        os.environ.setdefault("JAX_PLATFORMS", "cpu")
        import jax

        JAX_CACHE.mkdir(parents=True, exist_ok=True)
        jax.config.update("jax_compilation_cache_dir", str(JAX_CACHE))
        jax.config.update("jax_persistent_cache_min_compile_time_secs", 0.0)
        jax.config.update("jax_persistent_cache_min_entry_size_bytes", 0)
        import pgx

        pgx.make("chess")
        return pgx, None
    except Exception as exc:
        return None, failure(exc)


def mctx():
    pgx, why = jax_pgx()
    if pgx is None:
        return None, why
    try:
        import mctx as m

        return m, None
    except Exception as exc:
        return None, failure(exc)


def pettingzoo_chess():
    """(chess_v6 module, None) once one move was played in it, else (None, reason)."""
    try:
        import numpy as np
        from pettingzoo.classic import chess_v6

        env = chess_v6.env()
        env.reset(seed=1)
        obs, _, _, _, _ = env.last()
        env.step(int(np.flatnonzero(obs["action_mask"])[0]))
        return chess_v6, None
    except Exception as exc:
        return None, failure(exc)


def version(module_name: str) -> str:
    from importlib import metadata

    try:
        return metadata.version(module_name)
    except metadata.PackageNotFoundError:
        return "?"

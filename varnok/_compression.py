"""Compressed PGN files, read as they stream: game databases ship as
`.pgn.zst` (zstd), `.pgn.gz` (gzip) or `.pgn.bz2` (bzip2). The suffix of the
path decides; the codecs are Python's own (`compression.zstd`, `gzip`,
`bz2`), and the native reader takes the decompressed bytes in chunks, so a
file of any size reads in constant memory."""

from __future__ import annotations

import bz2
import gzip
import os

try:
    from compression import zstd
except ImportError:  # a Python built without the zstd library
    zstd = None

SUFFIXES = (".gz", ".bz2", ".zst")


def codec_of(path) -> str | None:
    """"gzip", "bzip2", "zstd" for a path with a compressed suffix, else None."""
    suffix = os.path.splitext(os.fspath(path))[1].lower()
    return {".gz": "gzip", ".bz2": "bzip2", ".zst": "zstd"}.get(suffix)


def open_compressed(path):
    """A binary stream of the decompressed bytes of a compressed file, or
    None for any other path (which the reader opens itself)."""
    codec = codec_of(path)
    if codec is None:
        return None
    if os.path.isdir(path):
        raise IsADirectoryError(21, "Is a directory", os.fspath(path))
    if codec == "gzip":
        return gzip.open(path, "rb")
    if codec == "bzip2":
        return bz2.open(path, "rb")
    if zstd is None:
        raise RuntimeError(f"{os.fspath(path)}: this Python has no zstd codec (compression.zstd)")
    return zstd.open(path, "rb")

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


# What a codec raises on a damaged or cut-off file.
DAMAGED = (EOFError, OSError) if zstd is None else (EOFError, OSError, zstd.ZstdError)


class NamedStream:
    """A codec's stream whose errors of reading name the file: a damaged
    file among many in a folder is otherwise an error of no file at all.
    They are OSErrors, as any other file that cannot be read (a codec raises
    EOFError for a cut-off file, zstd its own ZstdError)."""

    def __init__(self, stream, path):
        self.stream = stream
        self.path = os.fspath(path)

    def read(self, size: int = -1) -> bytes:
        try:
            return self.stream.read(size)
        except DAMAGED as error:
            kind = type(error) if isinstance(error, OSError) else OSError
            raise kind(f"{self.path}: {error} (a damaged or cut-off compressed file)") from error

    def close(self) -> None:
        self.stream.close()


def open_compressed(path):
    """A binary stream of the decompressed bytes of a compressed file, or
    None for any other path (which the reader opens itself)."""
    codec = codec_of(path)
    if codec is None:
        return None
    if os.path.isdir(path):
        raise IsADirectoryError(21, "Is a directory", os.fspath(path))
    if codec == "gzip":
        return NamedStream(gzip.open(path, "rb"), path)
    if codec == "bzip2":
        return NamedStream(bz2.open(path, "rb"), path)
    if zstd is None:
        raise RuntimeError(f"{os.fspath(path)}: this Python has no zstd codec (compression.zstd)")
    return NamedStream(zstd.open(path, "rb"), path)

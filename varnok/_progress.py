"""Progress bars of long commands on stderr, through tqdm when it is
installed (an optional extra: without it a command runs without a bar)."""

from __future__ import annotations

import sys
from typing import Any


def stderr_bar(what: str, total: int | None, noun: str, note: str = "") -> Any:
    """A bar counting `noun` ("games", "steps") towards total (None: a count
    alone) with the time elapsed, `note` beside it, and room for a postfix;
    None where tqdm is not installed."""
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    of = "/{total_fmt}" if total else ""
    return tqdm(total=total or None, desc=what, file=sys.stderr, dynamic_ncols=True,
                bar_format="{desc}: {n_fmt}" + of + f" {noun} [{{elapsed}}{note}]{{postfix}}")

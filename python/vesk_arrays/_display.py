"""How a batch shows: its one-line repr and its table in a notebook."""

from __future__ import annotations

import html
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:
    import numpy as np
    from numpy.typing import NDArray

    from ._batch import Batch


def _summary(
    batch: Batch[Any], start: int, stop: int, offsets: NDArray[np.int64] | None
) -> tuple[str, str, str]:
    """(where the events are from, how many, how big)."""
    count = len(batch)
    events = "1 event" if count == 1 else f"{count} events"
    samples = "" if offsets is None else f", {int(offsets[-1])} samples"
    if not count:
        where = f"at event {start}"
    elif stop - start == count:
        where = f"events {start} to {stop - 1}"
    else:
        where = f"among events {start} to {stop - 1}"
    return where, events + samples, _human_bytes(batch.nbytes)


def batch_repr(
    batch: Batch[Any], format: str, start: int, stop: int, offsets: NDArray[np.int64] | None
) -> str:
    where, count, size = _summary(batch, start, stop, offsets)
    return f"<vesk_arrays.Batch {format}{_origin(batch)}, {where}: {count}, {size}>"


def _origin(batch: Batch[Any]) -> str:
    """The batch's file, or how many files its events come from."""
    if batch.path is not None:
        return f" {batch.path!r}"
    return f" of {len(batch.files)} files" if len(batch.files) > 1 else ""


def batch_html(
    batch: Batch[Any], format: str, start: int, stop: int, offsets: NDArray[np.int64] | None
) -> str:
    where, count, size = _summary(batch, start, stop, offsets)
    rows = [
        ("format", format),
        ("path", _origin(batch).strip().strip("'") if batch.path is None else batch.path),
        ("events", f"{count} ({where})"),
        ("columns", ", ".join(batch.keys())),
        ("size", size),
    ]
    cells = "".join(
        f"<tr><th style='text-align:left'>{name}</th>"
        f"<td style='text-align:left'>{html.escape(value)}</td></tr>"
        for name, value in rows
    )
    return f"<table><caption>vesk_arrays.Batch</caption>{cells}</table>"


def _human_bytes(size: int) -> str:
    for unit, scale in (("GB", 10**9), ("MB", 10**6), ("kB", 10**3)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size} bytes"

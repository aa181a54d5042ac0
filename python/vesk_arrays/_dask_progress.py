"""The progress bar of Dask collections read with ``progress=True``: Dask's own
``ProgressBar``, shown only for the computations that read such a collection."""

from __future__ import annotations

import sys
from collections.abc import Iterator, Mapping
from typing import Any

from ._optional import require

# The first word of the names of collections read with progress=True: the computations
# whose graphs hold it show a progress bar. Dask keeps a name's first word when it fuses
# tasks, and only that.
PROGRESS_MARK = "vesk_progress"
_progress: Any = None


def show_progress() -> None:
    """Dask's ProgressBar, registered once: it shows each computation by a local scheduler
    of a graph that reads a collection made with ``progress=True``, and stays silent for
    any other."""
    global _progress
    if _progress is not None:
        return
    diagnostics = require("dask.diagnostics", "dask", "vesk_arrays.dask.read(progress=True)")

    def keys(dsk: Mapping[Any, Any]) -> Iterator[Any]:
        for key, task in dsk.items():
            yield key
            # A task that dask-awkward fused (named after its last step) holds the graph it
            # runs: among its arguments (a Task), or as its callable's (a tuple, before 2024.12).
            for part in task if isinstance(task, tuple) else getattr(task, "args", ()):
                inner = getattr(part, "dsk", part)
                if isinstance(inner, dict):
                    yield from inner

    def asked(dsk: Mapping[Any, Any]) -> bool:
        names = (key[0] if isinstance(key, tuple) else key for key in keys(dsk))
        return any(isinstance(name, str) and name.startswith(PROGRESS_MARK) for name in names)

    callbacks = require("dask.callbacks", "dask", "vesk_arrays.dask.read(progress=True)")
    bar = diagnostics.ProgressBar()
    shown = [False]

    def start(dsk: Mapping[Any, Any]) -> None:
        shown[0] = asked(dsk)
        if shown[0]:
            bar._file = sys.stderr  # the stderr of the moment, not of the first read
            bar._start(dsk)

    def pretask(key: Any, dsk: Any, state: Any) -> None:
        if shown[0]:
            bar._pretask(key, dsk, state)

    def finish(dsk: Any, state: Any, errored: bool) -> None:
        if shown[0]:
            shown[0] = False
            bar._finish(dsk, state, errored)
            # The bar keeps the scheduler's state, which holds the computation's results.
            bar._state = None

    _progress = callbacks.Callback(start=start, pretask=pretask, finish=finish)
    _progress.register()

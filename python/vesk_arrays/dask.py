"""Many event files as one Dask DataFrame::

    import vesk_arrays.dask
    frame = vesk_arrays.dask.read("runs/*.wd1", "WD1", step_size="64 MiB")

Partitions are planned when the graph is built, from what is cheap to learn: file
sizes (``os.stat``) for a memory-size step, and event counts (headers only, see
:func:`vesk_arrays.num_events`) for files larger than one step or for a step given in
events. Consecutive small files share a partition, so a folder of many short runs
gives a few tasks of about ``step_size`` each, not one task per file; a large file is
split into event ranges. Samples are read only when the partitions are computed.
"""

from __future__ import annotations

import dataclasses
import math
import os
from collections.abc import Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any, Optional, SupportsIndex

import numpy as np
from numpy.typing import NDArray

from ._batch import Batch
from ._iterate import Paths, count_events, expand_paths, with_path
from ._optional import require
from ._options import DEFAULT_STEP, Errors, Layout, ReadOptions, format_of_paths, read_options
from ._reader import BatchReader
from ._schema import select_columns

if TYPE_CHECKING:
    # Dask is optional: without it (or its types) the frame is Any.
    import dask.dataframe  # type: ignore[import-not-found, unused-ignore]
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]


__all__ = ["read", "plan_partitions"]

# Events start to stop - 1 of a file (stop None: to its end); a partition is a tuple of them.
Piece = tuple[str, int, Optional[int]]
Partition = tuple[Piece, ...]


def plan_partitions(
    paths: Paths,
    reader_type: str,
    step_size: int | str = DEFAULT_STEP,
    *,
    layout: Layout = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
) -> list[Partition]:
    """The partitions :func:`read` builds: a list of partitions, each a tuple of pieces
    ``(path, start, stop)``, meaning events ``start`` to ``stop - 1`` of the file
    (``stop`` None: to its end). Paths are made absolute, as workers may have another
    working directory. ``layout`` is passed to the readers that count events; ``start``
    and ``stop`` keep those events of each file."""
    options = read_options(reader_type, step_size=step_size, layout=layout, start=start, stop=stop)
    return _plan(expand_paths(paths), options)


def _plan(paths: list[str], options: ReadOptions) -> list[Partition]:
    """plan_partitions, of options already checked."""
    files = [os.path.abspath(path) for path in paths]
    max_events, max_bytes = options.step
    if max_bytes is not None:
        plan = _plan_by_bytes(files, max_bytes, options)
    else:
        assert max_events is not None  # a step is one or the other
        plan = _plan_by_events(files, max_events, options)
    first, last = options.start, options.stop
    if first or last is not None:
        plan = [kept for partition in plan if (kept := _within(partition, first, last))]
    return plan or [()]


def _within(partition: Partition, first: int, last: int | None) -> Partition:
    """The pieces of a partition cut to events ``first`` to ``last - 1`` of each file."""
    pieces = []
    for path, start, stop in partition:
        start = max(start, first)
        stop = stop if last is None else last if stop is None else min(stop, last)
        if stop is None or start < stop:
            pieces.append((path, start, stop))
    return tuple(pieces)


def _plan_by_bytes(files: list[str], step: int, options: ReadOptions) -> list[Partition]:
    partitions: list[Partition] = []
    pieces: list[Piece] = []
    filled = 0
    for path in files:
        size = os.stat(path).st_size
        if size > step:
            if pieces:
                partitions.append(tuple(pieces))
                pieces, filled = [], 0
            # Event sizes within one file are assumed alike: equal event counts per part.
            count = count_events([path], options)
            parts = min(math.ceil(size / step), max(count, 1))
            starts = [count * i // parts for i in range(parts)]
            stops: list[int | None] = [*starts[1:], None]  # the last part: to the end
            partitions.extend(((path, a, b),) for a, b in zip(starts, stops))
            continue
        if pieces and filled + size > step:
            partitions.append(tuple(pieces))
            pieces, filled = [], 0
        pieces.append((path, 0, None))
        filled += size
    if pieces:
        partitions.append(tuple(pieces))
    return partitions


def _plan_by_events(files: list[str], step: int, options: ReadOptions) -> list[Partition]:
    partitions: list[Partition] = []
    pieces: list[Piece] = []
    filled = 0
    for path in files:
        count = count_events([path], options)
        position = 0
        while position < count:
            take = min(step - filled, count - position)
            # A file's last piece reads to its end, so that it meets what follows its
            # last event: damage is warned of, trailing bytes noted.
            last = position + take == count
            pieces.append((path, position, None if last else position + take))
            position += take
            filled += take
            if filled == step:
                partitions.append(tuple(pieces))
                pieces, filled = [], 0
    if pieces:
        partitions.append(tuple(pieces))
    return partitions


def _empty_frame(
    pa: ModuleType, reader_type: str, source: bool, columns: Sequence[str] | None = None
) -> pandas.DataFrame:
    frame = Batch.empty(reader_type, columns=columns).to_pandas()
    return _with_source(pa, frame, "", 0) if source else frame


def _with_source(
    pa: ModuleType, frame: pandas.DataFrame, path: str, events: NDArray[np.int64] | int
) -> pandas.DataFrame:
    pd = require("pandas", "dask", "vesk_arrays.dask")
    count = len(frame)
    frame.insert(0, "path", pd.arrays.ArrowExtensionArray(pa.repeat(pa.scalar(path, pa.string()), count)))
    frame.insert(1, "event", events)
    return frame


def _read_piece(
    path: str, start: int, stop: int | None, options: ReadOptions
) -> tuple[Batch[Any], NDArray[np.int64]]:
    """Events start to stop - 1 of the file, and the index of each in the file (damaged
    events count, as in ``Batch.start``)."""
    with BatchReader._with_options(path, options) as reader:
        reader.skip_to(start)
        batch = reader.read_range(stop)
    return batch, batch.event_index


def _read_partition(
    pieces: Partition,
    options: ReadOptions,
    source: bool,
    columns: Sequence[str] | None = None,
) -> pandas.DataFrame:
    """The partition's frame; Dask's optimiser passes ``columns`` (the frame's columns it
    needs), so that only those are read: without ``data``, no payload is."""
    pa = require("pyarrow", "dask", "vesk_arrays.dask")
    pd = require("pandas", "dask", "vesk_arrays.dask")
    reader_type = options.format
    names = [name for name, _ in Batch.empty(reader_type).items()]
    wanted = names if columns is None else [name for name in names if name in columns]
    # Something must be read to count the events, when only path and event are wanted.
    read_columns = wanted or names[:1]
    piece_options = dataclasses.replace(options, columns=select_columns(reader_type, read_columns))
    frames: list[pandas.DataFrame] = []
    for path, start, stop in pieces:
        try:
            batch, events = _read_piece(path, start, stop, piece_options)
        except OSError as error:
            raise with_path(error, path) from None
        frame = batch.to_pandas()
        frames.append(_with_source(pa, frame, path, events) if source else frame)
    frame = (
        _empty_frame(pa, reader_type, source, read_columns)
        if not frames
        else pd.concat(frames, ignore_index=True)
        if len(frames) > 1
        else frames[0]
    )
    return frame if columns is None else frame[list(columns)]


def read(
    paths: Paths,
    reader_type: str | None = None,
    *,
    step_size: int | str = DEFAULT_STEP,
    errors: Errors = "raise",
    source: bool = False,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    memory_map: bool = False,
) -> dask.dataframe.DataFrame:
    """A ``dask.dataframe.DataFrame`` of the events of ``paths``, in file order.

    ``paths`` is a str or os.PathLike (glob patterns are expanded, matches sorted) or a
    list of them; every worker must see the files at the same paths. Without
    ``reader_type`` the format is what their extensions tell, as for
    :func:`vesk_arrays.iterate`. Each partition
    holds about ``step_size`` of events (an int: that many events, packed across files;
    a memory size such as ``"64 MiB"``: about that many bytes of files). The columns are
    those of :meth:`Batch.to_pandas`; with ``source=True`` two more come first:
    ``path`` (the file, made absolute) and ``event`` (the event's index in its file,
    damaged events counted, as in ``Batch.start``). ``layout`` is passed to the readers (WD2 only; see
    :func:`vesk_arrays.read`). ``columns`` keeps only those columns of the events; Dask's
    own column projection (``frame[["timestamp"]]``) does the same, and a frame without
    ``data`` never reads a payload. ``start`` and ``stop`` keep events ``start`` to
    ``stop - 1`` of each file, as for :func:`vesk_arrays.iterate`. ``memory_map`` is
    passed to the readers (see :func:`vesk_arrays.read`).

    With ``errors="skip"`` damaged events are left out (a :class:`DamagedEventWarning`
    per file, on the worker); a file that cannot be opened always raises its OSError,
    when the graph is built or computed. Use :func:`vesk_arrays.iterate` with
    ``report=True`` to see what was skipped. Needs ``vesk[dask]``.
    """
    dataframe = require("dask.dataframe", "dask", "vesk_arrays.dask.read()")
    pa = require("pyarrow", "dask", "vesk_arrays.dask.read()")
    files = expand_paths(paths)
    options = read_options(
        format_of_paths(reader_type, files),
        step_size=step_size,
        errors=errors,
        layout=layout,
        start=start,
        stop=stop,
        prefetch=0,
        columns=columns,
        memory_map=memory_map,
    )
    partitions = _plan(files, options)
    meta = _empty_frame(pa, options.format, source)
    kept = options.columns
    frame: dask.dataframe.DataFrame = dataframe.from_map(
        _read_partition,
        partitions,
        meta=meta,
        options=options,
        source=bool(source),
        label=f"vesk-read-{options.format.lower()}",
    )
    if columns is None:
        return frame
    projected: dask.dataframe.DataFrame = frame[
        [name for name in meta.columns if name in kept or name in ("path", "event")]
    ]
    return projected

"""Many event files as one Dask DataFrame::

    import vesk_arrays.dask
    frame = vesk_arrays.dask.read("runs/*.wd1", "WD1", step_size="64 MiB")

Partitions are planned when the graph is built, from what is cheap to learn: file
sizes (``os.stat``) for a memory-size step, and event counts (headers only, see
:func:`vesk_arrays.num_events`) for files larger than one step or for a step given in
events. Consecutive small files share a partition, so a folder of many short runs
gives a few tasks of about ``step_size`` each, not one task per file; a large file is
split into event ranges. Samples are read only when the partitions are computed.

:func:`map_batches` runs a function of a :class:`~vesk_arrays.Batch` on each part of
those partitions, for what a frame cannot hold (per-event NumPy arrays); ``read(...,
library="ak")`` gives a dask-awkward array instead of the DataFrame.
"""

from __future__ import annotations

import dataclasses
import math
import os
import sys
import warnings
from collections.abc import Callable, Iterator, Mapping, Sequence
from types import ModuleType
from typing import TYPE_CHECKING, Any, Literal, Optional, SupportsIndex, overload

import numpy as np
from numpy.typing import NDArray

from ._batch import Batch
from ._damage import DamagedEventWarning
from ._dask_progress import PROGRESS_MARK, show_progress
from ._iterate import Paths, count_events, expand_paths, with_path
from ._optional import require
from ._options import DEFAULT_STEP, Errors, Layout, ReadOptions, format_of_paths, read_options
from ._reader import BatchReader
from ._remote import is_url, local_path, url_size
from ._schema import select_columns

if TYPE_CHECKING:
    # Dask is optional: without it (or its types) the collections are Any.
    import awkward  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import dask.bag  # type: ignore[import-not-found, unused-ignore]
    import dask.dataframe  # type: ignore[import-not-found, unused-ignore]
    import dask_awkward.lib.core  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]


__all__ = ["map_batches", "plan_partitions", "read"]

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
    storage_options: Mapping[str, Any] | None = None,
) -> list[Partition]:
    """The partitions :func:`read` builds: a list of partitions, each a tuple of pieces
    ``(path, start, stop)``, meaning events ``start`` to ``stop - 1`` of the file
    (``stop`` None: to its end). Paths are made absolute, as workers may have another
    working directory. ``layout`` is passed to the readers that count events; ``start``
    and ``stop`` keep those events of each file."""
    options = read_options(
        reader_type,
        step_size=step_size,
        layout=layout,
        start=start,
        stop=stop,
        storage_options=storage_options,
    )
    return _plan(_named_files(paths, storage_options), options)


def _named_files(paths: Paths, storage_options: Mapping[str, Any] | None) -> list[str]:
    """The files of ``paths`` (expand_paths), which the workers open by name: a URL as
    it is, a path made absolute. A file object cannot be sent to them (TypeError)."""
    files = []
    for file in expand_paths(paths, storage_options):
        if not isinstance(file, str):
            raise TypeError(
                "vesk_arrays.dask reads files by path or URL, which workers open; not file objects"
            )
        files.append(file if is_url(file) else os.path.abspath(local_path(file)))
    return files


# The events of a file that planning counts (damaged ones not counted).
Counter = Callable[[str], int]


def _plan(files: list[str], options: ReadOptions, counter: Counter | None = None) -> list[Partition]:
    """plan_partitions, of options already checked, of the files of _named_files;
    ``counter`` counts a file's events (by default count_events)."""
    count = counter or (lambda path: count_events([path], options))
    max_events, max_bytes = options.step
    if max_bytes is not None:
        plan = _plan_by_bytes(files, max_bytes, count, options.storage_options)
    else:
        assert max_events is not None  # a step is one or the other
        plan = _plan_by_events(files, max_events, count)
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


def _plan_by_bytes(
    files: list[str], step: int, count_of: Counter, storage_options: Mapping[str, Any] | None
) -> list[Partition]:
    partitions: list[Partition] = []
    pieces: list[Piece] = []
    filled = 0
    for path in files:
        size = url_size(path, storage_options) if is_url(path) else os.stat(path).st_size
        if size > step:
            if pieces:
                partitions.append(tuple(pieces))
                pieces, filled = [], 0
            # Event sizes within one file are assumed alike: equal event counts per part.
            count = count_of(path)
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


def _plan_by_events(files: list[str], step: int, count_of: Counter) -> list[Partition]:
    partitions: list[Partition] = []
    pieces: list[Piece] = []
    filled = 0
    for path in files:
        count = count_of(path)
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


@dataclasses.dataclass(frozen=True)
class _Job:
    """What every task of a collection reads with: the checked options (a URL's
    ``storage_options`` among them, for the workers to open it with)."""

    options: ReadOptions

    def open(self, path: str, options: ReadOptions | None = None) -> BatchReader[Any]:
        try:
            return BatchReader._with_options(path, options or self.options)
        except OSError as error:
            raise with_path(error, path) from None


def _survey(path: str, job: _Job) -> tuple[int, list[warnings.WarningMessage]]:
    """The good events of a file before the options' ``stop`` (headers only), and the
    warnings the pass gave: the file's DamagedEventWarning, for the client to give."""
    stop = job.options.stop
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always", DamagedEventWarning)
        total = 0
        with job.open(path, job.options.counting()) as reader:
            while stop is None or reader.events_read < stop:
                # Loops until the reader stops moving, in case a reader stops a skip short.
                before = reader.events_read
                total += reader.skip(sys.maxsize) if stop is None else reader.skip_to(stop)
                if reader.events_read == before:
                    break
    return total, caught


def _planned(
    paths: Paths,
    reader_type: str | None = None,
    *,
    step_size: int | str = DEFAULT_STEP,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> tuple[_Job, list[Partition]]:
    """The job and partitions of ``read`` and ``map_batches``, from their keywords.

    Damage is warned of here, on the client, once per file: the workers' readers keep
    quiet (``_read_piece``), since a warning given on a worker process never reaches the
    caller, and one given by each task would come again with every ``compute()``. So
    with ``errors="skip"`` (and with a ``start``, before which damage is passed over and
    warned of) planning counts every file's events, headers only."""
    files = _named_files(paths, storage_options)
    options = read_options(
        format_of_paths(reader_type, files),
        step_size=step_size,
        errors=errors,
        layout=layout,
        start=start,
        stop=stop,
        prefetch=0,
        columns=columns,
        storage_options=storage_options,
        memory_map=memory_map,
    )
    job = _Job(options)
    counts: dict[str, int] = {}
    given: list[warnings.WarningMessage] = []

    def count(path: str) -> int:
        if path not in counts:
            counts[path], caught = _survey(path, job)
            given.extend(caught)
        return counts[path]

    # Else damage raises when computed, and a count's warning of it is not given.
    warn_of_damage = options.skip_damaged or bool(options.start)
    if warn_of_damage:
        for path in files:
            count(path)
    partitions = _plan(files, options, count)
    for warning in given:
        if warn_of_damage or not issubclass(warning.category, DamagedEventWarning):
            # stacklevel 3: the caller of read or map_batches.
            warnings.warn(warning.message, warning.category, stacklevel=3)
    return job, partitions


def _read_piece(path: str, start: int, stop: int | None, job: _Job) -> Batch[Any]:
    """Events start to stop - 1 of the file (damage warned of when planned)."""
    with job.open(path) as reader:
        reader._warned = True  # _planned warned of the file's damage, on the client
        reader.skip_to(start)
        return reader.read_range(stop)


def _batches(pieces: Partition, job: _Job) -> Iterator[tuple[str, Batch[Any]]]:
    """Each piece's path and batch, read when asked for."""
    for path, start, stop in pieces:
        try:
            yield path, _read_piece(path, start, stop, job)
        except OSError as error:
            raise with_path(error, path) from None


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


def _read_partition(
    pieces: Partition,
    job: _Job,
    source: bool,
    columns: Sequence[str] | None = None,
) -> pandas.DataFrame:
    """The partition's frame; Dask's optimiser passes ``columns`` (the frame's columns it
    needs), so that only those are read: without ``data``, no payload is."""
    pa = require("pyarrow", "dask", "vesk_arrays.dask")
    pd = require("pandas", "dask", "vesk_arrays.dask")
    reader_type = job.options.format
    names = [name for name, _ in Batch.empty(reader_type).items()]
    wanted = names if columns is None else [name for name in names if name in columns]
    # Something must be read to count the events, when only path and event are wanted.
    read_columns = wanted or names[:1]
    options = dataclasses.replace(job.options, columns=select_columns(reader_type, read_columns))
    frames: list[pandas.DataFrame] = []
    for path, batch in _batches(pieces, dataclasses.replace(job, options=options)):
        frame = batch.to_pandas()
        frames.append(_with_source(pa, frame, path, batch.event_index) if source else frame)
    frame = (
        _empty_frame(pa, reader_type, source, read_columns)
        if not frames
        else pd.concat(frames, ignore_index=True)
        if len(frames) > 1
        else frames[0]
    )
    return frame if columns is None else frame[list(columns)]


def _awkward_partition(pieces: Partition, job: _Job, source: bool) -> awkward.Array:
    """The partition as an awkward array of records. Every list is a variable one, also
    where a part's events have one shape, so that every partition has the meta's type."""
    ak = require("awkward", "dask-awkward", "vesk_arrays.dask.read(library='ak')")
    parts = [
        _awkward_source(ak, array, path, batch.event_index) if source else array
        for path, batch in _batches(pieces, job)
        for array in [ak.from_regular(batch.to_awkward(), axis=None)]
    ]
    if not parts:
        empty = ak.from_regular(
            Batch.empty(job.options.format, columns=job.options.columns).to_awkward(), axis=None
        )
        parts = [_awkward_source(ak, empty, "", np.empty(0, np.int64)) if source else empty]
    return ak.concatenate(parts) if len(parts) > 1 else parts[0]


def _awkward_source(
    ak: ModuleType, array: awkward.Array, path: str, events: NDArray[np.int64]
) -> awkward.Array:
    """The records with the file's path and each event's index in it first."""
    raw = np.frombuffer(path.encode(), np.uint8)
    count = len(array)
    chars = ak.contents.NumpyArray(np.tile(raw, count), parameters={"__array__": "char"})
    offsets = ak.index.Index64(np.arange(count + 1, dtype=np.int64) * len(raw))
    paths = ak.contents.ListOffsetArray(offsets, chars, parameters={"__array__": "string"})
    fields = {"path": ak.Array(paths), "event": np.asarray(events, np.int64)}
    return ak.zip({**fields, **{name: array[name] for name in ak.fields(array)}}, depth_limit=1)


def _mapped(parts: list[Partition], func: Callable[[Batch[Any]], Any], job: _Job) -> list[Any]:
    """A bag partition: func of each piece's batch (one bag partition per partition)."""
    return [func(batch) for pieces in parts for _, batch in _batches(pieces, job)]


def _mapped_frame(
    pieces: Partition, apply: Callable[[Batch[Any]], Any], job: _Job, empty: Any
) -> pandas.DataFrame:
    """A frame partition: the frames func gives for the pieces' batches, one after another."""
    pd = require("pandas", "dask", "vesk_arrays.dask.map_batches()")
    frames = [apply(batch) for _, batch in _batches(pieces, job)]
    return empty if not frames else frames[0] if len(frames) == 1 else pd.concat(frames)


def map_batches(
    func: Callable[[Batch[Any]], Any],
    paths: Paths,
    reader_type: str | None = None,
    *,
    meta: Any = None,
    **read_options: Any,
) -> dask.bag.Bag | dask.dataframe.DataFrame:
    """``func(batch)`` of the events of ``paths``, part by part, as a Dask collection.

    The partitions are those of :func:`read` (``read_options`` are its keywords:
    ``step_size``, ``errors``, ``layout``, ``columns``, ``start``, ``stop``), planned
    without reading samples. A task reads each file's part of its partition as one
    :class:`~vesk_arrays.Batch` (its ``path`` and ``event_index`` tell where its events
    came from) and calls ``func`` on it; a partition of several small files gives one
    call per file. So ``func`` gets the per-event NumPy arrays (``batch["data"]``,
    ``batch.offsets``, ``batch.waveforms()``, ``batch.reduce(...)``) of a part of about
    ``step_size``.

    Without ``meta`` the result is a ``dask.bag.Bag`` of what ``func`` returns, one item
    per call, in file order. With ``meta`` (an empty ``pandas.DataFrame`` or Series, or
    what ``dask.dataframe.from_map`` takes as ``meta``) ``func`` returns pandas frames
    (or Series), and the result is a Dask DataFrame of them, one partition per partition.
    Damage is warned of as by :func:`read`. Needs ``vesk[dask]``.
    """
    if not callable(func):
        raise TypeError(f"func must be callable, not {type(func).__name__!r}")
    job, partitions = _planned(paths, reader_type, **read_options)
    if meta is None:
        bag = require("dask.bag", "dask", "vesk_arrays.dask.map_batches()")
        batches: dask.bag.Bag = bag.from_sequence(partitions, partition_size=1)
        mapped: dask.bag.Bag = batches.map_partitions(_mapped, func, job)  # type: ignore[no-untyped-call, unused-ignore]
        return mapped
    dataframe = require("dask.dataframe", "dask", "vesk_arrays.dask.map_batches()")
    empty = dataframe.utils.make_meta(meta)
    frame: dask.dataframe.DataFrame = dataframe.from_map(
        _mapped_frame,
        partitions,
        meta=empty,
        apply=func,
        job=job,
        empty=empty,
        label=f"vesk-map-{job.options.format.lower()}",
    )
    return frame


@overload
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
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
    library: Literal["pd"] = "pd",
    progress: bool = False,
) -> dask.dataframe.DataFrame: ...
@overload
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
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
    library: Literal["ak"],
    progress: bool = False,
) -> dask_awkward.lib.core.Array: ...
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
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
    library: Literal["pd", "ak"] = "pd",
    progress: bool = False,
) -> dask.dataframe.DataFrame | dask_awkward.lib.core.Array:
    """A ``dask.dataframe.DataFrame`` of the events of ``paths``, in file order; with
    ``library="ak"`` a ``dask_awkward.Array`` of them.

    ``paths`` is a str or os.PathLike (glob patterns are expanded, matches sorted) or a
    list of them; every worker must see the files at the same paths. An fsspec URL
    (``s3://bucket/run*.wd1``, its file system made with ``storage_options``) is expanded by
    its own file system and opened by each worker itself. Without
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

    ``library="ak"`` gives the records of :meth:`Batch.to_awkward` (with ``path`` and
    ``event`` first when ``source=True``), every list a variable one; it needs
    ``vesk[dask-awkward]``, which pins a dask and dask-awkward that work together.

    With ``errors="skip"`` damaged events are left out, and a :class:`DamagedEventWarning`
    is given once per file with damaged events, here, when the graph is built (planning
    then counts every file's events, headers only), never by a ``compute()``. A file that
    cannot be opened always raises its OSError, when the graph is built or computed. Use
    :func:`vesk_arrays.iterate` with ``report=True`` to see what was skipped.

    With ``progress=True`` each computation of the collection, or of one made from it,
    by a local scheduler shows Dask's own ``dask.diagnostics.ProgressBar`` (on stderr);
    on a ``distributed`` cluster use ``distributed.progress`` of what ``Client.compute``
    or ``persist`` returns. Needs ``vesk[dask]``.
    """
    if library not in ("pd", "ak"):
        raise ValueError(f"library must be 'pd' (a Dask DataFrame) or 'ak' (dask-awkward), not {library!r}")
    if library == "ak":
        dak = require("dask_awkward", "dask-awkward", "vesk_arrays.dask.read(library='ak')")
    else:
        dataframe = require("dask.dataframe", "dask", "vesk_arrays.dask.read()")
    pa = require("pyarrow", "dask", "vesk_arrays.dask.read()")
    job, partitions = _planned(
        paths,
        reader_type,
        step_size=step_size,
        errors=errors,
        layout=layout,
        columns=columns,
        start=start,
        stop=stop,
        storage_options=storage_options,
        memory_map=memory_map,
    )
    options = job.options
    label = f"{PROGRESS_MARK if progress else 'vesk'}-read-{options.format.lower()}"
    if progress:
        show_progress()
    if library == "ak":
        empty = _awkward_partition((), job, bool(source))
        meta = type(empty)(empty.layout.to_typetracer(forget_length=True))
        array: dask_awkward.lib.core.Array = dak.from_map(
            _awkward_partition, partitions, job=job, source=bool(source), label=label, meta=meta
        )
        return array
    meta = _empty_frame(pa, options.format, source)
    frame: dask.dataframe.DataFrame = dataframe.from_map(
        _read_partition,
        partitions,
        meta=meta,
        job=job,
        source=bool(source),
        label=label,
    )
    if columns is None:
        return frame
    projected: dask.dataframe.DataFrame = frame[
        [name for name in meta.columns if name in options.columns or name in ("path", "event")]
    ]
    return projected

"""`read`: a slice of one file, or of each of many files, as one batch."""

from __future__ import annotations

import os
from collections.abc import Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex, Union, cast, overload

from ._batch import Batch
from ._concat import concat
from ._iterate import Paths, expand_paths, format_of_files, with_path
from ._options import (
    DEFAULT_STEP,
    Errors,
    Layout,
    ReadOptions,
    check_index,
    format_of_source,
    read_options,
)
from ._progress import counted, progress_bar, tqdm_module
from ._reader import BatchReader, reported_batches
from ._remote import GLOB_MAGIC, is_url, local_path
from ._sources import Source, StrPath

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event

# What `read` reads: one file (a path or a file object), or a list of paths and glob
# patterns (a Sequence, to type checkers: a text file object is an Iterable of str).
Sources = Union[Source, Sequence[StrPath]]


@overload
def read(
    source: Sources,
    reader_type: Literal["WD1"],
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Batch[WD1Event]: ...
@overload
def read(
    source: Sources,
    reader_type: Literal["WD2"],
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Batch[WD2Event]: ...
@overload
def read(
    source: Sources,
    reader_type: str | None = None,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Batch[WD1Event | WD2Event]: ...
def read(
    source: Sources,
    reader_type: str | None = None,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Batch[WD1Event | WD2Event]:
    """Events ``start`` to ``stop - 1`` of a file (all of them by default) as one Batch;
    of each of several files, joined into one batch.

    ``source`` is a path, a URL (with ``storage_options``) or a binary file object, as
    for :class:`BatchReader` (which tells how ``reader_type`` is found from a path's
    extension when it is left out). Event indices count damaged events too, as
    ``Batch.start`` and ``DamagedEventError.index`` do, so
    ``read(path, start=b.start, stop=b.stop)`` gives batch ``b`` back.

    ``source`` may also name many files, as :func:`iterate` takes them: a list of paths,
    or a glob pattern (``"runs/*.wd1"``, its matches in sorted order). ``start`` and
    ``stop`` then apply to each file, and the batch holds their events one file after
    another, joined as :func:`concat` joins batches (a copy): ``batch.files`` lists the
    files and ``batch.file_index`` gives each event's, ``batch.event_index`` its index
    in that file. A file that cannot be opened or read raises its OSError (naming the
    file), with ``errors="skip"`` too.

    A ``stop`` past the end of the file is clamped, as slicing does. With
    ``errors="raise"`` the first damaged event among those asked for raises
    :class:`DamagedEventError`; with ``errors="skip"`` damaged events are left out, with one
    warning for each file. Damage before ``start`` is passed over and warned of, never
    raised; damage from ``stop`` on is not the call's. A read error met after some events
    raises, as it does before them.

    ``columns`` (a list of column names, all by default) reads only those; without
    ``"data"`` the payloads are skipped, by seeking on a regular file, and never read.

    With ``progress=True`` a tqdm progress bar is drawn on stderr (needs tqdm, in
    ``vesk[cli]``); its total is the events counted beforehand, without reading samples.
    The events are then read in parts of about 64 MiB and joined, a copy as for many files.

    ``memory_map=True`` leaves the samples of a regular file in its mapping, copying none
    (see :class:`BatchReader`).
    """
    first = check_index("start", start)
    last = None if stop is None else check_index("stop", stop)
    tqdm = tqdm_module("read(progress=True)") if progress else None
    many = _names_many(source)
    files: list[Any] = []
    if many:
        # Not a file object: _names_many tells.
        files = expand_paths(cast(Paths, source), storage_options)
        if not files:
            raise ValueError("read needs at least one file")
        reader_type = format_of_files(reader_type, files)
    else:
        reader_type = format_of_source(source, reader_type)
    options = read_options(
        reader_type,
        step_size=None if tqdm is None else DEFAULT_STEP,
        errors=errors,
        layout=layout,
        prefetch=0,
        columns=columns,
        storage_options=storage_options,
        memory_map=memory_map,
        start=first,
        stop=last,
    )
    if not many and tqdm is None:
        return _read_one(cast(Source, source), options)
    sources: list[Any] = files if many else [source]
    parts: Iterator[Batch[Any]] = (part for one in sources for part in _file_parts(one, options))
    if tqdm is not None:
        # A file object's events cannot be counted beforehand: a bar without a total.
        counts = files or ([os.fspath(source)] if isinstance(source, (str, os.PathLike)) else None)
        parts = counted(parts, len, lambda: progress_bar(tqdm, counts, options, "reading"))
    joined = list(parts)
    return joined[0] if len(joined) == 1 else concat(joined)


def _names_many(source: object) -> bool:
    """Whether ``source`` names several files: a list of them, or a glob pattern that is
    not itself the name of a file."""
    if isinstance(source, (str, os.PathLike)):
        name = os.fspath(source)
        if not isinstance(name, str) or not GLOB_MAGIC.search(name):
            return False
        # A URL's pattern is expanded by its own file system, which tells what it names.
        return is_url(name) or not os.path.lexists(local_path(name))
    return not hasattr(source, "read") and not hasattr(source, "readinto")


def _read_one(source: Source, options: ReadOptions) -> Batch[Any]:
    """The events ``options.start`` to ``options.stop - 1`` of one file, in one read."""
    with BatchReader._with_options(source, options) as reader:
        reader.skip_to(options.start)
        if options.stop is not None and options.stop <= options.start:
            return Batch.empty(
                reader.format, path=reader.path, start=reader.events_read, columns=reader.columns
            )
        return reader.read_range(options.stop)


def _parts(source: Source, options: ReadOptions) -> Iterator[Batch[Any]]:
    """The same events in parts of ``options.step``, for a progress bar to follow; at least one."""
    with BatchReader._with_options(source, options) as reader:
        reader.skip_to(options.start)
        given = False
        if options.stop is None or options.stop > options.start:
            for batch, _ in reported_batches(reader, *options.step, options.stop):
                given = True
                yield batch
            reader.raise_pending()
        if not given:
            yield Batch.empty(
                reader.format, path=reader.path, start=reader.events_read, columns=reader.columns
            )


def _file_parts(source: Source, options: ReadOptions) -> Iterator[Batch[Any]]:
    """`_read_one` of a file, or `_parts` of it for a progress bar; an OSError names the file."""
    try:
        if options.step.max_bytes is None:
            yield _read_one(source, options)
        else:
            yield from _parts(source, options)
    except OSError as error:
        if isinstance(source, str):
            raise with_path(error, source) from None
        raise

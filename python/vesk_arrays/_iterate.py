"""Many files as one stream of batches, with a report of what each read met; event counts."""

from __future__ import annotations

import glob
import os
import sys
import warnings
from collections.abc import Generator, Iterable, Iterator, Mapping, Sequence
from dataclasses import dataclass
from typing import TYPE_CHECKING, Any, Literal, SupportsIndex, TypeVar, Union, cast, overload

from ._batch import Batch
from ._damage import DamagedEventError, DamagedEventWarning, ReadFindings
from ._options import (
    DEFAULT_PREFETCH,
    DEFAULT_STREAM_STEP,
    Errors,
    Layout,
    Prefetch,
    ReadOptions,
    check_path,
    format_of_paths,
    read_options,
    stream_step,
)
from ._progress import counted, progress_bar, tqdm_module
from ._reader import BatchReader, reported_batches
from ._remote import GLOB_MAGIC, StorageOptions, expand_url, is_url, local_path
from ._sources import ReadInto, StrPath, is_file_object, name_of

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event


# What `paths` may be: a path, a URL or a file object, or many of them (an alias, so
# spelt for Python 3.9).
Paths = Union[StrPath, ReadInto, Iterable[Union[StrPath, ReadInto]]]

_Event = TypeVar("_Event", bound="WD1Event | WD2Event")
_OSErrorT = TypeVar("_OSErrorT", bound=OSError)


def expand_paths(paths: Paths, storage_options: StorageOptions | None = None) -> list[str | ReadInto]:
    """The files named by ``paths``: a str or os.PathLike (a path or a URL), a binary file
    object, or a list of them.

    A name holding ``*``, ``?`` or ``[`` that is not itself an existing file is a glob
    pattern, replaced by its matches in sorted order (a URL's found by its own file
    system). A pattern that matches nothing is kept as it is, so that opening it fails
    like opening any other missing file, instead of the files quietly vanishing.
    """
    # bytes are refused by check_path, with its message.
    names: list[object]
    if isinstance(paths, (str, bytes, os.PathLike)) or is_file_object(paths):
        names = [paths]
    else:
        try:
            names = list(cast("Iterable[object]", paths))  # a file object is no iterable here
        except TypeError:
            raise TypeError(
                f"paths must be a str, an os.PathLike, a file object or a list of them, "
                f"not {type(paths).__name__!r}"
            ) from None
    files: list[str | ReadInto] = []
    for name in names:
        if is_file_object(name):
            files.append(name)
            continue
        path = check_path(name)
        if is_url(path):
            files.extend(expand_url(path, storage_options))
        elif GLOB_MAGIC.search(path) and not os.path.lexists(local_path(path)):
            scheme = path[: len(path) - len(local_path(path))]  # "file://" or ""
            files.extend([scheme + match for match in sorted(glob.glob(local_path(path)))] or [path])
        else:
            files.append(path)
    return files


def format_of_files(reader_type: str | None, files: Sequence[str | ReadInto]) -> str:
    """``reader_type``, else the format the names of the files tell (format_of_paths); a
    file object tells none."""
    if reader_type is None and not all(isinstance(file, str) for file in files):
        raise ValueError("cannot tell the format of a file object: give reader_type 'WD1' or 'WD2'")
    return format_of_paths(reader_type, [file for file in files if isinstance(file, str)])


@dataclass(frozen=True)
class Report:
    """What reading one batch met, given with it by ``iterate(..., report=True)``.

    ``path`` is the batch's file and ``file_index`` its position among the files.
    ``events`` is the range of event indices within the file that this read went over:
    from ``batch.start`` to the reader's position after it (at most ``stop``), so damaged
    events skipped after the batch's first event lie inside it; those skipped before it
    (``start`` passes over damage, and a read may begin with damage) come before it, and
    are in ``damaged``. ``rows`` is the range of the batch's events among all the events
    yielded so far, over every file (``len(rows) == len(batch)``).

    With ``errors="skip"``: ``damaged`` holds a :class:`DamagedEventError` (with ``path``,
    ``index``, ``offset``, ``reason``, ``skipped`` and ``resume_at``) for each damaged event
    this read skipped (the first 1000 of a file; ``damaged_count`` counts all), and
    ``error`` the exception of a file that could not be opened or read any further (its
    message names the file); such a file's remaining events are not read.

    ``skipped`` holds the half-open ``(start, stop)`` byte ranges this read skipped
    because of damage (the first 1000; ``skipped_bytes`` counts every byte, and
    ``estimated_events`` is about how many events they held, at the size of the file's
    events, None when those have had no one size), and ``trailing_bytes``
    the bytes after the file's last whole event (a truncated last event), given with the
    file's last report; together with the events, they account for every byte of the
    file.
    """

    path: str
    file_index: int
    events: range
    rows: range
    damaged: tuple[DamagedEventError, ...] = ()
    error: Exception | None = None
    skipped: tuple[tuple[int, int], ...] = ()
    trailing_bytes: int = 0
    damaged_count: int = 0
    skipped_bytes: int = 0
    estimated_events: int | None = 0

    @property
    def ok(self) -> bool:
        """True when the read skipped nothing and met no error."""
        return not self.damaged_count and not self.skipped_bytes and self.error is None


def with_path(error: _OSErrorT, path: str) -> _OSErrorT:
    """The OSError, or one of the same class that names the file.

    Among many files the path is what tells which one failed. An error with an errno
    gets the path as its ``filename``; one with only a message (``filename`` set on it
    would print as "[Errno None] None: ...") gets the path in front of the message.
    """
    # The readers' own messages start with the path, or its repr.
    if error.filename is not None or str(error).startswith((f"{path}: ", f"{path!r}: ")):
        return error
    try:
        if error.errno is not None and error.strerror is not None:
            return type(error)(error.errno, error.strerror, path)
        return type(error)(f"{path}: {error}")
    except Exception:
        return error


@overload
def iterate(
    paths: Paths,
    reader_type: Literal["WD1"],
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: Literal[False] = False,
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[Batch[WD1Event]]: ...
@overload
def iterate(
    paths: Paths,
    reader_type: Literal["WD2"],
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: Literal[False] = False,
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[Batch[WD2Event]]: ...
@overload
def iterate(
    paths: Paths,
    reader_type: str | None = None,
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: Literal[False] = False,
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[Batch[WD1Event | WD2Event]]: ...
@overload
def iterate(
    paths: Paths,
    reader_type: Literal["WD1"],
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: Literal[True],
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[tuple[Batch[WD1Event], Report]]: ...
@overload
def iterate(
    paths: Paths,
    reader_type: Literal["WD2"],
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: Literal[True],
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[tuple[Batch[WD2Event], Report]]: ...
@overload
def iterate(
    paths: Paths,
    reader_type: str | None = None,
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: Literal[True],
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[tuple[Batch[WD1Event | WD2Event], Report]]: ...
@overload
def iterate(
    paths: Paths,
    reader_type: str | None = None,
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: bool = False,
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[Batch[WD1Event | WD2Event]] | Generator[tuple[Batch[WD1Event | WD2Event], Report]]: ...
def iterate(
    paths: Paths,
    reader_type: str | None = None,
    *,
    step_size: int | str = DEFAULT_STREAM_STEP,
    report: bool = False,
    errors: Errors = "raise",
    follow: bool = False,
    poll_interval: float = 0.5,
    timeout: float | None = None,
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    prefetch: Prefetch = DEFAULT_PREFETCH,
    progress: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    memory_map: bool = False,
) -> Generator[Batch[Any]] | Generator[tuple[Batch[Any], Report]]:
    """The events of many files as batches, file after file, in the order of ``paths``.

    ``paths`` is a str or os.PathLike (a path, or an fsspec URL such as
    ``s3://bucket/run*.wd1``, its file system made with ``storage_options``; see
    :class:`BatchReader`), a binary file object, or a list of them; glob patterns are
    expanded and their matches sorted. Without ``reader_type`` the format is what the files'
    extensions tell (as :class:`BatchReader` finds it); ValueError when they tell none or
    differ. Each batch holds ``step_size`` events (an int) or about
    that many bytes (a memory size such as ``"64 MiB"``), and never spans two files.

    With ``report=True`` the iteration gives ``(batch, report)`` pairs, ``report`` a
    :class:`Report`. Every file gives at least one batch: when it holds no event, when
    it cannot be opened (``errors="skip"``), or when damage, trailing bytes or a read
    error follow its last event, an empty batch comes with the report that records it.
    So each file and each problem met appears in some report.

    With ``errors="raise"`` a file that cannot be opened raises its ``OSError`` (its
    message names the file) when the iteration reaches it, and a damaged event
    raises :class:`DamagedEventError` after the batch before it. With ``errors="skip"``
    both are recorded in the reports and the iteration goes on, with one
    :class:`DamagedEventWarning` per file with damaged events.

    ``follow``, ``poll_interval`` and ``timeout`` apply to the last file, the one an
    acquisition may still be writing (see :class:`BatchReader`); ``layout`` to WD2 files.
    ``columns``, ``start``, ``stop``, ``prefetch`` and ``memory_map`` apply to each file, as they do
    to :func:`read` and :class:`BatchReader`: ``start`` and ``stop`` are event indices
    within each file; damage before ``start`` is passed over (recorded in the file's
    first report, and warned of), never raised.

    With ``progress=True`` a tqdm progress bar is drawn on stderr, its total the events
    counted (without reading samples) when the iteration starts; needs tqdm, in ``vesk[cli]``.
    """
    files = expand_paths(paths, storage_options)
    options = read_options(
        format_of_files(reader_type, files),
        step_size=step_size,
        errors=errors,
        layout=layout,
        follow=follow,
        poll_interval=poll_interval,
        timeout=timeout,
        start=start,
        stop=stop,
        prefetch=prefetch,
        columns=columns,
        storage_options=storage_options,
        memory_map=memory_map,
    )
    pairs = reported_pairs(files, options)
    if progress:
        tqdm = tqdm_module("iterate(progress=True)")
        pairs = counted(
            pairs, lambda pair: len(pair[0]), lambda: progress_bar(tqdm, files, options, "reading")
        )
    return pairs if report else (batch for batch, _ in pairs)


def reported_pairs(
    files: Sequence[str | ReadInto], options: ReadOptions
) -> Generator[tuple[Batch[Any], Report]]:
    """`iterate`'s pairs of the files, of options already checked; ``follow`` applies to
    the last file."""
    row = 0
    for file_index, file in enumerate(files):
        file_options = options if file_index == len(files) - 1 else options.without_follow()
        for batch, report in _file_pairs(file, file_index, file_options, row):
            row += len(batch)
            yield batch, report


def _open(file: str | ReadInto, options: ReadOptions) -> BatchReader[Any] | OSError | DamagedEventError:
    """The reader, or the error (naming the file) of a file that cannot be opened."""
    try:
        return BatchReader._with_options(file, options)
    except (OSError, DamagedEventError) as error:
        return with_path(error, _name(file)) if isinstance(error, OSError) else error


def _name(file: str | ReadInto) -> str:
    return file if isinstance(file, str) else name_of(file)


def _file_pairs(
    file: str | ReadInto, file_index: int, options: ReadOptions, row: int
) -> Generator[tuple[Batch[Any], Report]]:
    reader_type, errors, columns = options.format, options.errors, options.columns
    path = _name(file)
    reader = _open(file, options)
    if not isinstance(reader, BatchReader):
        if errors == "raise":
            raise reader
        yield (
            Batch.empty(reader_type, path=path, columns=columns),
            Report(path, file_index, range(0, 0), range(row, row), error=reader),
        )
        return

    with reader:
        batches = _batches_within(reader, options)
        given = False
        trailing_given = False
        while True:
            position = reader.events_read
            try:
                pair = next(batches, None)
            except OSError as read_error:
                error = with_path(read_error, path)
                if errors == "raise":
                    raise error from None
                yield (
                    Batch.empty(reader_type, path=path, start=position, columns=columns),
                    Report(
                        path, file_index, range(position, reader.events_read), range(row, row), error=error
                    ),
                )
                return
            trailing = reader.trailing_bytes
            if pair is None:
                if not given or (trailing and not trailing_given):
                    yield (
                        Batch.empty(reader_type, path=path, start=position, columns=columns),
                        Report(
                            path,
                            file_index,
                            range(position, position),
                            range(row, row),
                            trailing_bytes=trailing,
                        ),
                    )
                return
            batch, findings = pair
            given = True
            trailing_given = findings.at_end and bool(trailing)
            end = reader.events_read if options.stop is None else min(reader.events_read, options.stop)
            yield (
                batch,
                Report(
                    path,
                    file_index,
                    range(batch.start, max(end, batch.start)),
                    range(row, row + len(batch)),
                    findings.damaged,
                    skipped=findings.skipped,
                    trailing_bytes=trailing if trailing_given else 0,
                    damaged_count=findings.damaged_count,
                    skipped_bytes=findings.skipped_bytes,
                    estimated_events=reader._estimated_events(findings.skipped_bytes)
                    if findings.skipped_bytes
                    else 0,
                ),
            )
            row += len(batch)


def _batches_within(
    reader: BatchReader[_Event], options: ReadOptions
) -> Iterator[tuple[Batch[_Event], ReadFindings]]:
    if options.start:
        reader.skip_to(options.start)
    yield from reported_batches(reader, *stream_step(options.step, reader._core.mapped), options.stop)


@overload
def num_events(
    paths: Paths,
    reader_type: str | None = None,
    *,
    layout: Layout = None,
    per_file: Literal[False] = False,
    storage_options: Mapping[str, Any] | None = None,
) -> int: ...
@overload
def num_events(
    paths: Paths,
    reader_type: str | None = None,
    *,
    layout: Layout = None,
    per_file: Literal[True],
    storage_options: Mapping[str, Any] | None = None,
) -> list[int]: ...
@overload
def num_events(
    paths: Paths,
    reader_type: str | None = None,
    *,
    layout: Layout = None,
    per_file: bool = False,
    storage_options: Mapping[str, Any] | None = None,
) -> int | list[int]: ...
def num_events(
    paths: Paths,
    reader_type: str | None = None,
    *,
    layout: Layout = None,
    per_file: bool = False,
    storage_options: Mapping[str, Any] | None = None,
) -> int | list[int]:
    """How many events iterating ``paths`` gives, found without reading any samples; with
    ``per_file=True`` a list of each file's count, in the order :func:`iterate` reads them.

    ``paths``, ``reader_type`` and ``storage_options`` are taken as by :func:`iterate`. Damaged events are not
    counted (they are what ``errors="skip"`` leaves out); a file that cannot be opened
    raises its OSError.
    """
    files = expand_paths(paths, storage_options)
    options = read_options(
        format_of_files(reader_type, files), errors="skip", layout=layout, storage_options=storage_options
    )
    counts = [_file_events(file, options.counting()) for file in files]
    return counts if per_file else sum(counts)


def count_events(files: Sequence[str | ReadInto], options: ReadOptions) -> int:
    """`num_events` of the files, of options already checked (damaged events skipped)."""
    options = options.counting()
    return sum(_file_events(file, options) for file in files)


def _file_events(file: str | ReadInto, options: ReadOptions) -> int:
    try:
        reader = BatchReader._with_options(file, options)
    except OSError as error:
        raise with_path(error, _name(file)) from None
    total = 0
    with warnings.catch_warnings(), reader:
        warnings.simplefilter("ignore", DamagedEventWarning)
        while True:
            # Loops until the reader stops moving, in case a reader stops a skip short.
            before = reader.events_read
            total += reader.skip(sys.maxsize)
            if reader.events_read == before:
                break
    return total

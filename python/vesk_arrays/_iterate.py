"""Many files as one stream of batches, with a report of what each read met; event counts."""

from __future__ import annotations

import glob
import os
import re
import sys
import warnings
from dataclasses import dataclass

from ._batch import Batch
from ._reader import (
    DEFAULT_PREFETCH,
    DEFAULT_STREAM_STEP,
    BatchReader,
    DamagedEventError,
    DamagedEventWarning,
    check_columns,
    check_errors,
    check_follow_options,
    check_format,
    check_index,
    check_layout,
    check_path,
    check_prefetch,
    parse_step_size,
)

_GLOB_MAGIC = re.compile(r"[*?[]")


def expand_paths(paths):
    """The files named by ``paths``: a str or os.PathLike, or a list of them.

    A name holding ``*``, ``?`` or ``[`` that is not itself an existing file is a glob
    pattern, replaced by its matches in sorted order. A pattern that matches nothing is
    kept as it is, so that opening it fails like opening any other missing file, instead
    of the files quietly vanishing.
    """
    if isinstance(paths, (str, bytes, os.PathLike)):
        paths = [paths]
    try:
        paths = list(paths)
    except TypeError:
        raise TypeError(
            f"paths must be a str, an os.PathLike or a list of them, not {type(paths).__name__!r}"
        ) from None
    files = []
    for path in paths:
        path = check_path(path)
        if _GLOB_MAGIC.search(path) and not os.path.lexists(path):
            files.extend(sorted(glob.glob(path)) or [path])
        else:
            files.append(path)
    return files


@dataclass(frozen=True)
class Report:
    """What reading one batch met, given with it by ``iterate(..., report=True)``.

    ``path`` is the batch's file and ``file_index`` its position among the files.
    ``events`` is the range of event indices within the file that this read went over:
    from ``batch.start`` to the reader's position after it, so damaged events skipped on
    the way lie inside it, and the reports of one file cover it without gaps. ``rows``
    is the range of the batch's events among all the events yielded so far, over every
    file (``len(rows) == len(batch)``).

    With ``errors="skip"``: ``damaged`` holds a :class:`DamagedEventError` (with ``path``,
    ``index``, ``offset``, ``reason``, ``skipped`` and ``resume_at``) for each damaged event
    this read skipped (the first 1000 of a file; ``damaged_count`` counts all), and
    ``error`` the exception of a file that could not be opened or read any further (its
    message names the file); such a file's remaining events are not read.

    ``skipped`` holds the ``(start, stop)`` byte ranges this read skipped because of
    damage (the first 1000; ``skipped_bytes`` counts every byte), and ``trailing_bytes``
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

    @property
    def ok(self):
        """True when the read skipped nothing and met no error."""
        return not self.damaged_count and not self.skipped_bytes and self.error is None


def with_path(error, path):
    """The OSError, or one of the same class that names the file.

    Among many files the path is what tells which one failed. An error with an errno
    gets the path as its ``filename``; one with only a message (``filename`` set on it
    would print as "[Errno None] None: ...") gets the path in front of the message.
    """
    if error.filename is not None or str(error).startswith(f"{path}: "):
        return error
    try:
        if error.errno is not None and error.strerror is not None:
            return type(error)(error.errno, error.strerror, path)
        return type(error)(f"{path}: {error}")
    except Exception:
        return error


def iterate(
    paths,
    reader_type,
    *,
    step_size=DEFAULT_STREAM_STEP,
    report=False,
    errors="raise",
    follow=False,
    poll_interval=0.5,
    timeout=None,
    layout=None,
    columns=None,
    start=0,
    stop=None,
    prefetch=DEFAULT_PREFETCH,
):
    """The events of many files as batches, file after file, in the order of ``paths``.

    ``paths`` is a str or os.PathLike, or a list of them; glob patterns are expanded
    and their matches sorted. Each batch holds ``step_size`` events (an int) or about
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
    ``columns``, ``start``, ``stop`` and ``prefetch`` apply to each file, as they do
    to :func:`read` and :class:`BatchReader`: ``start`` and ``stop`` are event indices
    within each file.
    """
    check_format(reader_type)
    parse_step_size(step_size)
    check_errors(errors)
    check_layout(reader_type, layout)
    check_follow_options(follow, poll_interval, timeout)
    start = check_index("start", start)
    stop = None if stop is None else check_index("stop", stop)
    check_prefetch(prefetch)
    options = {
        "errors": errors,
        "layout": layout,
        "columns": check_columns(reader_type, columns),
        "prefetch": prefetch,
    }
    follow_options = {"follow": follow, "poll_interval": poll_interval, "timeout": timeout}
    files = list(expand_paths(paths))
    pairs = _pairs(files, reader_type, step_size, (start, stop), options, follow_options)
    return pairs if report else (batch for batch, _ in pairs)


def _pairs(files, reader_type, step_size, span, options, follow_options):
    row = 0
    for file_index, path in enumerate(files):
        last = {**options, **(follow_options if file_index == len(files) - 1 else {})}
        for batch, report in _file_pairs(path, file_index, reader_type, step_size, span, row, last):
            row += len(batch)
            yield batch, report


def _open(path, reader_type, options):
    """The reader, or the error (naming the file) of a file that cannot be opened."""
    try:
        return BatchReader(path, reader_type, **options), None
    except (OSError, DamagedEventError) as error:
        return None, with_path(error, path) if isinstance(error, OSError) else error


def _file_pairs(path, file_index, reader_type, step_size, span, row, options):
    errors, columns = options["errors"], options["columns"]
    reader, error = _open(path, reader_type, options)
    if error is not None:
        if errors == "raise":
            raise error
        yield (
            Batch.empty(reader_type, path=path, columns=columns),
            Report(path, file_index, range(0, 0), range(row, row), error=error),
        )
        return

    unit, size = parse_step_size(step_size)
    max_events, max_bytes = (size, None) if unit == "events" else (None, size)
    with reader:
        batches = _batches_within(reader, span, max_events, max_bytes)
        given = False
        trailing_given = False
        while True:
            position = reader.events_read
            try:
                batch, news = next(batches, (None, None))
            except OSError as error:
                error = with_path(error, path)
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
            if batch is None:
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
            given = True
            trailing_given = news.at_end and bool(trailing)
            yield (
                batch,
                Report(
                    path,
                    file_index,
                    range(position, reader.events_read),
                    range(row, row + len(batch)),
                    news.damaged,
                    skipped=news.skipped,
                    trailing_bytes=trailing if trailing_given else 0,
                    damaged_count=news.damaged_count,
                    skipped_bytes=news.skipped_bytes,
                ),
            )
            row += len(batch)


def _batches_within(reader, span, max_events, max_bytes):
    start, stop = span
    if start:
        reader.skip_to(start)
    yield from reader._reported_batches(max_events, max_bytes, stop)


def num_events(paths, reader_type, *, layout=None):
    """How many events iterating ``paths`` gives, found without reading any samples.

    ``paths`` is taken as by :func:`iterate`. Damaged events are not counted (they are
    what ``errors="skip"`` leaves out); a file that cannot be opened raises its OSError.
    """
    check_format(reader_type)
    check_layout(reader_type, layout)
    total = 0
    for path in expand_paths(paths):
        try:
            reader = BatchReader(path, reader_type, errors="skip", layout=layout)
        except OSError as error:
            raise with_path(error, path) from None
        with warnings.catch_warnings(), reader:
            warnings.simplefilter("ignore", DamagedEventWarning)
            while True:
                # Loops until the reader stops moving, in case a reader stops a skip short.
                before = reader.events_read
                total += reader.skip(sys.maxsize)
                if reader.events_read == before:
                    break
    return total

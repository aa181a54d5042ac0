"""Reading events in batches: `read` for one slice of a file, `BatchReader` for streaming."""

from __future__ import annotations

import io
import operator
import os
import re
import threading
import time
import warnings
import weakref
from collections.abc import Generator, Iterator, Sequence
from typing import (
    TYPE_CHECKING,
    Final,
    Generic,
    Literal,
    NamedTuple,
    Optional,
    SupportsIndex,
    TypeVar,
    Union,
    cast,
    overload,
)

import numpy as np

from . import _core
from ._batch import HEADER_FIELDS, Batch, trusted_batch
from ._sources import ReadInto, Source, compression_of, is_file_object, name_of, open_decompressed

if TYPE_CHECKING:
    from numpy.typing import NDArray
    from typing_extensions import Self

    from vesk import WD1Event, WD2Event


FORMATS = tuple(HEADER_FIELDS)
# Batches that a stream hands on one after the other: measured fastest on the job of
# reading each event's maximum (README, Performance), small enough for the batch being
# filled to stay in the processor's cache while the caller still holds the one before.
DEFAULT_STREAM_STEP = "2 MiB"
# Parts that are stored or scheduled (Parquet row groups, Dask partitions), where each
# part costs more than its bytes.
DEFAULT_STEP = "64 MiB"
DEFAULT_PREFETCH: Final = "auto"

# Aliases, not annotations, so spelt for Python 3.9.
Format = Literal["WD1", "WD2"]
Errors = Literal["raise", "skip"]
Layout = Optional[Literal["multi-channel", "single-channel"]]
Prefetch = Union[int, Literal["auto"]]

# A reader is parametrised by the dictionary of one of its events, as its batches are:
# BatchReader[WD1Event], BatchReader[WD2Event], or BatchReader[WD1Event | WD2Event] when
# the format is known only at run time.
_Event_co = TypeVar("_Event_co", bound="WD1Event | WD2Event", covariant=True)
_Event = TypeVar("_Event", bound="WD1Event | WD2Event")


class DamagedEventError(ValueError):
    """An event whose header cannot be trusted: its length cannot be represented, or runs
    past the end of the file although good events follow.

    ``path`` is the file, ``index`` the event's index within it (damaged events count),
    ``offset`` the byte offset where its header starts, ``skipped`` the ``(start, stop)``
    byte range skipped because of it, and ``resume_at`` the offset of the next good event,
    where reading goes on (None when nothing readable follows).
    """

    def __init__(
        self,
        path: str,
        index: int,
        offset: int,
        reason: str,
        skipped: tuple[int, int] | None = None,
        resume_at: int | None = None,
    ) -> None:
        where = ""
        if skipped is not None:
            start, stop = skipped
            goes_on = f"reading goes on at byte {resume_at}" if resume_at is not None else "nothing follows"
            where = f"; bytes {start} to {stop} are skipped, {goes_on}"
        super().__init__(f"{path}: event {index} at byte {offset} is damaged: {reason}{where}")
        self.path = path
        self.index = index
        self.offset = offset
        self.reason = reason
        self.skipped = skipped
        self.resume_at = resume_at

    def __reduce__(self) -> tuple[type[DamagedEventError], tuple[object, ...]]:
        # Rebuilt from its fields, so that it crosses process boundaries (Dask
        # workers, multiprocessing) as itself.
        return type(self), (self.path, self.index, self.offset, self.reason, self.skipped, self.resume_at)


class DamagedEventWarning(UserWarning):
    """Damaged events were skipped (``errors="skip"``)."""


_REASONS = {
    "WD1": "its event_size gives a negative number of samples",
    "WD2": "its data length (samples x channels x 4 bytes) is 2^63 bytes or more",
}
_OVERLONG = "its length runs past the end of the file, and good events follow"
_OVERLAPS = "good events begin inside it, so its length is wrong (a cut or overwritten file)"
_UNCONFIRMED = "no event of this file follows where its length ends, so that length is not believed"
# Details are kept for this many damaged events of a file; all are counted.
MAX_DAMAGE_RECORDS = 1000
_LAYOUTS: dict[str | None, int] = {None: 0, "multi-channel": 1, "single-channel": 2}
_UINT64_MAX = 2**64 - 1


_UNITS = {
    "": 1,
    "b": 1,
    "kb": 10**3,
    "mb": 10**6,
    "gb": 10**9,
    "tb": 10**12,
    "kib": 2**10,
    "mib": 2**20,
    "gib": 2**30,
    "tib": 2**40,
}
_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([a-z]*)\s*", re.IGNORECASE)


def parse_step_size(step_size: int | str) -> tuple[Literal["events", "bytes"], int]:
    """("events", n) for an int, ("bytes", n) for a memory size such as "64 MiB" or "100 MB"."""
    if not isinstance(step_size, str):
        try:
            if isinstance(step_size, bool):
                raise TypeError
            step_size = operator.index(step_size)
        except TypeError:
            raise TypeError(
                f"step_size must be an int (events) or a str (a memory size such as "
                f"'64 MiB'), not {type(step_size).__name__!r}"
            ) from None
        if step_size < 1:
            raise ValueError(f"step_size must be at least 1 event, not {step_size}")
        return "events", step_size
    match = _SIZE.fullmatch(step_size)
    unit = match and _UNITS.get(match.group(2).lower())
    if not match or not unit:
        raise ValueError(f"step_size {step_size!r} is not a memory size such as '64 MiB' or '100 MB'")
    size = int(float(match.group(1)) * unit)
    if size < 1:
        raise ValueError(f"step_size must be at least 1 byte, not {step_size!r}")
    return "bytes", size


def check_path(path: object) -> str:
    """The path as a str; TypeError for anything but a str or an os.PathLike giving a str."""
    if isinstance(path, (str, os.PathLike)):
        name = os.fspath(path)
        if isinstance(name, str):
            return name
    raise TypeError(f"path must be a str or an os.PathLike, not {type(path).__name__!r}")


def check_format(reader_type: str) -> Format:
    if not isinstance(reader_type, str):
        raise TypeError(f"reader_type must be a str, not {type(reader_type).__name__!r}")
    if reader_type not in FORMATS:
        raise ValueError(f"unknown reader type {reader_type!r}, expected 'WD1' or 'WD2'")
    return cast(Format, reader_type)


def _check_seconds(name: str, value: float) -> float:
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__!r}")
    if not value >= 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return float(value)


def check_errors(errors: str) -> Errors:
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return cast(Errors, errors)


def check_count(name: str, value: SupportsIndex) -> int:
    """An int (anything with ``__index__``, NumPy integers included) that is not negative."""
    if isinstance(value, bool):
        raise TypeError(f"{name} must be an int, not 'bool'")
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an int, not {type(value).__name__!r}") from None
    if count < 0:
        raise ValueError(f"{name} must not be negative, not {count}")
    return count


def check_index(name: str, value: SupportsIndex) -> int:
    """An event index: a count, clamped to what a file can hold."""
    return min(check_count(name, value), _UINT64_MAX)


def check_layout(reader_type: str, layout: str | None) -> int:
    """The core's code for a WD2 layout: probed (None), "multi-channel" or "single-channel"."""
    if layout is not None and reader_type != "WD2":
        raise ValueError(f"layout applies to WD2 files only, not to {reader_type}")
    if layout not in _LAYOUTS:
        raise ValueError(f"layout must be None, 'multi-channel' or 'single-channel', not {layout!r}")
    return _LAYOUTS[layout]


def merge_ranges(
    ranges: list[tuple[int, int]], more: Sequence[tuple[int, int]], limit: int
) -> list[tuple[int, int]]:
    """Appends the (start, stop) ranges `more` to `ranges`, merging adjacent ones, up to
    `limit` ranges."""
    for start, stop in more:
        if ranges and ranges[-1][1] == start:
            ranges[-1] = (ranges[-1][0], stop)
        elif len(ranges) < limit:
            ranges.append((start, stop))
    return ranges


class CallNews(NamedTuple):
    """What one read met besides its events (for the reports of ``iterate``)."""

    damaged: tuple[DamagedEventError, ...]
    damaged_count: int
    skipped: tuple[tuple[int, int], ...]
    skipped_bytes: int
    at_end: bool


class BatchReader(Generic[_Event_co]):
    """Reads one WD1 or WD2 file in batches of consecutive events.

    ``source`` is a path (a ``str`` or ``os.PathLike``; files compressed with gzip, xz,
    bzip2 or zstd are recognised by their first bytes and decompressed) or a binary file
    object with ``readinto`` (``sys.stdin.buffer``, ``io.BytesIO``, ``gzip.open(...)``),
    read as a stream. A WD2 stream is probed without rewinding; ``layout``
    (``"multi-channel"`` or ``"single-channel"``) skips the probe.

    ``read(n)`` gives the next ``n`` events (fewer at the end of the file; an empty batch
    once it has ended), ``batches(step_size)`` iterates over the rest of the file.

    ``columns`` (a list of column names, all by default) reads only those; without
    ``"data"`` the payloads are skipped, by seeking on a regular file, and never read.
    With ``prefetch=1`` ``batches`` reads the next batch of a regular file on a thread of
    its own, outside the interpreter lock, while the caller works on the current one; any
    other call puts the reader back first, so what every call returns is the same as with
    ``prefetch=0``. Memory then holds about three batches, not two. ``"auto"`` (the
    default) reads ahead after batches whose events hold under 4 KiB of samples each:
    decoding small events is work a second core takes over, while large events are copied
    at the speed of memory, which a second thread does not raise.

    Damage: a header whose length cannot be represented, or that runs past the end of the
    file while good events follow, is damaged. Reading goes on at the next good event
    (the next header when it is plausible, else the start of a chain of plausible
    headers), and the bytes in between are skipped and recorded in ``skipped``. With
    ``errors="raise"`` a damaged event ends the batch before it and the next call raises
    :class:`DamagedEventError` for it; the call after that goes on after it. With
    ``errors="skip"`` damaged events are left out and recorded in ``damaged``, with one
    :class:`DamagedEventWarning` for the file. Every byte of the file ends up in an
    event, in ``skipped``, or in ``trailing_bytes``.

    With ``follow=True`` the end of the file is not the end: ``batches`` waits for the
    file to grow, polling every ``poll_interval`` seconds, and ends once nothing new has
    come for ``timeout`` seconds (never, for None). An event is only ever returned whole.

    Use it as a context manager, or call ``close()``. One reader may be shared by
    threads: calls are served one at a time, and no event is returned twice.
    """

    @overload
    def __init__(
        self: BatchReader[WD1Event],
        source: Source,
        reader_type: Literal["WD1"],
        *,
        errors: Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: Layout = None,
        columns: Sequence[str] | None = None,
        prefetch: Prefetch = DEFAULT_PREFETCH,
    ) -> None: ...
    @overload
    def __init__(
        self: BatchReader[WD2Event],
        source: Source,
        reader_type: Literal["WD2"],
        *,
        errors: Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: Layout = None,
        columns: Sequence[str] | None = None,
        prefetch: Prefetch = DEFAULT_PREFETCH,
    ) -> None: ...
    @overload
    def __init__(
        self: BatchReader[WD1Event | WD2Event],
        source: Source,
        reader_type: str,
        *,
        errors: Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: Layout = None,
        columns: Sequence[str] | None = None,
        prefetch: Prefetch = DEFAULT_PREFETCH,
    ) -> None: ...
    def __init__(
        self,
        source: Source,
        reader_type: str,
        *,
        errors: Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: Layout = None,
        columns: Sequence[str] | None = None,
        prefetch: Prefetch = DEFAULT_PREFETCH,
    ) -> None:
        self._format = check_format(reader_type)
        self._columns = check_columns(self._format, columns)
        self._samples = "data" in self._columns
        self._prefetch = check_prefetch(prefetch)
        self._skip = check_errors(errors) == "skip"
        layout_code = check_layout(self._format, layout)
        self._follow, self._poll_interval, self._timeout = check_follow_options(
            follow, poll_interval, timeout
        )
        self._lock = threading.Lock()
        # An exception met after the events returned with it.
        self._pending: BaseException | None = None
        # Events read before an interruption, for the next call.
        self._carry: tuple[Batch[_Event_co], CallNews] | None = None
        self._damaged: list[DamagedEventError] = []
        self._damaged_count = 0
        self._skipped: list[tuple[int, int]] = []
        self._skipped_bytes = 0
        self._warned = False
        # A decompressing file object opened here, closed with the reader.
        self._owned: io.RawIOBase | None = None
        options = (bool(follow), layout_code)
        if is_file_object(source):
            self._path = name_of(source)
            self._core = self._open(source, options)
            return
        self._path = check_path(source)
        compression = compression_of(self._path)
        if compression is None:
            self._core = self._open(self._path, options)
            if self._prefetch:
                _READING_AHEAD.add(self)
            return
        self._owned = open_decompressed(self._path, compression)
        try:
            self._core = self._open(self._owned, options)
        except BaseException:
            self._owned.close()
            raise

    def _open(self, source: str | ReadInto, options: tuple[bool, int]) -> _core.Reader:
        try:
            return _core.Reader(source, self._format, self._path, *options)
        except ValueError as error:  # the first WD2 header rules out every layout
            raise DamagedEventError(self._path, 0, 0, str(error)) from None

    # -- state ---------------------------------------------------------------------------------

    @property
    def path(self) -> str:
        return self._path

    @property
    def format(self) -> Format:
        return self._format

    @property
    def columns(self) -> tuple[str, ...]:
        """The names of the columns each batch holds."""
        return self._columns

    @property
    def closed(self) -> bool:
        return self._core.closed

    @property
    def damaged(self) -> list[DamagedEventError]:
        """A :class:`DamagedEventError` for each damaged event skipped so far
        (``errors="skip"``): the first 1000 of them; ``damaged_count`` counts all."""
        return list(self._damaged)

    @property
    def damaged_count(self) -> int:
        """How many damaged events were skipped so far (``errors="skip"``)."""
        return self._damaged_count

    @property
    def skipped(self) -> tuple[tuple[int, int], ...]:
        """The ``(start, stop)`` byte ranges skipped so far because of damage: damaged
        headers and what was passed over to reach the next good event (the first 1000
        ranges; ``skipped_bytes`` counts every byte)."""
        return tuple(self._skipped)

    @property
    def skipped_bytes(self) -> int:
        """How many bytes were skipped so far because of damage."""
        return self._skipped_bytes

    @property
    def trailing_bytes(self) -> int:
        """Bytes after the last whole event, as of the last time the end of the file was met
        (a truncated last event, or one still being written)."""
        return self._core.trailing_bytes

    @property
    def events_read(self) -> int:
        """Index of the next event in the file: events returned or skipped so far."""
        return self._core.events_read

    @property
    def position(self) -> int:
        """Bytes of the file consumed so far: just past the last whole event read or skipped."""
        return self._core.position

    @property
    def has_channel_field(self) -> bool | None:
        """WD2: whether the headers carry the channel field (as the layout probe decided); None for WD1."""
        layout = self._core.layout
        return None if layout is None else layout[0]

    @property
    def channel_count(self) -> int | None:
        """WD2: the file's channel count (1 for single-channel files); None for WD1."""
        layout = self._core.layout
        return None if layout is None else layout[1]

    def close(self) -> None:
        """Closes the file. An interruption kept from the last call is raised now; with
        ``errors="skip"`` the warning for the file's damaged events is given if it was not."""
        self._core.close()
        if self._owned is not None:
            self._owned.close()
        self._warn_damage()
        with self._lock:
            pending, self._pending = self._pending, None
        if pending is not None and not isinstance(pending, Exception):
            raise pending

    def __enter__(self) -> Self:
        return self

    def __exit__(self, *exc_info: object) -> None:
        self.close()

    def __repr__(self) -> str:
        state = "closed" if self.closed else f"at event {self.events_read}"
        return f"<vesk_arrays.BatchReader {self._format} {self._path!r}, {state}>"

    # -- reading -------------------------------------------------------------------------------

    def read(self, max_events: SupportsIndex) -> Batch[_Event_co]:
        """At most ``max_events`` events; an empty batch at the end of the file."""
        return self._read_reported(check_count("max_events", max_events), None)[0]

    def batches(self, step_size: int | str = DEFAULT_STREAM_STEP) -> Generator[Batch[_Event_co]]:
        """Batches over the rest of the file: ``step_size`` events each (an int) or about
        that many bytes each (a memory size such as ``"64 MiB"``)."""
        unit, size = parse_step_size(step_size)
        max_events, max_bytes = (size, None) if unit == "events" else (None, size)
        return (batch for batch, _ in reported_batches(self, max_events, max_bytes))

    def skip(self, count: SupportsIndex) -> int:
        """Steps over up to ``count`` events without reading their samples (payloads are
        skipped by seeking); returns how many. Damaged events are handled as by ``read``:
        with ``errors="skip"`` they are skipped and do not count, else the skip stops before
        one and the next call raises :class:`DamagedEventError` (at once when nothing was
        skipped)."""
        return self._skip_events(check_count("count", count), None)

    def skip_to(self, index: SupportsIndex) -> int:
        """Steps over the events before event ``index`` of the file (damaged events count),
        without reading their samples; returns how many good events were stepped over."""
        return self._skip_events(None, check_index("index", index))

    def read_range(self, stop: SupportsIndex | None = None) -> Batch[_Event_co]:
        """The events from here to event ``stop - 1`` of the file (damaged events count;
        None: to its end), as one batch; a problem met after them is raised, not kept."""
        batch = self._read_reported(None, None, None if stop is None else check_index("stop", stop))[0]
        self.raise_pending()
        return batch

    def _skip_events(self, count: int | None, stop: int | None) -> int:
        with self._lock:
            self._take_pending()
            skipped, report = self._core.skip(count, self._skip, stop)
            self._settle(skipped, report)
            return skipped

    def _read_reported(
        self, max_events: int | None, max_bytes: int | None, stop: int | None = None, ahead: int = 0
    ) -> tuple[Batch[_Event_co], CallNews]:
        """The next batch and what the read met besides it; with ``ahead``, the batch after
        it is read meanwhile, for a next call with the same limits."""
        with self._lock:
            if self._carry is not None:
                carried, self._carry = self._carry, None
                return carried
            self._take_pending()
            arrays, report = self._core.read(max_events, max_bytes, self._skip, stop, ahead, self._samples)
            first_index, stop_index = report[0], report[6]
            # The reader's type parameter is its format's event, which the batch is made for.
            if arrays is None:
                batch = cast(
                    "Batch[_Event_co]",
                    Batch.empty(self._format, path=self._path, start=first_index, columns=self._columns),
                )
            else:
                columns, offsets = arrays
                count = len(columns["event_counter"])
                if len(columns) != len(self._columns):
                    columns = {name: columns[name] for name in self._columns}
                batch = trusted_batch(
                    self._format,
                    columns,
                    offsets,
                    path=self._path,
                    start=first_index,
                    stop=stop_index,
                    event_index=event_indices(first_index, stop_index, count, report[1]),
                )
            news = self._settle(len(batch), report, batch)
            return batch, news

    def _settle(
        self, produced: int, report: _core._Report, batch: Batch[_Event_co] | None = None
    ) -> CallNews:
        """Records what a call met; raises its problem now when nothing was produced, else
        keeps it for the next call (an interruption is raised at once, the batch kept)."""
        _, records, count, skipped, error, at_end, _, skipped_bytes = report
        damaged = tuple(self._damage_error(*record) for record in records)
        merge_ranges(self._skipped, skipped, MAX_DAMAGE_RECORDS)
        self._skipped_bytes += skipped_bytes
        problem = error
        if damaged and not self._skip:
            problem = damaged[0]
        elif damaged or count:
            self._damaged.extend(damaged[: max(MAX_DAMAGE_RECORDS - len(self._damaged), 0)])
            self._damaged_count += count
        news = CallNews(
            damaged if self._skip else (), count if self._skip else 0, tuple(skipped), skipped_bytes, at_end
        )
        if problem is not None:
            if not produced:
                raise problem
            if not isinstance(problem, Exception) and batch is not None:
                self._carry = (batch, news)
                raise problem
            self._pending = problem
        return news

    def _damage_error(
        self, index: int, offset: int, stop: int, resume_at: int | None, kind: int
    ) -> DamagedEventError:
        reason = (_REASONS[self._format], _OVERLONG, _OVERLAPS, _UNCONFIRMED)[kind]
        return DamagedEventError(self._path, index, offset, reason, (offset, stop), resume_at)

    def _take_pending(self) -> None:
        if self._pending is not None:
            error, self._pending = self._pending, None
            raise error

    def raise_pending(self) -> None:
        """Raises the problem the last call met after the events it returned, if any."""
        with self._lock:
            self._take_pending()

    def _warn_damage(self) -> None:
        if self._skip and self._damaged_count and not self._warned:
            self._warned = True
            count = self._damaged_count
            what = "1 damaged event" if count == 1 else f"{count} damaged events"
            ranges = len(self._skipped)
            warnings.warn(
                f"{self._path}: skipped {what} ({ranges} byte range{'s' * (ranges != 1)})",
                DamagedEventWarning,
                stacklevel=4,
            )


def reported_batches(
    reader: BatchReader[_Event],
    max_events: int | None,
    max_bytes: int | None,
    stop: int | None = None,
) -> Iterator[tuple[Batch[_Event], CallNews]]:
    """The reader's batches up to event ``stop - 1`` of the file (None: to its end), each with
    what its read met besides its events; a followed file is waited for, as by ``batches``."""
    quiet_since = None
    while True:
        batch, news = reader._read_reported(max_events, max_bytes, stop, ahead=reader._prefetch)
        if len(batch) or news.skipped_bytes:
            quiet_since = None
            yield batch, news
            continue
        if not reader._follow:
            reader._warn_damage()
            return
        now = time.monotonic()
        if quiet_since is None:
            quiet_since = now
        if reader._timeout is not None and now - quiet_since >= reader._timeout:
            reader._warn_damage()
            return
        # Interruptible: Ctrl-C ends the wait at once.
        time.sleep(
            reader._poll_interval
            if reader._timeout is None
            else min(reader._poll_interval, max(reader._timeout - (now - quiet_since), 0))
        )


def event_indices(
    start: int, stop: int, count: int, damage_records: _core._Damage
) -> NDArray[np.int64] | None | Literal[False]:
    """The indices in the file of a batch's `count` events, which run from `start` to
    `stop` less the damaged events among them: None when no event is missing, False when
    too many were damaged for the records to tell which."""
    if stop - start == count:
        return None
    damaged = [record[0] for record in damage_records if start <= record[0] < stop]
    indices: NDArray[np.int64] = np.setdiff1d(
        np.arange(start, stop, dtype=np.int64), damaged, assume_unique=True
    )
    return indices if len(indices) == count else False


def check_columns(reader_type: str, columns: Sequence[str] | None) -> tuple[str, ...]:
    """The names of the columns to read, in the order of the file: all of them for None.
    A WD2 batch with ``data`` holds ``samples`` and ``channels`` too, which give its shape."""
    names = [name for name, _ in HEADER_FIELDS[reader_type]] + ["data"]
    if columns is None:
        return tuple(names)
    if isinstance(columns, (str, bytes)):
        raise TypeError(f"columns must be a list of column names, not {type(columns).__name__!r}")
    wanted = list(columns)
    unknown = [name for name in wanted if name not in names]
    if unknown:
        raise ValueError(f"a {reader_type} batch has no column {unknown[0]!r}; its columns are {names}")
    if not wanted:
        raise ValueError(f"columns must name at least one column of {names}")
    if reader_type == "WD2" and "data" in wanted:
        wanted += ["samples", "channels"]
    return tuple(name for name in names if name in wanted)


def _usable_cores() -> int:
    getaffinity = getattr(os, "sched_getaffinity", None)
    return len(getaffinity(0)) if getaffinity is not None else os.cpu_count() or 1


def check_prefetch(prefetch: Prefetch) -> int:
    """The core's read-ahead mode: 0 never, 1 always, 2 for batches of small events."""
    if prefetch == "auto":
        # On one core the thread would only take turns with the caller (measured 2 to 12%
        # slower there).
        return 2 if _usable_cores() > 1 else 0
    mode = int(prefetch) if isinstance(prefetch, bool) else check_count("prefetch", prefetch)
    if mode > 1:
        raise ValueError(f"prefetch must be 0, 1 (batches read ahead) or 'auto', not {mode}")
    return mode


# Readers that may have a batch being read ahead on a thread of their own: a
# fork waits for those threads, which the child would not have.
_READING_AHEAD: weakref.WeakSet[BatchReader[WD1Event | WD2Event]] = weakref.WeakSet()


def _settle_read_aheads() -> None:
    for reader in list(_READING_AHEAD):
        reader._core.settle()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(before=_settle_read_aheads)


def check_follow_options(
    follow: bool, poll_interval: float, timeout: float | None
) -> tuple[bool, float, float | None]:
    return (
        bool(follow),
        _check_seconds("poll_interval", poll_interval),
        None if timeout is None else _check_seconds("timeout", timeout),
    )


@overload
def read(
    source: Source,
    reader_type: Literal["WD1"],
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
) -> Batch[WD1Event]: ...
@overload
def read(
    source: Source,
    reader_type: Literal["WD2"],
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
) -> Batch[WD2Event]: ...
@overload
def read(
    source: Source,
    reader_type: str,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
) -> Batch[WD1Event | WD2Event]: ...
def read(
    source: Source,
    reader_type: str,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
) -> Batch[WD1Event | WD2Event]:
    """Events ``start`` to ``stop - 1`` of one file (all of them by default) as one Batch.

    ``source`` is a path or a binary file object, as for :class:`BatchReader`. Event
    indices count damaged events too, as ``Batch.start`` and ``DamagedEventError.index``
    do, so ``read(path, start=b.start, stop=b.stop)`` gives batch ``b`` back.

    A ``stop`` past the end of the file is clamped, as slicing does. With
    ``errors="raise"`` the first damaged event raises :class:`DamagedEventError`; with
    ``errors="skip"`` damaged events are left out, with one warning for the file. A read
    error met after some events raises, as it does before them.

    ``columns`` (a list of column names, all by default) reads only those; without
    ``"data"`` the payloads are skipped, by seeking on a regular file, and never read.
    """
    first = check_index("start", start)
    last = None if stop is None else check_index("stop", stop)
    with BatchReader(
        source, reader_type, errors=errors, layout=layout, columns=columns, prefetch=0
    ) as reader:
        reader.skip_to(first)
        if last is not None and last <= first:
            return Batch.empty(
                reader.format, path=reader.path, start=reader.events_read, columns=reader.columns
            )
        return reader.read_range(last)

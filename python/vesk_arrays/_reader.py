"""Reading events in batches: `read` for one slice of a file, `BatchReader` for streaming."""

from __future__ import annotations

import functools
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
    Any,
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
from ._batch import Batch, trusted_batch
from ._event_index import EventIndex, LazyIndex
from ._schema import HEADER_FIELDS
from ._sources import (
    ReadInto,
    Source,
    compression_of,
    is_file_object,
    is_regular_file,
    name_of,
    open_decompressed,
    open_stream,
)

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
    ``offset`` the byte offset where its header starts, ``skipped`` the half-open
    ``(start, stop)`` byte range skipped because of it, and ``resume_at`` the offset of
    the next good event, where reading goes on (None when nothing readable follows).
    ``estimated_events`` is about how many events the skipped bytes held, at the size of
    the file's events when they had one size so far (None when they had not).
    """

    def __init__(
        self,
        path: str,
        index: int,
        offset: int,
        reason: str,
        skipped: tuple[int, int] | None = None,
        resume_at: int | None = None,
        estimated_events: int | None = None,
    ) -> None:
        where = ""
        if skipped is not None:
            start, stop = skipped
            goes_on = f"reading goes on at byte {resume_at}" if resume_at is not None else "nothing follows"
            loss = loss_text(stop - start, estimated_events)
            where = f"; bytes [{start}, {stop}) are skipped ({loss}), {goes_on}"
        super().__init__(f"{path}: event {index} at byte {offset} is damaged: {reason}{where}")
        self.path = path
        self.index = index
        self.offset = offset
        self.reason = reason
        self.skipped = skipped
        self.resume_at = resume_at
        self.estimated_events = estimated_events

    def __reduce__(self) -> tuple[type[DamagedEventError], tuple[object, ...]]:
        # Rebuilt from its fields, so that it crosses process boundaries (Dask
        # workers, multiprocessing) as itself.
        return type(self), (
            self.path,
            self.index,
            self.offset,
            self.reason,
            self.skipped,
            self.resume_at,
            self.estimated_events,
        )


def loss_text(skipped_bytes: int, estimated_events: int | None) -> str:
    """ "499712 bytes, about 241 events": skipped bytes and the events they probably held."""
    text = f"{skipped_bytes} byte{'s' * (skipped_bytes != 1)}"
    if estimated_events is not None:
        text += f", about {estimated_events} event{'s' * (estimated_events != 1)}"
    return text


def estimate_events(skipped_bytes: int, event_size: int | None) -> int | None:
    """About how many events of `event_size` bytes the skipped bytes held; None for an
    unknown size. Never 0 for bytes that were skipped: they held at least the damaged one."""
    if not skipped_bytes:
        return 0
    if event_size is None or event_size <= 0:
        return None
    return max(round(skipped_bytes / event_size), 1)


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


def split_at_stop(report: _core._Report, stop: int) -> tuple[_core._Report, _core._Report]:
    """A call's report without the damaged events from index `stop` on, and a report of
    those alone. They follow every other damage of the call, so their bytes are the end
    of what it skipped."""
    first, records, count, skipped, error, at_end, stop_index, skipped_bytes = report
    beyond = [record for record in records if record[0] >= stop]
    cut = min(record[1] for record in beyond)
    dropped = sum(record[2] - record[1] for record in beyond)
    within: _core._Report = (
        first,
        [record for record in records if record[0] < stop],
        count - len(beyond),
        [(start, min(end, cut)) for start, end in skipped if start < cut],
        error,
        at_end,
        stop_index,
        max(skipped_bytes - dropped, 0),
    )
    ranges = [(max(start, cut), end) for start, end in skipped if end > cut]
    return within, (stop_index, beyond, len(beyond), ranges, None, False, stop_index, dropped)


def joined_news(first: CallNews, then: CallNews) -> CallNews:
    """What two calls met, as one."""
    return CallNews(
        first.damaged + then.damaged,
        first.damaged_count + then.damaged_count,
        tuple(merge_ranges(list(first.skipped), then.skipped, MAX_DAMAGE_RECORDS)),
        first.skipped_bytes + then.skipped_bytes,
        then.at_end,
    )


# The header fields that give an event's size in the file.
_SIZE_FIELDS = {"WD1": ("event_size",), "WD2": ("samples", "channels")}


def event_spans(
    reader_type: str, sizes: tuple[NDArray[Any], ...], has_channel_field: bool | None
) -> NDArray[np.int64]:
    """The bytes each event takes in the file, from its header fields (_SIZE_FIELDS)."""
    spans: NDArray[np.int64]
    if reader_type == "WD1":
        # The header and its samples, and the pad byte of an odd size.
        spans = np.maximum(sizes[0].astype(np.int64), 24)
    else:
        samples, channels = sizes
        header = 28 if has_channel_field else 24
        spans = header + samples.astype(np.int64) * np.maximum(channels, 0).astype(np.int64) * 4
    return spans


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
    read as a stream. A WD2 source's layout is probed from its first two events and, where
    they do not show the multi-channel layout, from the chain of event lengths from its
    start; a stream is probed without rewinding. ``layout`` (``"multi-channel"`` or
    ``"single-channel"``) skips the probe.

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
        # In a forked child: another thread was inside a call at the fork (see _before_fork).
        self._lost_at_fork = False
        # An exception met after the events returned with it.
        self._pending: BaseException | None = None
        # Events read before an interruption, for the next call.
        self._carry: tuple[Batch[_Event_co], CallNews] | None = None
        self._damaged: list[DamagedEventError] = []
        self._damaged_count = 0
        self._skipped: list[tuple[int, int]] = []
        self._skipped_bytes = 0
        self._damaged_bytes = 0  # skipped for the damaged events counted
        self._warned = False
        # What skip_to passed over, given with the next call's news.
        self._passed: CallNews | None = None
        # Damage that the look past a range's last event met, for the next call.
        self._deferred: _core._Report | None = None
        # The header columns that give the sizes of the last batch's events, looked at
        # only when damage is met; and the size its events all had (None: not one size).
        self._last_sizes: tuple[bool | None, tuple[NDArray[Any], ...]] | None = None
        self._event_size: int | None = None
        # A path, which can be read again where the damage records cannot tell which
        # events a batch left out; None for a stream.
        self._rereadable: str | None = None
        # A decompressing file object opened here, closed with the reader.
        self._owned: io.RawIOBase | None = None
        _READERS.add(self)
        options = (bool(follow), layout_code)
        if is_file_object(source):
            self._path = name_of(source)
            stream, self._owned = open_stream(source, self._path)
            try:
                self._core = self._open(stream, options, finite=type(source) is io.BytesIO)
            except BaseException:
                if self._owned is not None:
                    self._owned.close()
                raise
            return
        self._path = check_path(source)
        if is_regular_file(self._path):
            self._rereadable = self._path
        compression = compression_of(self._path)
        if compression is None:
            self._core = self._open(self._path, options)
            return
        self._owned = open_decompressed(self._path, compression)
        try:
            self._core = self._open(self._owned, options, finite=True)
        except BaseException:
            self._owned.close()
            raise

    def _open(self, source: str | ReadInto, options: tuple[bool, int], finite: bool = False) -> _core.Reader:
        """The core's reader; `finite`: a stream that holds all its bytes already (a
        regular file decompressed, bytes in memory), in which lengths are checked as in a
        regular file."""
        try:
            return _core.Reader(source, self._format, self._path, *options, finite=finite)
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
        carry = self._carry  # read, not yet returned
        return carry[0].start if carry is not None else self._core.events_read

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
        # A decompressing file that a call was inside at a fork may hold its locks for ever
        # in the child: the core keeps it, never closed (see the core's fork hooks).
        if self._owned is not None and not self._lost_at_fork:
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
        without reading their samples; returns how many good events were stepped over.

        Damaged events before ``index`` are passed over, with ``errors="raise"`` too: they
        lie outside what is asked for. They are recorded in ``damaged`` and warned of once
        for the file (:class:`DamagedEventWarning`). A damaged event ``index`` itself is
        met as ``read`` meets it."""
        return self._pass_to(check_index("index", index))

    def read_range(self, stop: SupportsIndex | None = None) -> Batch[_Event_co]:
        """The events from here to event ``stop - 1`` of the file (damaged events count;
        None: to its end), as one batch; a problem met after them is raised, not kept."""
        batch = self._read_reported(None, None, None if stop is None else check_index("stop", stop))[0]
        self.raise_pending()
        return batch

    def _skip_events(self, count: int | None, stop: int | None) -> int:
        with self._lock:
            self._check_not_lost()
            self._begin_call()
            skipped, report = self._core.skip(count, self._skip, stop)
            self._settle(skipped, report)
            self._passed = None  # what a skip met is not told with the next batch
            return skipped

    def _pass_to(self, index: int) -> int:
        """skip_to: damage before `index` is recorded and passed, never raised. With
        errors="raise" the core stops at each damaged event, so that one at `index` or
        after is met as a read meets it, and none is passed over unrecorded."""
        total = 0
        with self._lock:
            self._check_not_lost()
            self._begin_call(index)
            while True:
                skipped, report = self._core.skip(None, self._skip, index)
                total += skipped
                records, error = report[1], report[4]
                news = self._settle(skipped, report, window=(index, None))
                self._passed = news if self._passed is None else joined_news(self._passed, news)
                if self._skip or not records or error is not None or self._pending is not None:
                    return total
                if self._core.events_read >= index:
                    return total

    def _read_reported(
        self, max_events: int | None, max_bytes: int | None, stop: int | None = None, ahead: int = 0
    ) -> tuple[Batch[_Event_co], CallNews]:
        """The next batch and what the read met besides it; with ``ahead``, the batch after
        it is read meanwhile, for a next call with the same limits."""
        with self._lock:
            self._check_not_lost()
            if self._carry is not None:
                carried, self._carry = self._carry, None
                return carried
            self._begin_call(0, stop)
            arrays, report = self._core.read(max_events, max_bytes, self._skip, stop, ahead, self._samples)
            first_index, stop_index = report[0], report[6]
            damage_records = report[1]
            # The reader's type parameter is its format's event, which the batch is made for.
            if arrays is None:
                batch = cast(
                    "Batch[_Event_co]",
                    Batch.empty(self._format, path=self._path, start=first_index, columns=self._columns),
                )
            else:
                columns, offsets = arrays
                count = len(columns["event_counter"])
                if count:
                    self._last_sizes = (
                        self.has_channel_field,
                        tuple(columns[name] for name in _SIZE_FIELDS[self._format]),
                    )
                if len(columns) != len(self._columns):
                    columns = {name: columns[name] for name in self._columns}
                indices: EventIndex = event_indices(first_index, stop_index, count, damage_records)
                if indices is False and self._rereadable is not None:
                    # Found only if asked for: reading the file again costs.
                    layouts: dict[bool | None, Layout] = {
                        True: "multi-channel",
                        False: "single-channel",
                        None: None,
                    }
                    indices = LazyIndex(
                        functools.partial(
                            stepped_indices,
                            self._rereadable,
                            self._format,
                            layouts[self.has_channel_field],
                            (first_index, stop_index),
                            count,
                        )
                    )
                batch = trusted_batch(
                    self._format,
                    columns,
                    offsets,
                    path=self._path,
                    start=first_index,
                    stop=stop_index,
                    event_index=indices,
                )
            news = self._settle(len(batch), report, batch, window=(0, stop))
            if self._passed is not None:
                news, self._passed = joined_news(self._passed, news), None
            return batch, news

    def _settle(
        self,
        produced: int,
        report: _core._Report,
        batch: Batch[_Event_co] | None = None,
        window: tuple[int, int | None] = (0, None),
    ) -> CallNews:
        """Records what a call met; raises its problem now when nothing was produced, else
        keeps it for the next call (an interruption is raised at once, the batch kept).

        Damaged events outside the `window` of indices asked for raise nothing: those
        before it are passed over and recorded; those from its stop on, which the look
        past a batch's last event met, are not this call's: they are kept for the next
        call, as if it had met them."""
        lo, hi = window
        if hi is not None and any(record[0] >= hi for record in report[1]):
            report, self._deferred = split_at_stop(report, hi)
        _, records, count, skipped, error, at_end, _, skipped_bytes = report
        damaged = [self._damage_error(*record) for record in records]
        passed = [error for error in damaged if error.index < lo]
        inside = damaged[len(passed) :]
        merge_ranges(self._skipped, skipped, MAX_DAMAGE_RECORDS)
        self._skipped_bytes += skipped_bytes
        problem = error
        recorded_bytes = skipped_bytes
        if inside and not self._skip:
            problem = inside[0]
            damaged, count = passed, len(passed)
            recorded_bytes = sum(stop - start for start, stop in (e.skipped or (0, 0) for e in passed))
        if damaged or count:
            self._damaged.extend(damaged[: max(MAX_DAMAGE_RECORDS - len(self._damaged), 0)])
            self._damaged_count += count
            self._damaged_bytes += recorded_bytes
        news = CallNews(tuple(damaged), count, tuple(skipped), skipped_bytes, at_end)
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
        estimated = estimate_events(stop - offset, self._steady_event_size())
        return DamagedEventError(self._path, index, offset, reason, (offset, stop), resume_at, estimated)

    def _steady_event_size(self) -> int | None:
        """The size in bytes of the file's events, as the last batch's events all had it;
        None when they differ, or before any event."""
        sizes, self._last_sizes = self._last_sizes, None
        if sizes is not None:
            spans = event_spans(self._format, sizes[1], sizes[0])
            self._event_size = int(spans[0]) if spans.min() == spans.max() else None
        return self._event_size

    def _estimated_events(self, skipped_bytes: int) -> int | None:
        """About how many events `skipped_bytes` bytes of this file held, at the size its
        events have had so far (None when they had no one size)."""
        return estimate_events(skipped_bytes, self._steady_event_size())

    def _check_not_lost(self) -> None:
        if self._lost_at_fork:
            raise RuntimeError(
                f"{self._path!r}: another thread was inside a call of this reader when the process "
                "forked, and that thread is not in this process: the reader cannot be used here; "
                "open the file again"
            )

    def _take_pending(self) -> None:
        if self._pending is not None:
            error, self._pending = self._pending, None
            raise error

    def _begin_call(self, first: int = 0, stop: int | None = None) -> None:
        """Raises a problem kept from the last call; settles the damage it met past the
        range it was asked for, as if this call, which asks for events `first` to `stop`,
        had met it (before `first`: passed over; from `stop` on: kept again)."""
        self._take_pending()
        if self._deferred is not None:
            report, self._deferred = self._deferred, None
            news = self._settle(0, report, window=(first, stop))
            self._passed = news if self._passed is None else joined_news(self._passed, news)

    def raise_pending(self) -> None:
        """Raises the problem the last call met after the events it returned, if any."""
        with self._lock:
            self._take_pending()

    def _warn_damage(self) -> None:
        if self._damaged_count and not self._warned:
            self._warned = True
            count = self._damaged_count
            what = "1 damaged event" if count == 1 else f"{count} damaged events"
            loss = loss_text(self._damaged_bytes, self._estimated_events(self._damaged_bytes))
            warnings.warn(
                f"{self._path}: skipped {what} ({loss})",
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


def stepped_indices(
    path: str, reader_type: Format, layout: Layout, span: tuple[int, int], count: int
) -> NDArray[np.int64] | Literal[False]:
    """The indices of the `count` events of a batch that spans events `span` of the file,
    found by reading it again one damaged event at a time: for a batch among whose events
    more were damaged than one call keeps records of. False when the file no longer tells."""
    start, stop = span
    damaged: list[int] = []
    first_field = HEADER_FIELDS[reader_type][0][0]
    with BatchReader(path, str(reader_type), layout=layout, columns=[first_field], prefetch=0) as again:
        core = again._core
        core.skip(None, True, start)
        while core.events_read < stop:
            before = core.events_read
            _, report = core.skip(None, False, stop)
            damaged += [record[0] for record in report[1] if start <= record[0] < stop]
            if report[4] is not None or core.events_read == before:
                break
    indices = np.setdiff1d(np.arange(start, stop, dtype=np.int64), damaged, assume_unique=True)
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


# Every reader, for a fork: a forked child has only the thread that forked, and a call
# that another thread was making at the fork is half done there, its lock held for ever.
# Before the fork each free reader's lock is taken, so that no call starts meanwhile;
# in the child the readers that were busy refuse every call at once. (The core does the
# same for its own lock, and finishes batches being read ahead.)
_READERS: weakref.WeakSet[BatchReader[WD1Event | WD2Event]] = weakref.WeakSet()
_HELD_FOR_FORK: list[BatchReader[WD1Event | WD2Event]] = []
_BUSY_AT_FORK: list[BatchReader[WD1Event | WD2Event]] = []


def _before_fork() -> None:
    for reader in list(_READERS):
        if reader._lock.acquire(blocking=False):
            _HELD_FOR_FORK.append(reader)
        else:
            _BUSY_AT_FORK.append(reader)


def _after_fork_in_parent() -> None:
    for reader in _HELD_FOR_FORK:
        reader._lock.release()
    _HELD_FOR_FORK.clear()
    _BUSY_AT_FORK.clear()


def _after_fork_in_child() -> None:
    for reader in _BUSY_AT_FORK:
        reader._lock = threading.Lock()
        reader._lost_at_fork = True
    _after_fork_in_parent()


if hasattr(os, "register_at_fork"):
    os.register_at_fork(
        before=_before_fork, after_in_parent=_after_fork_in_parent, after_in_child=_after_fork_in_child
    )


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
    ``errors="raise"`` the first damaged event among those asked for raises
    :class:`DamagedEventError`; with ``errors="skip"`` damaged events are left out, with one
    warning for the file. Damage before ``start`` is passed over and warned of, never
    raised; damage from ``stop`` on is not the call's. A read error met after some events
    raises, as it does before them.

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

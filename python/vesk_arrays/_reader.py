"""`BatchReader`: one file streamed in batches, with a record of the damage met."""

from __future__ import annotations

import functools
import io
import time
import warnings
from collections.abc import Generator, Iterator, Mapping, Sequence
from typing import TYPE_CHECKING, Any, Generic, Literal, SupportsIndex, TypeVar, cast, overload

import numpy as np

import vesk_arrays._core as _core

from ._batch import Batch, trusted_batch
from ._damage import (
    DamagedEventError,
    DamagedEventWarning,
    DamageLedger,
    ReadFindings,
    joined_findings,
    loss_text,
)
from ._event_index import EventIndex, LazyIndex, event_indices
from ._fork import CallLock
from ._options import (
    DEFAULT_PREFETCH,
    DEFAULT_STREAM_STEP,
    Errors,
    Layout,
    Prefetch,
    ReadOptions,
    check_count,
    check_index,
    check_step,
    format_of_source,
    read_options,
    stream_step,
)
from ._schema import HEADER_FIELDS, SIZE_FIELDS, Format
from ._sources import CoreInput, Source, source_input

if TYPE_CHECKING:
    from numpy.typing import NDArray
    from typing_extensions import Self

    from vesk import WD1Event, WD2Event


# A reader is parametrised by the dictionary of one of its events, as its batches are:
# BatchReader[WD1Event], BatchReader[WD2Event], or BatchReader[WD1Event | WD2Event] when
# the format is known only at run time.
_Event_co = TypeVar("_Event_co", bound="WD1Event | WD2Event", covariant=True)
_Event = TypeVar("_Event", bound="WD1Event | WD2Event")


class BatchReader(Generic[_Event_co]):
    """Reads one WD1 or WD2 file in batches of consecutive events.

    ``source`` is a path (a ``str`` or ``os.PathLike``; files compressed with gzip, xz,
    bzip2 or zstd are recognised by their first bytes and decompressed) or a binary file
    object with ``readinto`` (``sys.stdin.buffer``, ``io.BytesIO``, ``gzip.open(...)``),
    read as a stream; or an fsspec URL (``s3://bucket/run.wd1``, ``memory://run.wd1``,
    ``simplecache::s3://...``; ``vesk[remote]``), its file system made with
    ``storage_options``, read in large ranges fetched ahead on a thread, and, without
    ``"data"`` among ``columns``, in small ranges that skip the payloads. A WD2 source's
    layout is probed from its first two events and, where they do not show the
    multi-channel layout, from the chain of event lengths from its start; a stream is
    probed without rewinding. ``layout`` (``"multi-channel"`` or
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

    ``memory_map=True`` maps a regular file that is neither compressed nor followed, privately,
    and leaves its samples there (anything else reads as without it): ``waveforms()`` is a
    view of the mapping, ``batch["data"]`` a copy; the arrays keep it mapped. As with
    ``numpy.memmap``, a file cut short by another process while mapped ends the process
    with SIGBUS where its lost pages are touched.

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
        storage_options: Mapping[str, Any] | None = None,
        memory_map: bool = False,
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
        storage_options: Mapping[str, Any] | None = None,
        memory_map: bool = False,
    ) -> None: ...
    @overload
    def __init__(
        self: BatchReader[WD1Event | WD2Event],
        source: Source,
        reader_type: str | None = None,
        *,
        errors: Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: Layout = None,
        columns: Sequence[str] | None = None,
        prefetch: Prefetch = DEFAULT_PREFETCH,
        storage_options: Mapping[str, Any] | None = None,
        memory_map: bool = False,
    ) -> None: ...
    def __init__(
        self,
        source: Source,
        reader_type: str | None = None,
        *,
        errors: Errors = "raise",
        follow: bool = False,
        poll_interval: float = 0.5,
        timeout: float | None = None,
        layout: Layout = None,
        columns: Sequence[str] | None = None,
        prefetch: Prefetch = DEFAULT_PREFETCH,
        storage_options: Mapping[str, Any] | None = None,
        memory_map: bool = False,
    ) -> None:
        self._setup(
            source,
            read_options(
                format_of_source(source, reader_type),
                errors=errors,
                layout=layout,
                follow=follow,
                poll_interval=poll_interval,
                timeout=timeout,
                prefetch=prefetch,
                columns=columns,
                storage_options=storage_options,
                memory_map=memory_map,
            ),
        )

    @classmethod
    def _with_options(cls, source: Source, options: ReadOptions) -> BatchReader[Any]:
        """A reader of options already checked (read_options), as the functions over many
        files open each file."""
        reader: BatchReader[Any] = cls.__new__(cls)
        reader._setup(source, options)
        return reader

    def _setup(self, source: Source, options: ReadOptions) -> None:
        self._format = options.format
        self._columns = options.columns
        self._samples = options.samples
        self._prefetch = options.read_ahead
        self._skip = options.skip_damaged
        self._follow, self._poll_interval, self._timeout = (
            options.follow,
            options.poll_interval,
            options.timeout,
        )
        self._calls = CallLock()
        # An exception met after the events returned with it.
        self._pending: BaseException | None = None
        # Events read before an interruption, for the next call.
        self._carry: tuple[Batch[_Event_co], ReadFindings] | None = None
        self._warned = False
        # What skip_to passed over, given with the next call's findings.
        self._passed: ReadFindings | None = None
        self._path, given = source_input(source, options.storage_options, options.samples)
        self._ledger = DamageLedger(self._format, self._path)
        # A decompressing file object opened here, closed with the reader.
        self._owned: io.RawIOBase | None = given.owned
        # The compression of a path, as told where it was opened.
        self._compression = given.compression
        # A path, which can be read again where the damage records cannot tell which
        # events a batch left out; None for a stream.
        self._rereadable = given.rereadable
        try:
            self._core = self._open(given, options)
        except BaseException:
            if self._owned is not None:
                self._owned.close()
            raise

    def _open(self, given: CoreInput, options: ReadOptions) -> _core.Reader:
        """The core's reader of what was opened for the source; DamagedEventError when the
        first WD2 header rules out every layout."""
        try:
            return _core.Reader(
                given.readable,
                self._format,
                self._path,
                options.follow,
                options.layout_code,
                finite=given.finite,
                size=-1 if given.size is None else given.size,
                memory_map=options.memory_map and isinstance(given.readable, str),
            )
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
        return list(self._ledger.damaged)

    @property
    def damaged_count(self) -> int:
        """How many damaged events were skipped so far (``errors="skip"``)."""
        return self._ledger.damaged_count

    @property
    def skipped(self) -> tuple[tuple[int, int], ...]:
        """The ``(start, stop)`` byte ranges skipped so far because of damage: damaged
        headers and what was passed over to reach the next good event (the first 1000
        ranges; ``skipped_bytes`` counts every byte)."""
        return tuple(self._ledger.skipped)

    @property
    def skipped_bytes(self) -> int:
        """How many bytes were skipped so far because of damage."""
        return self._ledger.skipped_bytes

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
        if self._owned is not None and not self._calls.lost_at_fork:
            self._owned.close()
        self._warn_damage()
        with self._calls.lock:
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
        that many bytes each (a memory size such as ``"64 MiB"``); by default 2 MiB, or
        for a mapped file, whose batches hold only their header columns, 64 MiB and at most
        32 768 events."""
        max_events, max_bytes = stream_step(check_step(step_size), self._core.mapped)
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
        with self._calls.lock:
            self._check_not_lost()
            self._begin_call()
            skipped, report = self._core.skip(count, self._skip, stop)
            self._record_report(skipped, report)
            self._passed = None  # what a skip met is not told with the next batch
            return skipped

    def _pass_to(self, index: int) -> int:
        """skip_to: damage before `index` is recorded and passed, never raised. With
        errors="raise" the core stops at each damaged event, so that one at `index` or
        after is met as a read meets it, and none is passed over unrecorded."""
        total = 0
        with self._calls.lock:
            self._check_not_lost()
            self._begin_call(index)
            while True:
                skipped, report = self._core.skip(None, self._skip, index)
                total += skipped
                records, error = report.damaged, report.error
                findings = self._record_report(skipped, report, window=(index, None))
                self._passed = findings if self._passed is None else joined_findings(self._passed, findings)
                if self._skip or not records or error is not None or self._pending is not None:
                    return total
                if self._core.events_read >= index:
                    return total

    def _read_reported(
        self, max_events: int | None, max_bytes: int | None, stop: int | None = None, ahead: int = 0
    ) -> tuple[Batch[_Event_co], ReadFindings]:
        """The next batch and what the read met besides it; with ``ahead``, the batch after
        it is read meanwhile, for a next call with the same limits."""
        with self._calls.lock:
            self._check_not_lost()
            if self._carry is not None:
                carried, self._carry = self._carry, None
                return carried
            self._begin_call(0, stop)
            arrays, report = self._core.read(max_events, max_bytes, self._skip, stop, ahead, self._samples)
            try:
                first_index, stop_index = report.first_index, report.stop_index
                damage_records = report.damaged
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
                        self._ledger.note_sizes(
                            self.has_channel_field,
                            tuple(columns[name] for name in SIZE_FIELDS[self._format]),
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
            except BaseException:
                # A signal handler (or a failure) came before the batch was handed out:
                # the core reads it again for the next call, so that no event is lost.
                self._core.put_back()
                raise
            findings = self._record_report(len(batch), report, batch, window=(0, stop))
            if self._passed is not None:
                findings, self._passed = joined_findings(self._passed, findings), None
            return batch, findings

    def _record_report(
        self,
        produced: int,
        report: _core.Report,
        batch: Batch[_Event_co] | None = None,
        window: tuple[int, int | None] = (0, None),
    ) -> ReadFindings:
        """Records what a call met (DamageLedger.record, `window` the indices asked for);
        raises its problem now when nothing was produced, else keeps it for the next call
        (an interruption is raised at once, the batch kept)."""
        findings, problem = self._ledger.record(report, window, self._skip)
        if problem is not None:
            if not produced:
                raise problem
            if not isinstance(problem, Exception) and batch is not None:
                self._carry = (batch, findings)
                raise problem
            self._pending = problem
        return findings

    def _estimated_events(self, skipped_bytes: int) -> int | None:
        """About how many events `skipped_bytes` bytes of this file held, at the size its
        events have had so far (None when they had no one size)."""
        return self._ledger.estimated_events(skipped_bytes)

    def _check_not_lost(self) -> None:
        if self._calls.lost_at_fork:
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
        """Raises a problem kept from the last call; records the damage it met past the
        range it was asked for, as if this call, which asks for events `first` to `stop`,
        had met it (before `first`: passed over; from `stop` on: kept again)."""
        self._take_pending()
        if self._ledger.deferred is not None:
            report, self._ledger.deferred = self._ledger.deferred, None
            findings = self._record_report(0, report, window=(first, stop))
            self._passed = findings if self._passed is None else joined_findings(self._passed, findings)

    def raise_pending(self) -> None:
        """Raises the problem the last call met after the events it returned, if any."""
        with self._calls.lock:
            self._take_pending()

    def _warn_damage(self) -> None:
        if self._ledger.damaged_count and not self._warned:
            self._warned = True
            count = self._ledger.damaged_count
            what = "1 damaged event" if count == 1 else f"{count} damaged events"
            loss = loss_text(self._ledger.damaged_bytes, self._estimated_events(self._ledger.damaged_bytes))
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
) -> Iterator[tuple[Batch[_Event], ReadFindings]]:
    """The reader's batches up to event ``stop - 1`` of the file (None: to its end), each with
    what its read met besides its events; a followed file is waited for, as by ``batches``."""
    quiet_since = None
    while True:
        batch, findings = reader._read_reported(max_events, max_bytes, stop, ahead=reader._prefetch)
        if len(batch) or findings.skipped_bytes:
            quiet_since = None
            yield batch, findings
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


def stepped_indices(
    path: str, reader_type: Format, layout: Layout, span: tuple[int, int], count: int
) -> NDArray[np.int64] | Literal[False]:
    """The indices of the `count` events of a batch that spans events `span` of the file,
    found by reading it again one damaged event at a time: for a batch among whose events
    more were damaged than one call keeps records of. False when the file no longer tells."""
    start, stop = span
    damaged: list[int] = []
    first_field = HEADER_FIELDS[reader_type][0][0]
    options = ReadOptions(reader_type, (first_field,), skip_damaged=False, layout=layout, read_ahead=0)
    with BatchReader._with_options(path, options) as again:
        core = again._core
        core.skip(None, True, start)
        while core.events_read < stop:
            before = core.events_read
            _, report = core.skip(None, False, stop)
            damaged += [record.event_index for record in report.damaged if start <= record.event_index < stop]
            if report.error is not None or core.events_read == before:
                break
    indices = np.setdiff1d(np.arange(start, stop, dtype=np.int64), damaged, assume_unique=True)
    return indices if len(indices) == count else False

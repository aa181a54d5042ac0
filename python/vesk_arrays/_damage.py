"""Damaged events: the error and warning that tell of them, and the record of what a file's
reads have skipped because of them, which accounts for every byte they did not read as
an event."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Any, NamedTuple

import vesk_arrays._core as _core

from ._schema import event_spans

if TYPE_CHECKING:
    from numpy.typing import NDArray


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


# Why an event is damaged, by the core's damage kinds; a damaged header, by format.
_REASONS: dict[str, str] = _core.DAMAGED_HEADER_REASONS
_DAMAGE_REASONS = {
    "overlong": "its length runs past the end of the file, and good events follow",
    "overlaps": "good events begin inside it, so its length is wrong (a cut or overwritten file)",
    "unconfirmed": "no event of this file follows where its length ends, so that length is not believed",
}
# Details are kept for this many damaged events of a file; all are counted.
MAX_DAMAGE_RECORDS: int = _core.MAX_DAMAGE_RECORDS


class ReadFindings(NamedTuple):
    """What one read met besides its events (for the reports of ``iterate``)."""

    damaged: tuple[DamagedEventError, ...]
    damaged_count: int
    skipped: tuple[tuple[int, int], ...]
    skipped_bytes: int
    at_end: bool


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


def split_at_stop(report: _core.Report, stop: int) -> tuple[_core.Report, _core.Report]:
    """A call's report without the damaged events from index `stop` on, and a report of
    those alone. They follow every other damage of the call, so their bytes are the end
    of what it skipped."""
    first, records, count, skipped = report.first_index, report.damaged, report.damaged_count, report.skipped
    error, at_end, stop_index = report.error, report.at_end, report.stop_index
    skipped_bytes = report.skipped_bytes
    beyond = [record for record in records if record.event_index >= stop]
    cut = min(record.offset for record in beyond)
    dropped = sum(record.stop - record.offset for record in beyond)
    within = _core.Report(
        (
            first,
            [record for record in records if record.event_index < stop],
            count - len(beyond),
            [(start, min(end, cut)) for start, end in skipped if start < cut],
            error,
            at_end,
            stop_index,
            max(skipped_bytes - dropped, 0),
        )
    )
    ranges = [(max(start, cut), end) for start, end in skipped if end > cut]
    return within, _core.Report((stop_index, beyond, len(beyond), ranges, None, False, stop_index, dropped))


def joined_findings(first: ReadFindings, then: ReadFindings) -> ReadFindings:
    """What two calls met, as one."""
    return ReadFindings(
        first.damaged + then.damaged,
        first.damaged_count + then.damaged_count,
        tuple(merge_ranges(list(first.skipped), then.skipped, MAX_DAMAGE_RECORDS)),
        first.skipped_bytes + then.skipped_bytes,
        then.at_end,
    )


class DamageLedger:
    """The damage that the reads of one file have met so far: the damaged events (the
    first MAX_DAMAGE_RECORDS of them; all are counted) and the byte ranges skipped, and
    the size the file's events have had, to estimate how many events skipped bytes held."""

    def __init__(self, format: str, path: str) -> None:
        self._format = format
        self._path = path
        self.damaged: list[DamagedEventError] = []
        self.damaged_count = 0
        self.skipped: list[tuple[int, int]] = []
        self.skipped_bytes = 0
        self.damaged_bytes = 0  # skipped for the damaged events counted
        # Damage that the look past a range's last event met, for the next call.
        self.deferred: _core.Report | None = None
        # The header columns that give the sizes of the last batch's events, looked at
        # only when damage is met; and the size its events all had (None: not one size).
        self._last_sizes: tuple[bool | None, tuple[NDArray[Any], ...]] | None = None
        self._event_size: int | None = None

    def note_sizes(self, has_channel_field: bool | None, sizes: tuple[NDArray[Any], ...]) -> None:
        """Keeps the size columns of a batch just read (SIZE_FIELDS), for the estimates."""
        self._last_sizes = (has_channel_field, sizes)

    def record(
        self, report: _core.Report, window: tuple[int, int | None], skip_damaged: bool
    ) -> tuple[ReadFindings, BaseException | None]:
        """Records what a call met; returns it, and the problem the call is to raise
        (None for none): its read error, or with errors="raise" its first damaged event.

        Damaged events outside the `window` of indices asked for raise nothing: those
        before it are passed over and recorded; those from its stop on, which the look
        past a batch's last event met, are not this call's: they are kept in `deferred`
        for the next call, as if it had met them."""
        lo, hi = window
        if hi is not None and any(record.event_index >= hi for record in report.damaged):
            report, self.deferred = split_at_stop(report, hi)
        records, count, skipped = report.damaged, report.damaged_count, report.skipped
        error, at_end, skipped_bytes = report.error, report.at_end, report.skipped_bytes
        damaged = [self._damage_error(*record) for record in records]
        passed = [error for error in damaged if error.index < lo]
        inside = damaged[len(passed) :]
        merge_ranges(self.skipped, skipped, MAX_DAMAGE_RECORDS)
        self.skipped_bytes += skipped_bytes
        problem = error
        recorded_bytes = skipped_bytes
        if inside and not skip_damaged:
            problem = inside[0]
            damaged, count = passed, len(passed)
            recorded_bytes = sum(stop - start for start, stop in (e.skipped or (0, 0) for e in passed))
        if damaged or count:
            self.damaged.extend(damaged[: max(MAX_DAMAGE_RECORDS - len(self.damaged), 0)])
            self.damaged_count += count
            self.damaged_bytes += recorded_bytes
        return ReadFindings(tuple(damaged), count, tuple(skipped), skipped_bytes, at_end), problem

    def _damage_error(
        self, event_index: int, offset: int, stop: int, resume_at: int | None, kind: str
    ) -> DamagedEventError:
        reason = _REASONS[self._format] if kind == "header" else _DAMAGE_REASONS[kind]
        estimated = estimate_events(stop - offset, self._steady_event_size())
        return DamagedEventError(
            self._path, event_index, offset, reason, (offset, stop), resume_at, estimated
        )

    def _steady_event_size(self) -> int | None:
        """The size in bytes of the file's events, as the last batch's events all had it;
        None when they differ, or before any event."""
        sizes, self._last_sizes = self._last_sizes, None
        if sizes is not None:
            spans = event_spans(self._format, sizes[1], sizes[0])
            self._event_size = int(spans[0]) if spans.min() == spans.max() else None
        return self._event_size

    def estimated_events(self, skipped_bytes: int) -> int | None:
        """About how many events `skipped_bytes` bytes of this file held, at the size its
        events have had so far (None when they had no one size)."""
        return estimate_events(skipped_bytes, self._steady_event_size())

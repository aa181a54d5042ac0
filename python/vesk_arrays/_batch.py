"""A batch of events as columns: one array per header field, every sample in one array."""

from __future__ import annotations

import html
import operator
from collections.abc import Callable, ItemsView, Iterable, Iterator, KeysView, Mapping, Sequence, ValuesView
from typing import TYPE_CHECKING, Any, Generic, Literal, SupportsIndex, TypeVar, Union, cast, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

if TYPE_CHECKING:
    # The conversions' packages are optional and not all of them carry types.
    import awkward  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pandas  # type: ignore[import-untyped, import-not-found, unused-ignore]
    import pyarrow  # type: ignore[import-untyped, import-not-found, unused-ignore]
    from typing_extensions import TypeAlias

    from vesk import WD1Event, WD2Event

    _WD1Header: TypeAlias = Literal[
        "event_size", "board_id", "pattern", "board_channel", "event_counter", "timestamp"
    ]
    _Samples: TypeAlias = Union[NDArray[np.uint16], NDArray[np.float32]]
    _Selection: TypeAlias = Union[slice, NDArray[Any], Sequence[int], Sequence[bool]]
    _Reduction: TypeAlias = Literal["min", "max", "sum", "mean", "argmin", "argmax"]

from . import _core

# The columns of each format: the header fields, in file order, with their dtypes; then "data".
HEADER_FIELDS = {
    format: tuple((name, np.dtype(dtype)) for name, dtype in fields)
    for format, fields in _core.HEADER_FIELDS.items()
}
SAMPLE_DTYPES = {format: np.dtype(dtype) for format, dtype in _core.SAMPLE_DTYPES.items()}

# A batch is parametrised by the dictionary of one of its events: Batch[WD1Event],
# Batch[WD2Event], or Batch[WD1Event | WD2Event] when the format is known only at run time.
_Event_co = TypeVar("_Event_co", bound="WD1Event | WD2Event", covariant=True)

_T = TypeVar("_T")

REDUCTIONS = ("min", "max", "sum", "mean", "argmin", "argmax")
# Reductions go run by run over up to this many runs of equal-length events, or over
# runs at least this long on average (see _by_runs).
_RUN_LENGTH = 64
# The sample dtypes whose argmin and argmax _core.first_extremes finds, in native order.
_SCANNED_DTYPES = (np.dtype(np.uint16), np.dtype(np.float32))


def column_names(format: str) -> list[str]:
    """Every column a batch of this format can hold, in their order."""
    return [name for name, _ in HEADER_FIELDS[format]] + ["data"]


def _no_samples() -> ValueError:
    return ValueError("this batch was read without its samples ('data' was left out of columns=)")


class LazyIndex:
    """Events' indices in their file found only when first asked for: finding them may mean
    reading the file again. `find` gives them, or False when they cannot be found; `pick`
    chooses among them (a slice, or positions) for a batch made from another."""

    __slots__ = ("_find", "_value")

    def __init__(self, find: Callable[[], NDArray[np.int64] | Literal[False]]) -> None:
        self._find: Callable[[], NDArray[np.int64] | Literal[False]] | None = find
        self._value: NDArray[np.int64] | Literal[False] = False

    def resolve(self) -> NDArray[np.int64] | Literal[False]:
        if self._find is not None:
            self._value, self._find = self._find(), None
        return self._value

    def pick(self, key: slice | NDArray[np.int64]) -> LazyIndex:
        return LazyIndex(lambda: _picked(self.resolve(), key))

    def __reduce__(self) -> tuple[Callable[..., Any], tuple[Any, ...]]:
        # A batch crosses a process boundary with its indices found (or not).
        return _found, (self.resolve(),)


def _picked(
    index: NDArray[np.int64] | Literal[False], key: slice | NDArray[np.int64]
) -> NDArray[np.int64] | Literal[False]:
    return False if index is False else index[key]


def _found(index: NDArray[np.int64] | Literal[False]) -> NDArray[np.int64] | Literal[False]:
    return index


# A batch's indices in its file, as kept: see Batch._event_index.
EventIndex = Union["NDArray[np.int64]", None, Literal[False], LazyIndex]


def trusted_batch(
    format: str,
    columns: dict[str, NDArray[Any]],
    offsets: NDArray[np.int64] | None,
    *,
    path: str | None,
    start: int,
    stop: int,
    event_index: EventIndex,
) -> Batch[Any]:
    """A batch of arrays that the package's own reader made and knows to fit together
    (the columns in order, the offsets rising): not checked again, since checking the
    offsets of a batch of small events costs as much as a tenth of reading it."""
    batch: Batch[Any] = object.__new__(Batch)
    batch._format = format
    batch._columns = columns
    batch._offsets = offsets if "data" in columns else None
    batch._path = path
    batch._start = start
    batch._stop = stop
    batch._event_index = event_index
    return batch


class Batch(Generic[_Event_co]):
    """Events as NumPy columns (of one file, unless joined from several): a table of events, like a DataFrame.

    ``batch[name]`` is a 1-D array with one entry per event for each header field, in the
    order and with the integer widths of :class:`vesk.EventReader`'s dictionaries.
    ``batch["data"]`` holds every sample of the batch, event after event; the samples of
    event ``i`` are ``data[offsets[i]:offsets[i + 1]]``. ``len(batch)`` counts the events;
    ``keys()``, ``values()``, ``items()``, ``get()``, ``in`` and iteration concern the
    columns, as a dictionary's do. Batches compare equal only to themselves.

    A batch is also a sequence of events: ``batch[a:b]`` is a batch of events ``a`` to
    ``b - 1`` that shares the samples (a step other than 1 copies them, as an index array
    does); ``batch[mask]`` (a boolean array, one entry per event) and ``batch[indices]``
    (an array of event positions) are batches of those events, copied. Each keeps the
    columns, ``path`` and the events' indices in their file (``event_index``);
    :func:`vesk_arrays.concat` joins batches.

    A batch read with ``columns=`` holds only those columns: without ``"data"`` it has
    no ``offsets`` and no samples (``batch["data"]`` raises KeyError, and ``offsets``,
    :meth:`waveforms` and :meth:`reduce` ValueError).

    ``path`` is the file the events came from. ``start`` and ``stop`` bound the indices,
    within that file, of the batch's events: a batch read from a file holds events
    ``start`` to ``stop - 1`` (except damaged events skipped with ``errors="skip"``); a
    batch taken from another with a mask or an index array holds events of that range
    only, from its lowest event index to just past its highest.
    """

    __slots__ = ("_format", "_columns", "_offsets", "_path", "_start", "_stop", "_event_index")

    _format: str
    _columns: dict[str, NDArray[Any]]
    _offsets: NDArray[np.int64] | None
    _path: str | None
    _start: int
    _stop: int
    # The indices in the file: an array; None when they are range(start, stop), made when
    # first asked for; False when unknown (damaged events were left out among them); a
    # LazyIndex when they are found only if asked for.
    _event_index: EventIndex

    @overload
    def __init__(
        self: Batch[WD1Event],
        format: Literal["WD1"],
        columns: Mapping[str, NDArray[Any]],
        offsets: ArrayLike | None = None,
        *,
        path: str | None = None,
        start: SupportsIndex | None = None,
        stop: SupportsIndex | None = None,
        event_index: ArrayLike | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self: Batch[WD2Event],
        format: Literal["WD2"],
        columns: Mapping[str, NDArray[Any]],
        offsets: ArrayLike | None = None,
        *,
        path: str | None = None,
        start: SupportsIndex | None = None,
        stop: SupportsIndex | None = None,
        event_index: ArrayLike | None = None,
    ) -> None: ...
    @overload
    def __init__(
        self: Batch[WD1Event | WD2Event],
        format: str,
        columns: Mapping[str, NDArray[Any]],
        offsets: ArrayLike | None = None,
        *,
        path: str | None = None,
        start: SupportsIndex | None = None,
        stop: SupportsIndex | None = None,
        event_index: ArrayLike | None = None,
    ) -> None: ...
    def __init__(
        self,
        format: str,
        columns: Mapping[str, NDArray[Any]],
        offsets: ArrayLike | None = None,
        *,
        path: str | None = None,
        start: SupportsIndex | None = None,
        stop: SupportsIndex | None = None,
        event_index: ArrayLike | None = None,
    ) -> None:
        """``columns`` maps names to arrays: any of the format's header fields, in their
        order, with or without ``"data"`` last (which then needs ``offsets``, and for WD2
        the ``"samples"`` and ``"channels"`` that give its shape). ``event_index`` gives
        the events' indices in their file; without it they are ``start`` onwards.
        ``start`` and ``stop`` default to the range of ``event_index``, else to 0 and
        ``start`` plus the number of events."""
        if format not in HEADER_FIELDS:
            raise ValueError(f"unknown reader type {format!r}, expected 'WD1' or 'WD2'")
        canonical = column_names(format)
        names = list(columns)
        if names != [name for name in canonical if name in columns]:
            raise ValueError(f"a {format} batch has columns among {canonical}, in that order, not {names}")
        has_data = "data" in columns
        if has_data and offsets is None:
            raise ValueError("a batch with 'data' needs the offsets of its events' samples")
        if has_data and format == "WD2" and not {"samples", "channels"} <= set(names):
            raise ValueError("a WD2 batch with 'data' needs 'samples' and 'channels', which give its shape")
        index = None if event_index is None else np.asarray(event_index, dtype=np.int64)
        if offsets is not None:
            offsets = np.asarray(offsets, dtype=np.int64)
            count = len(offsets) - 1
            if offsets.ndim != 1 or count < 0 or offsets[0] != 0:
                raise ValueError("offsets must be a 1-D array starting at 0, one entry more than events")
            # Conversions hand the offsets to Arrow and awkward unchecked: one out of order would
            # have them read outside the samples.
            if (offsets[1:] < offsets[:-1]).any():
                raise ValueError("offsets must never decrease")
        elif len(names):
            count = len(columns[names[0]])
        elif index is not None:
            count = len(index)
        else:
            count = (
                0 if stop is None else operator.index(stop) - (0 if start is None else operator.index(start))
            )
        for name, dtype in HEADER_FIELDS[format]:
            if name in columns:
                column = columns[name]
                if column.dtype != dtype or column.shape != (count,):
                    raise ValueError(f"column {name!r} must be {np.dtype(dtype)} of shape ({count},)")
        if has_data:
            data = columns["data"]
            assert offsets is not None
            if data.dtype != SAMPLE_DTYPES[format] or data.ndim != 1 or len(data) != offsets[-1]:
                raise ValueError(f"data must be 1-D {SAMPLE_DTYPES[format]} holding offsets[-1] samples")
        if index is not None and index.shape != (count,):
            raise ValueError(f"event_index must hold one index per event, {count}, not {index.shape}")
        if start is not None:
            first = operator.index(start)
        else:
            first = int(index.min()) if index is not None and count else 0
        if stop is not None:
            last = operator.index(stop)
        else:
            last = int(index.max()) + 1 if index is not None and count else first + count
        self._format = format
        self._columns = dict(columns)
        self._offsets = offsets if has_data else None
        self._path = path
        self._start = first
        self._stop = last
        if index is not None:
            self._event_index = index
        else:
            self._event_index = None if last - first == count else False

    def _like(
        self,
        columns: dict[str, NDArray[Any]],
        offsets: NDArray[np.int64] | None,
        start: int,
        stop: int,
        event_index: EventIndex,
    ) -> Batch[_Event_co]:
        """A batch of this one's format and path made of arrays already known to fit together."""
        batch = object.__new__(type(self))
        batch._format = self._format
        batch._columns = columns
        batch._offsets = offsets
        batch._path = self._path
        batch._start = start
        batch._stop = stop
        batch._event_index = event_index
        return batch

    @overload
    @classmethod
    def empty(
        cls,
        format: Literal["WD1"],
        *,
        path: str | None = None,
        start: SupportsIndex = 0,
        columns: Iterable[str] | None = None,
    ) -> Batch[WD1Event]: ...
    @overload
    @classmethod
    def empty(
        cls,
        format: Literal["WD2"],
        *,
        path: str | None = None,
        start: SupportsIndex = 0,
        columns: Iterable[str] | None = None,
    ) -> Batch[WD2Event]: ...
    @overload
    @classmethod
    def empty(
        cls,
        format: str,
        *,
        path: str | None = None,
        start: SupportsIndex = 0,
        columns: Iterable[str] | None = None,
    ) -> Batch[WD1Event | WD2Event]: ...
    @classmethod
    def empty(
        cls,
        format: str,
        *,
        path: str | None = None,
        start: SupportsIndex = 0,
        columns: Iterable[str] | None = None,
    ) -> Batch[Any]:
        """A batch of no events (holding only ``columns``, when given)."""
        if format not in HEADER_FIELDS:
            raise ValueError(f"unknown reader type {format!r}, expected 'WD1' or 'WD2'")
        wanted = set(column_names(format) if columns is None else columns)
        arrays: dict[str, NDArray[Any]] = {
            name: np.empty(0, np.dtype(cast("type[Any]", dtype)))
            for name, dtype in HEADER_FIELDS[format]
            if name in wanted
        }
        if "data" in wanted:
            arrays["data"] = np.empty(0, SAMPLE_DTYPES[format])
        return cls(format, arrays, np.zeros(1, np.int64), path=path, start=start)

    # -- the columns, and the events as a sequence ------------------------------------------------

    @overload
    def __getitem__(self: Batch[WD1Event], key: Literal["data"]) -> NDArray[np.uint16]: ...
    @overload
    def __getitem__(self: Batch[WD1Event], key: _WD1Header) -> NDArray[np.int32]: ...
    @overload
    def __getitem__(self: Batch[WD2Event], key: Literal["data"]) -> NDArray[np.float32]: ...
    @overload
    def __getitem__(
        self: Batch[WD2Event], key: Literal["event_counter", "samples"]
    ) -> NDArray[np.uint32]: ...
    @overload
    def __getitem__(
        self: Batch[WD2Event], key: Literal["timestamp", "sampling_period"]
    ) -> NDArray[np.uint64]: ...
    @overload
    def __getitem__(self: Batch[WD2Event], key: Literal["channels"]) -> NDArray[np.int32]: ...
    @overload
    def __getitem__(self, key: Literal["data"]) -> _Samples: ...
    @overload
    def __getitem__(self, key: str) -> NDArray[Any]: ...
    @overload
    def __getitem__(self, key: _Selection) -> Batch[_Event_co]: ...
    def __getitem__(self, key: str | _Selection) -> NDArray[Any] | Batch[_Event_co]:
        if isinstance(key, str):
            if key == "data" and self._offsets is None:
                raise KeyError("data: this batch was read without its samples (columns=)")
            return self._columns[key]
        if isinstance(key, slice):
            start, stop, step = key.indices(len(self))
            if step != 1:
                return self._take(np.arange(start, stop, step, dtype=np.int64))
            return self._slice(start, max(start, stop))
        if isinstance(key, (int, np.integer, bool, np.bool_)):
            raise TypeError(
                f"batch[{key!r}]: a batch is indexed by a column name, a slice, a boolean mask or an "
                f"array of event positions; batch.event({key!r}) gives one event"
            )
        selection = np.asarray(key)
        if selection.dtype == bool:
            if selection.shape != (len(self),):
                raise IndexError(
                    f"a boolean mask of a batch of {len(self)} events needs {len(self)} entries, "
                    f"not shape {selection.shape}"
                )
            return self._take(np.flatnonzero(selection), selection)
        if selection.ndim != 1 or not (selection.dtype.kind in "iu" or selection.size == 0):
            raise TypeError(
                "a batch is indexed by a column name, a slice, a boolean mask or a 1-D array of "
                f"event positions, not {type(key).__name__!r}"
            )
        positions = selection.astype(np.int64)
        count = len(self)
        if ((positions < -count) | (positions >= count)).any():
            raise IndexError(f"event position out of range for a batch of {count} events")
        return self._take(np.where(positions < 0, positions + count, positions))

    def _slice(self, a: int, b: int) -> Batch[_Event_co]:
        columns = {name: column[a:b] for name, column in self._columns.items() if name != "data"}
        offsets = None
        if self._offsets is not None:
            low, high = self._offsets[a], self._offsets[b]
            columns["data"] = self._columns["data"][low:high]
            offsets = self._offsets[a : b + 1] - low
        index = self._event_index
        if isinstance(index, np.ndarray):
            index = index[a:b]
            start, stop = (int(index.min()), int(index.max()) + 1) if b > a else (self._start, self._start)
        elif index is None:
            start, stop = self._start + a, self._start + b
        else:
            if isinstance(index, LazyIndex):
                index = index.pick(slice(a, b))
            start, stop = self._start, self._stop
        return self._like(columns, offsets, start, stop, index)

    def _take(self, positions: NDArray[np.int64], mask: NDArray[np.bool_] | None = None) -> Batch[_Event_co]:
        """The events at ``positions``, copied (``mask`` the same choice as a mask, if it was one)."""
        columns = {name: column[positions] for name, column in self._columns.items() if name != "data"}
        offsets = None
        if self._offsets is not None:
            lengths = np.diff(self._offsets)
            chosen = lengths[positions]
            offsets = np.zeros(len(positions) + 1, np.int64)
            np.cumsum(chosen, out=offsets[1:])
            data = self._columns["data"]
            if len(lengths) and (lengths == lengths[0]).all():
                columns["data"] = data.reshape(len(lengths), int(lengths[0]))[positions].reshape(-1)
            elif mask is not None:
                columns["data"] = data[np.repeat(mask, lengths)]
            else:
                shift = np.repeat(self._offsets[:-1][positions] - offsets[:-1], chosen)
                columns["data"] = data[np.arange(int(offsets[-1]), dtype=np.int64) + shift]
        index: NDArray[np.int64] | Literal[False] | LazyIndex
        if self._event_index is False:
            index, start, stop = False, self._start, self._stop
        elif isinstance(self._event_index, LazyIndex):
            index, start, stop = self._event_index.pick(positions), self._start, self._stop
        else:
            index = self.event_index[positions]
            start, stop = (
                (int(index.min()), int(index.max()) + 1) if len(index) else (self._start, self._start)
            )
        return self._like(columns, offsets, start, stop, index)

    def __iter__(self) -> Iterator[str]:
        return iter(self._columns)

    def __contains__(self, key: object) -> bool:
        return key in self._columns

    def keys(self) -> KeysView[str]:
        """The column names."""
        return self._columns.keys()

    def values(self) -> ValuesView[NDArray[Any]]:
        """The columns' arrays."""
        return self._columns.values()

    def items(self) -> ItemsView[str, NDArray[Any]]:
        """(name, array) of each column."""
        return self._columns.items()

    @overload
    def get(self, key: str, /) -> NDArray[Any] | None: ...
    @overload
    def get(self, key: str, default: _T, /) -> NDArray[Any] | _T: ...
    def get(self, key: str, default: object = None, /) -> object:
        """The column ``key``, or ``default`` when there is none."""
        return self._columns.get(key, default)

    def __len__(self) -> int:
        if self._offsets is not None:
            return len(self._offsets) - 1
        if self._columns:
            return len(next(iter(self._columns.values())))
        index = self._event_index
        return len(index) if isinstance(index, np.ndarray) else self._stop - self._start

    # -- how it shows --------------------------------------------------------------------------

    def _summary(self) -> tuple[str, str, str]:
        """(where the events are from, how many, how big)."""
        count = len(self)
        events = "1 event" if count == 1 else f"{count} events"
        samples = "" if self._offsets is None else f", {int(self._offsets[-1])} samples"
        if not count:
            where = f"at event {self._start}"
        elif self._stop - self._start == count:
            where = f"events {self._start} to {self._stop - 1}"
        else:
            where = f"among events {self._start} to {self._stop - 1}"
        return where, events + samples, _human_bytes(self.nbytes)

    def __repr__(self) -> str:
        where, count, size = self._summary()
        path = "" if self._path is None else f" {self._path!r}"
        return f"<vesk_arrays.Batch {self._format}{path}, {where}: {count}, {size}>"

    def _repr_html_(self) -> str:
        where, count, size = self._summary()
        rows = [
            ("format", self._format),
            ("path", "" if self._path is None else self._path),
            ("events", f"{count} ({where})"),
            ("columns", ", ".join(self._columns)),
            ("size", size),
        ]
        cells = "".join(
            f"<tr><th style='text-align:left'>{name}</th>"
            f"<td style='text-align:left'>{html.escape(value)}</td></tr>"
            for name, value in rows
        )
        return f"<table><caption>vesk_arrays.Batch</caption>{cells}</table>"

    # -- what a batch is -----------------------------------------------------------------------

    @property
    def format(self) -> Literal["WD1", "WD2"]:
        """The file format, "WD1" or "WD2"."""
        return cast('Literal["WD1", "WD2"]', self._format)

    @property
    def offsets(self) -> NDArray[np.int64]:
        """int64, ``len(batch) + 1`` entries: event i's samples are ``data[offsets[i]:offsets[i+1]]``."""
        if self._offsets is None:
            raise _no_samples()
        return self._offsets

    @property
    def path(self) -> str | None:
        """The file the events came from (None for a batch built by hand, or joined from
        batches of several files)."""
        return self._path

    @property
    def start(self) -> int:
        """Index within its file of the batch's first event (the lowest, for a batch of chosen events)."""
        return self._start

    @property
    def stop(self) -> int:
        """Index within its file just past the batch's last event (past the highest, for a
        batch of chosen events)."""
        return self._stop

    @property
    def event_index(self) -> NDArray[np.int64]:
        """int64, one entry per event: its index in its file, damaged events counted (as
        ``start``, ``stop`` and :class:`DamagedEventError`'s ``index`` count them).

        Raises ValueError for a batch read with ``errors="skip"`` whose read left damaged
        events out among its events, when the reader did not record which."""
        index = self._event_index
        if isinstance(index, LazyIndex):
            index = self._event_index = index.resolve()
            if index is not False:
                index.setflags(write=False)
        if index is None:
            index = np.arange(self._start, self._stop, dtype=np.int64)
            index.setflags(write=False)
            self._event_index = index
        elif index is False:
            raise ValueError(
                "the indices in the file of this batch's events are not known: damaged events were "
                f"left out among events {self._start} to {self._stop - 1}"
            )
        return index

    @property
    def nbytes(self) -> int:
        """Bytes held by the batch's arrays."""
        total = sum(column.nbytes for column in self._columns.values())
        if self._offsets is not None:
            total += self._offsets.nbytes
        if isinstance(self._event_index, np.ndarray):
            total += self._event_index.nbytes
        return int(total)

    @overload
    def event(self: Batch[WD1Event], index: SupportsIndex) -> WD1Event: ...
    @overload
    def event(self: Batch[WD2Event], index: SupportsIndex) -> WD2Event: ...
    @overload
    def event(self, index: SupportsIndex) -> _Event_co: ...
    def event(self, index: SupportsIndex) -> Any:
        """Event ``index`` as the dictionary :class:`vesk.EventReader` gives for it (with the
        columns the batch holds).

        Its ``"data"`` is a view into the batch's samples, not a copy.
        """
        position = operator.index(index)
        count = len(self)
        if position < 0:
            position += count
        if not 0 <= position < count:
            raise IndexError(f"event index out of range for a batch of {count} events")
        event: dict[str, Any] = {
            name: self._columns[name][position].item()
            for name, _ in HEADER_FIELDS[self._format]
            if name in self._columns
        }
        if self._offsets is not None:
            event["data"] = self._columns["data"][self._offsets[position] : self._offsets[position + 1]]
        return event

    @overload
    def waveforms(self: Batch[WD1Event]) -> NDArray[np.uint16]: ...
    @overload
    def waveforms(self: Batch[WD2Event]) -> NDArray[np.float32]: ...
    @overload
    def waveforms(self) -> _Samples: ...
    def waveforms(self) -> NDArray[Any]:
        """The samples as a 2-D (WD1: events x samples) or 3-D (WD2: events x channels x samples)
        array: a view of ``batch["data"]``, never a copy.

        Raises ValueError when the events do not all have the same shape; use ``offsets``
        (or :meth:`event`, or :meth:`reduce`) for such batches.
        """
        offsets = self.offsets
        data = self._columns["data"]
        count = len(self)
        lengths = np.diff(offsets)
        per_event = int(lengths[0]) if count else 0
        if count and not (lengths == per_event).all():
            raise ValueError(
                "the events of this batch differ in length "
                f"({int(lengths.min())} to {int(lengths.max())} samples), so they do not form "
                "one array; use batch.offsets to slice batch['data'] per event"
            )
        if self._format == "WD1":
            return data.reshape(count, per_event)
        samples = self._columns["samples"]
        per_channel = int(samples[0]) if count else 0
        if count and not (samples == per_channel).all():
            raise ValueError(
                "the events of this batch differ in samples per channel, so they do not form one "
                "array; use batch.offsets to slice batch['data'] per event"
            )
        if per_channel:
            channels = per_event // per_channel
        else:
            channels = max(int(self._columns["channels"][0]), 0) if count else 0
        return data.reshape(count, channels, per_channel)

    def reduce(self, op: _Reduction, *, empty: float | None = None) -> NDArray[Any]:
        """One value per event (WD1) or per event and channel (WD2, shape events x channels):
        ``op`` ("min", "max", "sum", "mean", "argmin" or "argmax") of its samples, for events
        of any length.

        Each value is what NumPy's ``op`` of the event's (or channel's) samples gives, with its
        dtype: min and max keep the samples' dtype, sum is uint64 for WD1 and float32 for
        WD2, mean float64 for WD1 and float32 for WD2, argmin and argmax int64 (the position
        within the event or channel; the first of equal values; NaN counts as least and
        greatest, as in NumPy). Float sums and means of events whose lengths change from one
        event to the next are summed in float64, so they may differ from NumPy's float32
        sum in the last bit.

        An event (or channel) without samples gives 0 for sum, NaN for mean, NaN for min
        and max of WD2, -1 for argmin and argmax, and for min and max of WD1 (which have no
        NaN) a ValueError; ``empty`` gives the value to use instead, for any ``op``. A WD2
        batch whose events differ in channel count has as many columns as the most
        channels, the missing ones counted as empty.
        """
        if op not in REDUCTIONS:
            raise ValueError(f"op must be one of {', '.join(map(repr, REDUCTIONS))}, not {op!r}")
        offsets = self.offsets
        data = self._columns["data"]
        try:
            waves = self.waveforms()
        except ValueError:
            pass  # events of different shapes
        else:
            if waves.shape[-1]:
                return cast("NDArray[Any]", getattr(waves, op)(axis=-1))
        shape: tuple[int, ...]
        if self._format == "WD1":
            starts, lengths, places, shape = offsets[:-1], np.diff(offsets), None, (len(self),)
        else:
            starts, lengths, places, shape = channel_segments(self)
        dtype = _result_dtype(op, data.dtype)
        filled = lengths > 0
        result = np.empty(len(lengths), dtype)
        if not filled.all():
            result[~filled] = _empty_value(op, dtype, empty, lengths)
        if filled.any():
            result[filled] = _reduce_segments(op, data, starts[filled], lengths[filled], dtype)
        if places is not None:
            padded = np.full(int(np.prod(shape)), _empty_value(op, dtype, empty, None), dtype)
            padded[places] = result
            result = padded
        return result.reshape(shape)

    # -- conversions (each needs an optional package; see vesk_arrays._convert) ---------------

    def to_arrow(self) -> pyarrow.Table:
        """A ``pyarrow.Table``: one column per header field with its integer width, and
        ``data`` the samples of each event, a list of channels each a list of samples for WD2.
        The lists are fixed-size (``fixed_size_list``) when every event of the batch has one
        shape (and holds samples), else ``large_list``; :func:`to_parquet` writes files by
        the same rule. The samples are shared, not copied. The schema's metadata holds the
        format under ``b"vesk.format"``. Needs ``vesk[arrow]``."""
        from ._convert import to_arrow

        return to_arrow(self)

    def to_pandas(self) -> pandas.DataFrame:
        """A ``pandas.DataFrame``: the header fields with their integer widths, and ``data``
        as Arrow-backed lists (``large_list``; of channels, each a ``large_list``, for WD2)
        sharing the samples: always ``large_list``, so that frames of different batches have
        one dtype. Needs ``vesk[pandas]``."""
        from ._convert import to_pandas

        return to_pandas(self)

    def to_awkward(self) -> awkward.Array:
        """An ``awkward.Array`` of records: the header fields and ``data``, a list of samples
        per event (of channels, each a list of samples, for WD2), regular where every event
        has one shape, over the batch's own buffers. Needs ``vesk[awkward]``."""
        from ._convert import to_awkward

        return to_awkward(self)


def _human_bytes(size: int) -> str:
    for unit, scale in (("GB", 10**9), ("MB", 10**6), ("kB", 10**3)):
        if size >= scale:
            return f"{size / scale:.1f} {unit}"
    return f"{size} bytes"


def channel_counts(batch: Batch[Any]) -> NDArray[np.int64]:
    """WD2: each event's number of channels, as its samples give it (its ``channels`` field
    when it has none: the field is all there is then)."""
    samples = batch["samples"].astype(np.int64)
    lengths = np.diff(batch.offsets)
    counts = np.maximum(batch["channels"].astype(np.int64), 0)
    has = samples > 0
    counts[has] = lengths[has] // samples[has]
    wrong = np.flatnonzero(counts * samples != lengths)
    if len(wrong):
        i = int(wrong[0])
        raise ValueError(
            f"event {i} holds {int(lengths[i])} samples, not a whole number of channels of "
            f"{int(samples[i])} samples"
        )
    return counts


def channel_segments(
    batch: Batch[Any],
) -> tuple[NDArray[np.int64], NDArray[np.int64], NDArray[np.int64] | None, tuple[int, int]]:
    """(start, length) of every channel of every event, where each goes in an events x
    channels result (None: in order, filling it), and the result's shape."""
    counts = channel_counts(batch)
    samples = batch["samples"].astype(np.int64)
    width = int(counts.max()) if len(counts) else 0
    events = np.repeat(np.arange(len(counts)), counts)
    first = np.repeat(np.cumsum(counts) - counts, counts)
    channel = np.arange(len(events)) - first
    starts = batch.offsets[:-1][events] + channel * samples[events]
    places = None if (counts == width).all() else events * width + channel
    return starts, samples[events], places, (len(counts), width)


def _result_dtype(op: str, sample: np.dtype[Any]) -> np.dtype[Any]:
    if op in ("min", "max"):
        return sample
    if op in ("argmin", "argmax"):
        return np.dtype(np.intp)
    # What NumPy gives for one event, whatever the platform.
    return cast("np.dtype[Any]", getattr(np, op)(np.ones(1, sample)).dtype)


def _empty_value(
    op: str, dtype: np.dtype[Any], empty: float | None, lengths: NDArray[np.int64] | None
) -> Any:
    if empty is not None:
        value = np.asarray(empty).astype(dtype)
        if not (value == empty or (np.isnan(value) and np.isnan(empty))):
            raise ValueError(f"empty={empty!r} cannot be held by the result's dtype, {dtype}")
        return value
    if op == "sum":
        return 0
    if op in ("argmin", "argmax"):
        return -1
    if dtype.kind == "f":
        return np.nan
    # Only WD1 gets here: its segments are its events.
    where = "" if lengths is None else f" (event {int(np.flatnonzero(lengths == 0)[0])})"
    raise ValueError(
        f"{op} of an event without samples{where} has no value in {dtype}: pass empty= the value "
        "to give such events, or leave them out: batch[np.diff(batch.offsets) > 0]"
    )


def _by_runs(segments: int, runs: int) -> bool:
    """Whether to reduce run by run, each run of segments of one length a 2-D array that NumPy
    reduces as it would reduce each segment, rather than all segments in one call of
    ufunc.reduceat: for few runs, or long ones, where the calls per run cost little."""
    return runs <= _RUN_LENGTH or segments >= _RUN_LENGTH * runs


def _reduce_segments(
    op: str, data: NDArray[Any], starts: NDArray[np.int64], lengths: NDArray[np.int64], dtype: np.dtype[Any]
) -> NDArray[Any]:
    """``op`` of each segment of samples, the segments back to back, none empty."""
    if op in ("argmin", "argmax") and data.dtype in _SCANNED_DTYPES:
        # One pass over each segment in C++, where NumPy needs several over them all.
        positions = np.empty(len(starts), np.int64)
        _core.first_extremes(
            np.ascontiguousarray(data),
            np.ascontiguousarray(starts, np.int64),
            np.ascontiguousarray(lengths, np.int64),
            positions,
            op == "argmax",
        )
        return positions.astype(dtype, copy=False)
    breaks = np.flatnonzero(lengths[1:] != lengths[:-1]) + 1
    if _by_runs(len(lengths), len(breaks) + 1):
        parts = []
        for a, b in zip([0, *breaks.tolist()], [*breaks.tolist(), len(lengths)]):
            first, size = int(starts[a]), int(lengths[a])
            rows = data[first : first + (b - a) * size].reshape(b - a, size)
            parts.append(getattr(rows, op)(axis=1))
        return np.concatenate(parts).astype(dtype, copy=False)
    data = data[int(starts[0]) : int(starts[-1] + lengths[-1])]
    starts = starts - starts[0]
    if op in ("min", "max", "argmin", "argmax"):
        ufunc = np.minimum if op.endswith("min") else np.maximum
        extreme = ufunc.reduceat(data, starts)
        if op in ("min", "max"):
            return extreme
        # The first position holding the extreme (or, where it is NaN, the first NaN).
        expanded = np.repeat(extreme, lengths)
        hit = data == expanded
        if data.dtype.kind == "f":
            hit |= np.isnan(data) & np.isnan(expanded)
        positions = np.where(hit, np.arange(len(data)), len(data))
        return np.minimum.reduceat(positions, starts) - starts
    wide = np.float64 if dtype.kind == "f" else dtype
    total = np.add.reduceat(data, starts, dtype=wide)
    if op == "mean":
        total = total / lengths
    return total.astype(dtype, copy=False)


def concat(batches: Iterable[Batch[_Event_co]]) -> Batch[_Event_co]:
    """The events of ``batches``, one after another, as one batch (copied).

    The batches must have one format and the same columns. The result keeps their
    ``path`` when they all have the same one (else None) and their events' indices in
    their files (``event_index``); ``start`` and ``stop`` span them.
    """
    parts = list(batches)
    if not parts:
        raise ValueError("concat needs at least one batch")
    for part in parts:
        if not isinstance(part, Batch):
            raise TypeError(f"concat joins Batches, not {type(part).__name__!r}")
    first = parts[0]
    names = list(first.keys())
    for part in parts[1:]:
        if part.format != first.format or list(part.keys()) != names:
            raise ValueError(
                f"concat joins batches of one format with the same columns: {first.format} {names} "
                f"and {part.format} {list(part.keys())}"
            )
    columns = {name: np.concatenate([part._columns[name] for part in parts]) for name in names}
    offsets = None
    if first._offsets is not None:
        offsets = np.zeros(sum(len(part) for part in parts) + 1, np.int64)
        np.cumsum(np.concatenate([np.diff(part.offsets) for part in parts]), out=offsets[1:])
    paths = {part.path for part in parts}
    path = paths.pop() if len(paths) == 1 else None
    filled = [part for part in parts if len(part)] or parts[:1]
    start, stop = min(p.start for p in filled), max(p.stop for p in filled)
    index: EventIndex
    if any(part._event_index is False for part in parts):
        index = False
    elif any(isinstance(part._event_index, LazyIndex) for part in parts):
        index = LazyIndex(lambda: _joined_indices(parts))
    elif (
        path is not None
        and all(part._event_index is None for part in filled)
        and all(part.stop == later.start for part, later in zip(filled, filled[1:]))
    ):
        index = None  # consecutive events of one file: still range(start, stop)
    else:
        index = np.concatenate([part.event_index for part in parts])
    result = first._like(columns, offsets, start, stop, index)
    result._path = path
    return result


def _joined_indices(parts: Sequence[Batch[Any]]) -> NDArray[np.int64] | Literal[False]:
    try:
        return np.concatenate([part.event_index for part in parts])
    except ValueError:  # the indices of a part cannot be found
        return False

"""A batch of events as columns: one array per header field, every sample in one array."""

from __future__ import annotations

import operator
from collections.abc import ItemsView, Iterable, Iterator, KeysView, Mapping, ValuesView
from typing import TYPE_CHECKING, Any, Generic, Literal, SupportsIndex, TypeVar, cast, overload

import numpy as np
from numpy.typing import ArrayLike, NDArray

import vesk_arrays._core as _core

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

from ._display import batch_html, batch_repr
from ._event_index import EventIndex, LazyIndex
from ._files import Files, file_index_nbytes, file_index_of, files_of
from ._from_numpy import batch_from_numpy
from ._pad import of_common_shape, padded_waveforms
from ._samples import Segments, reduce_events, segments_of, waveforms_of
from ._schema import HEADER_FIELDS, SAMPLE_DTYPES, checked_parts, column_names
from ._select import sliced, taken
from ._types import ListType, Offsets, Pad, Reduction, Samples, Selection

# A batch is parametrised by the dictionary of one of its events: Batch[WD1Event],
# Batch[WD2Event], or Batch[WD1Event | WD2Event] when the format is known only at run time.
_Event_co = TypeVar("_Event_co", bound="WD1Event | WD2Event", covariant=True)

_T = TypeVar("_T")


def _no_samples() -> ValueError:
    return ValueError("this batch was read without its samples ('data' was left out of columns=)")


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
    offsets of a batch of small events would cost a sizeable share of reading it."""
    if isinstance(columns.get("data"), _core.MappedSamples):  # samples left in the file's mapping
        from ._mapped import mapped_batch

        return mapped_batch(format, columns, offsets, path, start, stop, event_index)  # type: ignore[arg-type]
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

    __slots__ = ("_format", "_columns", "_offsets", "_path", "_start", "_stop", "_event_index", "_files")

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
    # Set only for events of several files (see _files); unset, their file is `path`.
    _files: Files

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
        offsets, index, count = checked_parts(format, columns, offsets, event_index, start, stop)
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
        self._offsets = offsets if "data" in columns else None
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

    @overload
    @classmethod
    def from_numpy(
        cls, reader_type: Literal["WD1"], samples: ArrayLike, *, offsets: Offsets = None, **fields: ArrayLike
    ) -> Batch[WD1Event]: ...
    @overload
    @classmethod
    def from_numpy(
        cls, reader_type: Literal["WD2"], samples: ArrayLike, *, offsets: Offsets = None, **fields: ArrayLike
    ) -> Batch[WD2Event]: ...
    @overload
    @classmethod
    def from_numpy(
        cls, reader_type: str, samples: ArrayLike, *, offsets: Offsets = None, **fields: ArrayLike
    ) -> Batch[WD1Event | WD2Event]: ...
    @classmethod
    def from_numpy(
        cls, reader_type: str, samples: ArrayLike, *, offsets: Offsets = None, **fields: ArrayLike
    ) -> Batch[Any]:
        """A batch of the events whose samples are ``samples``, ready to :func:`write`.

        ``samples`` is an events x samples array (WD1) or events x channels x samples
        (WD2), or the samples of every event one after the other with ``offsets`` (event
        i's are ``samples[offsets[i]:offsets[i + 1]]``; for WD2 ``channels``, default 1,
        splits them). The size fields (WD1 ``event_size``, WD2 ``samples`` and
        ``channels``) are filled from them; every other header field is 0 unless given
        as a keyword, a scalar or one value per event. Values a field or the samples'
        dtype cannot hold raise ValueError, as do samples of the wrong dimensions.
        """
        return batch_from_numpy(cls, reader_type, samples, offsets, fields)

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
    def __getitem__(self, key: Literal["data"]) -> Samples: ...
    @overload
    def __getitem__(self, key: str) -> NDArray[Any]: ...
    @overload
    def __getitem__(self, key: Selection) -> Batch[_Event_co]: ...
    def __getitem__(self, key: str | Selection) -> NDArray[Any] | Batch[_Event_co]:
        if isinstance(key, str):
            if key == "data" and self._offsets is None:
                raise KeyError("data: this batch was read without its samples (columns=)")
            return self._columns[key]
        if isinstance(key, slice):
            start, stop, step = key.indices(len(self))
            if step != 1:
                return taken(self, np.arange(start, stop, step, dtype=np.int64))
            return sliced(self, start, max(start, stop))
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
            return taken(self, np.flatnonzero(selection), selection)
        if selection.ndim != 1 or not (selection.dtype.kind in "iu" or selection.size == 0):
            raise TypeError(
                "a batch is indexed by a column name, a slice, a boolean mask or a 1-D array of "
                f"event positions, not {type(key).__name__!r}"
            )
        positions = selection.astype(np.int64)
        count = len(self)
        if ((positions < -count) | (positions >= count)).any():
            raise IndexError(f"event position out of range for a batch of {count} events")
        return taken(self, np.where(positions < 0, positions + count, positions))

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

    def __repr__(self) -> str:
        return batch_repr(self, self._format, self._start, self._stop, self._offsets)

    def _repr_html_(self) -> str:
        return batch_html(self, self._format, self._start, self._stop, self._offsets)

    def __array__(self, dtype: object = None, copy: object = None) -> NDArray[Any]:
        # NumPy would otherwise make an array of the column names, as of any iterable.
        raise TypeError(
            "a Batch is a table of columns, not one array: use batch.waveforms() for the samples "
            "as an array, or batch[name] for a column"
        )

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
        """The file the events came from (None for a batch built by hand, or of several
        files: see ``files``)."""
        return self._path

    @property
    def files(self) -> tuple[str, ...]:
        """The files of the batch's events: ``(path,)`` for one file, the files in order for a
        batch :func:`read` or :func:`concat` made of several, ``()`` for a batch built by hand."""
        return files_of(self)

    @property
    def file_index(self) -> NDArray[np.intp]:
        """One entry per event: the position in ``files`` of its file (-1 for none)."""
        return file_index_of(self)

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
        return int(total) + file_index_nbytes(self)

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
    def waveforms(
        self: Batch[WD1Event], pad: Pad = None, *, length: int | None = None, clip: bool = False
    ) -> NDArray[np.uint16]: ...
    @overload
    def waveforms(
        self: Batch[WD2Event], pad: Pad = None, *, length: int | None = None, clip: bool = False
    ) -> NDArray[np.float32]: ...
    @overload
    def waveforms(self, pad: Pad = None, *, length: int | None = None, clip: bool = False) -> Samples: ...
    def waveforms(self, pad: Pad = None, *, length: int | None = None, clip: bool = False) -> NDArray[Any]:
        """The samples as a 2-D (WD1: events x samples) or 3-D (WD2: events x channels x samples)
        array: without ``pad``, a view of ``batch["data"]``, never a copy.

        Raises ValueError when the events do not all have the same shape, unless ``pad`` is
        given: each event's samples (each channel's, for WD2; and whole channels an event
        lacks) are then followed by ``pad`` up to the longest, or to ``length`` samples, in a
        new array (a view when none needs padding). ``pad`` must fit the samples' dtype
        (``np.nan`` only for WD2). Longer events raise ValueError, or with ``clip=True``
        are cut to ``length``. :meth:`of_common_shape` keeps the events of the usual shape.
        """
        if pad is None and length is None:
            return waveforms_of(self)
        return padded_waveforms(self, pad, length, clip)

    def of_common_shape(self) -> Batch[_Event_co]:
        """The events of the most frequent shape (WD1: samples; WD2: channels and samples per
        channel; the earliest event's shape among equally frequent ones), whose
        :meth:`waveforms` is one array: this batch's samples shared when that is all of them."""
        return of_common_shape(self)

    def reduce(
        self,
        op: Reduction,
        *,
        start: SupportsIndex | None = None,
        stop: SupportsIndex | None = None,
        empty: float | None = None,
    ) -> NDArray[Any]:
        """One value per event (WD1) or per event and channel (WD2, shape events x channels):
        ``op`` ("min", "max", "sum", "mean", "argmin" or "argmax") of its samples in the window
        ``[start:stop]``, for events of any length, computed in C++ on the usable cores.

        The window is taken as a Python slice of each event's (WD2: each channel's) samples:
        negative bounds count from its end, an event shorter than the window gives the part
        it has. Each value is exactly what NumPy's ``op`` of those samples gives, with its
        dtype: min and max keep the samples' dtype, sum is uint64 for WD1 and float32 for WD2
        (summed pairwise as NumPy does, to the bit), mean float64 for WD1 and float32 for WD2,
        argmin and argmax int64 (the position within the window; the first of equal values;
        NaN counts as least and greatest, as in NumPy). Only which NaN, and which zero when
        zeros of both signs are the extreme, are not promised.

        A window without samples gives 0 for sum, NaN for mean, NaN for min and max of WD2,
        -1 for argmin and argmax, and for min and max of WD1 (which have no NaN) a
        ValueError; ``empty`` gives the value to use instead, for any ``op``. A WD2 batch
        whose events differ in channel count has as many columns as the most channels, the
        missing ones counted as empty.
        """
        self.offsets  # noqa: B018 (a batch without samples raises here, before anything else)
        return reduce_events(self._segments(), op, start, stop, empty)

    def _segments(self) -> Segments:
        """Where each event's (channel's) samples lie, for :meth:`reduce`."""
        return segments_of(self)

    # -- conversions (each needs an optional package; see vesk_arrays._convert) ---------------

    def to_arrow(self, list_type: ListType | None = None) -> pyarrow.Table:
        """A ``pyarrow.Table``: one column per header field with its integer width, and
        ``data`` the samples of each event, a list of channels each a list of samples for WD2,
        shared, not copied. ``list_type="large_list"``: large lists always, the schema of
        :func:`vesk_arrays.schema` that every batch of a stream shares; ``"fixed_size_list"``:
        fixed-size (ValueError unless every event has one shape and holds samples); by default
        fixed-size where they can be, else large. The schema's metadata holds the format under
        ``b"vesk.format"``. Needs ``vesk[arrow]``."""
        from ._convert import to_arrow

        return to_arrow(self, list_type)

    def to_pandas(self, list_type: ListType = "large_list") -> pandas.DataFrame:
        """A ``pandas.DataFrame``: the header fields, and ``data`` as Arrow-backed lists sharing
        the samples, of ``list_type`` as :meth:`to_arrow` takes it: ``large_list`` by default,
        so that frames of different batches have one dtype. Needs ``vesk[pandas]``."""
        from ._convert import to_pandas

        return to_pandas(self, list_type)

    def to_awkward(self) -> awkward.Array:
        """An ``awkward.Array`` of records: the header fields and ``data``, a list of samples
        per event (of channels, each a list of samples, for WD2), regular where every event
        has one shape, over the batch's own buffers. Needs ``vesk[awkward]``."""
        from ._convert import to_awkward

        return to_awkward(self)

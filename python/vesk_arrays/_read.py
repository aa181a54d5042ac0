"""`read`: one slice of a file as one batch."""

from __future__ import annotations

from collections.abc import Sequence
from typing import TYPE_CHECKING, Literal, SupportsIndex, overload

from ._batch import Batch
from ._options import Errors, Layout, check_index, format_of_source, read_options
from ._reader import BatchReader
from ._sources import Source

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event


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
    memory_map: bool = False,
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
    memory_map: bool = False,
) -> Batch[WD2Event]: ...
@overload
def read(
    source: Source,
    reader_type: str | None = None,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    memory_map: bool = False,
) -> Batch[WD1Event | WD2Event]: ...
def read(
    source: Source,
    reader_type: str | None = None,
    *,
    start: SupportsIndex = 0,
    stop: SupportsIndex | None = None,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    memory_map: bool = False,
) -> Batch[WD1Event | WD2Event]:
    """Events ``start`` to ``stop - 1`` of one file (all of them by default) as one Batch.

    ``source`` is a path or a binary file object, as for :class:`BatchReader` (which
    tells how ``reader_type`` is found from a path's extension when it is left out). Event
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
    ``memory_map=True`` leaves the samples of a regular file in its mapping, copying none
    (see :class:`BatchReader`).
    """
    first = check_index("start", start)
    last = None if stop is None else check_index("stop", stop)
    reader_type = format_of_source(source, reader_type)
    options = read_options(
        reader_type, errors=errors, layout=layout, prefetch=0, columns=columns, memory_map=memory_map
    )
    with BatchReader._with_options(source, options) as reader:
        reader.skip_to(first)
        if last is not None and last <= first:
            return Batch.empty(
                reader.format, path=reader.path, start=reader.events_read, columns=reader.columns
            )
        return reader.read_range(last)

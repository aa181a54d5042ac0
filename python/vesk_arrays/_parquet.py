"""Many event files into one Parquet file, a batch at a time."""

from __future__ import annotations

import os
import shutil
import tempfile
from collections.abc import Mapping, Sequence
from typing import IO, TYPE_CHECKING, Any, Callable, Union

import numpy as np
from numpy.typing import NDArray

from ._batch import Batch
from ._convert import arrow_schema, arrow_table
from ._iterate import Paths, Report, expand_paths, reported_pairs
from ._optional import require
from ._options import DEFAULT_STEP, Errors, Layout, read_options
from ._progress import progress_bar, tqdm_module
from ._remote import is_url, local_path, uploaded
from ._schema import column_names
from ._write import AtomicFile, refuse_an_input

if TYPE_CHECKING:
    from typing_extensions import TypeAlias

    _Path: TypeAlias = Union[str, "os.PathLike[str]"]


def to_parquet(
    paths: Paths,
    reader_type: str,
    destination: _Path | IO[bytes],
    *,
    step_size: int | str = DEFAULT_STEP,
    compression: str | dict[str, str] | None = "zstd",
    progress: bool = False,
    errors: Errors = "raise",
    layout: Layout = None,
    columns: Sequence[str] | None = None,
    source: bool = False,
    storage_options: Mapping[str, Any] | None = None,
) -> int:
    """Writes the events of ``paths`` (as taken by :func:`iterate`) to one Parquet file.

    Each batch of ``step_size`` becomes one row group, so memory use stays near one
    batch whatever the size of the input. The file's schema is :func:`schema`'s (the
    columns of ``Batch.to_arrow(list_type="large_list")``), chosen before the first batch:
    ``data`` holds large lists whatever the shapes of the events, so every batch is
    written once, as it comes. ``compression`` is passed to
    ``pyarrow.parquet.ParquetWriter``. With ``progress=True`` a tqdm progress bar, whose
    total comes from :func:`num_events`, is drawn on stderr.

    ``columns`` (names of header fields and ``"data"``) keeps only those columns, as
    :func:`iterate` reads them. With ``source=True`` two columns come first, as in
    ``vesk_arrays.dask.read(source=True)``: ``path`` (the file, made absolute) and
    ``event`` (the event's index in its file, damaged events counted).

    ``destination`` is a path or a writable binary file. A path is written through a
    temporary file in its folder, renamed into place once every event is written: a
    conversion that fails or is interrupted leaves no partial file, and a file that was
    there before untouched. A file object gets the file at the end, from a temporary
    file. A destination that is one of the input files is refused (ValueError). A URL
    (``s3://bucket/run.parquet``, its file system made with ``storage_options``, as are
    those of the inputs) is written to a local temporary file first and uploaded once it
    is whole: a conversion that fails leaves nothing new at the URL.

    With ``errors="skip"`` damaged events are left out, with a
    :class:`DamagedEventWarning` per file, as :func:`read` does. ``layout`` is passed to
    the readers (WD2 only). Returns the number of events written. A file that cannot be
    opened or read raises its OSError, and with ``errors="raise"`` a damaged event
    :class:`DamagedEventError`. Needs ``vesk[arrow]`` (and tqdm, in ``vesk[cli]``, for
    ``progress``).
    """
    return convert(
        paths,
        reader_type,
        destination,
        step_size=step_size,
        compression=compression,
        progress=progress,
        errors=errors,
        layout=layout,
        columns=columns,
        source=source,
        storage_options=storage_options,
    )


def convert(
    paths: Paths,
    reader_type: str,
    destination: _Path | IO[bytes],
    *,
    step_size: int | str,
    compression: str | dict[str, str] | None,
    progress: bool,
    errors: Errors,
    layout: Layout,
    columns: Sequence[str] | None = None,
    source: bool = False,
    storage_options: Mapping[str, Any] | None = None,
    on_report: Callable[[Report], None] | None = None,
    **selection: int,
) -> int:
    """:func:`to_parquet`, calling ``on_report(report)`` with the report of every batch
    read; ``selection`` (``start``, ``stop``) is passed to :func:`iterate`."""
    pa = require("pyarrow", "arrow", "to_parquet()")
    pq = require("pyarrow.parquet", "arrow", "to_parquet()")
    files = expand_paths(paths, storage_options)
    # Checks the other arguments at once, for every layer below; reads nothing until iterated.
    options = read_options(
        reader_type,
        step_size=step_size,
        errors=errors,
        layout=layout,
        start=selection.get("start", 0),
        stop=selection.get("stop"),
        columns=columns,
        storage_options=storage_options,
    )
    tqdm = tqdm_module("to_parquet(progress=True)") if progress else None
    pairs = reported_pairs(files, options)
    names = (
        column_names(reader_type)
        if columns is None
        else [n for n in column_names(reader_type) if n in columns]
    )

    def write(temporaries: AtomicFile | _Spool) -> tuple[str, int]:
        bar = None if tqdm is None else progress_bar(tqdm, files, options, "converting")
        output = _ParquetFile(pa, pq, reader_type, names, source, compression, temporaries)
        written = 0
        try:
            for batch, report in pairs:
                if report.error is not None:
                    raise report.error  # a file that cannot be read is no damaged event
                if on_report is not None:
                    on_report(report)
                if not len(batch):
                    continue
                output.write(batch, _source_of(batch, report) if source else None)
                written += len(batch)
                if bar is not None:
                    bar.update(len(batch))
            return output.finish(), written
        finally:
            output.close()
            if bar is not None:
                bar.close()

    if not isinstance(destination, (str, os.PathLike)):
        with _Spool() as spool:
            where, written = write(spool)
            with open(where, "rb") as file:
                shutil.copyfileobj(file, destination)
        return written
    if is_url(os.fspath(destination)):
        with uploaded(os.fspath(destination), storage_options) as local:
            return _write_atomically(write, local)
    destination = local_path(os.fspath(destination))
    refuse_an_input([file for file in files if isinstance(file, str)], destination)
    return _write_atomically(write, destination)


def _write_atomically(write: Callable[[AtomicFile], tuple[str, int]], destination: str) -> int:
    with AtomicFile(destination) as target:
        where, written = write(target)
        target.commit(where)
    return written


def _source_of(batch: Batch[Any], report: Report) -> tuple[str, NDArray[np.int64]]:
    """The batch's file, made absolute, and its events' indices there (a ValueError for a
    stream whose read left out more damaged events than it keeps records of)."""
    return os.path.abspath(batch.path or report.path), batch.event_index


class _Spool:
    """Temporary files in the system's temporary folder, all removed at the end."""

    def __init__(self) -> None:
        self._paths: list[str] = []

    def new_temporary(self) -> str:
        descriptor, path = tempfile.mkstemp(prefix="vesk-", suffix=".parquet")
        os.close(descriptor)
        self._paths.append(path)
        return path

    def discard(self, path: str) -> None:
        self._paths.remove(path)
        os.remove(path)

    def __enter__(self) -> _Spool:
        return self

    def __exit__(self, *exc_info: object) -> None:
        for path in list(self._paths):
            self.discard(path)


class _ParquetFile:
    """A Parquet file written batch by batch, one row group each, with one schema chosen
    before the first: ``data`` as large lists, which hold events of any shape (Parquet
    stores fixed-size lists as lists too), so no row group is ever written again."""

    def __init__(
        self,
        pa: Any,
        pq: Any,
        reader_type: str,
        names: list[str],
        source: bool,
        compression: str | dict[str, str] | None,
        temporaries: AtomicFile | _Spool,
    ) -> None:
        self.pa = pa
        self.where = temporaries.new_temporary()
        schema = arrow_schema(pa, reader_type, names, None, source)
        self.writer: Any = pq.ParquetWriter(self.where, schema, compression=compression)

    def write(self, batch: Batch[Any], source: tuple[str, NDArray[np.int64]] | None) -> None:
        table = arrow_table(self.pa, batch, None, source)
        self.writer.write_table(table, row_group_size=len(batch))

    def finish(self) -> str:
        """Closes the file (one of no events, if none came); returns where it is."""
        self.writer.close()
        return self.where

    def close(self) -> None:
        self.writer.close()

"""Many event files into one Parquet file, a batch at a time."""

from __future__ import annotations

import os
import secrets
import stat
import sys

from ._convert import arrow_schema, arrow_table
from ._iterate import expand_paths, iterate, num_events
from ._optional import require
from ._reader import DEFAULT_STEP


def to_parquet(
    paths,
    reader_type,
    destination,
    *,
    step_size=DEFAULT_STEP,
    compression="zstd",
    progress=False,
    errors="raise",
    layout=None,
):
    """Writes the events of ``paths`` (as taken by :func:`iterate`) to one Parquet file.

    Each batch of ``step_size`` becomes one row group, so memory use stays near one
    batch whatever the size of the input. The columns are those of
    :meth:`Batch.to_arrow`, except that ``data`` is always a ``large_list``: every row
    group of a file has one schema, and a fixed list size may not hold for all batches.
    ``compression`` is passed to ``pyarrow.parquet.ParquetWriter``. With ``progress=True``
    a tqdm progress bar, whose total comes from :func:`num_events`, is drawn on stderr.

    ``destination`` is a path or a writable binary file. A path is written through a
    temporary file in its folder, renamed into place once every event is written: a
    conversion that fails or is interrupted leaves no partial file, and a file that was
    there before untouched. A destination that is one of the input files is refused
    (ValueError).

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
    )


def convert(
    paths, reader_type, destination, *, step_size, compression, progress, errors, layout, on_report=None
):
    """:func:`to_parquet`, calling ``on_report(report)`` with the report of every batch read."""
    pa = require("pyarrow", "arrow", "to_parquet()")
    pq = require("pyarrow.parquet", "arrow", "to_parquet()")
    files = expand_paths(paths)
    # Checks the other arguments at once; reads nothing until iterated.
    pairs = iterate(files, reader_type, step_size=step_size, report=True, errors=errors, layout=layout)

    def write(where):
        bar = None
        if progress:
            tqdm = require("tqdm", "cli", "to_parquet(progress=True)")
            total = num_events(files, reader_type, layout=layout)
            bar = tqdm.tqdm(total=total, unit=" events", file=sys.stderr, desc="converting")
        written = 0
        try:
            with pq.ParquetWriter(where, arrow_schema(pa, reader_type), compression=compression) as writer:
                for batch, report in pairs:
                    if report.error is not None:
                        raise report.error  # a file that cannot be read is no damaged event
                    if on_report is not None:
                        on_report(report)
                    if not len(batch):
                        continue
                    writer.write_table(arrow_table(pa, batch), row_group_size=len(batch))
                    written += len(batch)
                    if bar is not None:
                        bar.update(len(batch))
        finally:
            if bar is not None:
                bar.close()
        return written

    if not isinstance(destination, (str, os.PathLike)):
        return write(destination)
    destination = os.fspath(destination)
    _refuse_an_input(files, destination)
    final = os.path.realpath(destination)  # a symbolic link stays, and its target is replaced
    temporary = _temporary_beside(final, destination)
    try:
        written = write(temporary)
        os.replace(temporary, final)
    except BaseException:
        try:
            os.remove(temporary)
        except OSError:
            pass
        raise
    return written


def _refuse_an_input(files, destination):
    try:
        target = os.stat(destination)
    except OSError:
        return  # not there yet, so none of the inputs
    for path in files:
        try:
            same = os.path.samestat(os.stat(path), target)
        except OSError:
            continue  # a missing input is reported when it is read
        if same:
            raise ValueError(f"{destination}: the output would replace the input {path}")


def _temporary_beside(final, destination):
    """A new empty file in the folder of ``final``, with the permissions a new file there
    gets, or those of the file it will replace."""
    folder, name = os.path.split(final)
    try:
        mode = stat.S_IMODE(os.stat(final).st_mode)
    except OSError:
        mode = None
    while True:
        temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
        try:
            descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
        except FileExistsError:
            continue
        except OSError as error:
            # Named after the destination asked for, not after a name made up here.
            raise type(error)(error.errno, error.strerror, destination) from None
        try:
            if mode is not None:
                os.fchmod(descriptor, mode)
        finally:
            os.close(descriptor)
        return temporary

"""Reading events in batches: `read` for one slice of a file, `BatchReader` for streaming."""

from __future__ import annotations

import os
import re
import time
import warnings

from . import _core
from ._batch import HEADER_FIELDS, Batch
from ._sources import compression_of, is_file_object, name_of, open_decompressed

FORMATS = tuple(HEADER_FIELDS)
DEFAULT_STEP = "64 MiB"


class DamagedEventError(ValueError):
    """An event whose header gives a length that cannot be represented.

    ``path`` is the file, ``index`` the event's index within it (damaged events count)
    and ``offset`` the byte offset where its header starts. The reader goes on after it.
    """

    def __init__(self, path, index, offset, reason):
        super().__init__(f"{path}: event {index} at byte {offset} is damaged: {reason}")
        self.path = path
        self.index = index
        self.offset = offset
        self.reason = reason

    def __reduce__(self):
        # Rebuilt from its fields, so that it crosses process boundaries (Dask
        # workers, multiprocessing) as itself.
        return type(self), (self.path, self.index, self.offset, self.reason)


class DamagedEventWarning(UserWarning):
    """Damaged events were skipped (``errors="skip"``)."""


_core.register_damaged_error(DamagedEventError)


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


def parse_step_size(step_size):
    """("events", n) for an int, ("bytes", n) for a memory size such as "64 MiB" or "100 MB"."""
    if isinstance(step_size, bool) or not isinstance(step_size, (int, str)):
        raise TypeError(
            f"step_size must be an int (events) or a str (a memory size such as "
            f"'64 MiB'), not {type(step_size).__name__!r}"
        )
    if isinstance(step_size, int):
        if step_size < 1:
            raise ValueError(f"step_size must be at least 1 event, not {step_size}")
        return "events", step_size
    match = _SIZE.fullmatch(step_size)
    unit = match and _UNITS.get(match.group(2).lower())
    if not unit:
        raise ValueError(f"step_size {step_size!r} is not a memory size such as '64 MiB' or '100 MB'")
    size = int(float(match.group(1)) * unit)
    if size < 1:
        raise ValueError(f"step_size must be at least 1 byte, not {step_size!r}")
    return "bytes", size


def check_path(path):
    """The path as a str; TypeError for anything but a str or an os.PathLike giving a str."""
    if isinstance(path, (str, os.PathLike)):
        path = os.fspath(path)
        if isinstance(path, str):
            return path
    raise TypeError(f"path must be a str or an os.PathLike, not {type(path).__name__!r}")


def check_format(reader_type):
    if not isinstance(reader_type, str):
        raise TypeError(f"reader_type must be a str, not {type(reader_type).__name__!r}")
    if reader_type not in FORMATS:
        raise ValueError(f"unknown reader type {reader_type!r}, expected 'WD1' or 'WD2'")
    return reader_type


def _check_seconds(name, value):
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        raise TypeError(f"{name} must be a number of seconds, not {type(value).__name__!r}")
    if not value >= 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return float(value)


def check_errors(errors):
    if errors not in ("raise", "skip"):
        raise ValueError(f"errors must be 'raise' or 'skip', not {errors!r}")
    return errors


def check_count(name, value):
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{name} must be an int, not {type(value).__name__!r}")
    if value < 0:
        raise ValueError(f"{name} must not be negative, not {value}")
    return value


class BatchReader:
    """Reads one WD1 or WD2 file in batches of consecutive events.

    ``source`` is a path (a ``str`` or ``os.PathLike``; files compressed with gzip, xz,
    bzip2 or zstd are recognised by their first bytes and decompressed) or a binary file
    object with ``readinto`` (``sys.stdin.buffer``, ``io.BytesIO``, ``gzip.open(...)``),
    read as a stream. A WD2 stream is probed without rewinding.

    ``read(n)`` gives the next ``n`` events (fewer at the end of the file; an empty batch
    once it has ended), ``batches(step_size)`` iterates over the rest of the file. A
    damaged event ends the batch before it; the next call raises
    :class:`DamagedEventError` for it and the call after that goes on after it. With
    ``errors="skip"`` damaged events are skipped and counted in ``damaged``.

    With ``follow=True`` the end of the file is not the end: ``batches`` waits for the
    file to grow, polling every ``poll_interval`` seconds, and ends once nothing new has
    come for ``timeout`` seconds (never, for None). An event is only ever returned whole.

    Use it as a context manager, or call ``close()``. One reader may be shared by
    threads: calls are served one at a time, and no event is returned twice.
    """

    def __init__(self, source, reader_type, *, errors="raise", follow=False, poll_interval=0.5, timeout=None):
        self._format = check_format(reader_type)
        self._skip = check_errors(errors) == "skip"
        self._follow, self._poll_interval, self._timeout = self._check_follow_options(
            follow, poll_interval, timeout
        )
        self._pending = None
        self._damaged = []
        self._owned = None  # a decompressing file object opened here, closed with the reader
        if is_file_object(source):
            self._path = name_of(source)
            self._core = _core.Reader(source, self._format, self._path)
            return
        self._path = check_path(source)
        compression = compression_of(self._path)
        if compression is None:
            self._core = _core.Reader(self._path, self._format, self._path)
            return
        self._owned = open_decompressed(self._path, compression)
        try:
            self._core = _core.Reader(self._owned, self._format, self._path)
        except BaseException:
            self._owned.close()
            raise

    @staticmethod
    def _check_follow_options(follow, poll_interval, timeout):
        return (
            bool(follow),
            _check_seconds("poll_interval", poll_interval),
            None if timeout is None else _check_seconds("timeout", timeout),
        )

    # -- state ---------------------------------------------------------------------------------

    @property
    def path(self):
        return self._path

    @property
    def format(self):
        return self._format

    @property
    def closed(self):
        return self._core.closed

    @property
    def damaged(self):
        """(index, offset, reason) of each damaged event skipped so far (``errors="skip"``)."""
        return list(self._damaged)

    @property
    def events_read(self):
        """Index of the next event in the file: events returned or skipped so far."""
        return self._core.events_read

    @property
    def position(self):
        """Bytes of the file consumed so far: just past the last whole event read or skipped."""
        return self._core.position

    @property
    def has_channel_field(self):
        """WD2: whether the headers carry the channel field (as the layout probe decided); None for WD1."""
        layout = self._core.layout
        return None if layout is None else layout[0]

    @property
    def channel_count(self):
        """WD2: the file's channel count (1 for single-channel files); None for WD1."""
        layout = self._core.layout
        return None if layout is None else layout[1]

    def close(self):
        self._core.close()
        if self._owned is not None:
            self._owned.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()

    def __repr__(self):
        state = "closed" if self.closed else f"at event {self.events_read}"
        return f"<vesk_arrays.BatchReader {self._format} {self._path!r}, {state}>"

    # -- reading -------------------------------------------------------------------------------

    def read(self, max_events):
        """At most ``max_events`` events; an empty batch at the end of the file."""
        return self._read(check_count("max_events", max_events), None)

    def batches(self, step_size=DEFAULT_STEP):
        """Batches over the rest of the file: ``step_size`` events each (an int) or about
        that many bytes each (a memory size such as ``"64 MiB"``)."""
        unit, size = parse_step_size(step_size)
        max_events, max_bytes = (size, None) if unit == "events" else (None, size)
        return self._batches(max_events, max_bytes)

    def _batches(self, max_events, max_bytes):
        quiet_since = None
        while True:
            batch = self._read(max_events, max_bytes)
            if len(batch):
                quiet_since = None
                yield batch
                continue
            if not self._follow:
                return
            now = time.monotonic()
            if quiet_since is None:
                quiet_since = now
            if self._timeout is not None and now - quiet_since >= self._timeout:
                return
            # Interruptible: Ctrl-C ends the wait at once.
            time.sleep(
                self._poll_interval
                if self._timeout is None
                else min(self._poll_interval, max(self._timeout - (now - quiet_since), 0))
            )

    def skip(self, count):
        """Steps over up to ``count`` events without reading their samples (payloads are
        skipped by seeking); returns how many. Damaged events are handled as by ``read``:
        with ``errors="skip"`` they are skipped and do not count, else the skip stops before
        one and the next call raises :class:`DamagedEventError` (at once when nothing was
        skipped)."""
        self._raise_pending()
        skipped, damaged = self._core.skip(check_count("count", count), self._skip)
        self._defer(self._note_damage(damaged, skipped), skipped)
        return skipped

    def _defer(self, error, produced):
        """Raises ``error`` now when nothing was produced, else at the next call."""
        if error is not None:
            if not produced:
                raise error
            self._pending = error

    def _raise_pending(self):
        if self._pending is not None:
            error, self._pending = self._pending, None
            raise error

    def _note_damage(self, damaged, count):
        """Records skipped damage; in raise mode returns the error for the event met."""
        if not damaged:
            return None
        if self._skip:
            self._damaged.extend(damaged)
            return None
        return DamagedEventError(self._path, *damaged[0])

    def _read(self, max_events, max_bytes):
        self._raise_pending()
        start = self._core.events_read
        columns, offsets, damaged = self._core.read(max_events, max_bytes, self._skip)
        names = [name for name, _ in HEADER_FIELDS[self._format]] + ["data"]
        batch = Batch(self._format, dict(zip(names, columns)), offsets, path=self._path, start=start)
        self._defer(self._note_damage(damaged, len(batch)), len(batch))
        return batch


def read(source, reader_type, *, start=0, stop=None, errors="raise"):
    """Events ``start`` to ``stop - 1`` of one file (all of them by default) as one Batch.

    ``source`` is a path or a binary file object, as for :class:`BatchReader`.

    A ``stop`` past the end of the file is clamped, as slicing does. With
    ``errors="raise"`` the first damaged event raises :class:`DamagedEventError`; with
    ``errors="skip"`` damaged events are left out, with one warning for the file.
    """
    check_count("start", start)
    if stop is not None:
        check_count("stop", stop)
    with BatchReader(source, reader_type, errors=errors) as reader:
        reader.skip(start)
        wanted = None if stop is None else max(stop - start, 0)
        batch = (
            reader._read(wanted, None)
            if wanted != 0
            else Batch.empty(reader.format, path=reader.path, start=reader.events_read)
        )
        reader._raise_pending()
        if reader.damaged:
            warnings.warn(
                f"{reader.path}: skipped {len(reader.damaged)} damaged events",
                DamagedEventWarning,
                stacklevel=2,
            )
        return batch

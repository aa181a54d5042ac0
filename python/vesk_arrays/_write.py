"""Batches written back as a WD1 or WD2 file, and the temporary-file-and-rename every writer here uses.

A written file reads back as the same events, bit for bit. Each event is its header,
packed little-endian as the format has it, then its samples; a WD1 event whose
event_size is odd is followed by one byte that is not a sample, as readers expect.
Records are assembled in memory a few MiB at a time (the samples of large events are
handed to the kernel in place), so that a file is written in few system calls.
"""

from __future__ import annotations

import io
import os
import secrets
import signal
import stat
import threading
import warnings
from collections.abc import Iterable, Iterator, Mapping
from typing import IO, Any, cast

import numpy as np
from numpy.typing import NDArray

import vesk_arrays._core as _core

from ._batch import Batch
from ._options import Layout, check_format, check_layout
from ._remote import is_url, local_path, uploaded
from ._schema import HEADER_FIELDS, SAMPLE_DTYPES, column_names
from ._types import Destination

# Events are assembled into records this many bytes at a time.
_CHUNK = 4 << 20
# Events at least this large on average go out as their header and their samples in
# place (writev), not copied into records.
_LARGE_EVENT = 64 << 10
_IOV_MAX = 1024


def _header_dtype(reader_type: str, with_channels: bool) -> np.dtype[Any]:
    fields = [
        (name, np.dtype(cast("type[Any]", dtype)).newbyteorder("<"))
        for name, dtype in HEADER_FIELDS[reader_type]
    ]
    if reader_type == "WD2" and not with_channels:
        fields = fields[:-1]  # a single-channel WD2 header has no channel count
    # Packed: the WD2 header has 64-bit fields at offsets 4 and 16.
    return np.dtype(
        {
            "names": [name for name, _ in fields],
            "formats": [dtype for _, dtype in fields],
            "offsets": list(np.cumsum([0] + [dtype.itemsize for _, dtype in fields[:-1]])),
            "itemsize": sum(dtype.itemsize for _, dtype in fields),
        }
    )


def write(
    destination: Destination,
    batches: Batch[Any] | Iterable[Batch[Any]],
    reader_type: str,
    *,
    layout: Layout = None,
    storage_options: Mapping[str, Any] | None = None,
) -> int:
    """Writes the events of ``batches`` (a :class:`Batch` or an iterable of them, all of
    ``reader_type``) to one WD1 or WD2 file; returns the number of events written.

    Read back (with the same ``layout``), the file gives the same events, bit for bit:
    every header field as it is in the batch, every sample (NaN payloads included).
    ``layout`` is for WD2: None or ``"multi-channel"`` writes the 28-byte header with the
    channel count, ``"single-channel"`` the 24-byte header without it, which needs
    ``channels`` to be 1 in every event. The file reads back without ``layout=``, whatever
    the selection or order of its events.

    The size fields are checked, not recomputed: they are what a reader takes the events'
    lengths from, and a batch read from a file (filtered or not) has them right. A WD1
    event's ``event_size`` must be 24 + 2 x its samples (or one more: a pad byte is then
    written; 23 for an event without samples is allowed too); a WD2 event's samples must
    number ``samples`` x the file's channel count, which is its first event's
    ``channels`` (1 for single-channel). A batch read without some columns cannot be
    written. All three raise ValueError.

    ``destination`` is a path or a writable binary file object. A path is written
    through a temporary file in its folder, renamed into place once every event is
    written: a write that fails or is interrupted leaves no file, and a file that was
    there before untouched. Writing onto the file a batch was read from is refused
    (ValueError). A URL (its file system made with ``storage_options``) is written to a
    local temporary file first and uploaded once it is whole: nothing new is at the URL
    after a write that fails.
    """
    check_format(reader_type)
    check_layout(reader_type, layout)
    with_channels = reader_type == "WD2" and layout != "single-channel"
    parts: Iterable[Batch[Any]] = (batches,) if isinstance(batches, Batch) else batches
    if not isinstance(destination, (str, os.PathLike)):
        return _Encoder(reader_type, with_channels).write(parts, destination, None)
    if is_url(os.fspath(destination)):
        with uploaded(os.fspath(destination), storage_options) as local:
            return write(local, parts, reader_type, layout=layout)
    destination = local_path(os.fspath(destination))
    target = AtomicFile(destination)
    with target:
        temporary = target.new_temporary()
        with open(temporary, "wb", buffering=0) as file:
            written = _Encoder(reader_type, with_channels).write(parts, file, target)
        if reader_type == "WD2" and written:
            _warn_if_read_in_the_other_layout(temporary, destination, with_channels)
        target.commit(temporary)
    return written


def _warn_if_read_in_the_other_layout(
    path: str, destination: str | os.PathLike[str], with_channels: bool
) -> None:
    """Events whose counters, timestamps and periods say nothing (all 0, say) can make a
    WD2 file whose bytes read as well in the other layout: the writer says so while the
    caller still knows which layout was meant."""
    reader = _core.Reader(path, "WD2", os.fspath(destination))
    try:
        reader.read(2, None, True, None, 0, False)
        told = reader.layout
    except (OSError, ValueError):
        return
    finally:
        reader.close()
    if told is not None and told[0] != with_channels:
        layouts = ["single-channel", "multi-channel"]
        written, other = layouts[with_channels], layouts[not with_channels]
        warnings.warn(
            f"{os.fspath(destination)}: written in the {written} layout, but its events' counters, "
            "timestamps and sampling periods do not tell the layouts apart, and it reads back as "
            f'{other} events unless read with layout="{written}"',
            stacklevel=3,
        )


class _Encoder:
    def __init__(self, reader_type: str, with_channels: bool) -> None:
        self.reader_type = reader_type
        self.with_channels = with_channels
        self.header = _header_dtype(reader_type, with_channels)
        self.sample = SAMPLE_DTYPES[reader_type].newbyteorder("<")
        self.channels: int | None = None  # WD2 multi-channel: the file's channel count, its first event's

    def write(self, batches: Iterable[Batch[Any]], file: IO[bytes], target: AtomicFile | None) -> int:
        written = 0
        inputs: dict[str, bool] = {}
        for batch in batches:
            if not isinstance(batch, Batch):
                raise TypeError(f"write takes Batches, not {type(batch).__name__!r}")
            if batch.format != self.reader_type:
                raise ValueError(f"a {batch.format} batch cannot be written to a {self.reader_type} file")
            missing = [name for name in column_names(self.reader_type) if name not in batch]
            if missing:
                raise ValueError(f"writing events needs all their columns; this batch has no {missing}")
            if target is not None and target.existing is not None and batch.path is not None:
                _refuse_an_input_once(inputs, batch.path, target.existing, target.destination)
            if len(batch):
                for buffers in self.records(batch):
                    _write_all(file, buffers)
                written += len(batch)
        return written

    def pads(self, batch: Batch[Any], lengths: NDArray[np.int64]) -> NDArray[np.int64]:
        """The pad bytes after each event's samples, once its size fields are checked."""
        if self.reader_type == "WD1":
            size = batch["event_size"].astype(np.int64)
            pads = size - 24 - 2 * lengths
            bad = ~((pads == 0) | ((pads == 1) & (size >= 25)) | ((pads == -1) & (lengths == 0)))
            if bad.any():
                i = int(np.flatnonzero(bad)[0])
                raise ValueError(
                    f"event {i} of the batch has event_size {int(size[i])}, but its {int(lengths[i])} "
                    f"samples make {24 + 2 * int(lengths[i])} bytes (or one more, with a pad byte)"
                )
            return cast("NDArray[np.int64]", np.maximum(pads, 0))
        samples = batch["samples"].astype(np.int64)
        channels = batch["channels"]
        if not self.with_channels:
            bad = channels != 1
            if bad.any():
                i = int(np.flatnonzero(bad)[0])
                raise ValueError(
                    f"event {i} of the batch has {int(channels[i])} channels: a single-channel file "
                    "holds events of one channel; write it with layout='multi-channel'"
                )
            per_event = 1
        else:
            if self.channels is None:
                self.channels = int(channels[0])
            per_event = self.channels
        bad = samples * per_event != lengths
        if bad.any():
            i = int(np.flatnonzero(bad)[0])
            source = f"{batch.path}: " if batch.path else ""
            raise ValueError(
                f"{source}event {i} of the batch holds {int(lengths[i])} samples, but the file's events hold "
                f"samples x {per_event} channels = {int(samples[i]) * per_event}: a WD2 file holds events "
                "of one channel count, its first event's"
            )
        return np.zeros(len(batch), np.int64)

    def records(self, batch: Batch[Any]) -> Iterator[list[Any]]:
        """The batch's bytes, as lists of buffers to write one after another."""
        offsets = batch.offsets
        lengths = np.diff(offsets)
        pads = self.pads(batch, lengths)
        count = len(batch)
        headers = np.empty(count, self.header)
        for name in self.header.names or ():
            headers[name] = batch[name]
        heads = headers.view(np.uint8).reshape(count, self.header.itemsize)
        data = np.ascontiguousarray(batch["data"], self.sample).view(np.uint8)
        size = self.sample.itemsize
        # Each event's record: where it starts in the output, and its size.
        records = self.header.itemsize + size * lengths + pads
        ends = np.cumsum(records)
        first = 0
        while first < count:
            base = int(ends[first - 1]) if first else 0
            last = max(int(np.searchsorted(ends, base + _CHUNK, "right")), first + 1)
            low, high = int(offsets[first]) * size, int(offsets[last]) * size
            if int(ends[last - 1]) - base >= _LARGE_EVENT * (last - first):
                yield _in_place(heads[first:last], data, offsets[first : last + 1] * size, pads[first:last])
            else:
                yield [
                    _assembled(
                        heads[first:last], data[low:high], size * lengths[first:last], pads[first:last]
                    )
                ]
            first = last


def _in_place(
    heads: NDArray[np.uint8], data: NDArray[np.uint8], bounds: NDArray[np.int64], pads: NDArray[np.int64]
) -> list[Any]:
    """Each event's header, then its samples where they are (large events)."""
    buffers: list[Any] = []
    samples = memoryview(cast(Any, data))
    for i, (low, high) in enumerate(zip(bounds[:-1].tolist(), bounds[1:].tolist())):
        buffers += [heads[i], samples[low:high]]
        if pads[i]:
            buffers.append(b"\0")
    return buffers


def _assembled(
    heads: NDArray[np.uint8], data: NDArray[np.uint8], sizes: NDArray[np.int64], pads: NDArray[np.int64]
) -> NDArray[np.uint8]:
    """The records of a few MiB of events, headers, samples and pad bytes in one array."""
    count, width = heads.shape
    if (sizes == sizes[0]).all() and (pads == pads[0]).all():
        # Events of one size: the records form a 2-D array.
        size, pad = int(sizes[0]), int(pads[0])
        records = np.empty((count, width + size + pad), np.uint8)
        records[:, :width] = heads
        records[:, width : width + size] = data.reshape(count, size)
        records[:, width + size :] = 0
        return records.reshape(-1)
    ends = np.cumsum(width + sizes + pads)
    starts = ends - (width + sizes + pads)
    total = int(ends[-1])
    out = np.zeros(total, np.uint8)
    samples = np.ones(total, bool)
    head_bytes = (starts[:, None] + np.arange(width)).reshape(-1)
    out[head_bytes] = heads.reshape(-1)
    samples[head_bytes] = False
    samples[(starts + width + sizes)[pads > 0]] = False  # the pad bytes, left 0
    out[samples] = data
    return out


def _write_all(file: IO[bytes], buffers: list[Any]) -> None:
    if not isinstance(file, io.FileIO) or not hasattr(os, "writev"):
        for buffer in buffers:
            file.write(buffer)
        return
    views = [memoryview(buffer).cast("B") for buffer in buffers]
    while views:
        done = os.writev(file.fileno(), views[:_IOV_MAX])
        # A write may stop short (a signal, a full disk): go on after what it took.
        while views and done >= len(views[0]):
            done -= len(views[0])
            views.pop(0)
        if done:
            views[0] = views[0][done:]


# -- writing through a temporary file ---------------------------------------------------------


class AtomicFile:
    """A destination written through temporary files beside it, one of which is renamed
    into place at the end: until then the destination is untouched, and whatever goes
    wrong, no temporary file is left.

    A symbolic link stays, and its target is replaced. Use as a context manager.
    """

    def __init__(self, destination: str | os.PathLike[str]) -> None:
        self.destination = os.fspath(destination)
        self.final = os.path.realpath(self.destination)
        try:
            self.existing: os.stat_result | None = os.stat(self.final)
        except OSError:
            self.existing = None
        self._temporaries: list[str] = []
        self._termination: _TerminationAsException | None = None

    def new_temporary(self) -> str:
        """A new empty file in the destination's folder, with the permissions a new file
        there gets, or those of the file it will replace."""
        folder, name = os.path.split(self.final)
        while True:
            temporary = os.path.join(folder, f".{name}.{secrets.token_hex(4)}.tmp")
            try:
                descriptor = os.open(temporary, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o666)
            except FileExistsError:
                continue
            except OSError as error:
                # Named after the destination asked for, not after a name made up here.
                raise type(error)(error.errno, error.strerror, self.destination) from None
            self._temporaries.append(temporary)
            try:
                if self.existing is not None:
                    os.fchmod(descriptor, stat.S_IMODE(self.existing.st_mode))
            finally:
                os.close(descriptor)
            return temporary

    def discard(self, temporary: str) -> None:
        """Removes a temporary file no longer needed."""
        self._temporaries.remove(temporary)
        try:
            os.remove(temporary)
        except OSError:
            pass

    def commit(self, temporary: str) -> None:
        """Renames the finished temporary file into place."""
        os.replace(temporary, self.final)
        self._temporaries.remove(temporary)

    def __enter__(self) -> AtomicFile:
        self._termination = _TerminationAsException.install()
        return self

    def __exit__(self, *exc_info: object) -> None:
        try:
            for temporary in list(self._temporaries):
                self.discard(temporary)
        finally:
            if self._termination is not None:
                self._termination.uninstall(terminated=isinstance(exc_info[1], _Terminated))


class _Terminated(BaseException):
    """SIGTERM arrived while a file was being written: unwinds to the writer's cleanup,
    after which the process ends as SIGTERM would have ended it."""


class _TerminationAsException:
    """A SIGTERM handler for the time a file is written, so that the temporary files are
    removed (Ctrl-C unwinds as KeyboardInterrupt anyway). Installed only where the signal
    would end the process without a word (its default action) and a handler can be set
    (the main thread); a handler of the program's own is left alone."""

    @classmethod
    def install(cls) -> _TerminationAsException | None:
        if threading.current_thread() is not threading.main_thread():
            return None
        try:
            if signal.getsignal(signal.SIGTERM) is not signal.SIG_DFL:
                return None
            signal.signal(signal.SIGTERM, _raise_terminated)
        except (ValueError, OSError):  # no signals here (an embedded interpreter)
            return None
        return cls()

    def uninstall(self, terminated: bool) -> None:
        if signal.getsignal(signal.SIGTERM) is _raise_terminated:
            signal.signal(signal.SIGTERM, signal.SIG_DFL)
        if terminated:
            # Now that the temporary files are gone: ended by the signal, as its sender expects.
            os.kill(os.getpid(), signal.SIGTERM)


def _raise_terminated(signum: int, frame: object) -> None:
    raise _Terminated


def refuse_an_input(files: Iterable[str], destination: str | os.PathLike[str]) -> None:
    """ValueError when ``destination`` is one of the files (as they are before any is written)."""
    try:
        target = os.stat(destination)
    except OSError:
        return  # not there yet, so none of the inputs
    seen: dict[str, bool] = {}
    for path in files:
        _refuse_an_input_once(seen, path, target, os.fspath(destination))


def _refuse_an_input_once(seen: dict[str, bool], path: str, target: os.stat_result, destination: str) -> None:
    if path in seen:
        return
    seen[path] = True
    try:
        same = os.path.samestat(os.stat(path), target)
    except (OSError, ValueError):
        return  # a missing input is reported when it is read; a stream's name is no file
    if same:
        raise ValueError(f"{destination}: the output would replace the input {path}")

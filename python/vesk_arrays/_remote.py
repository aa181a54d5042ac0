"""URLs of fsspec file systems (``s3://``, ``memory://``, ``simplecache::s3://``): told apart
from paths, their globs expanded by their own file system, read in large ranges fetched ahead
on a thread, and written through a local temporary file uploaded once it is whole.

A local path or a ``file://`` URL never comes here: the core reads it with system calls.
"""

from __future__ import annotations

import io
import os
import re
import tempfile
import threading
from collections.abc import Callable, Iterator, Mapping
from concurrent.futures import Future, ThreadPoolExecutor
from contextlib import contextmanager
from typing import TYPE_CHECKING, Any

from ._optional import require

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer

# "s3://...", or a chain "simplecache::s3://...". A protocol of one letter would be a
# drive; a local name may hold "::", but not followed by a URL.
_URL = re.compile(r"[A-Za-z][A-Za-z0-9+.\-]+(://|::.*://)")
GLOB_MAGIC = re.compile(r"[*?[]")

# What one request fetches at least after a jump: little more than a header, for a pass
# over headers (and the reader's looks at where lengths point) fetches little more than
# them; the reader asks for a page where it goes on from there.
FIRST_RANGE = 512
# Reading on from where the last read ended doubles the range up to this, and then
# fetches the next one on a thread while the current one is decoded: a request per
# several MiB keeps a remote store's latency out of the reading.
BLOCK = 8 << 20
# Blocks fetched ahead double up to this while the reading goes on: fewer requests, each
# of which costs a server more than its bytes.
LARGEST_BLOCK = 32 << 20
# Requests under way at once while the reading goes on: a server's time to answer one
# overlaps another's transfer.
_AHEAD = 2

# Reads smaller than this away from where a read of every byte goes on are looks at a
# header, served by a small range; larger ones are the reading going on from there.
_LOOK = 1 << 16
# Blocks kept for reading again (at most LARGEST_BLOCK + BLOCK bytes in all).
_KEPT_BLOCKS = 8

StorageOptions = Mapping[str, Any]


def is_url(source: object) -> bool:
    """Whether ``source`` is a URL of a file system other than the local one."""
    return isinstance(source, str) and bool(_URL.match(source)) and not source.startswith("file://")


def local_path(path: str) -> str:
    """A ``file://`` URL's path; anything else as it is."""
    return path[len("file://") :] if path.startswith("file://") else path


def check_storage_options(options: object) -> dict[str, Any] | None:
    if options is None:
        return None
    if not isinstance(options, Mapping):
        raise TypeError(f"storage_options must be a dict, not {type(options).__name__!r}")
    return dict(options)


def _fsspec() -> Any:
    return require("fsspec", "remote", "Reading and writing URLs")


def url_error(error: BaseException, url: str) -> OSError:
    """The error of a file system as an OSError that names the URL: the file system's own
    messages name a bucket's key, or nothing."""
    if isinstance(error, OSError) and url in str(error):
        return error
    if isinstance(error, OSError) and error.errno is not None and error.strerror:
        named = type(error)(error.errno, error.strerror, url)
    else:
        kind = OSError if not isinstance(error, OSError) else type(error)
        reason = str(error) or type(error).__name__
        try:
            named = kind(f"{url}: {reason}")
        except Exception:
            named = OSError(f"{url}: {reason}")
    named.__cause__ = error
    return named


def file_system(url: str, storage_options: StorageOptions | None) -> tuple[Any, str]:
    """The URL's file system, made with ``storage_options``, and the path within it."""
    fsspec = _fsspec()
    try:
        fs, path = fsspec.core.url_to_fs(url, **(storage_options or {}))
    except (ImportError, ValueError, TypeError):
        raise  # an unknown protocol, a package it needs, or a bad option: the caller's
    except Exception as error:
        raise url_error(error, url) from None
    return fs, path


def expand_url(url: str, storage_options: StorageOptions | None) -> list[str]:
    """The URLs a pattern matches, found by its own file system, in sorted order; a URL
    that is no pattern, or a pattern that matches nothing (its reading then fails, naming
    it), as it is."""
    if not GLOB_MAGIC.search(url):
        return [url]
    fs, path = file_system(url, storage_options)
    try:
        matches = sorted(fs.glob(path))
    except Exception as error:
        raise url_error(error, url) from None
    # Each match spelt as the pattern is: the file system's paths may differ from the
    # URL's in front ("/run.wd1" of "memory://run.wd1").
    head, chained, last = url.rpartition("::")
    protocol, _, rest = last.partition("://")
    lead = path[: len(path) - len(rest)] if path.endswith(rest) else ""
    return [
        f"{head}{chained}{protocol}://{match[len(lead) :] if match.startswith(lead) else match}"
        for match in matches
    ] or [url]


def url_size(url: str, storage_options: StorageOptions | None) -> int:
    """The size of the object at the URL; an OSError naming the URL when there is none."""
    fs, path = file_system(url, storage_options)
    try:
        return int(fs.size(path))
    except Exception as error:
        raise url_error(error, url) from None


def open_url(url: str, storage_options: StorageOptions | None, whole: bool = True) -> RangedFile:
    """The object at the URL, as a ranged file; an OSError naming the URL when it cannot
    be had. ``whole``: every byte will be read (see RangedFile)."""
    fs, path = file_system(url, storage_options)
    if "::" not in url:
        try:
            size = int(fs.size(path))
        except Exception as error:
            raise url_error(error, url) from None

        def fetch(start: int, end: int) -> bytes:
            return bytes(fs.cat_file(path, start=start, end=end))

        return RangedFile(url, size, fetch, whole=whole)
    # A chain (a cache in front of a store) is opened as a whole and read as a file.
    try:
        file = fs.open(path, "rb")
        size = int(file.seek(0, io.SEEK_END))
    except Exception as error:
        raise url_error(error, url) from None
    lock = threading.Lock()

    def fetch_from_file(start: int, end: int) -> bytes:
        with lock:
            file.seek(start)
            return bytes(file.read(end - start))

    return RangedFile(url, size, fetch_from_file, file.close, whole=whole)


class RangedFile(io.RawIOBase):
    """A remote object read in ranges, at any offset (``readinto_at``, how the core reads
    it, as it reads a regular file) or as a stream (``readinto``).

    With ``whole`` (every byte will be read) blocks of :data:`LARGEST_BLOCK` bytes are
    fetched one after the other, the next on a thread while the
    current one is read, and a small look
    elsewhere fetches a small range. Without it (a pass over headers) a read fetches a small
    range, and ranges grow to blocks only where reads go on from each other. ``fetched``
    counts the bytes fetched, ``requests`` the requests.
    """

    def __init__(
        self,
        name: str,
        size: int,
        fetch: Callable[[int, int], bytes],
        on_close: Callable[[], None] | None = None,
        *,
        whole: bool = True,
    ) -> None:
        super().__init__()
        self.name = name
        self.size = size
        self._fetch_range = fetch
        self._on_close = on_close
        self._position = 0
        # The blocks fetched last, newest last: looks ahead at a few places in turn (a
        # header, the one its length points to) each find theirs again.
        self._blocks: list[tuple[int, memoryview]] = []
        # A read of every byte (payloads wanted) fetches whole blocks from the start;
        # a pass over headers grows its ranges only where it reads on.
        self._whole = whole
        self._window = LARGEST_BLOCK if whole else FIRST_RANGE
        self._frontier = 0  # where the bytes fetched for reading on end
        self._ahead_size = LARGEST_BLOCK if whole else BLOCK
        self._ahead: list[tuple[int, int, Future[bytes]]] = []  # start, end, bytes
        self._pool: ThreadPoolExecutor | None = None
        self._count_lock = threading.Lock()
        self.fetched = 0
        self.requests = 0

    def readable(self) -> bool:
        return True

    def seekable(self) -> bool:
        return True

    def tell(self) -> int:
        return self._position

    def seek(self, offset: int, whence: int = io.SEEK_SET) -> int:
        base = {io.SEEK_SET: 0, io.SEEK_CUR: self._position, io.SEEK_END: self.size}[whence]
        if base + offset < 0:
            raise ValueError(f"{self.name}: negative seek position {base + offset}")
        self._position = base + offset
        return self._position

    def readinto(self, buffer: WriteableBuffer, /) -> int:
        count = self.readinto_at(self._position, buffer)
        self._position += count
        return count

    def readinto_at(self, offset: int, buffer: WriteableBuffer) -> int:
        """Up to ``len(buffer)`` bytes from ``offset`` into ``buffer``: the count, 0 at the end."""
        if self.closed:
            raise ValueError(f"{self.name}: read of a closed file")
        view = memoryview(buffer).cast("B")
        wanted = min(len(view), self.size - offset)
        if wanted <= 0:
            return 0
        start, block = self._holding(offset, wanted)
        begin = offset - start
        count = min(wanted, len(block) - begin)
        view[:count] = block[begin : begin + count]
        return count

    def _holding(self, offset: int, wanted: int) -> tuple[int, memoryview]:
        """A block that holds ``offset``: where it starts, and its bytes."""
        for start, block in reversed(self._blocks):
            if start <= offset < start + len(block):
                return start, block
        if self._ahead and self._ahead[0][0] <= offset < self._ahead[0][1]:
            start, _, future = self._ahead.pop(0)
            self._keep(start, future.result())
            self._frontier = start + len(self._blocks[-1][1])
            self._fetch_ahead()
            return self._blocks[-1]
        if self._frontier <= offset < self._frontier + self._window:
            self._window = max(self._window, min(max(self._window, wanted) * 2, BLOCK))  # reading on
        elif wanted < _LOOK and self._whole:
            # A look away from where the reading goes on (a header a length points to).
            self._keep(offset, self._fetch(offset, min(offset + max(wanted, FIRST_RANGE), self.size)))
            return self._blocks[-1]
        else:
            self._window = LARGEST_BLOCK if self._whole else FIRST_RANGE  # reading goes on from here
        if self._ahead:
            self._drop_ahead()  # a jump: the blocks fetched ahead are not wanted
        length = min(max(wanted, self._window), max(self._window, BLOCK), self.size - offset)
        if self._window >= BLOCK and self.size - offset - length < BLOCK:
            length = self.size - offset  # the short rest with it (see _fetch_ahead)
        self._keep(offset, self._fetch(offset, offset + length))
        self._frontier = offset + length
        if self._window >= BLOCK:
            self._fetch_ahead()
        return self._blocks[-1]

    def _keep(self, start: int, data: bytes) -> None:
        self._blocks.append((start, memoryview(data)))
        held = sum(len(block) for _, block in self._blocks)
        while len(self._blocks) > 1 and (len(self._blocks) > _KEPT_BLOCKS or held > LARGEST_BLOCK + BLOCK):
            held -= len(self._blocks.pop(0)[1])

    def _fetch_ahead(self) -> None:
        """Requests for the blocks after the last one, _AHEAD of them under way."""
        while len(self._ahead) < _AHEAD:
            start = self._ahead[-1][1] if self._ahead else self._frontier
            if start >= self.size:
                return
            if self._pool is None:
                self._pool = ThreadPoolExecutor(_AHEAD, thread_name_prefix="vesk-fetch")
            end = start + self._ahead_size
            # A short rest goes with the last block: a request of its own costs a
            # server about as much as a block.
            end = self.size if self.size - end < BLOCK else end
            self._ahead_size = min(2 * self._ahead_size, LARGEST_BLOCK)
            self._ahead.append((start, end, self._pool.submit(self._fetch, start, end)))

    def _drop_ahead(self) -> None:
        for _, _, future in self._ahead:
            future.cancel()
        self._ahead.clear()
        self._ahead_size = LARGEST_BLOCK if self._whole else BLOCK

    def _fetch(self, start: int, end: int) -> bytes:
        try:
            data = self._fetch_range(start, end)
        except Exception as error:
            raise url_error(error, self.name) from None
        with self._count_lock:
            self.fetched += len(data)
            self.requests += 1
        if not data:
            raise OSError(f"{self.name}: the object ends before its size, at byte {start}")
        return data

    def close(self) -> None:
        if not self.closed:
            self._drop_ahead()
            if self._pool is not None:
                self._pool.shutdown(wait=False)
            self._blocks.clear()
            if self._on_close is not None:
                self._on_close()
        super().close()


@contextmanager
def uploaded(url: str, storage_options: StorageOptions | None) -> Iterator[str]:
    """A local path to write in place of the URL: uploaded to it once the body has written
    it whole, never when the body fails (a store then holds nothing new at the URL)."""
    fs, path = file_system(url, storage_options)
    with tempfile.TemporaryDirectory(prefix="vesk-") as folder:
        local = os.path.join(folder, os.path.basename(path.rstrip("/")) or "upload")
        yield local
        try:
            fs.put_file(local, path)
        except Exception as error:
            raise url_error(error, url) from None

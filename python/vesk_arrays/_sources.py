"""Where a reader's bytes come from: a path (read by the core with plain system calls), a
compressed file (recognised by its first bytes), a URL (read in ranges, see _remote), or any
Python binary file object."""

from __future__ import annotations

import io
import os
import stat
from types import ModuleType
from typing import IO, TYPE_CHECKING, BinaryIO, NamedTuple, Protocol, Union, cast

from ._optional import require
from ._options import check_path
from ._remote import StorageOptions, is_url, local_path, open_url

if TYPE_CHECKING:
    from _typeshed import WriteableBuffer
    from typing_extensions import TypeGuard


class ReadInto(Protocol):
    """A binary file object read as a stream: io.BytesIO, open(path, "rb"), gzip.open(path)."""

    def readinto(self, buffer: memoryview, /) -> int | None: ...


class Read1(Protocol):
    """A decompressing file object, as the standard library's compressed files are."""

    def read1(self, size: int, /) -> bytes: ...

    def close(self) -> None: ...


# What the readers take. Aliases, not annotations, so spelt for Python 3.9; sys.stdin.buffer
# is typed BinaryIO, which does not declare readinto.
StrPath = Union[str, "os.PathLike[str]"]
Source = Union[StrPath, ReadInto, BinaryIO]

# First bytes of each compressed format. A WD2 file starts with its event counter, which
# may read as any of them (559903 is gzip's), so a match is only a guess until the start of
# the file decompresses.
_MAGIC = (
    (b"\x1f\x8b\x08", "gzip"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"BZh", "bz2"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)
# Enough for every magic below.
_MAGIC_BYTES = 6
# A compressed file decompresses from its first byte on; a WD2 file taken for one is
# rejected by the decompressor within a few bytes. Damage further on is the file's.
_PROBE_BYTES = 1 << 10
# Compressed bytes given to zstandard at a time: its decompressor has no output limit,
# and zstd turns 4 bytes into up to 128 KiB.
_ZSTD_PIECE = 1 << 13


class CompressedFileError(OSError):
    """A compressed file that cannot be decompressed any further: cut short or corrupt."""


class CoreInput(NamedTuple):
    """What the core reads of a source, and what was opened here for it."""

    # A path, which the core opens itself, or a file object, which it reads as a stream.
    readable: str | ReadInto
    # Opened here (a decompressing file object), to close with the reader.
    owned: io.RawIOBase | None
    # A path's compression, "gzip", "xz", "bz2" or "zstd"; None when it is not compressed,
    # and for a file object.
    compression: str | None
    # A file object that holds all its bytes already (bytes in memory, a regular file
    # decompressed), in which lengths are checked as in a regular file.
    finite: bool
    # The path of a regular file, which can be read again; None for a stream.
    rereadable: str | None
    # The size of a ranged file (a URL's object, not compressed), which the core reads at
    # offsets as it reads a regular file; None for anything else.
    size: int | None = None


def path_input(path: str) -> CoreInput:
    """What the core reads of a path: the path itself, or for a compressed regular file its
    decompressed bytes. The compression is told here, where the file is opened, once:
    the file opened to look at its first bytes is the one decompressed.

    Only regular files are looked at: peeking at a FIFO would consume its bytes. A path
    that cannot be opened is left to the core, which reports it in the reader's wording.
    """
    try:
        regular = stat.S_ISREG(os.stat(path).st_mode)
    except OSError:
        regular = False
    if not regular:
        return CoreInput(path, None, None, False, None)
    plain = CoreInput(path, None, None, False, path)
    try:
        raw = _OwnOffsetFile(path)
    except OSError:
        return plain
    try:
        try:
            head = raw.read_at(0, _MAGIC_BYTES)  # what the look needs, not a buffer's worth
            if _magic_of(head) is not None:
                head += raw.read_at(len(head), _PROBE_BYTES - len(head))
        except OSError:
            head = b""  # the core reports it, with the reader's wording
        compression = _compression_of_head(head, path)
        if compression is None:
            raw.close()
            return plain
        library_file = _open_library_file(io.BufferedReader(raw), compression)
        decompressed = _Decompressed(path, compression, library_file, raw)
        return CoreInput(decompressed, decompressed, compression, True, path)
    except BaseException:
        raw.close()
        raise


def source_input(
    source: Source, storage_options: StorageOptions | None, whole: bool
) -> tuple[str, CoreInput]:
    """What messages call the source (a path, a URL, a file object), and what the core
    reads of it. ``whole``: the payloads are wanted, so a URL's every byte will be read."""
    if is_file_object(source):
        name = name_of(source)
        return name, file_object_input(source, name)
    name = check_path(source)
    if is_url(name):
        return name, url_input(name, storage_options, whole)
    return name, path_input(local_path(name))


def url_input(url: str, storage_options: StorageOptions | None, whole: bool) -> CoreInput:
    """What the core reads of a URL: its object read in ranges at offsets, or, compressed
    (told by its first bytes), its decompressed bytes as a stream. ``whole``: the payloads
    are wanted, so every byte will be read."""
    file = open_url(url, storage_options, whole)
    try:
        stream, owned = open_stream(file, url, file)
    except BaseException:
        file.close()
        raise
    if owned is None:
        return CoreInput(file, file, None, True, None, file.size)
    return CoreInput(stream, owned, getattr(owned, "compression", None), True, None)


def file_object_input(file: ReadInto, name: str) -> CoreInput:
    """What the core reads of a binary file object: the object itself, or its decompressed
    bytes (see open_stream). Its compression is not told (None): a stream that cannot be
    peeked at tells it only once read."""
    stream, owned = open_stream(file, name)
    # Bytes in memory hold all their bytes already, compressed or not.
    return CoreInput(stream, owned, None, type(file) is io.BytesIO, None)


def _magic_of(head: bytes) -> str | None:
    """The compressed format whose magic the bytes start with, if any."""
    for magic, name in _MAGIC:
        if head.startswith(magic) and (name != "bz2" or head[3:4].isdigit()):
            return name
    return None


def _may_become_magic(head: bytes) -> bool:
    """Whether more bytes could still make the first ones a compressed format's magic."""
    for magic, name in _MAGIC:
        needed = len(magic) + (name == "bz2")  # bzip2's magic ends in the block size's digit
        if len(head) < needed and magic[: len(head)] == head[: len(magic)]:
            return True
    return False


def _compression_of_head(head: bytes, name: str) -> str | None:
    """The compression of data starting with `head` (up to _PROBE_BYTES of it, all of it
    when shorter): the format of its magic, when the start decompresses."""
    compression = _magic_of(head)
    return compression if compression is not None and _decompresses(head, name, compression) else None


def _decompresses(head: bytes, name: str, compression: str) -> bool:
    """Whether the decompressor takes the data's first bytes. Data cut short within them
    counts: what they hold decompresses, and reading them then says that they are cut."""
    try:
        with _Decompressed(name, compression, _open_library_file(io.BytesIO(head), compression)) as stream:
            # A kilobyte may hold gigabytes of zeros: its first megabyte tells enough.
            chunk = bytearray(1 << 16)
            for _ in range(16):
                if not stream.readinto(chunk):
                    break
    except CompressedFileError as error:
        return isinstance(error.__cause__, EOFError)
    except OSError:
        return False
    return True


def _decompression_errors(compression: str) -> tuple[type[Exception], ...]:
    if compression == "gzip":
        import zlib

        return (OSError, EOFError, zlib.error)
    if compression == "xz":
        import lzma

        return (OSError, EOFError, lzma.LZMAError)
    if compression == "bz2":
        return (OSError, EOFError)
    try:
        from compression import zstd  # type: ignore[import-not-found, unused-ignore]

        return (OSError, EOFError, zstd.ZstdError)
    except ImportError:
        zstandard = require("zstandard", "zstd", "Reading zstd-compressed files")
        return (OSError, EOFError, zstandard.ZstdError)


class _Decompressed(io.RawIOBase):
    """A compressed file as a stream of its decompressed bytes, for the core's ``readinto``.

    The standard library's compressed files drop what a read had decompressed when the
    read then fails (a file cut short gives no event at all). Here each step of the
    decompressor is handed on at once, and its error comes at the next call, after
    every byte before it; a decompressor's error becomes a :class:`CompressedFileError`
    naming the file.
    """

    def __init__(self, path: str, compression: str, file: Read1, raw: io.RawIOBase | None = None) -> None:
        super().__init__()
        self.name = path
        self.compression = compression
        self._file = file
        self._raw = raw  # what `file` reads, closed with it: the library leaves a file given to it open
        self._errors = _decompression_errors(compression)
        self._rest = memoryview(b"")  # decompressed and not handed on yet
        self._error: OSError | None = None

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: WriteableBuffer, /) -> int:
        view = memoryview(buffer).cast("B")
        filled = 0
        try:
            while filled < len(view) and self._error is None:
                if not self._rest:
                    try:
                        self._rest = memoryview(self._file.read1(len(view) - filled))
                    except self._errors as error:
                        self._error = self._as_os_error(error)
                        break
                    if not self._rest:
                        break
                count = min(len(self._rest), len(view) - filled)
                view[filled : filled + count] = self._rest[:count]
                filled, self._rest = filled + count, self._rest[count:]
        except BaseException:
            # Ctrl-C: what this call had handed on comes again with the next one.
            self._rest = memoryview(bytes(view[:filled]) + self._rest)
            raise
        if not filled and self._error is not None:
            raise self._error
        return filled

    def _as_os_error(self, error: Exception) -> OSError:
        if isinstance(error, OSError) and error.errno is not None:
            return error  # the file itself could not be read
        if isinstance(error, EOFError):
            reason = "the file is cut short: it ends inside its compressed data"
        else:
            reason = f"its {self.compression} data are corrupt ({error})"
        mapped = CompressedFileError(f"{self.name}: {reason}")
        mapped.__cause__ = error
        return mapped

    def close(self) -> None:
        if not self.closed:
            try:
                self._file.close()
            finally:
                if self._raw is not None:
                    self._raw.close()
        super().close()


class _ZstandardFile:
    """zstandard's decompressor behind ``read1``: unlike zstandard's ``stream_reader`` it
    goes on across frames and tells a file cut short inside a frame (EOFError)."""

    def __init__(self, file: IO[bytes], zstandard: ModuleType) -> None:
        self._decompressor = zstandard.ZstdDecompressor()
        self._frame = self._decompressor.decompressobj()
        self._in_frame = False  # bytes of the current frame have been given
        self._file = file

    def read1(self, size: int, /) -> bytes:
        while True:
            rest = b""
            if self._frame.eof:
                rest = self._frame.unused_data
                self._frame = self._decompressor.decompressobj()
                self._in_frame = False
            piece = rest or self._file.read(_ZSTD_PIECE)
            if not piece:
                if self._in_frame:
                    raise EOFError("the compressed data end inside a frame")
                return b""
            self._in_frame = True
            data: bytes = self._frame.decompress(piece)
            if data:
                return data

    def close(self) -> None:
        self._file.close()


class _OwnOffsetFile(io.RawIOBase):
    """A regular file read at an offset of its own, never at its descriptor's: a process
    forked while a compressed file is being read shares the descriptor's offset with its
    parent, and each would move it under the other. Each process's decompressor holds its
    own copy of what it has decoded, and with it, reads on where it stands."""

    def __init__(self, path: str) -> None:
        super().__init__()
        self.name = path
        self._fd = os.open(path, os.O_RDONLY)  # not inherited by programs run later
        self._offset = 0

    def readable(self) -> bool:
        return True

    def read_at(self, offset: int, size: int) -> bytes:
        """Bytes at `offset`, leaving the file's own offset where it is."""
        return os.pread(self._fd, size, offset)

    def readinto(self, buffer: WriteableBuffer, /) -> int:
        view = memoryview(buffer).cast("B")
        if hasattr(os, "preadv"):
            count = os.preadv(self._fd, [view], self._offset)
        else:
            data = os.pread(self._fd, len(view), self._offset)
            count = len(data)
            view[:count] = data
        self._offset += count
        return count

    def close(self) -> None:
        if not self.closed:
            os.close(self._fd)
        super().close()


def _open_zstd(source: str | IO[bytes]) -> Read1:
    try:
        # Python 3.14 and later; type checkers for older versions do not know the module.
        from compression import zstd  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        zstandard = require("zstandard", "zstd", "Reading zstd-compressed files")
        return _ZstandardFile(open(source, "rb") if isinstance(source, str) else source, zstandard)
    file: Read1 = zstd.open(source, "rb")
    return file


def _open_library_file(source: str | IO[bytes], compression: str) -> Read1:
    """The standard library's (or zstandard's) file object over a path or a binary file."""
    if compression == "gzip":
        import gzip

        return gzip.open(source, "rb")
    if compression == "xz":
        import lzma

        return lzma.open(source, "rb")
    if compression == "bz2":
        import bz2

        return bz2.open(source, "rb")
    return _open_zstd(source)


def open_stream(
    file: ReadInto, name: str, raw: io.RawIOBase | None = None
) -> tuple[ReadInto, io.RawIOBase | None]:
    """What the core reads of a file object, and the object opened for it here (to close
    with the reader; None when the core reads `file` itself). `raw`, when given, is `file`
    opened by the caller, closed with the decompressing object made here.

    Compressed data are recognised by their first bytes, as a path's are, and
    decompressed. The bytes are peeked at where the object can (a buffered or seekable
    file); else they are read and kept, and handed on after the look.
    """
    head = _peeked(file)
    if head is None:
        sniffed = _Sniffed(file, name)
        return sniffed, sniffed
    compression = _compression_of_head(head, name)
    if compression is None:
        return file, None
    opened = _Decompressed(
        name, compression, _open_library_file(cast("IO[bytes]", _Prefixed(b"", file)), compression), raw
    )
    return opened, opened


def _peeked(file: ReadInto) -> bytes | None:
    """The first bytes of the file object, or None when it cannot show enough of them
    without consuming them."""
    peek = getattr(file, "peek", None)
    if callable(peek):
        try:
            head = peek(_PROBE_BYTES)
        except Exception:
            head = None
        # A peek does one read at most: it may give fewer bytes than a magic needs.
        if isinstance(head, bytes) and head and not _may_become_magic(head):
            return head[:_PROBE_BYTES]
    try:
        if not file.seekable():  # type: ignore[attr-defined]
            return None
        position = file.tell()  # type: ignore[attr-defined]
        head = file.read(_PROBE_BYTES)  # type: ignore[attr-defined]
        file.seek(position)  # type: ignore[attr-defined]
    except Exception:
        return None
    return head if isinstance(head, bytes) else None


class _Prefixed(io.RawIOBase):
    """Bytes already read from a file object, then the rest of it; closing leaves the
    file object, which is the caller's, open."""

    def __init__(self, head: bytes, file: ReadInto) -> None:
        super().__init__()
        self._head = memoryview(head)
        self._file = file

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: WriteableBuffer, /) -> int | None:
        if not self._head:
            return self._file.readinto(memoryview(buffer).cast("B"))
        view = memoryview(buffer).cast("B")
        count = min(len(view), len(self._head))
        view[:count] = self._head[:count]
        self._head = self._head[count:]
        return count


class _Sniffed(io.RawIOBase):
    """A file object that cannot be peeked at, read through this: its first bytes are
    read and kept until they tell whether the data are compressed, then handed on,
    decompressed if they are. A non-blocking object with no bytes yet is answered as
    it answers (None), and asked again on the next read."""

    def __init__(self, file: ReadInto, name: str) -> None:
        super().__init__()
        self.name = name
        self._file = file
        self._head = bytearray()
        self._through: io.RawIOBase | None = None

    def readable(self) -> bool:
        return True

    def readinto(self, buffer: WriteableBuffer, /) -> int | None:
        if self._through is None and not self._look():
            return None
        assert self._through is not None
        return self._through.readinto(buffer)

    def _look(self) -> bool:
        """Reads first bytes until they tell; False when the file has none ready yet."""
        while len(self._head) < _PROBE_BYTES:
            if not (_may_become_magic(bytes(self._head)) or _magic_of(bytes(self._head))):
                break
            chunk = bytearray(_PROBE_BYTES - len(self._head))
            got = self._file.readinto(memoryview(chunk))
            if got is None:
                return False
            if not got:
                break  # the end: what is there is all there is
            self._head += chunk[:got]
        head = bytes(self._head)
        rest = _Prefixed(head, self._file)
        compression = _compression_of_head(head, self.name)
        self._through = (
            rest
            if compression is None
            else _Decompressed(
                self.name, compression, _open_library_file(cast("IO[bytes]", rest), compression)
            )
        )
        return True

    def close(self) -> None:
        if not self.closed and self._through is not None:
            self._through.close()
        super().close()


def is_file_object(source: object) -> TypeGuard[ReadInto]:
    return hasattr(source, "readinto") and not isinstance(source, (str, bytes, os.PathLike))


def name_of(file: object) -> str:
    """What messages call a file object: its name, else its repr."""
    name = getattr(file, "name", None)
    return os.fsdecode(name) if isinstance(name, (str, bytes)) else repr(file)

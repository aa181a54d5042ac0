"""Where a reader's bytes come from: a path (read by the core with plain system calls), a
compressed file (recognised by its first bytes), or any Python binary file object."""

from __future__ import annotations

import io
import os
import stat
from types import ModuleType
from typing import IO, TYPE_CHECKING, BinaryIO, Protocol, Union

from ._optional import require

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
# A compressed file decompresses from its first byte on; a WD2 file taken for one is
# rejected by the decompressor within a few bytes. Damage further on is the file's.
_PROBE_BYTES = 1 << 10
# Compressed bytes given to zstandard at a time: its decompressor has no output limit,
# and zstd turns 4 bytes into up to 128 KiB.
_ZSTD_PIECE = 1 << 13


class CompressedFileError(OSError):
    """A compressed file that cannot be decompressed any further: cut short or corrupt."""


def compression_of(path: str) -> str | None:
    """The compression of a regular file ("gzip", "xz", "bz2", "zstd"), or None.

    Only regular files are looked at: peeking at a FIFO would consume its bytes.
    """
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        with open(path, "rb", buffering=0) as f:  # the magic alone, not a buffer's worth
            head = f.read(6)
    except OSError:
        return None  # the core reports it, with the reader's wording
    for magic, name in _MAGIC:
        if head.startswith(magic) and (name != "bz2" or head[3:4].isdigit()):
            return name if _decompresses(path, name) else None
    return None


def _decompresses(path: str, compression: str) -> bool:
    """Whether the decompressor takes the file's first bytes. A file cut short within them
    counts: what it holds decompresses, and reading it then says that it is cut."""
    try:
        with open(path, "rb") as f:
            head = f.read(_PROBE_BYTES)
        with _Decompressed(path, compression, _open_library_file(io.BytesIO(head), compression)) as stream:
            # A kilobyte may hold gigabytes of zeros: its first megabyte tells enough.
            chunk = bytearray(1 << 16)
            for _ in range(16):
                if not stream.readinto(chunk):
                    break
    except CompressedFileError as error:
        return isinstance(error.__cause__, EOFError)
    except OSError:
        return False  # unreadable: left to the core, which reports it in its words
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

    def __init__(self, path: str, compression: str, file: Read1) -> None:
        super().__init__()
        self.name = path
        self._compression = compression
        self._file = file
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
            reason = f"its {self._compression} data are corrupt ({error})"
        mapped = CompressedFileError(f"{self.name}: {reason}")
        mapped.__cause__ = error
        return mapped

    def close(self) -> None:
        if not self.closed:
            self._file.close()
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


def open_decompressed(path: str, compression: str) -> io.RawIOBase:
    """A binary file object (with ``readinto``) of the file's decompressed bytes."""
    return _Decompressed(path, compression, _open_library_file(path, compression))


def is_file_object(source: object) -> TypeGuard[ReadInto]:
    return hasattr(source, "readinto") and not isinstance(source, (str, bytes, os.PathLike))


def name_of(file: object) -> str:
    """What messages call a file object: its name, else its repr."""
    name = getattr(file, "name", None)
    return os.fsdecode(name) if isinstance(name, (str, bytes)) else repr(file)

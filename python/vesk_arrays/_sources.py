"""Where a reader's bytes come from: a path (read by the core with plain system calls), a
compressed file (recognised by its first bytes), or any Python binary file object."""

from __future__ import annotations

import os
import stat

from ._optional import require

# First bytes of each compressed format. A WD1 or WD2 file could start with the same
# bytes only with an implausible first header; such a file can still be read by
# passing `open(path, "rb")`.
_MAGIC = (
    (b"\x1f\x8b\x08", "gzip"),
    (b"\xfd7zXZ\x00", "xz"),
    (b"BZh", "bz2"),
    (b"\x28\xb5\x2f\xfd", "zstd"),
)


def compression_of(path):
    """The compression of a regular file ("gzip", "xz", "bz2", "zstd"), or None.

    Only regular files are looked at: peeking at a FIFO would consume its bytes.
    """
    try:
        if not stat.S_ISREG(os.stat(path).st_mode):
            return None
        with open(path, "rb") as f:
            head = f.read(6)
    except OSError:
        return None  # the core reports it, with the reader's wording
    for magic, name in _MAGIC:
        if head.startswith(magic) and (name != "bz2" or head[3:4].isdigit()):
            return name
    return None


def _open_zstd(path):
    try:
        # Python 3.14 and later; type checkers for older versions do not know the module.
        from compression import zstd  # type: ignore[import-not-found, unused-ignore]
    except ImportError:
        zstandard = require("zstandard", "zstd", "Reading zstd-compressed files")
        raw = open(path, "rb")
        try:
            return zstandard.ZstdDecompressor().stream_reader(raw, closefd=True)
        except BaseException:
            raw.close()
            raise
    return zstd.open(path, "rb")


def open_decompressed(path, compression):
    if compression == "gzip":
        import gzip

        return gzip.open(path, "rb")
    if compression == "xz":
        import lzma

        return lzma.open(path, "rb")
    if compression == "bz2":
        import bz2

        return bz2.open(path, "rb")
    return _open_zstd(path)


def is_file_object(source):
    return hasattr(source, "readinto") and not isinstance(source, (str, bytes, os.PathLike))


def name_of(file):
    """What messages call a file object: its name, else its repr."""
    name = getattr(file, "name", None)
    return os.fsdecode(name) if isinstance(name, (str, bytes)) else repr(file)

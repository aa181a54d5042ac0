"""Standard input, when it is a pipe, passed on to the conversions."""

from __future__ import annotations

import io
import os
import stat
import threading

from .._sources import open_stream
from ._common import (
    STDIN_NAME,
    Failure,
)


class StdinThroughPipe:
    """Standard input, when it is a pipe, passed on to the conversions (which open it as
    /dev/stdin) through a pipe of this process's own, decompressed when its data are
    compressed: a pipe's first bytes cannot be looked at without taking them, so a thread
    takes them, tells the compression, and writes on what the readers are to see.

    A regular file given as standard input is left as it is: the readers look at it.
    Use as a context manager; an error met reading or decompressing standard input is
    raised at the end, as the cause of whatever the conversion made of the bytes before it.
    """

    def __init__(self) -> None:
        self._thread: threading.Thread | None = None
        self._error: BaseException | None = None

    def __enter__(self) -> StdinThroughPipe:
        try:
            if stat.S_ISREG(os.fstat(0).st_mode):
                return self
        except OSError:
            return self  # no standard input: opening /dev/stdin fails in the readers' words
        source = open(os.dup(0), "rb")
        read_end, write_end = os.pipe()
        os.dup2(read_end, 0)
        os.close(read_end)
        self._thread = threading.Thread(target=self._feed, args=(source, write_end), daemon=True)
        self._thread.start()
        return self

    def _feed(self, source: io.BufferedReader, write_end: int) -> None:
        out = open(write_end, "wb", buffering=0)
        try:
            with source:
                stream, owned = open_stream(source, STDIN_NAME)
                try:
                    chunk = bytearray(1 << 20)
                    while count := stream.readinto(memoryview(chunk)):
                        out.write(memoryview(chunk)[:count])
                finally:
                    if owned is not None:
                        owned.close()
        except BrokenPipeError:
            pass  # the conversion stopped reading
        except BaseException as error:  # told by the main thread
            self._error = error  # before the readers see the end of the pipe
        finally:
            try:
                out.close()
            except OSError:
                pass

    def check(self) -> None:
        """Raises the error met reading standard input, if any (before the output is kept)."""
        if self._error is not None:
            message = str(self._error)
            if not message.startswith(f"{STDIN_NAME}: "):
                message = f"{STDIN_NAME}: {message}"
            raise Failure(message) from self._error

    def __exit__(self, kind: object, error: object, traceback: object) -> None:
        if self._thread is None:
            return
        if error is None:
            self._thread.join()
        if self._error is not None:
            message = str(self._error)
            if not message.startswith(f"{STDIN_NAME}: "):
                message = f"{STDIN_NAME}: {message}"
            raise Failure(message) from self._error

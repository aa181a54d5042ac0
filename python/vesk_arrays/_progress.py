"""Progress bars on stderr over the events a read goes through: tqdm, an optional package
(in vesk[cli]), asked for with ``progress=True``."""

from __future__ import annotations

import sys
from collections.abc import Callable, Generator, Iterator, Sequence
from typing import Any, Protocol, TypeVar, cast

from ._optional import require
from ._options import ReadOptions

_T = TypeVar("_T")


class Bar(Protocol):
    def update(self, n: int) -> object: ...

    def close(self) -> None: ...


def tqdm_module(feature: str) -> Any:
    """tqdm, or the ImportError naming the extra that brings it (raised where progress is
    asked for, before anything is read)."""
    return require("tqdm", "cli", feature)


def progress_bar(tqdm: Any, files: Sequence[object] | None, options: ReadOptions, desc: str) -> Bar:
    """A bar whose total is the events the read of ``files`` will give: counted beforehand,
    without reading samples, within ``start`` and ``stop``; none for a followed file, which
    grows, nor where a file is a file object (or files None), which can be read only once."""
    total: int | None = None
    if files is not None and not options.follow and all(isinstance(file, str) for file in files):
        total = sum(_events_within(cast(str, path), options) for path in files)
    bar: Bar = tqdm.tqdm(total=total, unit=" events", file=sys.stderr, desc=desc)
    return bar


def _events_within(path: str, options: ReadOptions) -> int:
    from ._iterate import num_events

    try:
        count = num_events(
            [path], options.format, layout=options.layout, storage_options=options.storage_options
        )
    except (OSError, ValueError):
        return 0  # the read itself meets the problem, and raises or reports it
    last = count if options.stop is None else min(count, options.stop)
    return max(last - options.start, 0)


def counted(items: Iterator[_T], size: Callable[[_T], int], start_bar: Callable[[], Bar]) -> Generator[_T]:
    """``items``, with the bar that ``start_bar()`` makes at the first one moved on by
    ``size(item)`` events after each, and closed at the end (or when left early)."""
    bar: Bar = start_bar()
    try:
        for item in items:
            bar.update(size(item))
            yield item
    finally:
        bar.close()

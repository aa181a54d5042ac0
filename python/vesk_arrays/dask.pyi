"""Many event files as one Dask DataFrame."""

from typing import Literal

# Dask is optional: without it (or its types) the frame is Any.
import dask.dataframe as dd  # type: ignore[import-not-found, unused-ignore]

from . import _Paths

__all__ = ["read", "plan_partitions"]

# A partition: pieces (path, start, stop), events start to stop - 1 of the file
# (stop None: to its end).
def plan_partitions(
    paths: _Paths,
    reader_type: str,
    step_size: int | str = "64 MiB",
    *,
    layout: Literal["multi-channel", "single-channel"] | None = None,
) -> list[tuple[tuple[str, int, int | None], ...]]: ...
def read(
    paths: _Paths,
    reader_type: str,
    *,
    step_size: int | str = "64 MiB",
    errors: Literal["raise", "skip"] = "raise",
    source: bool = False,
    layout: Literal["multi-channel", "single-channel"] | None = None,
) -> dd.DataFrame: ...

"""The type aliases that the package's signatures name (the API reference documents each),
where the types they stand for would be long unions."""

from __future__ import annotations

import os
from collections.abc import Sequence
from typing import IO, Any, Literal, Union

import numpy as np
from numpy.typing import ArrayLike, NDArray

# Aliases, not annotations, so spelt for Python 3.9.

# The samples of a batch whose format is known only at run time.
Samples = Union[NDArray[np.uint16], NDArray[np.float32]]
# Events chosen from a batch: a slice, a boolean mask or event positions.
Selection = Union[slice, NDArray[Any], Sequence[int], Sequence[bool]]
Reduction = Literal["min", "max", "sum", "mean", "argmin", "argmax"]
# Where each event's samples start in flat samples, one entry past the last.
Offsets = Union[ArrayLike, None]
ListType = Literal["large_list", "fixed_size_list"]
# What Batch.waveforms pads shorter events with: a number the samples' dtype holds.
Pad = Union[int, float, np.integer[Any], np.floating[Any], None]
# Where a file is written: a path, or a writable binary file object.
Destination = Union[str, "os.PathLike[str]", IO[bytes]]

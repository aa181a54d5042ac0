"""What the commands of ``vesk`` share: the files and their formats, messages, JSON."""

from __future__ import annotations

import argparse
import json
import math
import sys
from collections.abc import Sequence
from typing import Any, BinaryIO, Union

from .._damage import loss_text
from .._iterate import with_path
from .._options import EXTENSIONS, Layout, extension_of

PROG = "vesk"
COMPRESSIONS = ("zstd", "snappy", "gzip", "lz4", "brotli", "none")
LAYOUTS = ("multi-channel", "single-channel")
TARGETS = ("parquet", "wd1", "wd2")
SHOWN = 10  # damaged events or skipped ranges listed one by one; the rest are counted
STDIN = "-"
STDIN_NAME = "<stdin>"  # what the readers call sys.stdin.buffer in their messages
# The conversions take paths only; the system's name of the standard input is one.
STDIN_PATH = "/dev/stdin"

Source = Union[str, BinaryIO]
Json = dict[str, Any]


class Failure(Exception):
    """Something about the files (not the command line) that makes the command fail."""


# -- files and formats --------------------------------------------------------------------------


def source_of(name: str) -> Source:
    """What the readers open for a FILE argument."""
    return sys.stdin.buffer if name == STDIN else name


def shown_name(name: str) -> str:
    return STDIN_NAME if name == STDIN else name


def file_formats(options: argparse.Namespace, names: Sequence[str]) -> list[str]:
    """Each file's format: --format, else its extension; a usage error when neither tells."""
    if list(names).count(STDIN) > 1:
        options.parser.error("standard input (-) can be read once only")
    if options.format:
        return [options.format] * len(names)
    formats = []
    for name in names:
        reader_type = EXTENSIONS.get(extension_of(name), "")
        if not reader_type:
            what = "standard input (-)" if name == STDIN else name
            hint = "" if name == STDIN else " from its name (.wd1 or .wd2 expected)"
            options.parser.error(f"cannot tell the format of {what}{hint}: give --format WD1 or --format WD2")
        formats.append(reader_type)
    return formats


def one_format(options: argparse.Namespace, names: Sequence[str]) -> str:
    formats = set(file_formats(options, names))
    if len(formats) > 1:
        options.parser.error(
            "the files are of different formats (by their names): give only files of one format, or --format"
        )
    return formats.pop()


def layout_for(options: argparse.Namespace, formats: Sequence[str]) -> Layout:
    """The --layout to pass to the readers; a usage error for a WD1 file."""
    if options.layout is not None and "WD1" in formats:
        options.parser.error("--layout is for WD2 files, whose headers have two layouts; WD1 has one")
    layout: Layout = options.layout
    return layout


def describe(error: BaseException) -> str:
    """The error as "path: reason" where it names its file."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def failure_of(error: Exception, name: str) -> str:
    """The message for an error met opening or reading the file `name`."""
    return describe(with_path(error, shown_name(name)) if isinstance(error, OSError) else error)


def plural(count: int, noun: str) -> str:
    return f"{count} {noun}{'s' * (count != 1)}"


def merged(ranges: Sequence[tuple[int, int]]) -> list[tuple[int, int]]:
    """Byte ranges (start, stop), sorted, with touching ones joined."""
    joined: list[list[int]] = []
    for start, stop in sorted(ranges):
        if joined and start <= joined[-1][1]:
            joined[-1][1] = max(joined[-1][1], stop)
        else:
            joined.append([start, stop])
    return [(start, stop) for start, stop in joined]


def describe_ranges(
    ranges: Sequence[tuple[int, int]], total: int | None = None, estimated: int | None = None
) -> str:
    """The ranges as "3 ranges, 120 bytes, about 3 events: [10, 50), [100, 140), [200, 240)"
    (half-open, as in the JSON), the first few of them. `total` counts the bytes of all of
    them where only the first are listed; `estimated` is about how many events they held."""
    ranges = merged(ranges)
    if total is None:
        total = sum(stop - start for start, stop in ranges)
    shown = ", ".join(f"[{start}, {stop})" for start, stop in ranges[:SHOWN])
    more = f", and {len(ranges) - SHOWN} more" if len(ranges) > SHOWN else ""
    return f"{plural(len(ranges), 'range')}, {loss_text(total, estimated)}: {shown}{more}"


def damage_problems(path: str, damaged: Sequence[Exception], count: int) -> list[str]:
    """stderr lines for damaged events: the first few, then how many more."""
    lines = [str(error) for error in damaged[:SHOWN]]
    if count > len(lines):
        lines.append(f"{path}: {plural(count - len(lines), 'more damaged event')}")
    return lines


def jsonable(value: Any) -> Any:
    """The document with NaN and infinities, which JSON lacks, as null."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, dict):
        return {key: jsonable(item) for key, item in value.items()}
    if isinstance(value, list):
        return [jsonable(item) for item in value]
    return value


def print_json(document: object) -> None:
    json.dump(jsonable(document), sys.stdout, indent=2, allow_nan=False)
    print()


def report_problems(command: str, problems: Sequence[str]) -> int:
    sys.stdout.flush()
    for problem in problems:
        print(f"{PROG} {command}: {problem}", file=sys.stderr)
    return 1 if problems else 0

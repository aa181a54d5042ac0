"""The ``vesk`` command: look into WD1 and WD2 event files, convert them, plot an event.

    vesk info FILE... [--json]              what each file holds
    vesk head FILE... [-n N] [--json]       the first events' headers and sample statistics
    vesk convert FILE... -o OUT             the events into one Parquet, WD1 or WD2 file
    vesk plot FILE [--event N] -o OUT.png   the waveform(s) of one event
    vesk --version

FILE ``-`` is standard input. Exit status: 0 on success, 1 when a file is missing,
unreadable or holds damaged events (the reason goes to stderr), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import io
import json
import math
import os
import stat
import sys
import threading
import warnings
from collections.abc import Callable, Iterator, Sequence
from typing import IO, Any, BinaryIO, TypedDict, Union

import numpy as np
from numpy.typing import NDArray

from vesk import __version__

from ._batch import Batch
from ._damage import DamagedEventWarning, loss_text
from ._iterate import Report, expand_paths, iterate, num_events, with_path
from ._options import DEFAULT_STEP, Layout, parse_step_size
from ._reader import BatchReader
from ._schema import FORMATS, HEADER_FIELDS
from ._sources import open_stream

PROG = "vesk"
EXTENSIONS = {".wd1": "WD1", ".wd2": "WD2"}
COMPRESSED = (".gz", ".xz", ".bz2", ".zst")  # run.wd1.gz is a WD1 file
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


class Selection(TypedDict, total=False):
    """The events of each file to convert, when --start or --stop is given."""

    start: int
    stop: int


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


def extension_of(path: str) -> str:
    root, extension = os.path.splitext(path)
    if extension.lower() in COMPRESSED:
        extension = os.path.splitext(root)[1]
    return extension.lower()


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


# -- info ---------------------------------------------------------------------------------------


class FileSummary:
    """Figures gathered from a file's batches, a batch at a time, as `vesk info --json` gives them:
    ``{"min": .., "max": ..}`` of the samples per event (WD1) or per channel and the channels
    (WD2), ``{"first": .., "last": ..}`` of the counters and timestamps; None before any event."""

    def __init__(self, reader_type: str) -> None:
        self.events = 0
        ranges = ["samples", "channels"] if reader_type == "WD2" else ["samples"]
        self.ranges: dict[str, Json | None] = dict.fromkeys(ranges)
        self.ends: dict[str, Json | None] = dict.fromkeys(["event_counter", "timestamp"])

    def add(self, batch: Batch[Any]) -> None:
        if not len(batch):
            return
        for name, known in self.ranges.items():
            values = np.diff(batch.offsets) if batch.format == "WD1" else batch[name]
            low, high = int(values.min()), int(values.max())
            if known is not None:
                low, high = min(known["min"], low), max(known["max"], high)
            self.ranges[name] = {"min": low, "max": high}
        for name, known in self.ends.items():
            first = int(batch[name][0]) if known is None else known["first"]
            self.ends[name] = {"first": first, "last": int(batch[name][-1])}
        self.events += len(batch)


def info_file(name: str, reader_type: str, layout: Layout) -> tuple[Json, list[str]]:
    """What the file holds, as the JSON document's entry; and the problems met (for stderr)."""
    shown = shown_name(name)
    try:
        reader = BatchReader(source_of(name), reader_type, errors="skip", layout=layout)
    except (OSError, ValueError) as error:
        # ValueError: a WD2 file whose first header gives a length past any file.
        problem = failure_of(error, name)
        return {"path": shown, "format": reader_type, "error": problem}, [problem]
    problems = []
    summary = FileSummary(reader_type)
    with reader:
        try:
            for batch in reader.batches():
                summary.add(batch)
        except OSError as error:
            problems.append(failure_of(error, name))
        damaged, damaged_count = list(reader.damaged), reader.damaged_count
        read_bytes, trailing = reader.position, reader.trailing_bytes
        has_field, channel_count, events_read = (
            reader.has_channel_field,
            reader.channel_count,
            reader.events_read,
        )
        skipped, skipped_bytes = merged(reader.skipped), reader.skipped_bytes
        estimated = reader._estimated_events(skipped_bytes)
        told_compression = reader._compression  # as told where the file was opened

    size, compression = None, None
    if name != STDIN:
        try:
            status = os.stat(name)
        except OSError:
            status = None
        if status is not None and stat.S_ISREG(status.st_mode):
            size, compression = status.st_size, told_compression
    entry: Json = {"path": shown, "format": reader_type}
    if reader_type == "WD2":
        entry["layout"] = {True: "multi-channel", False: "single-channel", None: None}[has_field]
        entry["channel_count"] = channel_count
    entry.update(events=summary.events, **summary.ranges, **summary.ends)
    entry.update(
        size=size,
        compression=compression,
        bytes_read=read_bytes + trailing,
        # Unknown when reading stopped before the end.
        trailing_bytes=None if problems else trailing,
        skipped=[list(pair) for pair in skipped],
        skipped_bytes=skipped_bytes,
        estimated_events=estimated,
        damaged_count=damaged_count,
        damaged=[
            {
                "index": e.index,
                "offset": e.offset,
                "skipped": list(e.skipped) if e.skipped else None,
                "estimated_events": e.estimated_events,
                "reason": e.reason,
            }
            for e in damaged
        ],
        error=problems[0] if problems else None,
        stopped_after=events_read if problems else None,
    )
    problems += damage_problems(shown, damaged, damaged_count)
    if skipped and not damaged_count:
        problems.append(f"{shown}: bytes skipped: {describe_ranges(skipped, skipped_bytes, estimated)}")
    return entry, problems


def info_rows(entry: Json) -> list[tuple[str, str]]:
    """The lines `vesk info` prints for a file, from its JSON entry."""
    fmt = entry["format"]
    if "events" not in entry:
        return [("format", fmt), ("error", "cannot be opened")]
    if entry.get("layout") == "multi-channel":
        fmt += f", multi-channel headers (28 bytes), {plural(entry['channel_count'], 'channel')}"
    elif entry.get("layout") == "single-channel":
        fmt += ", single-channel headers (24 bytes)"
    rows = [("format", fmt), ("events", str(entry["events"]))]

    def span(bounds: Json) -> str:
        low, high = bounds["min"], bounds["max"]
        return str(low) if low == high else f"{low} to {high}"

    if entry["events"]:
        per = "per event" if entry["format"] == "WD1" else "per channel"
        rows.append(("samples", f"{span(entry['samples'])} {per}"))
        if entry["format"] == "WD2":
            rows.append(("channels", span(entry["channels"])))
        for key, label in (("event_counter", "counter"), ("timestamp", "timestamp")):
            rows.append((label, f"{entry[key]['first']} (first) to {entry[key]['last']} (last)"))
    rows.append(("size", size_text(entry)))
    skipped = entry["skipped"]
    rows.append(
        (
            "skipped",
            describe_ranges(skipped, entry["skipped_bytes"], entry["estimated_events"])
            if skipped
            else "none",
        )
    )
    count = entry["damaged_count"]
    if count:
        indices = ", ".join(str(damage["index"]) for damage in entry["damaged"][:SHOWN])
        more = ", ..." if count > SHOWN else ""
        rows.append(("damaged", f"{plural(count, 'event')} (index {indices}{more}), skipped"))
    else:
        rows.append(("damaged", "none"))
    if entry["error"]:
        rows.append(("error", f"reading stopped after event {entry['stopped_after']}"))
    return rows


def size_text(entry: Json) -> str:
    """The file's size; a compressed file's on disk and decompressed. Then its trailing
    bytes, unless reading stopped before the end."""
    size, decompressed = entry["size"], entry["bytes_read"]
    if size is None:
        text = f"{decompressed} bytes read"  # a stream: its size is what came through
    elif entry["compression"] is None:
        text = f"{size} bytes"
    else:
        text = f"{size} bytes {entry['compression']}-compressed, {decompressed} bytes decompressed"
    trailing = entry["trailing_bytes"]
    if trailing is None:
        return text
    if trailing:
        return f"{text}, {plural(trailing, 'trailing byte')} of a truncated last event"
    return f"{text}, no trailing bytes"


def run_info(options: argparse.Namespace) -> int:
    problems: list[str] = []
    formats = file_formats(options, options.files)
    layout = layout_for(options, formats)
    entries = []
    for number, (name, reader_type) in enumerate(zip(options.files, formats)):
        entry, found = info_file(name, reader_type, layout)
        problems += found
        if options.json:
            entries.append(entry)
            continue
        if number:
            print()
        print(entry["path"])
        for label, value in info_rows(entry):
            print(f"  {label:<10} {value}")
    if options.json:
        print_json(entries)
    return report_problems("info", problems)


# -- head ---------------------------------------------------------------------------------------


def print_table(header: Sequence[str], rows: Sequence[Sequence[str]], out: IO[str]) -> None:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)), file=out)


def head_file(name: str, reader_type: str, layout: Layout, limit: int) -> tuple[Json, list[str]]:
    """The first events' headers and sample statistics, as the JSON document's entry; and the
    problems met."""
    shown = shown_name(name)
    entry: Json = {"path": shown, "format": reader_type, "events": [], "damaged_count": 0, "error": None}
    try:
        with BatchReader(source_of(name), reader_type, errors="skip", layout=layout) as reader:
            batch = reader.read(min(limit, sys.maxsize))  # no file holds more events
            damaged, damaged_count = list(reader.damaged), reader.damaged_count
    except (OSError, ValueError) as error:
        entry["error"] = failure_of(error, name)
        return entry, [entry["error"]]
    for index in range(len(batch)):
        event: Json = dict(batch.event(index))
        data = event.pop("data")
        empty = not data.size
        event["length"] = int(data.size)
        event["min"] = None if empty else data.min().item()
        event["max"] = None if empty else data.max().item()
        event["mean"] = None if empty else data.mean(dtype=np.float64).item()
        entry["events"].append(event)
    entry["damaged_count"] = damaged_count
    return entry, damage_problems(shown, damaged, damaged_count)


def head_table(entry: Json, out: IO[str]) -> None:
    names = [name for name, _ in HEADER_FIELDS[entry["format"]]]
    rows = []
    for event in entry["events"]:
        stats = ["-"] * 3 if not event["length"] else [f"{event[key]:.6g}" for key in ("min", "max", "mean")]
        rows.append([str(event[name]) for name in names] + [str(event["length"])] + stats)
    print_table(names + ["length", "min", "max", "mean"], rows, out)


def run_head(options: argparse.Namespace) -> int:
    reader_type = one_format(options, options.files)
    layout = layout_for(options, [reader_type])
    problems: list[str] = []
    entries = []
    for number, name in enumerate(options.files):
        entry, found = head_file(name, reader_type, layout, options.n)
        problems += found
        entries.append(entry)
        if options.json or entry["error"] is not None:
            continue
        if len(options.files) > 1:
            if number:
                print()
            print(entry["path"])
        head_table(entry, sys.stdout)
    if options.json:
        print_json(entries)
    return report_problems("head", problems)


# -- convert ------------------------------------------------------------------------------------


def target_of(options: argparse.Namespace, reader_type: str) -> str:
    """What convert writes: "parquet", "WD1" or "WD2" (--to, else the output's extension)."""
    target: str = options.to or {".wd1": "wd1", ".wd2": "wd2"}.get(
        os.path.splitext(options.output)[1].lower(), "parquet"
    )
    if target == "parquet":
        return target
    target = target.upper()
    if target != reader_type:
        options.parser.error(f"cannot write {reader_type} events to a {target} file: the formats differ")
    for given, option in (
        (options.columns, "--columns"),
        (options.source, "--source"),
        (options.compression, "--compression"),
    ):
        if given:
            options.parser.error(f"{option} is for Parquet output, not for a {target} file")
    return target


def check_columns(options: argparse.Namespace, reader_type: str) -> list[str] | None:
    if options.columns is None:
        return None
    names = [name.strip() for name in options.columns.split(",") if name.strip()]
    known = [name for name, _ in HEADER_FIELDS[reader_type]] + ["data"]
    unknown = [name for name in names if name not in known]
    if unknown or not names:
        options.parser.error(
            f"--columns: {', '.join(unknown) or 'no name given'}; a {reader_type} file has "
            + ", ".join(known)
        )
    return names


def output_layout(files: Sequence[str], reader_type: str, layout: Layout) -> Layout:
    """The WD2 layout to write: the inputs' own when they all have one, else multi-channel,
    which holds single-channel events too when the multi-channel inputs have one channel
    (a single-channel event is one of one channel). A WD2 file's events all have the
    file's channel count: inputs of different counts are refused, naming them."""
    if reader_type != "WD2":
        return layout
    if STDIN_PATH in files:
        return layout or "multi-channel"  # a pipe cannot be probed twice
    counts: dict[int, str] = {}
    with_field = False
    for path in files:
        with BatchReader(path, reader_type, errors="skip", layout=layout) as reader:
            with_field = with_field or reader.has_channel_field is not False
            if reader.channel_count is not None:
                counts.setdefault(reader.channel_count, path)
    if len(counts) > 1:
        (first, one), (second, other) = list(counts.items())[:2]
        raise Failure(
            f"{other} holds events of {plural(second, 'channel')}, {one} of {plural(first, 'channel')}: "
            "a WD2 file holds events of one channel count, so they cannot be written to one file"
        )
    if layout is not None:
        return layout
    return "multi-channel" if with_field else "single-channel"


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


def run_convert(options: argparse.Namespace) -> int:
    if STDIN not in options.files:
        return convert_files(options)
    with StdinThroughPipe() as stdin:
        return convert_files(options, stdin.check)


def convert_files(options: argparse.Namespace, check: Callable[[], None] = lambda: None) -> int:
    """`vesk convert`; `check` raises what went wrong with standard input, if anything."""
    reader_type = one_format(options, options.files)
    layout = layout_for(options, [reader_type])
    target = target_of(options, reader_type)
    columns = check_columns(options, reader_type)
    files = [STDIN_PATH if name == STDIN else name for name in options.files]
    seen: set[int] = set()
    losses: dict[str, Loss] = {}
    command = f"{PROG} convert"

    def note(report: Report) -> None:
        check()  # a broken input fails the conversion before its output is kept
        seen.add(report.file_index)
        if report.skipped_bytes or report.trailing_bytes:
            losses.setdefault(report.path, Loss()).add(report, options.start or 0)

    # Passed on only when given: without them, each file is read whole, as ever.
    selection: Selection = {}
    if options.start is not None:
        selection["start"] = options.start
    if options.stop is not None:
        selection["stop"] = options.stop
    if target == "parquet":
        from ._parquet import convert

        written: int = convert(
            files,
            reader_type,
            options.output,
            step_size=options.step_size,
            compression=options.compression or "zstd",
            # The bar's total is counted first: a second reading that a pipe cannot give.
            progress=sys.stderr.isatty() and STDIN not in options.files,
            errors=options.errors,
            layout=layout,
            columns=columns,
            source=options.source,
            on_report=note,
            **selection,
        )
    else:
        written = write_events(options, files, reader_type, layout, note, selection)
    for path, loss in losses.items():
        if loss.skipped_bytes:
            ranges = describe_ranges(loss.skipped, loss.skipped_bytes, loss.estimated)
            print(f"{command}: {path}: skipped damaged bytes: {ranges}", file=sys.stderr)
        if loss.trailing:
            print(
                f"{command}: {path}: {plural(loss.trailing, 'trailing byte')} of a truncated last event",
                file=sys.stderr,
            )
    print(f"{plural(written, 'event')} from {plural(len(seen), 'file')} written to {options.output}")
    # The output is written, but a script must learn that events were lost; damage
    # passed over before --start is told, but lost nothing asked for.
    return 1 if any(loss.lost for loss in losses.values()) else 0


class Loss:
    """What converting one file lost: damaged bytes skipped (and about how many events
    they held, None when unknown) and the trailing bytes of a truncated last event;
    `lost`: whether damage was skipped among the events asked for (from `start` on)."""

    def __init__(self) -> None:
        self.skipped: list[tuple[int, int]] = []
        self.skipped_bytes = 0
        self.estimated: int | None = 0
        self.trailing = 0
        self.lost = False

    def add(self, report: Report, start: int) -> None:
        passed = report.damaged_count == len(report.damaged) and all(d.index < start for d in report.damaged)
        self.lost = self.lost or bool(report.skipped_bytes and not (report.damaged and passed))
        self.skipped.extend(report.skipped)
        self.skipped_bytes += report.skipped_bytes
        if self.estimated is not None:
            self.estimated = (
                None if report.estimated_events is None else self.estimated + report.estimated_events
            )
        self.trailing += report.trailing_bytes


def write_events(
    options: argparse.Namespace,
    files: list[str],
    reader_type: str,
    layout: Layout,
    note: Callable[[Report], None],
    selection: Selection,
) -> int:
    """The events of the files into one WD1 or WD2 file, a batch at a time."""
    from ._write import refuse_an_input, write

    files = expand_paths(files)
    # Before anything is read or written, as for Parquet.
    refuse_an_input(files, options.output)
    pairs = iterate(
        files,
        reader_type,
        step_size=options.step_size,
        report=True,
        errors=options.errors,
        layout=layout,
        **selection,
    )

    def batches() -> Iterator[Batch[Any]]:
        for batch, report in pairs:
            if report.error is not None:
                raise report.error  # a file that cannot be read is no damaged event
            note(report)
            yield batch

    written: int = write(
        options.output, batches(), reader_type, layout=output_layout(files, reader_type, layout)
    )
    return written


# -- plot ---------------------------------------------------------------------------------------


def run_plot(options: argparse.Namespace) -> int:
    from ._optional import require

    reader_type = one_format(options, [options.file])
    layout = layout_for(options, [reader_type])
    require("matplotlib", "cli", "vesk plot")
    from matplotlib.backends.backend_agg import FigureCanvasAgg
    from matplotlib.figure import Figure

    output, extension = options.output, os.path.splitext(options.output)[1][1:].lower()
    if not extension:
        output, extension = f"{output}.png", "png"  # as matplotlib would name it
    supported = FigureCanvasAgg.get_supported_filetypes()
    if extension not in supported:
        options.parser.error(
            f"cannot write a .{extension} image: give -o a name ending in "
            + ", ".join(f".{name}" for name in sorted(supported))
        )
    # An index past sys.maxsize is past the end of any file, as sys.maxsize is.
    start = min(options.event, sys.maxsize)
    source = source_of(options.file)
    # Damage before the event is passed over; with --errors skip, a damaged event gives
    # way to the next good one.
    with BatchReader(source, reader_type, errors=options.errors, layout=layout, prefetch=0) as reader:
        reader.skip_to(start)
        batch = reader.read(1)
    shown = shown_name(options.file)
    if not len(batch):
        if options.file == STDIN:
            raise Failure(f"{shown} ended before event {options.event}")
        count = num_events(options.file, reader_type, layout=layout)
        raise Failure(f"{shown} has {plural(count, 'event')}, so no event {options.event}")
    if batch.start != options.event:
        print(
            f"{PROG} plot: {shown}: event {options.event} is damaged: event {batch.start}, "
            "the next good one, is plotted instead",
            file=sys.stderr,
        )
        options.event = batch.start
    event = batch.event(0)
    data = event["data"]
    figure = Figure(figsize=(9, 4.5))
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    # A WD2 event's samples, channel after channel, when its header gives their shape.
    channels, samples = 0, 0
    if reader_type == "WD2":
        channels, samples = int(batch["channels"][0]), int(batch["samples"][0])
    if channels >= 1 and channels * samples == data.size:
        waves: NDArray[Any] = data.reshape(channels, samples)
        for channel, wave in enumerate(waves):
            axes.plot(wave, lw=0.8, label=f"channel {channel}")
        if channels > 1:
            axes.legend(fontsize=7)
        axes.set(ylabel="value")
    else:
        axes.plot(data, lw=0.8)
        axes.set(ylabel="ADC counts" if reader_type == "WD1" else "value")
    axes.set(
        xlabel="sample",
        title=f"{os.path.basename(shown)}: event {options.event} "
        f"(counter {event['event_counter']}, timestamp {event['timestamp']})",
    )
    figure.tight_layout()
    figure.savefig(output, dpi=100, format=extension)
    print(f"event {options.event} of {shown} plotted to {output}")
    return 0


# -- the command line ---------------------------------------------------------------------------


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def step_size(text: str) -> int | str:
    """A number of events, or a memory size such as "64 MiB"."""
    value: int | str = int(text) if text.strip().isdigit() else text
    try:
        parse_step_size(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return value


def build_parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Look into WD1 and WD2 event files, convert them to Parquet, WD1 or WD2, "
        "plot their waveforms. A FILE given as - is standard input.",
        epilog="Exit status: 0 success, 1 a file is missing, unreadable "
        "or holds damaged events, 2 usage error.",
    )
    parser.add_argument("--version", action="version", version=f"{PROG} {__version__}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(
        name: str, run: Callable[[argparse.Namespace], int], description: str
    ) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=description, description=description)
        sub.add_argument(
            "--format",
            type=str.upper,
            choices=FORMATS,
            help="the files' format (default: from the extension, .wd1 or .wd2)",
        )
        sub.add_argument(
            "--layout",
            type=str.lower,
            choices=LAYOUTS,
            help="WD2: the headers' layout, with or without the channel field "
            "(default: told from the first events)",
        )
        sub.set_defaults(run=run, parser=sub)
        return sub

    def json_option(sub: argparse.ArgumentParser) -> None:
        sub.add_argument(
            "--json", action="store_true", help="one JSON document on stdout, a list with an entry per file"
        )

    info = command(
        "info",
        run_info,
        "format, layout, event count, samples per event (WD1) or per channel and channels (WD2), "
        "counters, timestamps, trailing bytes and damaged events of each file",
    )
    info.add_argument("files", nargs="+", metavar="FILE")
    json_option(info)

    head = command("head", run_head, "the first events' headers with the min, max and mean of their samples")
    head.add_argument("files", nargs="+", metavar="FILE")
    head.add_argument(
        "-n", type=non_negative, default=10, metavar="N", help="events to show per file (default 10)"
    )
    json_option(head)

    convert = command(
        "convert",
        run_convert,
        "the events of the files into one Parquet file, or one WD1 or WD2 file (by the output's "
        "extension, or --to)",
    )
    convert.add_argument("files", nargs="+", metavar="FILE")
    convert.add_argument("-o", "--output", required=True, metavar="OUT")
    convert.add_argument(
        "--to",
        type=str.lower,
        choices=TARGETS,
        help="the output's format (default: wd1 or wd2 for an OUT of that extension, else parquet)",
    )
    convert.add_argument(
        "--step-size",
        type=step_size,
        default=DEFAULT_STEP,
        metavar="SIZE",
        help=f"events read at a time, a number or a memory size (default {DEFAULT_STEP!r}); "
        "each batch is a row group of the Parquet file",
    )
    convert.add_argument(
        "--start", type=non_negative, metavar="N", help="the index in each file of the first event to convert"
    )
    convert.add_argument(
        "--stop", type=non_negative, metavar="N", help="the index in each file past the last event to convert"
    )
    convert.add_argument(
        "--columns",
        metavar="NAMES",
        help="Parquet: only these columns, comma-separated (header fields and data)",
    )
    convert.add_argument(
        "--source",
        action="store_true",
        help="Parquet: also the columns path and event (the index in the file)",
    )
    convert.add_argument(
        "--compression",
        type=str.lower,
        choices=COMPRESSIONS,
        help="Parquet compression codec (default zstd)",
    )
    errors_option(
        convert,
        "on a damaged event: fail without output (raise, the default), or leave it out, "
        "list the bytes skipped on stderr, write the output and exit with status 1 (skip)",
    )

    plot = command("plot", run_plot, "the waveform(s) of one event, as an image")
    plot.add_argument("file", metavar="FILE")
    plot.add_argument(
        "--event",
        type=non_negative,
        default=0,
        metavar="N",
        help="index of the event in the file (default 0)",
    )
    plot.add_argument("-o", "--output", required=True, metavar="OUT.png")
    errors_option(
        plot,
        "when event N is damaged: fail (raise, the default), or plot the next good event "
        "in its place, saying which (skip); damage elsewhere in the file does not matter",
    )
    return parser


def errors_option(sub: argparse.ArgumentParser, description: str) -> None:
    sub.add_argument("--errors", type=str.lower, default="raise", choices=("raise", "skip"), help=description)


def main(argv: Sequence[str] | None = None) -> int:
    parser = build_parser()
    options = parser.parse_args(argv)
    name = f"{PROG} {options.command}"
    try:
        with warnings.catch_warnings():
            # Each command tells of damaged events in its own words.
            warnings.simplefilter("ignore", DamagedEventWarning)
            status: int = options.run(options)
            return status
    except BrokenPipeError:
        # The reader of our output went away (vesk head ... | head): not a failure of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, Failure, ImportError) as error:
        # ValueError: a damaged event (DamagedEventError), or an output that is an input.
        if isinstance(error, OSError) and getattr(options, "file", None) is not None:
            error = with_path(error, shown_name(options.file))
        sys.stdout.flush()
        print(f"{name}: {describe(error)}", file=sys.stderr)
        return 1

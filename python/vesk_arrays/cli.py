"""The ``vesk`` command: look into WD1 and WD2 event files, convert them, plot an event.

    vesk info FILE...                       what each file holds
    vesk head FILE [-n N]                   the first events' headers and sample statistics
    vesk convert FILE... -o OUT.parquet     all events of the files into one Parquet file
    vesk plot FILE [--event N] -o OUT.png   the waveform(s) of one event

Exit status: 0 on success, 1 when a file is missing, unreadable or holds damaged
events (the reason goes to stderr), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import os
import stat
import sys
import warnings

import numpy as np

from ._batch import HEADER_FIELDS
from ._iterate import num_events, with_path
from ._reader import DEFAULT_STEP, FORMATS, BatchReader, DamagedEventWarning, read
from ._sources import compression_of

PROG = "vesk"
EXTENSIONS = {".wd1": "WD1", ".wd2": "WD2"}
COMPRESSED = (".gz", ".xz", ".bz2", ".zst")  # run.wd1.gz is a WD1 file
COMPRESSIONS = ("zstd", "snappy", "gzip", "lz4", "brotli", "none")
LAYOUTS = ("multi-channel", "single-channel")
SHOWN = 10  # damaged events or skipped ranges listed one by one; the rest are counted


class Failure(Exception):
    """Something about the files (not the command line) that makes the command fail."""


# -- formats ------------------------------------------------------------------------------------


def file_formats(options, paths):
    """Each file's format: --format, else its extension; a usage error when neither tells."""
    if options.format:
        return [options.format] * len(paths)
    formats = [EXTENSIONS.get(extension_of(path)) for path in paths]
    for path, reader_type in zip(paths, formats):
        if reader_type is None:
            options.parser.error(
                f"cannot tell the format of {path} from its name (.wd1 or .wd2 "
                "expected): give --format WD1 or --format WD2"
            )
    return formats


def extension_of(path):
    root, extension = os.path.splitext(path)
    if extension.lower() in COMPRESSED:
        extension = os.path.splitext(root)[1]
    return extension.lower()


def one_format(options, paths):
    formats = set(file_formats(options, paths))
    if len(formats) > 1:
        options.parser.error(
            "the files are of different formats (by their names): give only files of one format, or --format"
        )
    return formats.pop()


def layout_for(options, formats):
    """The --layout to pass to the readers; a usage error for a WD1 file."""
    if options.layout is not None and "WD1" in formats:
        options.parser.error("--layout is for WD2 files, whose headers have two layouts; WD1 has one")
    return options.layout


def describe(error):
    """The error as "path: reason" where it names its file."""
    if isinstance(error, OSError) and error.filename is not None and error.strerror:
        return f"{error.filename}: {error.strerror}"
    return str(error)


def plural(count, noun):
    return f"{count} {noun}{'s' * (count != 1)}"


def merged(ranges):
    """Byte ranges (start, stop), sorted, with touching ones joined."""
    joined = []
    for start, stop in sorted(ranges):
        if joined and start <= joined[-1][1]:
            joined[-1][1] = max(joined[-1][1], stop)
        else:
            joined.append([start, stop])
    return [tuple(pair) for pair in joined]


def describe_ranges(ranges):
    """The ranges as "3 ranges, 120 bytes: 10-49, 100-139, 200-239" (first and last byte of
    each), the first few of them."""
    ranges = merged(ranges)
    total = sum(stop - start for start, stop in ranges)
    shown = ", ".join(f"{start}-{stop - 1}" for start, stop in ranges[:SHOWN])
    more = f", and {len(ranges) - SHOWN} more" if len(ranges) > SHOWN else ""
    return f"{plural(len(ranges), 'range')}, {plural(total, 'byte')}: {shown}{more}"


def damage_problems(path, damaged, count):
    """stderr lines for damaged events: the first few, then how many more."""
    lines = [str(error) for error in damaged[:SHOWN]]
    if count > len(lines):
        lines.append(f"{path}: {plural(count - len(lines), 'more damaged event')}")
    return lines


# -- info ---------------------------------------------------------------------------------------


class FileSummary:
    """Figures gathered from a file's batches, a batch at a time."""

    def __init__(self):
        self.events = 0
        self.min_length = self.max_length = None
        self.first = self.last = None  # (counter, timestamp)

    def add(self, batch):
        count = len(batch)
        if not count:
            return
        lengths = np.diff(batch.offsets)
        low, high = int(lengths.min()), int(lengths.max())
        self.min_length = low if self.min_length is None else min(self.min_length, low)
        self.max_length = high if self.max_length is None else max(self.max_length, high)
        counters, timestamps = batch["event_counter"], batch["timestamp"]
        if self.first is None:
            self.first = (int(counters[0]), int(timestamps[0]))
        self.last = (int(counters[-1]), int(timestamps[-1]))
        self.events += count


def info_file(path, reader_type, layout, out):
    """Prints what the file holds; returns the problems met (messages for stderr)."""
    try:
        reader = BatchReader(path, reader_type, errors="skip", layout=layout)
    except (OSError, ValueError) as error:
        # ValueError: a WD2 file whose first header gives a length past any file.
        print(f"{path}\n  {'format':<10} {reader_type}\n  {'error':<10} cannot be opened", file=out)
        return [describe(with_path(error, path) if isinstance(error, OSError) else error)]
    problems = []
    summary = FileSummary()
    with reader:
        try:
            for batch in reader.batches():
                summary.add(batch)
        except OSError as error:
            problems.append(describe(with_path(error, path)))
        damaged, damaged_count, skipped = reader.damaged, reader.damaged_count, reader.skipped
        read_bytes, trailing = reader.position, reader.trailing_bytes
        has_field, channels = reader.has_channel_field, reader.channel_count

    print(path, file=out)
    fmt = reader_type
    if reader_type == "WD2":
        if has_field is True:
            fmt += f", multi-channel headers (28 bytes), {plural(channels, 'channel')}"
        elif has_field is False:
            fmt += ", single-channel headers (24 bytes)"
    rows = [("format", fmt), ("events", str(summary.events))]
    if summary.events:
        if summary.min_length == summary.max_length:
            rows.append(("samples", f"{summary.min_length} per event"))
        else:
            rows.append(("samples", f"{summary.min_length} to {summary.max_length} per event"))
        rows.append(("counter", f"{summary.first[0]} (first) to {summary.last[0]} (last)"))
        rows.append(("timestamp", f"{summary.first[1]} (first) to {summary.last[1]} (last)"))
    rows.append(("size", size_text(path, read_bytes, trailing, stopped=bool(problems))))
    rows.append(("skipped", describe_ranges(skipped) if skipped else "none"))
    if damaged_count:
        indices = ", ".join(str(error.index) for error in damaged[:SHOWN])
        more = ", ..." if damaged_count > SHOWN else ""
        rows.append(("damaged", f"{plural(damaged_count, 'event')} (index {indices}{more}), skipped"))
    else:
        rows.append(("damaged", "none"))
    if problems:
        rows.append(("error", f"reading stopped after event {reader.events_read}"))
    for name, value in rows:
        print(f"  {name:<10} {value}", file=out)
    problems += damage_problems(path, damaged, damaged_count)
    if skipped and not damaged_count:
        problems.append(f"{path}: bytes skipped: {describe_ranges(skipped)}")
    return problems


def size_text(path, read_bytes, trailing, stopped):
    """The file's size; a compressed file's on disk and decompressed. Then its trailing
    bytes, unless reading stopped before the end."""
    try:
        status = os.stat(path)
    except OSError:
        status = None
    compression = compression_of(path)
    if status is None or not stat.S_ISREG(status.st_mode):
        text = f"{read_bytes + trailing} bytes read"  # a FIFO: its size is what came through
    elif compression is None:
        text = f"{status.st_size} bytes"
    else:
        text = f"{status.st_size} bytes {compression}-compressed, {read_bytes + trailing} bytes decompressed"
    if stopped:
        return text
    if trailing:
        return f"{text}, {plural(trailing, 'trailing byte')} of a truncated last event"
    return f"{text}, no trailing bytes"


def run_info(options):
    problems = []
    formats = file_formats(options, options.files)
    layout = layout_for(options, formats)
    for number, (path, reader_type) in enumerate(zip(options.files, formats)):
        if number:
            print()
        problems += info_file(path, reader_type, layout, sys.stdout)
    sys.stdout.flush()
    for problem in problems:
        print(f"{PROG} info: {problem}", file=sys.stderr)
    return 1 if problems else 0


# -- head ---------------------------------------------------------------------------------------


def print_table(header, rows, out):
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)), file=out)


def run_head(options):
    reader_type = one_format(options, [options.file])
    layout = layout_for(options, [reader_type])
    with BatchReader(options.file, reader_type, errors="skip", layout=layout) as reader:
        batch = reader.read(min(options.n, sys.maxsize))  # no file holds more events
        damaged, damaged_count = reader.damaged, reader.damaged_count
    names = [name for name, _ in HEADER_FIELDS[reader_type]]
    rows = []
    for index in range(len(batch)):
        event = batch.event(index)
        data = event["data"]
        stats = (
            [f"{data.min():.6g}", f"{data.max():.6g}", f"{data.mean(dtype=np.float64):.6g}"]
            if data.size
            else ["-", "-", "-"]
        )
        rows.append([str(event[name]) for name in names] + [str(data.size)] + stats)
    print_table(names + ["length", "min", "max", "mean"], rows, sys.stdout)
    sys.stdout.flush()
    for problem in damage_problems(options.file, damaged, damaged_count):
        print(f"{PROG} head: {problem}", file=sys.stderr)
    return 1 if damaged_count else 0


# -- convert ------------------------------------------------------------------------------------


def run_convert(options):
    from ._parquet import convert

    reader_type = one_format(options, options.files)
    files, losses = set(), {}  # losses: path -> [skipped ranges, trailing bytes]
    name = f"{PROG} convert"

    def note(report):
        files.add(report.file_index)
        if report.skipped or report.trailing_bytes:
            loss = losses.setdefault(report.path, [[], 0])
            loss[0] += report.skipped
            loss[1] += report.trailing_bytes

    written = convert(
        options.files,
        reader_type,
        options.output,
        step_size=DEFAULT_STEP,
        compression=options.compression,
        progress=sys.stderr.isatty(),
        errors=options.errors,
        layout=layout_for(options, [reader_type]),
        on_report=note,
    )
    for path, (skipped, trailing) in losses.items():
        if skipped:
            print(f"{name}: {path}: skipped damaged bytes: {describe_ranges(skipped)}", file=sys.stderr)
        if trailing:
            print(
                f"{name}: {path}: {plural(trailing, 'trailing byte')} of a truncated last event",
                file=sys.stderr,
            )
    print(f"{plural(written, 'event')} from {plural(len(files), 'file')} written to {options.output}")
    return 0


# -- plot ---------------------------------------------------------------------------------------


def run_plot(options):
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
    batch = read(options.file, reader_type, start=start, stop=min(start + 1, sys.maxsize), layout=layout)
    if not len(batch):
        count = num_events(options.file, reader_type, layout=layout)
        raise Failure(f"{options.file} has {plural(count, 'event')}, so no event {options.event}")
    event = batch.event(0)
    data = event["data"]
    figure = Figure(figsize=(9, 4.5))
    FigureCanvasAgg(figure)
    axes = figure.add_subplot()
    if reader_type == "WD2" and event["channels"] >= 1 and event["samples"] * event["channels"] == data.size:
        for channel, wave in enumerate(data.reshape(event["channels"], event["samples"])):
            axes.plot(wave, lw=0.8, label=f"channel {channel}")
        if event["channels"] > 1:
            axes.legend(fontsize=7)
        axes.set(ylabel="value")
    else:
        axes.plot(data, lw=0.8)
        axes.set(ylabel="ADC counts" if reader_type == "WD1" else "value")
    axes.set(
        xlabel="sample",
        title=f"{os.path.basename(options.file)}: event {options.event} "
        f"(counter {event['event_counter']}, timestamp {event['timestamp']})",
    )
    figure.tight_layout()
    figure.savefig(output, dpi=100, format=extension)
    print(f"event {options.event} of {options.file} plotted to {output}")
    return 0


# -- the command line ---------------------------------------------------------------------------


def non_negative(text):
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def build_parser():
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Look into WD1 and WD2 event files, convert them to Parquet, plot their waveforms.",
        epilog="Exit status: 0 success, 1 a file is missing, unreadable "
        "or holds damaged events, 2 usage error.",
    )
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name, run, description):
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

    info = command(
        "info",
        run_info,
        "format, layout, event count, samples, counters, timestamps, "
        "trailing bytes and damaged events of each file",
    )
    info.add_argument("files", nargs="+", metavar="FILE")

    head = command("head", run_head, "the first events' headers with the min, max and mean of their samples")
    head.add_argument("file", metavar="FILE")
    head.add_argument("-n", type=non_negative, default=10, metavar="N", help="events to show (default 10)")

    convert = command("convert", run_convert, "all events of the files into one Parquet file")
    convert.add_argument("files", nargs="+", metavar="FILE")
    convert.add_argument("-o", "--output", required=True, metavar="OUT.parquet")
    convert.add_argument(
        "--compression",
        type=str.lower,
        default="zstd",
        choices=COMPRESSIONS,
        help="Parquet compression codec (default zstd)",
    )
    convert.add_argument(
        "--errors",
        type=str.lower,
        default="raise",
        choices=("raise", "skip"),
        help="on a damaged event: fail without output (raise, the default), or leave it out, "
        "list the bytes skipped on stderr and go on (skip)",
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
    return parser


def main(argv=None):
    parser = build_parser()
    options = parser.parse_args(argv)
    name = f"{PROG} {options.command}"
    try:
        with warnings.catch_warnings():
            # Each command tells of damaged events in its own words.
            warnings.simplefilter("ignore", DamagedEventWarning)
            return options.run(options)
    except BrokenPipeError:
        # The reader of our output went away (vesk head ... | head): not a failure of ours.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 0
    except (OSError, ValueError, Failure, ImportError) as error:
        # ValueError: a damaged event (DamagedEventError), or an output that is an input.
        if isinstance(error, OSError) and getattr(options, "file", None) is not None:
            error = with_path(error, options.file)
        sys.stdout.flush()
        print(f"{name}: {describe(error)}", file=sys.stderr)
        return 1

"""The ``vesk`` command: look into WD1 and WD2 event files, convert them, plot an event.

    vesk info FILE... [--json | --short]    what each file holds
    vesk head FILE... [-n N] [--start N]    the first events' headers and sample statistics
    vesk convert FILE... -o OUT             the events into one Parquet, WD1 or WD2 file
    vesk plot FILE [--event N] -o OUT.png   the waveform(s) of one event [--time]
    vesk --version

FILE ``-`` is standard input; an fsspec URL (``s3://bucket/run*.wd1``; ``vesk[remote]``) is
read through its file system, made with ``--storage-options '{json}'`` and the environment its
client reads (for S3, AWS_ENDPOINT_URL and the credentials). Exit status: 0 on success, 1 when a
file is missing, unreadable or holds damaged events (the reason goes to stderr), 2 for a usage error.
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import warnings
from collections.abc import Callable, Sequence

from vesk import __version__

from .._damage import DamagedEventWarning
from .._iterate import with_path
from .._options import DEFAULT_STEP, parse_step_size
from .._remote import expand_url, is_url
from .._schema import FORMATS
from ._common import COMPRESSIONS, LAYOUTS, PROG, TARGETS, Failure, describe, shown_name
from ._common import failure_of as failure_of
from ._convert import run_convert
from ._head import run_head
from ._info import run_info
from ._plot import run_plot


def non_negative(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid int value: {text!r}") from None
    if value < 0:
        raise argparse.ArgumentTypeError(f"must not be negative: {value}")
    return value


def positive_number(text: str) -> float:
    try:
        value = float(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"invalid number: {text!r}") from None
    if not (value > 0 and math.isfinite(value)):
        raise argparse.ArgumentTypeError(f"must be a positive number: {text}")
    return value


def step_size(text: str) -> int | str:
    """A number of events, or a memory size such as "64 MiB"."""
    value: int | str = int(text) if text.strip().isdigit() else text
    try:
        parse_step_size(value)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    return value


def storage_options(text: str) -> dict[str, object]:
    """A JSON object of options for the file systems of URLs."""
    try:
        value = json.loads(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(f"not JSON: {error}") from None
    if not isinstance(value, dict):
        raise argparse.ArgumentTypeError(f"a JSON object is expected, not {text!r}")
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
        sub.add_argument(
            "--storage-options",
            type=storage_options,
            metavar="JSON",
            help="for URLs: a JSON object of options of their file system, such as "
            '\'{"anon": true}\' or \'{"endpoint_url": "http://127.0.0.1:9000"}\'',
        )
        sub.set_defaults(run=run, parser=sub)
        return sub

    def json_option(sub: argparse.ArgumentParser | argparse._MutuallyExclusiveGroup) -> None:
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
    shown = info.add_mutually_exclusive_group()
    json_option(shown)
    shown.add_argument(
        "--short", action="store_true", help="one line per file (events, bytes, problems) and a total line"
    )

    head = command("head", run_head, "the first events' headers with the min, max and mean of their samples")
    head.add_argument("files", nargs="+", metavar="FILE")
    head.add_argument(
        "-n", type=non_negative, default=10, metavar="N", help="events to show per file (default 10)"
    )
    head.add_argument(
        "--start",
        type=non_negative,
        default=0,
        metavar="N",
        help="index in each file of the first event to show",
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
    plot.add_argument(
        "--time",
        action="store_true",
        help="time on the x axis, in units of the event's sampling_period (WD2), instead of the sample index",
    )
    plot.add_argument(
        "--sampling-period",
        type=positive_number,
        metavar="T",
        help="time on the x axis with T between two samples (for WD1, which records no sampling "
        "period, or in other units)",
    )
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
        if getattr(options, "files", None):
            # The shell expands no pattern of a URL: its file system does.
            options.files = [
                found
                for name in options.files
                for found in (expand_url(name, options.storage_options) if is_url(name) else [name])
            ]
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

"""``vesk convert``: the events of files into one Parquet, WD1 or WD2 file."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Callable, Iterator, Sequence
from typing import Any, TypedDict

from .._batch import Batch
from .._iterate import Report, expand_paths, iterate
from .._options import Layout
from .._reader import BatchReader
from .._schema import HEADER_FIELDS
from ._common import (
    PROG,
    STDIN,
    STDIN_PATH,
    Failure,
    describe_ranges,
    layout_for,
    one_format,
    plural,
)
from ._stdin import StdinThroughPipe


class Selection(TypedDict, total=False):
    """The events of each file to convert, when --start or --stop is given."""

    start: int
    stop: int


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


def parquet_columns(options: argparse.Namespace, reader_type: str) -> list[str] | None:
    """The names given to --columns, or None without it; a usage error for a name the format lacks."""
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


def output_layout(
    files: Sequence[str], reader_type: str, layout: Layout, storage_options: dict[str, Any] | None = None
) -> Layout:
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
        with BatchReader(
            path, reader_type, errors="skip", layout=layout, storage_options=storage_options
        ) as reader:
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
    columns = parquet_columns(options, reader_type)
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
        from .._parquet import convert

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
            storage_options=options.storage_options,
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
    from .._write import refuse_an_input, write

    storage = options.storage_options
    files = [file for file in expand_paths(files, storage) if isinstance(file, str)]
    # Before anything is read or written, as for Parquet.
    refuse_an_input(files, options.output)
    pairs = iterate(
        files,
        reader_type,
        storage_options=storage,
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
        options.output,
        batches(),
        reader_type,
        layout=output_layout(files, reader_type, layout, storage),
        storage_options=storage,
    )
    return written

"""``vesk head``: the first events' headers and sample statistics."""

from __future__ import annotations

import argparse
import sys
from collections.abc import Sequence
from typing import IO, Any

import numpy as np

from .._options import Layout
from .._reader import BatchReader
from .._schema import HEADER_FIELDS
from ._common import (
    Json,
    damage_problems,
    failure_of,
    layout_for,
    one_format,
    print_json,
    report_problems,
    shown_name,
    source_of,
)


def print_table(header: Sequence[str], rows: Sequence[Sequence[str]], out: IO[str]) -> None:
    widths = [max(len(cell) for cell in column) for column in zip(header, *rows)]
    for row in [header, *rows]:
        print("  ".join(cell.rjust(width) for cell, width in zip(row, widths)), file=out)


def head_file(
    name: str,
    reader_type: str,
    layout: Layout,
    limit: int,
    start: int = 0,
    storage_options: dict[str, Any] | None = None,
) -> tuple[Json, list[str]]:
    """The headers and sample statistics of ``limit`` events from event ``start`` (damaged
    ones passed over), as the JSON document's entry; and the problems met."""
    shown = shown_name(name)
    entry: Json = {"path": shown, "format": reader_type, "events": [], "damaged_count": 0, "error": None}
    try:
        with BatchReader(
            source_of(name), reader_type, errors="skip", layout=layout, storage_options=storage_options
        ) as reader:
            reader.skip_to(min(start, sys.maxsize))
            batch = reader.read(min(limit, sys.maxsize))  # no file holds more events
            damaged, damaged_count = list(reader.damaged), reader.damaged_count
    except (OSError, ValueError) as error:
        entry["error"] = failure_of(error, name)
        return entry, [entry["error"]]
    # Each event's index in its file, damaged events counted: where it stands after --start.
    for index, in_file in enumerate(batch.event_index):
        event: Json = {"index": int(in_file), **batch.event(index)}
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
        rows.append([str(event[name]) for name in ["index", *names]] + [str(event["length"])] + stats)
    print_table(["index", *names, "length", "min", "max", "mean"], rows, out)


def run_head(options: argparse.Namespace) -> int:
    reader_type = one_format(options, options.files)
    layout = layout_for(options, [reader_type])
    problems: list[str] = []
    entries = []
    for number, name in enumerate(options.files):
        entry, found = head_file(name, reader_type, layout, options.n, options.start, options.storage_options)
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

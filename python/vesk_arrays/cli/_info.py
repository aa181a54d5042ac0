"""``vesk info``: what each file holds."""

from __future__ import annotations

import argparse
import os
import stat
from typing import Any

import numpy as np

from .._batch import Batch
from .._options import Layout
from .._reader import BatchReader
from .._remote import is_url, url_size
from ._common import (
    SHOWN,
    STDIN,
    Json,
    damage_problems,
    describe_ranges,
    failure_of,
    file_formats,
    layout_for,
    merged,
    plural,
    print_json,
    report_problems,
    shown_name,
    source_of,
)


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


def info_file(
    name: str, reader_type: str, layout: Layout, storage_options: dict[str, Any] | None = None
) -> tuple[Json, list[str]]:
    """What the file holds, as the JSON document's entry; and the problems met (for stderr)."""
    shown = shown_name(name)
    try:
        reader = BatchReader(
            source_of(name), reader_type, errors="skip", layout=layout, storage_options=storage_options
        )
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
    if is_url(name):
        try:
            size, compression = url_size(name, storage_options), told_compression
        except OSError:
            pass
    elif name != STDIN:
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


def short_row(entry: Json) -> list[str]:
    """`vesk info --short`'s line for a file: name, format, events, bytes, and what was wrong."""
    if "events" not in entry:
        return [entry["path"], entry["format"], "-", "-", "cannot be opened"]
    wrong = []
    if entry["damaged_count"]:
        wrong.append(plural(entry["damaged_count"], "damaged event"))
    elif entry["skipped_bytes"]:
        wrong.append(f"{plural(entry['skipped_bytes'], 'byte')} skipped")
    if entry["trailing_bytes"]:
        wrong.append(plural(entry["trailing_bytes"], "trailing byte"))
    if entry["error"]:
        wrong.append(f"read error after event {entry['stopped_after']}")
    return [entry["path"], entry["format"], plural(entry["events"], "event"), plural(bytes_of(entry), "byte"),
            ", ".join(wrong) or "ok"]  # fmt: skip


def bytes_of(entry: Json) -> int:
    """A file's size; what came through, for a stream."""
    return int(entry["bytes_read"] if entry["size"] is None else entry["size"])


def print_short(entries: list[Json]) -> None:
    """One line per file, then a total line: names and formats to the left, figures to the right."""
    rows = [short_row(entry) for entry in entries]
    events = sum(entry.get("events", 0) for entry in entries)
    size = sum(bytes_of(entry) for entry in entries if "size" in entry)
    failed = sum(row[-1] != "ok" for row in rows)
    status = f"{plural(failed, 'file')} with problems" if failed else "ok"
    files = f"total of {plural(len(entries), 'file')}"
    rows.append([files, "", plural(events, "event"), plural(size, "byte"), status])
    widths = [max(len(row[column]) for row in rows) for column in range(4)]
    for row in rows:
        left = [cell.ljust(width) for cell, width in zip(row[:2], widths)]
        right = [cell.rjust(width) for cell, width in zip(row[2:4], widths[2:])]
        print("  ".join([*left, *right, row[4]]))


def run_info(options: argparse.Namespace) -> int:
    problems: list[str] = []
    formats = file_formats(options, options.files)
    layout = layout_for(options, formats)
    entries = []
    for number, (name, reader_type) in enumerate(zip(options.files, formats)):
        entry, found = info_file(name, reader_type, layout, options.storage_options)
        problems += found
        if options.json or options.short:
            entries.append(entry)
            continue
        if number:
            print()
        print(entry["path"])
        for label, value in info_rows(entry):
            print(f"  {label:<10} {value}")
    if options.json:
        print_json(entries)
    elif options.short:
        print_short(entries)
    return report_problems("info", problems)

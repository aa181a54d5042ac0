"""``vesk plot``: the waveform(s) of one event, as an image."""

from __future__ import annotations

import argparse
import os
import sys
from typing import Any

import numpy as np
from numpy.typing import NDArray

from .._iterate import num_events
from .._reader import BatchReader
from ._common import (
    PROG,
    STDIN,
    Failure,
    layout_for,
    one_format,
    plural,
    shown_name,
    source_of,
)


def time_axis(options: argparse.Namespace, event: Any) -> tuple[float, str]:
    """(time between samples, x axis label): the sample index without --time; with it, the
    event's own ``sampling_period`` (WD2), in the units its writer chose, which the file does
    not record; --sampling-period gives it instead."""
    if not options.time and options.sampling_period is None:
        return 1, "sample"
    if options.sampling_period is not None:
        return options.sampling_period, "time"
    period = event.get("sampling_period")
    if not period:
        what = "WD1 events carry no sampling period" if period is None else "its sampling_period is 0"
        raise Failure(f"{what}: give the time between samples with --sampling-period")
    return float(period), "time (units of sampling_period)"


def run_plot(options: argparse.Namespace) -> int:
    from .._optional import require

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
    with BatchReader(
        source,
        reader_type,
        errors=options.errors,
        layout=layout,
        prefetch=0,
        storage_options=options.storage_options,
    ) as reader:
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
    period, xlabel = time_axis(options, event)
    if channels >= 1 and channels * samples == data.size:
        waves: NDArray[Any] = data.reshape(channels, samples)
        for channel, wave in enumerate(waves):
            axes.plot(np.arange(samples) * period, wave, lw=0.8, label=f"channel {channel}")
        if channels > 1:
            axes.legend(fontsize=7)
        axes.set(ylabel="value")
    else:
        axes.plot(np.arange(data.size) * period, data, lw=0.8)
        axes.set(ylabel="ADC counts" if reader_type == "WD1" else "value")
    axes.set(
        xlabel=xlabel,
        title=f"{os.path.basename(shown)}: event {options.event} "
        f"(counter {event['event_counter']}, timestamp {event['timestamp']})",
    )
    figure.tight_layout()
    figure.savefig(output, dpi=100, format=extension)
    print(f"event {options.event} of {shown} plotted to {output}")
    return 0

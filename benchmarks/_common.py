"""What the benchmark scripts share: timing, memory probes, files to read, and the report of their figures.

A script measures vesk beside a reference reader in the same run, collects each
pair as a Comparison, and hands them to report(): a table on standard output,
and optionally the figures as JSON and a bar chart of the ratios as a PNG.
"""

from __future__ import annotations

import json
import os
import platform
import subprocess
import sys
import textwrap
import time
from dataclasses import asdict, dataclass, field

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))


def rss():
    """Resident memory of this process in bytes."""
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def best_time(function, *args, repeats):
    """(shortest wall time of `repeats` calls, result of the last call)."""
    best, result = float("inf"), None
    for _ in range(repeats):
        start = time.perf_counter()
        result = function(*args)
        best = min(best, time.perf_counter() - start)
    return best, result


def warm_page_cache(*paths):
    """Reads each file once, so that every reader measured meets the same warm cache."""
    for path in paths:
        with open(path, "rb") as f:
            while f.read(1 << 24):
                pass


def run_probe(code, *args):
    """Runs `code` (dedented) in a fresh interpreter, which can import this module; returns its stdout.

    Memory is measured in a process of its own, so that nothing the benchmark itself
    allocated is counted.
    """
    env = {**os.environ, "PYTHONPATH": os.pathsep.join(filter(None, [HERE, os.environ.get("PYTHONPATH")]))}
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(code), *map(str, args)],
        check=True,
        capture_output=True,
        text=True,
        env=env,
    ).stdout


def uniform_batch(reader_type, index, waveform, fields):
    """A batch of events ``index`` (their indices in the file), each holding ``waveform``
    (WD2: channels x samples). ``fields`` gives header fields, each a constant or a function
    of ``index``; the size fields follow from the waveform, event_counter counts the
    events (as a reader's WD2 layout probe expects), the others are 0."""
    # Imported here: the memory probes import this module, and measure from there on.
    import vesk_arrays
    from vesk_arrays._batch import HEADER_FIELDS, SAMPLE_DTYPES

    waveform = np.asarray(waveform)
    count = len(index)
    if reader_type == "WD1":
        sizes = {"event_size": 24 + 2 * waveform.size}
    else:
        sizes = {"channels": waveform.shape[0], "samples": waveform.shape[1]}
    columns = {}
    for name, dtype in HEADER_FIELDS[reader_type]:
        value = {"event_counter": lambda index: index, **sizes, **fields}.get(name, 0)
        columns[name] = np.broadcast_to(value(index) if callable(value) else value, count).astype(dtype)
    columns["data"] = np.tile(waveform.reshape(-1).astype(SAMPLE_DTYPES[reader_type]), count)
    return vesk_arrays.Batch(reader_type, columns, waveform.size * np.arange(count + 1))


def write_uniform(path, reader_type, events, waveform, step=100_000, **fields):
    """A file of ``events`` events holding one waveform (as for uniform_batch), written
    by vesk_arrays.write ``step`` events at a time."""
    import vesk_arrays

    batches = (
        uniform_batch(reader_type, np.arange(first, min(first + step, events)), waveform, fields)
        for first in range(0, events, step)
    )
    vesk_arrays.write(path, batches, reader_type)


def human(value, unit):
    """2.86 M events/s, 15.9 GiB/s."""
    for scale, prefix in ((1e9, "G"), (1e6, "M"), (1e3, "k")):
        if value >= scale and unit.startswith("events"):
            return f"{value / scale:.3g} {prefix} {unit}"
    return f"{value:.3g} {unit}"


@dataclass
class Comparison:
    """vesk and a reference reader on one workload, in a unit where more is better."""

    workload: str
    unit: str
    vesk: float
    reference: str
    reference_value: float

    @property
    def ratio(self):
        return self.vesk / self.reference_value


@dataclass
class Figure:
    """A figure with no reference, such as memory use."""

    name: str
    value: float
    unit: str


@dataclass
class Report:
    benchmark: str
    settings: dict
    comparisons: list[Comparison] = field(default_factory=list)
    figures: list[Figure] = field(default_factory=list)

    def header(self):
        return (
            f"{self.benchmark}: Python {platform.python_version()}, NumPy {np.__version__}, "
            f"{platform.machine()}, {os.cpu_count()} CPUs; "
            + ", ".join(f"{key} {value}" for key, value in self.settings.items())
        )

    def table(self):
        rows = [("workload", "vesk", "reference", "ratio")]
        for c in self.comparisons:
            rows.append(
                (
                    c.workload,
                    human(c.vesk, c.unit),
                    f"{c.reference}: {human(c.reference_value, c.unit)}",
                    f"{c.ratio:.2f}x",
                )
            )
        widths = [max(len(row[i]) for row in rows) for i in range(4)]
        lines = ["  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip() for row in rows]
        lines.insert(1, "  ".join("-" * width for width in widths))
        lines += [f"{f.name}: {f.value:,.1f} {f.unit}" for f in self.figures]
        return "\n".join(lines)

    def as_dict(self):
        return {
            "benchmark": self.benchmark,
            "python": platform.python_version(),
            "numpy": np.__version__,
            "machine": platform.machine(),
            "cpus": os.cpu_count(),
            "settings": self.settings,
            "comparisons": [{**asdict(c), "ratio": c.ratio} for c in self.comparisons],
            "figures": [asdict(f) for f in self.figures],
        }

    def plot(self, path):
        """A bar per comparison: vesk's figure as a multiple of its reference's. False without matplotlib."""
        try:
            import matplotlib
        except ImportError:
            return False
        matplotlib.use("Agg")
        import matplotlib.pyplot as plt

        labels = [f"{c.workload}\nagainst {c.reference}" for c in self.comparisons]
        ratios = [c.ratio for c in self.comparisons]
        figure, axes = plt.subplots(figsize=(9, 1.0 + 0.9 * len(labels)))
        bars = axes.barh(range(len(labels)), ratios, color="tab:blue")
        axes.axvline(1.0, color="black", lw=0.8)
        axes.set_yticks(range(len(labels)), labels, fontsize=8)
        axes.invert_yaxis()
        axes.set_xlabel("vesk's throughput / the reference's (same run; 1 = as fast)")
        axes.set_title(self.header(), fontsize=8)
        for bar, ratio in zip(bars, ratios):
            axes.text(bar.get_width(), bar.get_y() + bar.get_height() / 2, f" {ratio:.2f}x", va="center")
        axes.set_xlim(0, max([*ratios, 1.0]) * 1.2)
        figure.tight_layout()
        figure.savefig(path, dpi=110)
        plt.close(figure)
        return True


def report(result, json_path=None, plot_path=None):
    """Prints the table; writes the figures as JSON and the ratios as a PNG where asked."""
    print(result.header())
    print()
    print(result.table())
    if json_path:
        with open(json_path, "w") as f:
            json.dump(result.as_dict(), f, indent=2)
            f.write("\n")
        print(f"\nfigures written to {json_path}")
    if plot_path:
        if result.plot(plot_path):
            print(f"plot saved to {plot_path}")
        else:
            print("matplotlib is not installed: no plot")

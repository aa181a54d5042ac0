"""The vesk command, run as a separate process: output, exit codes and usage errors."""

import fcntl
import gzip
import importlib.metadata
import json
import math
import os
import pty
import re
import struct
import subprocess
import sys
import termios

import numpy as np
import pyarrow.parquet as pq
import pytest

import vesk
import vesk_arrays
from wdfiles import wd1_event, wd2_event

PNG = b"\x89PNG\r\n\x1a\n"


def vesk_cli(*args, cwd=None, **kwargs):
    return subprocess.run(
        [sys.executable, "-m", "vesk_arrays", *map(str, args)],
        capture_output=True,
        text=True,
        timeout=120,
        cwd=cwd,
        **kwargs,
    )


@pytest.fixture
def files(tmp_path):
    """Sample files by name: WD1 (12 events), WD2 (5 events of 3 x 4 samples), single-channel WD2
    (4 events holding NaN and infinities), damaged, truncated."""
    wd1 = b"".join(
        wd1_event(np.arange(i, i + 2 * i + 1), board_id=7, event_counter=10 + i, timestamp=1000 * i)
        for i in range(12)
    )
    wd2 = b"".join(
        wd2_event(np.arange(12) * 0.25 + i, counter=i, timestamp=2**40 + i, period=200, channels=3)
        for i in range(5)
    )
    contents = {
        "run.wd1": wd1,
        "run.wd2": wd2,
        "run.dat": wd1,
        "single.wd2": b"".join(wd2_event([np.nan, 1.5, -np.inf, i], counter=i, period=8) for i in range(4)),
        "other.wd1": wd1[:56],
        "damaged.wd1": wd1[:56] + wd1_event(event_size=22) + wd1_event([5], board_id=7, event_counter=99),
        "truncated.wd2": wd2 + wd2[:60],
        "truncated.wd1": wd1 + wd1[:10],
        "overflow.wd2": wd2_event(samples=2**31, channels=2**30) + bytes(40),  # its length exceeds any file
        "run.wd1.gz": gzip.compress(wd1),
        "cut.wd1.gz": gzip.compress(wd1)[:-30],
        # Events of one size (32 bytes), event 5's header damaged.
        "steady.wd1": b"".join(
            wd1_event([i] * 4, event_size=22 if i == 5 else None, event_counter=i) for i in range(12)
        ),
    }
    for name, data in contents.items():
        (tmp_path / name).write_bytes(data)
    return tmp_path


def info_fields(stdout):
    """{file: {field: value}} from vesk info's output."""
    found, current = {}, None
    for line in stdout.splitlines():
        if line and not line.startswith(" "):
            current = found.setdefault(os.path.basename(line), {})
        elif line.strip():
            name, value = line.split(None, 1)
            current[name] = value
    return found


def test_info_describes_each_file(files):
    result = vesk_cli(
        "info", files / "run.wd1", files / "run.wd2", files / "truncated.wd2", files / "run.wd1.gz"
    )
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    info = info_fields(result.stdout)
    assert info["run.wd1"] == {
        "format": "WD1",
        "events": "12",
        "samples": "1 to 23 per event",
        "counter": "10 (first) to 21 (last)",
        "timestamp": "0 (first) to 11000 (last)",
        "size": f"{os.path.getsize(files / 'run.wd1')} bytes, no trailing bytes",
        "skipped": "none",
        "damaged": "none",
    }
    assert info["run.wd2"]["format"] == "WD2, multi-channel headers (28 bytes), 3 channels"
    assert (info["run.wd2"]["samples"], info["run.wd2"]["channels"]) == ("4 per channel", "3")
    assert info["run.wd2"]["timestamp"] == f"{2**40} (first) to {2**40 + 4} (last)"
    assert info["truncated.wd2"]["events"] == "5"
    assert info["truncated.wd2"]["size"].endswith(", 60 trailing bytes of a truncated last event")
    size, disk = os.path.getsize(files / "run.wd1"), os.path.getsize(files / "run.wd1.gz")
    assert (
        info["run.wd1.gz"]["size"]
        == f"{disk} bytes gzip-compressed, {size} bytes decompressed, no trailing bytes"
    )


def test_info_reports_damage_and_unreadable_files_after_the_rest(files):
    names = ["damaged.wd1", "missing.wd1", "overflow.wd2", "cut.wd1.gz", "run.wd1"]
    result = vesk_cli("info", *[files / name for name in names])
    assert result.returncode == 1
    info = info_fields(result.stdout)
    assert info["damaged.wd1"]["events"] == "3"
    assert info["damaged.wd1"]["skipped"] == "1 range, 24 bytes: [56, 80)"
    assert info["damaged.wd1"]["damaged"] == "1 event (index 2), skipped"
    assert info["missing.wd1"]["error"] == info["overflow.wd2"]["error"] == "cannot be opened"
    assert info["cut.wd1.gz"]["error"].startswith("reading stopped after event")
    assert info["run.wd1"]["events"] == "12"
    errors = result.stderr.strip().splitlines()[-4:]
    assert re.fullmatch(r"vesk info: .*damaged\.wd1: event 2 .*is damaged: .+", errors[0])
    assert re.fullmatch(r"vesk info: .*missing\.wd1.*No such file or directory.*", errors[1])
    assert re.fullmatch(r"vesk info: .*overflow\.wd2.*", errors[2])
    assert re.fullmatch(r"vesk info: .*cut\.wd1\.gz: .*cut short.*", errors[3])


@pytest.mark.parametrize("option, shown", [("WD1", "WD1"), ("wd2", "WD2")])
def test_the_format_option_overrides_the_name(files, option, shown):
    result = vesk_cli("info", "--format", option, files / "run.dat")
    assert info_fields(result.stdout)["run.dat"]["format"].split(",")[0] == shown
    if shown == "WD1":
        assert result.returncode == 0 and info_fields(result.stdout)["run.dat"]["events"] == "12"


@pytest.mark.parametrize(
    "arguments, message",
    [
        ([], "the following arguments are required: COMMAND"),
        (["info"], "the following arguments are required: FILE"),
        (["info", "{}/run.dat"], "cannot tell the format of .*run.dat.* --format WD1 or --format WD2"),
        (["info", "--format", "WD3", "{}/run.wd1"], "invalid choice: 'WD3'"),
        (["head", "{}/run.wd1", "-n", "-1"], "must not be negative"),
        (["head", "{}/run.wd1", "-n", "x"], "invalid int value"),
        (["convert", "{}/run.wd1"], "the following arguments are required: -o"),
        (["convert", "{}/run.wd1", "{}/run.wd2", "-o", "out.parquet"], "different formats"),
        (["convert", "{}/run.wd1", "-o", "out.parquet", "--compression", "zip"], "invalid choice: 'zip'"),
        (["plot", "{}/run.wd1"], "the following arguments are required: -o"),
        (["plot", "{}/run.wd1", "-o", "x.png", "--event", "-2"], "must not be negative"),
        (["plot", "{}/run.wd1", "-o", "x.xyz"], r"cannot write a \.xyz image: .*\.png"),
        (["info", "--layout", "single-channel", "{}/run.wd1"], "--layout is for WD2 files"),
        (["convert", "{}/run.wd1", "-o", "out.parquet", "--errors", "ignore"], "invalid choice: 'ignore'"),
        (["dance"], "invalid choice: 'dance'"),
        (["info", "-"], r"cannot tell the format of standard input \(-\): give --format"),
        (["head", "--format", "WD1", "-", "-"], r"standard input \(-\) can be read once only"),
        (["convert", "{}/run.wd1", "-o", "out.wd2"], "cannot write WD1 events to a WD2 file"),
        (["convert", "{}/run.wd1", "-o", "out.parquet", "--to", "wd2"], "cannot write WD1 events to a WD2"),
        (["convert", "{}/run.wd1", "-o", "out.wd1", "--source"], "--source is for Parquet output"),
        (["convert", "{}/run.wd1", "-o", "out.parquet", "--columns", "data,size"], "--columns: size; a WD1"),
        (["convert", "{}/run.wd1", "-o", "out.parquet", "--step-size", "0"], "at least 1 event"),
        (["convert", "{}/run.wd1", "-o", "out.parquet", "--step-size", "lots"], "not a memory size"),
    ],
)
def test_usage_errors_exit_2(files, arguments, message):
    result = vesk_cli(*[a.format(files) for a in arguments], cwd=files)
    assert result.returncode == 2
    assert re.search(message, result.stderr), result.stderr
    assert not (files / "out.parquet").exists()


def test_help_lists_the_commands():
    result = vesk_cli("--help")
    assert result.returncode == 0
    assert all(command in result.stdout for command in ("info", "head", "convert", "plot"))


@pytest.mark.parametrize("name, count", [("run.wd1", 10), ("run.wd2", 5)])
@pytest.mark.parametrize("limit", [None, 3, 0, 10**23])
def test_head_shows_headers_and_sample_statistics(files, name, count, limit):
    arguments = [] if limit is None else ["-n", limit]
    result = vesk_cli("head", files / name, *arguments)
    assert result.returncode == 0, result.stderr
    header, *rows = [line.split() for line in result.stdout.splitlines()]
    reader_type = "WD1" if name.endswith("wd1") else "WD2"
    events = list(vesk.EventReader(str(files / name), reader_type))[: count if limit is None else limit]
    assert header[0] == "index" and header[-4:] == ["length", "min", "max", "mean"]
    assert len(rows) == len(events)
    for index, (row, event) in enumerate(zip(rows, events)):
        assert row[: len(header) - 4] == [str(index)] + [str(event[key]) for key in header[1:-4]]
        data = event["data"]
        assert [float(v) for v in row[-3:]] == pytest.approx([data.min(), data.max(), data.mean()], rel=1e-5)


def test_head_of_a_damaged_file_shows_the_good_events_and_fails(files):
    result = vesk_cli("head", files / "damaged.wd1")
    assert result.returncode == 1
    assert [line.split()[0] for line in result.stdout.splitlines()] == ["index", "0", "1", "3"]
    assert "event 2" in result.stderr and "damaged" in result.stderr


@pytest.mark.parametrize("start, shown", [(3, [3, 4]), (11, [11]), (10**20, [])])
def test_head_starts_at_the_event_asked_for(files, start, shown):
    result = vesk_cli("head", "--json", files / "run.wd1", "-n", 2, "--start", start)
    events = json.loads(result.stdout)[0]["events"]
    assert [event["index"] for event in events] == [event["event_counter"] - 10 for event in events] == shown


def test_info_short_gives_a_line_per_file_and_a_total_line(files):
    names = ["run.wd1", "damaged.wd1", "truncated.wd1", "missing.wd1"]
    result = vesk_cli("info", "--short", *[files / name for name in names])
    assert result.returncode == 1 and "missing.wd1" in result.stderr
    size = {name: (files / name).stat().st_size for name in names[:3]}
    lines = [" ".join(line.split()) for line in result.stdout.splitlines()]
    assert lines == [
        f"{files / 'run.wd1'} WD1 12 events {size['run.wd1']} bytes ok",
        f"{files / 'damaged.wd1'} WD1 3 events {size['damaged.wd1']} bytes 1 damaged event",
        f"{files / 'truncated.wd1'} WD1 12 events {size['truncated.wd1']} bytes 10 trailing bytes",
        f"{files / 'missing.wd1'} WD1 - - cannot be opened",
        f"total of 4 files 27 events {sum(size.values())} bytes 3 files with problems",
    ]


@pytest.mark.parametrize(
    "name, options, shown",
    [
        ("run.wd2", ["--time"], ["<!-- time (units of sampling_period) -->", "<!-- 600 -->"]),  # 3 x 200
        ("run.wd1", ["--sampling-period", "0.5", "--event", "11"], ["<!-- time -->"]),
        ("run.wd1", ["--time"], None),  # WD1 records no sampling period
    ],
)
def test_plot_puts_time_on_the_x_axis(files, name, options, shown):
    result = vesk_cli("plot", files / name, "-o", files / "event.svg", *options)
    if shown is None:
        assert result.returncode == 1 and "--sampling-period" in result.stderr
        return
    svg = (files / "event.svg").read_text()
    assert all(text in svg for text in shown) and "<!-- sample -->" not in svg


@pytest.mark.parametrize("command", [["head"], ["plot", "-o", "x.png"], ["convert", "-o", "x.parquet"]])
def test_a_missing_file_exits_1(files, command):
    result = vesk_cli(command[0], files / "missing.wd1", *command[1:], cwd=files)
    assert result.returncode == 1
    assert re.search(r"missing\.wd1.*No such file or directory", result.stderr), result.stderr
    assert not any((files / name).exists() for name in ("x.png", "x.parquet"))


@pytest.mark.parametrize(
    "compression, stored", [(None, "ZSTD"), ("snappy", "SNAPPY"), ("NONE", "UNCOMPRESSED")]
)
def test_convert_writes_all_events(files, compression, stored):
    out = files / "out.parquet"
    options = [] if compression is None else ["--compression", compression]
    result = vesk_cli("convert", files / "run.wd1", files / "other.wd1", "-o", out, *options)
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip() == f"14 events from 2 files written to {out}"
    assert result.stderr == ""  # no progress bar unless stderr is a terminal
    table = pq.read_table(out)
    assert table.column("event_counter").to_pylist() == list(range(10, 22)) + [10, 11]
    assert pq.ParquetFile(out).metadata.row_group(0).column(0).compression == stored


def test_convert_counts_the_files_a_pattern_names_and_never_overwrites_one(files):
    pattern = f"{files}/[or]*.wd1"  # other.wd1 and run.wd1
    result = vesk_cli("convert", pattern, "-o", files / "out.parquet")
    assert result.stdout.strip() == f"14 events from 2 files written to {files / 'out.parquet'}"
    before = (files / "run.wd1").read_bytes()
    result = vesk_cli("convert", pattern, "-o", files / "run.wd1")
    assert result.returncode == 1 and "would replace the input" in result.stderr
    assert (files / "run.wd1").read_bytes() == before


def test_convert_skips_damaged_events_when_asked_and_lists_what_it_lost(files):
    out = files / "out.parquet"
    result = vesk_cli(
        "convert", files / "damaged.wd1", files / "truncated.wd1", "-o", out, "--errors", "skip"
    )
    assert result.returncode == 1, result.stderr
    assert result.stdout.strip() == f"15 events from 2 files written to {out}"
    assert result.stderr.splitlines() == [
        f"vesk convert: {files / 'damaged.wd1'}: skipped damaged bytes: 1 range, 24 bytes: [56, 80)",
        f"vesk convert: {files / 'truncated.wd1'}: 10 trailing bytes of a truncated last event",
    ]
    assert pq.read_table(out).column("event_counter").to_pylist()[2:4] == [99, 10]


def test_the_layout_option_is_passed_on(files):
    result = vesk_cli("info", "--layout", "single-channel", files / "run.wd2")
    assert info_fields(result.stdout)["run.wd2"]["format"] == "WD2, single-channel headers (24 bytes)"


def test_convert_draws_progress_on_a_terminal(files):
    controller, terminal = pty.openpty()
    fcntl.ioctl(terminal, termios.TIOCSWINSZ, struct.pack("HHHH", 24, 100, 0, 0))  # as a real terminal has
    try:
        result = subprocess.run(
            [
                sys.executable,
                "-m",
                "vesk_arrays",
                "convert",
                str(files / "run.wd2"),
                "--output",
                str(files / "out.parquet"),
            ],
            stdout=subprocess.PIPE,
            stderr=terminal,
            timeout=120,
        )
        os.close(terminal)
        terminal = None
        drawn = b""
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # EIO once everything written has been read
                break
            if not chunk:
                break
            drawn += chunk
    finally:
        os.close(controller)
        if terminal is not None:
            os.close(terminal)
    assert result.returncode == 0
    assert b"5/5" in drawn and b"100%" in drawn


def test_convert_of_a_damaged_file_fails_without_output(files):
    result = vesk_cli("convert", files / "run.wd1", files / "damaged.wd1", "-o", files / "out.parquet")
    assert result.returncode == 1
    assert "damaged" in result.stderr
    assert not (files / "out.parquet").exists()


@pytest.mark.parametrize(
    "name, event, output",
    [
        ("run.wd1", None, "event.png"),
        ("run.wd1", 11, "event"),
        ("run.wd2", 4, "event.png"),
        ("run.dat", 2, "event.png"),
        # Damage elsewhere (event 2) does not matter.
        ("damaged.wd1", 1, "event.png"),
        ("damaged.wd1", 3, "event.png"),
    ],
)
def test_plot_saves_a_png(files, name, event, output):
    options = ["--format", "WD1"] if name == "run.dat" else []
    options += [] if event is None else ["--event", event]
    result = vesk_cli("plot", files / name, "-o", files / output, *options)
    assert result.returncode == 0, result.stderr
    # Without an extension the image is a PNG, and is named so.
    assert result.stdout.strip() == f"event {event or 0} of {files / name} plotted to {files / 'event.png'}"
    assert (files / "event.png").read_bytes()[:8] == PNG


@pytest.mark.parametrize("event", [5, 10**20])
def test_plot_of_an_event_past_the_end_exits_1(files, event):
    result = vesk_cli("plot", files / "run.wd2", "--event", event, "-o", files / "event.png")
    assert result.returncode == 1
    assert f"has 5 events, so no event {event}" in result.stderr
    assert not (files / "event.png").exists()


@pytest.mark.parametrize("errors", ["raise", "skip"])
def test_plot_of_a_damaged_event_fails_or_plots_the_next_good_one(files, errors):
    result = vesk_cli(
        "plot", files / "damaged.wd1", "--event", 2, "-o", files / "event.png", "--errors", errors
    )
    assert result.returncode == (1 if errors == "raise" else 0)
    assert "event 2 " in result.stderr and (files / "event.png").exists() == (errors == "skip")
    if errors == "skip":
        assert result.stdout.strip() == f"event 3 of {files / 'damaged.wd1'} plotted to {files / 'event.png'}"


def test_damage_reports_give_half_open_ranges_and_the_events_lost(files):
    steady = files / "steady.wd1"
    loss = "1 range, 32 bytes, about 1 event: [160, 192)"
    result = vesk_cli("info", steady)
    assert result.returncode == 1 and info_fields(result.stdout)["steady.wd1"]["skipped"] == loss
    (entry,) = json.loads(vesk_cli("info", "--json", steady).stdout)
    assert (entry["skipped"], entry["skipped_bytes"], entry["estimated_events"]) == ([[160, 192]], 32, 1)
    assert (entry["damaged"][0]["skipped"], entry["damaged"][0]["estimated_events"]) == ([160, 192], 1)
    # Events of several sizes: no estimate.
    (entry,) = json.loads(vesk_cli("info", "--json", files / "damaged.wd1").stdout)
    assert entry["estimated_events"] is None
    result = vesk_cli("convert", steady, "-o", files / "out.wd1", "--errors", "skip")
    assert result.returncode == 1 and (files / "out.wd1").exists()
    assert result.stderr.strip() == f"vesk convert: {steady}: skipped damaged bytes: {loss}"


def test_a_message_names_its_file_once():
    from vesk_arrays.cli import failure_of

    path = "/x/p.wd2"
    for error in (
        OSError(f"{path!r}: the layout cannot be told"),
        OSError(f"{path}: cut short"),
        OSError(2, "gone"),
    ):
        assert failure_of(error, path).count("p.wd2") == 1


def test_wd2_files_of_different_channel_counts_are_not_converted_into_one(files):
    result = vesk_cli("convert", files / "run.wd2", files / "single.wd2", "-o", files / "out.wd2")
    assert result.returncode == 1 and not (files / "out.wd2").exists()
    assert str(files / "run.wd2") in result.stderr and str(files / "single.wd2") in result.stderr


@pytest.mark.parametrize("name", ["run.wd1", "run.wd1.gz", "cut.wd1.gz"])
def test_convert_reads_a_pipe_on_standard_input_compressed_or_not(files, name):
    result = subprocess.run(
        [sys.executable, "-m", "vesk_arrays", "convert", "--format", "WD1", "-", "-o", files / "copy.wd1"],
        input=(files / name).read_bytes(),
        capture_output=True,
        timeout=120,
    )
    if name == "cut.wd1.gz":  # no output, and the reason
        assert result.returncode == 1 and b"<stdin>: the file is cut short" in result.stderr
        assert not (files / "copy.wd1").exists()
        return
    assert result.returncode == 0, result.stderr
    assert (files / "copy.wd1").read_bytes() == (files / "run.wd1").read_bytes()


def test_the_vesk_script_runs_the_same_main():
    # The distribution's own entry points (entry_points(group=...) needs Python 3.10).
    entry_points = importlib.metadata.distribution("vesk").entry_points
    scripts = [script for script in entry_points if script.group == "console_scripts"]
    assert [script.value for script in scripts if script.name == "vesk"] == ["vesk_arrays.cli:main"]


def test_version_is_the_distribution_s():
    result = vesk_cli("--version")
    assert result.returncode == 0
    assert result.stdout == f"vesk {importlib.metadata.version('vesk')}\n"
    assert vesk_arrays.__version__ == vesk.__version__


def as_json(value):
    """A number as `--json` gives it: NaN and infinities as null."""
    value = value.item()
    return value if not isinstance(value, float) or math.isfinite(value) else None


@pytest.mark.parametrize("name", ["run.wd1", "single.wd2"])
def test_head_json_holds_each_event_s_fields_and_statistics(files, name):
    result = vesk_cli("head", "--json", files / name, "-n", 3)
    assert result.returncode == 0, result.stderr
    (entry,) = json.loads(result.stdout)
    events = list(vesk.EventReader(str(files / name), name[-3:].upper()))[:3]
    expected = []
    for index, event in enumerate(events):
        data = event.pop("data")
        stats = {"min": data.min(), "max": data.max(), "mean": data.mean(dtype=np.float64)}
        stats = {key: as_json(value) for key, value in stats.items()}
        expected.append({"index": index, **event, "length": data.size, **stats})
    assert entry == {"path": str(files / name), "format": name[-3:].upper(), "events": expected,
                     "damaged_count": 0, "error": None}  # fmt: skip


def test_info_json_holds_the_figures_as_numbers(files):
    names = ["run.wd2", "truncated.wd2", "missing.wd2", "damaged.wd1"]
    result = vesk_cli("info", "--json", "--format", "WD2", *[files / name for name in names[:3]])
    assert result.returncode == 1
    run, truncated, missing = json.loads(result.stdout)
    size = os.path.getsize(files / "run.wd2")
    assert run == {
        "path": str(files / "run.wd2"), "format": "WD2", "layout": "multi-channel", "channel_count": 3,
        "events": 5, "samples": {"min": 4, "max": 4}, "channels": {"min": 3, "max": 3},
        "event_counter": {"first": 0, "last": 4}, "timestamp": {"first": 2**40, "last": 2**40 + 4},
        "size": size, "compression": None, "bytes_read": size, "trailing_bytes": 0, "skipped": [],
        "skipped_bytes": 0, "estimated_events": 0, "damaged_count": 0, "damaged": [], "error": None,
        "stopped_after": None,
    }  # fmt: skip
    assert (truncated["trailing_bytes"], truncated["bytes_read"]) == (60, size + 60)
    assert set(missing) == {"path", "format", "error"} and "No such file" in missing["error"]
    (damaged,) = json.loads(vesk_cli("info", "--json", files / "damaged.wd1").stdout)
    assert (damaged["skipped"], damaged["skipped_bytes"], damaged["damaged_count"]) == ([[56, 80]], 24, 1)
    assert (damaged["damaged"][0]["index"], damaged["damaged"][0]["offset"]) == (2, 56)


@pytest.mark.parametrize("command", ["info", "head"])
@pytest.mark.parametrize("piped_name, name", [("run.wd2", "run.wd2"), ("run.wd1.gz", "run.wd1")])
def test_standard_input_reads_as_the_file_does(files, command, piped_name, name):
    # Compressed data are recognised on a stream too.
    fmt = name[-3:].upper()
    with open(files / piped_name, "rb") as stdin:
        piped = vesk_cli(command, "--json", "--format", fmt, "-", stdin=stdin)
    assert piped.returncode == 0, piped.stderr
    (named,) = json.loads(vesk_cli(command, "--json", files / name).stdout)
    if command == "info":
        named["size"] = None  # a stream's size is what came through: bytes_read
    assert json.loads(piped.stdout) == [{**named, "path": "<stdin>"}]


def test_head_of_several_files_names_each_and_goes_on_past_a_missing_one(files):
    result = vesk_cli("head", files / "run.wd1", files / "missing.wd1", files / "other.wd1", "-n", 1)
    assert result.returncode == 1 and re.search(r"missing\.wd1.*No such file", result.stderr)
    lines = result.stdout.splitlines()
    assert [lines[0], lines[3], lines[4]] == [str(files / "run.wd1"), "", str(files / "other.wd1")]
    assert len(lines) == 7 and lines[2].split()[5] == lines[6].split()[5] == "10"  # event_counter


@pytest.mark.parametrize(
    "name, output, options",
    [
        ("run.wd1", "copy.wd1", []),
        ("run.wd2", "copy.wd2", ["--step-size", "2"]),
        ("single.wd2", "copy.wd2", ["--step-size", "16 B"]),
        ("run.wd1", "copy.bin", ["--to", "WD1"]),
        ("-", "copy.wd2", ["--format", "wd2"]),
    ],
)
def test_convert_to_the_format_read_gives_the_file_back(files, name, output, options):
    source = files / ("run.wd2" if name == "-" else name)
    with open(source, "rb") as stdin:
        result = vesk_cli(
            "convert", name if name == "-" else source, "-o", files / output, *options, stdin=stdin
        )
    assert result.returncode == 0, result.stderr
    assert (files / output).read_bytes() == source.read_bytes()


@pytest.mark.parametrize("output", ["out.parquet", "out.wd1"])
@pytest.mark.parametrize(
    "names, options, counters, status",
    [
        (["run.wd1", "other.wd1"], ["--start", "1", "--stop", "3"], [11, 12, 11], 0),
        (["run.wd1", "other.wd1"], ["--start", "11"], [21], 0),
        # Damage skipped: the output is written, and the status tells of the loss.
        (["damaged.wd1"], ["--errors", "skip"], [10, 11, 99], 1),
        # Damage outside the range asked for (event 2) is no error.
        (["damaged.wd1"], ["--start", "3"], [99], 0),
        (["damaged.wd1"], ["--stop", "2"], [10, 11], 0),
    ],
)
def test_convert_takes_a_range_of_each_file_and_leaves_damage_out(
    files, output, names, options, counters, status
):
    out = files / output
    result = vesk_cli("convert", *[files / name for name in names], "-o", out, *options)
    assert result.returncode == status, result.stderr
    if output.endswith(".parquet"):
        assert pq.read_table(out).column("event_counter").to_pylist() == counters
    else:
        assert [event["event_counter"] for event in vesk.EventReader(str(out), "WD1")] == counters


@pytest.mark.parametrize("step, rows", [("5", [5, 5, 2, 2]), ("1 KiB", [12, 2])])
def test_convert_writes_a_row_group_per_step(files, step, rows):
    out = files / "out.parquet"
    vesk_cli("convert", files / "run.wd1", files / "other.wd1", "-o", out, "--step-size", step)
    metadata = pq.ParquetFile(out).metadata
    assert [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)] == rows


def test_convert_takes_columns_and_adds_the_source(files):
    out = files / "out.parquet"
    result = vesk_cli(
        "convert", files / "other.wd1", "-o", out, "--columns", "timestamp,event_counter", "--source"
    )
    assert result.returncode == 0, result.stderr
    assert pq.read_table(out).to_pydict() == {
        "path": [str(files / "other.wd1")] * 2, "event": [0, 1],
        "timestamp": [0, 1000], "event_counter": [10, 11],
    }  # fmt: skip

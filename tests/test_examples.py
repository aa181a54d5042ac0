"""The examples run as documented, and the Dask example agrees with a serial run."""

import os
import subprocess
import sys

import numpy as np
import pytest

EXAMPLES = os.path.join(os.path.dirname(__file__), "..", "examples")


def test_demo_prints_a_summary(tmp_path):
    result = subprocess.run(
        [sys.executable, os.path.join(EXAMPLES, "demo.py"), str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert result.returncode == 0, result.stderr
    assert "20 events, 40960 bytes of samples" in result.stdout  # WD1: 20 x 1024 uint16
    assert "20 events, 327680 bytes of samples" in result.stdout  # WD2: 20 x 4 x 1024 float32
    try:
        import matplotlib  # noqa: F401
    except ImportError:
        return
    assert (tmp_path / "waveforms.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_dask_summary_matches_a_serial_run(tmp_path, reader_type):
    distributed = pytest.importorskip("dask.distributed")
    import summarise_many

    paths = summarise_many.generate(4, reader_type, str(tmp_path))
    serial = summarise_many.summarise_serial(paths, reader_type)
    with (
        distributed.LocalCluster(
            n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0"
        ) as cluster,
        distributed.Client(cluster) as client,
    ):
        # A step of about two files' bytes: partitions of several files each.
        step = f"{2 * os.path.getsize(paths[0])} B"
        combined = summarise_many.summarise(paths, reader_type, client, step_size=step)
    assert len(combined) == 4 * 50
    assert list(combined["file"]) == [p for p in paths for _ in range(50)]
    assert list(combined["event"]) == list(range(50)) * 4
    for field in serial.columns:
        np.testing.assert_array_equal(combined[field].to_numpy(), serial[field].to_numpy(), err_msg=field)


def test_dask_summary_runs_from_the_command_line():
    pytest.importorskip("dask.distributed")
    result = subprocess.run(
        [
            sys.executable,
            os.path.join(EXAMPLES, "summarise_many.py"),
            "--generate",
            "3",
            "--format",
            "WD1",
            "--workers",
            "1",
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.strip().endswith("150 events from 3 files, 153600 samples")


def test_cli_demo_runs_every_command(tmp_path):
    result = subprocess.run(
        ["bash", os.path.join(EXAMPLES, "cli_demo.sh"), str(tmp_path)],
        capture_output=True,
        text=True,
        timeout=120,
        env={**os.environ, "PYTHON": sys.executable},
    )
    assert result.returncode == 0, result.stderr
    for command in ("info", "head", "convert", "plot"):
        assert f"$ vesk {command} " in result.stdout
    assert "20 events from 1 file written to" in result.stdout
    assert (tmp_path / "event3.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

"""vesk_arrays reading and writing fsspec URLs (memory://, and S3 on the session's local
server, s3fs the client), and file objects wherever paths go."""

import gzip
import io
import json
import uuid

import numpy as np
import pytest

import vesk_arrays as va
from vesk_arrays.cli import main
from wdfiles import file_bytes, wd1_event

fsspec = pytest.importorskip("fsspec", reason="the URL tests need fsspec (pip install 'vesk[remote]')")

EVENTS = {
    "WD1": [{"data": np.arange(i % 7, dtype="u2") + i} for i in range(300)],
    "WD2": [{"data": np.arange(6 * (i % 3), dtype="f4") + i, "channels": 2} for i in range(300)],
}


@pytest.fixture(params=["memory", "s3", "simplecache::s3", "file"])
def store(request, tmp_path):
    """(root URL, storage_options, put(name, data)) of a new empty folder of a file system."""
    kind = request.param
    if kind == "memory":
        root, options = f"memory://vesk-{uuid.uuid4().hex}", None
    elif kind == "file":
        root, options = f"file://{tmp_path}", None
    else:
        _, options, bucket = request.getfixturevalue("s3")
        root = f"s3://{bucket}"
    put_root, put_options = root, options

    def put(name, data):
        with fsspec.open(f"{put_root}/{name}", "wb", **(put_options or {})) as file:
            file.write(data)

    if kind == "simplecache::s3":
        root, options = f"simplecache::{root}", {"s3": options}
    return root, options, put


def same_batches(got, expected):
    assert len(got) == len(expected)
    for name in expected.keys():
        assert name in got.keys()
        np.testing.assert_array_equal(got[name], expected[name])


@pytest.mark.parametrize("fmt", ["WD1", "WD2"])
@pytest.mark.parametrize("compressed", [False, True])
def test_a_url_reads_as_its_bytes_do(store, fmt, compressed):
    root, options, put = store
    data = file_bytes(fmt, EVENTS[fmt])
    suffix = f".{fmt.lower()}" + (".gz" if compressed else "")
    for name in ("run0", "run1"):
        put(name + suffix, gzip.compress(data) if compressed else data)
    expected = va.read(io.BytesIO(data), fmt)
    same_batches(va.read(f"{root}/run1{suffix}", storage_options=options), expected)
    pattern = f"{root}/run?{suffix}"
    pairs = list(va.iterate(pattern, step_size=70, report=True, storage_options=options))
    assert sorted({report.path for _, report in pairs}) == [f"{root}/run{i}{suffix}" for i in (0, 1)]
    assert all(report.ok for _, report in pairs)
    same_batches(va.concat([batch for batch, report in pairs if report.file_index == 1]), expected)
    assert va.num_events(pattern, per_file=True, storage_options=options) == [300, 300]
    headers = va.read(f"{root}/run0{suffix}", columns=["event_counter"], storage_options=options)
    np.testing.assert_array_equal(headers["event_counter"], expected["event_counter"])


def test_file_objects_go_wherever_paths_go(tmp_path):
    data = file_bytes("WD1", EVENTS["WD1"])
    assert va.num_events([io.BytesIO(data), io.BytesIO(gzip.compress(data))], "WD1") == 600
    pairs = list(va.iterate(io.BytesIO(data), "WD1", step_size=100, report=True))
    assert [len(batch) for batch, _ in pairs] == [100, 100, 100]
    assert pairs[0][1].path.startswith("<_io.BytesIO")
    pq = pytest.importorskip("pyarrow.parquet")
    assert va.to_parquet(io.BytesIO(data), "WD1", tmp_path / "out.parquet") == 300
    assert pq.read_table(tmp_path / "out.parquet").num_rows == 300
    with pytest.raises(ValueError, match="file object"):
        va.num_events(io.BytesIO(data))


def test_a_header_pass_fetches_small_ranges_and_a_stream_large_ones(monkeypatch):
    """Events of 16 MiB: reading their headers fetches a small share of the object,
    reading them whole fetches each byte once, in ranges of several MiB."""
    samples = (16 << 20) // 2 - 12
    events = 6
    # A digitiser's samples: noise about a baseline, which reads as lengths here and there.
    payload = np.random.default_rng(1).normal(8192, 30, samples).astype("u2")
    url = f"memory://vesk-{uuid.uuid4().hex}/large.wd1"
    with fsspec.open(url, "wb") as file:
        for i in range(events):
            file.write(wd1_event(payload, board_id=3, board_channel=i % 4, event_counter=i, timestamp=i))
    size = events << 24
    fs = fsspec.filesystem("memory")
    ranges = []

    def counted(path, start=None, end=None, **kwargs):
        data = type(fs).cat_file(fs, path, start=start, end=end, **kwargs)
        ranges.append(len(data))
        return data

    monkeypatch.setattr(fs, "cat_file", counted)
    assert va.num_events(url) == events
    headers = va.read(url, columns=["event_counter", "timestamp"])
    assert headers["event_counter"].tolist() == list(range(events))
    assert sum(ranges) <= 0.05 * size, ranges
    ranges.clear()
    with va.BatchReader(url) as reader:
        for batch in reader.batches():
            assert (batch["data"][:samples] == payload).all()
    # The bytes once, and the reader's looks at where lengths in the first event point.
    assert size <= sum(ranges) <= 1.05 * size
    assert max(ranges) >= 4 << 20, ranges


def test_writes_reach_a_url_whole_or_not_at_all(s3, tmp_path):
    fs, options, bucket = s3
    data = file_bytes("WD2", EVENTS["WD2"])
    local = tmp_path / "run.wd2"
    local.write_bytes(data)
    url = f"s3://{bucket}/out"
    assert va.to_parquet(str(local), "WD2", f"{url}.parquet", storage_options=options) == 300
    pq = pytest.importorskip("pyarrow.parquet")
    with fs.open(f"{bucket}/out.parquet", "rb") as file:
        assert pq.read_table(file).num_rows == 300
    assert va.write(f"{url}.wd2", va.read(str(local)), "WD2", storage_options=options) == 300
    assert fs.cat_file(f"{bucket}/out.wd2") == data
    # A source that fails after the first file: nothing is written at the destination.
    missing = str(tmp_path / "missing.wd2")
    with pytest.raises(FileNotFoundError):
        va.to_parquet([str(local), missing], "WD2", f"{url}-2.parquet", storage_options=options)
    with pytest.raises(FileNotFoundError):
        va.write(f"{url}-2.wd2", va.iterate([str(local), missing]), "WD2", storage_options=options)
    assert sorted(fs.ls(bucket)) == [f"{bucket}/out.parquet", f"{bucket}/out.wd2"]


@pytest.mark.parametrize("problem", ["missing object", "missing bucket", "denied", "connection refused"])
def test_errors_name_the_url(s3, problem, monkeypatch):
    _, options, bucket = s3
    url = f"s3://{bucket}/run.wd1"
    if problem == "missing bucket":
        url = f"s3://no-such-bucket-{uuid.uuid4().hex[:8]}/run.wd1"
    elif problem == "denied":
        from moto import settings

        # The server authenticates from here on, and knows no key.
        monkeypatch.setattr(settings, "INITIAL_NO_AUTH_ACTION_COUNT", 0)
    elif problem == "connection refused":
        import socket

        with socket.socket() as probe:
            probe.bind(("127.0.0.1", 0))
            closed = probe.getsockname()[1]
        options = {**options, "endpoint_url": f"http://127.0.0.1:{closed}"}
        options["config_kwargs"] = {"retries": {"max_attempts": 1}, "connect_timeout": 2}
    expected = {"denied": PermissionError, "connection refused": OSError}.get(problem, FileNotFoundError)
    for call in (va.read, va.num_events):
        with pytest.raises(expected) as raised:
            call(url, storage_options=options)
        assert url in str(raised.value)


@pytest.mark.parametrize("how", ["environment", "--storage-options"])
def test_the_command_line_reads_s3_urls(s3, how, monkeypatch, capsys):
    fs, options, bucket = s3
    data = file_bytes("WD1", EVENTS["WD1"])
    for name in ("run0.wd1", "run1.wd1.gz"):
        fs.pipe_file(f"{bucket}/{name}", gzip.compress(data) if name.endswith(".gz") else data)
    arguments = ["info", "--json", f"s3://{bucket}/run*"]
    if how == "environment":
        monkeypatch.setenv("AWS_ENDPOINT_URL", options["endpoint_url"])
    else:
        arguments[1:1] = ["--storage-options", json.dumps(options)]
    assert main(arguments) == 0
    entries = json.loads(capsys.readouterr().out)
    assert [(e["path"], e["events"], e["compression"]) for e in entries] == [
        (f"s3://{bucket}/run0.wd1", 300, None),
        (f"s3://{bucket}/run1.wd1.gz", 300, "gzip"),
    ]
    assert entries[0]["size"] == len(data)


def test_dask_reads_a_url_pattern():
    pytest.importorskip("dask.dataframe")
    import vesk_arrays.dask

    root = f"memory://vesk-{uuid.uuid4().hex}"
    data = file_bytes("WD1", EVENTS["WD1"])
    for name in ("run0.wd1", "run1.wd1"):
        with fsspec.open(f"{root}/{name}", "wb") as file:
            file.write(data)
    frame = vesk_arrays.dask.read(f"{root}/run*.wd1", step_size="2 KiB", source=True)
    assert frame.npartitions > 2
    computed = frame.compute(scheduler="sync")
    assert computed["path"].unique().tolist() == [f"{root}/run0.wd1", f"{root}/run1.wd1"]
    assert computed["event_counter"].tolist() == list(range(300)) * 2


def test_a_missing_fsspec_names_the_extra(monkeypatch):
    monkeypatch.setitem(__import__("sys").modules, "fsspec", None)
    with pytest.raises(ImportError, match=r"vesk\[remote\]"):
        va.read("memory://run.wd1")

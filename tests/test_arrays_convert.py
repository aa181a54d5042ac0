"""Batches through Arrow, pandas, awkward and Parquet give back the events vesk.EventReader reads."""

import inspect
import io
import os
import pathlib
import pickle
import re
import sys
from collections.abc import Mapping

import awkward as ak
import numpy as np
import pandas as pd
import pyarrow as pa
import pyarrow.compute as pc
import pyarrow.parquet as pq
import pytest

import vesk
import vesk_arrays
from vesk_arrays._batch import HEADER_FIELDS, SAMPLE_DTYPES
from wdfiles import file_bytes, wd1_event, wd2_event

SPECIAL_FLOATS = np.array([np.nan, -0.0, np.inf, 1e-45], np.float32)  # NaN, negative zero, subnormal

FILES = {
    ("WD1", "uniform"): file_bytes(
        "WD1",
        [
            {"data": np.arange(8) + 100 * i, "board_id": 3, "event_counter": i, "timestamp": -i}
            for i in range(5)
        ],
    ),
    # Odd event_size: the byte after the last whole sample is skipped.
    ("WD1", "ragged"): file_bytes(
        "WD1",
        [
            {"data": [1, 2, 3], "event_size": 31},
            {},
            {"data": [65535] * 9, "event_counter": -7},
            {"data": [4]},
        ],
    ),
    ("WD2", "uniform"): file_bytes(
        "WD2",
        [
            {"data": np.arange(15) + i, "timestamp": 2**40 + i, "sampling_period": 200, "channels": 3}
            for i in range(4)
        ],
    ),
    ("WD2", "ragged"): file_bytes(
        "WD2",
        [
            {"data": SPECIAL_FLOATS, "channels": 2},
            {"data": np.ones(4), "channels": 2},
            {"data": np.ones(2), "samples": 1, "channels": 2},
            {"samples": 0, "channels": 2},
        ],
    ),
    ("WD2", "single-channel"): file_bytes(
        "WD2", [{"data": np.arange(6) * 0.5, "timestamp": 10 * i} for i in range(3)], layout="single-channel"
    ),
}
CASES = sorted(FILES)
IDS = [f"{fmt}-{shape}" for fmt, shape in CASES]


@pytest.fixture(params=CASES, ids=IDS)
def case(request, write):
    """(reader_type, path, the events vesk.EventReader gives, the batch of the whole file)."""
    reader_type, shape = request.param
    path = write(FILES[request.param])
    events = list(vesk.EventReader(path, reader_type))
    return reader_type, shape, events, vesk_arrays.read(path, reader_type)


def bits(array):
    array = np.asarray(array)
    return array.view(f"u{array.dtype.itemsize}")


def assert_same(reader_type, events, columns, lengths, samples):
    """Columns, per-event sample counts and all samples equal the events; widths kept."""
    for name, dtype in HEADER_FIELDS[reader_type]:
        column = np.asarray(columns[name])
        assert column.dtype == dtype, name
        assert column.tolist() == [event[name] for event in events], name
    assert list(lengths) == [len(event["data"]) for event in events]
    expected = np.concatenate([event["data"] for event in events]) if events else np.empty(0)
    samples = np.asarray(samples)
    assert samples.dtype == SAMPLE_DTYPES[reader_type]
    np.testing.assert_array_equal(bits(samples), bits(expected.astype(samples.dtype)))


def data_parts(reader_type, events, data):
    """Each event's number of samples and all the samples, from a column of lists (of
    channels for WD2, each of that event's samples per channel)."""
    data = data.combine_chunks() if isinstance(data, pa.ChunkedArray) else data
    if reader_type == "WD2":
        channels = [len(e["data"]) // e["samples"] if e["samples"] else max(e["channels"], 0) for e in events]
        assert pc.list_value_length(data).to_pylist() == channels
        data = data.flatten()
        assert pc.list_value_length(data).to_pylist() == [
            e["samples"] for e, n in zip(events, channels) for _ in range(n)
        ]
    return [len(event["data"]) for event in events], data.flatten().to_numpy(zero_copy_only=False)


def arrow_parts(reader_type, events, table):
    columns = {name: table.column(name).to_numpy() for name in table.column_names if name != "data"}
    return (columns, *data_parts(reader_type, events, table.column("data")))


def data_type(reader_type, shape):
    """The type of ``data`` for events of this shape (None: of different shapes)."""
    item = pa.from_numpy_dtype(SAMPLE_DTYPES[reader_type])
    for size in reversed(shape) if shape else [None] * (1 if reader_type == "WD1" else 2):
        field = pa.field("element", item, nullable=False)
        item = pa.list_(field, size) if size else pa.large_list(field)
    return item


SHAPES = {("WD1", "uniform"): (8,), ("WD2", "uniform"): (3, 5), ("WD2", "single-channel"): (1, 6)}


def test_arrow_table_holds_the_events(case):
    reader_type, shape, events, batch = case
    table = batch.to_arrow()
    assert table.column_names == [name for name, _ in HEADER_FIELDS[reader_type]] + ["data"]
    assert table.schema.metadata == {b"vesk.format": reader_type.encode()}
    assert table.schema.field("data").type == data_type(reader_type, SHAPES.get((reader_type, shape)))
    assert_same(reader_type, events, *arrow_parts(reader_type, events, table))


@pytest.mark.parametrize("list_type", ["large_list", "fixed_size_list"])
def test_one_list_type_is_given_when_asked(case, list_type):
    reader_type, shape, events, batch = case
    wanted = None if list_type == "large_list" else SHAPES.get((reader_type, shape))
    if list_type == "fixed_size_list" and wanted is None:
        for convert in (batch.to_arrow, batch.to_pandas):
            with pytest.raises(ValueError, match="events of one shape"):
                convert(list_type=list_type)
        return
    table = batch.to_arrow(list_type=list_type)
    assert table.schema.field("data").type == data_type(reader_type, wanted)
    assert_same(reader_type, events, *arrow_parts(reader_type, events, table))
    frame = batch.to_pandas(list_type=list_type)
    assert frame["data"].dtype == pd.ArrowDtype(table.schema.field("data").type)
    if list_type == "large_list":  # the schema known before reading is the batches' own
        assert table.schema.equals(vesk_arrays.schema(reader_type), check_metadata=True)


@pytest.mark.parametrize(
    "call",
    [
        lambda: vesk_arrays.schema("WD1", layout="single-channel"),
        lambda: vesk_arrays.schema("WD2", list_type="fixed_size_list"),
        lambda: vesk_arrays.schema("WD3"),
        lambda: vesk_arrays.Batch.empty("WD1").to_arrow(list_type="list"),
    ],
)
def test_a_list_type_or_schema_that_cannot_be_is_refused(call):
    with pytest.raises(ValueError):
        call()


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
def test_events_without_samples_are_a_large_list(write, reader_type):
    if reader_type == "WD1":
        data = wd1_event(()) * 3
    else:
        data = b"".join(wd2_event((), counter=i, samples=0, channels=2) for i in range(3))
    table = vesk_arrays.read(write(data), reader_type).to_arrow()
    assert table.schema.field("data").type == data_type(reader_type, None)
    assert table.column("data").to_pylist() == ([[]] * 3 if reader_type == "WD1" else [[[], []]] * 3)


def test_arrow_shares_the_samples_and_offsets(case):
    reader_type, shape, _, batch = case
    data = batch.to_arrow().column("data").chunk(0)
    values = data.values.values if reader_type == "WD2" else data.values
    assert values.buffers()[1].address == batch["data"].ctypes.data
    if shape == "ragged" and reader_type == "WD1":
        assert data.buffers()[1].address == batch.offsets.ctypes.data


def test_pandas_frame_holds_the_events(case):
    reader_type, _, events, batch = case
    frame = batch.to_pandas()
    assert list(frame.columns) == [name for name, _ in HEADER_FIELDS[reader_type]] + ["data"]
    assert frame["data"].dtype == pd.ArrowDtype(data_type(reader_type, None))
    chunks = pa.chunked_array(pa.array(frame["data"])).chunks
    assert len(chunks) == 1
    values = chunks[0].values.values if reader_type == "WD2" else chunks[0].values
    assert values.buffers()[1].address == batch["data"].ctypes.data
    columns = {name: frame[name].to_numpy() for name, _ in HEADER_FIELDS[reader_type]}
    assert_same(reader_type, events, columns, *data_parts(reader_type, events, chunks[0]))


def test_awkward_array_holds_the_events(case):
    reader_type, shape, events, batch = case
    array = batch.to_awkward()
    assert array.fields == [name for name, _ in HEADER_FIELDS[reader_type]] + ["data"]
    dims = SHAPES.get((reader_type, shape)) or ["var"] * (1 if reader_type == "WD1" else 2)
    assert f"data: {' * '.join(map(str, dims))} * {SAMPLE_DTYPES[reader_type]}" in str(array.type)
    samples = ak.to_numpy(ak.flatten(array["data"], axis=None))
    assert np.shares_memory(samples, batch["data"])
    columns = {name: ak.to_numpy(array[name]) for name, _ in HEADER_FIELDS[reader_type]}
    assert_same(reader_type, events, columns, [len(e["data"]) for e in events], samples)
    if reader_type == "WD2":  # each event's channels, each of its samples per channel
        assert ak.to_list(ak.num(array["data"], axis=2)) == [
            [e["samples"]] * (len(e["data"]) // e["samples"] if e["samples"] else e["channels"])
            for e in events
        ]


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("method", ["to_arrow", "to_pandas", "to_awkward"])
def test_an_empty_batch_converts(reader_type, method):
    converted = getattr(vesk_arrays.Batch.empty(reader_type), method)()
    assert len(converted) == 0
    names = [name for name, _ in HEADER_FIELDS[reader_type]] + ["data"]
    assert (
        list(
            converted.fields
            if method == "to_awkward"
            else converted.column_names
            if method == "to_arrow"
            else converted.columns
        )
        == names
    )


@pytest.mark.parametrize(
    "call, module, extra",
    [
        (lambda batch: batch.to_arrow(), "pyarrow", "arrow"),
        (lambda batch: batch.to_pandas(), "pandas", "pandas"),
        (lambda batch: batch.to_pandas(), "pyarrow", "pandas"),
        (lambda batch: batch.to_awkward(), "awkward", "awkward"),
        (lambda batch: vesk_arrays.to_parquet([], "WD1", "unused.parquet"), "pyarrow.parquet", "arrow"),
        (lambda batch: vesk_arrays.read([], "WD1", progress=True), "tqdm", "cli"),
        (lambda batch: vesk_arrays.iterate([], "WD1", progress=True), "tqdm", "cli"),
    ],
    ids=["arrow", "pandas", "pandas-pyarrow", "awkward", "parquet", "read-progress", "iterate-progress"],
)
def test_a_missing_package_names_its_extra(monkeypatch, call, module, extra):
    monkeypatch.setitem(sys.modules, module, None)  # makes `import module` fail
    with pytest.raises(ImportError, match=re.escape(f'pip install "vesk[{extra}]"')):
        call(vesk_arrays.Batch.empty("WD1"))


def test_a_batch_is_a_table_of_events_not_a_mapping(case):
    reader_type, _, events, batch = case
    names = [name for name, _ in HEADER_FIELDS[reader_type]] + ["data"]
    assert (len(batch), list(batch.keys()), list(batch)) == (len(events), names, names)
    assert len(batch.keys()) == len(names)
    assert "data" in batch and "nothing" not in batch and not isinstance(batch, Mapping)
    assert batch == batch and batch != vesk_arrays.Batch.empty(reader_type)  # never raises


@pytest.mark.parametrize("offsets", [[0, 10**9, 4], [0, 3, 2, 4], [0, -1, 4]])
def test_a_batch_refuses_offsets_that_decrease_or_leave_the_samples(offsets):
    columns = {name: np.zeros(len(offsets) - 1, dtype) for name, dtype in HEADER_FIELDS["WD1"]}
    columns["data"] = np.zeros(4, np.uint16)
    with pytest.raises(ValueError, match="offsets"):
        vesk_arrays.Batch("WD1", columns, offsets)


# -- Parquet ----------------------------------------------------------------------------------


@pytest.fixture(
    params=[
        ("WD1", "uniform", "ragged"),
        ("WD2", "uniform", "ragged", "uniform"),
        ("WD2", "uniform", "uniform"),
    ],
    ids=["WD1", "WD2", "WD2-one-shape"],
)
def many_files(request, write):
    """(reader_type, paths, all their events in order): files of one format."""
    reader_type, *shapes = request.param
    paths = [write(FILES[reader_type, shape]) for shape in shapes]
    events = [event for path in paths for event in vesk.EventReader(path, reader_type)]
    return reader_type, paths, events


@pytest.mark.parametrize("step_size", [1, 3, "64 MiB"])
def test_parquet_reads_back_the_events(tmp_path, many_files, step_size):
    reader_type, paths, events = many_files
    destination = tmp_path / "out.parquet"
    assert vesk_arrays.to_parquet(paths, reader_type, destination, step_size=step_size) == len(events)

    batches = list(vesk_arrays.iterate(paths, reader_type, step_size=step_size))
    metadata = pq.ParquetFile(destination).metadata
    assert [metadata.row_group(i).num_rows for i in range(metadata.num_row_groups)] == list(map(len, batches))
    assert metadata.row_group(0).column(0).compression == "ZSTD"

    # One schema, known before the first batch, whichever batches came first.
    table = pq.read_table(destination)
    assert table.schema.equals(vesk_arrays.schema(reader_type), check_metadata=True)
    assert_same(reader_type, events, *arrow_parts(reader_type, events, table))

    frame = pd.read_parquet(destination)
    # Read as NumPy objects the samples' NaNs would turn into nulls; as Arrow they stay bits.
    data = pd.read_parquet(destination, columns=["data"], dtype_backend="pyarrow")["data"]
    assert data.dtype == pd.ArrowDtype(table.schema.field("data").type)
    columns = {name: frame[name].to_numpy() for name, _ in HEADER_FIELDS[reader_type]}
    assert_same(reader_type, events, columns, *data_parts(reader_type, events, pa.array(data)))


@pytest.mark.parametrize("reader_type, size", [("WD1", 8), ("WD2", 15)])
def test_a_stream_with_one_odd_event_is_written_once(tmp_path, monkeypatch, write, reader_type, size):
    lengths = [size, size, size, size - 3, size]
    path = write(file_bytes(reader_type, [{"data": np.arange(n), "channels": 3} for n in lengths]))
    expected = vesk_arrays.read(path, reader_type).to_arrow(list_type="large_list")
    # The loop users write by hand: every batch fits the one writer's schema.
    with pq.ParquetWriter(tmp_path / "loop.parquet", vesk_arrays.schema(reader_type)) as writer:
        for batch in vesk_arrays.iterate(path, reader_type, step_size=2):
            writer.write_table(batch.to_arrow(list_type="large_list"))
    assert pq.read_table(tmp_path / "loop.parquet").equals(expected)

    written = []

    class Writer(pq.ParquetWriter):
        def write_table(self, table, *args, **kwargs):
            written.append(table.num_rows)
            super().write_table(table, *args, **kwargs)

    monkeypatch.setattr(pq, "ParquetWriter", Writer)
    vesk_arrays.to_parquet(path, reader_type, tmp_path / "out.parquet", step_size=2)
    assert written == [2, 2, 1]  # each batch once, none written again
    assert pq.read_table(tmp_path / "out.parquet").equals(expected)


def test_parquet_compression_is_passed_on(tmp_path, many_files):
    reader_type, paths, _ = many_files
    vesk_arrays.to_parquet(paths, reader_type, tmp_path / "out.parquet", compression="snappy")
    assert pq.ParquetFile(tmp_path / "out.parquet").metadata.row_group(0).column(0).compression == "SNAPPY"


def test_parquet_of_no_events_has_the_schema(tmp_path, write):
    destination = tmp_path / "out.parquet"
    assert vesk_arrays.to_parquet([write(b"")], "WD1", destination) == 0
    table = pq.read_table(destination)
    assert table.num_rows == 0
    assert table.column_names == [name for name, _ in HEADER_FIELDS["WD1"]] + ["data"]


@pytest.mark.parametrize("existing", [None, b"kept"])
@pytest.mark.parametrize(
    "bad, error",
    [
        (wd1_event([1]) + wd1_event(event_size=22), vesk_arrays.DamagedEventError),
        (None, FileNotFoundError),
        ("interrupt", KeyboardInterrupt),  # Ctrl-C while the second batch is written
    ],
    ids=["damaged", "missing", "interrupted"],
)
def test_a_failed_conversion_leaves_no_file_and_keeps_the_old_one(
    tmp_path, monkeypatch, write, bad, error, existing
):
    good = write(FILES["WD1", "uniform"])
    if bad == "interrupt":
        tables = [vesk_arrays._parquet.arrow_table]

        def first_then_ctrl_c(*args):
            if not tables:
                raise KeyboardInterrupt
            return tables.pop()(*args)

        monkeypatch.setattr(vesk_arrays._parquet, "arrow_table", first_then_ctrl_c)
    bad = write(bad) if isinstance(bad, bytes) else str(tmp_path / "missing.wd1")
    destination = tmp_path / "out.parquet"
    if existing:
        destination.write_bytes(existing)
    before = sorted(os.listdir(tmp_path))
    with pytest.raises(error):
        vesk_arrays.to_parquet([good, bad], "WD1", destination, step_size=1)
    assert sorted(os.listdir(tmp_path)) == before
    assert not existing or destination.read_bytes() == existing


def test_a_conversion_onto_one_of_its_inputs_is_refused(tmp_path, write):
    path = write(FILES["WD1", "uniform"], "run.wd1")
    os.link(path, tmp_path / "same.wd1")
    for inputs, destination in [(path, path), (str(tmp_path / "*.wd1"), tmp_path / "same.wd1")]:
        with pytest.raises(ValueError, match="would replace the input"):
            vesk_arrays.to_parquet(inputs, "WD1", destination)
    assert pathlib.Path(path).read_bytes() == FILES["WD1", "uniform"]


def test_parquet_skips_damaged_events_when_asked_and_writes_to_a_file_object(write):
    damaged = write(wd1_event([1]) + wd1_event(event_size=22) + wd1_event([2], event_counter=9))
    uniform = write(FILES["WD1", "uniform"])
    out = io.BytesIO()
    with pytest.warns(vesk_arrays.DamagedEventWarning):
        assert vesk_arrays.to_parquet([uniform, damaged], "WD1", out, errors="skip", source=True) == 7
    table = pq.read_table(out)
    assert table.column("event_counter").to_pylist()[-2:] == [0, 9]
    # The source columns of vesk_arrays.dask.read(source=True): each event's file and index there.
    assert table.schema.field("path").type == pa.string() and table.column_names[:2] == ["path", "event"]
    assert table.column("path").to_pylist() == [os.path.abspath(uniform)] * 5 + [os.path.abspath(damaged)] * 2
    assert table.column("event").to_pylist() == [0, 1, 2, 3, 4, 0, 2]
    with pytest.raises(ValueError):
        vesk_arrays.to_parquet(damaged, "WD1", io.BytesIO(), layout="single-channel")  # WD1 has one layout


def test_parquet_progress_counts_the_events(tmp_path, capsys, many_files):
    reader_type, paths, events = many_files
    vesk_arrays.to_parquet(paths, reader_type, tmp_path / "out.parquet", step_size=2, progress=True)
    assert f"{len(events)}/{len(events)}" in capsys.readouterr().err


@pytest.mark.skipif(
    "columns" not in inspect.signature(vesk_arrays.iterate).parameters,
    reason="iterate(columns=) not there yet",
)
@pytest.mark.parametrize("columns", [["event_counter"], ["samples", "channels", "data"]])
def test_parquet_keeps_the_columns_asked_for(tmp_path, write, columns):
    path = write(FILES["WD2", "ragged"])
    vesk_arrays.to_parquet(path, "WD2", tmp_path / "out.parquet", columns=columns)
    table = pq.read_table(tmp_path / "out.parquet")
    assert table.schema == vesk_arrays.read(path, "WD2").to_arrow().select(columns).schema


@pytest.mark.parametrize("how", ["read", "parquet", "dask"])
@pytest.mark.filterwarnings("ignore::vesk_arrays.DamagedEventWarning")
def test_event_indices_stay_right_past_a_thousand_damaged_events(tmp_path, how):
    # Every fourth header damaged: 3300 good events and 1100 damaged ones, in one batch.
    rng = np.random.default_rng(0)
    path = tmp_path / "dense.wd1"
    path.write_bytes(
        b"".join(
            wd1_event(
                rng.integers(0, 4096, 8), event_size=-4 if i % 4 == 3 else None, board_id=5, event_counter=i
            )
            for i in range(4400)
        )
    )
    expected = [i for i in range(4400) if i % 4 != 3]
    if how == "read":  # found when asked for, also of a part of the batch, or of a copy
        batch = vesk_arrays.read(path, "WD1", errors="skip")
        assert batch[5:9].event_index.tolist() == expected[5:9]
        assert batch[[0, 3000]].event_index.tolist() == [expected[0], expected[3000]]
        got = pickle.loads(pickle.dumps(batch)).event_index.tolist()
    elif how == "parquet":
        vesk_arrays.to_parquet(path, "WD1", tmp_path / "out.parquet", errors="skip", source=True)
        got = pq.read_table(tmp_path / "out.parquet").column("event").to_pylist()
    else:
        vdask = pytest.importorskip("vesk_arrays.dask")
        got = vdask.read(path, "WD1", errors="skip", source=True).compute(scheduler="sync")["event"].tolist()
    assert got == expected

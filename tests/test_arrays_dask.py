"""vesk_arrays.dask: partition planning, and the DataFrame against a serial iterate."""

import os
import warnings
from operator import methodcaller

import numpy as np
import pytest

import vesk_arrays
import vesk_arrays.dask as vdask
from vesk_arrays._batch import HEADER_FIELDS
from wdfiles import wd1_event, wd2_event

pd = pytest.importorskip("pandas", reason="vesk_arrays.dask needs vesk[dask]")
pa = pytest.importorskip("pyarrow", reason="vesk_arrays.dask needs vesk[dask]")
distributed = pytest.importorskip("dask.distributed", reason="vesk_arrays.dask needs vesk[dask]")
Client, LocalCluster = distributed.Client, distributed.LocalCluster


def write_runs(folder, reader_type, count, events=12, seed=0):
    """count files of random events, run000... in order; their paths."""
    rng = np.random.default_rng(seed)
    paths = []
    for number in range(count):
        path = os.path.join(folder, f"run{number:03d}.{reader_type.lower()}")
        n = int(rng.integers(events // 2, events + 1))
        if reader_type == "WD1":
            data = b"".join(
                wd1_event(rng.integers(0, 4096, int(rng.integers(0, 30))), event_counter=i, board_id=number)
                for i in range(n)
            )
        else:
            samples = int(rng.integers(1, 10))
            data = b"".join(
                wd2_event(
                    rng.normal(size=2 * samples),
                    counter=i,
                    timestamp=2**40 + number,
                    samples=samples,
                    channels=2,
                )
                for i in range(n)
            )
        with open(path, "wb") as f:
            f.write(data)
        paths.append(path)
    return paths


def covered(partitions, path):
    """The event ranges of one file, in partition order."""
    return [(start, stop) for pieces in partitions for p, start, stop in pieces if p == path]


def test_small_files_share_partitions(tmp_path):
    paths = write_runs(tmp_path, "WD1", 20)
    step = 3 * max(os.path.getsize(p) for p in paths)
    partitions = vdask.plan_partitions(f"{tmp_path}/*.wd1", "WD1", step_size=f"{step} B")
    assert all(len(pieces) >= 3 for pieces in partitions[:-1])  # each file is at most a third of a step
    assert [p for pieces in partitions for p, _, _ in pieces] == paths  # each once, in order
    assert all(stop is None and start == 0 for pieces in partitions for _, start, stop in pieces)
    assert all(sum(os.path.getsize(p) for p, _, _ in pieces) <= step for pieces in partitions)


def test_a_large_file_is_split_into_event_ranges(tmp_path):
    small, large = write_runs(tmp_path, "WD1", 1)[0], str(tmp_path / "large.wd1")
    with open(large, "wb") as f:
        f.write(b"".join(wd1_event(np.arange(100), event_counter=i) for i in range(40)))  # 224 bytes each
    partitions = vdask.plan_partitions([small, large], "WD1", step_size="1 kB")
    assert partitions[0] == ((small, 0, None),)
    ranges = covered(partitions, large)
    assert len(ranges) == 9  # 8960 bytes in steps of 1000
    assert ranges[0][0] == 0 and ranges[-1][1] is None  # the last part reads to the end
    assert all(a[1] == b[0] for a, b in zip(ranges, ranges[1:]))


def test_a_step_in_events_packs_exactly(tmp_path):
    paths = write_runs(tmp_path, "WD2", 5)
    counts = [vesk_arrays.num_events(p, "WD2") for p in paths]
    partitions = vdask.plan_partitions(paths, "WD2", step_size=7)
    sizes = [
        sum((stop if stop is not None else counts[paths.index(p)]) - start for p, start, stop in pieces)
        for pieces in partitions
    ]
    assert sizes[:-1] == [7] * (len(sizes) - 1) and 0 < sizes[-1] <= 7
    assert sum(sizes) == sum(counts)


def needs_awkward(library):
    if library == "ak":
        pytest.importorskip("dask_awkward", reason='read(library="ak") needs vesk[dask-awkward]')


COLLECTIONS = {
    "pd": lambda paths, *args, **options: vdask.read(paths, *args, **options),
    "ak": lambda paths, *args, **options: vdask.read(paths, *args, library="ak", **options),
    "bag": lambda paths, *args, **options: vdask.map_batches(len, paths, *args, **options),
}


@pytest.mark.parametrize("library", COLLECTIONS)
def test_building_the_graph_reads_no_events(tmp_path, monkeypatch, library):
    needs_awkward(library)
    paths = write_runs(tmp_path, "WD1", 6)

    def no_reading(*args, **kwargs):
        raise AssertionError("read while the graph was built")

    monkeypatch.setattr(vdask, "_survey", no_reading)
    monkeypatch.setattr(vdask, "_read_piece", no_reading)
    collection = COLLECTIONS[library](paths, step_size="64 MiB")
    assert collection.npartitions == 1
    if library == "pd":
        assert list(collection.columns) == [name for name, _ in HEADER_FIELDS["WD1"]] + ["data"]


def serial_frame(paths, reader_type, **options):
    """What the Dask frame (with source columns) must hold, from a serial iterate."""
    parts = []
    for batch, report in vesk_arrays.iterate(paths, reader_type, report=True, **options):
        frame = batch.to_pandas()
        frame.insert(
            0, "path", pd.array([os.path.abspath(batch.path)] * len(batch), dtype=pd.ArrowDtype(pa.string()))
        )
        # Each event's index in its file: damaged events count.
        damaged = [d.index for d in report.damaged]
        indices = np.arange(batch.start, batch.stop, dtype=np.int64)
        frame.insert(1, "event", indices[~np.isin(indices, damaged)])
        parts.append(frame)
    return pd.concat(parts, ignore_index=True)


def assert_frames_equal(got, expected, meta):
    assert list(got.columns) == list(expected.columns) == list(meta.columns)
    assert list(got.dtypes) == list(meta.dtypes)
    assert len(got) == len(expected)
    for name in got.columns:
        if name == "data":
            for column in (got, expected):
                assert isinstance(column[name].dtype, pd.ArrowDtype)
            got_data = pa.chunked_array(pa.array(got[name])).combine_chunks()
            want_data = pa.chunked_array(pa.array(expected[name])).combine_chunks()
            while pa.types.is_large_list(got_data.type):  # WD2: lists of channels, each of samples
                assert got_data.value_lengths().to_pylist() == want_data.value_lengths().to_pylist()
                got_data, want_data = got_data.flatten(), want_data.flatten()
            bits = f"u{got_data.type.bit_width // 8}"
            np.testing.assert_array_equal(got_data.to_numpy().view(bits), want_data.to_numpy().view(bits))
        else:
            np.testing.assert_array_equal(got[name].to_numpy(), expected[name].to_numpy(), err_msg=name)


@pytest.fixture(scope="module")
def threads_client():
    with (
        LocalCluster(n_workers=1, threads_per_worker=2, processes=False, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("reader_type", ["WD1", "WD2"])
@pytest.mark.parametrize("step_size", [5, "300 B", "64 MiB"])
def test_frame_equals_a_serial_iteration(tmp_path, threads_client, reader_type, step_size):
    paths = write_runs(tmp_path, reader_type, 7, seed=len(str(step_size)))
    frame = vdask.read(f"{tmp_path}/run*", reader_type, step_size=step_size, source=True)
    if step_size == "64 MiB":
        assert frame.npartitions == 1
    else:
        assert 1 < frame.npartitions
    got = threads_client.compute(frame).result()
    assert_frames_equal(got, serial_frame(paths, reader_type), frame._meta)


@pytest.fixture(scope="module")
def processes_client():
    with (
        LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=":0") as cluster,
        Client(cluster) as client,
    ):
        yield client


@pytest.mark.parametrize("kind", ["frame", "ak", "map_batches", "map_batches frames"])
def test_worker_processes_read_what_a_serial_iteration_does(tmp_path, processes_client, kind):
    needs_awkward("ak" if kind == "ak" else "pd")
    paths = write_runs(tmp_path, "WD2", 6, events=40, seed=9)
    expected = serial_frame(paths, "WD2")
    batches = list(vesk_arrays.iterate(paths))
    if kind == "frame":
        frame = vdask.read(paths, "WD2", step_size=25, source=True)
        assert_frames_equal(processes_client.compute(frame).result(), expected, frame._meta)
        assert processes_client.compute(frame["samples"].sum()).result() == expected["samples"].sum()
    elif kind == "ak":
        ak = pytest.importorskip("awkward")
        array = vdask.read(paths, step_size=25, source=True, library="ak")
        got = processes_client.compute(array).result()
        assert ak.to_list(got.path) == expected["path"].tolist()
        for name in ("event", "event_counter", "timestamp", "samples"):
            np.testing.assert_array_equal(ak.to_numpy(got[name]), expected[name].to_numpy(), err_msg=name)
        data = np.concatenate([batch["data"] for batch in batches])
        np.testing.assert_array_equal(ak.to_numpy(ak.flatten(got.data, axis=None)), data)
        assert ak.to_list(ak.num(got.data, axis=2)) == [[s, s] for s in expected["samples"]]
    elif kind == "map_batches":
        # Each task hands its batches to the function: here the maximum of each channel.
        maxima = vdask.map_batches(methodcaller("reduce", "max"), f"{tmp_path}/*.wd2", step_size=25)
        got = processes_client.compute(maxima).result()
        np.testing.assert_array_equal(np.concatenate(got), np.concatenate([b.reduce("max") for b in batches]))
    else:
        meta = vesk_arrays.Batch.empty("WD2").to_pandas()
        frame = vdask.map_batches(methodcaller("to_pandas"), paths, step_size=25, meta=meta)
        assert 1 < frame.npartitions
        got = processes_client.compute(frame).result().reset_index(drop=True)
        assert_frames_equal(got, expected.drop(columns=["path", "event"]), meta)


@pytest.mark.parametrize("library", COLLECTIONS)
def test_damage_is_warned_of_once_per_file_when_the_graph_is_built(tmp_path, library):
    needs_awkward(library)
    paths = write_runs(tmp_path, "WD1", 3)
    for number, damaged in ((0, 1), (2, 2)):
        with open(paths[number], "ab") as f:  # damaged events, each followed by a good one
            good = wd1_event([1, 2], event_counter=99, board_id=number)
            f.write((wd1_event(event_size=22) + good) * damaged)
    with pytest.warns(vesk_arrays.DamagedEventWarning) as caught:
        # A file split among partitions, and one named twice, is warned of once.
        collection = COLLECTIONS[library]([*paths, paths[2]], "WD1", step_size=4, errors="skip")
    assert sorted(str(w.message).split(" (")[0] for w in caught) == [
        f"{paths[0]}: skipped 1 damaged event",
        f"{paths[2]}: skipped 2 damaged events",
    ]
    with warnings.catch_warnings():
        warnings.simplefilter(
            "error", vesk_arrays.DamagedEventWarning
        )  # none from the tasks, however often computed
        for _ in range(2):
            got = collection.compute(scheduler="sync")
    assert (sum(got) if library == "bag" else len(got)) == vesk_arrays.num_events([*paths, paths[2]])
    with pytest.raises(vesk_arrays.DamagedEventError):
        COLLECTIONS[library](paths, "WD1", step_size=4).compute(scheduler="sync")


@pytest.mark.parametrize("library", ["pd", "ak"])
def test_progress_shows_dasks_bar_for_what_asked_for_it(tmp_path, capsys, library):
    needs_awkward(library)
    paths = write_runs(tmp_path, "WD1", 2)
    shown = vdask.read(paths, step_size=4, library=library, progress=True)
    vdask.read(paths, step_size=4, library=library).compute(scheduler="sync")
    assert "Completed" not in capsys.readouterr().err
    shown["timestamp"].compute(scheduler="sync")
    assert "100% Completed" in capsys.readouterr().err


def test_the_layout_is_passed_to_every_reader(tmp_path):
    paths = write_runs(tmp_path, "WD2", 3)  # multi-channel headers, read here as single-channel ones
    with pytest.raises(ValueError, match="layout"):
        vdask.read(paths, "WD1", layout="multi-channel")
    frame = vdask.read(paths, "WD2", step_size=4, errors="skip", source=True, layout="single-channel")
    with warnings.catch_warnings():
        warnings.simplefilter("ignore", vesk_arrays.DamagedEventWarning)
        got = frame.compute(scheduler="sync")
        expected = serial_frame(paths, "WD2", errors="skip", layout="single-channel")
    assert_frames_equal(got, expected, frame._meta)
    assert len(got) != len(serial_frame(paths, "WD2"))


def test_a_missing_file_raises_when_the_graph_is_built(tmp_path):
    with pytest.raises(FileNotFoundError):
        vdask.read([str(tmp_path / "missing.wd1")], "WD1")


def test_no_files_give_an_empty_frame():
    frame = vdask.read([], "WD2", source=True)
    got = frame.compute(scheduler="sync")
    assert len(got) == 0 and list(got.dtypes) == list(frame._meta.dtypes)


def test_start_stop_and_columns_apply_to_each_file(tmp_path, threads_client):
    paths = write_runs(tmp_path, "WD2", 4, seed=3)
    frame = vdask.read(paths, "WD2", step_size="300 B", source=True, start=3, stop=8)
    got = threads_client.compute(frame).result()
    assert_frames_equal(got, serial_frame(paths, "WD2", start=3, stop=8), frame._meta)
    for projected in (
        frame[["event", "timestamp"]],
        vdask.read(paths, "WD2", columns=["timestamp"], start=3, stop=8),
    ):
        part = threads_client.compute(projected).result()
        assert part["timestamp"].tolist() == got["timestamp"].tolist()


@pytest.mark.parametrize("library", ["pd", "ak"])
def test_worker_processes_read_from_an_s3_server(tmp_path, s3, processes_client, library):
    needs_awkward(library)
    fs, options, bucket = s3
    paths = write_runs(tmp_path, "WD1", 3, events=30, seed=4)
    for path in paths:
        fs.put(str(path), f"{bucket}/{os.path.basename(path)}")
    # The workers were started before this test's environment: the credentials go with the options.
    options = {**options, "key": "testing", "secret": "testing"}
    collection = vdask.read(f"s3://{bucket}/*.wd1", step_size=40, library=library, storage_options=options)
    got = processes_client.compute(collection).result()
    expected = serial_frame(paths, "WD1")
    np.testing.assert_array_equal(np.asarray(got["event_counter"]), expected["event_counter"].to_numpy())
    maximum = methodcaller("reduce", "max", empty=0)
    maxima = vdask.map_batches(maximum, f"s3://{bucket}/*.wd1", storage_options=options)
    np.testing.assert_array_equal(
        np.concatenate(processes_client.compute(maxima).result()),
        np.concatenate([maximum(b) for b in vesk_arrays.iterate(paths)]),
    )

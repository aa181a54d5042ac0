"""iterate over many files, its reports, errors="skip", and num_events."""

import bz2
import dataclasses
import gzip
import io
import os
import pathlib

import numpy as np
import pytest

import vesk
import vesk_arrays
from wdfiles import wd1_event

DAMAGED = wd1_event(event_size=22)  # a header whose length no memory could represent


def wd1_file(lengths, first_counter=0):
    return b"".join(
        wd1_event(np.arange(n) + i, event_counter=first_counter + i) for i, n in enumerate(lengths)
    )


def event_counters(batches):
    return [int(c) for batch in batches for c in batch["event_counter"]]


@pytest.fixture
def folder(tmp_path):
    """Files b, a, c (written in that order) of 3, 5 and 2 WD1 events, counters telling them apart."""
    for name, lengths, first in [("b", [1, 2, 3], 100), ("a", [4, 0, 4, 1, 9], 0), ("c", [7, 7], 200)]:
        (tmp_path / f"{name}.wd1").write_bytes(wd1_file(lengths, first))
    return tmp_path


A, B, C = [0, 1, 2, 3, 4], [100, 101, 102], [200, 201]


@pytest.mark.parametrize(
    "paths, counters",
    [
        ("{}/*.wd1", A + B + C),
        ("{}/[cb].wd1", B + C),
        (["{}/c.wd1", "{}/a*.wd1", pathlib.Path("{}/b.wd1")], C + A + B),
        (pathlib.Path("{}/b.wd1"), B),
        ([], []),
    ],
    ids=["glob", "glob-class", "list", "pathlike", "none"],
)
def test_files_are_read_in_order(folder, paths, counters):
    def place(path):
        return type(path)(str(path).format(folder))

    paths = [place(p) for p in paths] if isinstance(paths, list) else place(paths)
    assert event_counters(vesk_arrays.iterate(paths, "WD1")) == counters


@pytest.mark.parametrize("start, stop", [(0, None), (1, 3)])
def test_read_of_many_files_is_iterate_s_events_joined_with_their_files(folder, capsys, start, stop):
    paths = [folder / "c.wd1", f"{folder}/[ab].wd1"]
    batches = list(vesk_arrays.iterate(paths, start=start, stop=stop))
    batch = vesk_arrays.read(paths, start=start, stop=stop, progress=True)
    assert f"{len(batch)}/{len(batch)}" in capsys.readouterr().err
    assert batch["event_counter"].tolist() == event_counters(batches)
    assert batch.files == tuple(dict.fromkeys(b.path for b in batches)) and batch.path is None
    assert [batch.files[i] for i in batch.file_index] == [b.path for b in batches for _ in range(len(b))]
    # The joined batch holds its file index and event indices besides the parts' arrays, and
    # one offsets array (one entry more than its events) where they held one each.
    held = batch.file_index.nbytes + batch.event_index.nbytes - 8 * (len(batches) - 1)
    assert batch.nbytes == sum(b.nbytes for b in batches) + held
    assert batch.event_index.tolist() == [int(i) for b in batches for i in b.event_index]
    backwards = batch[::-1]
    assert backwards.files == batch.files and (backwards.file_index == batch.file_index[::-1]).all()
    assert sum(map(len, vesk_arrays.iterate(paths, start=start, stop=stop, progress=True))) == len(batch)
    assert f"{len(batch)}/{len(batch)}" in capsys.readouterr().err


def test_read_of_many_files_names_the_file_of_each_problem(folder):
    (folder / "d.wd1").write_bytes(wd1_file([1]) + DAMAGED + wd1_file([2], 300))
    with pytest.raises(vesk_arrays.DamagedEventError) as raised:
        vesk_arrays.read(f"{folder}/*.wd1")
    assert raised.value.path == str(folder / "d.wd1")
    with pytest.warns(vesk_arrays.DamagedEventWarning, match="d.wd1"):
        batch = vesk_arrays.read(f"{folder}/*.wd1", errors="skip")
    assert event_counters([batch]) == A + B + C + [0, 300]
    with pytest.raises(FileNotFoundError, match="missing.wd1"):
        vesk_arrays.read([folder / "a.wd1", folder / "missing.wd1"], errors="skip")


@pytest.mark.parametrize("step_size", [1, 2, 4, 1000, "30 B", "100 B", "64 MiB"])
def test_batches_follow_the_step_and_never_span_files(folder, step_size):
    pairs = list(vesk_arrays.iterate(f"{folder}/*.wd1", "WD1", step_size=step_size, report=True))
    assert event_counters(batch for batch, _ in pairs) == A + B + C
    for batch, report in pairs:
        assert len({os.path.basename(batch.path)}) == 1
        assert report.path == batch.path
        if isinstance(step_size, int):
            assert len(batch) <= step_size
    for name in "abc":
        batches = [batch for batch, _ in pairs if batch.path.endswith(f"{name}.wd1")]
        expected = list(vesk.EventReader(str(folder / f"{name}.wd1"), "WD1"))
        got = [batch.event(i) for batch in batches for i in range(len(batch))]
        assert [e["data"].tolist() for e in got] == [e["data"].tolist() for e in expected]
        assert [e["timestamp"] for e in got] == [e["timestamp"] for e in expected]


def test_report_ranges_cover_files_and_rows_without_gaps(folder):
    pairs = list(vesk_arrays.iterate(f"{folder}/*.wd1", "WD1", step_size=2, report=True))
    reports = [report for _, report in pairs]
    assert all(report.ok for report in reports)
    assert [report.file_index for report in reports] == [0, 0, 0, 1, 1, 2]
    assert [(r.events.start, r.events.stop) for r in reports] == [
        (0, 2),
        (2, 4),
        (4, 5),
        (0, 2),
        (2, 3),
        (0, 2),
    ]
    assert [(r.rows.start, r.rows.stop) for r in reports] == [(0, 2), (2, 4), (4, 5), (5, 7), (7, 8), (8, 10)]
    assert all(batch.start == report.events.start for batch, report in pairs)
    with pytest.raises(dataclasses.FrozenInstanceError):
        reports[0].path = "elsewhere"


# The warnings are expected; the reports are the subject.
@pytest.mark.filterwarnings("ignore::vesk_arrays.DamagedEventWarning")
def test_skip_records_every_problem(tmp_path):
    (tmp_path / "1-good.wd1").write_bytes(wd1_file([3, 3]))
    # Damaged events inside a batch, and after the last good event.
    (tmp_path / "2-damaged.wd1").write_bytes(wd1_file([1]) + DAMAGED + wd1_file([2], 1) + DAMAGED)
    (tmp_path / "3-empty.wd1").write_bytes(b"")
    (tmp_path / "4-all-damaged.wd1").write_bytes(DAMAGED * 2)
    (tmp_path / "5-last.wd1").write_bytes(wd1_file([5], 50))
    missing = str(tmp_path / "0-missing.wd1")
    paths = [missing, f"{tmp_path}/[1-5]-*.wd1", f"{tmp_path}/nothing-*.wd1"]

    pairs = list(vesk_arrays.iterate(paths, "WD1", step_size=10, report=True, errors="skip"))
    reports = [report for _, report in pairs]
    names = [os.path.basename(report.path) for report in reports]
    assert names == [
        "0-missing.wd1",
        "1-good.wd1",
        "2-damaged.wd1",
        "3-empty.wd1",
        "4-all-damaged.wd1",
        "5-last.wd1",
        "nothing-*.wd1",
    ]
    assert [len(batch) for batch, _ in pairs] == [0, 2, 2, 0, 0, 1, 0]
    assert event_counters(batch for batch, _ in pairs) == [0, 1, 0, 1, 50]

    for index in (0, 6):  # the missing file, and the pattern that matched nothing
        assert isinstance(reports[index].error, FileNotFoundError)
        assert reports[index].path in str(reports[index].error)
    damaged = reports[2].damaged
    assert [(d.path, d.index) for d in damaged] == [(reports[2].path, 1), (reports[2].path, 3)]
    assert all(isinstance(d, vesk_arrays.DamagedEventError) and d.reason for d in damaged)
    assert reports[2].events == range(0, 4)
    # Back-to-back damaged headers with nothing good after them: one damaged stretch.
    assert [(d.index, d.skipped, d.resume_at) for d in reports[4].damaged] == [(0, (0, 48), None)]
    assert reports[4].skipped == ((0, 48),)
    assert [r.ok for r in reports] == [False, True, False, True, False, True, False]
    assert reports[-1].rows == range(5, 5)


def test_raise_stops_at_the_first_problem(tmp_path):
    good = tmp_path / "a.wd1"
    good.write_bytes(wd1_file([2, 2]))
    iterator = vesk_arrays.iterate([good, tmp_path / "missing.wd1", good], "WD1")
    assert len(next(iterator)) == 2  # files before a bad one are read
    with pytest.raises(FileNotFoundError, match="missing.wd1"):
        next(iterator)

    (tmp_path / "b.wd1").write_bytes(wd1_file([2]) + DAMAGED + wd1_file([2]))
    iterator = vesk_arrays.iterate(tmp_path / "b.wd1", "WD1")
    assert len(next(iterator)) == 1
    with pytest.raises(vesk_arrays.DamagedEventError) as raised:
        next(iterator)
    assert raised.value.index == 1


@pytest.mark.parametrize(
    "arguments, error",
    [
        ((b"file.wd1", "WD1"), TypeError),
        ((3, "WD1"), TypeError),
        ((["a.wd1", None], "WD1"), TypeError),
        (("a.wd1", "wd1"), ValueError),
        (("a.wd1", "WD1", {"errors": "ignore"}), ValueError),
        (("a.wd1", "WD1", {"step_size": 0}), ValueError),
        (("a.wd1", "WD1", {"step_size": "lots"}), ValueError),
    ],
)
def test_bad_arguments_raise_at_the_call(arguments, error):
    *positional, keywords = arguments if isinstance(arguments[-1], dict) else (*arguments, {})
    with pytest.raises(error):
        vesk_arrays.iterate(*positional, **keywords)


@pytest.mark.parametrize(
    "data, good",
    [
        (DAMAGED, 0),
        (wd1_file([3]) + DAMAGED, 1),
        (DAMAGED + wd1_file([3, 1]) + DAMAGED + DAMAGED + wd1_file([2]), 3),
    ],
    ids=["only-damaged", "damaged-last", "mixed"],
)
def test_num_events_counts_the_good_events_of_a_damaged_file(write, data, good):
    path = write(data)
    with pytest.warns(vesk_arrays.DamagedEventWarning):
        skipped = sum(len(batch) for batch in vesk_arrays.iterate(path, "WD1", errors="skip"))
    assert vesk_arrays.num_events(path, "WD1") == skipped == good


def test_num_events_of_a_missing_file_raises(tmp_path):
    with pytest.raises(FileNotFoundError, match="missing.wd1"):
        vesk_arrays.num_events(tmp_path / "missing.wd1", "WD1")


def test_an_existing_name_is_a_file_not_a_pattern(tmp_path):
    (tmp_path / "a[b].wd1").write_bytes(wd1_file([1], 7))
    (tmp_path / "ab.wd1").write_bytes(wd1_file([1], 9))
    names = [str(tmp_path / "a[b].wd1"), str(tmp_path / "ab.wd1")]
    assert event_counters(vesk_arrays.iterate(names, "WD1")) == [7, 9]
    assert vesk_arrays.num_events(names[0], "WD1") == 1


@pytest.mark.parametrize(
    "start, stop, wanted", [(np.int64(1), None, [1, 2]), (0, 2**70, [0, 1, 2]), (2**64, None, [])]
)
def test_counts_take_any_integer(write, start, stop, wanted):
    path = write(wd1_file([1, 1, 1]))
    assert vesk_arrays.read(path, "WD1", start=start, stop=stop)["event_counter"].tolist() == wanted
    with vesk_arrays.BatchReader(path, "WD1") as reader:
        assert len(reader.read(np.uint8(2))) == 2


def test_a_name_that_is_not_utf8_is_read(tmp_path):
    path = os.path.join(os.fsencode(tmp_path), b"caf\xe9.wd1")
    with open(path, "wb") as f:
        f.write(wd1_file([2]))
    assert len(vesk_arrays.read(os.fsdecode(path), "WD1")) == 1


def test_num_events_per_file_counts_in_the_order_read(folder):
    assert vesk_arrays.num_events([folder / "c.wd1", folder / "*.wd1"], per_file=True) == [2, 5, 3, 2]


@pytest.mark.parametrize(
    "suffix, pack", [(".wd1", bytes), (".WD1", bytes), (".wd1.gz", gzip.compress), (".wd1.bz2", bz2.compress)]
)
@pytest.mark.parametrize(
    "call",
    [
        lambda path: len(vesk_arrays.read(path)),
        lambda path: len(vesk_arrays.BatchReader(path).read(10)),
        lambda path: sum(map(len, vesk_arrays.iterate(path))),
        lambda path: vesk_arrays.num_events(path),
        lambda path: len(pytest.importorskip("vesk_arrays.dask").read(path).compute()),
    ],
)
def test_the_format_comes_from_the_extension(tmp_path, suffix, pack, call):
    path = tmp_path / f"run{suffix}"
    path.write_bytes(pack(wd1_file([1, 2, 3])))
    assert call(path) == 3


@pytest.mark.parametrize(
    "call, match",
    [
        (lambda f: vesk_arrays.read(f / "run.dat"), "'.*run.dat' from its name"),
        (lambda f: vesk_arrays.BatchReader(f / "run.gz"), "run.gz' from its name"),
        (lambda f: vesk_arrays.num_events([f / "a.wd1", f / "b.wd2"]), "different formats"),
        (lambda f: vesk_arrays.iterate([]), "without a path"),
        (lambda f: vesk_arrays.read(io.BytesIO()), "file object"),
    ],
)
def test_a_format_the_names_do_not_tell_is_asked_for(folder, call, match):
    with pytest.raises(ValueError, match=match):
        call(folder)

# Checked by mypy in CI: what a type checker infers for typical uses of vesk_arrays.
# Never run. A `# type: ignore[...]` marks a mistake the annotations must catch: with
# --strict an ignore that is no longer needed is itself an error.
import gzip
import io
import pathlib
import sys
import warnings
from collections.abc import Iterator
from typing import TYPE_CHECKING, Any, Literal

import numpy as np
from numpy.typing import NDArray
from typing_extensions import assert_type

import vesk_arrays
import vesk_arrays.dask
from vesk_arrays import Batch, BatchReader, DamagedEventError, DamagedEventWarning, Report

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event


def columns_of_a_slice(path: str) -> float:
    batch = vesk_arrays.read(path, "WD1", start=10, stop=20)
    assert_type(batch, "Batch[WD1Event]")
    assert_type(batch["data"], NDArray[np.uint16])
    assert_type(batch["board_id"], NDArray[np.int32])
    assert_type(batch.offsets, NDArray[np.int64])
    assert_type(batch.waveforms(), NDArray[np.uint16])
    assert_type(batch.waveforms(0, length=100, clip=True), NDArray[np.uint16])
    assert_type(batch.of_common_shape(), "Batch[WD1Event]")
    first = batch.event(0)
    assert_type(first, "WD1Event")
    samples: NDArray[np.uint16] = first["data"]
    print(samples[: first["event_size"]], batch.path, batch.start, batch.stop, len(batch), batch.nbytes)
    return float(batch["data"][batch.offsets[1] : batch.offsets[2]].mean())


def wd2_columns(path: pathlib.Path) -> NDArray[np.float64]:
    batch = vesk_arrays.read(path, "WD2", errors="skip")
    assert_type(batch["data"], NDArray[np.float32])
    assert_type(batch["timestamp"], NDArray[np.uint64])
    assert_type(batch["samples"], NDArray[np.uint32])
    assert_type(batch["channels"], NDArray[np.int32])
    waves = batch.waveforms()
    assert_type(waves, NDArray[np.float32])
    event = batch.event(np.int64(-1))
    assert_type(event, "WD2Event")
    wrong: NDArray[np.uint16] = batch["data"]  # type: ignore[assignment]
    print(wrong, batch["sampling_period"] * batch["samples"])
    means: NDArray[np.float64] = waves.mean(axis=2, dtype=np.float64)
    return means


def one_batch_of_many_files(folder: pathlib.Path) -> dict[str, int]:
    batch = vesk_arrays.read([folder / "a.wd2", f"{folder}/runs/*.wd2"], progress=True)
    assert_type(batch.files, tuple[str, ...])
    assert_type(batch.file_index, NDArray[np.intp])
    assert_type(batch.waveforms(np.nan), NDArray[np.uint16] | NDArray[np.float32])
    for part in vesk_arrays.iterate(folder, "WD2", progress=True):
        assert_type(part, "Batch[WD2Event]")
    return {name: int((batch.file_index == i).sum()) for i, name in enumerate(batch.files)}


def a_batch_is_a_mapping(batch: "Batch[WD1Event | WD2Event]") -> dict[str, int]:
    # A column not named in the annotations, and any column of a batch of either format.
    assert_type(batch["data"], NDArray[np.uint16] | NDArray[np.float32])
    assert_type(batch["event_counter"], NDArray[Any])
    assert_type(batch.format, Literal["WD1", "WD2"])
    assert_type(batch.waveforms(), NDArray[np.uint16] | NDArray[np.float32])
    sizes = {name: column.nbytes for name, column in batch.items()}
    missing = batch.get("no such column")
    print(missing is None, list(batch), "data" in batch)
    return sizes


def batches_are_covariant(wd1: "Batch[WD1Event]", wd2: "Batch[WD2Event]") -> None:
    a_batch_is_a_mapping(wd1)
    a_batch_is_a_mapping(wd2)
    keep: Batch[WD1Event] = wd2  # type: ignore[assignment]
    print(keep)


def format_from_the_command_line(path: str, kind: str) -> int:
    batch = vesk_arrays.read(path, kind)
    assert_type(batch, "Batch[WD1Event | WD2Event]")
    event = batch.event(0)
    wrong = event["channels"]  # type: ignore[typeddict-item]
    print(wrong)
    return event["event_counter"] + event["timestamp"]


def streaming(path: str) -> int:
    total = 0
    with BatchReader(path, "WD1", errors="skip") as reader:
        assert_type(reader, "BatchReader[WD1Event]")
        skipped: int = reader.skip(100)
        head = reader.read(10)
        assert_type(head, "Batch[WD1Event]")
        for batch in reader.batches("64 MiB"):
            assert_type(batch["data"], NDArray[np.uint16])
            total += len(batch)
        for batch in reader.batches(1000):
            total += len(batch)
        for damage in reader.damaged:
            print(f"event {damage.index} at byte {damage.offset}: {damage.reason}", damage.skipped)
        print(reader.skipped, reader.trailing_bytes, reader.damaged_count)
        print(skipped, reader.events_read, reader.position, reader.path, reader.format, reader.closed)
    return total


def parts_of_files(path: str, paths: list[str]) -> int:
    headers = vesk_arrays.read(path, "WD2", start=5, stop=np.int64(50), columns=["timestamp", "channels"])
    assert_type(headers, "Batch[WD2Event]")
    with BatchReader(path, "WD1", columns=("event_counter",), prefetch=0) as reader:
        names: tuple[str, ...] = reader.columns
        print(names, reader.read(10))
    rows = 0
    for batch, report in vesk_arrays.iterate(paths, "WD1", report=True, start=1, stop=100, prefetch="auto"):
        assert_type(batch, "Batch[WD1Event]")
        rows += len(report.rows)
    frame = vesk_arrays.dask.read(paths, "WD1", columns=["timestamp"])
    print(vesk_arrays.__version__.split("."))
    vesk_arrays.iterate(paths, "WD1", stop="end")  # type: ignore[call-overload]
    return rows + int(frame.npartitions)


def following_a_growing_file(path: str) -> Iterator["Batch[WD2Event]"]:
    reader = BatchReader(path, "WD2", follow=True, poll_interval=0.1, timeout=30)
    try:
        channels: int | None = reader.channel_count
        field: bool | None = reader.has_channel_field
        print(channels, field)
        yield from reader.batches(step_size=500)
    finally:
        reader.close()


def file_objects(payload: bytes, path: str) -> None:
    vesk_arrays.read(io.BytesIO(payload), "WD1")
    vesk_arrays.read(sys.stdin.buffer, "WD1")
    with gzip.open(path, "rb") as compressed:
        vesk_arrays.read(compressed, "WD2")
    with open(path, "rb") as plain, BatchReader(plain, "WD2") as reader:
        reader.read(1)
    vesk_arrays.read(path.encode(), "WD1")  # type: ignore[arg-type]
    vesk_arrays.read(io.StringIO(), "WD1")  # type: ignore[call-overload]


def mistakes_are_caught(path: str) -> None:
    vesk_arrays.read(path, "WD1", errors="ignore")  # type: ignore[call-overload]
    vesk_arrays.read(path, "WD1", 0, 10)  # type: ignore[call-overload]
    BatchReader(path, "WD1", timeout="never")  # type: ignore[call-overload]
    vesk_arrays.num_events(path, "WD1", "WD2")  # type: ignore[call-overload]


def many_files(folder: pathlib.Path) -> int:
    rows = 0
    for batch in vesk_arrays.iterate(folder / "*.wd1", "WD1", step_size="16 MiB"):
        assert_type(batch, "Batch[WD1Event]")
        rows += len(batch)
    for wd2_batch, report in vesk_arrays.iterate(
        [folder / "a.wd2", "b.wd2"], "WD2", report=True, errors="skip"
    ):
        assert_type(wd2_batch, "Batch[WD2Event]")
        assert_type(report, Report)
        if not report.ok:
            for damage in report.damaged:
                print(damage.path, damage.index, damage.offset, damage.reason)
            if isinstance(report.error, OSError):
                print(report.error.filename)
            print(report.skipped, report.trailing_bytes)
        print(report.path, report.file_index, report.events.start, report.rows.stop)
    assert_type(vesk_arrays.num_events(folder / "*.wd1", per_file=True), list[int])
    assert_type(vesk_arrays.read(folder / "a.wd1"), "Batch[WD1Event | WD2Event]")
    return rows + vesk_arrays.num_events(["a.wd1", folder / "b.wd1"], "WD1")


def report_chosen_at_run_time(paths: list[str], with_report: bool) -> None:
    stream = vesk_arrays.iterate(paths, "WD1", report=with_report)
    for item in stream:
        print(item)
    pairs = vesk_arrays.iterate(paths, "some format", report=True)
    assert_type(next(pairs), "tuple[Batch[WD1Event | WD2Event], Report]")
    pairs.close()


def damaged_events(path: str) -> int | None:
    with warnings.catch_warnings():
        warnings.simplefilter("error", DamagedEventWarning)
        try:
            vesk_arrays.read(path, "WD2", errors="skip")
        except DamagedEventWarning as warning:
            print(warning)
    try:
        vesk_arrays.read(path, "WD2")
    except DamagedEventError as error:
        assert_type(error.index, int)
        return error.offset
    return None


def conversions(batch: "Batch[WD1Event]", destination: pathlib.Path) -> int:
    table = batch.to_arrow()
    frame = batch.to_pandas()
    assert batch.to_arrow(list_type="large_list").schema == vesk_arrays.schema("WD1", list_type="large_list")
    print(batch.to_pandas(list_type="fixed_size_list"), vesk_arrays.schema("WD2", layout="single-channel"))
    array = batch.to_awkward()
    print(table, frame, array)
    written = vesk_arrays.to_parquet("runs/*.wd1", "WD1", destination, step_size=10_000, progress=True)
    written += vesk_arrays.to_parquet(["a.wd2"], "WD2", io.BytesIO(), compression=None)
    written += vesk_arrays.to_parquet("a.wd2", "WD2", str(destination), compression={"data": "zstd"})
    return written


def as_dask(paths: list[pathlib.Path]) -> int:
    frame = vesk_arrays.dask.read(paths, "WD2", step_size="256 MiB", errors="skip", source=True)
    print(frame.npartitions)
    events = vesk_arrays.dask.read(paths, "WD2", library="ak", progress=True)
    maxima = vesk_arrays.dask.map_batches(lambda batch: batch.reduce("max"), paths, "WD2", step_size=1000)
    print(events.npartitions, maxima.npartitions)
    for partition in vesk_arrays.dask.plan_partitions("runs/*.wd2", "WD2", 100_000):
        for path, start, stop in partition:
            assert_type(stop, int | None)
            print(path, start)
    lazy = vesk_arrays.dask  # loaded on first use
    return int(lazy.read("runs/*.wd1", "WD1").npartitions)


def own_batches() -> "Batch[WD2Event]":
    columns = {name: np.zeros(1, dtype) for name, dtype in [("event_counter", np.uint32)]}
    empty = Batch.empty("WD2", path="made by hand")
    assert_type(empty, "Batch[WD2Event]")
    made = Batch("WD1", columns, [0, 0], start=5)
    assert_type(made, "Batch[WD1Event]")
    built = Batch.from_numpy("WD2", np.zeros((2, 4, 8), np.float32), event_counter=np.arange(2))
    assert_type(built, "Batch[WD2Event]")
    return empty

# Checked by mypy in CI: what a type checker infers for typical uses of vesk.
from typing import TYPE_CHECKING

import numpy as np

import vesk

if TYPE_CHECKING:
    from vesk import WD1Event, WD2Event


def first_samples(path: str) -> np.ndarray:
    for event in vesk.EventReader(path, "WD1"):
        counter: int = event["event_counter"]
        return event["data"][:counter]
    return np.empty(0, np.uint16)


def channel_means(path: str) -> list[float]:
    means = []
    for event in vesk.EventReader(path, "WD2"):
        waves = event["data"].reshape(event["channels"], event["samples"])
        means.append(float(waves.mean()))
    return means


def keep(event: "WD1Event | WD2Event") -> int:
    return event["event_counter"]


def any_format(path: str, kind: str) -> list[int]:
    return [keep(event) for event in vesk.EventReader(path, kind)]


def formats_are_told_apart(
    reader1: "vesk.EventReader[WD1Event]", reader2: "vesk.EventReader[WD2Event]"
) -> None:
    samples: np.ndarray[tuple[int, ...], np.dtype[np.uint16]] = next(reader1)["data"]
    values: np.ndarray[tuple[int, ...], np.dtype[np.float32]] = next(reader2)["data"]
    wrong: WD1Event = next(reader2)  # type: ignore[assignment]
    print(samples, values, wrong)

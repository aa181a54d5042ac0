"""Writes the fuzzers' seed corpus (fuzz/corpus/wd1, fuzz/corpus/wd2) from the test writers."""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from wdfiles import wd1_event, wd2_event  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))

WD1_SEEDS = {
    "three_events": b"".join(wd1_event(range(i, i + 5), event_counter=i) for i in range(3)),
    "odd_sizes": wd1_event([1], event_size=27, trailing=b"\xee") + wd1_event([2, 3]),
    "no_samples": wd1_event(event_size=23)
    + wd1_event(event_size=24)
    + wd1_event(event_size=25, trailing=b"x"),
    "fault_then_event": wd1_event(event_size=22) + wd1_event([9]),
    "huge_claim": wd1_event([1, 2], event_size=0x80000000),
    "truncated": b"".join(wd1_event(range(40)) for _ in range(2))[:-7],
}

WD2_SEEDS = {
    "multi_channel": b"".join(
        wd2_event(np.arange(6), counter=i, samples=3, period=8, channels=2) for i in range(3)
    ),
    "one_channel_field": b"".join(wd2_event([1.5, 2.5], counter=i, period=8, channels=1) for i in range(2)),
    "single_channel": b"".join(wd2_event([1.0 + i, -2.0], counter=i, period=8) for i in range(3)),
    "single_negative": b"".join(wd2_event([-1.0, 2.0], counter=i, period=8) for i in range(2)),
    "one_event_multi": wd2_event(np.arange(8), counter=5, samples=2, channels=4),
    "one_event_single": wd2_event([3.0, 4.0], counter=5),
    "zero_channels": b"".join(wd2_event(b"", counter=i, samples=4, channels=0) for i in range(2)),
    # empty events with a negative channel count, then one whose length cannot be represented
    "negative_channels": b"".join(wd2_event(b"", counter=i, samples=0, channels=-3) for i in range(2))
    + wd2_event(b"", counter=2, samples=1, channels=-3),
    "counter_wrap": wd2_event([1, 2], counter=0xFFFFFFFF, channels=2)
    + wd2_event([3, 4], counter=0, channels=2),
}

# The batch targets take two bytes of batch limits, then the file. Runs of
# same-size events need payloads of at least 256 bytes.
RUN = 130
BATCH_WD1_SEEDS = {
    "uniform": b"\x05\x00" + b"".join(wd1_event(np.arange(RUN), event_counter=i) for i in range(8)),
    "size_changes": b"\x03\x21"
    + b"".join(wd1_event(np.arange(RUN + (i == 4)), event_counter=i) for i in range(8)),
    "damaged_inside": b"\x3f\x00"
    + b"".join(
        wd1_event(np.arange(RUN), event_counter=i) if i != 5 else wd1_event(event_size=20) for i in range(8)
    ),
    "cut": b"\x10\x00" + b"".join(wd1_event(np.arange(RUN), event_counter=i) for i in range(8))[:-100],
}
BATCH_WD2_SEEDS = {
    "uniform": b"\x05\x00"
    + b"".join(wd2_event(np.arange(2 * 70), counter=i, samples=70, period=8, channels=2) for i in range(8)),
    "single_channel": b"\x07\x41"
    + b"".join(wd2_event(np.arange(70) + 1, counter=i, period=8) for i in range(8)),
    "cut": b"\x10\x00"
    + b"".join(wd2_event(np.arange(2 * 70), counter=i, samples=70, period=8, channels=2) for i in range(8))[
        :-50
    ],
}


def main():
    for folder, seeds in (
        ("wd1", WD1_SEEDS),
        ("wd2", WD2_SEEDS),
        ("batch_wd1", BATCH_WD1_SEEDS),
        ("batch_wd2", BATCH_WD2_SEEDS),
    ):
        path = os.path.join(HERE, "corpus", folder)
        os.makedirs(path, exist_ok=True)
        for name, data in seeds.items():
            with open(os.path.join(path, name), "wb") as f:
                f.write(data)


if __name__ == "__main__":
    main()

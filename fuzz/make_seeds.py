"""Writes the fuzzers' seed corpus (fuzz/corpus/wd1, fuzz/corpus/wd2) from the test writers.

Well-formed files come from vesk_arrays.write; damaged or odd ones (pad bytes that are not
0, sizes that cannot be, cut files) are put together byte by byte.
"""

import os
import sys

import numpy as np

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tests"))
from wdfiles import file_bytes, wd1_event, wd2_event  # noqa: E402

HERE = os.path.dirname(os.path.abspath(__file__))


def wd2_file(events, channels=None):
    """WD2 events given as (data, counter, samples, period): multi-channel with channels."""
    layout = "single-channel" if channels is None else "multi-channel"
    return file_bytes(
        "WD2",
        [
            {
                "data": data,
                "event_counter": c,
                "samples": s,
                "sampling_period": p,
                "channels": 1 if channels is None else channels,
            }
            for data, c, s, p in events
        ],
        layout,
    )


WD1_SEEDS = {
    "three_events": file_bytes("WD1", [{"data": range(i, i + 5), "event_counter": i} for i in range(3)]),
    "odd_sizes": wd1_event([1], event_size=27, trailing=b"\xee") + wd1_event([2, 3]),
    "no_samples": wd1_event(event_size=23)
    + wd1_event(event_size=24)
    + wd1_event(event_size=25, trailing=b"x"),
    "fault_then_event": wd1_event(event_size=22) + wd1_event([9]),
    "huge_claim": wd1_event([1, 2], event_size=0x80000000),
    "truncated": b"".join(wd1_event(range(40)) for _ in range(2))[:-7],
}

WD2_SEEDS = {
    "multi_channel": wd2_file([(np.arange(6), i, 3, 8) for i in range(3)], channels=2),
    "one_channel_field": wd2_file([([1.5, 2.5], i, 2, 8) for i in range(2)], channels=1),
    "single_channel": wd2_file([([1.0 + i, -2.0], i, 2, 8) for i in range(3)]),
    "single_negative": wd2_file([([-1.0, 2.0], i, 2, 8) for i in range(2)]),
    "one_event_multi": wd2_file([(np.arange(8), 5, 2, 0)], channels=4),
    "one_event_single": wd2_file([([3.0, 4.0], 5, 2, 0)]),
    "zero_channels": wd2_file([((), i, 4, 0) for i in range(2)], channels=0),
    # empty events with a negative channel count, then one whose length cannot be represented
    "negative_channels": b"".join(wd2_event(b"", counter=i, samples=0, channels=-3) for i in range(2))
    + wd2_event(b"", counter=2, samples=1, channels=-3),
    "counter_wrap": wd2_file([([1, 2], 0xFFFFFFFF, 1, 0), ([3, 4], 0, 1, 0)], channels=2),
}

# The batch targets take two bytes of batch limits, then the file. Runs of
# same-size events need payloads of at least 256 bytes.
RUN = 130
BATCH_WD1_SEEDS = {
    "uniform": b"\x05\x00"
    + file_bytes("WD1", [{"data": np.arange(RUN), "event_counter": i} for i in range(8)]),
    "size_changes": b"\x03\x21"
    + file_bytes("WD1", [{"data": np.arange(RUN + (i == 4)), "event_counter": i} for i in range(8)]),
    "damaged_inside": b"\x3f\x00"
    + b"".join(
        wd1_event(np.arange(RUN), event_counter=i) if i != 5 else wd1_event(event_size=20) for i in range(8)
    ),
    "cut": b"\x10\x00" + b"".join(wd1_event(np.arange(RUN), event_counter=i) for i in range(8))[:-100],
    # one-sample events, zero headers but for size and counter, a damaged header after every fifth
    "dense_damage": b"\x3f\x00"
    + b"".join(wd1_event([i], event_counter=i) + wd1_event(event_size=22) * (i % 5 == 4) for i in range(30)),
    # a flipped bit in the size of event 3 lands on a good header further on
    "flipped_length": b"\x07\x00"
    + b"".join(wd1_event(np.arange(20), event_size=64 + 128 * (i == 3), event_counter=i) for i in range(12)),
    # counters left at 0, and a length flipped in the first event
    "zero_counters": b"\x05\x00"
    + b"".join(wd1_event(np.arange(20) + i, event_size=64 + 256 * (i == 0), timestamp=i) for i in range(10)),
}
BATCH_WD2_SEEDS = {
    # a zeroed stretch across events of a two-channel file
    "zero_page": b"\x09\x00"
    + (lambda d: d[:300] + bytes(200) + d[500:])(
        b"".join(wd2_event(np.arange(2 * 10), counter=i, samples=10, period=8, channels=2) for i in range(12))
    ),
    # a sampling period of 0, and zeros between the events
    "period_zero_zeros": b"\x05\x00"
    + b"".join(wd2_event(np.arange(4), counter=i, samples=4, period=0) for i in range(5))
    + bytes(256)
    + b"".join(wd2_event(np.arange(4), counter=i, samples=4, period=0) for i in range(5, 10)),
    "uniform": b"\x05\x00" + wd2_file([(np.arange(2 * 70), i, 70, 8) for i in range(8)], channels=2),
    "single_channel": b"\x07\x41" + wd2_file([(np.arange(70) + 1, i, 70, 8) for i in range(8)]),
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

"""Reads a small WD1 and WD2 sample file with vesk and prints a summary of their events.

    python examples/demo.py [output folder]

The sample files are generated first (see sample_files.py). When matplotlib is
installed (pip install "vesk[examples]"), the first waveforms are also saved as
a PNG in the output folder.
"""

import os
import sys

import vesk
from sample_files import write_wd1, write_wd2


def summarise(path, reader_type):
    print(f"\n{reader_type} file {path}")
    print(
        f"{'event':>5} {'counter':>8} {'timestamp':>10} {'samples':>8} {'min':>10} {'max':>10} {'mean':>10}"
    )
    events = list(vesk.EventReader(path, reader_type))
    for index, event in enumerate(events):
        data = event["data"]
        print(
            f"{index:>5} {event['event_counter']:>8} {event['timestamp']:>10} {data.size:>8} "
            f"{data.min():>10.4g} {data.max():>10.4g} {data.mean():>10.4g}"
        )
    print(f"{len(events)} events, {sum(e['data'].nbytes for e in events)} bytes of samples")
    return events


def plot(wd1_events, wd2_events, path):
    try:
        import matplotlib
    except ImportError:
        print("\nmatplotlib is not installed: no plot (pip install 'vesk[examples]')")
        return
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (top, bottom) = plt.subplots(2, 1, figsize=(9, 6))
    for event in wd1_events[:4]:
        top.plot(event["data"], lw=0.8, label=f"counter {event['event_counter']}")
    top.set(title="WD1: first events", xlabel="sample", ylabel="ADC counts")
    top.legend(fontsize=7)
    event = wd2_events[0]
    for channel, wave in enumerate(event["data"].reshape(event["channels"], event["samples"])):
        bottom.plot(wave, lw=0.8, label=f"channel {channel}")
    bottom.set(title="WD2: first event, all channels", xlabel="sample", ylabel="volts")
    bottom.legend(fontsize=7)
    figure.tight_layout()
    figure.savefig(path, dpi=100)
    print(f"\nwaveforms saved to {path}")


def main():
    folder = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "output")
    os.makedirs(folder, exist_ok=True)
    wd1_path = os.path.join(folder, "sample.wd1")
    wd2_path = os.path.join(folder, "sample.wd2")
    write_wd1(wd1_path)
    write_wd2(wd2_path)
    wd1_events = summarise(wd1_path, "WD1")
    wd2_events = summarise(wd2_path, "WD2")
    plot(wd1_events, wd2_events, os.path.join(folder, "waveforms.png"))


if __name__ == "__main__":
    main()

# TEMPORARY stand-in for the C++ extension vesk_arrays._core (being written); same interface.
import numpy as np
import vesk

from ._batch import HEADER_FIELDS, SAMPLE_DTYPES


class Reader:
    def __init__(self, path, fmt):
        self._fmt = fmt
        self._reader = vesk.EventReader(path, fmt)
        self.closed = False
        self.events_read = 0

    def close(self):
        self.closed = True
        self._reader = None

    def _events(self, max_events, max_bytes, skip_damaged):
        if self.closed:
            raise ValueError("I/O operation on closed file")
        out, damaged, size = [], [], 0
        while max_events is None or len(out) < max_events:
            try:
                event = next(self._reader)
            except StopIteration:
                break
            except BaseException as e:
                if type(e).__name__ != "PanicException":
                    raise
                damaged.append((self.events_read, -1, "length cannot be represented"))
                self.events_read += 1
                if skip_damaged:
                    continue
                break
            self.events_read += 1
            out.append(event)
            size += event["data"].nbytes + 40
            if max_bytes is not None and size >= max_bytes:
                break
        return out, damaged

    def read(self, max_events, max_bytes, skip_damaged):
        events, damaged = self._events(max_events, max_bytes, skip_damaged)
        columns = [np.array([e[name] for e in events], dtype) for name, dtype in HEADER_FIELDS[self._fmt]]
        data = [e["data"] for e in events]
        columns.append(np.concatenate(data) if data else np.empty(0, SAMPLE_DTYPES[self._fmt]))
        offsets = np.zeros(len(events) + 1, np.int64)
        np.cumsum([len(d) for d in data], out=offsets[1:])
        return columns, offsets, damaged

    def skip(self, count, skip_damaged):
        events, damaged = self._events(count, None, skip_damaged)
        return len(events), damaged

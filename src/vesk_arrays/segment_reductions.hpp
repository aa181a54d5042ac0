// reduce_segments: the per-segment reductions of the core, for Python.
#pragma once

#include "py_ref.hpp"

namespace vesk {

// reduce_segments(buffer, sample, starts, lengths, op, start, stop, sum_block,
// sums_aligned_whole, empty, results) -> the first segment left without a value (empty None), or -1.
// See segment_reduce.hpp; `sample` "H" (uint16) or "f" (float32); starts in
// bytes and lengths in samples int64; empty None or an array of one result;
// results written.
PyObject* reduce_segments(PyObject* module, PyObject* args);

}  // namespace vesk

// Hands decoded sample blocks to NumPy without copying them: the block becomes
// the array's memory, owned by a `PySliceContainer` set as the array's base.
#pragma once

#include <cstdint>

#include "py_ref.hpp"
#include "sample_buffer.hpp"

namespace vesk {

// Locates NumPy's C interface unless that has already succeeded. On failure
// raises the fault and returns false; the next call tries again. An
// interruption (KeyboardInterrupt, SystemExit: anything not an Exception)
// propagates unchanged instead.
bool ensure_numpy_located();

// A new one-dimensional array (uint16 or float32) over the buffer's storage.
// Needs ensure_numpy_located() to have succeeded. On failure the fault is
// raised, null returned, and the storage freed.
PyObject* array_from(SampleBuffer<std::uint16_t>&& samples);
PyObject* array_from(SampleBuffer<float>&& samples);

}  // namespace vesk

// Making a vesk_arrays._core.Reader (see batch_reader.hpp).
#pragma once

#include "reader_state.hpp"

namespace vesk {

// A new Reader for the arguments of Reader(source, format, name, follow,
// layout, finite, size), its source open; null with an exception set.
PyObject* open_reader(PyTypeObject* type, PyObject* args, PyObject* kwargs);

// Raises why a WD2 source's layout could not be told.
void raise_open_failure(ReaderState& state, const OpenFailure& failure);

}  // namespace vesk

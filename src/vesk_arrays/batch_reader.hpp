// vesk_arrays._core.Reader: one open event file, read in batches of columns
// with the interpreter lock released.
#pragma once

#include "py_ref.hpp"

namespace vesk {

// A new reference to the class, or null with the error set.
PyRef create_batch_reader_type();

}  // namespace vesk

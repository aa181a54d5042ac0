// What the module vesk_arrays._core keeps for the life of the process.
#pragma once

#include "numpy_api.hpp"

namespace vesk {

struct ArraysState {
    NumpyApi numpy;                       // located when the first reader is made
    PyObject* damaged_error = nullptr;    // vesk_arrays.DamagedEventError, registered at import
    PyTypeObject* reader_type = nullptr;  // _core.Reader
};

ArraysState& arrays_state();

}  // namespace vesk

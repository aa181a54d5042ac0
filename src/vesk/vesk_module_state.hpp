// Everything the module `vesk` keeps for the life of the process, in one place.
// Each member is created once, lazily where noted, and never released.
#pragma once

#include "header_fields.hpp"
#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace vesk {

struct ModuleState {
    PyObject* module = nullptr;  // set by the first successful initialisation
    // The event dictionaries' keys, interned at initialisation: each format's
    // header fields, in the order of its table (header_fields.hpp), then "data".
    PyObject* wd1_keys[kFieldCount<WD1Header>] = {};
    PyObject* wd2_keys[kFieldCount<WD2Header>] = {};
    PyObject* data_key = nullptr;
    NumpyApi numpy;                                // located at the first step
    PyTypeObject* slice_container_type = nullptr;  // created at the first array
    PyObject* panic_exception = nullptr;           // created at the first fault
    bool fault_reported = false;                   // the first report carries a hint
};

ModuleState& module_state();

}  // namespace vesk

// Everything the module `vesk` keeps for the life of the process, in one place.
// Each member is created once, lazily where noted, and never released.
#pragma once

#include "numpy_api.hpp"
#include "py_ref.hpp"

namespace vesk {

// The event dictionaries' keys, interned at initialisation.
enum Key : std::size_t {
    kEventSize,
    kBoardId,
    kPattern,
    kBoardChannel,
    kEventCounter,
    kTimestamp,
    kSamples,
    kSamplingPeriod,
    kChannels,
    kData,
    kKeyCount
};

struct ModuleState {
    PyObject* module = nullptr;  // set by the first successful initialisation
    PyObject* keys[kKeyCount] = {};
    NumpyApi numpy;                                // located at the first step
    PyTypeObject* slice_container_type = nullptr;  // created at the first array
    PyObject* panic_exception = nullptr;           // created at the first fault
    bool fault_reported = false;                   // the first report carries a hint
};

ModuleState& module_state();

}  // namespace vesk

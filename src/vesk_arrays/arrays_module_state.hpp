// What the module vesk_arrays._core keeps for the life of the process.
#pragma once

#include "numpy_api.hpp"

namespace vesk {

struct ArraysModuleState {
    NumpyApi numpy;  // located when the first reader is made
};

ArraysModuleState& arrays_module_state();

}  // namespace vesk

// NumPy's C interface, located through its "_ARRAY_API" capsule the first time
// it is needed (never at import, so importing a module does not import NumPy),
// and arrays over memory that another object owns.
#pragma once

#include <cstddef>

#include "py_ref.hpp"

namespace vesk {

class NumpyApi {
public:
    // NumPy's type numbers for the dtypes vesk builds.
    enum class Dtype : int { Int32 = 5, UInt32 = 6, Int64 = 7, UInt64 = 8, UInt16 = 4, Float32 = 11 };

    bool located() const { return table_ != nullptr; }
    // Locates the table unless that has already succeeded. On failure the
    // Python error is set and whatever was found is kept, so that the next
    // call goes on from the first missing result.
    bool locate();

    // A new writeable 1-D array of `length` elements over `data`, kept alive by
    // `owner` (stolen, also on failure). Null with the error set on failure.
    PyObject* array_over(Dtype dtype, std::size_t length, void* data, PyObject* owner);

private:
    bool find_core_package();
    bool find_table();
    PyObject* descriptor(Dtype dtype);

    const char* core_package_ = nullptr;  // "numpy._core" or "numpy.core"
    PyObject* capsule_ = nullptr;         // referenced for the life of the process
    void** table_ = nullptr;
    PyObject* descriptors_[16] = {};
};

}  // namespace vesk

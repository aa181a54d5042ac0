// NumPy's C interface, located through its "_ARRAY_API" capsule the first time
// it is needed (never at import, so importing a module does not import NumPy),
// and arrays over memory that another object owns.
#pragma once

#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "py_ref.hpp"

namespace vesk {

class NumpyApi {
public:
    // NumPy's type numbers for the dtypes vesk builds.
    enum class Dtype : int {
        UInt8 = 2,
        Int32 = 5,
        UInt32 = 6,
        Int64 = 7,
        UInt64 = 8,
        UInt16 = 4,
        Float32 = 11
    };

    // The dtype of the C++ type T.
    template <class T>
    static constexpr Dtype dtype_of()
    {
        if constexpr (std::is_same_v<T, std::int32_t>) {
            return Dtype::Int32;
        } else if constexpr (std::is_same_v<T, std::uint32_t>) {
            return Dtype::UInt32;
        } else if constexpr (std::is_same_v<T, std::int64_t>) {
            return Dtype::Int64;
        } else if constexpr (std::is_same_v<T, std::uint64_t>) {
            return Dtype::UInt64;
        } else if constexpr (std::is_same_v<T, std::uint16_t>) {
            return Dtype::UInt16;
        } else {
            static_assert(std::is_same_v<T, float>, "no dtype for this type");
            return Dtype::Float32;
        }
    }
    // NumPy's name of the dtype, as numpy.dtype(name) takes it.
    static constexpr const char* name_of(Dtype dtype)
    {
        switch (dtype) {
        case Dtype::UInt8: return "uint8";
        case Dtype::Int32: return "int32";
        case Dtype::UInt32: return "uint32";
        case Dtype::Int64: return "int64";
        case Dtype::UInt64: return "uint64";
        case Dtype::UInt16: return "uint16";
        case Dtype::Float32: return "float32";
        }
        return "";
    }

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

// A filled batch handed to NumPy: each block becomes one array's memory, owned
// by a capsule that frees it.
#pragma once

#include <type_traits>

#include "columns.hpp"
#include "py_ref.hpp"
#include "state.hpp"

namespace vesk {

// A 1-D array over the block's data, taking the block over.
PyObject* array_from_block(GrowableBlock& block, NumpyApi::Dtype dtype, std::size_t length);

template <class Reader>
NumpyApi::Dtype field_dtype(std::size_t index)
{
    using D = NumpyApi::Dtype;
    if constexpr (std::is_same_v<Reader, WD1Reader>) {
        return D::Int32;
    } else {
        constexpr D kWD2[] = {D::UInt32, D::UInt64, D::UInt32, D::UInt64, D::Int32};
        return kWD2[index];
    }
}

template <class Reader>
constexpr NumpyApi::Dtype kSampleDtype =
    std::is_same_v<Reader, WD1Reader> ? NumpyApi::Dtype::UInt16 : NumpyApi::Dtype::Float32;

// ([field arrays..., data], offsets, damaged)
template <class Reader>
PyObject* batch_to_python(BatchSink<Reader>& sink, PyObject* damaged)
{
    using Fields = HeaderColumns<typename Reader::Header>;
    sink.trim();
    PyRef columns = PyRef::steal(PyList_New(Fields::kCount + 1));
    if (!columns) {
        return nullptr;
    }
    for (std::size_t i = 0; i < Fields::kCount; ++i) {
        PyObject* array = array_from_block(sink.field(i), field_dtype<Reader>(i), sink.events());
        if (array == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(columns.get(), static_cast<Py_ssize_t>(i), array);
    }
    PyObject* data = array_from_block(sink.samples_block(), kSampleDtype<Reader>, sink.samples());
    if (data == nullptr) {
        return nullptr;
    }
    PyList_SET_ITEM(columns.get(), Fields::kCount, data);
    if (!sink.offsets_block().reserve(sizeof(std::int64_t))) {
        return PyErr_NoMemory();
    }
    reinterpret_cast<std::int64_t*>(sink.offsets_block().data())[0] = 0;  // also when no row was made
    PyRef offsets =
        PyRef::steal(array_from_block(sink.offsets_block(), NumpyApi::Dtype::Int64, sink.events() + 1));
    if (!offsets) {
        return nullptr;
    }
    return Py_BuildValue("(OOO)", columns.get(), offsets.get(), damaged);
}

}  // namespace vesk

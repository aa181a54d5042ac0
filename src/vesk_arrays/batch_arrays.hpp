// A filled batch handed to NumPy: each block becomes one array's memory, owned
// by a capsule that frees it.
#pragma once

#include <iterator>
#include <memory>
#include <type_traits>

#include "batch_columns.hpp"
#include "py_ref.hpp"
#include "state.hpp"

namespace vesk {

// A 1-D array over the block's data, taking the block over.
// With a pool, the block goes back to it once the array and its views are gone.
PyObject* array_from_block(GrowableBlock& block, NumpyApi::Dtype dtype, std::size_t length,
                           const std::shared_ptr<BlockPool>& pool);

// The name and dtype of each header column, in the order of HeaderColumns,
// which is the order of the fields in the file.
struct FieldSpec {
    const char* name;
    NumpyApi::Dtype dtype;
};

template <class Header>
constexpr FieldSpec kFieldSpecs[] = {};

template <>
inline constexpr FieldSpec kFieldSpecs<WD1Header>[] = {
    {"event_size", NumpyApi::Dtype::Int32},    {"board_id", NumpyApi::Dtype::Int32},
    {"pattern", NumpyApi::Dtype::Int32},       {"board_channel", NumpyApi::Dtype::Int32},
    {"event_counter", NumpyApi::Dtype::Int32}, {"timestamp", NumpyApi::Dtype::Int32},
};

template <>
inline constexpr FieldSpec kFieldSpecs<WD2Header>[] = {
    {"event_counter", NumpyApi::Dtype::UInt32}, {"timestamp", NumpyApi::Dtype::UInt64},
    {"samples", NumpyApi::Dtype::UInt32},       {"sampling_period", NumpyApi::Dtype::UInt64},
    {"channels", NumpyApi::Dtype::Int32},
};

template <class Reader>
constexpr NumpyApi::Dtype kSampleDtype =
    std::is_same_v<Reader, WD1Reader> ? NumpyApi::Dtype::UInt16 : NumpyApi::Dtype::Float32;

// Inserts `array` (a new reference, or null) under the interned `name`.
bool set_column(PyObject* columns, const char* name, PyObject* array);

// ({name: array, ..., "data": samples}, offsets); without samples,
// ({name: array, ...}, None).
template <class Reader, bool Samples>
PyObject* batch_to_python(BatchSink<Reader, Samples>& sink, const std::shared_ptr<BlockPool>& pool)
{
    using Fields = HeaderColumns<typename Reader::Header>;
    constexpr auto& specs = kFieldSpecs<typename Reader::Header>;
    static_assert(std::size(specs) == Fields::kCount);
    sink.trim();
    PyRef columns = PyRef::steal(PyDict_New());
    if (!columns) {
        return nullptr;
    }
    for (std::size_t i = 0; i < Fields::kCount; ++i) {
        if (!set_column(columns.get(), specs[i].name,
                        array_from_block(sink.field(i), specs[i].dtype, sink.events(), pool))) {
            return nullptr;
        }
    }
    if constexpr (!Samples) {
        return Py_BuildValue("(OO)", columns.get(), Py_None);
    }
    if (!set_column(columns.get(), "data",
                    array_from_block(sink.samples_block(), kSampleDtype<Reader>, sink.samples(), pool))) {
        return nullptr;
    }
    if (!sink.offsets_block().reserve(sizeof(std::int64_t))) {
        return PyErr_NoMemory();
    }
    reinterpret_cast<std::int64_t*>(sink.offsets_block().data())[0] = 0;  // also when no row was made
    PyRef offsets =
        PyRef::steal(array_from_block(sink.offsets_block(), NumpyApi::Dtype::Int64, sink.events() + 1, pool));
    if (!offsets) {
        return nullptr;
    }
    return Py_BuildValue("(OO)", columns.get(), offsets.get());
}

}  // namespace vesk

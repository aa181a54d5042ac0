// A filled batch handed to NumPy: each block becomes one array's memory, owned
// by a capsule that frees it.
#pragma once

#include <array>
#include <memory>

#include "arrays_module_state.hpp"
#include "batch_columns.hpp"
#include "batch_report.hpp"
#include "file_mapping.hpp"
#include "header_fields.hpp"
#include "py_ref.hpp"

namespace vesk {

// A 1-D array over the block's data, taking the block over.
// With a pool, the block goes back to it once the array and its views are gone.
PyObject* array_from_block(GrowableBlock& block, NumpyApi::Dtype dtype, std::size_t length,
                           const std::shared_ptr<BlockPool>& pool);

// A mapped file as a uint8 array over the whole mapping, which stays mapped
// while the array or a view of it lives.
PyObject* mapping_array(const std::shared_ptr<FileMapping>& mapping);

// The name and dtype of each header column, in the order of the format's table
// (header_fields.hpp), which is the order of the fields in the file.
struct FieldSpec {
    const char* name;
    NumpyApi::Dtype dtype;
};

template <class Header>
inline constexpr auto kFieldSpecs = [] {
    std::array<FieldSpec, kFieldCount<Header>> specs{};
    for_each_field<Header>([&](std::size_t i, const auto& field) {
        specs[i] = {.name = field.name, .dtype = NumpyApi::dtype_of<FieldValue<decltype(field)>>()};
    });
    return specs;
}();

template <class Reader>
inline constexpr NumpyApi::Dtype kSampleDtype = NumpyApi::dtype_of<typename Reader::Sample>();

// Inserts `array` (a new reference, or null) under the interned `name`.
bool set_column(PyObject* columns, const char* name, PyObject* array);

// ({name: array, ..., "data": samples}, offsets); without samples,
// ({name: array, ...}, None).
template <class Reader, bool Samples>
PyObject* batch_to_python(BatchSink<Reader, Samples>& sink, const std::shared_ptr<BlockPool>& pool)
{
    using Fields = HeaderColumns<typename Reader::Header>;
    constexpr auto& specs = kFieldSpecs<typename Reader::Header>;
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
    if (sink.maps_samples()) {
        // The samples stay in the mapping: "data" tells the mapping, where each
        // event's samples start in it and their stride, for the package to
        // make views of; a stride lets it make the batch's one view without
        // looking at the starts.
        const long long stride = sink.uniform_stride();
        PyRef places =
            PyRef::steal(array_from_block(sink.places_block(), NumpyApi::Dtype::Int64, sink.events(), pool));
        PyRef mapping = PyRef::steal(places ? mapping_array(sink.mapping()) : nullptr);
        if (!mapping
            || !set_column(columns.get(), "data", mapped_samples(mapping.get(), places.get(), stride))) {
            return nullptr;
        }
    } else if (!set_column(
                   columns.get(), "data",
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

// The extension module vesk_arrays._core: the batch reader under the Python
// package vesk_arrays.
#include <cstdint>
#include <cstring>
#include <string>
#include <type_traits>

#include "arrays_module_state.hpp"
#include "batch_arrays.hpp"
#include "batch_reader.hpp"
#include "batch_report.hpp"
#include "exception_guard.hpp"
#include "formats.hpp"
#include "py_errors.hpp"
#include "segment_reductions.hpp"

namespace vesk {

ArraysModuleState& arrays_module_state()
{
    static ArraysModuleState state;
    return state;
}

namespace {

PyMethodDef module_methods[] = {
    {.ml_name = "reduce_segments",
     .ml_meth = reduce_segments,
     .ml_flags = METH_VARARGS,
     .ml_doc =
         "reduce_segments(buffer, sample, starts, lengths, op, start, stop, sum_block, sums_aligned_whole, "
         "empty, results): "
         "op of each segment's samples[start:stop] into results; the first segment left without a "
         "value when empty is None, else -1"},
    {},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vesk_arrays._core",
    .m_doc = "The C++ core of vesk_arrays: WD1 and WD2 files read in batches of columns.",
    .m_size = -1,
    .m_methods = module_methods,
};

// HEADER_FIELDS, {format: ((name, dtype), ...)}, and SAMPLE_DTYPES, {format:
// dtype}, with NumPy's names of the dtypes: the formats' tables, from which
// the package takes its own, so that the columns have one description.
bool add_schema(PyObject* module)
{
    PyRef fields = PyRef::steal(PyDict_New());
    PyRef samples = PyRef::steal(PyDict_New());
    bool ok = fields && samples;
    for_each_format([&]<class Reader>(Format format, std::type_identity<Reader>) {
        using Header = typename Reader::Header;
        const auto& specs = kFieldSpecs<Header>;
        PyRef table = PyRef::steal(ok ? PyTuple_New(static_cast<Py_ssize_t>(specs.size())) : nullptr);
        ok = ok && table;
        for (std::size_t i = 0; ok && i < specs.size(); ++i) {
            PyObject* spec = Py_BuildValue("(ss)", specs[i].name, NumpyApi::name_of(specs[i].dtype));
            ok = spec != nullptr;
            if (ok) {
                PyTuple_SET_ITEM(table.get(), static_cast<Py_ssize_t>(i), spec);
            }
        }
        const std::string name(kFormatNames[static_cast<std::size_t>(format)]);
        PyRef sample =
            PyRef::steal(ok ? PyUnicode_FromString(NumpyApi::name_of(kSampleDtype<Reader>)) : nullptr);
        ok = ok && sample && PyDict_SetItemString(fields.get(), name.c_str(), table.get()) == 0
             && PyDict_SetItemString(samples.get(), name.c_str(), sample.get()) == 0;
    });
    if (!ok || PyModule_AddObject(module, "HEADER_FIELDS", fields.get()) < 0) {
        return false;
    }
    fields.release();
    if (PyModule_AddObject(module, "SAMPLE_DTYPES", samples.get()) < 0) {
        return false;
    }
    samples.release();
    return true;
}

PyObject* create_module()
{
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    PyRef type = create_batch_reader_type();
    if (!type || PyModule_AddObject(module.get(), "Reader", type.get()) < 0) {
        return nullptr;
    }
    type.release();
    if (!add_schema(module.get()) || !add_boundary(module.get())) {
        return nullptr;
    }
    return module.release();
}

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit__core(void)
{
    return vesk::guarded([] { return vesk::create_module(); }, static_cast<PyObject*>(nullptr),
                         vesk::raise_system_error);
}

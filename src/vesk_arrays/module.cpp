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
#include "released_interpreter.hpp"
#include "segment_extremes.hpp"

namespace vesk {

ArraysModuleState& arrays_module_state()
{
    static ArraysModuleState state;
    return state;
}

namespace {

// A contiguous buffer of an object, released with it.
class Buffer {
public:
    Buffer() = default;
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;
    ~Buffer()
    {
        if (held_) {
            PyBuffer_Release(&view_);
        }
    }
    bool get(PyObject* object, int flags)
    {
        held_ = PyObject_GetBuffer(object, &view_, flags | PyBUF_C_CONTIGUOUS | PyBUF_FORMAT) == 0;
        return held_;
    }
    // Elements of `format` (a struct code, native order).
    bool holds(const char* format, std::size_t itemsize) const
    {
        const char* own = view_.format[0] == '@' || view_.format[0] == '=' ? view_.format + 1 : view_.format;
        return std::strcmp(own, format) == 0 && static_cast<std::size_t>(view_.itemsize) == itemsize;
    }
    std::size_t size() const { return static_cast<std::size_t>(view_.len / view_.itemsize); }
    template <class T>
    T* data() const
    {
        return static_cast<T*>(view_.buf);
    }

private:
    Py_buffer view_{};
    bool held_ = false;
};

// first_extremes(samples, starts, lengths, positions, greatest): see
// segment_extremes.hpp; the samples uint16 or float32, the rest int64.
PyObject* first_extremes(PyObject*, PyObject* args)
{
    PyObject *samples_object, *starts_object, *lengths_object, *positions_object;
    int greatest = 0;
    if (!PyArg_ParseTuple(args, "OOOOp", &samples_object, &starts_object, &lengths_object, &positions_object,
                          &greatest)) {
        return nullptr;
    }
    Buffer samples, starts, lengths, positions;
    if (!samples.get(samples_object, PyBUF_SIMPLE) || !starts.get(starts_object, PyBUF_SIMPLE)
        || !lengths.get(lengths_object, PyBUF_SIMPLE) || !positions.get(positions_object, PyBUF_WRITABLE)) {
        return nullptr;
    }
    const bool floats = samples.holds("f", sizeof(float));
    const std::size_t segments = starts.size();
    bool fit = (floats || samples.holds("H", sizeof(std::uint16_t))) && lengths.size() == segments
               && positions.size() == segments;
    for (const Buffer* column : {&starts, &lengths, &positions}) {
        fit = fit && (column->holds("l", sizeof(std::int64_t)) || column->holds("q", sizeof(std::int64_t)));
    }
    for (std::size_t i = 0; fit && i < segments; ++i) {
        const std::int64_t start = starts.data<std::int64_t>()[i];
        const std::int64_t length = lengths.data<std::int64_t>()[i];
        fit = start >= 0 && length > 0 && static_cast<std::uint64_t>(start) <= samples.size()
              && static_cast<std::uint64_t>(length) <= samples.size() - static_cast<std::uint64_t>(start);
    }
    if (!fit) {
        PyErr_SetString(PyExc_ValueError, "segments that do not fit their samples");
        return nullptr;
    }
    {
        ReleasedInterpreter released;  // the samples are read only: other threads may go on
        if (floats) {
            vesk::first_extremes(samples.data<const float>(), starts.data<const std::int64_t>(),
                                 lengths.data<const std::int64_t>(), segments, greatest != 0,
                                 positions.data<std::int64_t>());
        } else {
            vesk::first_extremes(samples.data<const std::uint16_t>(), starts.data<const std::int64_t>(),
                                 lengths.data<const std::int64_t>(), segments, greatest != 0,
                                 positions.data<std::int64_t>());
        }
    }
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {.ml_name = "first_extremes",
     .ml_meth = first_extremes,
     .ml_flags = METH_VARARGS,
     .ml_doc = "first_extremes(samples, starts, lengths, positions, greatest): the position of each "
               "segment's first least (greatest) sample, NaN counting as both, into positions"},
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

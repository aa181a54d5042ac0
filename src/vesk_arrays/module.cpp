// The extension module vesk_arrays._core: the batch reader under the Python
// package vesk_arrays.
#include "batch_reader.hpp"
#include "py_errors.hpp"
#include "state.hpp"

namespace vesk {

ArraysState& arrays_state()
{
    static ArraysState state;
    return state;
}

namespace {

// Called once by the package at import: the class raised for damaged events
// is defined in Python.
PyObject* register_damaged_error(PyObject*, PyObject* error_class)
{
    Py_INCREF(error_class);
    Py_XSETREF(arrays_state().damaged_error, error_class);
    Py_RETURN_NONE;
}

PyMethodDef module_methods[] = {
    {.ml_name = "register_damaged_error",
     .ml_meth = register_damaged_error,
     .ml_flags = METH_O,
     .ml_doc = "Sets the exception class raised for damaged events."},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vesk_arrays._core",
    .m_doc = "The C++ core of vesk_arrays: WD1 and WD2 files read in batches of columns.",
    .m_size = -1,
    .m_methods = module_methods,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit__core(void)
{
    using namespace vesk;
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    PyRef type = create_batch_reader_type();
    if (!type || PyModule_AddObject(module.get(), "Reader", type.get()) < 0) {
        return nullptr;
    }
    type.release();
    return module.release();
}

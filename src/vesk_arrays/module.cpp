// The extension module vesk_arrays._core: the batch reader under the Python
// package vesk_arrays.
#include "batch_reader.hpp"
#include "guard.hpp"
#include "py_errors.hpp"
#include "state.hpp"

namespace vesk {

ArraysState& arrays_state()
{
    static ArraysState state;
    return state;
}

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vesk_arrays._core",
    .m_doc = "The C++ core of vesk_arrays: WD1 and WD2 files read in batches of columns.",
    .m_size = -1,
};

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
    return module.release();
}

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit__core(void)
{
    return vesk::guarded([] { return vesk::create_module(); }, static_cast<PyObject*>(nullptr),
                         vesk::raise_system_error);
}

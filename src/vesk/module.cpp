// The Python module `vesk`: its initialisation and its one process state.
#include "event_dict.hpp"
#include "event_reader.hpp"
#include "fault_guard.hpp"
#include "faults.hpp"
#include "vesk_module_state.hpp"

namespace vesk {

ModuleState& module_state()
{
    static ModuleState state;
    return state;
}

namespace {

PyModuleDef module_def = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "vesk",
    .m_doc = "",
    .m_size = 0,
};

// Lists `name` in the module's __all__ (creating the list if missing), then
// sets the attribute.
bool add_exported(PyObject* module, const char* name, PyObject* value)
{
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        raise_fault(Fault::AllAppendFailed);
        return false;
    }
    return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* initialise_module()
{
    ModuleState& state = module_state();
    if (state.module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                        "once per interpreter process");
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create(&module_def));
    if (!module) {
        return nullptr;
    }
    PyRef type = create_event_reader_type();
    if (!type || !intern_event_keys() || !add_exported(module.get(), "EventReader", type.get())) {
        return nullptr;
    }
    // Not exported: `from vesk import *` still gives the reader alone.
    if (PyModule_AddStringConstant(module.get(), "__version__", VESK_VERSION) < 0) {
        return nullptr;
    }
    Py_INCREF(module.get());
    state.module = module.get();
    return module.release();
}

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit_vesk(void)
{
    return vesk::guarded([] { return vesk::initialise_module(); }, nullptr);
}

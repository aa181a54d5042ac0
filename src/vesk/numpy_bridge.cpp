#include "numpy_bridge.hpp"

#include <cstdlib>

#include "faults.hpp"
#include "py_errors.hpp"
#include "vesk_module_state.hpp"

namespace vesk {

namespace {

// ---- PySliceContainer -----------------------------------------------------

struct SliceContainer {
    PyObject_HEAD
    // The heap block holding the array's data (which may start inside it);
    // null when empty.
    void* block;
};

void slice_container_dealloc(PyObject* self)
{
    std::free(reinterpret_cast<SliceContainer*>(self)->block);
    PyTypeObject* type = Py_TYPE(self);
    PyObject_Free(self);
    Py_DECREF(type);
}

PyObject* slice_container_new(PyTypeObject*, PyObject*, PyObject*)
{
    PyErr_SetString(PyExc_TypeError, "cannot create 'builtins.PySliceContainer' instances");
    return nullptr;
}

PyType_Slot slice_container_slots[] = {
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(slice_container_dealloc)},
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(slice_container_new)},
    {.slot = Py_tp_doc,
     .pfunc = const_cast<char*>("Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap")},
    {},
};

PyType_Spec slice_container_spec = {
    .name = "builtins.PySliceContainer",
    .basicsize = sizeof(SliceContainer),
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = slice_container_slots,
};

PyTypeObject* container_type()
{
    PyTypeObject*& type = module_state().slice_container_type;
    if (type == nullptr) {
        PyObject* created = type_from_valid_spec(&slice_container_spec);
        if (created == nullptr) {
            raise_fault(Fault::SliceContainerTypeFailed);
            return nullptr;
        }
        type = reinterpret_cast<PyTypeObject*>(created);
    }
    return type;
}

// Moves the buffer's block into a new owner. On failure the Python error is
// set and the buffer keeps its block.
template <class T>
PyRef new_slice_container(PyTypeObject* type, SampleBuffer<T>& samples)
{
    auto* container = PyObject_New(SliceContainer, type);
    if (container == nullptr) {
        return PyRef();
    }
    container->block = samples.release();
    return PyRef::steal(reinterpret_cast<PyObject*>(container));
}

template <class T>
PyObject* build_array(SampleBuffer<T>& samples, NumpyApi::Dtype dtype)
{
    PyTypeObject* owner_type = container_type();
    if (owner_type == nullptr) {
        return nullptr;
    }
    const std::size_t length = samples.size();
    void* data = samples.data();
    PyRef owner = new_slice_container(owner_type, samples);
    if (!owner) {
        raise_fault(Fault::SliceContainerFailed);
        return nullptr;
    }
    PyObject* array = module_state().numpy.array_over(dtype, length, data, owner.release());
    if (array == nullptr) {
        raise_fault(Fault::ApiCallFailed);
    }
    return array;
}

}  // namespace

bool ensure_numpy_located()
{
    if (module_state().numpy.locate()) {
        return true;
    }
    // An interruption while NumPy is being imported is the user's, not a
    // fault: it propagates as it is, and the next step tries again.
    if (!PyErr_ExceptionMatches(PyExc_Exception)) {
        return false;
    }
    raise_fault(Fault::NumpyUnavailable);
    return false;
}

PyObject* array_from(SampleBuffer<std::uint16_t>&& samples)
{
    return build_array(samples, NumpyApi::Dtype::UInt16);
}

PyObject* array_from(SampleBuffer<float>&& samples)
{
    return build_array(samples, NumpyApi::Dtype::Float32);
}

}  // namespace vesk

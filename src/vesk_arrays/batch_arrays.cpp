#include "batch_arrays.hpp"

#include <cstdlib>

namespace vesk {

namespace {

void free_capsule_block(PyObject* capsule)
{
    std::free(PyCapsule_GetContext(capsule));
}

}  // namespace

bool set_column(PyObject* columns, const char* name, PyObject* array)
{
    PyRef owned = PyRef::steal(array);
    if (!owned) {
        return false;
    }
    PyRef key = PyRef::steal(PyUnicode_InternFromString(name));
    return key && PyDict_SetItem(columns, key.get(), owned.get()) == 0;
}

PyObject* array_from_block(GrowableBlock& block, NumpyApi::Dtype dtype, std::size_t length)
{
    std::byte* data = block.capacity() != 0 ? block.data() : detail::empty_storage;
    // The capsule's pointer is where the data starts; its context is the heap
    // block to free.
    PyRef owner = PyRef::steal(PyCapsule_New(data, "vesk_arrays.block", free_capsule_block));
    if (!owner) {
        return nullptr;
    }
    if (PyCapsule_SetContext(owner.get(), block.release()) < 0) {
        return nullptr;
    }
    return arrays_state().numpy.array_over(dtype, length, data, owner.release());
}

}  // namespace vesk

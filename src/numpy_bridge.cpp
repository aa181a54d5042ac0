#include "numpy_bridge.hpp"

#include <cstdlib>
#include <string>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include "faults.hpp"

namespace vesk {

namespace {

// The entries of NumPy's function table that vesk uses. Their positions are
// part of NumPy's stable ABI (the same in 1.x and 2.x).
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kSetBaseObjectSlot = 282;

using DescrFromTypeFn = PyArray_Descr* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*,
                                     const npy_intp*, void*, int, PyObject*);
using SetBaseObjectFn = int (*)(PyArrayObject*, PyObject*);

// Process-wide, created once and never released.
const char* numpy_core_package = nullptr;  // "numpy._core" or "numpy.core"
PyObject* array_api_capsule = nullptr;
void** array_api = nullptr;
PyObject* uint16_descr = nullptr;
PyObject* float32_descr = nullptr;
PyTypeObject* slice_container_type = nullptr;

// ---- locating NumPy ------------------------------------------------------

// "numpy._core" from NumPy 2 on, "numpy.core" before.
bool find_core_package()
{
    PyRef numpy = PyRef::steal(PyImport_ImportModule("numpy"));
    if (!numpy) {
        return false;
    }
    PyRef version = PyRef::steal(PyObject_GetAttrString(numpy.get(), "__version__"));
    if (!version) {
        return false;
    }
    PyRef numpy_lib = PyRef::steal(PyImport_ImportModule("numpy.lib"));
    if (!numpy_lib) {
        return false;
    }
    PyRef parsed = PyRef::steal(
        PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
    if (!parsed) {
        return false;
    }
    PyRef major_object = PyRef::steal(PyObject_GetAttrString(parsed.get(), "major"));
    if (!major_object) {
        return false;
    }
    const long major = PyLong_AsLong(major_object.get());
    if (major == -1 && PyErr_Occurred() != nullptr) {
        return false;
    }
    if (major < 0 || major > 255) {
        PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
        return false;
    }
    numpy_core_package = major >= 2 ? "numpy._core" : "numpy.core";
    return true;
}

bool find_array_api()
{
    const std::string module_name = std::string(numpy_core_package) + ".multiarray";
    PyRef multiarray = PyRef::steal(PyImport_ImportModule(module_name.c_str()));
    if (!multiarray) {
        return false;
    }
    PyRef capsule = PyRef::steal(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
    if (!capsule) {
        return false;
    }
    if (!PyCapsule_CheckExact(capsule.get())) {
        raise_formatted(PyExc_TypeError, "'%s' object cannot be converted to 'PyCapsule'",
                        Py_TYPE(capsule.get())->tp_name);
        return false;
    }
    void* table = PyCapsule_GetPointer(capsule.get(), PyCapsule_GetName(capsule.get()));
    if (table == nullptr) {
        return false;
    }
    // The import may have let another thread finish the same lookup.
    if (array_api == nullptr) {
        array_api_capsule = capsule.release();
        array_api = static_cast<void**>(table);
    }
    return true;
}

template <class Fn>
Fn api_entry(std::size_t slot)
{
    return reinterpret_cast<Fn>(array_api[slot]);
}

// ---- PySliceContainer -----------------------------------------------------

struct SliceContainer {
    PyObject_HEAD
    void* data;
    std::size_t length;
    std::size_t capacity;
    void (*release)(void* data, std::size_t length, std::size_t capacity);
};

void release_malloc_block(void* data, std::size_t /*length*/, std::size_t capacity)
{
    if (capacity != 0) {
        std::free(data);
    }
}

void slice_container_dealloc(PyObject* self)
{
    auto* container = reinterpret_cast<SliceContainer*>(self);
    container->release(container->data, container->length, container->capacity);
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
    {Py_tp_dealloc, reinterpret_cast<void*>(slice_container_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(slice_container_new)},
    {Py_tp_doc, const_cast<char*>(
                    "Utility type to safely store `Box<[_]>` or `Vec<_>` on the Python heap")},
    {0, nullptr},
};

PyType_Spec slice_container_spec = {
    "builtins.PySliceContainer",
    sizeof(SliceContainer),
    0,
    Py_TPFLAGS_DEFAULT,
    slice_container_slots,
};

PyTypeObject* container_type()
{
    if (slice_container_type == nullptr) {
        PyObject* type = type_from_valid_spec(&slice_container_spec);
        if (type == nullptr) {
            PyErr_WriteUnraisable(nullptr);
            raise_fault("failed to create type object for `PySliceContainer`");
            return nullptr;
        }
        slice_container_type = reinterpret_cast<PyTypeObject*>(type);
    }
    return slice_container_type;
}

// Moves the buffer's block into a new owner. On failure the Python error is
// set and the buffer keeps its block.
template <class T>
PyRef new_slice_container(PyTypeObject* type, SampleBuffer<T>& samples)
{
    auto* container = static_cast<SliceContainer*>(PyObject_Malloc(sizeof(SliceContainer)));
    if (container == nullptr) {
        PyErr_NoMemory();
        return PyRef();
    }
    PyObject_Init(reinterpret_cast<PyObject*>(container), type);
    container->length = samples.size();
    container->data = samples.data();
    T* owned_block = samples.release();
    container->capacity = owned_block != nullptr ? container->length : 0;
    container->release = release_malloc_block;
    return PyRef::steal(reinterpret_cast<PyObject*>(container));
}

// A new reference to the cached descriptor of `type_number`.
PyArray_Descr* descriptor(int type_number, PyObject*& cache)
{
    if (cache == nullptr) {
        cache = reinterpret_cast<PyObject*>(
            api_entry<DescrFromTypeFn>(kDescrFromTypeSlot)(type_number));
        if (cache == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(cache);
    return reinterpret_cast<PyArray_Descr*>(cache);
}

template <class T>
PyObject* build_array(SampleBuffer<T>& samples, int type_number, PyObject*& descriptor_cache)
{
    PyTypeObject* owner_type = container_type();
    if (owner_type == nullptr) {
        return nullptr;
    }
    const auto length = static_cast<npy_intp>(samples.size());
    void* data = samples.data();
    PyRef owner = new_slice_container(owner_type, samples);
    if (!owner) {
        raise_fault_from_pending("Failed to create slice container");
        return nullptr;
    }

    PyArray_Descr* descr = descriptor(type_number, descriptor_cache);
    if (descr == nullptr) {
        raise_api_call_failed();
        return nullptr;
    }
    const npy_intp dims[1] = {length};
    const npy_intp strides[1] = {static_cast<npy_intp>(sizeof(T))};
    // NewFromDescr steals the descriptor; NumPy derives the aligned and
    // contiguous flags from the data itself.
    PyRef array = PyRef::steal(api_entry<NewFromDescrFn>(kNewFromDescrSlot)(
        static_cast<PyTypeObject*>(array_api[kArrayTypeSlot]), descr, 1, dims, strides, data,
        NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) {
        raise_api_call_failed();
        return nullptr;
    }
    // SetBaseObject steals the owner, also when it fails.
    if (api_entry<SetBaseObjectFn>(kSetBaseObjectSlot)(
            reinterpret_cast<PyArrayObject*>(array.get()), owner.release())
        < 0) {
        raise_api_call_failed();
        return nullptr;
    }
    return array.release();
}

}  // namespace

bool ensure_numpy_located()
{
    if (array_api != nullptr) {
        return true;
    }
    if ((numpy_core_package == nullptr && !find_core_package()) || !find_array_api()) {
        raise_fault_from_pending("Failed to access NumPy array API capsule");
        return false;
    }
    return true;
}

PyObject* array_from(SampleBuffer<std::uint16_t>&& samples)
{
    return build_array(samples, NPY_USHORT, uint16_descr);
}

PyObject* array_from(SampleBuffer<float>&& samples)
{
    return build_array(samples, NPY_FLOAT, float32_descr);
}

}  // namespace vesk

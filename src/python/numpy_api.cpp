#include "numpy_api.hpp"

#include <string>

#define NPY_NO_DEPRECATED_API NPY_1_7_API_VERSION
#include <numpy/ndarraytypes.h>

#include "py_errors.hpp"

namespace vesk {

namespace {

// The entries of NumPy's function table that vesk uses. Their positions are
// part of NumPy's stable ABI (the same in 1.x and 2.x).
constexpr std::size_t kArrayTypeSlot = 2;
constexpr std::size_t kDescrFromTypeSlot = 45;
constexpr std::size_t kNewFromDescrSlot = 94;
constexpr std::size_t kSetBaseObjectSlot = 282;

using DescrFromTypeFn = PyArray_Descr* (*)(int);
using NewFromDescrFn = PyObject* (*)(PyTypeObject*, PyArray_Descr*, int, const npy_intp*, const npy_intp*,
                                     void*, int, PyObject*);
using SetBaseObjectFn = int (*)(PyArrayObject*, PyObject*);

static_assert(static_cast<int>(NumpyApi::Dtype::Int32) == NPY_INT);
static_assert(static_cast<int>(NumpyApi::Dtype::UInt32) == NPY_UINT);
static_assert(static_cast<int>(NumpyApi::Dtype::Int64) == NPY_LONG);
static_assert(static_cast<int>(NumpyApi::Dtype::UInt64) == NPY_ULONG);
static_assert(static_cast<int>(NumpyApi::Dtype::UInt16) == NPY_USHORT);
static_assert(static_cast<int>(NumpyApi::Dtype::Float32) == NPY_FLOAT);

std::size_t item_size(NumpyApi::Dtype dtype)
{
    switch (dtype) {
    case NumpyApi::Dtype::UInt8: return 1;
    case NumpyApi::Dtype::UInt16: return 2;
    case NumpyApi::Dtype::Int32:
    case NumpyApi::Dtype::UInt32:
    case NumpyApi::Dtype::Float32: return 4;
    case NumpyApi::Dtype::Int64:
    case NumpyApi::Dtype::UInt64: return 8;
    }
    return 1;
}

}  // namespace

// "numpy._core" from NumPy 2 on, "numpy.core" before.
bool NumpyApi::find_core_package()
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
    PyRef parsed = PyRef::steal(PyObject_CallMethod(numpy_lib.get(), "NumpyVersion", "O", version.get()));
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
    core_package_ = major >= 2 ? "numpy._core" : "numpy.core";
    return true;
}

bool NumpyApi::find_table()
{
    const std::string module_name = std::string(core_package_) + ".multiarray";
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
    if (table_ == nullptr) {
        capsule_ = capsule.release();
        table_ = static_cast<void**>(table);
    }
    return true;
}

bool NumpyApi::locate()
{
    if (table_ != nullptr) {
        return true;
    }
    return (core_package_ != nullptr || find_core_package()) && find_table();
}

PyObject* NumpyApi::descriptor(Dtype dtype)
{
    PyObject*& cached = descriptors_[static_cast<int>(dtype)];
    if (cached == nullptr) {
        cached = reinterpret_cast<PyObject*>(
            reinterpret_cast<DescrFromTypeFn>(table_[kDescrFromTypeSlot])(static_cast<int>(dtype)));
        if (cached == nullptr) {
            return nullptr;
        }
    }
    Py_INCREF(cached);
    return cached;
}

PyObject* NumpyApi::array_over(Dtype dtype, std::size_t length, void* data, PyObject* owner_reference)
{
    PyRef owner = PyRef::steal(owner_reference);
    PyObject* descr = descriptor(dtype);
    if (descr == nullptr) {
        return nullptr;
    }
    const npy_intp dims[1] = {static_cast<npy_intp>(length)};
    const npy_intp strides[1] = {static_cast<npy_intp>(item_size(dtype))};
    // NewFromDescr steals the descriptor; NumPy derives the aligned and
    // contiguous flags from the data itself.
    PyRef array = PyRef::steal(reinterpret_cast<NewFromDescrFn>(table_[kNewFromDescrSlot])(
        static_cast<PyTypeObject*>(table_[kArrayTypeSlot]), reinterpret_cast<PyArray_Descr*>(descr), 1, dims,
        strides, data, NPY_ARRAY_WRITEABLE, nullptr));
    if (!array) {
        return nullptr;
    }
    // SetBaseObject steals the owner, also when it fails.
    if (reinterpret_cast<SetBaseObjectFn>(table_[kSetBaseObjectSlot])(
            reinterpret_cast<PyArrayObject*>(array.get()), owner.release())
        < 0) {
        return nullptr;
    }
    return array.release();
}

}  // namespace vesk

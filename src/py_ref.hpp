// An owned reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <cstdarg>
#include <utility>

namespace vesk {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (possibly null, after a failed call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    static PyRef borrow(PyObject* object)
    {
        Py_XINCREF(object);
        return PyRef(object);
    }

    PyRef(PyRef&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    PyRef& operator=(PyRef&& other) noexcept
    {
        PyObject* old = std::exchange(object_, std::exchange(other.object_, nullptr));
        Py_XDECREF(old);
        return *this;
    }
    PyRef(const PyRef&) = delete;
    PyRef& operator=(const PyRef&) = delete;
    ~PyRef() { Py_XDECREF(object_); }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

// PyErr_Format, except that a message that cannot be formatted (no memory)
// leaves that MemoryError set; CPython before 3.11 replaces it with an
// exception of `type` that has no message.
inline void raise_formatted(PyObject* type, const char* format, ...)
{
    va_list arguments;
    va_start(arguments, format);
    PyObject* message = PyUnicode_FromFormatV(format, arguments);
    va_end(arguments);
    if (message != nullptr) {
        PyErr_SetObject(type, message);
        Py_DECREF(message);
    }
}

// PyType_FromSpec for a spec known to be valid. Such a creation can only fail
// for lack of memory, and CPython 3.11 has paths that then return null without
// setting an exception; make sure one is set.
inline PyObject* type_from_valid_spec(PyType_Spec* spec)
{
    PyObject* type = PyType_FromSpec(spec);
    if (type == nullptr && PyErr_Occurred() == nullptr) {
        PyErr_NoMemory();
    }
    return type;
}

}  // namespace vesk

// An owned reference to a Python object.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace vesk {

class PyRef {
public:
    PyRef() = default;
    // Takes over a new reference (possibly null, after a failed call).
    static PyRef steal(PyObject* object) { return PyRef(object); }
    // Takes a new reference to a borrowed object.
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
    ~PyRef()
    {
        if (object_ != nullptr && !thread_being_ended()) {
            Py_DECREF(object_);
        }
    }

    PyObject* get() const { return object_; }
    explicit operator bool() const { return object_ != nullptr; }
    // Hands the reference to the caller.
    PyObject* release() { return std::exchange(object_, nullptr); }

private:
    // Whether this thread is being unwound by the interpreter, which ends a
    // thread that asks for its lock back while it is being torn down: the
    // thread holds no lock, so its references are left, as the interpreter
    // leaves those of its own frames.
    static bool thread_being_ended()
    {
#if PY_VERSION_HEX >= 0x030D0000
        return Py_IsFinalizing() && !PyGILState_Check();
#else
        return _Py_IsFinalizing() && !PyGILState_Check();
#endif
    }

    explicit PyRef(PyObject* object) : object_(object) {}
    PyObject* object_ = nullptr;
};

}  // namespace vesk

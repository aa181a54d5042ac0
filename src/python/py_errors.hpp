// Raising Python errors robustly, also when memory runs out on the way.
#pragma once

#include <cstdarg>

#include "py_ref.hpp"

namespace vesk {

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

// The exception being raised, taken out of the thread's error state as an
// object (its traceback attached), to be handed to Python as a value.
inline PyRef fetch_raised()
{
    PyObject *type, *value, *traceback;
    PyErr_Fetch(&type, &value, &traceback);
    if (type == nullptr) {
        return PyRef();
    }
    PyErr_NormalizeException(&type, &value, &traceback);
    if (traceback != nullptr && value != nullptr) {
        PyException_SetTraceback(value, traceback);
    }
    Py_XDECREF(type);
    Py_XDECREF(traceback);
    return PyRef::steal(value);
}

// A Python exception taken out of the thread's error state, to be raised later
// (possibly by another call).
class SavedError {
public:
    explicit operator bool() const { return static_cast<bool>(type_); }
    // Takes the pending exception.
    void fetch()
    {
        PyObject *type, *value, *traceback;
        PyErr_Fetch(&type, &value, &traceback);
        type_ = PyRef::steal(type);
        value_ = PyRef::steal(value);
        traceback_ = PyRef::steal(traceback);
    }
    // Makes it the pending exception again, and forgets it.
    void restore() { PyErr_Restore(type_.release(), value_.release(), traceback_.release()); }
    // For the garbage collector of an object that holds it.
    int traverse(visitproc visit, void* arg) const
    {
        Py_VISIT(type_.get());
        Py_VISIT(value_.get());
        Py_VISIT(traceback_.get());
        return 0;
    }
    void clear()
    {
        type_ = PyRef();
        value_ = PyRef();
        traceback_ = PyRef();
    }

private:
    PyRef type_, value_, traceback_;
};

}  // namespace vesk

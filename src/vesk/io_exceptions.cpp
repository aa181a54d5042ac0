#include "io_exceptions.hpp"

#include <cerrno>
#include <string>

#include "py_ref.hpp"

namespace vesk {

namespace {

PyObject* exception_class_for(const IoError& error)
{
    if (error.kind() != IoError::Kind::Os) {
        return PyExc_OSError;
    }
    switch (error.os_errno()) {
    case EPERM:
    case EACCES: return PyExc_PermissionError;
    case ENOENT: return PyExc_FileNotFoundError;
    case EINTR: return PyExc_InterruptedError;
    case EAGAIN: return PyExc_BlockingIOError;
    case ENOMEM: return PyExc_MemoryError;
    case EEXIST: return PyExc_FileExistsError;
    case ENOTDIR: return PyExc_NotADirectoryError;
    case EISDIR: return PyExc_IsADirectoryError;
    case EPIPE: return PyExc_BrokenPipeError;
    case ECONNABORTED: return PyExc_ConnectionAbortedError;
    case ECONNRESET: return PyExc_ConnectionResetError;
    case ETIMEDOUT: return PyExc_TimeoutError;
    case ECONNREFUSED: return PyExc_ConnectionRefusedError;
    default: return PyExc_OSError;
    }
}

// One argument only: with a single argument OSError leaves errno, strerror
// and filename as None and does not pick a subclass of its own.
void raise_with_display_text(PyObject* exception_class, const IoError& error)
{
    if (error.is_interrupted()) {
        return;
    }
    const std::string text = error.display();
    PyRef message =
        PyRef::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
    if (message) {
        PyErr_SetObject(exception_class, message.get());
    }
}

}  // namespace

void raise_io_error(const IoError& error)
{
    raise_with_display_text(exception_class_for(error), error);
}

void raise_plain_os_error(const IoError& error)
{
    raise_with_display_text(PyExc_OSError, error);
}

}  // namespace vesk

// A byte source over a Python binary file object (anything with `readinto`:
// sys.stdin.buffer, io.BytesIO, gzip.open(...)). Read as a stream: it is
// never asked to seek.
#pragma once

#include <cerrno>

#include "byte_source.hpp"
#include "interpreter_hooks.hpp"
#include "py_errors.hpp"

namespace vesk {

class PythonFileSource final : public ByteSource {
public:
    // `file` is borrowed (the reader keeps it alive); `hooks.saved` is the
    // thread state saved by whoever released the interpreter lock around the
    // read, taken back here to call into Python. A failed read leaves its
    // exception in `error`. The source holds no reference of its own, so it
    // may be destroyed without the interpreter lock.
    PythonFileSource(PyObject* file, ReleasedLockHooks& hooks, SavedError& error)
        : file_(file), hooks_(hooks), error_(error)
    {
    }

    IoResult<std::size_t> read(void* dst, std::size_t n) override
    {
        hooks_.take_lock();
        IoResult<std::size_t> result = read_holding_lock(dst, n);
        hooks_.release_lock();
        return result;
    }

private:
    IoResult<std::size_t> read_holding_lock(void* dst, std::size_t n)
    {
        PyRef view = PyRef::steal(
            PyMemoryView_FromMemory(static_cast<char*>(dst), static_cast<Py_ssize_t>(n), PyBUF_WRITE));
        PyRef got = view ? PyRef::steal(PyObject_CallMethod(file_, "readinto", "O", view.get())) : PyRef();
        if (got && got.get() == Py_None) {
            // A non-blocking file with nothing to give yet: the answer of a
            // non-blocking descriptor, after which reading goes on.
            got = PyRef();
            release(view);
            return IoError::os(EAGAIN);
        }
        Py_ssize_t count = -1;
        if (got) {
            count = PyNumber_AsSsize_t(got.get(), PyExc_OverflowError);
            if (count >= 0 && static_cast<std::size_t>(count) > n) {
                PyErr_SetString(PyExc_ValueError, "readinto returned more bytes than asked for");
                count = -1;
            }
        }
        if (count < 0) {
            error_.fetch();
        }
        release(view);
        if (count < 0) {
            return IoError::source_failed();
        }
        return static_cast<std::size_t>(count);
    }

    // The view must not outlive the read: the memory is not Python's.
    static void release(const PyRef& view)
    {
        if (view) {
            PyRef released = PyRef::steal(PyObject_CallMethod(view.get(), "release", nullptr));
            if (!released) {
                PyErr_Clear();
            }
        }
    }

    PyObject* file_;
    ReleasedLockHooks& hooks_;
    SavedError& error_;
};

}  // namespace vesk

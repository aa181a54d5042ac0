#include "batch_errors.hpp"

#include <cerrno>

#include "state.hpp"

namespace vesk {

void raise_io_error(const IoError& error, ReaderState& state)
{
    PyObject* path = state.path.get();
    switch (error.kind()) {
    case IoError::Kind::SourceFailed: state.source_error.restore(); return;
    case IoError::Kind::Interrupted: return;  // the signal handler's exception is set
    case IoError::Kind::Os:
        if (error.os_errno() == ENOMEM) {
            PyErr_NoMemory();
            return;
        }
        // Python's own wording and OSError subclass: "[Errno 2] No such file
        // or directory: 'run.wd1'".
        errno = error.os_errno();
        PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, path);
        return;
    case IoError::Kind::UnexpectedEof:
        raise_formatted(PyExc_OSError, "%R: the file ends before the layout of its WD2 events can be told",
                        path);
        return;
    case IoError::Kind::InvalidInput:
    case IoError::Kind::StreamTooLarge:
        raise_formatted(PyExc_OSError, "%R: %s", path, error.display().c_str());
        return;
    }
}

void raise_damaged(PyObject* path, std::uint64_t index, std::uint64_t offset, const char* reason)
{
    PyRef error = PyRef::steal(PyObject_CallFunction(arrays_state().damaged_error, "OKKs", path,
                                                     static_cast<unsigned long long>(index),
                                                     static_cast<unsigned long long>(offset), reason));
    if (error) {
        PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.get())), error.get());
    }
}

const char* damage_reason(const ReaderState& state)
{
    return !state.wd2 ? "its event_size gives a negative number of samples"
                      : "its data length (samples x channels x 4 bytes) is 2^63 bytes or more";
}

bool raise_pending(ReaderState& state)
{
    if (!state.pending) {
        return false;
    }
    state.pending.restore();
    return true;
}

PyObject* damage_list(const std::vector<Damage>& damaged, const char* reason)
{
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(damaged.size())));
    if (!list) {
        return nullptr;
    }
    for (std::size_t i = 0; i < damaged.size(); ++i) {
        PyObject* item = Py_BuildValue("(KKs)", static_cast<unsigned long long>(damaged[i].index),
                                       static_cast<unsigned long long>(damaged[i].offset), reason);
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), item);
    }
    return list.release();
}

bool settle(ReaderState& state, const RunEnd& end, std::size_t produced)
{
    switch (end.outcome) {
    case Outcome::Error: raise_io_error(*end.error, state); break;
    case Outcome::OutOfMemory: PyErr_NoMemory(); break;
    default: return true;
    }
    if (produced == 0) {
        return false;
    }
    state.pending.fetch();
    return true;
}

}  // namespace vesk

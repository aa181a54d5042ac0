#include "batch_errors.hpp"

#include <cerrno>

namespace vesk {

void raise_read_error(const IoError& error, ReaderState& state)
{
    PyObject* path = state.path.get();
    switch (error.kind()) {
    case IoError::Kind::SourceFailed: state.source_error.restore(); return;
    case IoError::Kind::Interrupted:
        if (!PyErr_Occurred()) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);  // the handler's exception was taken already
        }
        return;
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
        raise_formatted(PyExc_OSError, "%R: the file ends inside an event", path);
        return;
    case IoError::Kind::InvalidInput:
    case IoError::Kind::StreamTooLarge:
        raise_formatted(PyExc_OSError, "%R: %s", path, error.display().c_str());
        return;
    }
}

}  // namespace vesk

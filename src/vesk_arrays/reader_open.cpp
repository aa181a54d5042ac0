// Making a vesk_arrays._core.Reader: the arguments checked, the source
// opened, and a WD2 source's layout told, with the interpreter lock released.
#include "reader_open.hpp"

#include <memory>
#include <new>
#include <optional>
#include <string>

#include "arrays_module_state.hpp"
#include "batch_errors.hpp"
#include "file_mapping.hpp"
#include "fork_hooks.hpp"
#include "python_source.hpp"

namespace vesk {

namespace {

// Refills read 1 MiB at a time: few system calls, and a buffer that stays in
// the cache while the columns are filled from it.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

// Opens the file named by `path` (mapped, when asked and it is a regular
// file), or buffers the Python file object.
IoResult<BufferedFile> open_source(ReaderState& state, const std::string& path, bool memory_map)
{
    if (!state.file && memory_map) {
        IoResult<std::shared_ptr<FileMapping>> mapping = FileMapping::open(path, &state.hooks);
        if (!mapping.ok()) {
            return mapping.error();
        }
        if (mapping.value()) {
            return BufferedFile::over_mapping(std::move(mapping.value()));
        }
    }
    if (!state.file) {
        return BufferedFile::open(path, kReadSize, &state.hooks);
    }
    return BufferedFile::over(std::make_unique<PythonFileSource>(state.file.get(), state.hooks,
                                                                 state.source_error, state.ranged_size),
                              kReadSize);
}

// The path in the file system's encoding, as os.fsencode gives it.
bool path_argument(PyObject* source, std::string& out)
{
    PyRef encoded = PyRef::steal(PyUnicode_EncodeFSDefault(source));
    if (!encoded) {
        return false;
    }
    out.assign(PyBytes_AS_STRING(encoded.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(encoded.get())));
    return true;
}

}  // namespace

void raise_open_failure(ReaderState& state, const OpenFailure& failure)
{
    // The package raises these as the first event's damage, naming the file.
    if (!failure.error) {
        raise_formatted(PyExc_ValueError,
                        "%s, so the layout of the WD2 file cannot be told; give layout= to read it",
                        kDamagedHeaderReasons[static_cast<std::size_t>(Format::WD2)]);
    } else if (failure.error->is_eof()) {
        raise_formatted(PyExc_OSError,
                        "%R: the layout of its WD2 events cannot be told from its first events; give "
                        "layout='multi-channel' or layout='single-channel' to read it",
                        state.path.get());
    } else {
        raise_read_error(*failure.error, state);
    }
}

PyObject* open_reader(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"source", "format", "name",       "follow", "layout",
                                     "finite", "size",   "memory_map", nullptr};
    PyObject* source = nullptr;
    const char* format = nullptr;
    PyObject* name_object = nullptr;
    int follow = 0;
    int layout = 0;
    int finite = 0;
    long long size = -1;
    int memory_map = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsU|pipLp:Reader", const_cast<char**>(keywords), &source,
                                     &format, &name_object, &follow, &layout, &finite, &size, &memory_map)) {
        return nullptr;
    }
    const std::optional<Format> named = format_named(format);
    if (!named) {
        raise_formatted(PyExc_ValueError, "unknown reader type '%s', expected 'WD1' or 'WD2'", format);
        return nullptr;
    }
    // Memory safety rests on these: the package passes LAYOUTS' values.
    if (layout < 0 || layout >= kLayoutRequestCount) {
        PyErr_SetString(PyExc_ValueError, "layout must be one of LAYOUTS' values");
        return nullptr;
    }
    std::string path;
    if (PyUnicode_Check(source)) {
        if (!path_argument(source, path)) {
            return nullptr;
        }
    } else if (!PyObject_HasAttrString(source, "readinto")) {
        raise_formatted(PyExc_TypeError,
                        "source must be a path or a binary file object with readinto, not '%s'",
                        Py_TYPE(source)->tp_name);
        return nullptr;
    }
    if (!arrays_module_state().numpy.locate()) {
        return nullptr;
    }
    PyRef self = PyRef::steal(type->tp_alloc(type, 0));
    if (!self) {
        return nullptr;
    }
    ReaderState* state = new (std::nothrow) ReaderState();
    if (state == nullptr) {
        return PyErr_NoMemory();
    }
    reinterpret_cast<ReaderObject*>(self.get())->state = state;
    register_reader(*state);
    state->follow = follow != 0;
    state->finite_stream = finite != 0 && follow == 0;
    Py_INCREF(name_object);
    state->path = PyRef::steal(name_object);
    if (!PyUnicode_Check(source)) {
        Py_INCREF(source);
        state->file = PyRef::steal(source);
        if (size >= 0) {
            state->ranged_size = static_cast<std::uint64_t>(size);
        }
    }
    const StreamSettings settings{.format = *named,
                                  .layout = static_cast<LayoutRequest>(layout),
                                  .follow = state->follow,
                                  .finite_stream = state->finite_stream,
                                  .background_reads = !state->file};

    // Opening a FIFO waits for a writer, and a WD2 probe reads: neither holds
    // up other threads.
    std::optional<IoError> failure;
    std::optional<OpenFailure> open_failure;
    const bool waited = without_interpreter_lock(*state, [&] {
                            IoResult<BufferedFile> opened =
                                open_source(*state, path, memory_map != 0 && follow == 0);
                            if (!opened.ok()) {
                                failure = opened.error();
                            } else {
                                state->mapped = opened.value().mapping() != nullptr;
                                state->stream.emplace(std::move(opened.value()), settings, state->pool,
                                                      &state->hooks.in_background);
                                open_failure = state->stream->open();
                            }
                            return 0;
                        }).has_value();
    if (!waited) {
        return nullptr;
    }
    if (failure) {
        raise_read_error(*failure, *state);
        return nullptr;
    }
    if (open_failure) {
        raise_open_failure(*state, *open_failure);
        return nullptr;
    }
    return self.release();
}

}  // namespace vesk

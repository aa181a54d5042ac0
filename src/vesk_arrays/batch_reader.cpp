#include "batch_reader.hpp"

#include <cerrno>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "batch_arrays.hpp"
#include "batch_errors.hpp"
#include "python_source.hpp"
#include "reader_state.hpp"

namespace vesk {

namespace {

// Refills read 1 MiB at a time: few system calls, and a buffer that stays in
// the cache while the columns are filled from it.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

struct ReaderObject {
    PyObject_HEAD
    ReaderState* state;
};

ReaderState& state_of(PyObject* self)
{
    return *reinterpret_cast<ReaderObject*>(self)->state;
}

// ---- construction

// A quick check for a clear message; calls check again under the mutex.
bool check_open(ReaderState& state)
{
    if (state.closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
        return false;
    }
    return true;
}

// Opens the file named by `path`, or buffers the Python file object.
IoResult<BufferedFile> open_source(ReaderState& state, std::string_view path)
{
    if (!state.file) {
        return BufferedFile::open(path, kReadSize, &state.hooks);
    }
    return BufferedFile::over(
        std::make_unique<PythonFileSource>(state.file.get(), state.hooks, state.source_error), kReadSize);
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"source", "format", "name", nullptr};
    PyObject* source = nullptr;
    const char* format = nullptr;
    PyObject* name_object = nullptr;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsU:Reader", const_cast<char**>(keywords), &source,
                                     &format, &name_object)) {
        return nullptr;
    }
    const std::string_view name(format);
    if (name != "WD1" && name != "WD2") {
        raise_formatted(PyExc_ValueError, "unknown reader type '%s', expected 'WD1' or 'WD2'", format);
        return nullptr;
    }
    std::string_view path_text;
    if (PyUnicode_Check(source)) {
        Py_ssize_t size = 0;
        const char* utf8 = PyUnicode_AsUTF8AndSize(source, &size);
        if (utf8 == nullptr) {
            return nullptr;
        }
        path_text = std::string_view(utf8, static_cast<std::size_t>(size));
    } else if (!PyObject_HasAttrString(source, "readinto")) {
        raise_formatted(PyExc_TypeError,
                        "source must be a path or a binary file object with readinto, not '%s'",
                        Py_TYPE(source)->tp_name);
        return nullptr;
    }
    if (!arrays_state().numpy.locate()) {
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
    Py_INCREF(name_object);
    state->path = PyRef::steal(name_object);
    if (!PyUnicode_Check(source)) {
        Py_INCREF(source);
        state->file = PyRef::steal(source);
    }

    // Opening a FIFO waits for a writer, and a WD2 probe reads: neither holds
    // up other threads.
    std::optional<IoError> failure;
    bool overflow = false;
    const bool waited =
        without_interpreter_lock(*state, [&] {
            IoResult<BufferedFile> opened = open_source(*state, path_text);
            if (!opened.ok()) {
                failure = opened.error();
            } else if (name == "WD1") {
                state->decoder.emplace(std::in_place_type<WD1Reader>, std::move(opened.value()));
            } else {
                WD2ProbeResult probed =
                    WD2Reader::probe(std::move(opened.value()), WD2Reader::Return::Restore);
                if (auto* reader = std::get_if<WD2Reader>(&probed)) {
                    state->wd2 = true;
                    state->has_channel_field = reader->has_channel_field();
                    state->channel_count = reader->channel_count();
                    state->decoder.emplace(std::in_place_type<WD2Reader>, std::move(*reader));
                } else if (auto* error = std::get_if<IoError>(&probed)) {
                    failure = *error;
                } else {
                    overflow = true;
                }
            }
            return 0;
        }).has_value();
    if (!waited) {
        return nullptr;
    }
    if (failure) {
        raise_io_error(*failure, *state);
        return nullptr;
    }
    if (overflow) {
        raise_damaged(state->path.get(), 0, 0,
                      "its data length (samples x channels x 4 bytes) is 2^63 bytes or more, "
                      "so the layout of the file cannot be told");
        return nullptr;
    }
    return self.release();
}

void reader_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    delete reinterpret_cast<ReaderObject*>(self)->state;  // closes the file
    type->tp_free(self);
    Py_DECREF(type);
}

// ---- reading

// An optional non-negative count: nothing for None.
bool count_argument(PyObject* value, const char* name, std::uint64_t& out)
{
    if (value == Py_None) {
        out = UINT64_MAX;
        return true;
    }
    out = PyLong_AsUnsignedLongLong(value);
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_formatted(PyExc_ValueError, "%s must be None or a non-negative int", name);
        return false;
    }
    return true;
}

// Runs work(decoder) with the interpreter lock released and the reader's
// mutex held. Nothing, with the exception set, when the reader is closed or a
// signal handler raised while waiting for another thread's call.
template <class Work>
auto with_decoder(ReaderState& state, Work&& work) -> std::optional<decltype(work(std::declval<Decoder&>()))>
{
    using Result = decltype(work(std::declval<Decoder&>()));
    bool closed = false;
    std::optional<Result> result = without_interpreter_lock(state, [&] {
        if (!state.decoder) {
            closed = true;
            return Result{};
        }
        return work(*state.decoder);
    });
    if (result && closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
        return std::nullopt;
    }
    return result;
}

// Steps the reader into the sink (under the reader's mutex), keeping count of
// the events it went over.
template <class Reader, class Sink>
RunEnd run_counted(ReaderState& state, Reader& reader, Sink& sink, std::uint64_t max_events,
                   bool skip_damaged)
{
    std::uint64_t events_read = state.events_read;
    RunEnd ended = run(reader, sink, events_read, max_events, skip_damaged);
    state.events_read = events_read;
    return ended;
}

// The damaged events a run met, as a list, once what ended it is raised or
// kept; null with the exception set otherwise.
PyObject* settled_damage(ReaderState& state, const std::optional<RunEnd>& end, std::size_t produced)
{
    if (!end || !settle(state, *end, produced)) {
        return nullptr;
    }
    return damage_list(end->damaged, damage_reason(state));
}

template <class Reader>
PyObject* read_batch(ReaderState& state, std::uint64_t max_events, std::optional<std::uint64_t> max_bytes,
                     bool skip_damaged)
{
    std::optional<BatchSink<Reader>> sink;
    std::optional<RunEnd> end = with_decoder(state, [&](Decoder& decoder) {
        Reader& reader = std::get<Reader>(decoder);
        sink.emplace(reader.file(), max_events, max_bytes);
        return run_counted(state, reader, *sink, max_events, skip_damaged);
    });
    PyRef damaged = PyRef::steal(settled_damage(state, end, sink ? sink->events() : 0));
    if (!damaged) {
        return nullptr;
    }
    return batch_to_python(*sink, damaged.get());
}

template <class Reader>
PyObject* skip_events(ReaderState& state, std::uint64_t count, bool skip_damaged)
{
    CountingSink<Reader> sink;
    std::optional<RunEnd> end = with_decoder(state, [&](Decoder& decoder) {
        return run_counted(state, std::get<Reader>(decoder), sink, count, skip_damaged);
    });
    PyRef damaged = PyRef::steal(settled_damage(state, end, sink.events));
    if (!damaged) {
        return nullptr;
    }
    return Py_BuildValue("(KO)", static_cast<unsigned long long>(sink.events), damaged.get());
}

PyObject* reader_read(PyObject* self, PyObject* args)
{
    PyObject* max_events_object = nullptr;
    PyObject* max_bytes_object = nullptr;
    int skip_damaged = 0;
    if (!PyArg_ParseTuple(args, "OOp:read", &max_events_object, &max_bytes_object, &skip_damaged)) {
        return nullptr;
    }
    std::uint64_t max_events = 0;
    std::uint64_t max_bytes = 0;
    if (!count_argument(max_events_object, "max_events", max_events)
        || !count_argument(max_bytes_object, "max_bytes", max_bytes)) {
        return nullptr;
    }
    ReaderState& state = state_of(self);
    if (!check_open(state) || raise_pending(state)) {
        return nullptr;
    }
    const std::optional<std::uint64_t> byte_limit =
        max_bytes_object == Py_None ? std::nullopt : std::optional<std::uint64_t>(max_bytes);
    return state.wd2 ? read_batch<WD2Reader>(state, max_events, byte_limit, skip_damaged != 0)
                     : read_batch<WD1Reader>(state, max_events, byte_limit, skip_damaged != 0);
}

PyObject* reader_skip(PyObject* self, PyObject* args)
{
    PyObject* count_object = nullptr;
    int skip_damaged = 0;
    if (!PyArg_ParseTuple(args, "Op:skip", &count_object, &skip_damaged)) {
        return nullptr;
    }
    std::uint64_t count = 0;
    if (!count_argument(count_object, "count", count)) {
        return nullptr;
    }
    ReaderState& state = state_of(self);
    if (!check_open(state) || raise_pending(state)) {
        return nullptr;
    }
    return state.wd2 ? skip_events<WD2Reader>(state, count, skip_damaged != 0)
                     : skip_events<WD1Reader>(state, count, skip_damaged != 0);
}

PyObject* reader_close(PyObject* self, PyObject*)
{
    ReaderState& state = state_of(self);
    const bool waited = without_interpreter_lock(state, [&] {
                            state.decoder.reset();
                            state.closed = true;
                            return 0;
                        }).has_value();
    if (!waited) {
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* reader_closed(PyObject* self, void*)
{
    return PyBool_FromLong(state_of(self).closed);
}

PyObject* reader_events_read(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong(state_of(self).events_read);
}

PyObject* reader_position(PyObject* self, void*)
{
    std::optional<std::uint64_t> position = with_decoder(state_of(self), [](Decoder& decoder) {
        return std::visit([](auto& reader) { return reader.file().position(); }, decoder);
    });
    return position ? PyLong_FromUnsignedLongLong(*position) : nullptr;
}

// (has_channel_field, channel_count) of a WD2 file; None for WD1.
PyObject* reader_layout(PyObject* self, void*)
{
    ReaderState& state = state_of(self);
    if (!check_open(state)) {
        return nullptr;
    }
    if (state.wd2) {
        return Py_BuildValue("(Oi)", state.has_channel_field ? Py_True : Py_False, state.channel_count);
    }
    Py_RETURN_NONE;
}

PyMethodDef reader_methods[] = {
    {.ml_name = "read",
     .ml_meth = reader_read,
     .ml_flags = METH_VARARGS,
     .ml_doc = "read(max_events, max_bytes, skip_damaged) -> (columns, offsets, damaged)"},
    {.ml_name = "skip",
     .ml_meth = reader_skip,
     .ml_flags = METH_VARARGS,
     .ml_doc = "skip(count, skip_damaged) -> (skipped, damaged)"},
    {.ml_name = "close", .ml_meth = reader_close, .ml_flags = METH_NOARGS, .ml_doc = "close()"},
    {.ml_name = nullptr, .ml_meth = nullptr, .ml_flags = 0, .ml_doc = nullptr},
};

PyGetSetDef reader_getset[] = {
    {.name = "closed", .get = reader_closed, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = "events_read", .get = reader_events_read, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = "position", .get = reader_position, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = "layout", .get = reader_layout, .set = nullptr, .doc = nullptr, .closure = nullptr},
    {.name = nullptr, .get = nullptr, .set = nullptr, .doc = nullptr, .closure = nullptr},
};

PyType_Slot reader_slots[] = {
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(reader_new)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(reader_dealloc)},
    {.slot = Py_tp_methods, .pfunc = reader_methods},
    {.slot = Py_tp_getset, .pfunc = reader_getset},
    {.slot = 0, .pfunc = nullptr},
};

PyType_Spec reader_spec = {
    .name = "vesk_arrays._core.Reader",
    .basicsize = sizeof(ReaderObject),
    .itemsize = 0,
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = reader_slots,
};

}  // namespace

PyRef create_batch_reader_type()
{
    return PyRef::steal(type_from_valid_spec(&reader_spec));
}

}  // namespace vesk

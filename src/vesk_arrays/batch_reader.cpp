#include "batch_reader.hpp"

#include <optional>
#include <variant>

#include "batch_arrays.hpp"
#include "batch_errors.hpp"
#include "batch_report.hpp"
#include "exception_guard.hpp"
#include "fork_hooks.hpp"
#include "reader_open.hpp"
#include "reader_state.hpp"

namespace vesk {

namespace {

// A C++ exception that escapes a call becomes a Python exception here.
template <class Body>
PyObject* entry_point(Body&& body)
{
    return guarded(std::forward<Body>(body), static_cast<PyObject*>(nullptr), raise_system_error);
}

// ---- checks

// In a forked child, a reader that another thread was inside at the fork: its
// mutex is held by a thread this process does not have.
bool check_not_lost(const ReaderState& state)
{
    if (state.lost_at_fork) {
        raise_formatted(PyExc_RuntimeError,
                        "%R: another thread was inside a call of this reader when the process forked, and "
                        "that thread is not in this process: the reader cannot be used here; open the file "
                        "again",
                        state.path.get());
        return false;
    }
    return true;
}

// A quick check for a clear message; calls check again under the mutex.
bool check_open(ReaderState& state)
{
    if (!check_not_lost(state)) {
        return false;
    }
    if (state.closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
        return false;
    }
    return true;
}

// ---- life

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return entry_point([&] { return open_reader(type, args, kwargs); });
}

// What a reader lost at a fork holds is left as it is, never freed: the call
// under way at the fork may have been changing any of it. That includes the
// Python file object it reads, which the call may have been inside, holding
// its locks: freed, it would be closed, and wait for them for ever.
void abandon(ReaderState& state)
{
    unregister_reader(state);
}

void reader_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    PyObject_GC_UnTrack(self);
    ReaderState* state = reinterpret_cast<ReaderObject*>(self)->state;
    if (state != nullptr && state->lost_at_fork) {
        abandon(*state);
    } else if (state != nullptr) {
        unregister_reader(*state);
        delete state;  // closes the file
    }
    type->tp_free(self);
    Py_DECREF(type);
}

// A reader holds Python objects (the file object it reads, the error that
// file raised), and those may lead back to it: a kept exception's traceback
// holds the frames that hold the reader. The garbage collector must see them.
int reader_traverse(PyObject* self, visitproc visit, void* arg)
{
    Py_VISIT(Py_TYPE(self));
    const ReaderState* state = reinterpret_cast<ReaderObject*>(self)->state;
    // A reader lost at a fork keeps its references for ever (see abandon): the
    // collector must count them as held from outside, never finalize their objects.
    if (state != nullptr && !state->lost_at_fork) {
        Py_VISIT(state->path.get());
        Py_VISIT(state->file.get());
        return state->source_error.traverse(visit, arg);
    }
    return 0;
}

// Only for a reader no one can reach any more: no call of another thread
// can be using its stream.
int reader_clear(PyObject* self)
{
    ReaderState* state = reinterpret_cast<ReaderObject*>(self)->state;
    if (state != nullptr && !state->lost_at_fork) {
        if (state->stream) {
            state->stream->close();
        }
        state->closed = true;
        state->file = PyRef();
        state->source_error.clear();
    }
    return 0;
}

// ---- reading

// An optional non-negative count: UINT64_MAX for None.
bool count_argument(PyObject* value, const char* name, std::uint64_t& out)
{
    if (value == Py_None) {
        out = UINT64_MAX;
        return true;
    }
    out = PyLong_AsUnsignedLongLong(value);
    if (out == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
        raise_formatted(PyExc_ValueError, "%s must be None or an int from 0 to 2**64 - 1", name);
        return false;
    }
    return true;
}

// The report of a call (see _core.Report). `interruption`, when given, is
// what a signal handler raised once the events were read: it is the call's
// error.
PyObject* call_report(ReaderState& state, const FillEnd& end, PyRef interruption = PyRef())
{
    PyRef error = std::move(interruption);
    if (!error && (end.outcome == Outcome::Error || end.outcome == Outcome::OutOfMemory)) {
        if (end.outcome == Outcome::Error) {
            raise_read_error(*end.error, state);
        } else {
            PyErr_NoMemory();
        }
        error = fetch_raised();
        if (!error) {
            return nullptr;
        }
    }
    return make_report(end, error.get());
}

// Runs `work(stream)` with the interpreter lock released and the reader's
// mutex held, after telling a WD2 source's layout if that is still to be
// done. Nothing, with an exception set, when the reader is closed, the layout
// cannot be told, or a signal handler raised while waiting.
template <class Work>
auto with_stream(ReaderState& state, Work&& work) -> std::optional<decltype(work(*state.stream))>
{
    bool closed = false;
    std::optional<OpenFailure> open_failure;
    using Result = decltype(work(*state.stream));
    std::optional<Result> result = without_interpreter_lock(state, [&]() -> Result {
        closed = !state.stream || state.stream->closed();
        if (closed) {
            return Result{};
        }
        open_failure = state.stream->open();
        return open_failure ? Result{} : work(*state.stream);
    });
    if (result && closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
        return std::nullopt;
    }
    if (result && open_failure) {
        raise_open_failure(state, *open_failure);
        return std::nullopt;
    }
    return result;
}

// ((columns, offsets), report): a batch of the reader's format, None for the
// arrays while a WD2 source does not yet hold enough bytes to tell its layout.
template <bool Samples>
PyObject* read_batch(ReaderState& state, const BatchLimits& limits, ReadAheadMode read_ahead)
{
    std::optional<NextBatch<Samples>> batch = with_stream(
        state, [&](BatchStream& stream) { return stream.template next<Samples>(limits, read_ahead); });
    if (!batch) {
        return nullptr;
    }
    PyRef arrays = std::visit(
        [&](auto& sink) {
            if constexpr (std::is_same_v<std::remove_reference_t<decltype(sink)>, std::monostate>) {
                return PyRef::borrow(Py_None);
            } else {
                return PyRef::steal(batch_to_python(sink, state.pool));
            }
        },
        batch->columns);
    if (!arrays) {
        return nullptr;
    }
    // A signal that came while the batch was read, with the lock released and
    // no system call to interrupt, has its handler run here. What the handler
    // raises is handed over with the batch, which the package keeps for the
    // next call; raised as the call returns, it would drop events the reader
    // has moved past.
    const FillEnd& end = batch->end;
    PyRef interruption;
    if (end.outcome != Outcome::Error && end.outcome != Outcome::OutOfMemory && PyErr_CheckSignals() < 0) {
        interruption = fetch_raised();
        if (!interruption) {
            return nullptr;
        }
    }
    PyRef report = PyRef::steal(call_report(state, end, std::move(interruption)));
    if (!report) {
        return nullptr;
    }
    return Py_BuildValue("(OO)", arrays.get(), report.get());
}

PyObject* reader_read(PyObject* self, PyObject* args)
{
    return entry_point([&]() -> PyObject* {
        PyObject *max_events_object, *max_bytes_object, *stop_object;
        int skip_damaged = 0;
        int read_ahead = 0;
        int samples = 1;
        if (!PyArg_ParseTuple(args, "OOpO|ip:read", &max_events_object, &max_bytes_object, &skip_damaged,
                              &stop_object, &read_ahead, &samples)) {
            return nullptr;
        }
        BatchLimits limits;
        std::uint64_t max_bytes = 0;
        if (!count_argument(max_events_object, "max_events", limits.fill.max_events)
            || !count_argument(max_bytes_object, "max_bytes", max_bytes)
            || !count_argument(stop_object, "stop", limits.fill.stop_index)) {
            return nullptr;
        }
        if (max_bytes_object != Py_None) {
            limits.max_bytes = max_bytes;
        }
        ReaderState& state = state_of(self);
        limits.fill.skip_damaged = skip_damaged != 0;
        limits.fill.follow = state.follow;
        limits.fill.finite_stream = state.finite_stream;
        limits.samples = samples != 0;
        if (!check_open(state)) {
            return nullptr;
        }
        if (read_ahead < 0 || read_ahead >= kReadAheadModeCount) {
            PyErr_SetString(PyExc_ValueError, "read_ahead must be one of READ_AHEAD_MODES' values");
            return nullptr;
        }
        const auto mode = static_cast<ReadAheadMode>(read_ahead);
        return limits.samples ? read_batch<true>(state, limits, mode)
                              : read_batch<false>(state, limits, mode);
    });
}

PyObject* reader_skip(PyObject* self, PyObject* args)
{
    return entry_point([&]() -> PyObject* {
        PyObject *count_object, *stop_object;
        int skip_damaged = 0;
        if (!PyArg_ParseTuple(args, "OpO:skip", &count_object, &skip_damaged, &stop_object)) {
            return nullptr;
        }
        FillLimits limits;
        if (!count_argument(count_object, "count", limits.max_events)
            || !count_argument(stop_object, "stop", limits.stop_index)) {
            return nullptr;
        }
        ReaderState& state = state_of(self);
        if (!check_open(state)) {
            return nullptr;
        }
        limits.skip_damaged = skip_damaged != 0;
        limits.follow = state.follow;
        limits.finite_stream = state.finite_stream;
        std::optional<SkippedEvents> skipped =
            with_stream(state, [&](BatchStream& stream) { return stream.skip(limits); });
        if (!skipped) {
            return nullptr;
        }
        PyRef report = PyRef::steal(call_report(state, skipped->end));
        if (!report) {
            return nullptr;
        }
        return Py_BuildValue("(KO)", static_cast<unsigned long long>(skipped->events), report.get());
    });
}

// Puts the last batch handed out back, for a caller that could not pass it on
// (a signal handler raised before it was returned): the next call reads it
// again. Whether it was put back.
PyObject* reader_put_back(PyObject* self, PyObject*)
{
    return entry_point([&]() -> PyObject* {
        ReaderState& state = state_of(self);
        if (!check_open(state)) {
            return nullptr;
        }
        std::optional<bool> put_back =
            with_stream(state, [&](BatchStream& stream) { return stream.put_back_last(); });
        if (!put_back) {
            return nullptr;
        }
        return PyBool_FromLong(*put_back);
    });
}

PyObject* reader_close(PyObject* self, PyObject*)
{
    return entry_point([&]() -> PyObject* {
        ReaderState& state = state_of(self);
        if (state.lost_at_fork) {
            state.closed = true;  // nothing of it is touched (see abandon)
            Py_RETURN_NONE;
        }
        const bool waited = without_interpreter_lock(state, [&] {
                                if (state.stream) {
                                    state.stream->close();
                                }
                                state.pool->close();
                                state.closed = true;
                                return 0;
                            }).has_value();
        if (!waited) {
            return nullptr;
        }
        Py_RETURN_NONE;
    });
}

PyObject* reader_closed(PyObject* self, void*)
{
    return PyBool_FromLong(state_of(self).closed);
}

// The stream is there once the reader is made: Python never sees one without.
PyObject* reader_events_read(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong(state_of(self).stream->events_read());
}

PyObject* reader_mapped(PyObject* self, void*)
{
    return PyBool_FromLong(state_of(self).mapped);
}

PyObject* reader_trailing_bytes(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong(state_of(self).stream->trailing_bytes());
}

PyObject* reader_position(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong(state_of(self).stream->position());
}

// (has_channel_field, channel_count) of a WD2 file once its layout is known;
// None for WD1 and before. Asked after every batch: once the decoder is made
// it is answered without waiting for the batch being read ahead.
PyObject* reader_layout(PyObject* self, void*)
{
    return entry_point([&]() -> PyObject* {
        ReaderState& state = state_of(self);
        if (!check_not_lost(state)) {
            return nullptr;
        }
        std::optional<BatchStream::Wd2Layout> layout;
        if (!state.closed) {
            layout = state.stream->settled_layout();
        }
        if (!layout) {
            // Not yet opened (a short or followed WD2 source): opening tells it.
            layout = with_stream(state, [](BatchStream& stream) {
                return stream.settled_layout().value_or(BatchStream::Wd2Layout{});
            });
            if (!layout) {
                return nullptr;
            }
        }
        if (!*layout) {
            Py_RETURN_NONE;
        }
        return Py_BuildValue("(Oi)", (*layout)->first ? Py_True : Py_False, (*layout)->second);
    });
}

PyMethodDef reader_methods[] = {
    {.ml_name = "read",
     .ml_meth = reader_read,
     .ml_flags = METH_VARARGS,
     .ml_doc = "read(max_events, max_bytes, skip_damaged, stop, read_ahead=0, samples=True) -> "
               "((columns, offsets), report)"},
    {.ml_name = "skip",
     .ml_meth = reader_skip,
     .ml_flags = METH_VARARGS,
     .ml_doc = "skip(count, skip_damaged, stop) -> (skipped, report)"},
    {.ml_name = "put_back",
     .ml_meth = reader_put_back,
     .ml_flags = METH_NOARGS,
     .ml_doc = "put_back() -> bool: the last batch read is read again by the next call"},
    {.ml_name = "close", .ml_meth = reader_close, .ml_flags = METH_NOARGS, .ml_doc = "close()"},
    {},
};

PyGetSetDef reader_getset[] = {
    {.name = "closed", .get = reader_closed},
    {.name = "events_read", .get = reader_events_read},
    {.name = "mapped", .get = reader_mapped},
    {.name = "trailing_bytes", .get = reader_trailing_bytes},
    {.name = "position", .get = reader_position},
    {.name = "layout", .get = reader_layout},
    {},
};

PyType_Slot reader_slots[] = {
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(reader_new)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(reader_dealloc)},
    {.slot = Py_tp_traverse, .pfunc = reinterpret_cast<void*>(reader_traverse)},
    {.slot = Py_tp_clear, .pfunc = reinterpret_cast<void*>(reader_clear)},
    {.slot = Py_tp_methods, .pfunc = reader_methods},
    {.slot = Py_tp_getset, .pfunc = reader_getset},
    {},
};

PyType_Spec reader_spec = {
    .name = "vesk_arrays._core.Reader",
    .basicsize = sizeof(ReaderObject),
    .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC,
    .slots = reader_slots,
};

}  // namespace

PyRef create_batch_reader_type()
{
    return PyRef::steal(type_from_valid_spec(&reader_spec));
}

}  // namespace vesk

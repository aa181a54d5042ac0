#include "batch_reader.hpp"

#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <variant>

#include "batch_arrays.hpp"
#include "batch_errors.hpp"
#include "fork_hooks.hpp"
#include "guard.hpp"
#include "python_source.hpp"
#include "reader_state.hpp"

namespace vesk {

namespace {

// Refills read 1 MiB at a time: few system calls, and a buffer that stays in
// the cache while the columns are filled from it.
constexpr std::size_t kReadSize = std::size_t{1} << 20;

// Bytes a WD2 source needs before its layout can be told: one header with the
// channel field.
constexpr std::uint64_t kWD2ProbeBytes = 28;

struct ReaderObject {
    PyObject_HEAD
    ReaderState* state;
};

ReaderState& state_of(PyObject* self)
{
    return *reinterpret_cast<ReaderObject*>(self)->state;
}

// A C++ exception that escapes a call becomes a Python exception here.
template <class Body>
PyObject* entry_point(Body&& body)
{
    return guarded(std::forward<Body>(body), static_cast<PyObject*>(nullptr), raise_system_error);
}

// ---- construction

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

// Opens the file named by `path`, or buffers the Python file object.
IoResult<BufferedFile> open_source(ReaderState& state, const std::string& path)
{
    if (!state.file) {
        return BufferedFile::open(path, kReadSize, &state.hooks);
    }
    return BufferedFile::over(
        std::make_unique<PythonFileSource>(state.file.get(), state.hooks, state.source_error), kReadSize);
}

// Bytes a source has shown so far: a regular file's size, what a stream gave.
std::uint64_t bytes_held(BufferedFile& file)
{
    return file.seekable() ? file.source().size().value_or(0) : file.read_end();
}

// Why a WD2 source's layout could not be told.
struct ProbeFailure {
    std::optional<IoError> error;  // nothing: the first event's length overflows
};

// Tries to make the decoder for the source held in `unprobed` (under the
// mutex): a WD1 one at once, a WD2 one once its layout can be told. Nothing
// when the decoder is made, or when a WD2 source does not yet hold enough
// bytes (it is empty or short, or being followed): then it is tried again at
// the next call.
std::optional<ProbeFailure> try_probe(ReaderState& state)
{
    BufferedFile& file = *state.unprobed;
    DecoderOrFailure opened = open_decoder(file, state.format,
                                           {.layout = state.layout,
                                            .probing = Probing::ChainOfEvents,
                                            .how = WD2Reader::Return::Restore,
                                            .finite_stream = state.finite_stream});
    if (auto* decoder = std::get_if<Decoder>(&opened)) {
        std::visit(
            [&](auto& reader) {
                using Reader = std::remove_reference_t<decltype(reader)>;
                state.decoder.emplace(std::in_place_type<BatchDecoder<Reader>>,
                                      BatchDecoder<Reader>{.reader = std::move(reader)});
            },
            *decoder);
        state.unprobed.reset();
        return std::nullopt;
    }
    if (std::holds_alternative<ProbeOverflow>(opened)) {
        return ProbeFailure{};
    }
    const IoError error = std::get<IoError>(opened);
    if (error.is_eof() && (state.follow || bytes_held(file) < kWD2ProbeBytes)) {
        (void)file.restore();  // back at the first byte for the next try
        state.trailing_bytes = bytes_held(file);
        return std::nullopt;
    }
    return ProbeFailure{.error = error};
}

void raise_probe_failure(ReaderState& state, const ProbeFailure& failure)
{
    // The package raises these as the first event's damage, naming the file.
    if (!failure.error) {
        PyErr_SetString(PyExc_ValueError,
                        "its data length (samples x channels x 4 bytes) is 2^63 bytes or more, so the layout "
                        "of the WD2 file cannot be told; give layout= to read it");
    } else if (failure.error->is_eof()) {
        raise_formatted(PyExc_OSError,
                        "%R: the layout of its WD2 events cannot be told from its first events; give "
                        "layout='multi-channel' or layout='single-channel' to read it",
                        state.path.get());
    } else {
        raise_read_error(*failure.error, state);
    }
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

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    static const char* keywords[] = {"source", "format", "name", "follow", "layout", "finite", nullptr};
    PyObject* source = nullptr;
    const char* format = nullptr;
    PyObject* name_object = nullptr;
    int follow = 0;
    int layout = 0;
    int finite = 0;
    if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OsU|pip:Reader", const_cast<char**>(keywords), &source,
                                     &format, &name_object, &follow, &layout, &finite)) {
        return nullptr;
    }
    const std::optional<Format> named = format_named(format);
    if (!named) {
        raise_formatted(PyExc_ValueError, "unknown reader type '%s', expected 'WD1' or 'WD2'", format);
        return nullptr;
    }
    if (layout < 0 || layout > 2) {
        PyErr_SetString(PyExc_ValueError,
                        "layout must be 0 (probe), 1 (multi-channel) or 2 (single-channel)");
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
    register_reader(*state);
    state->follow = follow != 0;
    state->finite_stream = finite != 0 && follow == 0;
    state->format = *named;
    state->layout = static_cast<LayoutRequest>(layout);
    Py_INCREF(name_object);
    state->path = PyRef::steal(name_object);
    if (!PyUnicode_Check(source)) {
        Py_INCREF(source);
        state->file = PyRef::steal(source);
    }

    // Opening a FIFO waits for a writer, and a WD2 probe reads: neither holds
    // up other threads.
    std::optional<IoError> failure;
    std::optional<ProbeFailure> probe_failure;
    const bool waited = without_interpreter_lock(*state, [&] {
                            IoResult<BufferedFile> opened = open_source(*state, path);
                            if (!opened.ok()) {
                                failure = opened.error();
                            } else {
                                state->unprobed.emplace(std::move(opened.value()));
                                probe_failure = try_probe(*state);
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
    if (probe_failure) {
        raise_probe_failure(*state, *probe_failure);
        return nullptr;
    }
    return self.release();
}

PyObject* reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return entry_point([&] { return construct(type, args, kwargs); });
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
// can be using its decoder.
int reader_clear(PyObject* self)
{
    ReaderState* state = reinterpret_cast<ReaderObject*>(self)->state;
    if (state != nullptr && !state->lost_at_fork) {
        state->drop_read_ahead();
        state->decoder.reset();
        state->unprobed.reset();
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

// What a call met besides its events: (first_index, damaged, damaged_count,
// skipped, error, at_end, stop_index, skipped_bytes). `damaged` lists (index, offset, stop, resume_at,
// kind: 0 a damaged header, 1 a length past the end, 2 a length into good events, 3 a
// length nothing after it bears out) of the
// damaged events met (the first few of them; damaged_count
// counts all), and `skipped` the (start, stop) byte ranges skipped (the first
// few; skipped_bytes counts all). `error` is
// the exception that ended the call (a read error, no memory, an
// interruption), or None; at_end tells that the call met the end of the bytes.
// `interruption`, when given, is what a signal handler raised once the events
// were read: it is the call's error.
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
    PyRef damaged = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(end.damaged.size())));
    if (!damaged) {
        return nullptr;
    }
    for (std::size_t i = 0; i < end.damaged.size(); ++i) {
        const Damage& damage = end.damaged[i];
        PyRef resume = damage.resume_at ? PyRef::steal(PyLong_FromUnsignedLongLong(*damage.resume_at))
                                        : PyRef::borrow(Py_None);
        PyObject* item = resume ? Py_BuildValue("(KKKOi)", static_cast<unsigned long long>(damage.index),
                                                static_cast<unsigned long long>(damage.offset),
                                                static_cast<unsigned long long>(damage.stop), resume.get(),
                                                static_cast<int>(damage.kind))
                                : nullptr;
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(damaged.get(), static_cast<Py_ssize_t>(i), item);
    }
    const auto& ranges = end.skipped.ranges();
    PyRef skipped = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(ranges.size())));
    if (!skipped) {
        return nullptr;
    }
    for (std::size_t i = 0; i < ranges.size(); ++i) {
        PyObject* item = Py_BuildValue("(KK)", static_cast<unsigned long long>(ranges[i].first),
                                       static_cast<unsigned long long>(ranges[i].second));
        if (item == nullptr) {
            return nullptr;
        }
        PyList_SET_ITEM(skipped.get(), static_cast<Py_ssize_t>(i), item);
    }
    return Py_BuildValue("(KOKOOOKK)", static_cast<unsigned long long>(end.first_index), damaged.get(),
                         static_cast<unsigned long long>(end.damaged_count), skipped.get(),
                         error ? error.get() : Py_None, end.outcome == Outcome::End ? Py_True : Py_False,
                         static_cast<unsigned long long>(end.stop_index),
                         static_cast<unsigned long long>(end.skipped.bytes()));
}

// Runs `work(batch_decoder)` for the reader's decoder with the interpreter
// lock released and the reader's mutex held, after telling a WD2 source's
// layout if that is still to be done. `idle` is the answer when there is no
// decoder yet. Nothing, with an exception set, when the reader is closed, the
// layout cannot be told, or a signal handler raised while waiting for another
// thread's call.
template <class Result, class Work>
std::optional<Result> with_decoder(ReaderState& state, Result idle, Work&& work)
{
    bool closed = false;
    std::optional<ProbeFailure> probe_failure;
    std::optional<Result> result = without_interpreter_lock(state, [&]() -> Result {
        if (state.unprobed) {
            probe_failure = try_probe(state);
        }
        if (!state.decoder) {
            closed = !state.unprobed && !probe_failure;
            return idle;
        }
        return std::visit([&](auto& decoder) -> Result { return work(decoder); }, *state.decoder);
    });
    if (result && closed) {
        PyErr_SetString(PyExc_ValueError, "I/O operation on closed file");
        return std::nullopt;
    }
    if (result && probe_failure) {
        raise_probe_failure(state, *probe_failure);
        return std::nullopt;
    }
    return result;
}

// What the reader's getters show, as of the batch just handed out.
template <class Reader>
void publish(ReaderState& state, const BatchDecoder<Reader>& decoder)
{
    state.events_read = decoder.progress.events_read;
    state.trailing_bytes = decoder.progress.trailing_bytes;
    // A stream has consumed the bytes of a truncated last event: they are
    // trailing bytes, not past the last whole event.
    const BufferedFile& file = decoder.reader.file();
    const std::uint64_t trailing = file.seekable() ? 0 : decoder.progress.trailing_bytes;
    state.position = file.position() - std::min(trailing, file.position());
}

// Puts the reader back where it stood before a batch read ahead that this
// call does not take, and drops that batch. A read error leaves the read-ahead
// in place, to be put back by the next call.
template <class Reader>
IoStatus put_back_read_ahead(ReaderState& state, BatchDecoder<Reader>& decoder)
{
    if (!state.ahead) {
        return io_ok();
    }
    auto& before = std::get<ReadAheadOf<Reader>>(state.ahead->batch);
    if (IoStatus status = decoder.reader.rewind(before.cursor); !status.ok()) {
        return status;
    }
    decoder.progress = before.progress;
    state.ahead.reset();
    return io_ok();
}

// What a call that could not put a read-ahead back answers: the error, no event.
FillEnd failed_put_back(const ReaderState& state, const IoError& error)
{
    FillEnd failed;
    failed.outcome = Outcome::Error;
    failed.first_index = failed.stop_index = state.events_read;
    failed.error = error;
    return failed;
}

// The batch read ahead, when it was read with this call's limits.
template <class Reader, bool Samples, class Slot>
std::optional<FillEnd> take_read_ahead(ReaderState& state, const CallLimits& limits, Slot& slot)
{
    if (!state.ahead || !(state.ahead->limits == limits)) {
        return std::nullopt;
    }
    std::unique_ptr<ReadAhead> ahead = std::move(state.ahead);
    if (ahead->failure) {
        std::rethrow_exception(ahead->failure);
    }
    slot.template emplace<BatchSink<Reader, Samples>>(
        std::move(*std::get<ReadAheadOf<Reader>>(ahead->batch).template sink_of<Samples>()));
    return std::move(ahead->end);
}

// When the next batch is read ahead: never, always, or when it pays. Reading
// ahead overlaps the decoding of small events with the caller's work on the
// batch before, about 1.5 times as fast on two cores; large events are copied
// at the speed of memory, which a second thread does not raise, and the two
// copies in flight then slow each other.
enum class ReadAheadMode : std::uint8_t { Never, Always, SmallEvents };
constexpr std::uint64_t kSmallEventSampleBytes = 4096;

// Whether to read the next batch ahead after one that ended on a limit: only
// from a regular file the reader reads itself (a Python file object needs the
// interpreter), and not while following a file, whose end is not final.
template <class Reader, class Sink>
bool may_read_ahead(const ReaderState& state, const BatchDecoder<Reader>& decoder, const CallLimits& limits,
                    const FillEnd& end, ReadAheadMode mode, const Sink& sink)
{
    if (mode == ReadAheadMode::Never || state.file || !decoder.reader.file().seekable() || limits.fill.follow
        || (end.outcome != Outcome::Event && end.outcome != Outcome::Declined)) {
        return false;
    }
    const std::uint64_t sample_bytes = std::uint64_t{sink.samples()} * sizeof(typename Reader::Sample);
    return mode == ReadAheadMode::Always || sample_bytes < kSmallEventSampleBytes * sink.events();
}

// Starts reading the batch after this one on a thread of its own. Nothing
// changes when no memory or no thread can be had: the batch in hand is never
// put at risk for one that may not be wanted.
template <bool Samples, class Reader>
void start_read_ahead(ReaderState& state, BatchDecoder<Reader>& decoder, const CallLimits& limits)
{
    try {
        auto ahead = std::make_unique<ReadAhead>();
        ahead->limits = limits;
        auto& batch = ahead->batch.template emplace<ReadAheadOf<Reader>>(
            ReadAheadOf<Reader>{.cursor = decoder.reader.cursor(), .progress = decoder.progress});
        auto& sink = batch.template sink_of<Samples>().emplace(decoder.reader.file(), limits.fill.max_events,
                                                               limits.max_bytes, decoder.progress.watch,
                                                               state.pool.get());
        ReadAhead* running = ahead.get();
        state.hooks.in_background = true;
        const bool started = state.worker.run([running, &decoder, &sink] {
            try {
                running->end = fill(decoder.reader, sink, decoder.progress, running->limits.fill);
            } catch (...) {
                running->failure = std::current_exception();
            }
        });
        if (started) {
            state.ahead = std::move(ahead);
        } else {
            state.hooks.in_background = false;
        }
    } catch (const std::exception&) {
        state.hooks.in_background = false;
    }
}

// ((columns, offsets), report): a batch of the reader's format, None for the
// arrays while a WD2 source does not yet hold enough bytes to tell its layout.
// With `read_ahead`, the batch after it is read meanwhile, for a next call
// with the same limits.
template <bool Samples>
PyObject* read_batch(ReaderState& state, const CallLimits& limits, ReadAheadMode read_ahead)
{
    // The sink of the reader's format; none while a WD2 source's layout is unknown.
    std::variant<std::monostate, BatchSink<WD1Reader, Samples>, BatchSink<WD2Reader, Samples>> sink_of_format;
    FillEnd idle;
    idle.first_index = idle.stop_index = state.events_read;
    std::optional<FillEnd> end = with_decoder(state, std::move(idle), [&](auto& decoder) {
        using Reader = std::remove_reference_t<decltype(decoder.reader)>;
        using Sink = BatchSink<Reader, Samples>;
        std::optional<FillEnd> result = take_read_ahead<Reader, Samples>(state, limits, sink_of_format);
        if (!result) {
            if (IoStatus status = put_back_read_ahead(state, decoder); !status.ok()) {
                return failed_put_back(state, status.error());
            }
            auto& sink = sink_of_format.template emplace<Sink>(decoder.reader.file(), limits.fill.max_events,
                                                               limits.max_bytes, decoder.progress.watch,
                                                               state.pool.get());
            result = fill(decoder.reader, sink, decoder.progress, limits.fill);
        }
        publish(state, decoder);
        const Sink& sink = std::get<Sink>(sink_of_format);
        state.pool->allow(2 * sink.block_bytes());
        if (may_read_ahead(state, decoder, limits, *result, read_ahead, sink)) {
            start_read_ahead<Samples>(state, decoder, limits);
        }
        return std::move(*result);
    });
    if (!end) {
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
        sink_of_format);
    if (!arrays) {
        return nullptr;
    }
    // A signal that came while the batch was read, with the lock released and
    // no system call to interrupt, has its handler run here. What the handler
    // raises is handed over with the batch, which the package keeps for the
    // next call; raised as the call returns, it would drop events the reader
    // has moved past.
    PyRef interruption;
    if (end->outcome != Outcome::Error && end->outcome != Outcome::OutOfMemory && PyErr_CheckSignals() < 0) {
        interruption = fetch_raised();
        if (!interruption) {
            return nullptr;
        }
    }
    PyRef report = PyRef::steal(call_report(state, *end, std::move(interruption)));
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
        CallLimits limits;
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
        if (read_ahead < 0 || read_ahead > 2) {
            PyErr_SetString(PyExc_ValueError, "read_ahead must be 0 (never), 1 (always) or 2 (small events)");
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
        struct Skipped {
            std::uint64_t events = 0;
            FillEnd end;
        };
        std::optional<Skipped> skipped = with_decoder(state, Skipped{}, [&](auto& decoder) {
            using Reader = std::remove_reference_t<decltype(decoder.reader)>;
            CountingSink<Reader> sink{decoder.progress.watch};
            Skipped result;
            if (IoStatus status = put_back_read_ahead(state, decoder); !status.ok()) {
                result.end = failed_put_back(state, status.error());
                return result;
            }
            result.end = fill(decoder.reader, sink, decoder.progress, limits);
            publish(state, decoder);
            result.events = sink.count;
            return result;
        });
        if (!skipped) {
            return nullptr;
        }
        if (skipped->events == 0 && skipped->end.outcome == Outcome::End) {
            skipped->end.first_index = skipped->end.stop_index = state.events_read;
        }
        PyRef report = PyRef::steal(call_report(state, skipped->end));
        if (!report) {
            return nullptr;
        }
        return Py_BuildValue("(KO)", static_cast<unsigned long long>(skipped->events), report.get());
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
                                state.drop_read_ahead();
                                state.pool->close();
                                state.decoder.reset();
                                state.unprobed.reset();
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

PyObject* reader_events_read(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong(state_of(self).events_read);
}

PyObject* reader_trailing_bytes(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong(state_of(self).trailing_bytes);
}

PyObject* reader_position(PyObject* self, void*)
{
    return PyLong_FromUnsignedLongLong(state_of(self).position);
}

// (has_channel_field, channel_count) of a WD2 file once its layout is known;
// None for WD1 and before.
PyObject* reader_layout(PyObject* self, void*)
{
    return entry_point([&]() -> PyObject* {
        if (!check_not_lost(state_of(self))) {
            return nullptr;
        }
        using Layout = std::optional<std::pair<bool, std::int32_t>>;
        std::optional<Layout> layout = with_decoder(state_of(self), Layout{}, [](auto& decoder) -> Layout {
            if constexpr (std::is_same_v<std::remove_reference_t<decltype(decoder.reader)>, WD2Reader>) {
                return std::pair(decoder.reader.has_channel_field(), decoder.reader.channel_count());
            } else {
                return std::nullopt;
            }
        });
        if (!layout) {
            return nullptr;
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
     .ml_doc = "read(max_events, max_bytes, skip_damaged, stop, read_ahead=False, samples=True) -> "
               "((columns, offsets), report)"},
    {.ml_name = "skip",
     .ml_meth = reader_skip,
     .ml_flags = METH_VARARGS,
     .ml_doc = "skip(count, skip_damaged, stop) -> (skipped, report)"},
    {.ml_name = "close", .ml_meth = reader_close, .ml_flags = METH_NOARGS, .ml_doc = "close()"},
    {},
};

PyGetSetDef reader_getset[] = {
    {.name = "closed", .get = reader_closed},
    {.name = "events_read", .get = reader_events_read},
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

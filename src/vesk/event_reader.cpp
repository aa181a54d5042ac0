#include "event_reader.hpp"

#include <cstring>
#include <new>
#include <optional>
#include <variant>

#include "arguments.hpp"
#include "event_dict.hpp"
#include "fault_guard.hpp"
#include "faults.hpp"
#include "fixed_texts.hpp"
#include "formats.hpp"
#include "interpreter_hooks.hpp"
#include "io_exceptions.hpp"
#include "numpy_bridge.hpp"
#include "py_errors.hpp"

namespace vesk {

namespace {

struct EventReaderObject {
    PyObject_HEAD
    // Held by a running __next__. Never shared: __iter__ only looks at it.
    bool busy;
    Decoder decoder;
};

constexpr const char kEventReaderDoc[] = "EventReader(path, reader_type)\n--\n\n";

EventReaderObject* as_reader(PyObject* object)
{
    return reinterpret_cast<EventReaderObject*>(object);
}

// Holds the access flag, and a reference to the instance, for one __next__.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(EventReaderObject* reader) : reader_(reader)
    {
        reader_->busy = true;
        Py_INCREF(reader_);
    }
    ~ExclusiveAccess()
    {
        reader_->busy = false;
        Py_DECREF(reader_);
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    EventReaderObject* reader_;
};

// --- construction

// The decoder for `format` over the opened file, or nothing with the exception
// raised (the file is then closed).
std::optional<Decoder> decoder_for(BufferedFile opened, Format format)
{
    DecoderOrFailure decoder = [&] {
        BufferedFile file = std::move(opened);  // closed before an exception is raised
        return open_decoder(file, format, WD2Opening{});
    }();
    if (auto* made = std::get_if<Decoder>(&decoder)) {
        return std::move(*made);
    }
    if (auto* error = std::get_if<IoError>(&decoder)) {
        raise_plain_os_error(*error);
    } else {
        raise_fault(Fault::CapacityOverflow);  // the first length overflows (a probe refuses no layout)
    }
    return std::nullopt;
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    ConstructorArguments arguments;
    if (!bind_arguments(args, kwargs, arguments)) {
        return nullptr;
    }
    IoResult<BufferedFile> opened =
        BufferedFile::open(arguments.path, BufferedFile::kDefaultReadSize, &InterpreterHooks::instance());
    if (!opened.ok()) {
        raise_io_error(opened.error());
        return nullptr;
    }
    if (!arguments.format) {
        {
            BufferedFile closing = std::move(opened.value());  // closed before the exception is raised
        }
        raise_formatted(PyExc_ValueError, "unknown reader type '%U', expected 'WD1' or 'WD2'",
                        arguments.reader_type_name);
        return nullptr;
    }
    std::optional<Decoder> decoder = decoder_for(std::move(opened.value()), *arguments.format);
    if (!decoder) {
        return nullptr;
    }
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;  // the decoder, and with it the file, goes with `decoder`
    }
    EventReaderObject* reader = as_reader(self);
    reader->busy = false;
    new (&reader->decoder) Decoder(std::move(*decoder));
    return self;
}

PyObject* event_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return guarded([&] { return construct(type, args, kwargs); }, nullptr);
}

// --- iteration

PyObject* event_reader_iter(PyObject* self)
{
    if (as_reader(self)->busy) {
        PyErr_SetString(PyExc_RuntimeError, kAlreadyBorrowed);
        return nullptr;
    }
    Py_INCREF(self);
    return self;
}

template <class Reader>
PyObject* step_with(Reader& decoder, PyRef dict)
{
    SingleEventSink<Reader> sink(decoder.file());
    switch (decoder.next(sink)) {
    case Outcome::Event: return build_event_dict(std::move(dict), sink.event);
    case Outcome::End:
    case Outcome::Declined: return nullptr;
    case Outcome::Error: raise_io_error(decoder.error()); return nullptr;
    case Outcome::Damaged: raise_fault(Fault::CapacityOverflow); return nullptr;
    case Outcome::OutOfMemory: return PyErr_NoMemory();
    }
    return nullptr;
}

PyObject* step(EventReaderObject* reader)
{
    // Before anything is read: a step that cannot build its array must not
    // consume the event.
    if (!ensure_numpy_located()) {
        return nullptr;
    }
    PyRef dict = PyRef::steal(new_event_dict());
    if (!dict) {
        return nullptr;
    }
    return std::visit([&](auto& decoder) { return step_with(decoder, std::move(dict)); }, reader->decoder);
}

PyObject* event_reader_next(PyObject* self)
{
    EventReaderObject* reader = as_reader(self);
    if (reader->busy) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    ExclusiveAccess access(reader);
    // Null with no exception set is how tp_iternext says the iteration has
    // ended: the interpreter raises StopIteration for us.
    return guarded([&] { return step(reader); }, nullptr);
}

void event_reader_dealloc(PyObject* self)
{
    PyTypeObject* type = Py_TYPE(self);
    // Frees the buffer and closes the file; nothing here can fail.
    as_reader(self)->decoder.~Decoder();
    type->tp_free(self);
    Py_DECREF(type);
}

PyType_Slot event_reader_slots[] = {
    {.slot = Py_tp_new, .pfunc = reinterpret_cast<void*>(event_reader_new)},
    {.slot = Py_tp_iter, .pfunc = reinterpret_cast<void*>(event_reader_iter)},
    {.slot = Py_tp_iternext, .pfunc = reinterpret_cast<void*>(event_reader_next)},
    {.slot = Py_tp_dealloc, .pfunc = reinterpret_cast<void*>(event_reader_dealloc)},
    {.slot = Py_tp_doc, .pfunc = const_cast<char*>(kEventReaderDoc)},
    {},
};

PyType_Spec event_reader_spec = {
    .name = "builtins.EventReader",
    .basicsize = sizeof(EventReaderObject),
    .flags = Py_TPFLAGS_DEFAULT,
    .slots = event_reader_slots,
};

}  // namespace

PyRef create_event_reader_type()
{
    PyRef type = PyRef::steal(type_from_valid_spec(&event_reader_spec));
#if PY_VERSION_HEX < 0x030A0000
    // Before 3.10 type creation keeps only the part of the doc after the
    // signature, which loses __text_signature__; put the full text back.
    if (type) {
        auto* type_object = reinterpret_cast<PyTypeObject*>(type.get());
        char* doc = static_cast<char*>(PyObject_Malloc(sizeof kEventReaderDoc));
        if (doc == nullptr) {
            PyErr_NoMemory();
            return PyRef();
        }
        std::memcpy(doc, kEventReaderDoc, sizeof kEventReaderDoc);
        PyObject_Free(const_cast<char*>(type_object->tp_doc));
        type_object->tp_doc = doc;
    }
#endif
    return type;
}

}  // namespace vesk

// The Python module `vesk`: module initialisation and the EventReader class,
// which turns decoder answers into event dictionaries and exceptions.
#include <cstdint>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <variant>

#include "faults.hpp"
#include "io_exceptions.hpp"
#include "numpy_bridge.hpp"
#include "py_ref.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

namespace {

template <class... Fs>
struct Overloaded : Fs... {
    using Fs::operator()...;
};
template <class... Fs>
Overloaded(Fs...) -> Overloaded<Fs...>;

// Raising a fault builds strings; if even that fails, memory is what ran out.
void raise_fault_or_no_memory(const char* message) noexcept
{
    try {
        raise_fault(message);
    } catch (...) {
        PyErr_NoMemory();
    }
}

// C++ exceptions must never reach the interpreter: every entry point runs its
// body through this.
template <class Body>
auto guarded(Body&& body, decltype(body()) failure) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_fault_or_no_memory(error.what());
    } catch (...) {
        raise_fault_or_no_memory("unknown C++ exception");
    }
    return failure;
}

// ---- event dictionary keys ------------------------------------------------

enum Key : std::size_t {
    kEventSize,
    kBoardId,
    kPattern,
    kBoardChannel,
    kEventCounter,
    kTimestamp,
    kSamples,
    kSamplingPeriod,
    kChannels,
    kData,
    kKeyCount
};

constexpr const char* kKeyNames[kKeyCount] = {
    "event_size",    "board_id",  "pattern", "board_channel",   "event_counter",
    "timestamp",     "samples",   "sampling_period", "channels", "data",
};

// Interned once, at the first successful initialisation; borrowed for every event.
PyObject* keys[kKeyCount] = {};

struct InternedKeys {
    PyRef strings[kKeyCount];

    bool create()
    {
        for (std::size_t i = 0; i < kKeyCount; ++i) {
            strings[i] = PyRef::steal(PyUnicode_InternFromString(kKeyNames[i]));
            if (!strings[i]) {
                return false;
            }
        }
        return true;
    }
    void commit()
    {
        for (std::size_t i = 0; i < kKeyCount; ++i) {
            keys[i] = strings[i].release();
        }
    }
};

constexpr Py_ssize_t kEventKeyCount = 7;  // WD1: six header words and "data"; WD2: five and "data"

PyObject* new_event_dict()
{
#if PY_VERSION_HEX < 0x030D0000
    return _PyDict_NewPresized(kEventKeyCount);
#else
    return PyDict_New();
#endif
}

// Inserts a new reference (null after a failed conversion) under `key`.
bool set_item(PyObject* dict, Key key, PyObject* new_value, Where where = Where::current())
{
    PyRef value = PyRef::steal(new_value);
    if (!value) {
        raise_api_call_failed(where);
        return false;
    }
    if (PyDict_SetItem(dict, keys[key], value.get()) < 0) {
        raise_fault_from_pending("called `Result::unwrap()` on an `Err` value", where);
        return false;
    }
    return true;
}

// Data goes in last: array_from raises its own faults, so a null here needs
// no second report.
bool set_data(PyObject* dict, PyObject* array)
{
    if (array == nullptr) {
        return false;
    }
    return set_item(dict, kData, array);
}

PyObject* fill(PyRef dict, WD1Event& event)
{
    PyObject* d = dict.get();
    if (set_item(d, kEventSize, PyLong_FromLong(event.event_size))
        && set_item(d, kBoardId, PyLong_FromLong(event.board_id))
        && set_item(d, kPattern, PyLong_FromLong(event.pattern))
        && set_item(d, kBoardChannel, PyLong_FromLong(event.board_channel))
        && set_item(d, kEventCounter, PyLong_FromLong(event.event_counter))
        && set_item(d, kTimestamp, PyLong_FromLong(event.timestamp))
        && set_data(d, array_from(std::move(event.samples)))) {
        return dict.release();
    }
    return nullptr;
}

PyObject* fill(PyRef dict, WD2Event& event)
{
    PyObject* d = dict.get();
    if (set_item(d, kEventCounter, PyLong_FromUnsignedLong(event.event_counter))
        && set_item(d, kTimestamp, PyLong_FromUnsignedLongLong(event.timestamp))
        && set_item(d, kSamples, PyLong_FromUnsignedLong(event.samples))
        && set_item(d, kSamplingPeriod, PyLong_FromUnsignedLongLong(event.sampling_period))
        && set_item(d, kChannels, PyLong_FromLong(event.channels))
        && set_data(d, array_from(std::move(event.data)))) {
        return dict.release();
    }
    return nullptr;
}

// ---- EventReader ------------------------------------------------------------

using Decoder = std::variant<WD1Reader, WD2Reader>;

struct EventReaderObject {
    PyObject_HEAD
    // 0 free, -1 held by a running __next__, > 0 shared.
    Py_ssize_t access;
    Decoder decoder;
};

constexpr const char kEventReaderDoc[] = "EventReader(path, reader_type)\n--\n\n";
constexpr const char kNewName[] = "EventReader.__new__()";

EventReaderObject* as_reader(PyObject* object)
{
    return reinterpret_cast<EventReaderObject*>(object);
}

// Holds the access flag exclusively, and a reference to the instance, for the
// duration of one __next__.
class ExclusiveAccess {
public:
    explicit ExclusiveAccess(EventReaderObject* reader) : reader_(reader)
    {
        reader_->access = -1;
        Py_INCREF(reader_);
    }
    ~ExclusiveAccess()
    {
        reader_->access = 0;
        Py_DECREF(reader_);
    }
    ExclusiveAccess(const ExclusiveAccess&) = delete;
    ExclusiveAccess& operator=(const ExclusiveAccess&) = delete;

private:
    EventReaderObject* reader_;
};

// --- construction: argument shape

constexpr const char* kParameterNames[2] = {"path", "reader_type"};

// The key as the message shows it: characters that UTF-8 cannot encode (lone
// surrogates) come out as replacement characters, one per encoded byte.
PyRef printable_keyword(PyObject* key)
{
    if (!PyUnicode_Check(key)) {
        return PyRef::steal(PyObject_Str(key));
    }
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(key, "utf-8", "surrogatepass"));
    if (!bytes) {
        return PyRef();
    }
    return PyRef::steal(PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()),
                                             PyBytes_GET_SIZE(bytes.get()), "replace"));
}

// Which parameter a keyword names: 0, 1, or -1 for none (also for keys that
// cannot be encoded, which match no parameter).
int parameter_index(PyObject* key)
{
    if (!PyUnicode_Check(key)) {
        return -1;
    }
    Py_ssize_t size = 0;
    const char* name = PyUnicode_AsUTF8AndSize(key, &size);
    if (name == nullptr) {
        PyErr_Clear();
        return -1;
    }
    const std::string_view view(name, static_cast<std::size_t>(size));
    for (int i = 0; i < 2; ++i) {
        if (view == kParameterNames[i]) {
            return i;
        }
    }
    return -1;
}

// Fills `values` (borrowed) from the call's arguments, or raises TypeError.
bool bind_arguments(PyObject* args, PyObject* kwargs, PyObject* values[2])
{
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > 2) {
        raise_formatted(PyExc_TypeError, "%s takes 2 positional arguments but %zd were given", kNewName,
                        positional);
        return false;
    }
    for (Py_ssize_t i = 0; i < positional; ++i) {
        values[i] = PyTuple_GET_ITEM(args, i);
    }
    if (kwargs != nullptr) {
        Py_ssize_t cursor = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(kwargs, &cursor, &key, &value)) {
            const int index = parameter_index(key);
            if (index < 0) {
                PyRef shown = printable_keyword(key);
                if (shown) {
                    raise_formatted(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
                                    kNewName, shown.get());
                }
                return false;
            }
            if (values[index] != nullptr) {
                raise_formatted(PyExc_TypeError, "%s got multiple values for argument '%s'", kNewName,
                                kParameterNames[index]);
                return false;
            }
            values[index] = value;
        }
    }
    if (values[0] == nullptr && values[1] == nullptr) {
        raise_formatted(PyExc_TypeError,
                        "%s missing 2 required positional arguments: 'path' and 'reader_type'",
                        kNewName);
        return false;
    }
    for (int i = 0; i < 2; ++i) {
        if (values[i] == nullptr) {
            raise_formatted(PyExc_TypeError, "%s missing 1 required positional argument: '%s'",
                            kNewName, kParameterNames[i]);
            return false;
        }
    }
    return true;
}

// --- construction: argument values

// The UTF-8 text of a str argument, or null with TypeError (not a str) or the
// interpreter's UnicodeEncodeError (a lone surrogate) raised.
const char* utf8_argument(PyObject* value, const char* name, Py_ssize_t* size)
{
    if (!PyUnicode_Check(value)) {
        PyRef type_name =
            PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
        if (type_name) {
            raise_formatted(PyExc_TypeError, "argument '%s': '%S' object cannot be cast as 'str'", name,
                            type_name.get());
        }
        return nullptr;
    }
    return PyUnicode_AsUTF8AndSize(value, size);
}

// The decoder for `reader_type` over the opened file, or null with the
// exception raised (the file is then closed).
std::variant<std::monostate, Decoder> open_decoder(BufferedFile file, std::string_view reader_type,
                                                   PyObject* reader_type_object)
{
    if (reader_type == "WD1") {
        return Decoder(std::in_place_type<WD1Reader>, std::move(file));
    }
    if (reader_type == "WD2") {
        WD2ProbeResult probed = WD2Reader::probe(std::move(file));
        return std::visit(
            Overloaded{
                [](WD2Reader& reader) -> std::variant<std::monostate, Decoder> {
                    return Decoder(std::in_place_type<WD2Reader>, std::move(reader));
                },
                [](const IoError& error) -> std::variant<std::monostate, Decoder> {
                    raise_plain_os_error(error);
                    return std::monostate{};
                },
                [](const InternalFault& fault) -> std::variant<std::monostate, Decoder> {
                    raise_fault(fault.message, fault.where);
                    return std::monostate{};
                },
            },
            probed);
    }
    {
        BufferedFile closing = std::move(file);  // closed before the exception is raised
    }
    raise_formatted(PyExc_ValueError, "unknown reader type '%U', expected 'WD1' or 'WD2'",
                    reader_type_object);
    return std::monostate{};
}

PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    PyObject* values[2] = {nullptr, nullptr};
    if (!bind_arguments(args, kwargs, values)) {
        return nullptr;
    }
    Py_ssize_t path_size = 0;
    const char* path = utf8_argument(values[0], "path", &path_size);
    if (path == nullptr) {
        return nullptr;
    }
    Py_ssize_t reader_type_size = 0;
    const char* reader_type = utf8_argument(values[1], "reader_type", &reader_type_size);
    if (reader_type == nullptr) {
        return nullptr;
    }

    IoResult<BufferedFile> opened =
        BufferedFile::open(std::string_view(path, static_cast<std::size_t>(path_size)));
    if (!opened.ok()) {
        raise_io_error(opened.error());
        return nullptr;
    }
    auto decoder = open_decoder(std::move(opened.value()),
                                std::string_view(reader_type, static_cast<std::size_t>(reader_type_size)),
                                values[1]);
    if (decoder.index() == 0) {
        return nullptr;
    }

    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) {
        return nullptr;  // the decoder, and with it the file, goes with `decoder`
    }
    EventReaderObject* reader = as_reader(self);
    reader->access = 0;
    new (&reader->decoder) Decoder(std::move(std::get<1>(decoder)));
    return self;
}

PyObject* event_reader_new(PyTypeObject* type, PyObject* args, PyObject* kwargs)
{
    return guarded([&] { return construct(type, args, kwargs); }, nullptr);
}

// --- iteration

PyObject* event_reader_iter(PyObject* self)
{
    if (as_reader(self)->access == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return nullptr;
    }
    Py_INCREF(self);
    return self;
}

template <class Event>
PyObject* answer_to_python(PyRef dict, DecoderAnswer<Event>& answer)
{
    return std::visit(
        Overloaded{
            [&](Event& event) { return fill(std::move(dict), event); },
            [](EndOfStream) -> PyObject* { return nullptr; },
            [](const IoError& error) -> PyObject* {
                raise_io_error(error);
                return nullptr;
            },
            [](const InternalFault& fault) -> PyObject* {
                raise_fault(fault.message, fault.where);
                return nullptr;
            },
            [](OutOfMemory) -> PyObject* { return PyErr_NoMemory(); },
        },
        answer);
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
        raise_api_call_failed();
        return nullptr;
    }
    return std::visit(
        [&](auto& decoder) {
            auto answer = decoder.next();
            return answer_to_python(std::move(dict), answer);
        },
        reader->decoder);
}

PyObject* event_reader_next(PyObject* self)
{
    EventReaderObject* reader = as_reader(self);
    if (reader->access != 0) {
        PyErr_SetString(PyExc_RuntimeError, "Already borrowed");
        return nullptr;
    }
    ExclusiveAccess access(reader);
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
    {Py_tp_new, reinterpret_cast<void*>(event_reader_new)},
    {Py_tp_iter, reinterpret_cast<void*>(event_reader_iter)},
    {Py_tp_iternext, reinterpret_cast<void*>(event_reader_next)},
    {Py_tp_dealloc, reinterpret_cast<void*>(event_reader_dealloc)},
    {Py_tp_doc, const_cast<char*>(kEventReaderDoc)},
    {0, nullptr},
};

PyType_Spec event_reader_spec = {
    "builtins.EventReader",
    sizeof(EventReaderObject),
    0,
    Py_TPFLAGS_DEFAULT,
    event_reader_slots,
};

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

// ---- the module --------------------------------------------------------------

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "vesk",
    "",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

PyObject* initialised_module = nullptr;

// Lists `name` in the module's __all__ (creating the list if missing), then
// sets the attribute.
bool add_exported(PyObject* module, const char* name, PyObject* value)
{
    PyRef all = PyRef::steal(PyObject_GetAttrString(module, "__all__"));
    if (!all) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
            return false;
        }
        PyErr_Clear();
        all = PyRef::steal(PyList_New(0));
        if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) {
            return false;
        }
    }
    PyRef text = PyRef::steal(PyUnicode_FromString(name));
    if (!text || PyList_Append(all.get(), text.get()) < 0) {
        raise_fault_from_pending("could not append __name__ to __all__");
        return false;
    }
    return PyObject_SetAttrString(module, name, value) == 0;
}

PyObject* initialise_module()
{
    if (initialised_module != nullptr) {
        PyErr_SetString(PyExc_ImportError,
                        "PyO3 modules compiled for CPython 3.8 or older may only be initialized "
                        "once per interpreter process");
        return nullptr;
    }
    PyRef module = PyRef::steal(PyModule_Create2(&module_def, 1013));
    if (!module) {
        return nullptr;
    }
    PyRef type = create_event_reader_type();
    if (!type) {
        return nullptr;
    }
    InternedKeys interned;
    if (!interned.create()) {
        return nullptr;
    }
    if (!add_exported(module.get(), "EventReader", type.get())) {
        return nullptr;
    }
    interned.commit();
    Py_INCREF(module.get());
    initialised_module = module.get();
    return module.release();
}

}  // namespace

}  // namespace vesk

PyMODINIT_FUNC PyInit_vesk(void)
{
    return vesk::guarded([] { return vesk::initialise_module(); }, nullptr);
}

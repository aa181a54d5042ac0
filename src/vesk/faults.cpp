#include "faults.hpp"

#include <cerrno>
#include <iterator>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

#include "fixed_texts.hpp"
#include "py_ref.hpp"
#include "vesk_module_state.hpp"

namespace vesk {

namespace {

// What a fault does with the pending Python error before it is raised.
enum class Pending : std::uint8_t {
    Ignore,      // there is none
    Render,      // fetched, and its rendering appended to the message
    Print,       // printed to sys.stderr
    Unraisable,  // handed to the unraisable-exception hook
};

struct FaultEntry {
    Fault fault;
    const char* message;
    Pending pending;
};

constexpr FaultEntry kFaults[] = {
    {Fault::CapacityOverflow, "capacity overflow", Pending::Ignore},
    {Fault::NumpyUnavailable, "Failed to access NumPy array API capsule", Pending::Render},
    {Fault::SliceContainerFailed, "Failed to create slice container", Pending::Render},
    {Fault::DictInsertFailed, "called `Result::unwrap()` on an `Err` value", Pending::Render},
    {Fault::ApiCallFailed, "Python API call failed", Pending::Print},
    {Fault::SliceContainerTypeFailed, "failed to create type object for `PySliceContainer`",
     Pending::Unraisable},
    {Fault::AllAppendFailed, "could not append __name__ to __all__", Pending::Render},
};
constexpr bool in_enum_order()
{
    for (std::size_t i = 0; i < std::size(kFaults); ++i) {
        if (static_cast<std::size_t>(kFaults[i].fault) != i) {
            return false;
        }
    }
    return std::size(kFaults) == static_cast<std::size_t>(Fault::AllAppendFailed) + 1;
}
static_assert(in_enum_order(), "one entry per fault, in the enum's order");

constexpr const char kPanicDoc[] =
    "Raised when vesk meets an internal fault it cannot recover from inside the current call.\n"
    "\n"
    "Like SystemExit, it derives from BaseException and not from Exception, so that it\n"
    "normally propagates to the top of the interpreter instead of being swallowed by an\n"
    "`except Exception` clause. The reader that raised it stays usable.";

constexpr const char kFirstFaultHint[] =
    "note: this is a fault inside vesk, not in your script; please report it to the vesk "
    "developers with the message above and, if you can, the file being read\n";

void write_to_stderr_fd(const std::string& text)
{
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t written = ::write(2, data, left);
        if (written < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;  // nowhere left to report to
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
}

void write_report(std::string_view message, const SourceLocation& where)
{
    std::string report = "\nthread '<unnamed>' (";
    report += std::to_string(static_cast<long>(::syscall(SYS_gettid)));
    report += ") panicked at ";
    report += where.file;
    report += ':';
    report += std::to_string(where.line);
    report += ':';
    report += std::to_string(where.column);
    report += ":\n";
    report += message;
    report += '\n';
    bool& reported = module_state().fault_reported;
    if (!reported) {
        reported = true;
        report += kFirstFaultHint;
    }
    write_to_stderr_fd(report);
}

// The UTF-8 text of a str; false (error cleared) if it has none.
bool utf8_of(PyObject* text, std::string& out)
{
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(text, &size);
    if (data == nullptr) {
        PyErr_Clear();
        return false;
    }
    out.assign(data, static_cast<std::size_t>(size));
    return true;
}

// repr(object), or a stand-in when repr itself fails.
std::string repr_of(PyObject* object)
{
    if (object == nullptr) {
        return "None";
    }
    std::string text;
    PyRef repr = PyRef::steal(PyObject_Repr(object));
    if (repr && utf8_of(repr.get(), text)) {
        return text;
    }
    PyErr_Clear();
    return std::string("<unprintable ") + Py_TYPE(object)->tp_name + " object>";
}

std::string format_traceback(PyObject* traceback)
{
    PyRef io = PyRef::steal(PyImport_ImportModule("io"));
    PyRef sink = io ? PyRef::steal(PyObject_CallMethod(io.get(), "StringIO", nullptr)) : PyRef();
    if (sink && PyTraceBack_Print(traceback, sink.get()) == 0) {
        PyRef text = PyRef::steal(PyObject_CallMethod(sink.get(), "getvalue", nullptr));
        std::string formatted;
        if (text && PyUnicode_Check(text.get()) && utf8_of(text.get(), formatted)) {
            return formatted;
        }
    }
    PyErr_Clear();
    return "<unformattable traceback>";
}

// The text as a double-quoted literal with \n, \t, \r, \" and \\ escaped.
std::string quoted(std::string_view text)
{
    std::string out = "\"";
    for (char c : text) {
        switch (c) {
        case '\n': out += "\\n"; break;
        case '\t': out += "\\t"; break;
        case '\r': out += "\\r"; break;
        case '"': out += "\\\""; break;
        case '\\': out += "\\\\"; break;
        default: out += c;
        }
    }
    out += '"';
    return out;
}

// "PyErr { type: ..., value: ..., traceback: ... }" for the pending Python
// error, which is fetched and so cleared.
std::string render_pending_error()
{
    PyObject* raw_type = nullptr;
    PyObject* raw_value = nullptr;
    PyObject* raw_traceback = nullptr;
    PyErr_Fetch(&raw_type, &raw_value, &raw_traceback);
    PyErr_NormalizeException(&raw_type, &raw_value, &raw_traceback);
    PyRef type = PyRef::steal(raw_type);
    PyRef value = PyRef::steal(raw_value);
    PyRef traceback = PyRef::steal(raw_traceback);
    if (!traceback && value && PyExceptionInstance_Check(value.get())) {
        traceback = PyRef::steal(PyException_GetTraceback(value.get()));
    }

    std::string out = "PyErr { type: ";
    out += repr_of(type.get());
    out += ", value: ";
    out += repr_of(value.get());
    out += ", traceback: ";
    if (traceback) {
        out += "Some(";
        out += quoted(format_traceback(traceback.get()));
        out += ')';
    } else {
        out += "None";
    }
    out += " }";
    return out;
}

// The class, created on the first fault of the process. Null if it cannot be
// created (a Python error is then set).
PyObject* panic_exception_class()
{
    PyObject*& cached = module_state().panic_exception;
    if (cached != nullptr) {
        return cached;
    }
    PyObject* created = PyErr_NewExceptionWithDoc(kPanicTypeName, kPanicDoc, PyExc_BaseException, nullptr);
    if (created == nullptr) {
        return nullptr;
    }
    // Creating a class can run Python code, so another thread may have won.
    if (cached != nullptr) {
        Py_DECREF(created);
    } else {
        cached = created;
    }
    return cached;
}

}  // namespace

void raise_fault_text(std::string_view message, SourceLocation where)
{
    write_report(message, where);
    PyObject* cls = panic_exception_class();
    if (cls == nullptr) {
        return;
    }
    PyRef text = PyRef::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) {
        return;
    }
    PyRef exception = PyRef::steal(PyObject_CallFunctionObjArgs(cls, text.get(), nullptr));
    if (!exception) {
        return;
    }
    // PyErr_Restore, unlike PyErr_SetObject, chains no context onto the fault.
    Py_INCREF(cls);
    PyErr_Restore(cls, exception.release(), nullptr);
}

void raise_fault(Fault fault, SourceLocation where)
{
    const FaultEntry& entry = kFaults[static_cast<std::size_t>(fault)];
    std::string message = entry.message;
    switch (entry.pending) {
    case Pending::Ignore: break;
    case Pending::Render:
        message += ": ";
        message += render_pending_error();
        break;
    case Pending::Print:
        if (PyErr_Occurred() != nullptr) {
            PyErr_Print();
        }
        break;
    case Pending::Unraisable: PyErr_WriteUnraisable(nullptr); break;
    }
    raise_fault_text(message, where);
}

}  // namespace vesk

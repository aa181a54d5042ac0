#include "faults.hpp"

#include <cerrno>
#include <string>

#include <sys/syscall.h>
#include <unistd.h>

namespace vesk {

namespace {

PyObject* panic_class = nullptr;
bool fault_reported = false;

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

void write_report(std::string_view message, const Where& where)
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
    if (!fault_reported) {
        fault_reported = true;
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

}  // namespace

PyObject* panic_exception_class()
{
    if (panic_class != nullptr) {
        return panic_class;
    }
    PyObject* created = PyErr_NewExceptionWithDoc("pyo3_runtime.PanicException", kPanicDoc,
                                                  PyExc_BaseException, nullptr);
    if (created == nullptr) {
        return nullptr;
    }
    // Creating a class can run Python code, so another thread may have won.
    if (panic_class != nullptr) {
        Py_DECREF(created);
    } else {
        panic_class = created;
    }
    return panic_class;
}

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

void raise_fault(std::string_view message, Where where)
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

void raise_fault_from_pending(std::string_view prefix, Where where)
{
    std::string message(prefix);
    message += ": ";
    message += render_pending_error();
    raise_fault(message, where);
}

void raise_api_call_failed(Where where)
{
    if (PyErr_Occurred() != nullptr) {
        PyErr_Print();
    }
    raise_fault("Python API call failed", where);
}

}  // namespace vesk

#include "arguments.hpp"

#include <iterator>

#include "py_errors.hpp"

namespace vesk {

namespace {

constexpr const char kNewName[] = "EventReader.__new__()";
constexpr const char* kParameterNames[] = {"path", "reader_type"};
constexpr Py_ssize_t kParameterCount = std::size(kParameterNames);

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
    return PyRef::steal(
        PyUnicode_DecodeUTF8(PyBytes_AS_STRING(bytes.get()), PyBytes_GET_SIZE(bytes.get()), "replace"));
}

// Which parameter a keyword names, or -1 for none (also for keys that cannot
// be encoded, which match no parameter).
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
    for (int i = 0; i < kParameterCount; ++i) {
        if (view == kParameterNames[i]) {
            return i;
        }
    }
    return -1;
}

// Fills `values` (borrowed) from the call's arguments, or raises TypeError.
bool bind_shape(PyObject* args, PyObject* kwargs, PyObject* values[kParameterCount])
{
    const Py_ssize_t positional = PyTuple_GET_SIZE(args);
    if (positional > kParameterCount) {
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
                    raise_formatted(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", kNewName,
                                    shown.get());
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
                        "%s missing 2 required positional arguments: 'path' and 'reader_type'", kNewName);
        return false;
    }
    for (int i = 0; i < kParameterCount; ++i) {
        if (values[i] == nullptr) {
            raise_formatted(PyExc_TypeError, "%s missing 1 required positional argument: '%s'", kNewName,
                            kParameterNames[i]);
            return false;
        }
    }
    return true;
}

// The UTF-8 text of a str argument, or false with TypeError (not a str) or the
// interpreter's UnicodeEncodeError (a lone surrogate) raised.
bool utf8_argument(PyObject* value, const char* name, std::string_view& out)
{
    if (!PyUnicode_Check(value)) {
        PyRef type_name =
            PyRef::steal(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(value)), "__qualname__"));
        if (type_name) {
            raise_formatted(PyExc_TypeError, "argument '%s': '%S' object cannot be cast as 'str'", name,
                            type_name.get());
        }
        return false;
    }
    Py_ssize_t size = 0;
    const char* text = PyUnicode_AsUTF8AndSize(value, &size);
    if (text == nullptr) {
        return false;
    }
    out = std::string_view(text, static_cast<std::size_t>(size));
    return true;
}

}  // namespace

bool bind_arguments(PyObject* args, PyObject* kwargs, ConstructorArguments& out)
{
    PyObject* values[kParameterCount] = {};
    std::string_view reader_type;
    if (!bind_shape(args, kwargs, values) || !utf8_argument(values[0], "path", out.path)
        || !utf8_argument(values[1], "reader_type", reader_type)) {
        return false;
    }
    out.format = format_named(reader_type);
    out.reader_type_name = values[1];
    return true;
}

}  // namespace vesk

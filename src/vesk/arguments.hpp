// The constructor's arguments. Bound by hand rather than with
// PyArg_ParseTupleAndKeywords because every message is fixed, word for word.
#pragma once

#include <optional>
#include <string_view>

#include "formats.hpp"
#include "py_ref.hpp"

namespace vesk {

struct ConstructorArguments {
    std::string_view path;  // UTF-8, borrowed from the argument
    // Nothing for an unknown name: judged only after the file is opened.
    std::optional<Format> format;
    PyObject* reader_type_name = nullptr;  // borrowed, for the message
};

// Binds and converts the arguments of EventReader(path, reader_type). Returns
// false with TypeError or UnicodeEncodeError raised for a bad shape or value.
bool bind_arguments(PyObject* args, PyObject* kwargs, ConstructorArguments& out);

}  // namespace vesk

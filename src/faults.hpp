// Internal faults: conditions a call does not expect to survive. Each one is
// reported on file descriptor 2 and raised as `pyo3_runtime.PanicException`,
// which derives from BaseException so that `except Exception` does not hide it.
//
// Every function here leaves the fault set as the current Python exception;
// the caller returns its failure value.
#pragma once

#include <string>
#include <string_view>

#include "decoder.hpp"
#include "py_ref.hpp"

namespace vesk {

using Where = SourceLocation;

// All of these are cold: they run only when a call is failing.

// Reports `message` and raises it as PanicException.
[[gnu::cold]] void raise_fault(std::string_view message, Where where = Where::current());

// For messages that describe the pending Python error: raises
// prefix + ": " + its rendering, clearing it.
[[gnu::cold]] void raise_fault_from_pending(std::string_view prefix, Where where = Where::current());

// A CPython or NumPy call that had to return a new object returned none:
// prints the pending error to sys.stderr, then raises "Python API call failed".
[[gnu::cold]] void raise_api_call_failed(Where where = Where::current());

// "PyErr { type: ..., value: ..., traceback: ... }" for the pending Python
// error, which is fetched and so cleared.
[[gnu::cold]] std::string render_pending_error();

// The class, created on the first fault of the process. Null if it cannot be
// created (a Python error is then set).
PyObject* panic_exception_class();

}  // namespace vesk

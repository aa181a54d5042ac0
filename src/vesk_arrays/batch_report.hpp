// What crosses from the core to the package besides a batch's columns: the
// report of a call (a named tuple type of _core) and the named values the
// calls take and give (layouts, read-ahead modes, damage kinds, limits).
#pragma once

#include "batch_fill.hpp"
#include "py_ref.hpp"

namespace vesk {

// Creates _core.Report, _core.Damage and _core.MappedSamples and adds them, with the named values,
// to `module`; false with an exception set.
bool add_boundary(PyObject* module);

// The report of a call: what it met besides its events (see _core.pyi).
// `error` is the exception that ended the call, or null. Null with an
// exception set when it cannot be made.
PyObject* make_report(const FillEnd& end, PyObject* error);

// The "data" of a batch of a mapped file: where its samples lie (see
// _core.pyi), by name. Null with an exception set when it cannot be made.
PyObject* mapped_samples(PyObject* mapping, PyObject* starts, long long stride);

}  // namespace vesk

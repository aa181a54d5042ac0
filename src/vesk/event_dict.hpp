// The Python form of a decoded event: a dictionary of its header fields, in
// record order, and its samples as a NumPy array under "data".
#pragma once

#include "py_ref.hpp"
#include "sample_buffer.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

// Interns the keys into the module state; false with the error set.
bool intern_event_keys();

// A new, empty dictionary sized for one event, or null with the fault raised.
PyObject* new_event_dict();

// Fills `dict` (taken over) with the event and returns it, or null with the
// fault raised.
PyObject* build_event_dict(PyRef dict, DecodedEvent<WD1Reader>& event);
PyObject* build_event_dict(PyRef dict, DecodedEvent<WD2Reader>& event);

}  // namespace vesk

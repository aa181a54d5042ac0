// The EventReader class: opens one event file, binds it to the WD1 or WD2
// decoder, and is its own iterator of event dictionaries.
#pragma once

#include "py_ref.hpp"

namespace vesk {

// A new reference to the class, or null with the error set.
PyRef create_event_reader_type();

}  // namespace vesk

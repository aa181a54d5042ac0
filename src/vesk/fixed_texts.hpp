// Texts that scripts written against the module match exactly, kept as they
// are on purpose, however odd they read: callers catch the fault type by its
// name, compare messages, and print type names. Changing one breaks them, so
// each lives in one place and is used from there:
//   - kPanicTypeName, the fault type's qualified name (faults.cpp);
//   - kAlreadyBorrowed, a second concurrent use of one reader (event_reader.cpp);
//   - the fault messages, kFaults in faults.cpp ("capacity overflow", ...);
//   - the type names "builtins.EventReader" and "builtins.PySliceContainer"
//     (event_reader.cpp, numpy_bridge.cpp);
//   - an input error's display, "failed to fill whole buffer" and
//     "<strerror> (os error N)" (src/core/io/byte_source.cpp), and the
//     argument and reader-type messages (arguments.cpp, event_reader.cpp).
#pragma once

namespace vesk {

inline constexpr const char* kPanicTypeName = "pyo3_runtime.PanicException";
inline constexpr const char* kAlreadyBorrowed = "Already mutably borrowed";

}  // namespace vesk

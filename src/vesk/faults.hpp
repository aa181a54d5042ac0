// Internal faults: conditions a call does not expect to survive. Each one is
// reported on file descriptor 2 and raised as `pyo3_runtime.PanicException`,
// which derives from BaseException so that `except Exception` does not hide it.
//
// Every function here leaves the fault set as the current Python exception;
// the caller returns its failure value. All of them are cold.
#pragma once

#include <cstdint>
#include <string_view>
#include <version>
#if defined(__cpp_lib_source_location)
#include <source_location>
#endif

namespace vesk {

// Where a fault was detected, for the report. std::source_location where the
// standard library has it; the compiler builtins elsewhere.
struct SourceLocation {
    const char* file;
    unsigned line;
    unsigned column;

#if defined(__cpp_lib_source_location)
    static constexpr SourceLocation current(std::source_location here = std::source_location::current())
    {
        return SourceLocation{here.file_name(), here.line(), here.column()};
    }
#else
    static constexpr SourceLocation current(const char* file = __builtin_FILE(),
                                            unsigned line = __builtin_LINE(),
                                            unsigned column = __builtin_COLUMN())
    {
        return SourceLocation{file, line, column};
    }
#endif
};

// Every fault vesk raises. The message of each, and what becomes of the
// pending Python error, is in the one table in faults.cpp.
enum class Fault : std::uint8_t {
    CapacityOverflow,          // a length of 2^63 bytes or more
    NumpyUnavailable,          // NumPy's C interface cannot be located
    SliceContainerFailed,      // the owner of an array's samples cannot be created
    DictInsertFailed,          // inserting into an event dictionary failed
    ApiCallFailed,             // a CPython or NumPy call that must return an object returned none
    SliceContainerTypeFailed,  // the owner type cannot be created
    AllAppendFailed,           // "EventReader" cannot be appended to __all__
};

[[gnu::cold]] void raise_fault(Fault fault, SourceLocation where = SourceLocation::current());

// For C++ exceptions that reach an entry point: their text is the message.
[[gnu::cold]] void raise_fault_text(std::string_view message,
                                    SourceLocation where = SourceLocation::current());

}  // namespace vesk

// The vesk module's entry points run through the shared guard; what it does
// not expect becomes an internal fault.
#pragma once

#include "exception_guard.hpp"
#include "faults.hpp"

namespace vesk {

// Raising a fault builds strings; if even that fails, memory is what ran out.
inline void raise_fault_or_no_memory(const char* message) noexcept
{
    try {
        raise_fault_text(message);
    } catch (...) {
        PyErr_NoMemory();
    }
}

// Not noexcept: a thread that the interpreter ends must unwind through it.
template <class Body>
auto guarded(Body&& body, decltype(body()) failure) -> decltype(body())
{
    return guarded(std::forward<Body>(body), failure, raise_fault_or_no_memory);
}

}  // namespace vesk

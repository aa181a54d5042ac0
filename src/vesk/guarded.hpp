// C++ exceptions must never reach the interpreter: every entry point runs its
// body through `guarded`.
#pragma once

#include <exception>
#include <new>

#include "faults.hpp"
#include "py_ref.hpp"

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

template <class Body>
auto guarded(Body&& body, decltype(body()) failure) noexcept -> decltype(body())
{
    try {
        return body();
    } catch (const std::bad_alloc&) {
        PyErr_NoMemory();
    } catch (const std::exception& error) {
        raise_fault_or_no_memory(error.what());
    } catch (...) {
        raise_fault_or_no_memory("unknown C++ exception");
    }
    return failure;
}

}  // namespace vesk

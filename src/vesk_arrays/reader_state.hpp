// What one vesk_arrays._core.Reader holds, and how its calls run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <variant>

#include "interpreter_hooks.hpp"
#include "py_errors.hpp"
#include "wd1_reader.hpp"
#include "wd2_reader.hpp"

namespace vesk {

using Decoder = std::variant<WD1Reader, WD2Reader>;

// What a reader holds besides its Python header. Calls are served one at a
// time under `mutex`, taken with the interpreter lock released.
struct ReaderState {
    std::timed_mutex mutex;
    ReleasedLockHooks hooks;         // outlives the decoder's file
    std::optional<Decoder> decoder;  // nothing once closed; used under `mutex`
    PyRef path;                      // what messages call the file
    PyRef file;                      // a Python file object being read, if any
    SavedError source_error;         // why reading `file` failed
    // Set once at construction: the format, and a WD2 file's layout.
    bool wd2 = false;
    bool has_channel_field = false;
    std::int32_t channel_count = 0;
    // Changed under `mutex`, read by anyone.
    std::atomic<std::uint64_t> events_read{0};
    std::atomic<bool> closed{false};
    // An error met after some events of a batch were decoded: those are
    // returned, and the error is raised by the next call.
    SavedError pending;
};

// Runs `body` with the interpreter lock released and the reader's mutex held.
// Waiting for another thread's call to finish (which may wait on a silent
// FIFO for ever) runs signal handlers now and then, so that Ctrl-C ends the
// wait: then nothing is returned, with the handler's exception set.
template <class Body>
auto without_interpreter_lock(ReaderState& state, Body&& body) -> std::optional<decltype(body())>
{
    PyThreadState* saved = PyEval_SaveThread();
    std::unique_lock<std::timed_mutex> hold(state.mutex, std::defer_lock);
    while (!hold.try_lock_for(std::chrono::milliseconds(50))) {
        PyEval_RestoreThread(saved);
        if (PyErr_CheckSignals() < 0) {
            return std::nullopt;
        }
        saved = PyEval_SaveThread();
    }
    state.hooks.saved = saved;
    auto result = body();
    // The hooks may have taken the lock back and saved a new state; read it
    // before another thread's call can overwrite it.
    saved = state.hooks.saved;
    hold.unlock();
    PyEval_RestoreThread(saved);
    return result;
}

}  // namespace vesk

// What one vesk_arrays._core.Reader holds, and how its calls run.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <variant>

#include "batch_fill.hpp"
#include "formats.hpp"
#include "interpreter_hooks.hpp"
#include "py_errors.hpp"

namespace vesk {

// A decoder and what its file has shown so far.
template <class Reader>
struct BatchDecoder {
    Reader reader;
    FileProgress<Reader> progress;
};

using AnyBatchDecoder = PerFormat<BatchDecoder>;

// What a reader holds besides its Python header. Calls are served one at a
// time under `mutex`, taken with the interpreter lock released.
struct ReaderState {
    std::timed_mutex mutex;
    ReleasedLockHooks hooks;  // outlives the decoder's file
    // Used under `mutex`: the decoder, or, for a WD2 source that does not yet
    // hold enough bytes to tell its layout, the source itself; neither once
    // closed.
    std::optional<AnyBatchDecoder> decoder;
    std::optional<BufferedFile> unprobed;
    Format format = Format::WD1;
    LayoutRequest layout = LayoutRequest::Probe;
    bool follow = false;
    PyRef path;               // what messages call the file
    PyRef file;               // a Python file object being read, if any
    SavedError source_error;  // why reading `file` failed
    // Changed under `mutex`, read by anyone.
    std::atomic<std::uint64_t> events_read{0};
    std::atomic<std::uint64_t> trailing_bytes{0};
    std::atomic<bool> closed{false};
};

// Runs `body` with the interpreter lock released and the reader's mutex held.
// Waiting for another thread's call to finish (which may wait on a silent
// FIFO for ever) runs signal handlers now and then, so that Ctrl-C ends the
// wait: then nothing is returned, with the handler's exception set. The lock
// is taken back however the body ends, a C++ exception included.
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
    struct Relock {
        ReaderState& state;
        std::unique_lock<std::timed_mutex>& hold;
        ~Relock()
        {
            // The hooks may have taken the lock back and saved a new state;
            // read it before another thread's call can overwrite it.
            PyThreadState* current = state.hooks.saved;
            hold.unlock();
            PyEval_RestoreThread(current);
        }
    } relock{state, hold};
    return body();
}

}  // namespace vesk

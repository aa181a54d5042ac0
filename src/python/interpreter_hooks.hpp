// How the byte source's blocking system calls meet the interpreter: signal
// handlers run when a call is interrupted (so Ctrl-C ends a wait on a silent
// FIFO), and the interpreter lock is released while a call may block
// indefinitely, so that other threads go on.
#pragma once

#include <utility>

#include "byte_source.hpp"
#include "py_ref.hpp"

namespace vesk {

// For callers holding the interpreter lock.
class InterpreterHooks final : public IoHooks {
public:
    bool interrupted() override { return PyErr_CheckSignals() < 0; }
    void blocking_begin() override { saved_ = PyEval_SaveThread(); }
    void blocking_end() override { PyEval_RestoreThread(saved_); }

    // One instance serves every reader; the state saved is per thread.
    static InterpreterHooks& instance()
    {
        static InterpreterHooks hooks;
        return hooks;
    }

private:
    static inline thread_local PyThreadState* saved_ = nullptr;
};

// For callers that have released the lock for a whole batch: it is taken back
// only to run signal handlers. The error they raise stays set in this thread
// for when the caller takes the lock back.
class ReleasedLockHooks final : public IoHooks {
public:
    bool interrupted() override
    {
        if (in_background) {
            return false;  // a thread of the reader's own: no Python to run; try again
        }
        take_lock();
        const bool raised = PyErr_CheckSignals() < 0;
        release_lock();
        return raised;
    }

    // Takes the interpreter lock back for a while, and lets it go again.
    // `saved` is null from the moment the lock is asked for: also when the
    // interpreter, being torn down, ends the thread instead of handing it
    // over, so that the destructors then unwound do not ask again.
    void take_lock() { PyEval_RestoreThread(std::exchange(saved, nullptr)); }
    void release_lock() { saved = PyEval_SaveThread(); }

    // What PyEval_SaveThread returned when the caller released the lock; null
    // while the lock is held.
    PyThreadState* saved = nullptr;
    // Set while a thread that never held the interpreter lock reads (a batch
    // read ahead): signal handlers are left to the interpreter's own thread.
    bool in_background = false;
};

}  // namespace vesk

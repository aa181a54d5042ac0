// How the byte source's blocking system calls meet the interpreter: signal
// handlers run when a call is interrupted (so Ctrl-C ends a wait on a silent
// FIFO), and the interpreter lock is released while a call may block
// indefinitely, so that other threads go on.
#pragma once

#include <utility>

#include "byte_source.hpp"
#include "py_ref.hpp"
#include "released_interpreter.hpp"

namespace vesk {

// For callers holding the interpreter lock.
class InterpreterHooks final : public IoHooks {
public:
    bool interrupted() override { return PyErr_CheckSignals() < 0; }
    void blocking_begin() override { saved_ = ReleasedInterpreter::release(); }
    void blocking_end() override { ReleasedInterpreter::take_back(std::exchange(saved_, nullptr)); }

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
        return run_signal_handlers();
    }

    // Takes the interpreter lock back to run signal handlers, and lets it go
    // again: true when one raised (its exception stays set in this thread).
    bool run_signal_handlers()
    {
        take_lock();
        const bool raised = PyErr_CheckSignals() < 0;
        release_lock();
        return raised;
    }

    // Takes the interpreter lock back for a while, and lets it go again.
    // `saved` is null from the moment the lock is asked for: also when the
    // interpreter, being torn down, ends the thread instead of handing it
    // over, so that the destructors then unwound do not ask again.
    void take_lock() { ReleasedInterpreter::take_back(std::exchange(saved, nullptr)); }
    void release_lock() { saved = ReleasedInterpreter::release(); }

    // What the caller's release of the lock saved (ReleasedInterpreter); null
    // while the lock is held.
    PyThreadState* saved = nullptr;
    // Set while a thread that never held the interpreter lock reads (a batch
    // read ahead): signal handlers are left to the interpreter's own thread.
    bool in_background = false;
};

}  // namespace vesk

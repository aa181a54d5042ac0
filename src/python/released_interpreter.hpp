// The interpreter lock let go for a while: the one place that releases it and
// takes it back, so that no path forgets to take it back.
#pragma once

#include <utility>

#include "py_ref.hpp"

namespace vesk {

class ReleasedInterpreter {
public:
    ReleasedInterpreter() : saved_(release()) {}
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;
    // Not noexcept: the interpreter may end the thread as it asks for the
    // lock back (see guarded).
    ~ReleasedInterpreter() noexcept(false) { take_back(std::exchange(saved_, nullptr)); }

    // Takes the lock back to run signal handlers, and lets it go again: true
    // when a handler raised (its exception stays set in this thread).
    bool run_signal_handlers()
    {
        take_back(std::exchange(saved_, nullptr));
        const bool raised = PyErr_CheckSignals() < 0;
        saved_ = release();
        return raised;
    }

    // Hands the saved thread state to a caller that takes the lock back itself
    // (with take_back); this object then leaves the lock as it is.
    PyThreadState* hand_over() { return std::exchange(saved_, nullptr); }

    // The two halves, for callers whose release and take-back are not scoped
    // (hooks called around a blocking system call).
    static PyThreadState* release() { return PyEval_SaveThread(); }
    // Nothing for null: the state was handed over, or the interpreter ended
    // the thread while it asked for the lock.
    static void take_back(PyThreadState* saved)
    {
        if (saved != nullptr) {
            PyEval_RestoreThread(saved);
        }
    }

private:
    PyThreadState* saved_;
};

}  // namespace vesk

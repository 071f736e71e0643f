// Running native work with the interpreter lock released. The work must not
// touch any Python object; the lock is taken back on every path, exceptions
// included. Long work can be interrupted: the calling thread takes the lock
// back for a moment between blocks to let the interpreter run its signal
// handlers, as NumPy's long loops do.
#pragma once

#include <functional>

#include "module/py_ref.hpp"
#include "parallel/interruption.hpp"

namespace ventrola::py {

class ReleasedInterpreterLock {
public:
    ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
    ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;

    // On the thread that released the lock: runs the pending signal handlers
    // with the lock held. True when one raised (Ctrl-C: KeyboardInterrupt);
    // the exception stays pending for the call to return.
    bool signal_handler_raised() {
        PyEval_RestoreThread(state_);
        const bool raised = PyErr_CheckSignals() != 0;
        state_ = PyEval_SaveThread();
        return raised;
    }

    ReleasedInterpreterLock& operator=(const ReleasedInterpreterLock&) = delete;

private:
    PyThreadState* state_;
};

// The work's result, computed without the lock.
template <class Work>
decltype(auto) without_lock(Work&& work) {
    ReleasedInterpreterLock released;
    return work();
}

inline void run_without_lock(const std::function<void()>& work) { without_lock(work); }

// The shape the simulation code asks for (RunUnlocked): the work stops when
// a signal handler raises, and the call then raises that exception.
inline void run_interruptibly(const std::function<void(Interruption&)>& work) {
    ReleasedInterpreterLock released;
    Interruption interruption([&released] { return released.signal_handler_raised(); });
    work(interruption);
}

}  // namespace ventrola::py

// Running native work with the interpreter lock released. The work must not
// touch any Python object; the lock is taken back on every path, exceptions
// included.
#pragma once

#include <functional>

#include "module/py_ref.hpp"

namespace ventrola::py {

class ReleasedInterpreterLock {
public:
    ReleasedInterpreterLock() : state_(PyEval_SaveThread()) {}
    ~ReleasedInterpreterLock() { PyEval_RestoreThread(state_); }
    ReleasedInterpreterLock(const ReleasedInterpreterLock&) = delete;
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

// The shape the simulation code asks for (RunUnlocked).
inline void run_without_lock(const std::function<void()>& work) { without_lock(work); }

}  // namespace ventrola::py

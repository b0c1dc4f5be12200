// Holding the interpreter lock from code that may be reached without it.
#pragma once

#include <Python.h>

namespace modweave::host {

// Takes the interpreter lock unless the calling thread holds it already, and releases only what
// it took.
class InterpreterLock {
public:
    InterpreterLock() noexcept : taken_(PyGILState_Check() == 0) {
        if (taken_) state_ = PyGILState_Ensure();
    }
    InterpreterLock(const InterpreterLock&) = delete;
    InterpreterLock& operator=(const InterpreterLock&) = delete;
    ~InterpreterLock() {
        if (taken_) PyGILState_Release(state_);
    }

private:
    bool taken_;
    PyGILState_STATE state_{};
};

}  // namespace modweave::host

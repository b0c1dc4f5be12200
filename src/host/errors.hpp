// The failures of a Python-callable operation, as C++ exceptions. The call frame converts each to
// its Python form at one place (see call_frame.hpp); nothing else raises into the interpreter.
//
// - PythonError: a Python exception was raised (by the interpreter or by Python code we called).
//   It is taken out of the thread state when thrown and put back by the frame, so nothing that
//   runs during unwinding can clobber or observe it.
// - ArgumentError: an argument, receiver or borrow error, raised as `type` with `message`.
// - InternalFailure (internal_failure.hpp): a broken invariant, raised as PanicException.
#pragma once

#include <Python.h>

#include <stdexcept>
#include <string>

#include "host/object.hpp"
#include "internal_failure.hpp"

namespace modweave::host {

class PythonError : public std::exception {
public:
    // Takes the exception that is pending on this thread; there must be one.
    PythonError() noexcept : exception_(Object::steal(PyErr_GetRaisedException())) {}

    const char* what() const noexcept override { return "a Python exception was raised"; }

    // Makes the exception pending again; this object no longer holds it.
    void restore() noexcept { PyErr_SetRaisedException(exception_.release()); }
    // The exception object, taken out of this error.
    Object take() noexcept { return std::move(exception_); }
    Handle exception() const noexcept { return exception_.handle(); }
    // str() of the exception, for a message of ours; never raises.
    std::string describe() const;

private:
    Object exception_;
};

class ArgumentError : public std::runtime_error {
public:
    ArgumentError(PyObject* type, const std::string& message)
        : std::runtime_error(message), type_(type) {}
    PyObject* type() const noexcept { return type_; }

private:
    PyObject* type_;  // a built-in exception type, which lives as long as the interpreter
};

// Returns `object` as an owned reference, or throws the pending error when it is null.
inline Object require(PyObject* new_reference) {
    if (new_reference == nullptr) throw PythonError();
    return Object::steal(new_reference);
}

// Throws the pending error when a C API call reported failure with -1.
inline void require_status(int status) {
    if (status < 0) throw PythonError();
}

}  // namespace modweave::host

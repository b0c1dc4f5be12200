// PanicException: what Python receives when native code fails internally.
#pragma once

#include <Python.h>

#include <string_view>

namespace modweave::host {

// The exception type, created on first use and reused for the life of the process. Returns null
// with an exception set only if the interpreter cannot create it.
PyObject* panic_exception_type() noexcept;

// Sets PanicException(message) as the pending exception.
void raise_panic(std::string_view message) noexcept;

}  // namespace modweave::host

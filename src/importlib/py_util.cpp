#include "importlib/py_util.hpp"

#include <Python.h>

#include "host/interpreter_lock.hpp"
#include "host/values.hpp"
#include "importlib/py_types.hpp"
#include "importlib/util.hpp"

namespace modweave::importlib {

using host::Object;
using host::PythonError;

namespace {

// Looks the name up; throws PythonError for whatever the host raises.
Object call_host_find_spec(std::string_view name) {
    Object util = host::require(PyImport_ImportModule("importlib.util"));
    Object function = host::require(PyObject_GetAttrString(util.get(), "find_spec"));
    Object text = host::require(
        PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    return host::require(PyObject_CallOneArg(function.get(), text.get()));
}

// Discards an ordinary exception; lets an interrupt or exit request through.
void discard(PythonError& error) {
    if (PyErr_GivenExceptionMatches(error.exception().get(), PyExc_Exception) == 0) throw;
}

}  // namespace

std::optional<ModuleSpec> find_spec(std::string_view name) {
    host::InterpreterLock lock;
    std::optional<ModuleSpec> spec;
    try {
        Object found = call_host_find_spec(name);
        if (found.handle().is_none()) return std::nullopt;
        spec = extract(found.handle());
    } catch (PythonError& error) {
        discard(error);
        return std::nullopt;
    }
    log_loaded_spec(*spec);
    return spec;
}

}  // namespace modweave::importlib

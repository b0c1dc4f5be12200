// Creation of the module's heap types.
#pragma once

#include <Python.h>

#include "host/errors.hpp"

namespace modweave::host {

// Makes a heap type from `spec`; throws the interpreter's error when it cannot. The type has no
// module attribute, no instance dict and no weak references, and cannot be subclassed unless the
// spec's flags say so.
inline PyTypeObject* create_type(PyType_Spec& spec) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) throw PythonError();
    return reinterpret_cast<PyTypeObject*>(type);
}

// Returns the type in `slot`, creating it on first need; it is kept for the life of the process.
template <class Make>
PyTypeObject* type_once(PyTypeObject*& slot, Make&& make) {
    if (slot == nullptr) slot = make();
    return slot;
}

}  // namespace modweave::host

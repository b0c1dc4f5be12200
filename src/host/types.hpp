// Creation of the module's heap types.
#pragma once

#include <Python.h>

#include <cstring>
#include <initializer_list>
#include <vector>

#include "host/call_frame.hpp"
#include "host/errors.hpp"

namespace modweave::host {

// Makes a heap type from `spec`; throws the interpreter's error when it cannot.
inline PyTypeObject* create_type(PyType_Spec& spec) {
    PyObject* type = PyType_FromSpec(&spec);
    if (type == nullptr) throw PythonError();
    return reinterpret_cast<PyTypeObject*>(type);
}

// A class whose instances are Instance<Record>, with `slots` besides the deallocator. It has no
// instance dict and no weak references and cannot be subclassed. The interpreter copies the name
// and the doc; the method and property tables that slots point to must outlive the type.
// A class whose instances can hold other Python objects adds Py_TPFLAGS_HAVE_GC with its
// traverse and clear slots.
// `name` is "module.Class": the module part becomes the class's __module__, and messages that
// name the type (its tp_name) say "Class" alone.
template <class Record>
PyTypeObject* create_class(const char* name, std::initializer_list<PyType_Slot> slots,
                           unsigned int extra_flags = 0) {
    std::vector<PyType_Slot> all(slots);
    all.push_back({Py_tp_dealloc, reinterpret_cast<void*>(instance_dealloc<Record>)});
    all.push_back({0, nullptr});
    PyType_Spec spec = {
        .name = name,
        .basicsize = static_cast<int>(sizeof(Instance<Record>)),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | extra_flags,
        .slots = all.data(),
    };
    PyTypeObject* type = create_type(spec);
    // Points into the type's own copy of the name, which lives as long as the type.
    if (const char* dot = std::strrchr(type->tp_name, '.')) type->tp_name = dot + 1;
    return type;
}

// Returns the type in `slot`, creating it on first need; it is kept for the life of the process.
template <class Make>
PyTypeObject* type_once(PyTypeObject*& slot, Make&& make) {
    if (slot == nullptr) slot = make();
    return slot;
}

}  // namespace modweave::host

#include "importlib/py_types.hpp"

#include <Python.h>

#include <string>

#include "host/values.hpp"
#include "logging_bridge/message.hpp"

namespace modweave::importlib {

using host::Handle;
using host::Object;
using host::PythonError;
using logging_bridge::concat;

namespace {

// Attribute names, interned on first use and kept for the life of the process.
struct FieldNames {
    PyObject* name;
    PyObject* origin;
    PyObject* parent;
    PyObject* submodule_search_locations;
};

PyObject* intern(const char* text) {
    PyObject* interned = PyUnicode_InternFromString(text);
    if (interned == nullptr) throw PythonError();
    return interned;
}

const FieldNames& field_names() {
    static FieldNames names{};
    if (names.submodule_search_locations == nullptr) {
        names.name = intern("name");
        names.origin = intern("origin");
        names.parent = intern("parent");
        names.submodule_search_locations = intern("submodule_search_locations");
    }
    return names;
}

// An Exception, as opposed to an interrupt or a request to exit, which must reach the caller as
// it is.
bool is_ordinary(const PythonError& error) {
    return PyErr_GivenExceptionMatches(error.exception().get(), PyExc_Exception) != 0;
}

// The error of a failed conversion: raised, to become the cause of the field's error.
[[noreturn]] void raise_conversion(Handle value, std::string_view expected) {
    PyErr_SetString(PyExc_TypeError, concat("'", host::type_name(value),
                                            "' object cannot be converted to '", expected, "'")
                                         .c_str());
    throw PythonError();
}

std::string to_text(Handle value) {
    if (!PyUnicode_Check(value.get())) raise_conversion(value, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (data == nullptr) throw PythonError();
    return {data, static_cast<std::size_t>(size)};
}

std::vector<std::string> to_text_list(Handle value) {
    if (PyUnicode_Check(value.get())) {
        PyErr_SetString(PyExc_TypeError, "a 'str' is not accepted as a sequence of 'str'");
        throw PythonError();
    }
    if (PySequence_Check(value.get()) == 0) raise_conversion(value, "Sequence");
    // Reading the length stays part of the conversion, so an interrupt raised there reaches the
    // caller, but it sizes nothing: an object can report any length at all, so the list grows as
    // the items come.
    if (PySequence_Size(value.get()) < 0) {
        if (PyErr_ExceptionMatches(PyExc_Exception) == 0) throw PythonError();
        PyErr_Clear();
    }
    std::vector<std::string> items;
    Object iterator = host::require(PyObject_GetIter(value.get()));
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Object owned = Object::steal(item);
        items.push_back(to_text(owned.handle()));
    }
    if (PyErr_Occurred() != nullptr) throw PythonError();
    return items;
}

// Reads one attribute and converts it; a conversion error becomes the cause of
// TypeError("failed to extract field ModuleSpec.<field>").
template <class Convert>
auto field(Handle object, PyObject* attribute, const char* field_name, Convert&& convert) {
    Object value = host::require(PyObject_GetAttr(object.get(), attribute));
    try {
        return convert(value.handle());
    } catch (PythonError& error) {
        if (!is_ordinary(error)) throw;
        Object cause = error.take();
        PyErr_SetString(PyExc_TypeError,
                        concat("failed to extract field ModuleSpec.", field_name).c_str());
        PythonError wrapped;
        PyException_SetCause(wrapped.exception().get(), cause.release());
        throw wrapped;
    }
}

template <class Convert>
auto optional_field(Handle object, PyObject* attribute, const char* field_name, Convert&& convert) {
    return field(object, attribute, field_name, [&](Handle value) {
        using Value = decltype(convert(value));
        return value.is_none() ? std::optional<Value>() : std::optional<Value>(convert(value));
    });
}

}  // namespace

ModuleSpec extract(Handle object) {
    const FieldNames& names = field_names();
    ModuleSpec spec;
    spec.name = field(object, names.name, "name", to_text);
    spec.origin = optional_field(object, names.origin, "origin", to_text);
    spec.parent = field(object, names.parent, "parent", to_text);
    spec.submodule_search_locations = optional_field(object, names.submodule_search_locations,
                                                     "submodule_search_locations", to_text_list);
    return spec;
}

Object into_py(ModuleSpec spec) {
    Object dict = host::make_dict();
    host::dict_set(dict.handle(), host::make_str("name"), host::make_str(spec.name));
    host::dict_set(dict.handle(), host::make_str("origin"),
                   spec.origin ? host::make_str(*spec.origin) : Object::none());
    return dict;
}

}  // namespace modweave::importlib

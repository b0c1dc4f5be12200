#include "host/values.hpp"

#include <string>

namespace modweave::host {
namespace {

[[noreturn]] void fail_with_pending_error() {
    fail("failed to create a Python object: ", PythonError().describe());
}

[[noreturn]] void fail_conversion(Handle value, std::string_view name, std::string_view expected) {
    throw ArgumentError(PyExc_TypeError,
                        logging_bridge::concat("argument '", name, "': '", type_name(value),
                                               "' object cannot be converted to '", expected, "'"));
}

}  // namespace

std::string PythonError::describe() const {
    Object text = Object::steal(PyObject_Str(exception_.get()));
    const char* detail = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
    if (detail == nullptr) {
        PyErr_Clear();
        return "unknown error";
    }
    return detail;
}

Object require_value(PyObject* new_reference) {
    if (new_reference == nullptr) fail_with_pending_error();
    return Object::steal(new_reference);
}

void require_value_status(int status) {
    if (status < 0) fail_with_pending_error();
}

Object make_str(std::string_view text) {
    return require_value(
        PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
}

Object make_int(std::uint64_t value) {
    return require_value(PyLong_FromUnsignedLongLong(value));
}

Object make_int(std::int64_t value) {
    return require_value(PyLong_FromLongLong(value));
}

Object make_list() {
    return require_value(PyList_New(0));
}
Object make_dict() {
    return require_value(PyDict_New());
}
Object make_set() {
    return require_value(PySet_New(nullptr));
}

void list_append(Handle list, const Object& item) {
    require_value_status(PyList_Append(list.get(), item.get()));
}

void dict_set(Handle dict, const Object& key, const Object& value) {
    require_value_status(PyDict_SetItem(dict.get(), key.get(), value.get()));
}

void set_add(Handle set, const Object& item) {
    require_value_status(PySet_Add(set.get(), item.get()));
}

std::string_view text_argument(Handle value, std::string_view name) {
    if (!PyUnicode_Check(value.get())) fail_conversion(value, name, "str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (data == nullptr) throw PythonError();
    return {data, static_cast<std::size_t>(size)};
}

std::optional<std::string_view> optional_text_argument(Handle value, std::string_view name) {
    if (!value || value.is_none()) return std::nullopt;
    return text_argument(value, name);
}

bool optional_flag_argument(Handle value, std::string_view name) {
    if (!value || value.is_none()) return false;
    if (Py_IS_TYPE(value.get(), &PyBool_Type)) return value.get() == Py_True;
    fail_conversion(value, name, "bool");
}

}  // namespace modweave::host

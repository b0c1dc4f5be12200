#include "host/panic.hpp"

namespace modweave::host {
namespace {

constexpr const char* panic_doc =
    "\nThe exception raised when native code called from Python fails internally.\n\n"
    "Like SystemExit, this exception is derived from BaseException so that it will typically\n"
    "propagate all the way through the stack and cause the Python interpreter to exit.\n";

// Created once with the interpreter lock held and never released: the type lives as long as the
// process, like the module that raises it.
PyObject* panic_type = nullptr;

}  // namespace

PyObject* panic_exception_type() noexcept {
    if (panic_type == nullptr) {
        panic_type = PyErr_NewExceptionWithDoc("modweave.PanicException", panic_doc,
                                               PyExc_BaseException, nullptr);
    }
    return panic_type;
}

void raise_panic(std::string_view message) noexcept {
    PyObject* type = panic_exception_type();
    if (type == nullptr) return;  // the failure to create the type is pending instead
    PyObject* text =
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
    if (text == nullptr) return;
    PyErr_SetObject(type, text);
    Py_DECREF(text);
}

}  // namespace modweave::host

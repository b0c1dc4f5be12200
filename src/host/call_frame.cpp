#include "host/call_frame.hpp"

#include <string>
#include <vector>

#include "logging_bridge/message.hpp"

namespace modweave::host {

using logging_bridge::concat;

BorrowGuard::BorrowGuard(BorrowCounter& counter, BorrowKind kind) : counter_(counter), kind_(kind) {
    if (kind == BorrowKind::Exclusive) {
        if (counter.state_ != 0) throw ArgumentError(PyExc_RuntimeError, "Already borrowed");
        counter.state_ = BorrowCounter::exclusive;
    } else {
        if (counter.state_ == BorrowCounter::exclusive) {
            throw ArgumentError(PyExc_RuntimeError, "Already mutably borrowed");
        }
        ++counter.state_;
    }
}

BorrowGuard::~BorrowGuard() {
    if (kind_ == BorrowKind::Exclusive) {
        counter_.state_ = 0;
    } else {
        --counter_.state_;
    }
}

PyObject* no_constructor(PyTypeObject*, PyObject*, PyObject*) noexcept {
    PyErr_SetString(PyExc_TypeError, "No constructor defined");
    return nullptr;
}

namespace {

std::string quoted_list(const std::vector<const char*>& names) {
    // 'a', 'a' and 'b', 'a', 'b' and 'c'
    std::string text;
    for (std::size_t i = 0; i < names.size(); ++i) {
        if (i > 0) text += i + 1 == names.size() ? (names.size() > 2 ? ", and " : " and ") : ", ";
        text += concat("'", names[i], "'");
    }
    return text;
}

[[noreturn]] void type_error(const std::string& message) {
    throw ArgumentError(PyExc_TypeError, message);
}

}  // namespace

void read_arguments(std::string_view function, const Parameter* parameters, std::size_t count,
                    const ArgumentList& arguments, Handle* slots) {
    std::size_t positional = 0;
    while (positional < count && !parameters[positional].keyword_only)
        ++positional;
    const auto given = static_cast<std::size_t>(arguments.positional_count());
    if (given > positional) {
        std::size_t required = 0;
        while (required < positional && parameters[required].required)
            ++required;
        std::string takes = required == positional ? std::to_string(positional)
                                                   : concat("from ", required, " to ", positional);
        type_error(concat(function, "() takes ", takes, " positional argument",
                          positional == 1 && required == positional ? "" : "s", " but ", given,
                          given == 1 ? " was" : " were", " given"));
    }
    for (std::size_t i = 0; i < given; ++i) {
        slots[i] = Handle(arguments.positional(static_cast<Py_ssize_t>(i)));
    }
    arguments.for_each_keyword([&](PyObject* key, PyObject* value) {
        if (!PyUnicode_Check(key)) type_error(concat(function, "() keywords must be strings"));
        for (std::size_t i = 0; i < count; ++i) {
            if (PyUnicode_CompareWithASCIIString(key, parameters[i].name) != 0) continue;
            if (slots[i]) {
                type_error(concat(function, "() got multiple values for argument '",
                                  parameters[i].name, "'"));
            }
            slots[i] = Handle(value);
            return;
        }
        const char* key_text = PyUnicode_AsUTF8(key);
        if (key_text == nullptr) throw PythonError();
        type_error(concat(function, "() got an unexpected keyword argument '", key_text, "'"));
    });
    std::vector<const char*> missing;
    for (std::size_t i = 0; i < count; ++i) {
        if (parameters[i].required && !slots[i]) missing.push_back(parameters[i].name);
    }
    if (!missing.empty()) {
        type_error(concat(function, "() missing ", missing.size(), " required positional argument",
                          missing.size() == 1 ? "" : "s", ": ", quoted_list(missing)));
    }
}

namespace {

// Per thread: an interrupt belongs to the operation running on the thread that met it, even when
// another thread enters the module while this one is inside a Python callback.
thread_local PyObject* deferred_interrupt = nullptr;

}  // namespace

void defer_interrupt(Object exception) noexcept {
    // The first interrupt wins; a later one during the same operation adds nothing.
    if (deferred_interrupt == nullptr) deferred_interrupt = exception.release();
}

bool has_deferred_interrupt() noexcept {
    return deferred_interrupt != nullptr;
}

PyObject* finish_call(PyObject* result) noexcept {
    if (deferred_interrupt == nullptr) {
        if (result == nullptr && PyErr_Occurred() == nullptr) raise_panic("interrupted");
        return result;
    }
    Py_XDECREF(result);
    PyErr_SetRaisedException(std::exchange(deferred_interrupt, nullptr));
    return nullptr;
}

}  // namespace modweave::host

// Owned and borrowed references to Python objects.
//
// `Object` owns one reference and releases it exactly once; it can only be moved. A reference
// changes hands only through the named calls `steal` (take over a new reference), `borrow` (add a
// reference of our own) and `release` (hand ours back to the interpreter), so every transfer is
// visible where it happens. `Handle` is a plain borrowed pointer that never touches the count.
#pragma once

#include <Python.h>

#include <string_view>
#include <utility>

namespace modweave::host {

class Handle {
public:
    constexpr Handle() noexcept = default;
    constexpr explicit Handle(PyObject* object) noexcept : object_(object) {}

    PyObject* get() const noexcept { return object_; }
    explicit operator bool() const noexcept { return object_ != nullptr; }
    bool is_none() const noexcept { return object_ == Py_None; }

private:
    PyObject* object_ = nullptr;
};

class Object {
public:
    Object() noexcept = default;
    Object(const Object&) = delete;
    Object& operator=(const Object&) = delete;
    Object(Object&& other) noexcept : object_(std::exchange(other.object_, nullptr)) {}
    Object& operator=(Object&& other) noexcept {
        Object(std::move(other)).swap(*this);
        return *this;
    }
    ~Object() { Py_XDECREF(object_); }

    // Takes over a new reference (which may be null).
    static Object steal(PyObject* object) noexcept { return Object(object); }
    // Adds a reference of our own to a borrowed object.
    static Object borrow(Handle object) noexcept {
        Py_XINCREF(object.get());
        return Object(object.get());
    }
    static Object none() noexcept { return borrow(Handle(Py_None)); }

    // Hands our reference to the caller; this object is empty afterwards.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(object_, nullptr); }

    PyObject* get() const noexcept { return object_; }
    Handle handle() const noexcept { return Handle(object_); }
    explicit operator bool() const noexcept { return object_ != nullptr; }

    void swap(Object& other) noexcept { std::swap(object_, other.object_); }

private:
    explicit Object(PyObject* object) noexcept : object_(object) {}

    PyObject* object_ = nullptr;
};

// The name of an object's type, for messages.
inline const char* type_name(Handle object) noexcept {
    return Py_TYPE(object.get())->tp_name;
}

}  // namespace modweave::host

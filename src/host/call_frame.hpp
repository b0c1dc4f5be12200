// The call frame every Python-callable operation of the module runs in.
//
// In order: the arguments are matched against the operation's parameters (arity and keyword
// errors in the interpreter's usual wording), the receiver's class is checked and its borrow
// counter taken, the body converts its arguments and runs, and the borrow is released. Every
// failure leaves the frame as a C++ exception and is converted to its Python form in `boundary`,
// the one place where an operation's outcome becomes a result or a pending exception.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <new>
#include <string>
#include <string_view>
#include <utility>

#include "host/errors.hpp"
#include "host/panic.hpp"

namespace modweave::host {

// ---------------------------------------------------------------------------------------------
// Borrow counters

enum class BorrowKind { Shared, Exclusive };

// 0 when free, a positive count of shared uses, or `exclusive` for one exclusive use. Instances
// are only touched with the interpreter lock held, so the counter is never seen by two threads at
// once; it catches re-entry on one thread (a Python callback that calls back into the instance).
class BorrowCounter {
    friend class BorrowGuard;
    static constexpr std::int64_t exclusive = -1;
    std::int64_t state_ = 0;
};

class BorrowGuard {
public:
    BorrowGuard(BorrowCounter& counter, BorrowKind kind);
    BorrowGuard(const BorrowGuard&) = delete;
    BorrowGuard& operator=(const BorrowGuard&) = delete;
    ~BorrowGuard();

private:
    BorrowCounter& counter_;
    BorrowKind kind_;
};

// ---------------------------------------------------------------------------------------------
// Instances of the module's classes: the object header, the native record, the borrow counter.

template <class Record>
struct Instance {
    PyObject_HEAD
    Record record;
    BorrowCounter borrow;
    bool constructed;  // false (as allocated, zeroed) until record and counter are constructed
};

// The slot functions of a class whose instances are Instance<Record>.
template <class Record>
void instance_dealloc(PyObject* self) noexcept {
    PyTypeObject* type = Py_TYPE(self);
    if (PyType_HasFeature(type, Py_TPFLAGS_HAVE_GC)) PyObject_GC_UnTrack(self);
    auto* instance = reinterpret_cast<Instance<Record>*>(self);
    // An instance whose record failed to construct is freed without running its destructors.
    if (instance->constructed) {
        instance->record.~Record();
        instance->borrow.~BorrowCounter();
    }
    type->tp_free(self);
    Py_DECREF(type);  // instances of heap types own a reference to their type
}

// A new instance of `type` that owns `record`.
template <class Record>
Object make_instance(PyTypeObject* type, Record&& record) {
    Object object = require(type->tp_alloc(type, 0));
    auto* instance = reinterpret_cast<Instance<Record>*>(object.get());
    new (&instance->record) Record(std::forward<Record>(record));
    new (&instance->borrow) BorrowCounter();
    instance->constructed = true;
    return object;
}

// The tp_new of a class that Python cannot construct.
PyObject* no_constructor(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept;

// ---------------------------------------------------------------------------------------------
// Arguments

// The positional and keyword arguments of one call, in either of the interpreter's conventions.
class ArgumentList {
public:
    // Fast call with keywords: `kwnames` names the trailing values of `args`.
    ArgumentList(PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept
        : args_(args),
          positional_(PyVectorcall_NARGS(static_cast<std::size_t>(nargsf))),
          kwnames_(kwnames),
          keywords_(kwnames != nullptr ? PyTuple_GET_SIZE(kwnames) : 0) {}
    // Tuple and dict, as tp_new receives them.
    ArgumentList(PyObject* args, PyObject* kwargs) noexcept
        : tuple_(args),
          kwargs_(kwargs),
          positional_(args != nullptr ? PyTuple_GET_SIZE(args) : 0) {}

    Py_ssize_t positional_count() const noexcept { return positional_; }
    PyObject* positional(Py_ssize_t index) const noexcept {
        return tuple_ != nullptr ? PyTuple_GET_ITEM(tuple_, index) : args_[index];
    }

    // Calls visit(name, value) for each keyword argument, in the order given.
    template <class Visit>
    void for_each_keyword(Visit&& visit) const {
        if (kwnames_ != nullptr) {
            for (Py_ssize_t i = 0; i < keywords_; ++i) {
                visit(PyTuple_GET_ITEM(kwnames_, i), args_[positional_ + i]);
            }
        } else if (kwargs_ != nullptr) {
            Py_ssize_t position = 0;
            PyObject* key = nullptr;
            PyObject* value = nullptr;
            while (PyDict_Next(kwargs_, &position, &key, &value))
                visit(key, value);
        }
    }

private:
    PyObject* const* args_ = nullptr;
    PyObject* tuple_ = nullptr;
    PyObject* kwargs_ = nullptr;
    Py_ssize_t positional_ = 0;
    PyObject* kwnames_ = nullptr;
    Py_ssize_t keywords_ = 0;
};

struct Parameter {
    const char* name;
    bool required;
    bool keyword_only = false;  // keyword-only parameters come after all the others
};

// Matches the arguments of a call against `parameters`: each slot of the result is the argument
// given for that parameter, or null when it was omitted. Errors are TypeErrors worded as the
// interpreter words them for `function` ("build", "GraphBuilder.build", ...).
void read_arguments(std::string_view function, const Parameter* parameters, std::size_t count,
                    const ArgumentList& arguments, Handle* slots);

template <std::size_t N>
struct Signature {
    const char* function;
    std::array<Parameter, N> parameters;

    std::array<Handle, N> read(const ArgumentList& arguments) const {
        std::array<Handle, N> slots{};
        read_arguments(function, parameters.data(), N, arguments, slots.data());
        return slots;
    }
};

// ---------------------------------------------------------------------------------------------
// The boundary

// Python exceptions that must not be swallowed by the code that meets them (an interrupt raised
// inside a logging handler, say) are parked here and raised by the boundary when the operation
// ends, in place of its result.
void defer_interrupt(Object exception) noexcept;
bool has_deferred_interrupt() noexcept;

// Abandons the operation in progress because an interrupt is deferred; the boundary then raises
// that interrupt.
class Interrupted : public std::exception {
public:
    const char* what() const noexcept override { return "interrupted"; }
};

// Throws Interrupted when an interrupt is waiting to be raised.
inline void check_interrupt() {
    if (has_deferred_interrupt()) throw Interrupted();
}

// Raises a deferred interrupt in place of the outcome, if there is one.
PyObject* finish_call(PyObject* result) noexcept;

// Runs `body`, which returns the result as an Object, and converts its outcome: the result is
// handed to the interpreter, or the failure becomes the pending exception and null is returned.
template <class Body>
PyObject* boundary(Body&& body) noexcept {
    PyObject* result = nullptr;
    try {
        result = std::forward<Body>(body)().release();
    } catch (PythonError& error) {
        error.restore();
    } catch (const Interrupted&) {
        // finish_call raises the deferred interrupt.
    } catch (const ArgumentError& error) {
        PyErr_SetString(error.type(), error.what());
    } catch (const InternalFailure& error) {
        raise_panic(error.message());
    } catch (const std::bad_alloc&) {
        raise_panic("memory allocation failed");
    } catch (const std::exception& error) {
        raise_panic(error.what());
    } catch (...) {
        raise_panic("unknown internal failure");
    }
    return finish_call(result);
}

// Checks that `self` is an instance of `type` (whose Python name is `class_name`).
template <class Record>
Instance<Record>& receiver(PyObject* self, PyTypeObject* type, std::string_view class_name) {
    if (self == nullptr || !PyObject_TypeCheck(self, type)) {
        throw ArgumentError(
            PyExc_TypeError,
            logging_bridge::concat("expected a '", class_name, "' object as the receiver, got '",
                                   self != nullptr ? type_name(Handle(self)) : "NULL", "'"));
    }
    return *reinterpret_cast<Instance<Record>*>(self);
}

// ---------------------------------------------------------------------------------------------
// Methods and properties of the module's classes. A class is described by a traits struct:
//
//     struct DepGraphClass {
//         using Record = core::DepGraph;
//         static constexpr std::string_view name = "DepGraph";
//         static PyTypeObject* type();
//     };

// The record as a use of `Kind` may see it: read-only under a shared borrow.
template <BorrowKind Kind, class Record>
auto& borrowed_record(Instance<Record>& instance) noexcept {
    if constexpr (Kind == BorrowKind::Shared) {
        return std::as_const(instance.record);
    } else {
        return instance.record;
    }
}

// A method or property without arguments: receiver check, borrow, body(record) -> Object.
template <class Class, BorrowKind Kind, class Body>
PyObject* call_method(PyObject* self, Body&& body) noexcept {
    return boundary([&]() -> Object {
        auto& instance = receiver<typename Class::Record>(self, Class::type(), Class::name);
        BorrowGuard borrow(instance.borrow, Kind);
        return body(borrowed_record<Kind>(instance));
    });
}

// A method with parameters: arguments first, then receiver and borrow, then
// body(record, slots) -> Object, which converts the arguments it was given.
template <class Class, BorrowKind Kind, std::size_t N, class Body>
PyObject* call_method(PyObject* self, const Signature<N>& signature, const ArgumentList& arguments,
                      Body&& body) noexcept {
    return boundary([&]() -> Object {
        std::array<Handle, N> slots = signature.read(arguments);
        auto& instance = receiver<typename Class::Record>(self, Class::type(), Class::name);
        BorrowGuard borrow(instance.borrow, Kind);
        return body(borrowed_record<Kind>(instance), slots);
    });
}

// A module-level function with parameters: body(slots) -> Object.
template <std::size_t N, class Body>
PyObject* call_function(const Signature<N>& signature, const ArgumentList& arguments,
                        Body&& body) noexcept {
    return boundary([&]() -> Object { return body(signature.read(arguments)); });
}

}  // namespace modweave::host

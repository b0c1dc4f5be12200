// _modweave_frame: a test-only extension that drives the call frame and the logging bridge
// directly, so that their conversions can be checked from Python without a build to trigger them.
#include <Python.h>

#include <string>

#include "host/call_frame.hpp"
#include "host/types.hpp"
#include "host/values.hpp"
#include "importlib/py_types.hpp"
#include "importlib/py_util.hpp"
#include "logging_bridge/log.hpp"
#include "logging_bridge/py_bridge.hpp"

namespace modweave::frame_test {
namespace {

using host::ArgumentList;
using host::BorrowKind;
using host::Object;

struct Counter {
    mutable long calls = 0;  // counts shared uses too, which see the record read-only
};

PyTypeObject* counter_type = nullptr;

struct CounterClass {
    using Record = Counter;
    static constexpr std::string_view name = "Counter";
    static PyTypeObject* type() { return counter_type; }
};

PyObject* call_back(PyObject* callback) {
    return PyObject_CallNoArgs(callback);
}

constexpr host::Signature<1> callback_signature{"Counter.shared", {{{"callback", true}}}};
constexpr host::Signature<1> exclusive_signature{"Counter.exclusive", {{{"callback", true}}}};

// Counter.shared(callback): calls `callback` while holding a shared borrow.
PyObject* counter_shared(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                         PyObject* kwnames) noexcept {
    return host::call_method<CounterClass, BorrowKind::Shared>(
        self, callback_signature, ArgumentList(args, nargsf, kwnames),
        [](const Counter& counter, const auto& slots) {
            ++counter.calls;
            return host::require(call_back(slots[0].get()));
        });
}

// Counter.exclusive(callback): calls `callback` while holding the exclusive borrow.
PyObject* counter_exclusive(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                            PyObject* kwnames) noexcept {
    return host::call_method<CounterClass, BorrowKind::Exclusive>(
        self, exclusive_signature, ArgumentList(args, nargsf, kwnames),
        [](Counter& counter, const auto& slots) {
            ++counter.calls;
            return host::require(call_back(slots[0].get()));
        });
}

PyObject* counter_calls(PyObject* self, void*) noexcept {
    return host::call_method<CounterClass, BorrowKind::Shared>(self, [](const Counter& counter) {
        return host::make_int(static_cast<std::int64_t>(counter.calls));
    });
}

PyObject* counter_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    static constexpr host::Signature<0> signature{"Counter.__new__", {}};
    return host::call_function(signature, ArgumentList(args, kwargs),
                               [&](const auto&) { return host::make_instance(type, Counter{}); });
}

constexpr host::Signature<3> convert_signature{
    "convert", {{{"text", true}, {"package", false}, {"flag", false}}}};

// convert(text, package=None, flag=None) -> (text, package or None, flag)
PyObject* convert(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return host::call_function(
        convert_signature, ArgumentList(args, nargsf, kwnames), [](const auto& slots) {
            std::string_view text = host::text_argument(slots[0], "text");
            auto package = host::optional_text_argument(slots[1], "package");
            bool flag = host::optional_flag_argument(slots[2], "flag");
            Object result = host::require(PyTuple_New(3));
            PyTuple_SET_ITEM(result.get(), 0, host::make_str(text).release());
            PyTuple_SET_ITEM(
                result.get(), 1,
                package ? host::make_str(*package).release() : Object::none().release());
            PyTuple_SET_ITEM(result.get(), 2,
                             Object::borrow(host::Handle(flag ? Py_True : Py_False)).release());
            return result;
        });
}

constexpr host::Signature<1> panic_signature{"panic", {{{"message", true}}}};

// panic(message): fails internally with `message`.
PyObject* panic(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return host::call_function(
        panic_signature, ArgumentList(args, nargsf, kwnames),
        [](const auto& slots) -> Object { fail(host::text_argument(slots[0], "message")); });
}

constexpr host::Signature<3> log_signature{
    "log", {{{"level", true}, {"target", true}, {"message", true}}}};

// log(level, target, message): one record through the logging interface; level 1 (Error) to 5.
PyObject* log(PyObject*, PyObject* const* args, Py_ssize_t nargsf, PyObject* kwnames) noexcept {
    return host::call_function(
        log_signature, ArgumentList(args, nargsf, kwnames), [](const auto& slots) {
            long level = PyLong_AsLong(slots[0].get());
            if (level == -1 && PyErr_Occurred()) throw host::PythonError();
            if (level < 1 || level > 5) {
                throw host::ArgumentError(PyExc_ValueError, "level must be 1 to 5");
            }
            std::string target(host::text_argument(slots[1], "target"));
            std::string_view message = host::text_argument(slots[2], "message");
            logging_bridge::log(static_cast<logging_bridge::Level>(level), target,
                                "frame_module.cpp", 42u, message);
            return Object::none();
        });
}

// extract_spec(obj) -> (name, origin, parent, submodule_search_locations as a list or None)
PyObject* extract_spec(PyObject*, PyObject* object) noexcept {
    return host::boundary([&] {
        importlib::ModuleSpec spec = importlib::extract(host::Handle(object));
        Object locations = Object::none();
        if (spec.submodule_search_locations) {
            locations = host::make_list();
            for (const auto& location : *spec.submodule_search_locations) {
                host::list_append(locations.handle(), host::make_str(location));
            }
        }
        Object origin = spec.origin ? host::make_str(*spec.origin) : Object::none();
        return host::require(Py_BuildValue("(NNNN)", host::make_str(spec.name).release(),
                                           origin.release(), host::make_str(spec.parent).release(),
                                           locations.release()));
    });
}

constexpr host::Signature<1> find_spec_signature{"find_spec", {{{"name", true}}}};

// find_spec(name) -> the module spec's Python form, or None when absent.
PyObject* find_spec(PyObject*, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) noexcept {
    return host::call_function(
        find_spec_signature, ArgumentList(args, nargsf, kwnames), [](const auto& slots) {
            auto spec = importlib::find_spec(host::text_argument(slots[0], "name"));
            if (PyErr_Occurred() != nullptr) {
                throw host::ArgumentError(PyExc_AssertionError, "find_spec left an error pending");
            }
            return spec ? importlib::into_py(std::move(*spec)) : Object::none();
        });
}

// panic_type(): the PanicException type.
PyObject* panic_type(PyObject*, PyObject*) noexcept {
    return host::boundary([] {
        PyObject* type = host::panic_exception_type();
        if (type == nullptr) throw host::PythonError();
        return Object::borrow(host::Handle(type));
    });
}

// A record that fails while it is moved into a new instance, and counts its destructions.
struct Unmovable {
    static inline long destructions = 0;
    Unmovable() = default;
    Unmovable(Unmovable&&) { fail("record failed to move"); }
    ~Unmovable() { ++destructions; }
};

PyTypeObject* unmovable_type = nullptr;

// make_unmovable(): fails with PanicException while the instance's record is constructed; the
// instance is freed without destroying a record it never had.
PyObject* make_unmovable(PyObject*, PyObject*) noexcept {
    return host::boundary([] {
        PyTypeObject* type = host::type_once(unmovable_type, [] {
            return host::create_class<Unmovable>("_modweave_frame.Unmovable", {});
        });
        return host::make_instance(type, Unmovable{});
    });
}

// unmovable_destructions(): how many Unmovable records were destroyed, temporaries included.
PyObject* unmovable_destructions(PyObject*, PyObject*) noexcept {
    return host::boundary([] { return host::make_int(std::int64_t{Unmovable::destructions}); });
}

template <auto Function>
PyCFunction fastcall() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

PyMethodDef functions[] = {
    {"convert", fastcall<convert>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"panic", fastcall<panic>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"log", fastcall<log>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"panic_type", panic_type, METH_NOARGS, nullptr},
    {"extract_spec", extract_spec, METH_O, nullptr},
    {"find_spec", fastcall<find_spec>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"make_unmovable", make_unmovable, METH_NOARGS, nullptr},
    {"unmovable_destructions", unmovable_destructions, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef counter_methods[] = {
    {"shared", fastcall<counter_shared>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {"exclusive", fastcall<counter_exclusive>(), METH_FASTCALL | METH_KEYWORDS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef counter_getset[] = {
    {"calls", counter_calls, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyModuleDef definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_modweave_frame",
    .m_doc = nullptr,
    .m_size = 0,
    .m_methods = functions,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
};

PyObject* initialize() noexcept {
    Object module = Object::steal(PyModule_Create(&definition));
    if (!module) return nullptr;
    return host::boundary([&]() -> Object {
        (void)logging_bridge::install_python_bridge();
        counter_type = host::type_once(counter_type, [] {
            return host::create_class<Counter>("_modweave_frame.Counter",
                                               {{Py_tp_new, reinterpret_cast<void*>(counter_new)},
                                                {Py_tp_methods, counter_methods},
                                                {Py_tp_getset, counter_getset}});
        });
        host::require_status(PyModule_AddObjectRef(module.get(), "Counter",
                                                   reinterpret_cast<PyObject*>(counter_type)));
        return std::move(module);
    });
}

}  // namespace
}  // namespace modweave::frame_test

PyMODINIT_FUNC PyInit__modweave_frame(void) {
    return modweave::frame_test::initialize();
}

// The module's entry point: creates `modweave`, installs the logging bridge, registers the classes
// and attaches the `parser` submodule.
#include <Python.h>

#include <atomic>

#include "core/py_builder.hpp"
#include "core/py_types.hpp"
#include "host/call_frame.hpp"
#include "host/panic.hpp"
#include "host/values.hpp"
#include "logging_bridge/py_bridge.hpp"
#include "minimal_parser/py_parser.hpp"
#include "scanner/py_scanner.hpp"

namespace modweave {
namespace {

using host::Handle;
using host::Object;
using host::PythonError;
using host::require;

// The module keeps process-wide state (the logging bridge, the type objects) that belongs to the
// main interpreter, so it is initialised there only, and once per process. Only a completed
// initialisation counts, and only while its module lives: after a failed one, or when the import
// system drops the module it asked for (a subinterpreter's import can run the entry point in the
// main interpreter and refuse the module afterwards), a later import may try again.
enum class Initialization { NotDone, Running, Done };
std::atomic<Initialization> initialization{Initialization::NotDone};
// The module of the completed initialisation; compared, never dereferenced.
std::atomic<const void*> initialized_module{nullptr};

void forget_initialized_module(void* module) noexcept {
    const void* expected = module;
    if (initialized_module.compare_exchange_strong(expected, nullptr)) {
        initialization.store(Initialization::NotDone);
    }
}

// The bridge is installed once per process and outlives a failed initialisation, which a later
// attempt finishes with the same bridge.
bool bridge_installed = false;

constexpr const char* initialized_once_message =
    "modweave may only be initialized once per interpreter process";

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "modweave",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = forget_initialized_module,
};

// Appends `name` to the module's __all__ (creating the list on first use) and stores `value`
// under that name.
void add(Handle module, const char* name, Object value) {
    PyObject* dict = PyModule_GetDict(module.get());        // borrowed
    PyObject* all = PyDict_GetItemString(dict, "__all__");  // borrowed
    if (all == nullptr) {
        Object list = host::make_list();
        host::require_status(PyObject_SetAttrString(module.get(), "__all__", list.get()));
        all = list.get();  // the module holds it now
    }
    host::list_append(Handle(all), host::make_str(name));
    host::require_status(PyObject_SetAttrString(module.get(), name, value.get()));
}

void add_type(Handle module, PyTypeObject* type, const char* name) {
    add(module, name, Object::borrow(Handle(reinterpret_cast<PyObject*>(type))));
}

// The module name a module reports, as a new `str`.
Object module_name(Handle module) {
    const char* name = PyModule_GetName(module.get());
    if (name == nullptr) throw PythonError();
    return host::make_str(name);
}

Object make_function(Handle module, PyMethodDef* definition) {
    Object name = module_name(module);
    return require(PyCMethod_New(definition, module.get(), name.get(), nullptr));
}

Object make_parser_module() {
    Object parser = require(PyModule_New("parser"));
    PyMethodDef* parse = minimal_parser::parse_method_definition();
    add(parser.handle(), parse->ml_name, make_function(parser.handle(), parse));
    // Not in __all__, which keeps listing parse alone, as the package's own __all__ leaves out
    // PanicException: `from modweave.parser import *` gives what it always gave.
    PyMethodDef* scan = scanner::scan_method_definition();
    host::require_status(PyObject_SetAttrString(parser.get(), scan->ml_name,
                                                make_function(parser.handle(), scan).get()));
    return parser;
}

PyObject* initialize() noexcept {
    Object module = Object::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    // Another interpreter changes nothing here, so it cannot keep the main one from importing.
    if (PyInterpreterState_Get() != PyInterpreterState_Main()) {
        PyErr_SetString(PyExc_ImportError,
                        initialization.load() == Initialization::Done
                            ? initialized_once_message
                            : "modweave can only be imported in the main interpreter");
        return nullptr;
    }
    Initialization expected = Initialization::NotDone;
    if (!initialization.compare_exchange_strong(expected, Initialization::Running)) {
        PyErr_SetString(PyExc_ImportError, initialized_once_message);
        return nullptr;
    }
    PyObject* result = host::boundary([&]() -> Object {
        if (!bridge_installed) {
            // The reset handle is dropped at once: the logger cache lives as long as the process.
            (void)logging_bridge::install_python_bridge();
            bridge_installed = true;
        }
        add_type(module.handle(), core::DepNodeClass::type(), "DepNode");
        add_type(module.handle(), core::DepGraphClass::type(), "DepGraph");
        add_type(module.handle(), core::GraphBuilderClass::type(), "GraphBuilder");
        Object parser = make_parser_module();
        const char* parser_name = PyModule_GetName(parser.get());
        if (parser_name == nullptr) throw PythonError();
        add(module.handle(), parser_name, std::move(parser));
        // Not in __all__: an attribute so that `except modweave.PanicException` works and pickle
        // finds the class by its qualified name.
        PyObject* panic = host::panic_exception_type();
        if (panic == nullptr) throw PythonError();
        host::require_status(PyObject_SetAttrString(module.get(), "PanicException", panic));
        return std::move(module);
    });
    if (result != nullptr) initialized_module.store(result);
    initialization.store(result != nullptr ? Initialization::Done : Initialization::NotDone);
    return result;
}

}  // namespace
}  // namespace modweave

PyMODINIT_FUNC PyInit_modweave(void) {
    return modweave::initialize();
}

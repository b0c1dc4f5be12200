// The module's entry point: creates `modweave`, installs the logging bridge, registers the classes
// and attaches the `parser` submodule.
#include <Python.h>

#include <atomic>

#include "core/py_builder.hpp"
#include "core/py_types.hpp"
#include "host/call_frame.hpp"
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

// The module keeps process-wide state (the logging bridge, the type objects), so it may be
// initialised only once per process, whichever interpreter asks.
std::atomic<bool> initialized{false};

PyModuleDef module_definition = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "modweave",
    .m_doc = "",
    .m_size = 0,
    .m_methods = nullptr,
    .m_slots = nullptr,
    .m_traverse = nullptr,
    .m_clear = nullptr,
    .m_free = nullptr,
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

void add_function(Handle module, PyMethodDef* definition) {
    Object name = module_name(module);
    Object function = require(PyCMethod_New(definition, module.get(), name.get(), nullptr));
    add(module, definition->ml_name, std::move(function));
}

Object make_parser_module() {
    Object parser = require(PyModule_New("parser"));
    add_function(parser.handle(), minimal_parser::parse_method_definition());
    add_function(parser.handle(), scanner::scan_method_definition());
    return parser;
}

PyObject* initialize() noexcept {
    Object module = Object::steal(PyModule_Create2(&module_definition, 1013));
    if (!module) return nullptr;
    if (initialized.exchange(true)) {
        PyErr_SetString(PyExc_ImportError,
                        "modweave may only be initialized once per interpreter process");
        return nullptr;
    }
    return host::boundary([&]() -> Object {
        // The reset handle is dropped at once: the logger cache lives as long as the process.
        (void)logging_bridge::install_python_bridge();
        add_type(module.handle(), core::DepNodeClass::type(), "DepNode");
        add_type(module.handle(), core::DepGraphClass::type(), "DepGraph");
        add_type(module.handle(), core::GraphBuilderClass::type(), "GraphBuilder");
        Object parser = make_parser_module();
        const char* parser_name = PyModule_GetName(parser.get());
        if (parser_name == nullptr) throw PythonError();
        add(module.handle(), parser_name, std::move(parser));
        return std::move(module);
    });
}

}  // namespace
}  // namespace modweave

PyMODINIT_FUNC PyInit_modweave(void) {
    return modweave::initialize();
}

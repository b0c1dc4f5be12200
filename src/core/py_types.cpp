#include "core/py_types.hpp"

#include "host/types.hpp"

namespace modweave::core {
namespace {

PyTypeObject* dep_node_type = nullptr;
PyTypeObject* dep_graph_type = nullptr;

}  // namespace

PyTypeObject* DepNodeClass::type() {
    return host::type_once(dep_node_type, [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(host::no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(host::instance_dealloc<DepNode>)},
            {0, nullptr},
        };
        static PyType_Spec spec = {
            .name = "DepNode",
            .basicsize = static_cast<int>(sizeof(host::Instance<DepNode>)),
            .itemsize = 0,
            .flags = Py_TPFLAGS_DEFAULT,
            .slots = slots,
        };
        return host::create_type(spec);
    });
}

PyTypeObject* DepGraphClass::type() {
    return host::type_once(dep_graph_type, [] {
        static PyType_Slot slots[] = {
            {Py_tp_new, reinterpret_cast<void*>(host::no_constructor)},
            {Py_tp_dealloc, reinterpret_cast<void*>(host::instance_dealloc<DepGraph>)},
            {0, nullptr},
        };
        static PyType_Spec spec = {
            .name = "DepGraph",
            .basicsize = static_cast<int>(sizeof(host::Instance<DepGraph>)),
            .itemsize = 0,
            .flags = Py_TPFLAGS_DEFAULT,
            .slots = slots,
        };
        return host::create_type(spec);
    });
}

}  // namespace modweave::core

#include "core/py_builder.hpp"

#include "host/types.hpp"
#include "host/values.hpp"

namespace modweave::core {
namespace {

PyTypeObject* graph_builder_type = nullptr;

constexpr host::Signature<1> constructor_signature{"GraphBuilder.__new__", {{{"verbose", false}}}};

// GraphBuilder(verbose=None)
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return host::call_function(constructor_signature, host::ArgumentList(args, kwargs),
                               [&](const auto& slots) {
                                   GraphBuilder builder;
                                   builder.verbose =
                                       host::optional_flag_argument(slots[0], "verbose");
                                   return host::make_instance(type, std::move(builder));
                               });
}

}  // namespace

PyTypeObject* GraphBuilderClass::type() {
    return host::type_once(graph_builder_type, [] {
        static PyType_Slot slots[] = {
            {Py_tp_doc, const_cast<char*>("GraphBuilder(verbose=None)\n--\n\n")},
            {Py_tp_new, reinterpret_cast<void*>(construct)},
            {Py_tp_dealloc, reinterpret_cast<void*>(host::instance_dealloc<GraphBuilder>)},
            {0, nullptr},
        };
        static PyType_Spec spec = {
            .name = "GraphBuilder",
            .basicsize = static_cast<int>(sizeof(host::Instance<GraphBuilder>)),
            .itemsize = 0,
            .flags = Py_TPFLAGS_DEFAULT,
            .slots = slots,
        };
        return host::create_type(spec);
    });
}

}  // namespace modweave::core

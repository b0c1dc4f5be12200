#include "core/py_builder.hpp"

#include "core/py_types.hpp"
#include "host/types.hpp"
#include "host/values.hpp"
#include "importlib/py_util.hpp"

namespace modweave::core {
namespace {

using host::ArgumentList;
using host::BorrowKind;

PyTypeObject* graph_builder_type = nullptr;

// What a build needs from the interpreter: the module-spec lookup, and a say in whether to go on.
class InterpreterBuildHost final : public BuildHost {
public:
    std::optional<importlib::ModuleSpec> find_spec(std::string_view name) override {
        return importlib::find_spec(name);
    }

    // Abandons the build when the user interrupted it: a signal that arrived while native code
    // ran, or an interrupt that a logging handler raised and the bridge kept for us.
    void checkpoint() override {
        if (PyErr_CheckSignals() < 0) throw host::PythonError();
        host::check_interrupt();
    }
};

constexpr host::Signature<1> constructor_signature{"GraphBuilder.__new__", {{{"verbose", false}}}};

// GraphBuilder(verbose=None)
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return host::call_function(
        constructor_signature, ArgumentList(args, kwargs), [&](const auto& slots) {
            GraphBuilder builder;
            builder.verbose = host::optional_flag_argument(slots[0], "verbose");
            return host::make_instance(type, std::move(builder));
        });
}

constexpr host::Signature<2> build_signature{"GraphBuilder.build",
                                             {{{"source", true}, {"package", false}}}};

// GraphBuilder.build(source, package=None) -> DepGraph
PyObject* build(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames) noexcept {
    return host::call_method<GraphBuilderClass, BorrowKind::Exclusive>(
        self, build_signature, ArgumentList(args, nargsf, kwnames),
        [](GraphBuilder& builder, const auto& slots) {
            std::string_view source = host::text_argument(slots[0], "source");
            std::optional<std::string_view> package =
                host::optional_text_argument(slots[1], "package");
            InterpreterBuildHost interpreter;
            return wrap_graph(builder.build(source, package, interpreter));
        });
}

PyMethodDef builder_methods[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build)),
     METH_FASTCALL | METH_KEYWORDS, "build($self, source, package=None)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* GraphBuilderClass::type() {
    return host::type_once(graph_builder_type, [] {
        return host::create_class<GraphBuilder>(
            "modweave.GraphBuilder",
            {{Py_tp_doc, const_cast<char*>("GraphBuilder(verbose=None)\n--\n\n")},
             {Py_tp_new, reinterpret_cast<void*>(construct)},
             {Py_tp_methods, builder_methods}});
    });
}

}  // namespace modweave::core

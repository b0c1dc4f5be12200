#include "core/py_builder.hpp"

#include <chrono>
#include <string>
#include <vector>

#include "core/module_reader.hpp"
#include "core/py_types.hpp"
#include "core/source_decoding.hpp"
#include "core/source_file.hpp"
#include "host/types.hpp"
#include "host/values.hpp"
#include "importlib/py_exact_resolver.hpp"
#include "importlib/py_util.hpp"
#include "logging_bridge/log.hpp"
#include "logging_bridge/message.hpp"
#include "scanner/py_scanner.hpp"

namespace modweave::core {
namespace {

using host::ArgumentList;
using host::BorrowKind;
using host::Handle;
using host::Object;

PyTypeObject* graph_builder_type = nullptr;

// Reports the count of modules reached to a Python callable, at most every tenth of a second and
// once at the end, so that a caller's progress display costs the build next to nothing.
class ProgressReport {
public:
    explicit ProgressReport(Handle callable) : callable_(callable) {}

    void reached(std::size_t modules, bool done) {
        if (!callable_) return;
        const auto now = std::chrono::steady_clock::now();
        if (!done && now - last_ < std::chrono::milliseconds(100)) return;
        last_ = now;
        Object count = host::make_int(static_cast<std::uint64_t>(modules));
        host::require(PyObject_CallOneArg(callable_.get(), count.get()));
    }

private:
    Handle callable_;  // the builder owns it, and the builder outlives the build
    std::chrono::steady_clock::time_point last_{};
};

// What a build needs from the interpreter: the module-spec lookup, and a say in whether to go on.
class InterpreterBuildHost : public BuildHost {
public:
    explicit InterpreterBuildHost(Handle progress) : progress_(progress) {}

    std::optional<importlib::ModuleSpec> find_spec(std::string_view name) override {
        return importlib::find_spec(name);
    }

    // Abandons the build when the user interrupted it: a signal that arrived while native code
    // ran, or an interrupt that a logging handler raised and the bridge kept for us.
    void checkpoint() override {
        if (PyErr_CheckSignals() < 0) throw host::PythonError();
        host::check_interrupt();
    }

    void reached(std::size_t modules, bool done) override { progress_.reached(modules, done); }

private:
    ProgressReport progress_;
};

// An exact build: names resolved without importing anything, files decoded as the interpreter
// decodes them, statements found by the scanner that agrees with the interpreter's parser.
class ExactBuildHost final : public InterpreterBuildHost {
public:
    ExactBuildHost(Handle progress, importlib::FileSystemView& files)
        : InterpreterBuildHost(progress), resolver_(files) {}

    std::optional<importlib::ModuleSpec> find_spec(std::string_view name) override {
        return resolver_.find_spec(name);
    }

    const importlib::ModuleSpec* lookup(std::string_view name) override {
        const std::optional<importlib::ModuleSpec>& found = resolver_.find(name);
        return found ? &*found : nullptr;
    }

    std::optional<LoadedModule> load_module(const importlib::ModuleSpec& spec) override {
        if (!spec.origin || path_extension(*spec.origin) != "py") return std::nullopt;
        MODWEAVE_LOG(Debug, logging_bridge::targets::core_builder, "Loading file: ", *spec.origin);
        ReadModule read = reader_.take(*spec.origin);
        switch (read.outcome) {
            case ReadModule::Outcome::Scanned:
                return LoadedModule{.text = {}, .imports = std::move(read.imports)};
            case ReadModule::Outcome::NeedsScanning:
                return LoadedModule{.text = std::move(read.text), .imports = std::nullopt};
            case ReadModule::Outcome::Foreign: {
                std::optional<std::string> text = decode(spec, read.foreign);
                if (!text) return std::nullopt;
                return LoadedModule{.text = std::move(*text), .imports = std::nullopt};
            }
            case ReadModule::Outcome::Unreadable:
                break;
        }
        warn_unreadable(spec, read.reason);
        return std::nullopt;
    }

    void prefetch(const importlib::ModuleSpec& module) override {
        if (module.origin && path_extension(*module.origin) == "py") {
            reader_.prefetch(*module.origin);
        }
    }

    std::vector<ImportLine> read_imports(std::string_view source) override {
        return scan_imports(source, normalize_);
    }

    void release(std::vector<ImportLine> imports) override { reader_.release(std::move(imports)); }

private:
    // The text of a file in an encoding only the interpreter's codecs know.
    static std::optional<std::string> decode(const importlib::ModuleSpec& spec,
                                             const ForeignEncoding& foreign) {
        try {
            Object text = host::require(PyUnicode_Decode(
                foreign.bytes.data(), static_cast<Py_ssize_t>(foreign.bytes.size()),
                foreign.encoding.c_str(), "strict"));
            Py_ssize_t size = 0;
            const char* data = PyUnicode_AsUTF8AndSize(text.get(), &size);
            if (data == nullptr) throw host::PythonError();
            std::string_view decoded(data, static_cast<std::size_t>(size));
            // The codec's text may still start with a byte-order mark of its own.
            if (decoded.starts_with("\xEF\xBB\xBF")) decoded.remove_prefix(3);
            return std::string(decoded);
        } catch (host::PythonError& error) {
            if (PyErr_GivenExceptionMatches(error.exception().get(), PyExc_Exception) == 0) throw;
            warn_unreadable(spec, error.describe());
            return std::nullopt;
        }
    }

    importlib::ExactResolver resolver_;
    scanner::IdentifierNormalizer normalize_ = scanner::interpreter_normalizer();
    ModuleReader reader_;
};

// ------------------------------------------------------------------------------------------------
// Arguments

[[noreturn]] void argument_type_error(std::string_view name, std::string_view message) {
    throw host::ArgumentError(PyExc_TypeError,
                              logging_bridge::concat("argument '", name, "': ", message));
}

// Omitted or None give `fallback`; otherwise only True or False are accepted.
bool flag_argument(Handle value, std::string_view name, bool fallback) {
    if (!value || value.is_none()) return fallback;
    return host::optional_flag_argument(value, name);
}

// An iterable of str. A lone str is refused: it would be taken one character at a time.
std::vector<std::string> texts_argument(Handle value, std::string_view name) {
    if (PyUnicode_Check(value.get())) {
        argument_type_error(name, "expected a collection of str, not a single 'str'");
    }
    Object iterator = Object::steal(PyObject_GetIter(value.get()));
    if (!iterator) {
        PyErr_Clear();
        argument_type_error(
            name, logging_bridge::concat("'", host::type_name(value), "' object is not iterable"));
    }
    std::vector<std::string> texts;
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Object owned = Object::steal(item);
        if (!PyUnicode_Check(item)) {
            argument_type_error(name, logging_bridge::concat("expected str items, got '",
                                                             host::type_name(owned.handle()), "'"));
        }
        texts.emplace_back(host::text_argument(owned.handle(), name));
    }
    if (PyErr_Occurred() != nullptr) throw host::PythonError();
    return texts;
}

// An iterable of dotted-name prefixes; omitted or None give nothing.
std::optional<NamePrefixes> prefixes_argument(Handle value, std::string_view name) {
    if (!value || value.is_none()) return std::nullopt;
    return NamePrefixes(texts_argument(value, name));
}

Object callable_argument(Handle value, std::string_view name) {
    if (!value || value.is_none()) return Object();
    if (PyCallable_Check(value.get()) == 0) {
        argument_type_error(
            name, logging_bridge::concat("'", host::type_name(value), "' object is not callable"));
    }
    return Object::borrow(value);
}

constexpr host::Signature<7> constructor_signature{"GraphBuilder.__new__",
                                                   {{{"verbose", false},
                                                     {"exact", false, true},
                                                     {"type_checking", false, true},
                                                     {"expand_only", false, true},
                                                     {"never_expand", false, true},
                                                     {"exclude", false, true},
                                                     {"progress", false, true}}}};

// GraphBuilder(verbose=None, *, exact=False, type_checking=True, expand_only=None,
//              never_expand=None, exclude=None, progress=None)
PyObject* construct(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
    return host::call_function(
        constructor_signature, ArgumentList(args, kwargs), [&](const auto& slots) {
            PythonGraphBuilder record;
            GraphBuilder& builder = record.builder;
            builder.verbose = host::optional_flag_argument(slots[0], "verbose");
            BuildOptions& options = builder.options;
            options.exact = flag_argument(slots[1], "exact", false);
            options.type_checking = flag_argument(slots[2], "type_checking", true);
            options.expand_only = prefixes_argument(slots[3], "expand_only");
            options.never_expand =
                prefixes_argument(slots[4], "never_expand").value_or(NamePrefixes());
            options.exclude = prefixes_argument(slots[5], "exclude").value_or(NamePrefixes());
            record.progress = callable_argument(slots[6], "progress");
            return host::make_instance(type, std::move(record));
        });
}

constexpr host::Signature<2> build_signature{"GraphBuilder.build",
                                             {{{"source", true}, {"package", false}}}};

// GraphBuilder.build(source, package=None) -> DepGraph
PyObject* build(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                PyObject* kwnames) noexcept {
    return host::call_method<GraphBuilderClass, BorrowKind::Exclusive>(
        self, build_signature, ArgumentList(args, nargsf, kwnames),
        [](PythonGraphBuilder& record, const auto& slots) {
            std::string_view source = host::text_argument(slots[0], "source");
            std::optional<std::string_view> package =
                host::optional_text_argument(slots[1], "package");
            return build_with_host(record, [&](GraphBuilder& builder, BuildHost& host) {
                return builder.build(source, package, host);
            });
        });
}

// Runs a build on the host its options ask for.
template <class Build>
Object build_with_host(PythonGraphBuilder& record, Build&& build) {
    if (record.builder.options.exact) {
        ExactBuildHost exact(record.progress.handle(), *record.files);
        return wrap_graph(build(record.builder, exact));
    }
    InterpreterBuildHost interpreter(record.progress.handle());
    return wrap_graph(build(record.builder, interpreter));
}

constexpr host::Signature<1> build_modules_signature{"GraphBuilder.build_modules",
                                                     {{{"modules", true}}}};

// GraphBuilder.build_modules(modules) -> DepGraph
PyObject* build_modules(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                        PyObject* kwnames) noexcept {
    return host::call_method<GraphBuilderClass, BorrowKind::Exclusive>(
        self, build_modules_signature, ArgumentList(args, nargsf, kwnames),
        [](PythonGraphBuilder& record, const auto& slots) {
            const std::vector<std::string> modules = texts_argument(slots[0], "modules");
            return build_with_host(record, [&](GraphBuilder& builder, BuildHost& host) {
                return builder.build_modules(modules, host);
            });
        });
}

// The builder holds a callable, which may hold the builder: the collector must see the edge.
int traverse(PyObject* self, visitproc visit, void* arg) noexcept {
    auto* instance = reinterpret_cast<host::Instance<PythonGraphBuilder>*>(self);
    Py_VISIT(instance->record.progress.get());
    Py_VISIT(Py_TYPE(self));
    return 0;
}

int clear(PyObject* self) noexcept {
    auto* instance = reinterpret_cast<host::Instance<PythonGraphBuilder>*>(self);
    Object dropped = std::move(instance->record.progress);
    return 0;
}

PyMethodDef builder_methods[] = {
    {"build", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build)),
     METH_FASTCALL | METH_KEYWORDS, "build($self, source, package=None)\n--\n\n"},
    {"build_modules", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(build_modules)),
     METH_FASTCALL | METH_KEYWORDS, "build_modules($self, modules)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyTypeObject* GraphBuilderClass::type() {
    return host::type_once(graph_builder_type, [] {
        return host::create_class<PythonGraphBuilder>(
            "modweave.GraphBuilder",
            // The signature callers know; the stub carries the keyword-only options.
            {{Py_tp_doc, const_cast<char*>("GraphBuilder(verbose=None)\n--\n\n")},
             {Py_tp_new, reinterpret_cast<void*>(construct)},
             {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
             {Py_tp_clear, reinterpret_cast<void*>(clear)},
             {Py_tp_methods, builder_methods}},
            static_cast<unsigned int>(Py_TPFLAGS_HAVE_GC));
    });
}

}  // namespace modweave::core

#include "core/py_types.hpp"

#include <algorithm>

#include "host/types.hpp"
#include "host/values.hpp"
#include "importlib/py_types.hpp"
#include "logging_bridge/message.hpp"
#include "minimal_parser/util.hpp"

namespace modweave::core {

using host::ArgumentList;
using host::BorrowKind;
using host::Object;

namespace {

PyTypeObject* dep_node_type = nullptr;
PyTypeObject* dep_graph_type = nullptr;

template <auto Function>
PyCFunction as_method() {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(Function));
}

Object str_list(const std::vector<std::string>& texts) {
    Object list = host::make_list();
    for (const auto& text : texts)
        host::list_append(list.handle(), host::make_str(text));
    return list;
}

Object str_set(const ImportSet& texts) {
    Object set = host::make_set();
    for (const auto& text : texts)
        host::set_add(set.handle(), host::make_str(text));
    return set;
}

Object wrap_node(DepNode node) {
    return host::make_instance(DepNodeClass::type(), std::move(node));
}

// ------------------------------------------------------------------------------------------------
// DepNode: read-only properties of a copy of one node.

template <class Body>
PyObject* node_property(PyObject* self, Body&& body) noexcept {
    return host::call_method<DepNodeClass, BorrowKind::Shared>(self, std::forward<Body>(body));
}

PyObject* node_name(PyObject* self, void*) noexcept {
    return node_property(self, [](const DepNode& node) { return host::make_str(node.name); });
}

PyObject* node_spec(PyObject* self, void*) noexcept {
    return node_property(self, [](const DepNode& node) { return importlib::into_py(node.spec); });
}

PyObject* node_dependents(PyObject* self, void*) noexcept {
    return node_property(self, [](const DepNode& node) { return str_set(node.dependents); });
}

PyObject* node_depth(PyObject* self, void*) noexcept {
    return node_property(self, [](const DepNode& node) {
        return node.depth ? host::make_int(static_cast<std::int64_t>(*node.depth)) : Object::none();
    });
}

// The count of imported modules; it is also written to file descriptor 1, as callers of this
// property have come to expect.
PyObject* node_dependencies(PyObject* self, void*) noexcept {
    return node_property(self, [](const DepNode& node) {
        const std::size_t count = node.dependencies.size();
        minimal_parser::write_all(1, logging_bridge::concat(count, "\n"), "stdout");
        return host::make_int(static_cast<std::uint64_t>(count));
    });
}

PyObject* node_imports(PyObject* self, void*) noexcept {
    return node_property(self, [](const DepNode& node) { return str_set(node.dependencies); });
}

// <DepNode 'json' depth=1>
PyObject* node_repr(PyObject* self) noexcept {
    return node_property(self, [](const DepNode& node) {
        Object name = host::make_str(node.name);
        const std::string depth = node.depth ? logging_bridge::concat(*node.depth) : "None";
        return host::require_value(
            PyUnicode_FromFormat("<DepNode %R depth=%s>", name.get(), depth.c_str()));
    });
}

PyGetSetDef node_properties[] = {
    {"name", node_name, nullptr, nullptr, nullptr},
    {"spec", node_spec, nullptr, nullptr, nullptr},
    {"dependents", node_dependents, nullptr, nullptr, nullptr},
    {"depth", node_depth, nullptr, nullptr, nullptr},
    {"dependencies", node_dependencies, nullptr, nullptr, nullptr},
    {"imports", node_imports, nullptr, "The names of the modules this one imports.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// ------------------------------------------------------------------------------------------------
// DepGraph: queries of a finished graph.

template <BorrowKind Kind, class Body>
PyObject* graph_query(PyObject* self, Body&& body) noexcept {
    return host::call_method<DepGraphClass, Kind>(self, std::forward<Body>(body));
}

PyObject* graph_size(PyObject* self, PyObject*) noexcept {
    return graph_query<BorrowKind::Shared>(self, [](const DepGraph& graph) {
        return host::make_int(static_cast<std::uint64_t>(graph.size()));
    });
}

PyObject* graph_num_dependencies(PyObject* self, PyObject*) noexcept {
    return graph_query<BorrowKind::Shared>(self, [](const DepGraph& graph) {
        return host::make_int(static_cast<std::uint64_t>(graph.num_dependencies()));
    });
}

PyObject* graph_keys(PyObject* self, PyObject*) noexcept {
    return graph_query<BorrowKind::Shared>(self, [](const DepGraph& graph) {
        Object set = host::make_set();
        for (const auto& entry : graph.nodes())
            host::set_add(set.handle(), host::make_str(entry.first));
        return set;
    });
}

constexpr host::Signature<1> get_signature{"DepGraph.get", {{{"name", true}}}};
constexpr host::Signature<1> scoped_signature{"DepGraph.get_all_scoped", {{{"scope", true}}}};

PyObject* graph_get(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                    PyObject* kwnames) noexcept {
    return host::call_method<DepGraphClass, BorrowKind::Shared>(
        self, get_signature, ArgumentList(args, nargsf, kwnames),
        [](const DepGraph& graph, const auto& slots) {
            return wrap_node(graph.get(host::text_argument(slots[0], "name")));
        });
}

PyObject* graph_get_all_scoped(PyObject* self, PyObject* const* args, Py_ssize_t nargsf,
                               PyObject* kwnames) noexcept {
    return host::call_method<DepGraphClass, BorrowKind::Shared>(
        self, scoped_signature, ArgumentList(args, nargsf, kwnames),
        [](const DepGraph& graph, const auto& slots) {
            Object list = host::make_list();
            for (DepNode& node : graph.get_all_scoped(host::text_argument(slots[0], "scope"))) {
                host::list_append(list.handle(), wrap_node(std::move(node)));
            }
            return list;
        });
}

PyObject* graph_origins(PyObject* self, PyObject*) noexcept {
    return graph_query<BorrowKind::Exclusive>(
        self, [](DepGraph& graph) { return str_list(graph.origins()); });
}

PyObject* graph_names(PyObject* self, PyObject*) noexcept {
    return graph_query<BorrowKind::Exclusive>(
        self, [](DepGraph& graph) { return str_list(graph.names()); });
}

// Every imported name that found no module, as {"name", "importer", "line"}, by importer and
// then by position in its text.
PyObject* graph_unresolved(PyObject* self, PyObject*) noexcept {
    return graph_query<BorrowKind::Shared>(self, [](const DepGraph& graph) {
        struct Entry {
            const std::string* importer;
            std::size_t position;
            const UnresolvedImport* import;
        };
        std::vector<Entry> entries;
        for (const auto& [name, stored] : graph.nodes()) {
            const auto& unresolved = stored.read()->unresolved;
            for (std::size_t position = 0; position < unresolved.size(); ++position)
                entries.push_back({&name, position, &unresolved[position]});
        }
        std::sort(entries.begin(), entries.end(), [](const Entry& left, const Entry& right) {
            if (*left.importer != *right.importer) return *left.importer < *right.importer;
            return left.position < right.position;
        });
        Object list = host::make_list();
        for (const Entry& entry : entries) {
            Object dict = host::make_dict();
            host::dict_set(dict.handle(), host::make_str("name"),
                           host::make_str(entry.import->name));
            host::dict_set(dict.handle(), host::make_str("importer"),
                           host::make_str(*entry.importer));
            host::dict_set(dict.handle(), host::make_str("line"),
                           entry.import->line
                               ? host::make_int(static_cast<std::uint64_t>(*entry.import->line))
                               : Object::none());
            host::list_append(list.handle(), dict);
        }
        return list;
    });
}

PyMethodDef graph_methods[] = {
    {"size", graph_size, METH_NOARGS, "size($self)\n--\n\n"},
    {"num_dependencies", graph_num_dependencies, METH_NOARGS, "num_dependencies($self)\n--\n\n"},
    {"keys", graph_keys, METH_NOARGS, "keys($self)\n--\n\n"},
    {"get", as_method<graph_get>(), METH_FASTCALL | METH_KEYWORDS, "get($self, name)\n--\n\n"},
    {"get_all_scoped", as_method<graph_get_all_scoped>(), METH_FASTCALL | METH_KEYWORDS,
     "get_all_scoped($self, scope)\n--\n\n"},
    {"origins", graph_origins, METH_NOARGS, "origins($self)\n--\n\n"},
    {"names", graph_names, METH_NOARGS, "names($self)\n--\n\n"},
    {"unresolved", graph_unresolved, METH_NOARGS, "unresolved($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

// The container protocol: len(graph), name in graph, graph[name] and iteration over the names.
// Anything but a str names no node, as with a dict whose keys are all str.

// The node name that `key` stands for; absent when no node can have it.
std::optional<std::string_view> node_key(host::Handle key) {
    if (!PyUnicode_Check(key.get())) return std::nullopt;
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(key.get(), &size);
    if (data == nullptr) {
        // Lone surrogates: every node name is UTF-8 text.
        if (PyErr_ExceptionMatches(PyExc_UnicodeEncodeError) == 0) throw host::PythonError();
        PyErr_Clear();
        return std::nullopt;
    }
    return std::string_view(data, static_cast<std::size_t>(size));
}

Py_ssize_t graph_length(PyObject* self) noexcept {
    Object size = Object::steal(graph_size(self, nullptr));
    return size ? PyLong_AsSsize_t(size.get()) : -1;
}

int graph_contains(PyObject* self, PyObject* key) noexcept {
    Object found = Object::steal(graph_query<BorrowKind::Shared>(self, [&](const DepGraph& graph) {
        const std::optional<std::string_view> name = node_key(host::Handle(key));
        return Object::borrow(host::Handle(name && graph.has_node(*name) ? Py_True : Py_False));
    }));
    return found ? static_cast<int>(found.get() == Py_True) : -1;
}

// graph[name]: a copy of the node, or KeyError(name); `get` keeps its PanicException.
PyObject* graph_subscript(PyObject* self, PyObject* key) noexcept {
    return graph_query<BorrowKind::Shared>(self, [&](const DepGraph& graph) {
        const std::optional<std::string_view> name = node_key(host::Handle(key));
        if (!name || !graph.has_node(*name)) {
            // In a tuple of its own, so that a tuple key is not taken for the exception's
            // arguments.
            Object arguments = host::require(PyTuple_Pack(1, key));
            PyErr_SetObject(PyExc_KeyError, arguments.get());
            throw host::PythonError();
        }
        return wrap_node(graph.get(*name));
    });
}

// The names in map order, as `names` lists them.
PyObject* graph_iter(PyObject* self) noexcept {
    return graph_query<BorrowKind::Shared>(self, [](const DepGraph& graph) {
        Object names = str_list(graph.names());
        return host::require(PyObject_GetIter(names.get()));
    });
}

// 1534 -> "1,534"
std::string with_thousands_separators(std::size_t count) {
    const std::string digits = logging_bridge::concat(count);
    std::string text;
    for (std::size_t i = 0; i < digits.size(); ++i) {
        if (i > 0 && (digits.size() - i) % 3 == 0) text.push_back(',');
        text.push_back(digits[i]);
    }
    return text;
}

std::string counted(std::size_t count, std::string_view noun) {
    return logging_bridge::concat(with_thousands_separators(count), " ", noun,
                                  count == 1 ? "" : "s");
}

// <DepGraph: 297 modules, 1,534 imports>
PyObject* graph_repr(PyObject* self) noexcept {
    return graph_query<BorrowKind::Shared>(self, [](const DepGraph& graph) {
        return host::make_str(
            logging_bridge::concat("<DepGraph: ", counted(graph.size(), "module"), ", ",
                                   counted(graph.num_dependencies(), "import"), ">"));
    });
}

}  // namespace

PyTypeObject* DepNodeClass::type() {
    return host::type_once(dep_node_type, [] {
        return host::create_class<DepNode>(
            "modweave.DepNode", {{Py_tp_new, reinterpret_cast<void*>(host::no_constructor)},
                                 {Py_tp_getset, node_properties},
                                 {Py_tp_repr, reinterpret_cast<void*>(node_repr)}});
    });
}

PyTypeObject* DepGraphClass::type() {
    return host::type_once(dep_graph_type, [] {
        return host::create_class<DepGraph>(
            "modweave.DepGraph", {{Py_tp_new, reinterpret_cast<void*>(host::no_constructor)},
                                  {Py_tp_methods, graph_methods},
                                  {Py_mp_length, reinterpret_cast<void*>(graph_length)},
                                  {Py_sq_contains, reinterpret_cast<void*>(graph_contains)},
                                  {Py_mp_subscript, reinterpret_cast<void*>(graph_subscript)},
                                  {Py_tp_iter, reinterpret_cast<void*>(graph_iter)},
                                  {Py_tp_repr, reinterpret_cast<void*>(graph_repr)}});
    });
}

Object wrap_graph(DepGraph graph) {
    return host::make_instance(DepGraphClass::type(), std::move(graph));
}

}  // namespace modweave::core

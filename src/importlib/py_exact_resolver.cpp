#include "importlib/py_exact_resolver.hpp"

#include <unistd.h>

#include <algorithm>
#include <climits>
#include <variant>

#include "host/values.hpp"
#include "importlib/py_types.hpp"
#include "importlib/util.hpp"
#include "logging_bridge/log.hpp"

namespace modweave::importlib {

using host::Handle;
using host::Object;
using host::PythonError;
using host::require;

namespace {

constexpr std::string_view kTarget = logging_bridge::targets::importlib_util;

// The interpreter imports every parent of a dotted name in a nested call, so a name with more
// components than its recursion limit allows fails there; such a name finds nothing here.
constexpr std::size_t kMostComponents = 500;

std::string_view parent_of(std::string_view name) {
    const auto dot = name.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : name.substr(0, dot);
}

Object text(std::string_view value) {
    return require(
        PyUnicode_FromStringAndSize(value.data(), static_cast<Py_ssize_t>(value.size())));
}

Object attribute(Handle object, const char* name) {
    return require(PyObject_GetAttrString(object.get(), name));
}

// The attribute, or an empty object when the object has none.
Object optional_attribute(Handle object, const char* name) {
    PyObject* value = PyObject_GetAttrString(object.get(), name);
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw PythonError();
        PyErr_Clear();
    }
    return Object::steal(value);
}

Object sys_attribute(const char* name) {
    PyObject* value = PySys_GetObject(name);  // borrowed; no exception when missing
    if (value == nullptr) {
        PyErr_Format(PyExc_RuntimeError, "lost sys.%s", name);
        throw PythonError();
    }
    return Object::borrow(Handle(value));
}

// mapping[key], or an empty object when the key is missing.
Object lookup_item(Handle mapping, Handle key) {
    if (PyDict_CheckExact(mapping.get())) {
        PyObject* value = PyDict_GetItemWithError(mapping.get(), key.get());
        if (value == nullptr && PyErr_Occurred() != nullptr) throw PythonError();
        return Object::borrow(Handle(value));
    }
    PyObject* value = PyObject_GetItem(mapping.get(), key.get());
    if (value == nullptr) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError)) throw PythonError();
        PyErr_Clear();
    }
    return Object::steal(value);
}

std::string utf8(Handle value) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (data == nullptr) throw PythonError();
    return {data, static_cast<std::size_t>(size)};
}

// Calls visit(item) for each item of an iterable, growing nothing in advance.
template <class Visit>
void for_each_item(Handle iterable, Visit&& visit) {
    Object iterator = require(PyObject_GetIter(iterable.get()));
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Object owned = Object::steal(item);
        visit(owned.handle());
    }
    if (PyErr_Occurred() != nullptr) throw PythonError();
}

bool matches(const PythonError& error, PyObject* type) {
    return PyErr_GivenExceptionMatches(error.exception().get(), type) != 0;
}

}  // namespace

ExactResolver::ExactResolver()
    : sys_modules_(sys_attribute("modules")),
      meta_path_(sys_attribute("meta_path")),
      sys_path_(sys_attribute("path")),
      importer_cache_(sys_attribute("path_importer_cache")),
      path_hooks_(sys_attribute("path_hooks")) {
    // The import system's own modules, which every interpreter has loaded at start-up: taking
    // them from there imports nothing.
    Object bootstrap = require(PyImport_ImportModule("_frozen_importlib"));
    Object external = require(PyImport_ImportModule("_frozen_importlib_external"));
    builtin_importer_ = attribute(bootstrap.handle(), "BuiltinImporter");
    frozen_importer_ = attribute(bootstrap.handle(), "FrozenImporter");
    path_finder_ = attribute(external.handle(), "PathFinder");
    file_finder_type_ = attribute(external.handle(), "FileFinder");
    Object imp = require(PyImport_ImportModule("_imp"));
    find_frozen_ = attribute(imp.handle(), "find_frozen");
    for_each_item(sys_attribute("builtin_module_names").handle(),
                  [&](Handle name) { builtin_names_.insert(utf8(name)); });
    // Where names are matched without regard to case, the interpreter's own finders decide.
    const std::string platform = utf8(sys_attribute("platform").handle());
    native_file_finders_ = !(platform.starts_with("win") || platform.starts_with("cygwin") ||
                             platform.starts_with("darwin"));
}

std::optional<ModuleSpec> ExactResolver::find_spec(std::string_view name) {
    if (const auto known = memo_.find(name); known != memo_.end()) return known->second;
    if (static_cast<std::size_t>(std::count(name.begin(), name.end(), '.')) >= kMostComponents) {
        return std::nullopt;
    }
    // Parents are settled before their children, outermost first, without recursion.
    std::vector<std::string_view> pending{name};
    while (!pending.empty()) {
        const std::string_view current = pending.back();
        if (memo_.contains(current)) {
            pending.pop_back();
            continue;
        }
        std::string_view parent_needed;
        std::optional<std::optional<ModuleSpec>> answer;
        try {
            answer = lookup(current, parent_needed);
        } catch (PythonError& error) {
            if (!matches(error, PyExc_Exception)) throw;
            MODWEAVE_LOG(Debug, kTarget, "Lookup of '", current, "' raised ", error.describe(),
                         ": not found");
            answer.emplace(std::nullopt);
        }
        if (!answer) {
            pending.push_back(parent_needed);
            continue;
        }
        if (*answer) log_loaded_spec(**answer);
        memo_.emplace(current, std::move(*answer));
        pending.pop_back();
    }
    const auto settled = memo_.find(name);
    return settled != memo_.end() ? settled->second : std::nullopt;
}

std::optional<std::optional<ModuleSpec>> ExactResolver::lookup(std::string_view name,
                                                               std::string_view& parent_needed) {
    using Answer = std::optional<std::optional<ModuleSpec>>;
    const Answer not_found{std::in_place, std::nullopt};
    Object key = text(name);
    if (Object module = lookup_item(sys_modules_.handle(), key.handle())) {
        if (module.handle().is_none()) return not_found;
        Object spec = optional_attribute(module.handle(), "__spec__");
        if (!spec || spec.handle().is_none()) return not_found;
        return Answer{convert(spec.handle())};
    }

    Object path = Object::none();
    if (const std::string_view parent = parent_of(name); !parent.empty()) {
        Object parent_key = text(parent);
        if (Object module = lookup_item(sys_modules_.handle(), parent_key.handle())) {
            if (module.handle().is_none()) return not_found;
            path = optional_attribute(module.handle(), "__path__");
            if (!path) return not_found;
        } else {
            const auto known = memo_.find(parent);
            if (known == memo_.end()) {
                parent_needed = parent;
                return std::nullopt;
            }
            const std::optional<ModuleSpec>& parent_spec = known->second;
            if (!parent_spec || !parent_spec->is_package()) return not_found;
            path = require(PyList_New(0));
            for (const std::string& location : *parent_spec->submodule_search_locations) {
                host::require_status(PyList_Append(path.get(), text(location).get()));
            }
        }
    }
    return Answer{search_meta_path(name, key.handle(), path.handle())};
}

std::optional<ModuleSpec> ExactResolver::search_meta_path(std::string_view name, Handle key,
                                                          Handle path) {
    std::optional<ModuleSpec> found;
    Object iterator = require(PyObject_GetIter(meta_path_.get()));
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Object finder = Object::steal(item);
        if (finder.get() == builtin_importer_.get()) {
            if (!builtin_names_.contains(name)) continue;
            return ModuleSpec{.name = std::string(name),
                              .origin = "built-in",
                              .parent = std::string(parent_of(name)),
                              .submodule_search_locations = std::nullopt};
        }
        if (finder.get() == path_finder_.get()) {
            found = search_path_entries(name, key, path.is_none() ? sys_path_.handle() : path);
            if (found) return found;
            continue;
        }
        if (finder.get() == frozen_importer_.get()) {
            Object frozen = require(PyObject_CallOneArg(find_frozen_.get(), key.get()));
            if (frozen.handle().is_none()) continue;
        }
        Object method = optional_attribute(finder.handle(), "find_spec");
        if (!method) continue;
        PyObject* arguments[] = {key.get(), path.get(), Py_None};
        Object spec = require(PyObject_Vectorcall(method.get(), arguments, 3, nullptr));
        if (spec.handle().is_none()) continue;
        // A finder that imported the module on the way answers with the module's own spec.
        if (Object module = lookup_item(sys_modules_.handle(), key)) {
            if (Object own = optional_attribute(module.handle(), "__spec__");
                own && !own.handle().is_none()) {
                return convert(own.handle());
            }
        }
        return convert(spec.handle());
    }
    if (PyErr_Occurred() != nullptr) throw PythonError();
    return std::nullopt;
}

std::optional<ModuleSpec> ExactResolver::search_path_entries(std::string_view name, Handle key,
                                                             Handle entries) {
    std::vector<std::string> portions;
    std::optional<ModuleSpec> found;
    Object iterator = require(PyObject_GetIter(entries.get()));
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Object entry = Object::steal(item);
        if (!PyUnicode_Check(entry.get())) continue;
        Object finder = finder_for_entry(entry.handle());
        if (!finder) continue;
        if (const NativeFinder* native = native_finder(finder.handle())) {
            DirectoryMatch match = find_in_directory(files_, native->path, native->suffixes, name);
            if (auto* module = std::get_if<FoundModule>(&match)) return std::move(module->spec);
            if (auto* portion = std::get_if<NamespacePortion>(&match)) {
                portions.push_back(std::move(portion->location));
            }
            continue;
        }
        Object method = attribute(finder.handle(), "find_spec");
        PyObject* arguments[] = {key.get(), Py_None};
        Object spec = require(PyObject_Vectorcall(method.get(), arguments, 2, nullptr));
        if (spec.handle().is_none()) continue;
        if (!attribute(spec.handle(), "loader").handle().is_none()) return convert(spec.handle());
        Object locations = attribute(spec.handle(), "submodule_search_locations");
        if (locations.handle().is_none()) {
            PyErr_SetString(PyExc_ImportError, "spec missing loader");
            throw PythonError();
        }
        for_each_item(locations.handle(), [&](Handle location) {
            if (PyUnicode_Check(location.get())) portions.push_back(utf8(location));
        });
    }
    if (PyErr_Occurred() != nullptr) throw PythonError();
    if (portions.empty()) return std::nullopt;
    return ModuleSpec{.name = std::string(name),
                      .origin = std::nullopt,
                      .parent = std::string(name),
                      .submodule_search_locations = std::move(portions)};
}

Object ExactResolver::finder_for_entry(Handle entry) {
    Object path = Object::borrow(entry);
    if (PyUnicode_GetLength(entry.get()) == 0) {
        // The current folder, looked up anew each time: it can change between lookups.
        char buffer[PATH_MAX];
        if (::getcwd(buffer, sizeof buffer) == nullptr) return Object();
        path = require(PyUnicode_DecodeFSDefault(buffer));
    }
    if (Object finder = lookup_item(importer_cache_.handle(), path.handle())) {
        return finder.handle().is_none() ? Object() : std::move(finder);
    }
    Object finder = Object::none();
    Object iterator = require(PyObject_GetIter(path_hooks_.get()));
    while (PyObject* item = PyIter_Next(iterator.get())) {
        Object hook = Object::steal(item);
        PyObject* made = PyObject_CallOneArg(hook.get(), path.get());
        if (made != nullptr) {
            finder = Object::steal(made);
            break;
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PythonError();
        PyErr_Clear();
    }
    if (PyErr_Occurred() != nullptr) throw PythonError();
    host::require_status(PyObject_SetItem(importer_cache_.get(), path.get(), finder.get()));
    return finder.handle().is_none() ? Object() : std::move(finder);
}

const ExactResolver::NativeFinder* ExactResolver::native_finder(Handle finder) {
    if (!native_file_finders_ ||
        Py_TYPE(finder.get()) != reinterpret_cast<PyTypeObject*>(file_finder_type_.get())) {
        return nullptr;
    }
    if (const auto known = native_finders_.find(finder.get()); known != native_finders_.end()) {
        return known->second ? &*known->second : nullptr;
    }
    std::optional<NativeFinder> native;
    try {
        NativeFinder read;
        Object path = attribute(finder, "path");
        bool usable = PyUnicode_Check(path.get()) != 0;
        if (usable) read.path = utf8(path.handle());
        for_each_item(attribute(finder, "_loaders").handle(), [&](Handle pair) {
            if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 ||
                !PyUnicode_Check(PyTuple_GET_ITEM(pair.get(), 0))) {
                usable = false;
                return;
            }
            read.suffixes.push_back(utf8(Handle(PyTuple_GET_ITEM(pair.get(), 0))));
        });
        if (usable) native = std::move(read);
    } catch (PythonError& error) {
        // The finder is not shaped as expected: let it answer for itself.
        if (!matches(error, PyExc_Exception)) throw;
    }
    kept_finders_.push_back(Object::borrow(finder));
    const auto stored = native_finders_.emplace(finder.get(), std::move(native)).first;
    return stored->second ? &*stored->second : nullptr;
}

std::optional<ModuleSpec> ExactResolver::convert(Handle spec) {
    ModuleSpec result = extract(spec);
    // A frozen module of the standard library still has its source file, which its loader
    // state names; that file is what gets read.
    if (result.origin == "frozen") {
        Object state = optional_attribute(spec, "loader_state");
        if (state && !state.handle().is_none()) {
            Object filename = optional_attribute(state.handle(), "filename");
            if (filename && PyUnicode_Check(filename.get()))
                result.origin = utf8(filename.handle());
        }
    }
    return result;
}

}  // namespace modweave::importlib

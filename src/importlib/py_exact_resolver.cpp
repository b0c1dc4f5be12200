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

// A module the interpreter has loaded, from `sys.modules`; imported only when it is not there,
// which for the import system's own modules never happens after start-up.
Object loaded_module(const char* name) {
    Object key = text(name);
    if (PyObject* module = PyImport_GetModule(key.get())) return Object::steal(module);
    if (PyErr_Occurred() != nullptr) throw PythonError();
    return require(PyImport_Import(key.get()));
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

// The UTF-8 text of a str, as the str keeps it: valid while the str lives.
std::string_view utf8_view(Handle value) {
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(value.get(), &size);
    if (data == nullptr) throw PythonError();
    return {data, static_cast<std::size_t>(size)};
}

std::string utf8(Handle value) {
    return std::string(utf8_view(value));
}

// The items of an iterable one by one: a list by index, as the list's own iterator walks it
// (its length asked anew at each step), anything else through its iterator. The walk holds no
// reference to the iterable, which the caller keeps alive.
class Items {
public:
    explicit Items(Handle iterable) : iterable_(iterable) {
        if (!PyList_CheckExact(iterable.get())) {
            iterator_ = require(PyObject_GetIter(iterable.get()));
        }
    }

    // The next item, or an empty object after the last; an error of the iterator is thrown.
    Object next() {
        if (!iterator_) {
            if (index_ >= PyList_GET_SIZE(iterable_.get())) return Object();
            return Object::borrow(Handle(PyList_GET_ITEM(iterable_.get(), index_++)));
        }
        PyObject* item = PyIter_Next(iterator_.get());
        if (item == nullptr) {
            if (PyErr_Occurred() != nullptr) throw PythonError();
            return Object();
        }
        return Object::steal(item);
    }

private:
    Handle iterable_;
    Object iterator_;  // for anything but a list
    Py_ssize_t index_ = 0;
};

// Calls visit(item) for each item of an iterable, growing nothing in advance.
template <class Visit>
void for_each_item(Handle iterable, Visit&& visit) {
    Items items(iterable);
    while (Object item = items.next())
        visit(item.handle());
}

bool matches(const PythonError& error, PyObject* type) {
    return PyErr_GivenExceptionMatches(error.exception().get(), type) != 0;
}

}  // namespace

ExactResolver::ExactResolver(FileSystemView& files)
    : sys_modules_(sys_attribute("modules")),
      meta_path_(sys_attribute("meta_path")),
      sys_path_(sys_attribute("path")),
      importer_cache_(sys_attribute("path_importer_cache")),
      path_hooks_(sys_attribute("path_hooks")),
      files_(files) {
    files_.new_round();
    // The import system's own modules, which every interpreter has loaded at start-up: taking
    // them from there imports nothing.
    Object bootstrap = loaded_module("_frozen_importlib");
    Object external = loaded_module("_frozen_importlib_external");
    builtin_importer_ = attribute(bootstrap.handle(), "BuiltinImporter");
    frozen_importer_ = attribute(bootstrap.handle(), "FrozenImporter");
    path_finder_ = attribute(external.handle(), "PathFinder");
    file_finder_type_ = attribute(external.handle(), "FileFinder");
    Object imp = loaded_module("_imp");
    find_frozen_ = attribute(imp.handle(), "find_frozen");
    read_frozen_names(imp.handle());
    for_each_item(sys_attribute("builtin_module_names").handle(),
                  [&](Handle name) { builtin_names_.insert(utf8(name)); });
    // Where names are matched without regard to case, the interpreter's own finders decide.
    const std::string platform = utf8(sys_attribute("platform").handle());
    native_file_finders_ = !(platform.starts_with("win") || platform.starts_with("cygwin") ||
                             platform.starts_with("darwin"));
    if (native_file_finders_) read_path_hooks();
}

void ExactResolver::read_frozen_names(Handle imp) {
    // Every name of the interpreter's tables of frozen modules, as they stand for this build, and
    // those of a table an embedding application installed: the frozen importer finds no other.
    // Without the list, the importer is asked about every name.
    Object list = optional_attribute(imp, "_frozen_module_names");
    if (!list) return;
    std::vector<std::string_view> names;
    try {
        frozen_list_ = require(PyObject_CallNoArgs(list.get()));
        // The list holds its names for as long as the resolver holds the list.
        for_each_item(frozen_list_.handle(), [&](Handle name) {
            if (PyUnicode_Check(name.get())) names.push_back(utf8_view(name));
        });
    } catch (const PythonError& error) {
        if (!matches(error, PyExc_Exception)) throw;
        return;
    }
    for (const _frozen* entry = PyImport_FrozenModules; entry != nullptr && entry->name != nullptr;
         ++entry) {
        names.emplace_back(entry->name);
    }
    frozen_names_ = std::move(names);
}

bool ExactResolver::may_be_frozen(std::string_view name) const {
    return !frozen_names_ ||
           std::find(frozen_names_->begin(), frozen_names_->end(), name) != frozen_names_->end();
}

void ExactResolver::read_path_hooks() {
    Object zip_importer;
    if (Object zipimport = lookup_item(sys_modules_.handle(), text("zipimport").handle())) {
        zip_importer = optional_attribute(zipimport.handle(), "zipimporter");
    }
    std::optional<std::vector<std::string>> suffixes;
    bool standard = true;
    for_each_item(path_hooks_.handle(), [&](Handle hook) {
        // Hooks after the file finder's never see a folder; the zip importer refuses one.
        if (!standard || suffixes || (zip_importer && hook.get() == zip_importer.get())) return;
        // The closure FileFinder.path_hook makes, over the finder class and its loaders.
        Object name = optional_attribute(hook, "__qualname__");
        Object code = optional_attribute(hook, "__code__");
        Object closure = optional_attribute(hook, "__closure__");
        const bool shaped =
            name && PyUnicode_Check(name.get()) &&
            utf8(name.handle()) == "FileFinder.path_hook.<locals>.path_hook_for_FileFinder" &&
            code && closure && PyTuple_Check(closure.get()) && PyTuple_GET_SIZE(closure.get()) == 2;
        if (!shaped) {
            standard = false;
            return;
        }
        Object free_names = attribute(code.handle(), "co_freevars");
        Object first = require(PySequence_GetItem(free_names.get(), 0));
        const bool class_first = utf8(first.handle()) == "cls";
        Object finder_class =
            require(PyCell_Get(PyTuple_GET_ITEM(closure.get(), class_first ? 0 : 1)));
        Object details = require(PyCell_Get(PyTuple_GET_ITEM(closure.get(), class_first ? 1 : 0)));
        if (finder_class.get() != file_finder_type_.get()) {
            standard = false;
            return;
        }
        std::vector<std::string> found;
        for_each_item(details.handle(), [&](Handle pair) {
            Object loader_suffixes = require(PySequence_GetItem(pair.get(), 1));
            for_each_item(loader_suffixes.handle(), [&](Handle suffix) {
                if (!PyUnicode_Check(suffix.get())) standard = false;
                if (standard) found.push_back(utf8(suffix));
            });
        });
        suffixes = std::move(found);
    });
    if (standard && suffixes) standard_hook_suffixes_ = &files_.suffix_list(*suffixes);
}

const std::optional<ModuleSpec>& ExactResolver::find(std::string_view name) {
    static const std::optional<ModuleSpec> nothing;
    const std::size_t hash = text::TransparentStringHash{}(name);
    Recent& recent = recent_[hash % recent_.size()];
    if (recent.answer != nullptr && recent.hash == hash && *recent.name == name) {
        return *recent.answer;
    }
    const auto remember = [&](Memo::const_iterator entry) -> const std::optional<ModuleSpec>& {
        recent = {.hash = hash, .name = &entry->first, .answer = &entry->second};
        return entry->second;
    };
    if (const auto known = memo_.find(name); known != memo_.end()) return remember(known);
    if (static_cast<std::size_t>(std::count(name.begin(), name.end(), '.')) >= kMostComponents) {
        return nothing;
    }
    // Parents are settled before their children, outermost first, without recursion: the names
    // waiting for `current` are kept aside, its own child last.
    std::vector<std::string_view> waiting;
    std::string_view current = name;
    for (;;) {
        // The name itself is known to be missing; a parent may have been settled before.
        if (!waiting.empty() && memo_.contains(current)) {
            current = waiting.back();
            waiting.pop_back();
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
            waiting.push_back(current);
            current = parent_needed;
            continue;
        }
        if (*answer) log_loaded_spec(**answer);
        const auto entry = memo_.emplace(current, std::move(*answer)).first;
        if (waiting.empty()) return remember(entry);
        current = waiting.back();
        waiting.pop_back();
    }
}

Handle ExactResolver::SearchPath::for_finders() {
    if (!object && locations != nullptr) {
        object = require(PyList_New(0));
        for (const std::string& location : *locations) {
            host::require_status(PyList_Append(object.get(), text(location).get()));
        }
    }
    return object ? object.handle() : Handle(Py_None);
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

    SearchPath path;
    if (const std::string_view parent = parent_of(name); !parent.empty()) {
        Object parent_key = text(parent);
        if (Object module = lookup_item(sys_modules_.handle(), parent_key.handle())) {
            if (module.handle().is_none()) return not_found;
            path.object = optional_attribute(module.handle(), "__path__");
            if (!path.object) return not_found;
        } else {
            const auto known = memo_.find(parent);
            if (known == memo_.end()) {
                parent_needed = parent;
                return std::nullopt;
            }
            const std::optional<ModuleSpec>& parent_spec = known->second;
            if (!parent_spec || !parent_spec->is_package()) return not_found;
            // The memo's nodes stay where they are while it grows.
            path.locations = &*parent_spec->submodule_search_locations;
        }
    }
    return Answer{search_meta_path(name, key.handle(), path)};
}

std::optional<ModuleSpec> ExactResolver::search_meta_path(std::string_view name, Handle key,
                                                          SearchPath& path) {
    std::optional<ModuleSpec> found;
    Items finders(meta_path_.handle());
    while (Object finder = finders.next()) {
        if (finder.get() == builtin_importer_.get()) {
            if (!builtin_names_.contains(name)) continue;
            return ModuleSpec{.name = std::string(name),
                              .origin = "built-in",
                              .parent = std::string(parent_of(name)),
                              .submodule_search_locations = std::nullopt};
        }
        if (finder.get() == path_finder_.get()) {
            found = search_path_entries(name, key, path);
            if (found) return found;
            continue;
        }
        if (finder.get() == frozen_importer_.get()) {
            if (!may_be_frozen(name)) continue;
            Object frozen = require(PyObject_CallOneArg(find_frozen_.get(), key.get()));
            if (frozen.handle().is_none()) continue;
        }
        Object method = optional_attribute(finder.handle(), "find_spec");
        if (!method) continue;
        PyObject* arguments[] = {key.get(), path.for_finders().get(), Py_None};
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
    return std::nullopt;
}

std::optional<ModuleSpec> ExactResolver::search_path_entries(std::string_view name, Handle key,
                                                             SearchPath& path) {
    std::vector<std::string> portions;
    std::optional<ModuleSpec> found;
    if (path.locations != nullptr) {
        for (const std::string& entry : *path.locations) {
            found = search_entry(name, key, entry, portions);
            if (found) return found;
        }
    } else {
        for_each_item(path.object ? path.object.handle() : sys_path_.handle(), [&](Handle entry) {
            if (found || !PyUnicode_Check(entry.get())) return;
            found = search_entry(name, key, utf8_view(entry), portions);
        });
        if (found) return found;
    }
    if (portions.empty()) return std::nullopt;
    return ModuleSpec{.name = std::string(name),
                      .origin = std::nullopt,
                      .parent = std::string(name),
                      .submodule_search_locations = std::move(portions)};
}

std::optional<ModuleSpec> ExactResolver::search_entry(std::string_view name, Handle key,
                                                      std::string_view entry,
                                                      std::vector<std::string>& portions) {
    const EntryFinder& found_finder = finder_for_entry(entry);
    if (!found_finder.finder) return std::nullopt;
    if (found_finder.native) {
        const NativeFinder& native = *found_finder.native;
        DirectoryMatch match =
            find_in_directory(files_, files_.folder(*native.folder), *native.suffixes, name);
        if (auto* module = std::get_if<FoundModule>(&match)) return std::move(module->spec);
        if (auto* portion = std::get_if<NamespacePortion>(&match)) {
            portions.push_back(std::move(portion->location));
        }
        return std::nullopt;
    }
    Object method = attribute(found_finder.finder.handle(), "find_spec");
    PyObject* arguments[] = {key.get(), Py_None};
    Object spec = require(PyObject_Vectorcall(method.get(), arguments, 2, nullptr));
    if (spec.handle().is_none()) return std::nullopt;
    if (!attribute(spec.handle(), "loader").handle().is_none()) return convert(spec.handle());
    Object locations = attribute(spec.handle(), "submodule_search_locations");
    if (locations.handle().is_none()) {
        PyErr_SetString(PyExc_ImportError, "spec missing loader");
        throw PythonError();
    }
    for_each_item(locations.handle(), [&](Handle location) {
        if (PyUnicode_Check(location.get())) portions.push_back(utf8(location));
    });
    return std::nullopt;
}

const ExactResolver::EntryFinder& ExactResolver::finder_for_entry(std::string_view entry) {
    if (!entry.empty()) {
        if (const auto known = entry_finders_.find(entry); known != entry_finders_.end()) {
            return known->second;
        }
    }
    EntryFinder found;
    Object path;
    if (entry.empty()) {
        // The current folder, asked anew each time: it can change between lookups.
        char buffer[PATH_MAX];
        if (::getcwd(buffer, sizeof buffer) != nullptr) {
            path = require(PyUnicode_DecodeFSDefault(buffer));
        }
    } else {
        path = text(entry);
    }
    if (path) {
        if (!entry.empty() && !lookup_item(importer_cache_.handle(), path.handle())) {
            found.native = standard_finder(entry);
        }
        if (found.native) {
            found.finder = Object::none();  // stands for the finder the hooks would make
        } else {
            found.finder = find_finder(path.handle());
            if (found.finder) found.native = native_finder(found.finder.handle());
        }
    }
    // The empty entry is not kept: its answer is the current folder's.
    if (entry.empty()) return current_folder_ = std::move(found);
    return entry_finders_.emplace(entry, std::move(found)).first->second;
}

std::optional<ExactResolver::NativeFinder> ExactResolver::standard_finder(std::string_view entry) {
    if (!standard_hook_suffixes_ || entry.find('\0') != std::string_view::npos) return std::nullopt;
    NativeFinder finder{
        .path = std::string(entry), .suffixes = standard_hook_suffixes_, .folder = nullptr};
    // As the file finder makes its path absolute: against the current folder, "./" dropped.
    if (entry == "." || !entry.starts_with('/')) {
        char buffer[PATH_MAX];
        if (::getcwd(buffer, sizeof buffer) == nullptr) return std::nullopt;
        std::string_view relative = entry == "." ? std::string_view() : entry;
        if (relative.starts_with("./")) relative.remove_prefix(2);
        finder.path = relative.empty() ? std::string(buffer) : join_path(buffer, relative);
    }
    // The hook refuses what is not a folder; the listing the finder reads next tells.
    finder.folder = &files_.folder(finder.path);
    if (!finder.folder->is_directory()) return std::nullopt;
    return finder;
}

Object ExactResolver::find_finder(Handle path) {
    if (Object finder = lookup_item(importer_cache_.handle(), path)) {
        return finder.handle().is_none() ? Object() : std::move(finder);
    }
    Object finder = Object::none();
    Items hooks(path_hooks_.handle());
    while (Object hook = hooks.next()) {
        PyObject* made = PyObject_CallOneArg(hook.get(), path.get());
        if (made != nullptr) {
            finder = Object::steal(made);
            break;
        }
        if (!PyErr_ExceptionMatches(PyExc_ImportError)) throw PythonError();
        PyErr_Clear();
    }
    host::require_status(PyObject_SetItem(importer_cache_.get(), path.get(), finder.get()));
    return finder.handle().is_none() ? Object() : std::move(finder);
}

std::optional<ExactResolver::NativeFinder> ExactResolver::native_finder(Handle finder) {
    if (!native_file_finders_ ||
        Py_TYPE(finder.get()) != reinterpret_cast<PyTypeObject*>(file_finder_type_.get())) {
        return std::nullopt;
    }
    try {
        NativeFinder read{.path = {}, .suffixes = nullptr, .folder = nullptr};
        std::vector<std::string> suffixes;
        Object path = attribute(finder, "path");
        bool usable = PyUnicode_Check(path.get()) != 0;
        if (usable) read.path = utf8(path.handle());
        for_each_item(attribute(finder, "_loaders").handle(), [&](Handle pair) {
            if (!PyTuple_Check(pair.get()) || PyTuple_GET_SIZE(pair.get()) != 2 ||
                !PyUnicode_Check(PyTuple_GET_ITEM(pair.get(), 0))) {
                usable = false;
                return;
            }
            suffixes.push_back(utf8(Handle(PyTuple_GET_ITEM(pair.get(), 0))));
        });
        if (usable) {
            read.suffixes = &files_.suffix_list(suffixes);
            read.folder = &files_.folder(read.path);
            return read;
        }
    } catch (PythonError& error) {
        // The finder is not shaped as expected: let it answer for itself.
        if (!matches(error, PyExc_Exception)) throw;
    }
    return std::nullopt;
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

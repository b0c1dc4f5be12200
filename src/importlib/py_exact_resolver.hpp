// Module-spec lookup that gives the answer importlib.util.find_spec would give, without importing
// anything: where the interpreter imports a dotted name's parent package to learn its __path__,
// this lookup takes the search locations from the parent's own resolved spec (or from its
// __path__ when the parent is already imported), so no analysed code runs.
//
// The order is the interpreter's: sys.modules first, then each finder of sys.meta_path with the
// parent's locations. The standard finders are answered natively (built-in names, the frozen
// table, and the path-based finder with its per-directory file finders, whose listings are kept
// in a file-system view that may outlive the resolver); any other finder, path hook or path entry
// finder is called from Python.
#pragma once

#include <Python.h>

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "host/object.hpp"
#include "importlib/file_finder.hpp"
#include "importlib/types.hpp"
#include "text/string_hash.hpp"

namespace modweave::importlib {

class ExactResolver {
public:
    // Takes what it needs of sys and importlib.machinery, and starts a new round of `files`, which
    // it uses for its lifetime. Throws PythonError when they are not there to take.
    explicit ExactResolver(FileSystemView& files);
    ExactResolver(const ExactResolver&) = delete;
    ExactResolver& operator=(const ExactResolver&) = delete;

    // The module spec of an absolute dotted name, each name worked out once per resolver. A frozen
    // module's origin is the source file its loader state names. A lookup that raises an
    // Exception finds nothing (logged at Debug); anything else it raises (KeyboardInterrupt,
    // SystemExit) is thrown as PythonError and nothing is remembered for the name.
    std::optional<ModuleSpec> find_spec(std::string_view name) { return find(name); }

    // The same answer, as the resolver keeps it for the rest of its life.
    const std::optional<ModuleSpec>& find(std::string_view name);

private:
    // A file finder of the standard type, answered natively.
    struct NativeFinder {
        std::string path;
        const std::vector<std::string>* suffixes;  // kept by the file-system view
        const FileSystemView::Folder* folder;      // the view's folder of the path
    };
    // The finder of one path entry, as sys.path_importer_cache gives it.
    struct EntryFinder {
        host::Object finder;                 // empty when the entry has none
        std::optional<NativeFinder> native;  // present for a standard file finder
    };
    // Where the search for a name looks: a parent package's locations, or the import path.
    struct SearchPath {
        host::Object object;  // the parent's __path__ when it is imported; empty otherwise
        const std::vector<std::string>* locations = nullptr;  // a resolved parent's locations
        // What finders called from Python are given as `path`, made on first need.
        host::Handle for_finders();
    };
    using Memo = std::unordered_map<std::string, std::optional<ModuleSpec>,
                                    text::TransparentStringHash, std::equal_to<>>;

    // The answer for `name` once its parent is settled; nothing when the parent must be
    // worked out first, which it names in `parent_needed`.
    std::optional<std::optional<ModuleSpec>> lookup(std::string_view name,
                                                    std::string_view& parent_needed);
    std::optional<ModuleSpec> search_meta_path(std::string_view name, host::Handle key,
                                               SearchPath& path);
    std::optional<ModuleSpec> search_path_entries(std::string_view name, host::Handle key,
                                                  SearchPath& path);
    // Looks `name` up in one path entry; a namespace portion found there joins `portions`.
    std::optional<ModuleSpec> search_entry(std::string_view name, host::Handle key,
                                           std::string_view entry,
                                           std::vector<std::string>& portions);
    // The finder for one path entry, found once per resolver.
    const EntryFinder& finder_for_entry(std::string_view entry);
    host::Object find_finder(host::Handle entry);
    // The finder the standard hooks would make for a folder entry, without making it.
    std::optional<NativeFinder> standard_finder(std::string_view entry);
    void read_frozen_names(host::Handle imp);
    bool may_be_frozen(std::string_view name) const;
    void read_path_hooks();
    std::optional<NativeFinder> native_finder(host::Handle finder);
    std::optional<ModuleSpec> convert(host::Handle spec);

    host::Object sys_modules_;
    host::Object meta_path_;
    host::Object sys_path_;
    host::Object importer_cache_;
    host::Object path_hooks_;
    host::Object builtin_importer_;
    host::Object frozen_importer_;
    host::Object path_finder_;
    host::Object file_finder_type_;
    host::Object find_frozen_;
    std::unordered_set<std::string, text::TransparentStringHash, std::equal_to<>> builtin_names_;
    // The names the frozen importer may find, when the interpreter lists them (a few dozen).
    host::Object frozen_list_;
    std::optional<std::vector<std::string_view>> frozen_names_;
    bool native_file_finders_ = true;  // false where the file system ignores case
    // The suffixes of the standard file-finder hook, when sys.path_hooks holds nothing else that
    // could claim a folder (the zip importer refuses folders).
    const std::vector<std::string>* standard_hook_suffixes_ = nullptr;  // kept by the view

    Memo memo_;
    // The latest answers by hash, before the memo: the walk asks for a name again soon after it
    // first asked (ahead of need, then in turn), and a large memo misses the processor's caches.
    struct Recent {
        std::size_t hash = 0;
        const std::string* name = nullptr;  // the memo's key
        const std::optional<ModuleSpec>* answer = nullptr;
    };
    std::array<Recent, 64> recent_{};
    FileSystemView& files_;
    std::unordered_map<std::string, EntryFinder, text::TransparentStringHash, std::equal_to<>>
        entry_finders_;
    EntryFinder current_folder_;  // the finder of the empty entry, as last asked
};

}  // namespace modweave::importlib

// The graph builder: turns a source text into the dependency graph of the modules it imports,
// reading and expanding the source file of every module it finds (depth first in a plain build,
// breadth first in an exact one), and keeping the graphs of its completed builds as a cache for
// later ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/types.hpp"
#include "importlib/types.hpp"
#include "minimal_parser/types.hpp"
#include "text/string_hash.hpp"

namespace modweave::core {

// The name of every graph's root, and the root spec's parent when no package is given.
inline constexpr std::string_view terminal_name = "<terminal>";

// One import statement as the walk sees it.
struct ImportLine {
    minimal_parser::ImportStmt statement;
    std::optional<std::uint32_t> line;  // 1-based, where the reader knows it
    bool type_checking = false;         // inside the body of `if TYPE_CHECKING:`

    bool operator==(const ImportLine&) const = default;
};

// What a host read for a module: its text, or its import statements when the host found them
// already (ahead of need), in which case the text may be empty.
struct LoadedModule {
    std::string text;
    std::optional<std::vector<ImportLine>> imports;
};

// A set of dotted-name prefixes: "a.b" covers the module a.b and every module below it (a.b.c),
// but not a.bc.
class NamePrefixes {
public:
    NamePrefixes() = default;
    explicit NamePrefixes(const std::vector<std::string>& prefixes);

    bool covers(std::string_view name) const;
    bool empty() const noexcept { return prefixes_.empty(); }

private:
    std::unordered_set<std::string, text::TransparentStringHash, std::equal_to<>> prefixes_;
};

// How a builder builds. The defaults are the plain build; everything else is asked for.
struct BuildOptions {
    // Depths are shortest import distances from the root instead of the order of discovery, and
    // a relative import that cannot be made absolute is an unresolved name instead of a failure.
    bool exact = false;
    bool type_checking = true;  // follow the imports under `if TYPE_CHECKING:`
    // When present, only the modules these cover are read; others reached stay unread leaves.
    std::optional<NamePrefixes> expand_only;
    NamePrefixes never_expand;  // modules attached as unread leaves
    NamePrefixes exclude;       // modules left out of the graph altogether

    bool expands(std::string_view name) const {
        return (!expand_only || expand_only->covers(name)) && !never_expand.covers(name);
    }
};

// What a build needs from its surroundings: the module-spec lookup, the reading of source files
// and their import statements, and a chance to abandon the build.
// Any of them may throw anything; the build then stops at once, as after an internal failure.
class BuildHost {
    // What lookup() lends by default, by name.
    std::unordered_map<std::string, std::optional<importlib::ModuleSpec>,
                       text::TransparentStringHash, std::equal_to<>>
        answers_;

public:
    virtual ~BuildHost() = default;

    // The module spec of an absolute dotted module name, or nothing when none is found.
    virtual std::optional<importlib::ModuleSpec> find_spec(std::string_view name) = 0;

    // find_spec's answer, borrowed: valid until the host is asked for the same name again, or
    // goes. An exact build asks once per name and keeps the answers for the build. A host that
    // keeps its answers hands out its own copy instead of making one.
    virtual const importlib::ModuleSpec* lookup(std::string_view name);

    // Called after every find_spec, and once more when the walk is done, before the summary and
    // the cache merge: the place to throw when the build should stop (an interrupt arrived).
    virtual void checkpoint() {}

    // The source text of the module `spec` describes, or nothing when it has none to read.
    // By default the file its origin names, read as UTF-8 (see load_source in source_file.hpp).
    virtual std::optional<std::string> load_source(const importlib::ModuleSpec& spec);

    // The import statements of a source text, in order. By default the grammar reader's records,
    // which carry no line numbers.
    virtual std::vector<ImportLine> read_imports(std::string_view source);

    // What the module `spec` describes holds to read, or nothing. By default load_source's text.
    virtual std::optional<LoadedModule> load_module(const importlib::ModuleSpec& spec);

    // In exact builds, told of each module the walk is about to read as it finds it, in the order
    // it will read them, so that a host can read them ahead of need.
    virtual void prefetch(const importlib::ModuleSpec& /*module*/) {}

    // Told the number of modules in the graph whenever modules are added, and once more, with
    // `done` set, when the walk is over.
    virtual void reached(std::size_t /*modules*/, bool /*done*/) {}

    // Takes the import records of a module the walk is done with. By default they go at once;
    // a host whose records were made on another thread may hand them back there to be freed.
    virtual void release(std::vector<ImportLine> /*imports*/) {}
};

struct GraphBuilder {
    using NameSet = std::unordered_set<std::string, text::TransparentStringHash, std::equal_to<>>;

    DepGraph graph;                 // the graph of the build in progress; empty between builds
    NameSet in_progress;            // modules on the current expansion path
    std::optional<DepGraph> cache;  // the merge of the graphs of all completed builds
    std::size_t processed = 0;      // relationships processed in the current build
    std::size_t from_cache = 0;     // of those, the ones copied from the cache
    bool verbose = false;           // dump every parsed import list to standard output
    BuildOptions options{};
    // The cache holds one exact build's graph, as that build left it, root and all.
    bool cache_is_one_build = false;

    // Builds the graph of `source`, whose relative imports resolve against `package`, and returns
    // it; the cache keeps a copy. Any exception (an internal failure, or one from `host`) abandons
    // the build: the working fields are reset, the cache is left as it was, and the exception
    // goes on to the caller, so the builder stays usable.
    DepGraph build(std::string_view source, std::optional<std::string_view> package,
                   BuildHost& host);

    // Builds the graph whose root imports each of `modules` (absolute dotted names), as a text of
    // one `import` statement per name would, names that no statement could spell included (a
    // module file named 0001_initial.py, say). Otherwise as `build` without a package.
    DepGraph build_modules(const std::vector<std::string>& modules, BuildHost& host);

private:
    template <class Expand>
    DepGraph build_root(importlib::ModuleSpec root, BuildHost& host, Expand&& expand);
    void reset_working_fields();
};

}  // namespace modweave::core

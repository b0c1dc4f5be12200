// The graph builder: turns a source text into the dependency graph of the modules it imports,
// reading and expanding the source file of every module it finds, depth first, and keeping the
// graphs of its completed builds as a cache for later ones.
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

#include "core/types.hpp"
#include "importlib/types.hpp"
#include "text/string_hash.hpp"

namespace modweave::core {

// The name of every graph's root, and the root spec's parent when no package is given.
inline constexpr std::string_view terminal_name = "<terminal>";

// What a build needs from its surroundings: the module-spec lookup, and a chance to abandon
// the build.
// Either may throw anything; the build then stops at once, as after an internal failure.
class BuildHost {
public:
    virtual ~BuildHost() = default;

    // The module spec of an absolute dotted module name, or nothing when none is found.
    virtual std::optional<importlib::ModuleSpec> find_spec(std::string_view name) = 0;

    // Called after every find_spec, and once more when the walk is done, before the summary and
    // the cache merge: the place to throw when the build should stop (an interrupt arrived).
    virtual void checkpoint() {}
};

struct GraphBuilder {
    using NameSet = std::unordered_set<std::string, text::TransparentStringHash, std::equal_to<>>;

    DepGraph graph;                 // the graph of the build in progress; empty between builds
    NameSet in_progress;            // modules on the current expansion path
    std::optional<DepGraph> cache;  // the merge of the graphs of all completed builds
    std::size_t processed = 0;      // relationships processed in the current build
    std::size_t from_cache = 0;     // of those, the ones copied from the cache
    bool verbose = false;           // dump every parsed import list to standard output

    // Builds the graph of `source`, whose relative imports resolve against `package`, and returns
    // it; the cache keeps a copy. Any exception (an internal failure, or one from `host`) abandons
    // the build: the working fields are reset, the cache is left as it was, and the exception
    // goes on to the caller, so the builder stays usable.
    DepGraph build(std::string_view source, std::optional<std::string_view> package,
                   BuildHost& host);

private:
    void reset_working_fields();
};

}  // namespace modweave::core

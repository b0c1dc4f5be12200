// The module's own record of a host module specification: the four facts the graph and the
// builder need, owned outright so that nodes can be copied and moved without the interpreter.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace modweave::importlib {

struct ModuleSpec {
    std::string name;                   // full dotted name, as the host reports it
    std::optional<std::string> origin;  // where the module loads from; absent for namespaces
    std::string parent;                 // package the module belongs to; empty at top level
    std::optional<std::vector<std::string>> submodule_search_locations;  // present for packages

    // A package is recognised by the presence of search locations, even an empty list.
    bool is_package() const noexcept { return submodule_search_locations.has_value(); }

    bool operator==(const ModuleSpec&) const = default;
};

}  // namespace modweave::importlib

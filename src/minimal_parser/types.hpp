// The records of one parsed import statement. They own their texts, so they outlive the source
// text they were read from.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <variant>
#include <vector>

namespace modweave::minimal_parser {

// One imported name: `import name as asname`.
struct Alias {
    std::string name;                   // dotted name exactly as written
    std::optional<std::string> asname;  // local name after `as`, when given

    bool operator==(const Alias&) const = default;
};

// `import a.b as c, d`
struct Import {
    std::vector<Alias> names;

    bool operator==(const Import&) const = default;
};

// `from ..x import y as z, w`
struct ImportFrom {
    std::optional<std::size_t> level;   // number of leading dots; 0 for an absolute module
    std::optional<std::string> module;  // empty when the module part is dots only
    std::vector<Alias> names;

    bool operator==(const ImportFrom&) const = default;
};

using ImportStmt = std::variant<Import, ImportFrom>;

}  // namespace modweave::minimal_parser

// The exact import scanner: every import statement the interpreter's own parser would find in a
// text, read in one forward pass over its bytes. It is a lexer, not a grammar: it follows strings
// (all prefixes, triple quotes, f-strings with their nested replacement fields and format specs),
// comments, brackets, line continuations and statement boundaries (new lines, ";", and the ":" of
// compound statement headers), and reads an import statement wherever one begins.
//
// For every text the interpreter accepts, the result is exactly its Import and ImportFrom nodes in
// source order. Any other text (syntax errors, truncation, NUL bytes, malformed UTF-8) is scanned
// as far as it goes, best effort; nothing is read past its end and nothing is thrown.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/types.hpp"

namespace modweave::scanner {

// Turns an identifier that holds non-ASCII characters into the form the interpreter's parser
// gives it (NFKC). Called only for well-formed UTF-8 identifiers with a byte >= 0x80. May be empty:
// names then stay as written.
using IdentifierNormalizer = std::function<std::string(std::string_view)>;

struct ScannedImport {
    // Import or ImportFrom, shaped as minimal_parser::parse shapes them: a from-import always has
    // a level (0 when absolute) and a module ("" when it is dots only); a star import is
    // ImportFrom with names == {Alias{"*"}}. Dotted names carry no blanks: "a . b" is "a.b".
    minimal_parser::ImportStmt statement;
    std::uint32_t line;  // 1-based line of the `import` / `from` keyword
    // Inside the body of an `if` or `elif` whose whole test is the name TYPE_CHECKING or an
    // attribute chain ending in it (`typing.TYPE_CHECKING`), possibly in parentheses, at any
    // depth of nesting. The `else` branch and further `elif` branches are outside; the body of an
    // `elif TYPE_CHECKING:` counts like that of an `if`.
    bool type_checking;

    bool operator==(const ScannedImport&) const = default;
};

// Every import statement of `source` (UTF-8 text; a leading byte-order mark is skipped), in
// source order. Line ends are "\n", "\r\n" and a lone "\r". Exceptions thrown by `normalize` pass
// through; the scanner itself throws nothing but std::bad_alloc.
std::vector<ScannedImport> scan(std::string_view source,
                                const IdentifierNormalizer& normalize = {});

}  // namespace modweave::scanner

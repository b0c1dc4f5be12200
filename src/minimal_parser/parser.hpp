// Reading import statements out of Python source text: the grammar's entry point, which yields
// the parse tree (or a failure report), and the walker, which turns the tree into records.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "minimal_parser/pairs.hpp"
#include "minimal_parser/rule.hpp"
#include "minimal_parser/types.hpp"

namespace modweave::minimal_parser {

// Where a failed match got furthest, and which rules failed there.
struct FailureReport {
    std::size_t position = 0;    // byte offset
    std::size_t line = 1;        // 1-based; a line ends at "\n", "\r\n" or a lone "\r"
    std::size_t column = 1;      // 1-based, counted in characters
    std::vector<Rule> expected;  // in enumeration order

    std::string describe() const;
    bool operator==(const FailureReport&) const = default;
};

using GrammarResult = std::variant<Pairs, FailureReport>;

// Matches `start` at the beginning of `text`. On success the result covers every node the match
// made; the match need not reach the end of the text unless the rule demands it (python does).
// The result borrows `text`: keep it alive while the Pairs and their Pair views are in use.
GrammarResult parse(Rule start, std::string_view text);

// The import statements of `source`, in source order. Throws InternalFailure only when the parse
// tree breaks the shapes the grammar guarantees. Each item of the text is walked as soon as it is
// matched and its tokens dropped, so memory does not grow with the length of the text.
std::vector<ImportStmt> parse(std::string_view source);

// The same records, walked from the whole parse tree after the match: the straightforward form
// that the streaming walk of parse(source) must agree with.
std::vector<ImportStmt> parse_with_full_tree(std::string_view source);

// One node of rule alias as a record: its first child is the name, a second one the local name.
Alias parse_alias(const Pair& node);

}  // namespace modweave::minimal_parser

// Helpers shared by the parser's native tests: a compact textual form of parse trees, and
// checks of the token list's structure.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <variant>

#include "minimal_parser/engine.hpp"
#include "minimal_parser/parser.hpp"

namespace modweave::minimal_parser::testing {

// "rule(child child)" for every node of `pairs`, siblings separated by a blank.
inline std::string shape(const Pairs& pairs) {
    std::string out;
    for (const Pair& pair : pairs) {
        if (!out.empty()) out.push_back(' ');
        out.append(rule_name(pair.rule()));
        const Pairs children = pair.children();
        if (!children.empty()) out.append("(" + shape(children) + ")");
    }
    return out;
}

inline Pairs parse_ok(Rule start, std::string_view text) {
    GrammarResult result = parse(start, text);
    if (const auto* failure = std::get_if<FailureReport>(&result)) {
        ADD_FAILURE() << "parse of " << rule_name(start) << " failed: " << failure->describe();
        return Pairs(std::make_shared<ParseTree>(ParseTree{text, {}}), 0, 0);
    }
    return std::get<Pairs>(std::move(result));
}

// The children of the single python node of a parse of `text`.
inline std::string python_shape(std::string_view text) {
    const Pairs root = parse_ok(Rule::python, text);
    if (root.empty()) return "<no root>";
    return shape((*root.begin()).children());
}

// The first broken invariant of a token list, or empty: entries pair up, children lie inside
// their parent, siblings are ordered and disjoint, and every span lies inside the text. Plain
// checks rather than assertions per token, so multi-megabyte trees stay quick to check.
inline std::string token_list_fault(const ParseTree& tree) {
    const TokenList& tokens = tree.tokens;
    std::vector<std::size_t> open;  // start indices of the enclosing nodes
    std::size_t previous_end = 0;   // where the previous sibling (or the parent's start) ends
    auto fault = [](std::size_t index, std::string_view what) {
        return "token " + std::to_string(index) + ": " + std::string(what);
    };
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        const Token& token = tokens[index];
        if (token.position() > tree.text.size()) return fault(index, "position past the text");
        if (!token.is_start()) {
            if (open.empty() || open.back() != token.partner()) return fault(index, "unpaired end");
            open.pop_back();
            previous_end = token.position();
            continue;
        }
        if (token.partner() <= index || token.partner() >= tokens.size()) {
            return fault(index, "partner out of range");
        }
        const Token& end = tokens[token.partner()];
        if (end.is_start() || end.partner() != index) return fault(index, "partners disagree");
        if (token.position() > end.position()) return fault(index, "span ends before it starts");
        if (token.position() < previous_end) return fault(index, "overlaps its previous sibling");
        if (!open.empty()) {
            const Token& parent = tokens[open.back()];
            if (token.partner() >= parent.partner()) return fault(index, "ends after its parent");
            if (end.position() > tokens[parent.partner()].position()) {
                return fault(index, "span leaves its parent");
            }
        }
        open.push_back(index);
        previous_end = token.position();
    }
    if (!open.empty()) return fault(open.back(), "never closed");
    return {};
}

inline void expect_well_formed(const ParseTree& tree) {
    EXPECT_EQ(token_list_fault(tree), "");
}

}  // namespace modweave::minimal_parser::testing

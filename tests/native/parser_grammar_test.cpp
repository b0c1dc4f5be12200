// The import grammar: the tree that each kind of source line yields.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "parser_test_support.hpp"

namespace modweave::minimal_parser {
namespace {

using testing::parse_ok;
using testing::python_shape;

const std::string any_line = "expr(any_line)";
const std::string import_one = "expr(import(alias_list(alias(qualified_name(name)))))";
const std::string from_one =
    "expr(import_from(module_spec(qualified_name(name)) "
    "from_alias_list(alias_list(alias(qualified_name(name))))))";
const std::string string_statement(std::string_view form) {
    return "expr(comment(string_lit(" + std::string(form) + ")))";
}
const std::string comment_line = "expr(comment(comment_single))";

struct ShapeCase {
    std::string_view text;
    std::string expected;  // children of python
};

void check_shapes(const std::vector<ShapeCase>& cases) {
    for (const ShapeCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "source \"" << c.text << "\"");
        EXPECT_EQ(python_shape(c.text), c.expected);
    }
}

TEST(ParserGrammar, StatementLevel) {
    check_shapes({
        {"", "EOI"},
        {"\n\n", "EOI"},
        {"x = 1", any_line + " EOI"},
        {"import os", import_one + " EOI"},
        {"    import os", import_one + " EOI"},
        {"\timport os", any_line + " EOI"},
        {"\x0cimport os", any_line + " EOI"},
        {"\xEF\xBB\xBFimport os", any_line + " EOI"},
        {"import os\n    import sys", import_one + " " + import_one + " EOI"},
        {"import a\r\nimport b\rimport c\n",
         import_one + " " + import_one + " " + import_one + " EOI"},
        {"x\nimport a", any_line + " " + import_one + " EOI"},
        {std::string_view("import a\0b", 10), import_one + " " + any_line + " EOI"},
        {"\\\nimport a", import_one + " EOI"},  // a continuation is whitespace
    });
}

TEST(ParserGrammar, PlainImports) {
    check_shapes({
        {"import os, sys as s",
         "expr(import(alias_list(alias(qualified_name(name)) alias(qualified_name(name) name)))) "
         "EOI"},
        {"import a.b.c as d",
         "expr(import(alias_list(alias(qualified_name(name name name) name)))) EOI"},
        {"import  os", import_one + " EOI"},
        {"import \\\nos", import_one + " EOI"},
        {"import\tos", any_line + " EOI"},
        {"importos", any_line + " EOI"},
        {"import", any_line + " EOI"},
        {"import os; import sys", import_one + " " + any_line + " EOI"},
        {"import a import b", import_one + " " + import_one + " EOI"},
        {"import a,", import_one + " " + any_line + " EOI"},
        {"import a , b",
         "expr(import(alias_list(alias(qualified_name(name)) alias(qualified_name(name))))) EOI"},
        {"import a\n, b", import_one + " " + any_line + " EOI"},
        {"import a as\tb", import_one + " " + any_line + " EOI"},
        {"import a as\\\nb", import_one + " " + any_line + " " + any_line + " EOI"},
        {"import a  as  b", "expr(import(alias_list(alias(qualified_name(name) name)))) EOI"},
        {"import a.b .c",
         "expr(import(alias_list(alias(qualified_name(name name))))) " + any_line + " EOI"},
        {"import \xC3\xA9t\xC3\xA9", any_line + " EOI"},
        {"import ab\xC3\xA9", import_one + " " + any_line + " EOI"},
        {"import _a9", import_one + " EOI"},
        {"import 9a", any_line + " EOI"},
    });
}

TEST(ParserGrammar, FromImports) {
    check_shapes({
        {"from os.path import join",
         "expr(import_from(module_spec(qualified_name(name name)) "
         "from_alias_list(alias_list(alias(qualified_name(name)))))) EOI"},
        {"from . import x",
         "expr(import_from(module_spec(dots) "
         "from_alias_list(alias_list(alias(qualified_name(name)))))) "
         "EOI"},
        {"from ...pkg.mod import y",
         "expr(import_from(module_spec(dots qualified_name(name name)) "
         "from_alias_list(alias_list(alias(qualified_name(name)))))) EOI"},
        {"from .import x", any_line + " EOI"},
        {"from x import *", any_line + " EOI"},
        {"from x import(a)", any_line + " EOI"},
        {"from x import ()", any_line + " EOI"},
        {"from x import (a\n, b)", any_line + " " + any_line + " EOI"},
        {"from. import x", any_line + " EOI"},
        {"from . . import x", any_line + " EOI"},
        {"from a \\\nimport b", from_one + " EOI"},
        {"from\\\na import b", from_one + " EOI"},
        {"from  a  import  b", from_one + " EOI"},
        {"from\ta import b", any_line + " EOI"},
        {"from x import (a as b,\n# note\nc,\n)",
         "expr(import_from(module_spec(qualified_name(name)) from_alias_list("
         "alias(qualified_name(name) name) "
         "additional(comment_single alias(qualified_name(name))) additional))) EOI"},
        {"from x import (a, b,)",
         "expr(import_from(module_spec(qualified_name(name)) from_alias_list("
         "alias(qualified_name(name)) additional(alias(qualified_name(name))) additional))) EOI"},
        {"from x import ( # first\n  a # after a\n)",
         "expr(import_from(module_spec(qualified_name(name)) from_alias_list("
         "comment_single alias(qualified_name(name)) comment_single))) EOI"},
        {"from x import a, b as c",
         "expr(import_from(module_spec(qualified_name(name)) from_alias_list(alias_list("
         "alias(qualified_name(name)) alias(qualified_name(name) name))))) EOI"},
        {"from x import (a", any_line + " EOI"},
    });
}

TEST(ParserGrammar, CommentsAndStringStatements) {
    check_shapes({
        {"# note", comment_line + " EOI"},
        {"    # note\nimport a", comment_line + " " + import_one + " EOI"},
        {"# note \\\nimport os", comment_line + " EOI"},
        {"import os  # note", import_one + " " + comment_line + " EOI"},
        {"\"\"\"\nimport os\n\"\"\"\nimport sys",
         string_statement("multiline_double_qouted") + " " + import_one + " EOI"},
        {"'''\nimport os\n'''", string_statement("multiline_single_qouted") + " EOI"},
        {"x = \"\"\"\nimport os\n\"\"\"", any_line + " " + import_one + " " +
                                              string_statement("lit_double_qouted") + " " +
                                              any_line + " EOI"},
        {"\"a\"", string_statement("lit_double_qouted") + " EOI"},
        {"'a'", string_statement("lit_single_qouted") + " EOI"},
        {"\"a\\\"b\"", string_statement("lit_double_qouted") + " " + any_line + " EOI"},
        {"'a\\\nb'", string_statement("lit_single_qouted") + " EOI"},
        {"'abc\nimport os", any_line + " " + import_one + " EOI"},
        {"\"\"\" unclosed\nimport os",
         string_statement("lit_double_qouted") + " " + any_line + " " + import_one + " EOI"},
        {"rb'x'", string_statement("lit_single_qouted") + " EOI"},
        {"BR\"x\"", string_statement("lit_double_qouted") + " EOI"},
        {"f\"x\"", string_statement("lit_double_qouted") + " EOI"},
        {"Rb\"x\"", string_statement("lit_double_qouted") + " EOI"},
        {"u'x'", string_statement("lit_single_qouted") + " EOI"},
        {"rFbU'''x'''", string_statement("multiline_single_qouted") + " EOI"},
        {"fb\"x\"", any_line + " EOI"},
        {"bb'x'", any_line + " EOI"},
        {"r 'x'", any_line + " EOI"},
        {"'a' 'b'", string_statement("lit_single_qouted") + " " +
                        string_statement("lit_single_qouted") + " EOI"},
    });
}

// Spans of the first node of each rule named, in pre-order.
struct SpanCase {
    std::string_view text;
    Rule rule;
    std::size_t start;
    std::size_t end;
};

TEST(ParserGrammar, Spans) {
    const std::vector<SpanCase> cases = {
        // whitespace consumed before an element that matched nothing stays in the span
        {"import os  # c", Rule::import, 0, 11},
        {"import os  # c", Rule::alias_list, 7, 11},
        {"import os  # c", Rule::comment, 11, 14},
        {"import os  # c", Rule::alias, 7, 9},
        // trailing spaces: given back by the last failed iteration, taken before EOI
        {"x\n   ", Rule::EOI, 5, 5},
        {"x\n   ", Rule::any_line, 0, 1},
        {"", Rule::python, 0, 0},
        {"a\nb", Rule::python, 0, 3},
        // one dots node for all dots; its length is the level
        {"from ...pkg.mod import y", Rule::dots, 5, 8},
        {"from ...pkg.mod import y", Rule::qualified_name, 8, 15},
        {"import a.b.c as d", Rule::qualified_name, 7, 12},
        {"import a.b.c as d", Rule::alias, 7, 17},
        // the prefix letters belong to string_lit, not to the quoted form
        {"rb'x'", Rule::string_lit, 0, 5},
        {"rb'x'", Rule::lit_single_qouted, 2, 5},
        // comments: no trailing spaces, but continued over a backslash-line end
        {"# a  \nx", Rule::comment_single, 0, 3},
        {"#   \nx", Rule::comment_single, 0, 4},
        {"# note \\\nimport os", Rule::comment_single, 0, 18},
        {"# a \\x", Rule::comment_single, 0, 6},
        {"any line  \n", Rule::any_line, 0, 10},
        {"\"\"\"a\"\"\"\"", Rule::multiline_double_qouted, 0, 7},
        {"from x import (a, # c\n b)", Rule::comment_single, 18, 21},
        {"from x import (a, # c\n b)", Rule::additional, 16, 24},
        // ... but a later iteration of a repetition gives its whitespace back when it fails
        {"import a, b ", Rule::alias_list, 7, 11},
        {"import a, b ", Rule::EOI, 12, 12},
    };
    for (const SpanCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << rule_name(c.rule) << " in \"" << c.text << "\"");
        const Pairs root = parse_ok(Rule::python, c.text);
        std::optional<Pair> found;
        for (const Pair& pair : root.flatten()) {
            if (pair.rule() == c.rule) {
                found = pair;
                break;
            }
        }
        ASSERT_TRUE(found.has_value());
        EXPECT_EQ(found->start(), c.start);
        EXPECT_EQ(found->end(), c.end);
        EXPECT_EQ(found->text(), c.text.substr(c.start, c.end - c.start));
    }
}

TEST(ParserGrammar, AtomicCallersHideNormalRulesButNotNonAtomicOnes) {
    // string_modifiers and m0 ... m63 match inside the atomic string_lit but never show.
    for (const Pair& pair : parse_ok(Rule::python, "rb'x' f\"y\" u'''z'''").flatten()) {
        EXPECT_LT(rule_index(pair.rule()), rule_index(Rule::whitespace_newline))
            << rule_name(pair.rule());
        EXPECT_NE(pair.rule(), Rule::WHITESPACE);
        EXPECT_NE(pair.rule(), Rule::strip);
    }
    // Started on its own, in non-atomic mode, the winning arrangement does make a node.
    EXPECT_EQ(testing::shape(parse_ok(Rule::string_modifiers, "rb")), "string_modifiers(m28)");
    EXPECT_EQ(testing::shape(parse_ok(Rule::string_modifiers, "bfr")), "string_modifiers(m14)");
}

TEST(ParserGrammar, PairsIterateSiblingsAndFlattenInPreOrder) {
    const std::string_view text = "import a.b as c, d";
    const Pairs root = parse_ok(Rule::python, text);
    ASSERT_EQ(root.count(), 1u);
    const Pair python = *root.begin();
    EXPECT_EQ(python.rule(), Rule::python);
    EXPECT_EQ(python.children().count(), 2u);  // expr, EOI

    std::vector<std::string> flat;
    for (const Pair& pair : root.flatten()) {
        flat.push_back(std::string(rule_name(pair.rule())) + " " + std::string(pair.text()));
    }
    const std::vector<std::string> expected = {
        "python import a.b as c, d",
        "expr import a.b as c, d",
        "import import a.b as c, d",
        "alias_list a.b as c, d",
        "alias a.b as c",
        "qualified_name a.b",
        "name a",
        "name b",
        "name c",
        "alias d",
        "qualified_name d",
        "name d",
        "EOI ",
    };
    EXPECT_EQ(flat, expected);

    const Pair alias = *(*(*(*python.children().begin()).children().begin()).children().begin())
                            .children()
                            .begin();
    EXPECT_EQ(alias.rule(), Rule::alias);
    EXPECT_EQ(alias.describe(),
              "alias 7..15 \"a.b as c\" [qualified_name 7..10 \"a.b\" [name 7..8 \"a\", name 9..10 "
              "\"b\"], name 14..15 \"c\"]");
}

TEST(ParserGrammar, PairsOutliveTheResultTheyCameFrom) {
    std::optional<Pair> kept;
    {
        const Pairs root = parse_ok(Rule::python, "import os");
        kept = *root.flatten().begin();
    }
    EXPECT_EQ(kept->rule(), Rule::python);
    EXPECT_EQ(kept->text(), "import os");
    auto iterator = kept->children().begin();  // the temporary Pairs is gone after this line
    EXPECT_EQ((*iterator).rule(), Rule::expr);
}

}  // namespace
}  // namespace modweave::minimal_parser

namespace modweave::minimal_parser {
namespace {

TEST(ParserGrammar, RuleNumberingNamesAndKinds) {
    struct RuleCase {
        Rule rule;
        std::size_t number;
        std::string_view name;
        RuleKind kind;
    };
    const std::vector<RuleCase> cases = {
        {Rule::EOI, 0, "EOI", RuleKind::normal},
        {Rule::python, 1, "python", RuleKind::normal},
        {Rule::WHITESPACE, 2, "WHITESPACE", RuleKind::silent},
        {Rule::any_line, 4, "any_line", RuleKind::atomic},
        {Rule::string_lit, 7, "string_lit", RuleKind::atomic},
        {Rule::multiline_double_qouted, 8, "multiline_double_qouted", RuleKind::non_atomic},
        {Rule::lit_single_qouted, 11, "lit_single_qouted", RuleKind::non_atomic},
        {Rule::import, 12, "import", RuleKind::normal},
        {Rule::import_from, 13, "import_from", RuleKind::atomic},
        {Rule::module_spec, 14, "module_spec", RuleKind::compound_atomic},
        {Rule::dots, 15, "dots", RuleKind::normal},
        {Rule::from_alias_list, 16, "from_alias_list", RuleKind::non_atomic},
        {Rule::strip, 18, "strip", RuleKind::silent},
        {Rule::alias_list, 19, "alias_list", RuleKind::non_atomic},
        {Rule::name, 22, "name", RuleKind::compound_atomic},
        {Rule::whitespace_newline, 23, "whitespace_newline", RuleKind::normal},
        {Rule::string_modifiers, 24, "string_modifiers", RuleKind::normal},
        {Rule::m0, 25, "m0", RuleKind::normal},
        {Rule::m17, 42, "m17", RuleKind::normal},
        {Rule::m63, 88, "m63", RuleKind::normal},
    };
    for (const RuleCase& c : cases) {
        EXPECT_EQ(rule_index(c.rule), c.number) << c.name;
        EXPECT_EQ(rule_name(c.rule), c.name);
        EXPECT_EQ(rule_kind(c.rule), c.kind) << c.name;
    }
    EXPECT_EQ(rule_count, 89u);
    EXPECT_EQ(string_modifier_letters[17], "burf");
    EXPECT_EQ(string_modifier_letters[63], "ub");
}

}  // namespace
}  // namespace modweave::minimal_parser

// The walk from parse tree to import records.
#include <gtest/gtest.h>

#include <optional>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "internal_failure.hpp"
#include "minimal_parser/parser.hpp"
#include "minimal_parser/util.hpp"
#include "parser_test_support.hpp"

namespace modweave::minimal_parser {

// Failure output in the dump's own form.
void PrintTo(const ImportStmt& statement, std::ostream* out) {
    *out << format_imports({statement});
}

namespace {

Alias named(std::string name, std::optional<std::string> asname = std::nullopt) {
    return Alias{std::move(name), std::move(asname)};
}

ImportStmt import_of(std::vector<Alias> names) {
    return Import{std::move(names)};
}

ImportStmt from_of(std::size_t level, std::string module, std::vector<Alias> names) {
    return ImportFrom{level, std::move(module), std::move(names)};
}

struct WalkCase {
    std::string_view source;
    std::vector<ImportStmt> expected;
};

TEST(ParserWalker, RecordsInSourceOrder) {
    const std::vector<WalkCase> cases = {
        {"import a.b as c, d", {import_of({named("a.b", "c"), named("d")})}},
        {"from ..x import (y as z, w)", {from_of(2, "x", {named("y", "z"), named("w")})}},
        {"from . import x", {from_of(1, "", {named("x")})}},
        {"from os.path import join", {from_of(0, "os.path", {named("join")})}},
        {"from p import (a, # note\nb)", {from_of(0, "p", {named("a"), named("b")})}},
        {"from p import (a, b,)", {from_of(0, "p", {named("a"), named("b")})}},
        {"import os\n    import sys", {import_of({named("os")}), import_of({named("sys")})}},
        {"x = 1", {}},
        {"", {}},
        {"from x import *", {}},
        {"from ...pkg.mod import y", {from_of(3, "pkg.mod", {named("y")})}},
        {"from a \\\nimport b", {from_of(0, "a", {named("b")})}},
        {"import a import b", {import_of({named("a")}), import_of({named("b")})}},
        {"from __future__ import annotations", {from_of(0, "__future__", {named("annotations")})}},
        {"from .m import a as b, c", {from_of(1, "m", {named("a", "b"), named("c")})}},
        {"from x import (\n  # only a comment\n  a,\n  # between\n  b as c,  # trailing\n)",
         {from_of(0, "x", {named("a"), named("b", "c")})}},
        {"import  a.b  as  c", {import_of({named("a.b", "c")})}},
        {"import os; import sys", {import_of({named("os")})}},
        {"\"\"\"\nimport hidden\n\"\"\"\nimport shown", {import_of({named("shown")})}},
        {"x = \"\"\"\nimport inside\n\"\"\"", {import_of({named("inside")})}},
        {"# import commented \\\nimport continued", {}},
        {"import a\r\nfrom b import c\rimport d",
         {import_of({named("a")}), from_of(0, "b", {named("c")}), import_of({named("d")})}},
        {"import a\n"
         "def f():\n"
         "    from .m import (b as c,\n"
         "        d)  # t\n"
         "    return 1\n"
         "import e as f, g.h\n",
         {import_of({named("a")}), from_of(1, "m", {named("b", "c"), named("d")}),
          import_of({named("e", "f"), named("g.h")})}},
    };
    for (const WalkCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "source \"" << c.source << "\"");
        EXPECT_EQ(parse(c.source), c.expected);
        EXPECT_EQ(parse_with_full_tree(c.source), c.expected);
    }
}

TEST(ParserWalker, RecordsOwnTheirTexts) {
    std::string source = "from pkg import name as local";
    const std::vector<ImportStmt> records = parse(source);
    source.assign(source.size(), 'x');
    EXPECT_EQ(records, std::vector<ImportStmt>{from_of(0, "pkg", {named("name", "local")})});
}

TEST(ParserWalker, ParseAliasReadsNameAndLocalName) {
    struct AliasCase {
        std::string_view text;
        Alias expected;
    };
    const std::vector<AliasCase> cases = {
        {"a", named("a")},           {"a.b.c", named("a.b.c")},
        {"a as b", named("a", "b")}, {"a.b   as   c", named("a.b", "c")},
        {"a as", named("a")},
    };
    for (const AliasCase& c : cases) {
        SCOPED_TRACE(c.text);
        const Pairs pairs = testing::parse_ok(Rule::alias, c.text);
        ASSERT_FALSE(pairs.empty());
        EXPECT_EQ(parse_alias(*pairs.begin()), c.expected);
    }
}

TEST(ParserWalker, ParseAliasOfAnotherRuleIsAnInternalFailure) {
    const Pairs pairs = testing::parse_ok(Rule::name, "abc");
    ASSERT_FALSE(pairs.empty());
    try {
        parse_alias(*pairs.begin());
        FAIL() << "expected InternalFailure";
    } catch (const InternalFailure& failure) {
        EXPECT_EQ(failure.message(), "Expected an alias node, found: name 0..3 \"abc\"");
    }
}

}  // namespace
}  // namespace modweave::minimal_parser

// Arbitrary and very large inputs: every parse succeeds, its tree is well formed, and the walk
// completes. Quadratic behaviour would show up here as a test that never ends.
#include <gtest/gtest.h>

#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/parser.hpp"
#include "parser_test_support.hpp"

namespace modweave::minimal_parser {
namespace {

using testing::expect_well_formed;

void expect_sound_parse(std::string_view text) {
    const GrammarResult result = parse(Rule::python, text);
    ASSERT_TRUE(std::holds_alternative<Pairs>(result));
    const Pairs& root = std::get<Pairs>(result);
    expect_well_formed(root.tree());
    ASSERT_EQ(root.count(), 1u);
    const Pair python = *root.begin();
    EXPECT_EQ(python.start(), 0u);
    EXPECT_EQ(python.end(), text.size());
    std::size_t items = 0;
    for (const Pair& item : python.children()) {
        ++items;
        if (item.rule() == Rule::EOI) {
            EXPECT_EQ(item.start(), text.size());
            continue;
        }
        ASSERT_EQ(item.rule(), Rule::expr);
        EXPECT_EQ(item.children().count(), 1u);
    }
    EXPECT_GE(items, 1u);
    EXPECT_EQ(parse(text), parse_with_full_tree(text));
}

// Random code points, weighted towards the characters the grammar cares about.
std::string random_utf8(std::mt19937& random, std::size_t characters) {
    static constexpr std::string_view special = " \\\n\r\t\"'#().,*;abfrumportsxy_0";
    std::uniform_int_distribution<int> kind(0, 9);
    std::uniform_int_distribution<std::size_t> pick(0, special.size() - 1);
    std::uniform_int_distribution<std::uint32_t> code_point(0, 0x10FFFF);
    std::string text;
    for (std::size_t i = 0; i < characters; ++i) {
        if (kind(random) < 7) {
            text.push_back(special[pick(random)]);
            continue;
        }
        std::uint32_t c = code_point(random);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0;  // surrogates have no UTF-8 form; NUL instead
        if (c < 0x80) {
            text.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            text.push_back(static_cast<char>(0xC0 | (c >> 6)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            text.push_back(static_cast<char>(0xE0 | (c >> 12)));
            text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            text.push_back(static_cast<char>(0xF0 | (c >> 18)));
            text.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            text.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return text;
}

TEST(ParserRobustness, RandomValidText) {
    std::mt19937 random(1);
    for (int round = 0; round < 2000; ++round) {
        const std::string text = random_utf8(random, static_cast<std::size_t>(round % 200));
        SCOPED_TRACE(text);
        expect_sound_parse(text);
    }
}

// The source comes from Python str and is valid UTF-8, but broken bytes must not make the
// parser read outside the text.
TEST(ParserRobustness, RandomBytesIncludingMalformedUtf8) {
    std::mt19937 random(2);
    std::uniform_int_distribution<int> byte(0, 255);
    for (int round = 0; round < 2000; ++round) {
        std::string text(static_cast<std::size_t>(round % 64), '\0');
        for (char& c : text)
            c = static_cast<char>(byte(random));
        // Exact-size heap copies so the sanitizer sees any read past the end.
        const std::vector<char> exact(text.begin(), text.end());
        expect_sound_parse(std::string_view(exact.data(), exact.size()));
    }
    for (const std::string_view truncated : {"\xF0", "\xF0\x9F", "\xF0\x9F\x98", "\xE2\x82",
                                             "#\xF0", "'\xE2", "\"\"\"\xF0", "import \xC3"}) {
        const std::vector<char> exact(truncated.begin(), truncated.end());
        expect_sound_parse(std::string_view(exact.data(), exact.size()));
    }
}

std::string repeated(std::string_view unit, std::size_t times) {
    std::string text;
    text.reserve(unit.size() * times);
    for (std::size_t i = 0; i < times; ++i)
        text.append(unit);
    return text;
}

TEST(ParserRobustness, HugeInputsParseInOneLinearPass) {
    const std::string_view module_unit =
        "import os, sys as system\n"
        "from .pkg.mod import (a,  # c\n    b as c,\n)\n"
        "\"\"\"docstring\nimport hidden\n\"\"\"\n"
        "x = 'str' + \"str\"  # comment \\\n"
        "continued comment line\n"
        "    if x:\r\n        from . import y\r"
        "def f(): return '\xC3\xA9\xE2\x82\xAC'\n";
    const std::size_t copies = 100'000;  // about 19 MB
    const std::string big = repeated(module_unit, copies);
    const std::vector<ImportStmt> records = parse(big);
    ASSERT_EQ(records.size(), 3 * copies);
    EXPECT_EQ(records[3 * copies - 1], (ImportStmt{ImportFrom{1, "", {Alias{"y", std::nullopt}}}}));
    EXPECT_EQ(records, parse_with_full_tree(big));
}

TEST(ParserRobustness, PathologicalShapes) {
    const std::vector<std::string> texts = {
        std::string(2'000'000, 'x'),                    // one very long line
        repeated("\"\"\"", 100'000),                    // triple quotes, last one unclosed
        repeated("'''\"", 100'000),                     // interleaved unclosed forms
        repeated("\"\\\n", 100'000),                    // one literal continued over lines
        repeated("\\\n", 100'000),                      // nothing but continuations
        repeated("# c \\\n", 100'000),                  // one comment continued over lines
        "from x import (" + repeated("a,\n", 100'000),  // an endless unclosed list
        repeated("from x import (a,\n", 100'000),       // many unclosed lists
        repeated("from \\\n", 100'000),                 // separators that never end
        repeated("import a, ", 100'000),                // one very long alias list
        repeated("(", 400'000),
        repeated("\r", 400'000) + repeated("\r\n", 100'000),
        std::string(400'000, '\0'),
        repeated("rb", 100'000) + "'x'",
    };
    for (const std::string& text : texts) {
        SCOPED_TRACE(text.substr(0, 30));
        expect_sound_parse(text);
    }
}

}  // namespace
}  // namespace modweave::minimal_parser

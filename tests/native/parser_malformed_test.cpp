// Malformed UTF-8: the plain compositions decode characters, the fast matchers scan bytes, and
// both must still agree. A broken sequence is no character of any range or class.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/grammar.hpp"
#include "parser_test_support.hpp"

namespace modweave::minimal_parser {
namespace {

using engine::Mode;
using engine::ParserState;

struct Outcome {
    bool matched;
    std::size_t position;
    std::vector<std::pair<std::size_t, std::size_t>> tokens;
    engine::FailureRecord failure;
    bool operator==(const Outcome&) const = default;
};

Outcome run(Rule rule, std::string_view text, bool plain, Mode mode) {
    ParserState state(text);
    state.plain_matching = plain;
    state.mode = mode;
    Outcome outcome{grammar::match_rule(rule, state), state.position, {}, state.failure};
    for (const Token& token : state.tokens) {
        outcome.tokens.emplace_back(token.partner(), (token.position() << 8) |
                                                         rule_index(token.rule()) << 1 |
                                                         (token.is_start() ? 1u : 0u));
    }
    return outcome;
}

// Cut sequences, overlong forms of ASCII letters, dots and spaces, stray continuation bytes and
// invalid lead bytes, in the places where a name or whitespace would be read.
const std::vector<std::string> malformed_texts = {
    "from ..x import \xE1\x86\xDF\x9E\x8C\xDF\x85\xD3,E   #n,w\n])\n",  // found by the fuzzer
    "import \xE1\x86",
    "import \xC1\x81",
    "import a\xC1\x81"
    "b as \xC1\x82",
    "from \xC0\xAE import x",
    "from x import \xF0\x81\x81\x81",
    "import a,\xC0\xA0"
    "b",
    "\xC0\xA0import a",
    "\x85import a",
    "import \xE0\x81\x81",
    "import \xF8\x80\x80\x81",
    "\xC1\x81\xC1\x81",
};

TEST(ParserMalformedText, FastAndPlainMatchingAgreeFromEveryStartRule) {
    for (const std::string& text : malformed_texts) {
        for (std::size_t index = 0; index < rule_count; ++index) {
            const Rule rule = rule_from_index(index);
            for (const Mode mode : {Mode::non_atomic, Mode::compound_atomic, Mode::atomic}) {
                EXPECT_TRUE(run(rule, text, true, mode) == run(rule, text, false, mode))
                    << "rule " << rule_name(rule) << " mode " << static_cast<int>(mode)
                    << " over \"" << text << "\"";
            }
        }
    }
}

TEST(ParserMalformedText, BrokenSequencesAreNeitherLettersNorWhitespace) {
    for (const std::string_view text : {"\xC1\x81", "\xE1\x86", "\xE0\x81\x81", "\x85"}) {
        for (const bool plain : {true, false}) {
            EXPECT_FALSE(run(Rule::name, text, plain, Mode::non_atomic).matched) << text;
            EXPECT_FALSE(run(Rule::whitespace_newline, text, plain, Mode::non_atomic).matched)
                << text;
        }
    }
    // Well-formed characters still decode: NEL is whitespace, an accented letter is no name.
    EXPECT_TRUE(run(Rule::whitespace_newline, "\xC2\x85", true, Mode::non_atomic).matched);
    EXPECT_FALSE(run(Rule::name, "\xC3\xA9", true, Mode::non_atomic).matched);
    EXPECT_TRUE(parse("from ..x import \xE1\x86,E\n").empty());
}

}  // namespace
}  // namespace modweave::minimal_parser

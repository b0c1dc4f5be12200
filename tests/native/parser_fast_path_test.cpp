// The hand-made matchers and start guards against the plain compositions they stand for: both
// must leave exactly the same state (position, tokens, failure record) on every input.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/grammar.hpp"
#include "parser_test_support.hpp"

namespace modweave::minimal_parser {
namespace {

using engine::Mode;
using engine::ParserState;

// Pieces that exercise the grammar's decisions: keywords, separators, quotes, prefixes, line
// ends, continuations, non-ASCII text and NUL.
constexpr std::array<std::string_view, 34> pieces = {"import ",  "from ",
                                                     "as",       " ",
                                                     "  ",       "\\\n",
                                                     "\\\r\n",   "\\",
                                                     "\n",       "\r\n",
                                                     "\r",       "\t",
                                                     ".",        ",",
                                                     "(",        ")",
                                                     "#",        "\"",
                                                     "'",        "\"\"\"",
                                                     "'''",      "rb",
                                                     "F",        "u",
                                                     "bR",       "a",
                                                     "x1",       "_",
                                                     "*",        ";",
                                                     "\xC3\xA9", "\xE2\x80\xA8",
                                                     "9",        std::string_view("\0", 1)};

std::string random_source(std::mt19937& random, std::size_t piece_count) {
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::string text;
    for (std::size_t i = 0; i < piece_count; ++i)
        text.append(pieces[pick(random)]);
    return text;
}

struct Snapshot {
    bool matched;
    std::size_t position;
    std::vector<std::pair<std::uint64_t, std::uint64_t>> tokens;
    engine::FailureRecord failure;

    bool operator==(const Snapshot&) const = default;
};

template <class Run>
Snapshot snapshot(std::string_view text, bool plain, Mode mode, std::size_t start, Run run,
                  engine::Predicate predicate = engine::Predicate::none) {
    ParserState state(text);
    state.plain_matching = plain;
    state.mode = mode;
    state.predicate = predicate;
    state.position = start;
    Snapshot result{run(state), state.position, {}, state.failure};
    for (const Token& token : state.tokens) {
        result.tokens.emplace_back(
            token.is_start() ? token.partner() : token.partner() + (1ULL << 40),
            (token.position() << 8) | rule_index(token.rule()) << 1 | (token.is_start() ? 1 : 0));
    }
    return result;
}

// From every start rule, in every mode and predicate mode a caller could impose.
TEST(ParserFastPath, WholeGrammarMatchesThePlainCompositionFromEveryStartRule) {
    std::mt19937 random(20240611);
    for (int round = 0; round < 300; ++round) {
        const std::string text = random_source(random, 1 + static_cast<std::size_t>(round % 40));
        for (std::size_t index = 0; index < rule_count; ++index) {
            const Rule rule = rule_from_index(index);
            auto run = [rule](ParserState& state) { return grammar::match_rule(rule, state); };
            for (const Mode mode : {Mode::non_atomic, Mode::compound_atomic, Mode::atomic}) {
                for (const auto predicate :
                     {engine::Predicate::none, engine::Predicate::negative}) {
                    const Snapshot plain = snapshot(text, true, mode, 0, run, predicate);
                    const Snapshot fast = snapshot(text, false, mode, 0, run, predicate);
                    ASSERT_TRUE(plain == fast)
                        << "rule " << rule_name(rule) << " mode " << static_cast<int>(mode)
                        << " predicate " << static_cast<int>(predicate) << " over \"" << text
                        << "\"";
                }
            }
        }
    }
}

// Bodies whose fast form depends on the mode, run in every mode and from every position.
template <class Fast, class Reference>
void compare_body_in_all_modes(std::string_view body_name) {
    std::mt19937 random(7);
    for (int round = 0; round < 400; ++round) {
        const std::string text = random_source(random, 1 + static_cast<std::size_t>(round % 25));
        for (const Mode mode : {Mode::non_atomic, Mode::compound_atomic, Mode::atomic}) {
            for (std::size_t start = 0; start <= text.size(); ++start) {
                const Snapshot reference = snapshot(text, true, mode, start, Reference::match);
                const Snapshot fast = snapshot(text, false, mode, start, Fast::match);
                ASSERT_TRUE(reference == fast) << body_name << " mode " << static_cast<int>(mode)
                                               << " from " << start << " over \"" << text << "\"";
            }
        }
    }
}

TEST(ParserFastPath, HandMadeBodiesMatchTheirReferences) {
    compare_body_in_all_modes<grammar::RestOfLine, grammar::reference::AnyLineBody>("any_line");
    compare_body_in_all_modes<grammar::CommentSingleBody, grammar::reference::CommentSingleBody>(
        "comment_single");
    compare_body_in_all_modes<grammar::TripleQuotedBody<'"'>,
                              grammar::reference::TripleQuotedBody<"\"\"\"">>("triple double");
    compare_body_in_all_modes<grammar::TripleQuotedBody<'\''>,
                              grammar::reference::TripleQuotedBody<"'''">>("triple single");
    compare_body_in_all_modes<grammar::LineQuotedBody<'"'>,
                              grammar::reference::LineQuotedBody<"\"">>("double");
    compare_body_in_all_modes<grammar::LineQuotedBody<'\''>,
                              grammar::reference::LineQuotedBody<"'">>("single");
    compare_body_in_all_modes<grammar::NameBody, grammar::reference::NameBody>("name");
    compare_body_in_all_modes<grammar::StringModifiersBody,
                              grammar::reference::StringModifiersBody>("string_modifiers");
}

// Every text of up to five characters over the prefix letters in both cases, another letter
// and a quote: the table decides exactly as the 64 ordered alternatives do.
TEST(ParserFastPath, StringModifierTableEqualsTheOrderedAlternativesExhaustively) {
    constexpr std::string_view alphabet = "bfruBFRUx'";
    std::vector<std::string> texts = {""};
    for (std::size_t length = 1; length <= 5; ++length) {
        std::vector<std::string> longer;
        for (const std::string& text : texts) {
            if (text.size() != length - 1) continue;
            for (const char letter : alphabet)
                longer.push_back(text + letter);
        }
        texts.insert(texts.end(), longer.begin(), longer.end());
    }
    ASSERT_EQ(texts.size(), 111111u);
    for (const std::string& text : texts) {
        for (const Mode mode : {Mode::atomic, Mode::non_atomic}) {
            const Snapshot reference =
                snapshot(text, true, mode, 0, grammar::reference::StringModifiersBody::match);
            const Snapshot fast =
                snapshot(text, false, mode, 0, grammar::StringModifiersBody::match);
            ASSERT_TRUE(reference == fast) << "\"" << text << "\"";
        }
    }
}

TEST(ParserFastPath, ExactlyNineteenPrefixesAreRecognisedBeforeAQuote) {
    const std::set<std::string> accepted = {"b",   "f",   "r",    "u",    "bf",  "br",  "bu",
                                            "fr",  "rb",  "rf",   "ru",   "bfr", "bfu", "rbf",
                                            "rbu", "rfu", "rfbu", "rubf", "ubfr"};
    constexpr std::string_view letters = "bfru";
    std::vector<std::string> runs = {""};
    for (std::size_t i = 0; i < runs.size(); ++i) {
        if (runs[i].size() == 4) continue;
        for (const char letter : letters)
            runs.push_back(runs[i] + letter);
    }
    std::size_t recognised = 0;
    for (const std::string& run : runs) {
        if (run.empty()) continue;
        for (const bool upper : {false, true}) {
            std::string prefix = run;
            if (upper) std::transform(prefix.begin(), prefix.end(), prefix.begin(), ::toupper);
            const std::string text = prefix + "'x'";
            const bool is_literal = std::holds_alternative<Pairs>(parse(Rule::string_lit, text)) &&
                                    std::get<Pairs>(parse(Rule::string_lit, text)).begin() !=
                                        std::get<Pairs>(parse(Rule::string_lit, text)).end();
            EXPECT_EQ(is_literal, accepted.contains(run)) << text;
            recognised += is_literal && !upper ? 1 : 0;
        }
    }
    EXPECT_EQ(recognised, 19u);
}

}  // namespace
}  // namespace modweave::minimal_parser

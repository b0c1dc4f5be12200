// The items of the entry rule handed to an item sink while the match runs: which iterations
// arrive, what their tokens hold, and that cutting them away changes nothing but memory.
#include <gtest/gtest.h>

#include <array>
#include <memory>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/grammar.hpp"
#include "parser_test_support.hpp"

namespace modweave::minimal_parser {
namespace {

using engine::ParserState;

// "rule start..end" for the one node an item must consist of; "none" for an item that made no
// node (a line end); anything else names the broken shape.
std::string describe_item(const TokenList& tokens, std::size_t first_token) {
    if (first_token == tokens.size()) return "none";
    const Token& start = tokens[first_token];
    if (!start.is_start() || start.partner() != tokens.size() - 1) return "not one node";
    const Token& end = tokens[start.partner()];
    return std::string(rule_name(end.rule())) + " " + std::to_string(start.position()) + ".." +
           std::to_string(end.position());
}

class RecordingSink final : public engine::ItemSink {
public:
    explicit RecordingSink(bool cut) : cut_(cut) {}

    void take_item(ParserState& state, std::size_t first_token) override {
        items.push_back(describe_item(state.tokens, first_token));
        first_tokens.push_back(first_token);
        if (cut_) state.tokens.truncate(first_token);
    }

    std::vector<std::string> items;
    std::vector<std::size_t> first_tokens;

private:
    bool cut_;
};

struct StreamedMatch {
    bool matched;
    std::size_t position;
    std::shared_ptr<ParseTree> tree;
    engine::FailureRecord failure;
};

StreamedMatch match_python(std::string_view text, engine::ItemSink* sink) {
    ParserState state(text);
    state.item_sink = sink;
    const bool matched = grammar::match_rule(Rule::python, state);
    return {matched, state.position,
            std::make_shared<ParseTree>(ParseTree{text, std::move(state.tokens)}), state.failure};
}

// Each entry as (partner, position, rule, is_start), to compare two token lists whole.
std::vector<std::array<std::size_t, 4>> entries_of(const TokenList& tokens) {
    std::vector<std::array<std::size_t, 4>> entries;
    for (const Token& token : tokens) {
        entries.push_back({token.partner(), token.position(),
                           token.is_start() ? 0 : rule_index(token.rule()),
                           token.is_start() ? 1u : 0u});
    }
    return entries;
}

// The python node's children other than EOI, as describe_item writes them.
std::vector<std::string> expr_children_of_full_tree(std::string_view text) {
    const Pairs root = testing::parse_ok(Rule::python, text);
    std::vector<std::string> children;
    if (root.empty()) return children;
    for (const Pair& child : (*root.begin()).children()) {
        if (child.rule() == Rule::EOI) continue;
        children.push_back(std::string(rule_name(child.rule())) + " " +
                           std::to_string(child.start()) + ".." + std::to_string(child.end()));
    }
    return children;
}

std::vector<std::string> without_none(std::vector<std::string> items) {
    std::erase(items, "none");
    return items;
}

struct ItemCase {
    std::string_view text;
    std::vector<std::string> items;
};

TEST(ParserStreaming, SinkReceivesEveryCompletedIterationInOrder) {
    const std::vector<ItemCase> cases = {
        {"", {}},
        {"x", {"expr 0..1"}},
        {"import a\nx = 1", {"expr 0..8", "none", "expr 9..14"}},
        // The failed last iteration took the spaces and gave them back; it is never handed over.
        {"x\n   ", {"expr 0..1", "none"}},
        {"\n\r\n\r", {"none", "none", "none"}},
        // Whitespace before an iteration is consumed by the step, not by the item.
        {"a\n  b", {"expr 0..1", "none", "expr 4..5"}},
        {"\"\"\"\nimport a\n\"\"\"\nimport b", {"expr 0..16", "none", "expr 17..25"}},
        {"from p import (a,\n b)\n", {"expr 0..21", "none"}},
    };
    for (const ItemCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << "source \"" << c.text << "\"");
        RecordingSink sink(true);
        ASSERT_TRUE(match_python(c.text, &sink).matched);
        EXPECT_EQ(sink.items, c.items);
        EXPECT_EQ(without_none(sink.items), expr_children_of_full_tree(c.text));
    }
}

// Pieces that steer the grammar's decisions, as in the fast-path comparison.
constexpr std::array<std::string_view, 24> pieces = {
    "import ", "from ", "as", " ", "\\\n",   "\\\r\n", "\n", "\r\n", "\r", ".", ",", "(",
    ")",       "#",     "\"", "'", "\"\"\"", "'''",    "rb", "a",    "x1", "_", "*", "\xC3\xA9"};

std::vector<std::string> random_sources(unsigned seed, int count) {
    std::mt19937 random(seed);
    std::uniform_int_distribution<std::size_t> pick(0, pieces.size() - 1);
    std::vector<std::string> sources;
    for (int round = 0; round < count; ++round) {
        std::string text;
        for (int i = 0; i < 1 + round % 60; ++i)
            text.append(pieces[pick(random)]);
        sources.push_back(std::move(text));
    }
    return sources;
}

TEST(ParserStreaming, ObservingTheItemsLeavesTheMatchUnchanged) {
    for (const std::string& text : random_sources(11, 1500)) {
        SCOPED_TRACE(::testing::Message() << "source \"" << text << "\"");
        RecordingSink sink(false);
        const StreamedMatch observed = match_python(text, &sink);
        const StreamedMatch plain = match_python(text, nullptr);
        ASSERT_EQ(observed.matched, plain.matched);
        EXPECT_EQ(observed.position, plain.position);
        EXPECT_EQ(entries_of(observed.tree->tokens), entries_of(plain.tree->tokens));
        EXPECT_TRUE(observed.failure == plain.failure);
        EXPECT_EQ(without_none(sink.items), expr_children_of_full_tree(text));
    }
}

TEST(ParserStreaming, CuttingEachItemKeepsOnlyTheOpenRoot) {
    for (const std::string& text : random_sources(12, 1500)) {
        SCOPED_TRACE(::testing::Message() << "source \"" << text << "\"");
        RecordingSink sink(true);
        const StreamedMatch streamed = match_python(text, &sink);
        const StreamedMatch plain = match_python(text, nullptr);
        ASSERT_TRUE(streamed.matched);
        EXPECT_EQ(streamed.position, text.size());
        EXPECT_TRUE(streamed.failure == plain.failure);
        EXPECT_EQ(without_none(sink.items), expr_children_of_full_tree(text));
        // Only python's own start entry precedes an item once the earlier ones are cut.
        for (const std::size_t first_token : sink.first_tokens)
            ASSERT_EQ(first_token, 1u);
        testing::expect_well_formed(*streamed.tree);
        const Pairs root(streamed.tree, 0, streamed.tree->tokens.size());
        EXPECT_EQ(testing::shape(root), "python(EOI)");
        EXPECT_EQ((*root.begin()).end(), text.size());
    }
}

TEST(ParserStreaming, RecordsEqualThoseOfTheFullTree) {
    for (const std::string& text : random_sources(13, 3000)) {
        SCOPED_TRACE(::testing::Message() << "source \"" << text << "\"");
        EXPECT_EQ(parse(text), parse_with_full_tree(text));
    }
}

}  // namespace
}  // namespace modweave::minimal_parser

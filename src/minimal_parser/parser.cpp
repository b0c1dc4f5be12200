#include "minimal_parser/parser.hpp"

#include <array>
#include <memory>
#include <optional>
#include <utility>

#include "internal_failure.hpp"
#include "minimal_parser/engine.hpp"
#include "minimal_parser/grammar.hpp"
#include "text/utf8.hpp"

namespace modweave::minimal_parser {
namespace {

using StartMatcher = bool (*)(engine::ParserState&);

template <class Matcher>
bool run_matcher(engine::ParserState& state) {
    return Matcher::match(state);
}

template <std::size_t... Arrangements>
constexpr void add_string_modifiers(std::array<StartMatcher, rule_count>& table,
                                    std::index_sequence<Arrangements...>) {
    ((table[rule_index(string_modifier_rule(Arrangements))] =
          &run_matcher<grammar::StringModifier<Arrangements>>),
     ...);
}

constexpr std::array<StartMatcher, rule_count> start_matchers = [] {
    using namespace grammar;
    std::array<StartMatcher, rule_count> table{};
    table[rule_index(Rule::EOI)] = &run_matcher<Eoi>;
    table[rule_index(Rule::python)] = &run_matcher<Python>;
    table[rule_index(Rule::WHITESPACE)] = &run_matcher<Whitespace>;
    table[rule_index(Rule::expr)] = &run_matcher<Expr>;
    table[rule_index(Rule::any_line)] = &run_matcher<AnyLine>;
    table[rule_index(Rule::comment)] = &run_matcher<Comment>;
    table[rule_index(Rule::comment_single)] = &run_matcher<CommentSingle>;
    table[rule_index(Rule::string_lit)] = &run_matcher<StringLit>;
    table[rule_index(Rule::multiline_double_qouted)] = &run_matcher<MultilineDoubleQuoted>;
    table[rule_index(Rule::multiline_single_qouted)] = &run_matcher<MultilineSingleQuoted>;
    table[rule_index(Rule::lit_double_qouted)] = &run_matcher<LitDoubleQuoted>;
    table[rule_index(Rule::lit_single_qouted)] = &run_matcher<LitSingleQuoted>;
    table[rule_index(Rule::import)] = &run_matcher<ImportRule>;
    table[rule_index(Rule::import_from)] = &run_matcher<ImportFromRule>;
    table[rule_index(Rule::module_spec)] = &run_matcher<ModuleSpec>;
    table[rule_index(Rule::dots)] = &run_matcher<Dots>;
    table[rule_index(Rule::from_alias_list)] = &run_matcher<FromAliasList>;
    table[rule_index(Rule::additional)] = &run_matcher<Additional>;
    table[rule_index(Rule::strip)] = &run_matcher<Strip>;
    table[rule_index(Rule::alias_list)] = &run_matcher<AliasList>;
    table[rule_index(Rule::alias)] = &run_matcher<AliasRule>;
    table[rule_index(Rule::qualified_name)] = &run_matcher<QualifiedName>;
    table[rule_index(Rule::name)] = &run_matcher<Name>;
    table[rule_index(Rule::whitespace_newline)] = &run_matcher<WhitespaceNewline>;
    table[rule_index(Rule::string_modifiers)] = &run_matcher<StringModifiers>;
    add_string_modifiers(table, std::make_index_sequence<string_modifier_count>());
    return table;
}();

FailureReport make_failure_report(std::string_view text, const engine::FailureRecord& record) {
    FailureReport report;
    report.position = record.position();
    for (std::size_t index = 0; index < report.position && index < text.size(); ++index) {
        const char byte = text[index];
        const bool line_end =
            byte == '\n' || (byte == '\r' && (index + 1 >= text.size() || text[index + 1] != '\n'));
        if (line_end) {
            ++report.line;
            report.column = 1;
        } else if (!text::is_continuation(static_cast<unsigned char>(byte)) && byte != '\r') {
            ++report.column;
        }
    }
    for (std::size_t index = 0; index < rule_count; ++index) {
        if (record.rules().test(index)) report.expected.push_back(rule_from_index(index));
    }
    return report;
}

// Python sources make about one token per nine bytes (9.3 over the standard library); reserving
// one per eight, plus a few, avoids most regrowth.
std::size_t expected_token_count(std::size_t text_size) {
    return text_size / 8 + 64;
}

// ---------------------------------------------------------------------------------------------
// Walker helpers: the grammar guarantees these shapes, so a mismatch is an internal failure.

std::optional<Pair> child_at(const Pair& node, std::size_t position) {
    std::size_t index = 0;
    for (const Pair& child : node.children()) {
        if (index++ == position) return child;
    }
    return std::nullopt;
}

Pair required_child(const Pair& node, std::size_t position, Rule rule) {
    std::optional<Pair> child = child_at(node, position);
    if (!child) {
        fail("Missing child ", position + 1, " (", rule_name(rule), ") of ", rule_name(node.rule()),
             " node: ", node.describe());
    }
    if (child->rule() != rule) {
        fail("Expected ", rule_name(rule), " as child ", position + 1, " of ",
             rule_name(node.rule()), " node, found: ", child->describe());
    }
    return *std::move(child);
}

void append_aliases_of(const Pair& alias_list, std::vector<Alias>& names) {
    for (const Pair& alias : alias_list.children())
        names.push_back(parse_alias(alias));
}

Import parse_import(const Pair& node) {
    Import record;
    append_aliases_of(required_child(node, 0, Rule::alias_list), record.names);
    return record;
}

ImportFrom parse_import_from(const Pair& node) {
    ImportFrom record;
    const Pair module_spec = required_child(node, 0, Rule::module_spec);
    const std::optional<Pair> first = child_at(module_spec, 0);
    if (!first) fail("Missing first child of module_spec node: ", module_spec.describe());
    switch (first->rule()) {
        case Rule::qualified_name:
            record.level = 0;
            record.module = std::string(first->text());
            break;
        case Rule::dots: {
            record.level = first->text().size();
            const std::optional<Pair> module = child_at(module_spec, 1);
            record.module = module ? std::string(module->text()) : std::string();
            break;
        }
        default:
            fail("Unexpected rule while parsing module spec: ", first->describe());
    }
    for (const Pair& child : required_child(node, 1, Rule::from_alias_list).children()) {
        switch (child.rule()) {
            case Rule::alias:
                record.names.push_back(parse_alias(child));
                break;
            case Rule::alias_list:
                append_aliases_of(child, record.names);
                break;
            case Rule::additional:
                for (const Pair& part : child.children()) {
                    if (part.rule() == Rule::alias) record.names.push_back(parse_alias(part));
                }
                break;
            default:  // comments inside the parentheses
                break;
        }
    }
    return record;
}

// Start entries stand in document order, so one forward pass from `begin` visits every node
// before its children; only the two statement rules are looked at more closely. `node_at` makes
// the view of the node whose start entry has the given index; it is called for statements only.
template <class NodeAt>
void append_records(const TokenList& tokens, std::size_t begin, const NodeAt& node_at,
                    std::vector<ImportStmt>& records) {
    for (std::size_t index = begin; index < tokens.size(); ++index) {
        const Token& token = tokens[index];
        if (!token.is_start()) continue;
        const Rule rule = tokens[token.partner()].rule();
        if (rule == Rule::import) {
            records.emplace_back(parse_import(node_at(index)));
        } else if (rule == Rule::import_from) {
            records.emplace_back(parse_import_from(node_at(index)));
        }
    }
}

// Most items are other lines; this spares them the walk's setup.
bool holds_statement(const TokenList& tokens, std::size_t begin) noexcept {
    for (std::size_t index = begin; index < tokens.size(); ++index) {
        const Token& token = tokens[index];
        if (token.is_start()) continue;
        if (token.rule() == Rule::import || token.rule() == Rule::import_from) return true;
    }
    return false;
}

// Reads the records out of every item of the text as soon as the match completes it, then drops
// the item's tokens, so the token list never holds more than the item being matched.
class RecordSink final : public engine::ItemSink {
public:
    RecordSink(std::string_view text, std::vector<ImportStmt>& records)
        : tree_(std::make_shared<ParseTree>(ParseTree{text, TokenList()})),
          view_(tree_),
          records_(records) {}

    void take_item(engine::ParserState& state, std::size_t first_token) override {
        if (holds_statement(state.tokens, first_token)) {
            // The walker reads Pair views, which share a tree: lend it the token list for the
            // walk. Should the walk fail, the parse is abandoned with the list still lent.
            tree_->tokens = std::move(state.tokens);
            append_records(
                view_->tokens, first_token,
                [this](std::size_t index) { return Pair(view_, index); }, records_);
            state.tokens = std::move(tree_->tokens);
        }
        state.tokens.truncate(first_token);
    }

private:
    std::shared_ptr<ParseTree> tree_;
    std::shared_ptr<const ParseTree> view_;  // the same tree, as the views take it
    std::vector<ImportStmt>& records_;
};

void check_parsable_size(std::string_view text) {
    // Token positions keep 56 bits.
    if (text.size() >= (std::size_t{1} << 56)) {
        fail("Source text too large to parse: ", text.size());
    }
}

}  // namespace

bool grammar::match_rule(Rule start, engine::ParserState& state) {
    const std::size_t index = rule_index(start);
    if (index >= rule_count) fail("Unknown start rule: ", index);
    return start_matchers[index](state);
}

std::string FailureReport::describe() const {
    std::string out =
        logging_bridge::concat("at line ", line, ", column ", column, " (byte ", position, "): ");
    if (expected.empty()) {
        out.append("no rule was expected");
        return out;
    }
    out.append("expected ");
    for (std::size_t i = 0; i < expected.size(); ++i) {
        if (i != 0) out.append(", ");
        out.append(rule_name(expected[i]));
    }
    return out;
}

GrammarResult parse(Rule start, std::string_view text) {
    check_parsable_size(text);
    engine::ParserState state(text);
    state.tokens.reserve(expected_token_count(text.size()));
    if (!grammar::match_rule(start, state)) return make_failure_report(text, state.failure);
    auto tree = std::make_shared<ParseTree>(ParseTree{text, std::move(state.tokens)});
    const std::size_t token_count = tree->tokens.size();
    return Pairs(std::move(tree), 0, token_count);
}

std::vector<ImportStmt> parse(std::string_view source) {
    check_parsable_size(source);
    std::vector<ImportStmt> records;
    RecordSink sink(source, records);
    engine::ParserState state(source);
    state.item_sink = &sink;
    if (!grammar::match_rule(Rule::python, state)) {
        fail("Could not parse file: ", make_failure_report(source, state.failure).describe());
    }
    return records;
}

std::vector<ImportStmt> parse_with_full_tree(std::string_view source) {
    GrammarResult result = parse(Rule::python, source);
    if (const auto* failure = std::get_if<FailureReport>(&result)) {
        fail("Could not parse file: ", failure->describe());
    }
    const Pairs& pairs = std::get<Pairs>(result);
    std::vector<ImportStmt> records;
    append_records(
        pairs.tree().tokens, 0, [&pairs](std::size_t index) { return pairs.node_at(index); },
        records);
    return records;
}

Alias parse_alias(const Pair& node) {
    if (node.rule() != Rule::alias) {
        fail("Expected an alias node, found: ", node.describe());
    }
    Alias alias;
    const std::optional<Pair> name = child_at(node, 0);
    if (!name) fail("Missing first child of alias node: ", node.describe());
    alias.name = std::string(name->text());
    if (const std::optional<Pair> asname = child_at(node, 1)) {
        alias.asname = std::string(asname->text());
    }
    return alias;
}

}  // namespace modweave::minimal_parser

// libFuzzer harness over the import grammar, its walker and the exact scanner. Every input is a
// source text; any broken property aborts, so the fuzzer keeps the input that found it.
//
// Checked for every input:
// - the python rule matches the whole text, from any bytes (malformed UTF-8 included);
// - the token list pairs up, every span lies inside the text, children lie inside their parent
//   and siblings follow each other without overlap;
// - the fast matchers and the plain compositions leave the same state, for python and for one
//   more start rule, mode and predicate picked from the input;
// - the streaming walk and the walk over the whole tree give the same records, one per statement
//   node, with names that match the name grammar and levels equal to the module's leading dots;
// - the scanner ends on any bytes (a hang is a libFuzzer timeout) with records on lines of the
//   text, each with names made of non-empty dotted parts, a level and a module, and it asks its
//   normaliser only about well-formed UTF-8 identifiers with non-ASCII bytes.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "internal_failure.hpp"
#include "minimal_parser/engine.hpp"
#include "minimal_parser/grammar.hpp"
#include "minimal_parser/parser.hpp"
#include "scanner/scanner.hpp"
#include "text/utf8.hpp"

namespace mp = modweave::minimal_parser;

namespace {

[[noreturn]] void broken(std::string_view what, std::string_view detail = {}) {
    std::fprintf(stderr, "property broken: %.*s %.*s\n", static_cast<int>(what.size()), what.data(),
                 static_cast<int>(detail.size()), detail.data());
    std::abort();
}

void check(bool holds, std::string_view what, std::string_view detail = {}) {
    if (!holds) broken(what, detail);
}

// The token list as one pass over its entries: pairing, bounds and nesting.
void check_tokens(const mp::TokenList& tokens, std::string_view text) {
    std::vector<std::size_t> open;
    std::size_t previous_end = 0;
    for (std::size_t index = 0; index < tokens.size(); ++index) {
        const mp::Token& token = tokens[index];
        check(token.position() <= text.size(), "position past the text");
        if (!token.is_start()) {
            check(!open.empty() && open.back() == token.partner(), "unpaired end entry");
            check(mp::rule_index(token.rule()) < mp::rule_count, "rule out of range");
            open.pop_back();
            previous_end = token.position();
            continue;
        }
        check(token.partner() > index && token.partner() < tokens.size(), "partner out of range");
        const mp::Token& end = tokens[token.partner()];
        check(!end.is_start() && end.partner() == index, "partners disagree");
        check(token.position() <= end.position(), "span ends before it starts");
        check(token.position() >= previous_end, "overlaps the previous sibling or the parent");
        if (!open.empty()) {
            const mp::Token& parent_end = tokens[tokens[open.back()].partner()];
            check(token.partner() < tokens[open.back()].partner(), "ends after its parent");
            check(end.position() <= parent_end.position(), "span leaves its parent");
        }
        open.push_back(index);
        previous_end = token.position();
    }
    check(open.empty(), "node never closed");
}

bool is_name_start(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '_';
}

bool is_name_char(char c) {
    return is_name_start(c) || (c >= '0' && c <= '9');
}

bool is_name(std::string_view text) {
    if (text.empty() || !is_name_start(text.front())) return false;
    for (char c : text) {
        if (!is_name_char(c)) return false;
    }
    return true;
}

bool is_qualified_name(std::string_view text) {
    for (;;) {
        const std::size_t dot = text.find('.');
        if (!is_name(text.substr(0, dot))) return false;
        if (dot == std::string_view::npos) return true;
        text.remove_prefix(dot + 1);
    }
}

void check_aliases(const std::vector<mp::Alias>& names) {
    check(!names.empty(), "statement without names");
    for (const mp::Alias& alias : names) {
        check(is_qualified_name(alias.name), "alias name outside the name grammar", alias.name);
        if (alias.asname) check(is_name(*alias.asname), "asname is not a name", *alias.asname);
    }
}

// The module_spec child of an import_from node, from the full tree.
std::string_view module_spec_text(const mp::Pair& statement) {
    for (const mp::Pair& child : statement.children()) {
        if (child.rule() == mp::Rule::module_spec) return child.text();
    }
    broken("import_from node without module_spec");
}

void check_records(const std::vector<mp::ImportStmt>& records,
                   const std::vector<mp::Pair>& statements) {
    check(records.size() == statements.size(), "one record per statement node");
    for (std::size_t i = 0; i < records.size(); ++i) {
        const mp::Pair& node = statements[i];
        if (const auto* plain = std::get_if<mp::Import>(&records[i])) {
            check(node.rule() == mp::Rule::import, "record kind differs from its node");
            check_aliases(plain->names);
            continue;
        }
        const auto& from = std::get<mp::ImportFrom>(records[i]);
        check(node.rule() == mp::Rule::import_from, "record kind differs from its node");
        check(from.level.has_value() && from.module.has_value(), "import_from without module");
        const std::string_view spec = module_spec_text(node);
        const std::size_t dots = spec.find_first_not_of('.');
        const std::size_t dot_count = dots == std::string_view::npos ? spec.size() : dots;
        check(*from.level == dot_count, "level differs from the dot count", spec);
        check(spec.substr(dot_count) == *from.module, "module differs from its spec", spec);
        if (dot_count == 0 || !from.module->empty()) {
            check(is_qualified_name(*from.module), "module outside the name grammar", spec);
        }
        check_aliases(from.names);
    }
}

struct MatchOutcome {
    bool matched;
    std::size_t position;
    std::vector<std::pair<std::size_t, std::size_t>> tokens;
    mp::engine::FailureRecord failure;
    bool operator==(const MatchOutcome&) const = default;
};

MatchOutcome run_match(mp::Rule start, std::string_view text, bool plain, mp::engine::Mode mode,
                       mp::engine::Predicate predicate) {
    mp::engine::ParserState state(text);
    state.plain_matching = plain;
    state.mode = mode;
    state.predicate = predicate;
    MatchOutcome outcome{mp::grammar::match_rule(start, state), state.position, {}, state.failure};
    for (const mp::Token& token : state.tokens) {
        outcome.tokens.emplace_back(token.partner(), (token.position() << 8) |
                                                         mp::rule_index(token.rule()) << 1 |
                                                         (token.is_start() ? 1u : 0u));
    }
    if (outcome.matched) check_tokens(state.tokens, text);
    return outcome;
}

bool is_dotted_name(std::string_view text) {
    for (;;) {
        const std::size_t dot = text.find('.');
        if (dot == 0 || text.empty()) return false;
        if (dot == std::string_view::npos) return true;
        text.remove_prefix(dot + 1);
    }
}

void check_scanned_aliases(const std::vector<mp::Alias>& names) {
    check(!names.empty(), "scanned statement without names");
    for (const mp::Alias& alias : names) {
        check(alias.name == "*" || is_dotted_name(alias.name), "scanned name not dotted",
              alias.name);
        if (alias.asname) {
            check(is_dotted_name(*alias.asname) && alias.asname->find('.') == std::string::npos,
                  "scanned asname is not one name", *alias.asname);
        }
    }
}

void check_scan(std::string_view text) {
    std::size_t lines = 1;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\n' || (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')))
            ++lines;
    }
    const auto normalize = [](std::string_view identifier) {
        check(modweave::text::find_invalid_utf8(identifier) == std::string_view::npos,
              "normaliser asked about malformed UTF-8");
        bool non_ascii = false;
        for (const char byte : identifier)
            non_ascii |= static_cast<unsigned char>(byte) >= 0x80;
        check(non_ascii, "normaliser asked about an ASCII identifier");
        return std::string(identifier);
    };
    for (const modweave::scanner::ScannedImport& scanned :
         modweave::scanner::scan(text, normalize)) {
        check(scanned.line >= 1 && scanned.line <= lines, "scanned line outside the text");
        if (const auto* plain = std::get_if<mp::Import>(&scanned.statement)) {
            check_scanned_aliases(plain->names);
            continue;
        }
        const auto& from = std::get<mp::ImportFrom>(scanned.statement);
        check(from.level.has_value() && from.module.has_value(), "scanned from without module");
        check(from.module->empty() ? *from.level > 0 : is_dotted_name(*from.module),
              "scanned module is neither dots nor a dotted name", *from.module);
        check_scanned_aliases(from.names);
    }
}

// Plain matching tries every alternative in full; past this size it costs more than it finds.
constexpr std::size_t plain_limit = 2048;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string owned(reinterpret_cast<const char*>(data), size);
    const std::string_view text = owned;
    check_scan(text);

    const mp::GrammarResult result = mp::parse(mp::Rule::python, text);
    const auto* pairs = std::get_if<mp::Pairs>(&result);
    if (pairs == nullptr)
        broken("python failed to match", std::get<mp::FailureReport>(result).describe());
    check_tokens(pairs->tree().tokens, text);
    check(pairs->count() == 1, "one root node");
    const mp::Pair root = *pairs->begin();
    check(root.rule() == mp::Rule::python && root.start() == 0 && root.end() == text.size(),
          "the root spans the text");

    std::vector<mp::Pair> statements;
    for (const mp::Pair& node : pairs->flatten()) {
        if (node.rule() == mp::Rule::import || node.rule() == mp::Rule::import_from) {
            statements.push_back(node);
        }
    }
    try {
        const std::vector<mp::ImportStmt> streamed = mp::parse(text);
        check(streamed == mp::parse_with_full_tree(text), "streaming and full walks differ");
        check_records(streamed, statements);
    } catch (const modweave::InternalFailure& failure) {
        broken("walker failed", failure.what());
    }

    if (size <= plain_limit) {
        using mp::engine::Mode;
        using mp::engine::Predicate;
        check(run_match(mp::Rule::python, text, false, Mode::non_atomic, Predicate::none) ==
                  run_match(mp::Rule::python, text, true, Mode::non_atomic, Predicate::none),
              "fast and plain matching differ for python");
        // One more start rule, in a mode a calling rule could impose, chosen by the last byte so
        // that the text's start stays free.
        const unsigned selector = size == 0 ? 0u : data[size - 1];
        const mp::Rule other = mp::rule_from_index(selector % mp::rule_count);
        const auto mode = static_cast<Mode>(selector / mp::rule_count);
        const Predicate predicate = size % 2 == 0 ? Predicate::none : Predicate::negative;
        check(run_match(other, text, false, mode, predicate) ==
                  run_match(other, text, true, mode, predicate),
              "fast and plain matching differ for rule", mp::rule_name(other));
    }
    return 0;
}

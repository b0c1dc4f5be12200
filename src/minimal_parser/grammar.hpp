// The import grammar, one type per rule, composed from the combinators of engine.hpp.
//
// A few rule bodies are written as hand-made matchers because they run over most of the input
// (the rest of a line, comments, string literals, names) or would otherwise try 64 alternatives.
// Each has the plain composition it replaces next to it (`reference::...`); the native tests check
// that both leave the same state on every input, so the fast forms change speed only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "minimal_parser/engine.hpp"
#include "minimal_parser/rule.hpp"

namespace modweave::minimal_parser::grammar {

using engine::AnyChar;
using engine::Atomically;
using engine::CharRange;
using engine::Choice;
using engine::EndOfInput;
using engine::LetterAnyCase;
using engine::Literal;
using engine::Mode;
using engine::Newline;
using engine::Not;
using engine::OneOrMore;
using engine::Optional;
using engine::ParserState;
using engine::PatternWhiteSpace;
using engine::Predicate;
using engine::RuleMatcher;
using engine::Sequence;
using engine::StartOfInput;
using engine::ZeroOrMore;

// ---------------------------------------------------------------------------------------------
// Byte scanning shared by the fast matchers.

// Byte positions where `word` holds `byte`, as the high bit of each such byte (the classic
// "has zero byte" test applied to `word ^ pattern`).
constexpr std::uint64_t swar_ones = 0x0101010101010101ULL;
constexpr std::uint64_t swar_highs = 0x8080808080808080ULL;

inline std::uint64_t swar_has_byte(std::uint64_t word, char byte) noexcept {
    const std::uint64_t x = word ^ (swar_ones * static_cast<unsigned char>(byte));
    return (x - swar_ones) & ~x & swar_highs;
}

// First index in [from, text.size()) holding one of `Targets`, or text.size(). Sixteen bytes at
// a time where SSE2 is available (every x86-64), else eight, then byte by byte to pin the index.
template <char... Targets>
std::size_t find_any_of(std::string_view text, std::size_t from) noexcept {
    const char* const begin = text.data();
    const char* cursor = begin + from;
    const char* const end = begin + text.size();
#if defined(__SSE2__)
    while (end - cursor >= 16) {
        const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cursor));
        const __m128i hits = (... | _mm_cmpeq_epi8(block, _mm_set1_epi8(Targets)));
        const int mask = _mm_movemask_epi8(hits);
        if (mask != 0) {
            return static_cast<std::size_t>(cursor - begin) +
                   static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
        }
        cursor += 16;
    }
#endif
    while (end - cursor >= 8) {
        std::uint64_t word;
        std::memcpy(&word, cursor, sizeof word);
        if ((... | swar_has_byte(word, Targets)) != 0) break;
        cursor += 8;
    }
    while (cursor != end && (... && (*cursor != Targets)))
        ++cursor;
    return static_cast<std::size_t>(cursor - begin);
}

inline std::size_t find_newline(std::string_view text, std::size_t from) noexcept {
    return find_any_of<'\n', '\r'>(text, from);
}

// ---------------------------------------------------------------------------------------------
// The string prefix rules m0 ... m63: one case-insensitive letter per step.

template <std::size_t Arrangement, std::size_t... Positions>
auto modifier_letters_for(std::index_sequence<Positions...>)
    -> Sequence<LetterAnyCase<string_modifier_letters[Arrangement][Positions]>...>;

template <std::size_t Arrangement>
using ModifierLetters = decltype(modifier_letters_for<Arrangement>(
    std::make_index_sequence<string_modifier_letters[Arrangement].size()>()));

template <std::size_t Arrangement>
struct StringModifier : RuleMatcher<string_modifier_rule(Arrangement), RuleKind::normal,
                                    ModifierLetters<Arrangement>> {};

template <std::size_t... Arrangements>
auto all_string_modifiers_for(std::index_sequence<Arrangements...>)
    -> Choice<StringModifier<Arrangements>...>;

// ---------------------------------------------------------------------------------------------
// The plain compositions that the fast matchers below stand for.

namespace reference {

using RestOfLineChar = Sequence<Not<Newline>, AnyChar>;
using AnyLineBody = OneOrMore<RestOfLineChar>;
using CommentSingleBody = Sequence<Literal<"#">, ZeroOrMore<RestOfLineChar>>;

template <engine::FixedText Quotes>
using TripleQuotedBody =
    Sequence<Literal<Quotes>, ZeroOrMore<Sequence<Not<Literal<Quotes>>, AnyChar>>, Literal<Quotes>>;

template <engine::FixedText Quote>
using LineQuotedBody =
    Sequence<Literal<Quote>, ZeroOrMore<Sequence<Not<Choice<Literal<Quote>, Newline>>, AnyChar>>,
             Literal<Quote>>;

using NameBody = Sequence<Choice<CharRange<'a', 'z'>, CharRange<'A', 'Z'>, Literal<"_">>,
                          ZeroOrMore<Choice<CharRange<'a', 'z'>, CharRange<'A', 'Z'>,
                                            CharRange<'0', '9'>, Literal<"_">>>>;

// m0 | m1 | ... | m63, tried in order.
using StringModifiersBody =
    decltype(all_string_modifiers_for(std::make_index_sequence<string_modifier_count>()));

}  // namespace reference

// ---------------------------------------------------------------------------------------------
// Fast matchers. Each states the mode it relies on and defers to its reference elsewhere.

// any_line: everything up to the line end, at least one character. Line-end bytes never occur
// inside a character, so scanning bytes finds the same end as stepping by characters.
struct RestOfLine {
    static bool can_start(const ParserState& state) noexcept {
        return !state.at_end() && !engine::is_newline_byte(state.byte_at(state.position));
    }

    static bool match(ParserState& state) {
        if (state.plain_matching || state.mode != Mode::atomic) {
            return reference::AnyLineBody::match(state);
        }
        const std::size_t end = find_newline(state.text, state.position);
        if (end == state.position) return false;
        state.position = end;
        return true;
    }
};

// Bytes that the comment and string scanners step over without looking closer.
constexpr bool is_plain_comment_byte(char byte) noexcept {
    return byte != ' ' && byte != '\\' && byte != '\n' && byte != '\r';
}

// comment_single. In non-atomic mode implicit whitespace runs before every character, so the
// comment continues over a backslash-line-end, and trailing spaces are left out of it, except the
// whitespace right after "#", which the sequence keeps even when no character follows.
struct CommentSingleBody {
    static bool can_start(const ParserState& state) noexcept {
        return !state.at_end() && state.byte_at(state.position) == '#';
    }

    static bool match(ParserState& state) {
        if (state.plain_matching) return reference::CommentSingleBody::match(state);
        const std::string_view text = state.text;
        if (state.at_end() || text[state.position] != '#') return false;
        if (state.mode != Mode::non_atomic) {
            state.position = find_newline(text, state.position + 1);
            return true;
        }
        std::size_t end = engine::skip_whitespace_from(text, state.position + 1);
        for (;;) {
            std::size_t next = engine::skip_whitespace_from(text, end);
            if (next == text.size() || engine::is_newline_byte(text[next])) break;
            // The byte at `next` is a character (or a backslash that continues nothing).
            ++next;
            while (next < text.size() && is_plain_comment_byte(text[next]))
                ++next;
            end = next;
        }
        state.position = end;
        return true;
    }
};

// multiline_*_qouted: ends at the first closing triple quote. Implicit whitespace inside cannot
// hide a quote, so the mode does not matter.
template <char Quote>
struct TripleQuotedBody {
    static constexpr char quotes_text[4] = {Quote, Quote, Quote, '\0'};

    static bool can_start(const ParserState& state) noexcept {
        return !state.at_end() && state.byte_at(state.position) == Quote;
    }

    static bool match(ParserState& state) {
        if (state.plain_matching) return reference::TripleQuotedBody<quotes_text>::match(state);
        const std::string_view text = state.text;
        const std::size_t start = state.position;
        if (state.remaining() < 3 || text[start] != Quote || text[start + 1] != Quote ||
            text[start + 2] != Quote) {
            return false;
        }
        std::size_t index = start + 3;
        for (;;) {
            const void* found = std::memchr(text.data() + index, Quote, text.size() - index);
            if (found == nullptr) return false;
            index = static_cast<std::size_t>(static_cast<const char*>(found) - text.data());
            if (text.size() - index >= 3 && text[index + 1] == Quote && text[index + 2] == Quote) {
                state.position = index + 3;
                return true;
            }
            ++index;
        }
    }
};

// lit_*_qouted: ends at the next quote; fails at a line end, unless a backslash stands directly
// before it, which the implicit whitespace of the non-atomic rule takes as a continuation.
template <char Quote>
struct LineQuotedBody {
    static constexpr char quote_text[2] = {Quote, '\0'};

    static bool can_start(const ParserState& state) noexcept {
        return !state.at_end() && state.byte_at(state.position) == Quote;
    }

    static bool match(ParserState& state) {
        if (state.plain_matching || state.mode != Mode::non_atomic) {
            return reference::LineQuotedBody<quote_text>::match(state);
        }
        const std::string_view text = state.text;
        if (state.at_end() || text[state.position] != Quote) return false;
        std::size_t index = state.position + 1;
        for (;;) {
            index = find_any_of<Quote, '\n', '\r'>(text, index);
            if (index == text.size()) return false;
            if (text[index] == Quote) {
                state.position = index + 1;
                return true;
            }
            if (text[index - 1] != '\\') return false;
            index += engine::newline_length_at(text, index);
        }
    }
};

constexpr bool is_name_start_byte(char byte) noexcept {
    return (byte >= 'a' && byte <= 'z') || (byte >= 'A' && byte <= 'Z') || byte == '_';
}

constexpr bool is_name_byte(char byte) noexcept {
    return is_name_start_byte(byte) || (byte >= '0' && byte <= '9');
}

// name: ASCII only, so bytes stand for characters. No whitespace inside in any mode but
// non-atomic, and the rule is compound-atomic.
struct NameBody {
    static bool can_start(const ParserState& state) noexcept {
        return !state.at_end() && is_name_start_byte(state.byte_at(state.position));
    }

    static bool match(ParserState& state) {
        if (state.plain_matching || state.mode == Mode::non_atomic) {
            return reference::NameBody::match(state);
        }
        const std::string_view text = state.text;
        if (state.at_end() || !is_name_start_byte(text[state.position])) return false;
        std::size_t index = state.position + 1;
        while (index < text.size() && is_name_byte(text[index]))
            ++index;
        state.position = index;
        return true;
    }
};

// string_modifiers decided from the letters in front of the quote. The first of m0 ... m63 that
// is a prefix of the text wins, so the outcome depends only on the first four letters; a table
// built from the arrangements' order maps every run of up to four letters to the length of the
// winning arrangement (0: none matches).
namespace modifier_table {

constexpr int letter_code(char byte) noexcept {
    switch (byte) {
        case 'b':
        case 'B':
            return 0;
        case 'f':
        case 'F':
            return 1;
        case 'r':
        case 'R':
            return 2;
        case 'u':
        case 'U':
            return 3;
        default:
            return -1;
    }
}

// Runs of 1, 2, 3 and 4 letters occupy consecutive key ranges.
inline constexpr std::array<std::size_t, 5> key_offset = {0, 0, 4, 20, 84};
inline constexpr std::size_t key_count = 340;

constexpr std::size_t key_of(std::string_view letters) noexcept {
    std::size_t value = 0;
    for (char letter : letters)
        value = value * 4 + static_cast<std::size_t>(letter_code(letter));
    return key_offset[letters.size()] + value;
}

constexpr std::array<std::uint8_t, key_count> build_winning_lengths() {
    constexpr std::size_t none = string_modifier_count;
    std::array<std::size_t, key_count> arrangement_at{};
    arrangement_at.fill(none);
    for (std::size_t i = 0; i < string_modifier_count; ++i) {
        arrangement_at[key_of(string_modifier_letters[i])] = i;
    }
    std::array<std::uint8_t, key_count> lengths{};
    constexpr char letters[4] = {'b', 'f', 'r', 'u'};
    for (std::size_t length = 1; length <= 4; ++length) {
        for (std::size_t value = 0; value < (std::size_t{1} << (2 * length)); ++value) {
            char run[4] = {};
            for (std::size_t i = 0; i < length; ++i) {
                run[i] = letters[(value >> (2 * (length - 1 - i))) & 3];
            }
            std::size_t winner = none;
            for (std::size_t prefix = 1; prefix <= length; ++prefix) {
                const std::size_t candidate = arrangement_at[key_of({run, prefix})];
                if (candidate < winner) winner = candidate;
            }
            lengths[key_offset[length] + value] = static_cast<std::uint8_t>(
                winner == none ? 0 : string_modifier_letters[winner].size());
        }
    }
    return lengths;
}

inline constexpr std::array<std::uint8_t, key_count> winning_length = build_winning_lengths();

}  // namespace modifier_table

// Valid where the m-rules would make no nodes and note no failures: in atomic mode, which is
// where string_lit calls it.
struct StringModifiersBody {
    static bool match(ParserState& state) {
        if (state.plain_matching || state.mode != Mode::atomic) {
            return reference::StringModifiersBody::match(state);
        }
        const std::string_view text = state.text;
        std::size_t length = 0;
        std::size_t value = 0;
        while (length < 4 && state.position + length < text.size()) {
            const int code = modifier_table::letter_code(text[state.position + length]);
            if (code < 0) break;
            value = value * 4 + static_cast<std::size_t>(code);
            ++length;
        }
        if (length == 0) return false;
        const std::size_t winner =
            modifier_table::winning_length[modifier_table::key_offset[length] + value];
        state.position += winner;
        return winner != 0;
    }
};

// ---------------------------------------------------------------------------------------------
// The rules.

// A space, or a backslash directly before a line end (a line continuation).
struct Whitespace
    : RuleMatcher<Rule::WHITESPACE, RuleKind::silent,
                  Atomically<Choice<Literal<" ">, Sequence<Literal<"\\">, Newline>>>> {};

struct Eoi : RuleMatcher<Rule::EOI, RuleKind::normal, EndOfInput> {};

struct WhitespaceNewline
    : RuleMatcher<Rule::whitespace_newline, RuleKind::normal, Choice<PatternWhiteSpace, Newline>> {
};

struct AnyLine : RuleMatcher<Rule::any_line, RuleKind::atomic, RestOfLine> {};

struct CommentSingle : RuleMatcher<Rule::comment_single, RuleKind::normal, CommentSingleBody> {};

struct MultilineDoubleQuoted
    : RuleMatcher<Rule::multiline_double_qouted, RuleKind::non_atomic, TripleQuotedBody<'"'>> {};
struct MultilineSingleQuoted
    : RuleMatcher<Rule::multiline_single_qouted, RuleKind::non_atomic, TripleQuotedBody<'\''>> {};
struct LitDoubleQuoted
    : RuleMatcher<Rule::lit_double_qouted, RuleKind::non_atomic, LineQuotedBody<'"'>> {};
struct LitSingleQuoted
    : RuleMatcher<Rule::lit_single_qouted, RuleKind::non_atomic, LineQuotedBody<'\''>> {};

struct StringModifiers
    : RuleMatcher<Rule::string_modifiers, RuleKind::normal, StringModifiersBody> {};

struct StringLit
    : RuleMatcher<
          Rule::string_lit, RuleKind::atomic,
          Sequence<Optional<StringModifiers>, Choice<MultilineDoubleQuoted, MultilineSingleQuoted,
                                                     LitDoubleQuoted, LitSingleQuoted>>> {};

// comment is tried at the start of every item and mostly fails on the first byte. The guard
// lets it fail there without opening nodes, noting what string_lit, the four quoted forms and
// comment_single would have noted: the quoted forms are non-atomic rules and note their
// failure outside predicates, the other two only outside atomic mode as well.
struct CommentBody {
    using Plain = Sequence<ZeroOrMore<Whitespace>, Choice<StringLit, CommentSingle>>;

    static bool can_start(const ParserState& state) noexcept {
        if (state.at_end()) return false;
        switch (state.byte_at(state.position)) {
            case ' ':
            case '\\':
            case '#':
            case '"':
            case '\'':
            case 'b':
            case 'f':
            case 'r':
            case 'u':
            case 'B':
            case 'F':
            case 'R':
            case 'U':
                return true;
            default:
                return false;
        }
    }

    static void note_rejection(ParserState& state) noexcept {
        if (state.predicate != Predicate::none) return;
        const std::size_t position = state.position;
        for (const Rule quoted : {Rule::multiline_double_qouted, Rule::multiline_single_qouted,
                                  Rule::lit_double_qouted, Rule::lit_single_qouted}) {
            state.failure.note(position, quoted);
        }
        if (state.mode != Mode::atomic) {
            state.failure.note(position, Rule::string_lit);
            state.failure.note(position, Rule::comment_single);
        }
    }

    static bool match(ParserState& state) { return Plain::match(state); }
};

struct Comment : RuleMatcher<Rule::comment, RuleKind::normal, CommentBody> {};

struct Name : RuleMatcher<Rule::name, RuleKind::compound_atomic, NameBody> {};

struct QualifiedName : RuleMatcher<Rule::qualified_name, RuleKind::compound_atomic,
                                   Sequence<Name, ZeroOrMore<Sequence<Literal<".">, Name>>>> {};

struct AliasRule
    : RuleMatcher<Rule::alias, RuleKind::compound_atomic,
                  Sequence<QualifiedName, Optional<Sequence<OneOrMore<Literal<" ">>, Literal<"as">,
                                                            OneOrMore<Literal<" ">>, Name>>>> {};

struct AliasList : RuleMatcher<Rule::alias_list, RuleKind::non_atomic,
                               Sequence<AliasRule, ZeroOrMore<Sequence<Literal<",">, AliasRule>>>> {
};

// The keyword's literal includes exactly one space; implicit whitespace takes any further ones.
struct ImportRule
    : RuleMatcher<Rule::import, RuleKind::normal, Sequence<Literal<"import ">, AliasList>> {};

struct Dots : RuleMatcher<Rule::dots, RuleKind::normal, OneOrMore<Literal<".">>> {};

struct ModuleSpec
    : RuleMatcher<Rule::module_spec, RuleKind::compound_atomic,
                  Choice<Sequence<OneOrMore<Dots>, Optional<QualifiedName>>, QualifiedName>> {};

struct Strip
    : RuleMatcher<Rule::strip, RuleKind::silent, Choice<CommentSingle, Whitespace, Newline>> {};

struct Additional
    : RuleMatcher<Rule::additional, RuleKind::normal,
                  Sequence<Literal<",">,
                           Choice<Sequence<ZeroOrMore<Strip>, AliasRule>, ZeroOrMore<Strip>>>> {};

struct FromAliasList
    : RuleMatcher<Rule::from_alias_list, RuleKind::non_atomic,
                  Choice<Sequence<Literal<"(">, ZeroOrMore<Strip>, AliasRule,
                                  ZeroOrMore<Additional>, ZeroOrMore<Strip>, Literal<")">>,
                         AliasList>> {};

// Atomic, so the separators are written out; they still accept line continuations.
struct ImportFromRule
    : RuleMatcher<
          Rule::import_from, RuleKind::atomic,
          Sequence<Literal<"from">, OneOrMore<Whitespace>, ModuleSpec, OneOrMore<Whitespace>,
                   Literal<"import">, OneOrMore<Whitespace>, FromAliasList>> {};

struct Expr : RuleMatcher<Rule::expr, RuleKind::normal,
                          Choice<Comment, ImportRule, ImportFromRule, AnyLine>> {};

// Its items go to the state's item sink as they complete, when a streaming parse set one.
struct Python
    : RuleMatcher<Rule::python, RuleKind::normal,
                  Sequence<StartOfInput, engine::ZeroOrMoreItems<Choice<Expr, Newline>>, Eoi>> {};

// Matches the rule `start` at the state's position, as a parse started at that rule would.
bool match_rule(Rule start, ParserState& state);

}  // namespace modweave::minimal_parser::grammar

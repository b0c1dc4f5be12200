// The matching engine: the state of one match and the combinators the grammar is composed of.
// Every rule and operator is a type with one static `match(ParserState&) -> bool`, so the whole
// grammar is resolved at compile time and the compiler can inline it into a handful of loops.
//
// The invariant every matcher keeps: when it fails, position and token list are exactly what they
// were before it began. Combinators rely on it instead of saving state around every step.
#pragma once

#include <algorithm>
#include <array>
#include <bitset>
#include <concepts>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "minimal_parser/pairs.hpp"
#include "minimal_parser/rule.hpp"
#include "text/utf8.hpp"

namespace modweave::minimal_parser::engine {

enum class Mode : std::uint8_t { non_atomic, compound_atomic, atomic };
enum class Predicate : std::uint8_t { none, positive, negative };

// The furthest position at which a rule failed and the rules that failed there.
class FailureRecord {
public:
    [[gnu::always_inline]] void note(std::size_t position, Rule rule) noexcept {
        if (position < position_) return;
        if (position > position_) {
            position_ = position;
            rules_.reset();
        }
        rules_.set(rule_index(rule));
    }
    std::size_t position() const noexcept { return position_; }
    const std::bitset<rule_count>& rules() const noexcept { return rules_; }
    bool operator==(const FailureRecord&) const = default;

private:
    std::size_t position_ = 0;
    std::bitset<rule_count> rules_;
};

struct ParserState;

// Takes each completed item of the top-level repetition (ZeroOrMoreItems) while the match is
// still running. Such an item is never revisited: ordered choice and repetition only undo the
// iteration that fails. So the sink may read the item's tokens, which run from `first_token` to
// the end of the list, and cut the list back to `first_token`; memory then follows the largest
// item instead of the whole text.
class ItemSink {
public:
    virtual void take_item(ParserState& state, std::size_t first_token) = 0;

protected:
    ~ItemSink() = default;
};

struct ParserState {
    explicit ParserState(std::string_view source) : text(source) {}

    char byte_at(std::size_t index) const noexcept { return text[index]; }
    bool at_end() const noexcept { return position >= text.size(); }
    std::size_t remaining() const noexcept { return text.size() - position; }

    std::string_view text;
    std::size_t position = 0;
    TokenList tokens;
    Mode mode = Mode::non_atomic;
    Predicate predicate = Predicate::none;
    FailureRecord failure;
    // Match by the plain compositions only: no start guards, no hand-made matchers. The result
    // is the same either way; tests compare the two.
    bool plain_matching = false;
    // Set by a streaming parse; without one, every token stays in the list until the end.
    ItemSink* item_sink = nullptr;
};

// A matcher whose first byte can be checked cheaply. can_start is a necessary condition for a
// match and must not depend on the mode. Only primitives and compositions led by them have one:
// a rule nested first in a body would note its own failure, which skipping it would lose.
template <class Matcher>
concept StartGuarded = requires(const ParserState& state) {
    { Matcher::can_start(state) } -> std::same_as<bool>;
};

// A guarded body that contains rules of its own can still be skipped, provided it notes the
// failures those rules would have noted when tried where can_start is false.
template <class Matcher>
concept NotesRejection = requires(ParserState& state) {
    Matcher::note_rejection(state);
};

// ---------------------------------------------------------------------------------------------
// Character helpers. The source is valid UTF-8 in practice, but nothing here may read past the
// end on malformed bytes: characters are stepped through leniently (text/utf8.hpp), which the
// fast matchers depend on.

using text::char_length_at;
using text::code_point_at;

// Length of the line end at `index` ("\n", else "\r\n", else "\r"), or 0.
inline std::size_t newline_length_at(std::string_view text, std::size_t index) noexcept {
    if (index >= text.size()) return 0;
    if (text[index] == '\n') return 1;
    if (text[index] != '\r') return 0;
    return index + 1 < text.size() && text[index + 1] == '\n' ? 2 : 1;
}

constexpr bool is_newline_byte(char byte) noexcept {
    return byte == '\n' || byte == '\r';
}

// One WHITESPACE: a space, or a backslash directly before a line end. Returns its length or 0.
inline std::size_t whitespace_length_at(std::string_view text, std::size_t index) noexcept {
    if (index >= text.size()) return 0;
    if (text[index] == ' ') return 1;
    if (text[index] != '\\') return 0;
    const std::size_t newline = newline_length_at(text, index + 1);
    return newline == 0 ? 0 : 1 + newline;
}

// Position after the longest run of WHITESPACE starting at `index`. Runs on every step of the
// grammar, so the common "nothing to skip" answer comes first.
[[gnu::always_inline]] inline std::size_t skip_whitespace_from(std::string_view text,
                                                               std::size_t index) noexcept {
    while (index < text.size()) {
        const char byte = text[index];
        if (byte == ' ') {
            ++index;
        } else if (byte == '\\') {
            const std::size_t newline = newline_length_at(text, index + 1);
            if (newline == 0) break;
            index += 1 + newline;
        } else {
            break;
        }
    }
    return index;
}

// The implicit whitespace step: only in non-atomic mode. WHITESPACE is silent and matched
// atomically, so the step makes no tokens and notes no failures.
[[gnu::always_inline]] inline void implicit_whitespace(ParserState& state) noexcept {
    if (state.mode == Mode::non_atomic) {
        state.position = skip_whitespace_from(state.text, state.position);
    }
}

// ---------------------------------------------------------------------------------------------
// Primitive steps. None of them make tokens.

template <std::size_t Length>
struct FixedText {
    char bytes[Length - 1];
    constexpr FixedText(const char (&literal)[Length]) {  // NOLINT: implicit by design
        std::copy_n(literal, Length - 1, bytes);
    }
    constexpr std::string_view view() const { return {bytes, Length - 1}; }
};

template <FixedText Text>
struct Literal {
    static constexpr std::string_view expected = Text.view();

    // Literals are short, so the guard can afford to check all of it.
    static bool can_start(const ParserState& state) noexcept {
        if (state.remaining() < expected.size()) return false;
        // A byte loop the compiler unrolls beats a call to memcmp.
        for (std::size_t i = 0; i < expected.size(); ++i) {
            if (state.byte_at(state.position + i) != expected[i]) return false;
        }
        return true;
    }

    static bool match(ParserState& state) noexcept {
        if (!can_start(state)) return false;
        state.position += expected.size();
        return true;
    }
};

// One ASCII letter in either case; `Lower` is the lower-case form.
template <char Lower>
struct LetterAnyCase {
    static bool match(ParserState& state) noexcept {
        if (state.at_end()) return false;
        const char byte = state.byte_at(state.position);
        if (byte != Lower && byte != Lower - ('a' - 'A')) return false;
        ++state.position;
        return true;
    }
};

template <std::uint32_t First, std::uint32_t Last>
struct CharRange {
    static bool match(ParserState& state) noexcept {
        const std::size_t length = char_length_at(state.text, state.position);
        if (length == 0) return false;
        const std::uint32_t code_point = code_point_at(state.text, state.position, length);
        if (code_point < First || code_point > Last) return false;
        state.position += length;
        return true;
    }
};

struct AnyChar {
    static bool match(ParserState& state) noexcept {
        const std::size_t length = char_length_at(state.text, state.position);
        state.position += length;
        return length != 0;
    }
};

struct StartOfInput {
    static bool match(ParserState& state) noexcept { return state.position == 0; }
};

struct EndOfInput {
    static bool match(ParserState& state) noexcept { return state.at_end(); }
};

struct Newline {
    static bool match(ParserState& state) noexcept {
        const std::size_t length = newline_length_at(state.text, state.position);
        state.position += length;
        return length != 0;
    }
};

constexpr bool is_pattern_white_space(std::uint32_t code_point) noexcept {
    return (code_point >= 0x09 && code_point <= 0x0D) || code_point == 0x20 || code_point == 0x85 ||
           code_point == 0x200E || code_point == 0x200F || code_point == 0x2028 ||
           code_point == 0x2029;
}

struct PatternWhiteSpace {
    static bool match(ParserState& state) noexcept {
        const std::size_t length = char_length_at(state.text, state.position);
        if (length == 0) return false;
        if (!is_pattern_white_space(code_point_at(state.text, state.position, length))) {
            return false;
        }
        state.position += length;
        return true;
    }
};

// ---------------------------------------------------------------------------------------------
// Combinators.

// a ~ b ~ ...: the implicit whitespace step stands between consecutive elements.
template <class First, class... Rest>
struct Sequence {
    static bool can_start(const ParserState& state) noexcept requires StartGuarded<First> {
        return First::can_start(state);
    }

    static bool match(ParserState& state) {
        const std::size_t position = state.position;
        const std::size_t token_count = state.tokens.size();
        if (First::match(state) && (... && (implicit_whitespace(state), Rest::match(state)))) {
            return true;
        }
        state.position = position;
        state.tokens.truncate(token_count);
        return false;
    }
};

// a | b | ...: the first alternative that matches wins and is never revisited.
template <class... Alternatives>
struct Choice {
    static bool match(ParserState& state) { return (... || Alternatives::match(state)); }
};

template <class Element>
struct Optional {
    static bool match(ParserState& state) {
        Element::match(state);
        return true;
    }
};

inline void hand_over_item(ParserState& state, std::size_t first_token) {
    if (state.item_sink != nullptr) state.item_sink->take_item(state, first_token);
}

// Iterations after the first are preceded by the implicit whitespace step, which a failed
// iteration gives back. Every repeated element of the grammar consumes input when it matches, so
// the loops end; the guard on progress only protects against a start rule that does not.
template <class Element, bool HandsOverItems = false>
struct Repeat {
    static void more(ParserState& state) {
        for (;;) {
            const std::size_t position = state.position;
            const std::size_t token_count = state.tokens.size();
            implicit_whitespace(state);
            if (!Element::match(state)) {
                state.position = position;
                return;
            }
            if (state.position == position) {
                state.tokens.truncate(token_count);
                return;
            }
            if constexpr (HandsOverItems) hand_over_item(state, token_count);
        }
    }
};

template <class Element>
struct ZeroOrMore {
    static bool match(ParserState& state) {
        if (Element::match(state)) Repeat<Element>::more(state);
        return true;
    }
};

// The repetition over the items of the whole text: matches like ZeroOrMore, and hands every
// iteration that stays to the state's item sink, if any. Meant for the entry rule only, where
// nothing around it can undo an iteration once the next one has begun.
template <class Element>
struct ZeroOrMoreItems {
    static bool match(ParserState& state) {
        const std::size_t first_token = state.tokens.size();
        if (Element::match(state)) {
            hand_over_item(state, first_token);
            Repeat<Element, true>::more(state);
        }
        return true;
    }
};

template <class Element>
struct OneOrMore {
    static bool can_start(const ParserState& state) noexcept requires StartGuarded<Element> {
        return Element::can_start(state);
    }

    static bool match(ParserState& state) {
        if (!Element::match(state)) return false;
        Repeat<Element>::more(state);
        return true;
    }
};

// !e: never consumes and never leaves nodes (no node is made in predicate mode).
template <class Operand>
struct Not {
    static bool match(ParserState& state) {
        const std::size_t position = state.position;
        const Predicate outer = state.predicate;
        state.predicate = outer == Predicate::negative ? Predicate::positive : Predicate::negative;
        const bool matched = Operand::match(state);
        state.predicate = outer;
        state.position = position;
        return !matched;
    }
};

// Matches `Body` in atomic mode without being a rule of its own: the body of WHITESPACE.
template <class Body>
struct Atomically {
    static bool match(ParserState& state) {
        const Mode caller_mode = state.mode;
        state.mode = Mode::atomic;
        const bool matched = Body::match(state);
        state.mode = caller_mode;
        return matched;
    }
};

// Invoking a rule: switches the mode for its body by kind, and makes a node (noting a failure
// instead when the body fails) where its kind, the caller's mode and the predicate mode allow.
template <Rule Id, RuleKind Kind, class Body>
struct RuleMatcher {
    static constexpr Rule rule = Id;
    static constexpr RuleKind kind = Kind;

    static bool match(ParserState& state) {
        if constexpr (Kind == RuleKind::silent) {
            return Body::match(state);
        } else {
            const Mode caller_mode = state.mode;
            bool makes_node = state.predicate == Predicate::none;
            if constexpr (Kind == RuleKind::normal || Kind == RuleKind::atomic) {
                makes_node = makes_node && caller_mode != Mode::atomic;
            }
            if constexpr (StartGuarded<Body>) {
                // Saves opening and truncating a node for the many places where the rule
                // obviously does not match.
                if (!state.plain_matching && !Body::can_start(state)) {
                    if constexpr (NotesRejection<Body>) Body::note_rejection(state);
                    if (makes_node) state.failure.note(state.position, Id);
                    return false;
                }
            }
            if constexpr (Kind == RuleKind::atomic) state.mode = Mode::atomic;
            if constexpr (Kind == RuleKind::compound_atomic) state.mode = Mode::compound_atomic;
            if constexpr (Kind == RuleKind::non_atomic) state.mode = Mode::non_atomic;

            if (!makes_node) {
                const bool matched = Body::match(state);
                state.mode = caller_mode;
                return matched;
            }
            const std::size_t start_position = state.position;
            const std::size_t start_index = state.tokens.open(start_position);
            const bool matched = Body::match(state);
            state.mode = caller_mode;
            if (matched) {
                state.tokens.close(start_index, Id, state.position);
                return true;
            }
            state.tokens.truncate(start_index);
            state.failure.note(start_position, Id);
            return false;
        }
    }
};

}  // namespace modweave::minimal_parser::engine

// The matching engine on small rules of its own: where implicit whitespace stands, what each
// rule kind does with modes and nodes, predicates, backtracking, and the failure record.
#include <gtest/gtest.h>

#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/engine.hpp"
#include "parser_test_support.hpp"

namespace modweave::minimal_parser {
namespace {

using namespace engine;
using testing::shape;

// The rule ids only label nodes here; any value of the enumeration serves.
struct A : RuleMatcher<Rule::name, RuleKind::normal, Literal<"a">> {};
struct B : RuleMatcher<Rule::dots, RuleKind::normal, Literal<"b">> {};
struct SilentB : RuleMatcher<Rule::strip, RuleKind::silent, Literal<"b">> {};

template <RuleKind Kind, class Body>
struct Outer : RuleMatcher<Rule::expr, Kind, Body> {};

struct MatchOutcome {
    bool matched;
    std::size_t consumed;
    std::string shape;
};

template <class Matcher>
MatchOutcome run(std::string_view text, Mode mode = Mode::non_atomic) {
    ParserState state(text);
    state.mode = mode;
    const bool matched = Matcher::match(state);
    EXPECT_EQ(state.mode, mode) << "the caller's mode must be restored";
    EXPECT_EQ(state.predicate, Predicate::none);
    if (!matched) {
        EXPECT_EQ(state.position, 0u) << "a failed match must not consume";
        EXPECT_EQ(state.tokens.size(), 0u) << "a failed match must not leave tokens";
    }
    auto tree = std::make_shared<ParseTree>(ParseTree{text, std::move(state.tokens)});
    const std::size_t size = tree->tokens.size();
    return {matched, state.position, shape(Pairs(std::move(tree), 0, size))};
}

struct Case {
    std::string_view text;
    bool matched;
    std::size_t consumed;
    std::string_view shape;
};

template <class Matcher>
void check_table(const std::vector<Case>& cases, Mode mode = Mode::non_atomic) {
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message() << "input \"" << c.text << "\"");
        const MatchOutcome outcome = run<Matcher>(c.text, mode);
        EXPECT_EQ(outcome.matched, c.matched);
        EXPECT_EQ(outcome.consumed, c.consumed);
        EXPECT_EQ(outcome.shape, c.shape);
    }
}

TEST(ParserEngine, SequenceSkipsSpacesAndContinuationsBetweenElements) {
    check_table<Sequence<A, B>>({
        {"ab", true, 2, "name dots"},
        {"a  b", true, 4, "name dots"},
        {"a\\\nb", true, 4, "name dots"},
        {"a \\\r\n b", true, 7, "name dots"},
        {"a\\\rb", true, 4, "name dots"},
        {"a\tb", false, 0, ""},
        {"a\nb", false, 0, ""},
        {"a\\ b", false, 0, ""},
        {" ab", false, 0, ""},          // never before the first element
        {"ab ", true, 2, "name dots"},  // nor after the last
    });
}

TEST(ParserEngine, NoImplicitWhitespaceInAtomicOrCompoundAtomicMode) {
    check_table<Sequence<A, B>>({{"ab", true, 2, ""}, {"a b", false, 0, ""}}, Mode::atomic);
    check_table<Sequence<A, B>>({{"ab", true, 2, "name dots"}, {"a b", false, 0, ""}},
                                Mode::compound_atomic);
}

TEST(ParserEngine, RuleKindsDecideModeAndNodes) {
    // atomic: no whitespace inside and no nodes inside
    check_table<Outer<RuleKind::atomic, Sequence<A, B>>>({
        {"ab", true, 2, "expr"},
        {"a b", false, 0, ""},
    });
    // compound-atomic: no whitespace inside, but nodes inside
    check_table<Outer<RuleKind::compound_atomic, Sequence<A, B>>>({
        {"ab", true, 2, "expr(name dots)"},
        {"a b", false, 0, ""},
    });
    // silent: no node of its own, children keep theirs
    check_table<RuleMatcher<Rule::strip, RuleKind::silent, Sequence<A, B>>>({
        {"a b", true, 3, "name dots"},
    });
    // a silent rule inside makes no node
    check_table<Sequence<A, SilentB>>({{"a b", true, 3, "name"}});
}

TEST(ParserEngine, CallerModeDecidesNormalAndAtomicRulesButNotTheOthers) {
    // Called in atomic mode: normal and atomic rules make no node; compound-atomic and
    // non-atomic rules always do, and non-atomic switches whitespace back on inside.
    check_table<Outer<RuleKind::normal, A>>({{"a", true, 1, ""}}, Mode::atomic);
    check_table<Outer<RuleKind::atomic, A>>({{"a", true, 1, ""}}, Mode::atomic);
    check_table<Outer<RuleKind::compound_atomic, A>>({{"a", true, 1, "expr(name)"}}, Mode::atomic);
    check_table<Outer<RuleKind::non_atomic, Sequence<A, B>>>({{"a b", true, 3, "expr(name dots)"}},
                                                             Mode::atomic);
    // A normal rule takes its caller's mode: inside compound-atomic no whitespace.
    check_table<Outer<RuleKind::compound_atomic, Outer<RuleKind::normal, Sequence<A, B>>>>(
        {{"ab", true, 2, "expr(expr(name dots))"}, {"a b", false, 0, ""}});
    // Non-atomic inside atomic inside non-atomic: nodes again below the non-atomic rule.
    using NonAtomicInside = RuleMatcher<Rule::alias_list, RuleKind::non_atomic, Sequence<A, B>>;
    check_table<Outer<RuleKind::atomic, Sequence<Literal<"x">, NonAtomicInside>>>(
        {{"xa b", true, 4, "expr(alias_list(name dots))"}, {"x a b", false, 0, ""}});
}

TEST(ParserEngine, RepetitionsGiveBackWhitespaceOfAFailedIteration) {
    check_table<ZeroOrMore<A>>({
        {"", true, 0, ""},
        {"a a  a", true, 6, "name name name"},
        {"a a  ", true, 3, "name name"},
        {"a a \\\nb", true, 3, "name name"},
        {" a", true, 0, ""},  // the first iteration has no whitespace step
    });
    check_table<OneOrMore<A>>({
        {"", false, 0, ""},
        {"aa a ", true, 4, "name name name"},
    });
}

TEST(ParserEngine, WhitespaceBeforeAnElementThatMatchedNothingStaysConsumed) {
    check_table<Sequence<A, Optional<B>>>({
        {"a  c", true, 3, "name"},
        {"a  b", true, 4, "name dots"},
    });
    check_table<Sequence<A, ZeroOrMore<B>>>({{"a \\\n ", true, 5, "name"}});
    check_table<Outer<RuleKind::normal, Sequence<A, Optional<B>>>>(
        {{"a  c", true, 3, "expr(name)"}});
}

TEST(ParserEngine, FailedAlternativesLeaveNoTokens) {
    check_table<Choice<Sequence<A, B>, A>>({
        {"ac", true, 1, "name"},
        {"ab", true, 2, "name dots"},
    });
    check_table<Choice<Outer<RuleKind::normal, Sequence<A, A, B>>, Outer<RuleKind::normal, A>>>(
        {{"a a c", true, 1, "expr(name)"}});
    check_table<Sequence<A, A, B>>({{"a a c", false, 0, ""}});
}

TEST(ParserEngine, PredicatesNeverConsumeNorMakeNodes) {
    check_table<Sequence<Not<A>, AnyChar>>({
        {"b", true, 1, ""},
        {"a", false, 0, ""},
        {"", false, 0, ""},
    });
    // Not inside Not asks whether the operand matches, still without nodes or input.
    check_table<Not<Not<Outer<RuleKind::compound_atomic, A>>>>({
        {"a", true, 0, ""},
        {"b", false, 0, ""},
    });
    check_table<Sequence<Not<Not<A>>, A>>({{"a", true, 1, "name"}});
}

struct ObservePredicate {
    static inline std::vector<Predicate> seen;
    static bool match(ParserState& state) {
        seen.push_back(state.predicate);
        return true;
    }
};

TEST(ParserEngine, PredicateModeNestsAndIsRestored) {
    ObservePredicate::seen.clear();
    ParserState state("");
    EXPECT_FALSE(Not<ObservePredicate>::match(state));
    EXPECT_TRUE(Not<Not<ObservePredicate>>::match(state));
    EXPECT_EQ(state.predicate, Predicate::none);
    EXPECT_EQ(ObservePredicate::seen,
              (std::vector<Predicate>{Predicate::negative, Predicate::positive}));
}

TEST(ParserEngine, PrimitiveSteps) {
    check_table<Newline>({
        {"\n", true, 1, ""},
        {"\r\n", true, 2, ""},
        {"\r", true, 1, ""},
        {"\n\r", true, 1, ""},
        {"x", false, 0, ""},
    });
    check_table<AnyChar>({
        {"x", true, 1, ""},
        {"\xC3\xA9", true, 2, ""},
        {"\xE2\x82\xAC!", true, 3, ""},
        {"\xF0\x9F\x98\x80", true, 4, ""},
        {std::string_view("\0", 1), true, 1, ""},
        {"", false, 0, ""},
        // malformed: never past the end, never into a following ASCII byte
        {"\xF0\x9F", true, 2, ""},
        {"\xE2\n", true, 1, ""},
        {"\x80", true, 1, ""},
    });
    check_table<CharRange<'a', 'z'>>(
        {{"m", true, 1, ""}, {"M", false, 0, ""}, {"\xC3\xA9", false, 0, ""}});
    check_table<CharRange<0xE9, 0xE9>>({{"\xC3\xA9", true, 2, ""}});
    check_table<LetterAnyCase<'r'>>({{"r", true, 1, ""}, {"R", true, 1, ""}, {"b", false, 0, ""}});
    check_table<Literal<"import ">>({{"import x", true, 7, ""}, {"import", false, 0, ""}});
    check_table<PatternWhiteSpace>({
        {"\t", true, 1, ""},
        {"\x0c", true, 1, ""},
        {"\xC2\x85", true, 2, ""},
        {"\xE2\x80\x8E", true, 3, ""},
        {"\xE2\x80\xA9", true, 3, ""},
        {"\xC2\xA0", false, 0, ""},  // no-break space is not pattern white space
        {"x", false, 0, ""},
    });
}

TEST(ParserEngine, StartAndEndOfInput) {
    ParserState state("ab");
    EXPECT_TRUE(StartOfInput::match(state));
    EXPECT_FALSE(EndOfInput::match(state));
    state.position = 1;
    EXPECT_FALSE(StartOfInput::match(state));
    state.position = 2;
    EXPECT_TRUE(EndOfInput::match(state));
    EXPECT_EQ(state.position, 2u);
}

TEST(ParserEngine, TokenListIsTheTreeInPreOrderWithPartnerIndices) {
    using Tree = Outer<RuleKind::normal, Sequence<A, Outer<RuleKind::compound_atomic, B>>>;
    ParserState state("a b");
    ASSERT_TRUE(Tree::match(state));
    const TokenList& tokens = state.tokens;
    ASSERT_EQ(tokens.size(), 8u);
    struct Entry {
        bool is_start;
        std::size_t partner;
        std::size_t position;
        Rule rule;  // end entries only
    };
    const std::vector<Entry> expected = {
        {true, 7, 0, Rule::EOI},   {true, 2, 0, Rule::EOI},   {false, 1, 1, Rule::name},
        {true, 6, 2, Rule::EOI},   {true, 5, 2, Rule::EOI},   {false, 4, 3, Rule::dots},
        {false, 3, 3, Rule::expr}, {false, 0, 3, Rule::expr},
    };
    for (std::size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tokens[i].is_start(), expected[i].is_start);
        EXPECT_EQ(tokens[i].partner(), expected[i].partner);
        EXPECT_EQ(tokens[i].position(), expected[i].position);
        if (!expected[i].is_start) {
            EXPECT_EQ(tokens[i].rule(), expected[i].rule);
        }
    }
}

TEST(ParserEngine, FailureRecordKeepsTheFurthestPositionAndItsRules) {
    FailureRecord record;
    record.note(3, Rule::name);
    record.note(1, Rule::alias);  // nearer: ignored
    record.note(3, Rule::dots);   // same: added
    EXPECT_EQ(record.position(), 3u);
    EXPECT_TRUE(record.rules().test(rule_index(Rule::name)));
    EXPECT_TRUE(record.rules().test(rule_index(Rule::dots)));
    EXPECT_FALSE(record.rules().test(rule_index(Rule::alias)));
    record.note(5, Rule::expr);  // further: replaces
    EXPECT_EQ(record.position(), 5u);
    EXPECT_EQ(record.rules().count(), 1u);
}

TEST(ParserEngine, FailuresAreNotedOutsidePredicatesAndAtomicModeOnly) {
    using Failing = Outer<RuleKind::normal, Literal<"z">>;
    {
        ParserState state("a");
        EXPECT_FALSE(Failing::match(state));
        EXPECT_TRUE(state.failure.rules().test(rule_index(Rule::expr)));
    }
    {
        ParserState state("a");
        EXPECT_TRUE(Not<Failing>::match(state));
        EXPECT_FALSE(state.failure.rules().any());
    }
    {
        ParserState state("a");
        state.mode = Mode::atomic;
        EXPECT_FALSE(Failing::match(state));
        EXPECT_FALSE(state.failure.rules().any());
    }
    {
        ParserState state("a");
        EXPECT_FALSE((RuleMatcher<Rule::strip, RuleKind::silent, Literal<"z">>::match(state)));
        EXPECT_FALSE(state.failure.rules().any());
    }
}

TEST(ParserEngine, FailureReportOfTheGrammarEntry) {
    struct ReportCase {
        Rule start;
        std::string_view text;
        std::size_t position, line, column;
        std::vector<Rule> expected;
    };
    const std::vector<ReportCase> cases = {
        {Rule::import, "x", 0, 1, 1, {Rule::import}},
        {Rule::import_from,
         "from x import *",
         14,
         1,
         15,
         {Rule::from_alias_list, Rule::alias_list, Rule::alias, Rule::qualified_name, Rule::name}},
        {Rule::import_from,
         "from \\\nx import *",
         16,
         2,
         10,
         {Rule::from_alias_list, Rule::alias_list, Rule::alias, Rule::qualified_name, Rule::name}},
        {Rule::name, "\xC3\xA9", 0, 1, 1, {Rule::name}},
        {Rule::EOI, "a", 0, 1, 1, {Rule::EOI}},
        {Rule::comment_single, "x", 0, 1, 1, {Rule::comment_single}},
    };
    for (const ReportCase& c : cases) {
        SCOPED_TRACE(::testing::Message() << rule_name(c.start) << " over \"" << c.text << "\"");
        const GrammarResult result = parse(c.start, c.text);
        ASSERT_TRUE(std::holds_alternative<FailureReport>(result));
        const auto& report = std::get<FailureReport>(result);
        EXPECT_EQ(report.position, c.position);
        EXPECT_EQ(report.line, c.line);
        EXPECT_EQ(report.column, c.column);
        EXPECT_EQ(report.expected, c.expected);
    }
}

TEST(ParserEngine, FailureReportLineAndColumnCountLineEndsAndCharacters) {
    // module_spec fails right after the separators, which may run over continuations.
    const GrammarResult result = parse(Rule::import_from, "from \\\r\n\\\r\\\n \xC3\xA9");
    ASSERT_TRUE(std::holds_alternative<FailureReport>(result));
    const auto& report = std::get<FailureReport>(result);
    EXPECT_EQ(report.position, 13u);
    EXPECT_EQ(report.line, 4u);
    EXPECT_EQ(report.column, 2u);
    EXPECT_EQ(report.describe(),
              "at line 4, column 2 (byte 13): expected module_spec, dots, qualified_name, name");
}

}  // namespace
}  // namespace modweave::minimal_parser

#include "minimal_parser/rule.hpp"

namespace modweave::minimal_parser {
namespace {

constexpr std::array<std::string_view, rule_count> rule_names = {
    "EOI",
    "python",
    "WHITESPACE",
    "expr",
    "any_line",
    "comment",
    "comment_single",
    "string_lit",
    "multiline_double_qouted",
    "multiline_single_qouted",
    "lit_double_qouted",
    "lit_single_qouted",
    "import",
    "import_from",
    "module_spec",
    "dots",
    "from_alias_list",
    "additional",
    "strip",
    "alias_list",
    "alias",
    "qualified_name",
    "name",
    "whitespace_newline",
    "string_modifiers",
    "m0",
    "m1",
    "m2",
    "m3",
    "m4",
    "m5",
    "m6",
    "m7",
    "m8",
    "m9",
    "m10",
    "m11",
    "m12",
    "m13",
    "m14",
    "m15",
    "m16",
    "m17",
    "m18",
    "m19",
    "m20",
    "m21",
    "m22",
    "m23",
    "m24",
    "m25",
    "m26",
    "m27",
    "m28",
    "m29",
    "m30",
    "m31",
    "m32",
    "m33",
    "m34",
    "m35",
    "m36",
    "m37",
    "m38",
    "m39",
    "m40",
    "m41",
    "m42",
    "m43",
    "m44",
    "m45",
    "m46",
    "m47",
    "m48",
    "m49",
    "m50",
    "m51",
    "m52",
    "m53",
    "m54",
    "m55",
    "m56",
    "m57",
    "m58",
    "m59",
    "m60",
    "m61",
    "m62",
    "m63",
};

}  // namespace

std::string_view rule_name(Rule rule) {
    const std::size_t index = rule_index(rule);
    return index < rule_count ? rule_names[index] : std::string_view("<unknown rule>");
}

RuleKind rule_kind(Rule rule) {
    switch (rule) {
        case Rule::EOI:
            return RuleKind::normal;
        case Rule::python:
            return RuleKind::normal;
        case Rule::WHITESPACE:
            return RuleKind::silent;
        case Rule::expr:
            return RuleKind::normal;
        case Rule::any_line:
            return RuleKind::atomic;
        case Rule::comment:
            return RuleKind::normal;
        case Rule::comment_single:
            return RuleKind::normal;
        case Rule::string_lit:
            return RuleKind::atomic;
        case Rule::multiline_double_qouted:
            return RuleKind::non_atomic;
        case Rule::multiline_single_qouted:
            return RuleKind::non_atomic;
        case Rule::lit_double_qouted:
            return RuleKind::non_atomic;
        case Rule::lit_single_qouted:
            return RuleKind::non_atomic;
        case Rule::import:
            return RuleKind::normal;
        case Rule::import_from:
            return RuleKind::atomic;
        case Rule::module_spec:
            return RuleKind::compound_atomic;
        case Rule::dots:
            return RuleKind::normal;
        case Rule::from_alias_list:
            return RuleKind::non_atomic;
        case Rule::additional:
            return RuleKind::normal;
        case Rule::strip:
            return RuleKind::silent;
        case Rule::alias_list:
            return RuleKind::non_atomic;
        case Rule::alias:
            return RuleKind::compound_atomic;
        case Rule::qualified_name:
            return RuleKind::compound_atomic;
        case Rule::name:
            return RuleKind::compound_atomic;
        case Rule::whitespace_newline:
            return RuleKind::normal;
        case Rule::string_modifiers:
            return RuleKind::normal;
        default:
            return RuleKind::normal;  // m0 ... m63
    }
}

}  // namespace modweave::minimal_parser

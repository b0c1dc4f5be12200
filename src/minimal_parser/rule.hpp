// The rules of the import grammar. The numbering is part of the parse tree's contract: every node
// carries one of these values, and the walker and tests dispatch on them.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace modweave::minimal_parser {

enum class Rule : std::uint8_t {
    EOI,
    python,
    WHITESPACE,
    expr,
    any_line,
    comment,
    comment_single,
    string_lit,
    multiline_double_qouted,
    multiline_single_qouted,
    lit_double_qouted,
    lit_single_qouted,
    import,
    import_from,
    module_spec,
    dots,
    from_alias_list,
    additional,
    strip,
    alias_list,
    alias,
    qualified_name,
    name,
    whitespace_newline,
    string_modifiers,
    // The 64 arrangements of the string prefix letters, see string_modifier_letters.
    m0,
    m1,
    m2,
    m3,
    m4,
    m5,
    m6,
    m7,
    m8,
    m9,
    m10,
    m11,
    m12,
    m13,
    m14,
    m15,
    m16,
    m17,
    m18,
    m19,
    m20,
    m21,
    m22,
    m23,
    m24,
    m25,
    m26,
    m27,
    m28,
    m29,
    m30,
    m31,
    m32,
    m33,
    m34,
    m35,
    m36,
    m37,
    m38,
    m39,
    m40,
    m41,
    m42,
    m43,
    m44,
    m45,
    m46,
    m47,
    m48,
    m49,
    m50,
    m51,
    m52,
    m53,
    m54,
    m55,
    m56,
    m57,
    m58,
    m59,
    m60,
    m61,
    m62,
    m63,
};

inline constexpr std::size_t rule_count = 89;
inline constexpr std::size_t string_modifier_count = 64;

constexpr std::size_t rule_index(Rule rule) {
    return static_cast<std::size_t>(rule);
}

// Rule value from its number; `index` must be below rule_count.
constexpr Rule rule_from_index(std::size_t index) {
    return static_cast<Rule>(index);
}

constexpr Rule string_modifier_rule(std::size_t arrangement) {
    return rule_from_index(rule_index(Rule::m0) + arrangement);
}

// The letters of m0 ... m63, lower case, in the order the grammar tries them.
inline constexpr std::array<std::string_view, string_modifier_count> string_modifier_letters = {
    "rfu",  "br",   "brfu", "fr",   "rfub", "rubf", "f",    "rbf",  "rfbu", "rf",   "ubfr",
    "fbr",  "fbru", "bu",   "bfr",  "u",    "fb",   "burf", "bfu",  "rbu",  "bufr", "fur",
    "ru",   "ubr",  "rufb", "fub",  "urf",  "bru",  "rb",   "urbf", "ufr",  "bfru", "bur",
    "frbu", "frub", "fu",   "bfur", "rub",  "ufb",  "urb",  "bf",   "ufbr", "brf",  "bruf",
    "rfb",  "ur",   "r",    "frb",  "b",    "ufrb", "fbu",  "ubrf", "ubf",  "furb", "fru",
    "fbur", "ruf",  "rbuf", "rbfu", "buf",  "uf",   "fubr", "urfb", "ub"};

// How invoking a rule changes the matching mode and whether it makes a node.
enum class RuleKind : std::uint8_t {
    normal,           // keeps the caller's mode; node unless the caller is atomic
    silent,           // keeps the mode; never a node
    atomic,           // body atomic; node unless the caller is atomic
    compound_atomic,  // body without implicit whitespace; always a node
    non_atomic,       // body with implicit whitespace; always a node
};

// The rule's name as written in the enumeration, e.g. "import_from", "m63", "EOI".
std::string_view rule_name(Rule rule);

RuleKind rule_kind(Rule rule);

}  // namespace modweave::minimal_parser

#include "importlib/util.hpp"

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <iterator>

#include "internal_failure.hpp"
#include "logging_bridge/log.hpp"
#include "text/utf8.hpp"

namespace modweave::importlib {

std::string resolve_name(std::string_view name, std::string_view package, std::size_t level) {
    if (level == 0) fail("This method has no meaning when level == 0");
    // Empty components count: "" has one component and "a..b" has three.
    const auto components =
        static_cast<std::size_t>(std::count(package.begin(), package.end(), '.')) + 1;
    if (components < level) fail("Attempted relative import beyond top-level package");

    std::string_view base = package;
    for (std::size_t dropped = 1; dropped < level; ++dropped) {
        base = base.substr(0, base.rfind('.'));
    }
    std::string result(base);
    if (!name.empty()) {
        result.push_back('.');
        result.append(name);
    }
    return result;
}

namespace {

struct CodePointRange {
    char32_t first;
    char32_t last;
};

// Characters that would be invisible or would break a log line: controls, separators other than
// the plain space, format characters, surrogates, private use, and the unassigned planes 4 to 14.
// Sorted, so a lookup is one binary search. Assignment inside otherwise used blocks is not
// tracked: such code points print as they are.
constexpr CodePointRange kNonPrintable[] = {
    {0x0000, 0x001F},   {0x007F, 0x00A0},    {0x00AD, 0x00AD},   {0x0600, 0x0605},
    {0x061C, 0x061C},   {0x06DD, 0x06DD},    {0x070F, 0x070F},   {0x0890, 0x0891},
    {0x08E2, 0x08E2},   {0x1680, 0x1680},    {0x180E, 0x180E},   {0x2000, 0x200F},
    {0x2028, 0x202F},   {0x205F, 0x206F},    {0x3000, 0x3000},   {0xD800, 0xF8FF},
    {0xFDD0, 0xFDEF},   {0xFEFF, 0xFEFF},    {0xFFF0, 0xFFFB},   {0x110BD, 0x110BD},
    {0x110CD, 0x110CD}, {0x13430, 0x1343F},  {0x1BCA0, 0x1BCA3}, {0x1D173, 0x1D17A},
    {0x40000, 0xEFFFF}, {0xF0000, 0x10FFFF},
};

bool is_printable(char32_t code_point) {
    // U+xFFFE and U+xFFFF are noncharacters on every plane.
    if ((code_point & 0xFFFE) == 0xFFFE) return false;
    const auto* range = std::upper_bound(
        std::begin(kNonPrintable), std::end(kNonPrintable), code_point,
        [](char32_t value, const CodePointRange& candidate) { return value < candidate.first; });
    if (range == std::begin(kNonPrintable)) return true;
    --range;
    return code_point > range->last;
}

void append_hex(std::string& out, std::uint32_t value) {
    std::array<char, 8> digits{};
    auto result = std::to_chars(digits.data(), digits.data() + digits.size(), value, 16);
    out.append(digits.data(), result.ptr);
}

}  // namespace

std::string debug_quoted(std::optional<std::string_view> text) {
    if (!text) return "None";
    std::string out;
    out.reserve(text->size() + 8);
    out.append("Some(\"");
    std::string_view rest = *text;
    while (!rest.empty()) {
        const text::DecodedCharacter decoded = text::decode_utf8(rest);
        if (decoded.length == 0) {
            out.append("\\x");
            const auto value = static_cast<unsigned char>(rest.front());
            out.push_back("0123456789abcdef"[value >> 4]);
            out.push_back("0123456789abcdef"[value & 0xF]);
            rest.remove_prefix(1);
            continue;
        }
        switch (decoded.code_point) {
            case U'"':
                out.append("\\\"");
                break;
            case U'\\':
                out.append("\\\\");
                break;
            case U'\n':
                out.append("\\n");
                break;
            case U'\r':
                out.append("\\r");
                break;
            case U'\t':
                out.append("\\t");
                break;
            case U'\0':
                out.append("\\0");
                break;
            default:
                if (is_printable(decoded.code_point)) {
                    out.append(rest.substr(0, decoded.length));
                } else {
                    out.append("\\u{");
                    append_hex(out, static_cast<std::uint32_t>(decoded.code_point));
                    out.push_back('}');
                }
        }
        rest.remove_prefix(decoded.length);
    }
    out.append("\")");
    return out;
}

std::string debug_quoted(const std::optional<std::string>& text) {
    if (!text) return debug_quoted(std::optional<std::string_view>{});
    return debug_quoted(std::optional<std::string_view>{*text});
}

void log_loaded_spec(const ModuleSpec& spec) {
    // The escaped origin is built only when the record is.
    MODWEAVE_LOG(Debug, logging_bridge::targets::importlib_util, "Loaded spec: ", spec.name, " ",
                 [&](std::string& out) { out.append(debug_quoted(spec.origin)); });
}

}  // namespace modweave::importlib

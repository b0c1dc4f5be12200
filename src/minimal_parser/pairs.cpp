#include "minimal_parser/pairs.hpp"

#include <cstdio>

namespace modweave::minimal_parser {
namespace {

void append_escaped(std::string& out, std::string_view text) {
    out.push_back('"');
    for (const char byte : text) {
        switch (byte) {
            case '"':
                out.append("\\\"");
                break;
            case '\\':
                out.append("\\\\");
                break;
            case '\n':
                out.append("\\n");
                break;
            case '\r':
                out.append("\\r");
                break;
            case '\t':
                out.append("\\t");
                break;
            default:
                if (static_cast<unsigned char>(byte) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\x%02x",
                                  static_cast<unsigned>(static_cast<unsigned char>(byte)));
                    out.append(escape);
                } else {
                    out.push_back(byte);
                }
        }
    }
    out.push_back('"');
}

void append_pairs(std::string& out, const Pairs& pairs);

// Recursion follows the tree's depth, which the grammar bounds; this only serves messages.
void append_pair(std::string& out, const Pair& pair) {
    out.append(rule_name(pair.rule()));
    out.push_back(' ');
    out.append(std::to_string(pair.start()));
    out.append("..");
    out.append(std::to_string(pair.end()));
    out.push_back(' ');
    append_escaped(out, pair.text());
    const Pairs children = pair.children();
    if (!children.empty()) {
        out.push_back(' ');
        append_pairs(out, children);
    }
}

void append_pairs(std::string& out, const Pairs& pairs) {
    out.push_back('[');
    bool first = true;
    for (const Pair& pair : pairs) {
        if (!first) out.append(", ");
        first = false;
        append_pair(out, pair);
    }
    out.push_back(']');
}

}  // namespace

std::string Pair::describe() const {
    std::string out;
    append_pair(out, *this);
    return out;
}

std::size_t Pairs::count() const {
    std::size_t siblings = 0;
    for (auto it = begin(); it != end(); ++it)
        ++siblings;
    return siblings;
}

std::string Pairs::describe() const {
    std::string out;
    append_pairs(out, *this);
    return out;
}

}  // namespace modweave::minimal_parser

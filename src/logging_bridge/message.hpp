// Building message texts from pieces of text and integers, without iostreams.
#pragma once

#include <charconv>
#include <concepts>
#include <string>
#include <string_view>

namespace modweave::logging_bridge {

inline void append_part(std::string& out, std::string_view text) {
    out.append(text);
}
inline void append_part(std::string& out, const char* text) {
    out.append(text);
}
inline void append_part(std::string& out, const std::string& text) {
    out.append(text);
}
inline void append_part(std::string& out, char c) {
    out.push_back(c);
}

template <std::integral Integer>
requires(!std::same_as<Integer, char> &&
         !std::same_as<Integer, bool>) void append_part(std::string& out, Integer value) {
    char digits[24];
    auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// A part that writes itself: for text that is costly to make, made only when the message is.
template <class Write>
requires std::invocable<const Write&, std::string&> void append_part(std::string& out,
                                                                     const Write& write) {
    write(out);
}

template <class... Parts>
void append_all(std::string& out, const Parts&... parts) {
    (append_part(out, parts), ...);
}

template <class... Parts>
std::string concat(const Parts&... parts) {
    std::string out;
    append_all(out, parts...);
    return out;
}

}  // namespace modweave::logging_bridge

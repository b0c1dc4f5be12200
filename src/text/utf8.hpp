// UTF-8 at the byte level, in two flavours. The strict one decodes only well-formed shortest-form
// sequences of scalar values: validation and escaping need it. The lenient one steps through any
// bytes without reading past the end: the import grammar walks malformed text with it.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string_view>

namespace modweave::text {

constexpr bool is_continuation(unsigned char byte) noexcept {
    return (byte & 0xC0) == 0x80;
}

// One strictly decoded character; length 0 when the bytes do not begin with one.
struct DecodedCharacter {
    std::size_t length;
    char32_t code_point;
};

// The character at the start of `bytes`. Overlong forms, surrogates, code points above U+10FFFF,
// stray continuation bytes and sequences cut short are malformed.
DecodedCharacter decode_utf8(std::string_view bytes) noexcept;

// Byte offset of the first byte that does not begin a well-formed character, or npos when every
// byte does.
std::size_t find_invalid_utf8(std::string_view bytes) noexcept;

// ---------------------------------------------------------------------------------------------
// The lenient flavour: a character is its lead byte plus the continuation bytes that actually
// follow, up to the length the lead byte announces. A line end or quote is therefore never
// swallowed by a broken multi-byte sequence.

constexpr std::size_t utf8_length_of_lead(unsigned char lead) noexcept {
    if (lead < 0xC0) return 1;  // ASCII, or a stray continuation byte taken on its own
    if (lead < 0xE0) return 2;
    if (lead < 0xF0) return 3;
    return 4;
}

// Length in bytes of the character at `index`; 0 at the end of the text.
inline std::size_t char_length_at(std::string_view text, std::size_t index) noexcept {
    if (index >= text.size()) return 0;
    const std::size_t announced = utf8_length_of_lead(static_cast<unsigned char>(text[index]));
    std::size_t length = 1;
    while (length < announced && index + length < text.size() &&
           is_continuation(static_cast<unsigned char>(text[index + length]))) {
        ++length;
    }
    return length;
}

// What a malformed character decodes to: no code point, so no range or class matches it.
inline constexpr std::uint32_t malformed_code_point = 0xFFFFFFFF;

// Code point of the character at `index` (of the given length). A stray byte, a sequence cut
// short and an overlong one are malformed: decoding their bits would turn "\xC1\x81" or a cut
// "\xE1\x86" into an ASCII letter, which byte-scanning matchers rightly never see. Surrogates and
// values above U+10FFFF keep their bits.
inline std::uint32_t code_point_at(std::string_view text, std::size_t index,
                                   std::size_t length) noexcept {
    const auto lead = static_cast<unsigned char>(text[index]);
    if (length == 1) return lead < 0x80 ? lead : malformed_code_point;
    if (length != utf8_length_of_lead(lead)) return malformed_code_point;
    static constexpr std::array<unsigned char, 5> lead_mask = {0, 0x7F, 0x1F, 0x0F, 0x07};
    static constexpr std::array<std::uint32_t, 5> smallest = {0, 0, 0x80, 0x800, 0x10000};
    std::uint32_t value = lead & lead_mask[length];
    for (std::size_t i = 1; i < length; ++i) {
        value = (value << 6) | (static_cast<unsigned char>(text[index + i]) & 0x3Fu);
    }
    return value < smallest[length] ? malformed_code_point : value;
}

}  // namespace modweave::text

#include "text/utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace modweave::text {

DecodedCharacter decode_utf8(std::string_view bytes) noexcept {
    if (bytes.empty()) return {0, 0};
    const auto byte = [&](std::size_t index) { return static_cast<unsigned char>(bytes[index]); };
    const unsigned char lead = byte(0);
    if (lead < 0x80) return {1, lead};

    std::size_t length = 0;
    char32_t code_point = 0;
    char32_t smallest = 0;
    // C0, C1 and F5 to FF never lead; the checks below catch the rest of the malformed forms.
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, code_point = lead & 0x1Fu, smallest = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, code_point = lead & 0x0Fu, smallest = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, code_point = lead & 0x07u, smallest = 0x10000;
    } else {
        return {0, 0};
    }
    if (bytes.size() < length) return {0, 0};
    for (std::size_t index = 1; index < length; ++index) {
        if (!is_continuation(byte(index))) return {0, 0};
        code_point = (code_point << 6) | (byte(index) & 0x3Fu);
    }
    const bool surrogate = code_point >= 0xD800 && code_point <= 0xDFFF;
    if (code_point < smallest || code_point > 0x10FFFF || surrogate) return {0, 0};
    return {length, code_point};
}

namespace {

constexpr std::uint64_t kHighBits = 0x8080808080808080u;

// Whether the 64 bytes at `bytes` are all ASCII.
inline bool ascii_run(const char* bytes) noexcept {
#if defined(__SSE2__)
    const auto load = [&](int part) {
        return _mm_loadu_si128(reinterpret_cast<const __m128i*>(bytes) + part);
    };
    const __m128i any =
        _mm_or_si128(_mm_or_si128(load(0), load(1)), _mm_or_si128(load(2), load(3)));
    return _mm_movemask_epi8(any) == 0;
#else
    std::uint64_t words[8];
    std::memcpy(words, bytes, sizeof words);
    const std::uint64_t any = (words[0] | words[1]) | (words[2] | words[3]) |
                              (words[4] | words[5]) | (words[6] | words[7]);
    return (any & kHighBits) == 0;
#endif
}

}  // namespace

std::size_t find_invalid_utf8(std::string_view bytes) noexcept {
    std::size_t at = 0;
    while (at < bytes.size()) {
        // Source text is nearly all ASCII: 64 bytes at a time while they are, then eight, until
        // one has its high bit set.
        constexpr std::size_t run = 64;
        while (bytes.size() - at >= run && ascii_run(bytes.data() + at))
            at += run;
        if (bytes.size() - at >= sizeof(std::uint64_t)) {
            std::uint64_t word;
            std::memcpy(&word, bytes.data() + at, sizeof word);
            if ((word & kHighBits) == 0) {
                at += sizeof word;
                continue;
            }
        }
        if (static_cast<unsigned char>(bytes[at]) < 0x80) {
            ++at;
            continue;
        }
        const std::size_t length = decode_utf8(bytes.substr(at)).length;
        if (length == 0) return at;
        at += length;
    }
    return std::string_view::npos;
}

}  // namespace modweave::text

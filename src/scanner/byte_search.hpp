// Finding the next byte of a small fixed set, the scanner's inner loop. Where SSE2 is available
// (every x86-64 processor) sixteen bytes are compared at a time; elsewhere, and for the last
// bytes of the text, a lookup table is consulted byte by byte.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace modweave::scanner {

template <char... Members>
struct ByteSet {
    static constexpr std::array<bool, 256> table = [] {
        std::array<bool, 256> members{};
        ((members[static_cast<unsigned char>(Members)] = true), ...);
        return members;
    }();

    static constexpr bool contains(char byte) noexcept {
        return table[static_cast<unsigned char>(byte)];
    }

    // The first byte of the set in [cursor, end), or `end`.
    static const char* find(const char* cursor, const char* end) noexcept {
#if defined(__SSE2__)
        while (end - cursor >= 16) {
            const __m128i block = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cursor));
            const int mask = _mm_movemask_epi8(matches<Members...>(block));
            if (mask != 0) return cursor + __builtin_ctz(static_cast<unsigned>(mask));
            cursor += 16;
        }
#endif
        while (cursor != end && !contains(*cursor))
            ++cursor;
        return cursor;
    }

#if defined(__SSE2__)
    template <char First, char... Rest>
    static __m128i matches(__m128i block) noexcept {
        const __m128i hits = _mm_cmpeq_epi8(block, _mm_set1_epi8(First));
        if constexpr (sizeof...(Rest) == 0) {
            return hits;
        } else {
            return _mm_or_si128(hits, matches<Rest...>(block));
        }
    }
#endif

    // The same answer without SSE2, for the tests to compare with.
    static const char* find_bytewise(const char* cursor, const char* end) noexcept {
        while (cursor != end && !contains(*cursor))
            ++cursor;
        return cursor;
    }
};

// Bit i set when byte i of the 64 at `block` may be one of the bytes that structure code:
// " ' # ( ) [ ] { } ; : \ and the line ends "\n" and "\r". A few others come along ($ % & |):
// testing ranges of bytes costs fewer instructions than testing each byte, and the caller passes
// over what it does not want.
inline std::uint64_t code_stop_mask(const char* block) noexcept {
#if defined(__SSE2__)
    const auto in_range = [](__m128i bytes, char first, char last) {
        const __m128i offset = _mm_sub_epi8(bytes, _mm_set1_epi8(first));
        const __m128i beyond =
            _mm_subs_epu8(offset, _mm_set1_epi8(static_cast<char>(last - first)));
        return _mm_cmpeq_epi8(beyond, _mm_setzero_si128());
    };
    std::uint64_t mask = 0;
    for (unsigned part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + part);
        const __m128i quotes_comments_parentheses = in_range(bytes, '"', ')');  // also $ % &
        // "[\]" and "{|}" differ only in bit 5.
        const __m128i brackets_braces_backslash =
            in_range(_mm_or_si128(bytes, _mm_set1_epi8(0x20)), '{', '}');
        const __m128i colon_semicolon = in_range(bytes, ':', ';');
        const __m128i line_ends = _mm_or_si128(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n')),
                                               _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\r')));
        const __m128i stops =
            _mm_or_si128(_mm_or_si128(quotes_comments_parentheses, brackets_braces_backslash),
                         _mm_or_si128(colon_semicolon, line_ends));
        const auto bits = static_cast<std::uint16_t>(_mm_movemask_epi8(stops));
        mask |= std::uint64_t{bits} << (16 * part);
    }
    return mask;
#else
    using Stops = ByteSet<'"', '\'', '#', '(', ')', '[', ']', '{', '}', ';', ':', '\\', '\n', '\r'>;
    std::uint64_t mask = 0;
    for (unsigned index = 0; index < 64; ++index) {
        if (Stops::contains(block[index])) mask |= std::uint64_t{1} << index;
    }
    return mask;
#endif
}

}  // namespace modweave::scanner

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
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#define MODWEAVE_AVX2_MASKS 1
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

// The number of spaces from `cursor` on. Indentation is a good part of all code; its length
// varies from line to line, so sixteen bytes are measured at once rather than looped over.
inline std::size_t count_spaces(const char* cursor, const char* end) noexcept {
    const char* const start = cursor;
#if defined(__SSE2__)
    while (end - cursor >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cursor));
        const auto spaces =
            static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8(' '))));
        if (spaces != 0xFFFF) {
            return static_cast<std::size_t>(cursor - start) +
                   static_cast<std::size_t>(__builtin_ctz(~spaces));
        }
        cursor += 16;
    }
#endif
    while (cursor != end && *cursor == ' ')
        ++cursor;
    return static_cast<std::size_t>(cursor - start);
}

// The walk over code counts brackets with popcount. Where the build targets processors that may
// lack the instruction (plain x86-64), the walk is compiled twice, and the copy that uses it is
// chosen when the module is loaded, on the processors that have it.
#if defined(__x86_64__) && defined(__ELF__) && !defined(__POPCNT__)
#define MODWEAVE_POPCOUNT_CLONES __attribute__((target_clones("popcnt", "default")))
#else
#define MODWEAVE_POPCOUNT_CLONES
#endif

// Where the bytes that structure code lie among 64 bytes; bit i stands for byte i.
struct CodeMasks {
    std::uint64_t opens;   // ( [ {
    std::uint64_t closes;  // ) ] }
    std::uint64_t events;  // line ends, ; : quotes, # and backslash
};

inline CodeMasks code_masks(const char* block) noexcept {
    CodeMasks masks{0, 0, 0};
#if defined(__SSE2__)
    const auto equal = [](__m128i bytes, char byte) {
        return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(byte));
    };
    const auto bits = [](__m128i hits, unsigned part) {
        return std::uint64_t{static_cast<std::uint16_t>(_mm_movemask_epi8(hits))} << (16 * part);
    };
    for (unsigned part = 0; part < 4; ++part) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(block) + part);
        // "[" and "{", "]" and "}" differ only in bit 5.
        const __m128i folded = _mm_or_si128(bytes, _mm_set1_epi8(0x20));
        masks.opens |= bits(_mm_or_si128(equal(bytes, '('), equal(folded, '{')), part);
        masks.closes |= bits(_mm_or_si128(equal(bytes, ')'), equal(folded, '}')), part);
        const __m128i line_ends = _mm_or_si128(equal(bytes, '\n'), equal(bytes, '\r'));
        const __m128i separators = _mm_or_si128(equal(bytes, ';'), equal(bytes, ':'));
        const __m128i quotes = _mm_or_si128(equal(bytes, '"'), equal(bytes, '\''));
        const __m128i others = _mm_or_si128(equal(bytes, '#'), equal(bytes, '\\'));
        masks.events |= bits(
            _mm_or_si128(_mm_or_si128(line_ends, separators), _mm_or_si128(quotes, others)), part);
    }
#else
    using Opens = ByteSet<'(', '[', '{'>;
    using Closes = ByteSet<')', ']', '}'>;
    using Events = ByteSet<'\n', '\r', ';', ':', '"', '\'', '#', '\\'>;
    for (unsigned index = 0; index < 64; ++index) {
        const std::uint64_t bit = std::uint64_t{1} << index;
        if (Opens::contains(block[index])) masks.opens |= bit;
        if (Closes::contains(block[index])) masks.closes |= bit;
        if (Events::contains(block[index])) masks.events |= bit;
    }
#endif
    return masks;
}

#if defined(MODWEAVE_AVX2_MASKS)
// The same masks 32 bytes at a time, for processors with AVX2; callers must check for it.
[[gnu::target("avx2")]] inline __m256i avx2_equal(__m256i bytes, char byte) noexcept {
    return _mm256_cmpeq_epi8(bytes, _mm256_set1_epi8(byte));
}

[[gnu::target("avx2")]] inline std::uint64_t avx2_bits(__m256i hits, unsigned part) noexcept {
    return std::uint64_t{static_cast<std::uint32_t>(_mm256_movemask_epi8(hits))} << (32 * part);
}

[[gnu::target("avx2")]] inline CodeMasks code_masks_avx2(const char* block) noexcept {
    CodeMasks masks{0, 0, 0};
    for (unsigned part = 0; part < 2; ++part) {
        const __m256i bytes = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(block) + part);
        // "[" and "{", "]" and "}" differ only in bit 5.
        const __m256i folded = _mm256_or_si256(bytes, _mm256_set1_epi8(0x20));
        masks.opens |=
            avx2_bits(_mm256_or_si256(avx2_equal(bytes, '('), avx2_equal(folded, '{')), part);
        masks.closes |=
            avx2_bits(_mm256_or_si256(avx2_equal(bytes, ')'), avx2_equal(folded, '}')), part);
        const __m256i line_ends = _mm256_or_si256(avx2_equal(bytes, '\n'), avx2_equal(bytes, '\r'));
        const __m256i separators = _mm256_or_si256(avx2_equal(bytes, ';'), avx2_equal(bytes, ':'));
        const __m256i quotes = _mm256_or_si256(avx2_equal(bytes, '"'), avx2_equal(bytes, '\''));
        const __m256i others = _mm256_or_si256(avx2_equal(bytes, '#'), avx2_equal(bytes, '\\'));
        masks.events |= avx2_bits(_mm256_or_si256(_mm256_or_si256(line_ends, separators),
                                                  _mm256_or_si256(quotes, others)),
                                  part);
    }
    return masks;
}

// Whether this processor runs code_masks_avx2.
inline bool has_avx2_masks() noexcept {
    static const bool supported = __builtin_cpu_supports("avx2") != 0;
    return supported;
}
#endif

}  // namespace modweave::scanner

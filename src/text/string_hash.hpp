// The hash of unordered containers keyed by std::string that are searched with a string_view:
// with std::equal_to<> as the key equality, a lookup builds no string.
#pragma once

#include <cstddef>
#include <functional>
#include <string_view>

namespace modweave::text {

struct TransparentStringHash {
    using is_transparent = void;
    std::size_t operator()(std::string_view text) const noexcept {
        return std::hash<std::string_view>{}(text);
    }
};

}  // namespace modweave::text

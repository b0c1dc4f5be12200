// The failure of a broken invariant: the operation in progress stops at once and the caller in
// Python receives PanicException carrying `message`. Pure C++, so the core can throw it without
// knowing about the interpreter; the call frame is the only place that converts it.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>

namespace modweave {

class InternalFailure : public std::runtime_error {
public:
    explicit InternalFailure(const std::string& message) : std::runtime_error(message) {}
    std::string_view message() const noexcept { return what(); }
};

// Throws the failure whose text is the concatenation of `parts` (text and integers).
template <class... Parts>
[[noreturn]] void fail(const Parts&... parts);

}  // namespace modweave

#include "logging_bridge/message.hpp"

namespace modweave {

template <class... Parts>
[[noreturn]] void fail(const Parts&... parts) {
    throw InternalFailure(logging_bridge::concat(parts...));
}

}  // namespace modweave

// Name resolution for relative imports, and the text forms the module-spec lookup logs.
// Pure C++: the host lookup itself lives with the interpreter glue.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "importlib/types.hpp"

namespace modweave::importlib {

// Makes the module part of a relative import (`name`, after `level` dots) absolute against the
// importing module's `package`. Throws InternalFailure for level 0 and for more levels than the
// package has components.
std::string resolve_name(std::string_view name, std::string_view package, std::size_t level);

// `None`, or `Some("...")` with the text quoted and escaped so that control and invisible
// characters show up in a log line instead of disturbing it. Bytes that are not valid UTF-8 are
// written as \x followed by two lowercase hex digits.
std::string debug_quoted(std::optional<std::string_view> text);
std::string debug_quoted(const std::optional<std::string>& text);

// The Debug record "Loaded spec: <name> <debug form of origin>" under modweave::importlib::util;
// the message is built only when Debug is enabled.
void log_loaded_spec(const ModuleSpec& spec);

}  // namespace modweave::importlib

// Module-spec lookup through the host's own import system.
#pragma once

#include <optional>
#include <string_view>

#include "importlib/types.hpp"

namespace modweave::importlib {

// importlib.util.find_spec(name) as a ModuleSpec. Absent when the host finds nothing, returns
// something that does not convert, or raises an Exception (which is discarded, nothing left
// pending). An exception that is not an Exception (KeyboardInterrupt, SystemExit) is not
// discarded: it is thrown as PythonError so that the operation in progress is abandoned and the
// caller sees it unchanged.
std::optional<ModuleSpec> find_spec(std::string_view name);

}  // namespace modweave::importlib

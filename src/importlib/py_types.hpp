// ModuleSpec to and from Python objects.
#pragma once

#include "host/object.hpp"
#include "importlib/types.hpp"

namespace modweave::importlib {

// Reads name, origin, parent and submodule_search_locations from a host spec object, in that
// order. Throws PythonError: the attribute's own exception when reading it raises, or
// TypeError "failed to extract field ModuleSpec.<field>" caused by the conversion's error.
ModuleSpec extract(host::Handle object);

// {"name": name, "origin": origin or None}
host::Object into_py(ModuleSpec spec);

}  // namespace modweave::importlib

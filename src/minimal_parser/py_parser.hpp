// modweave.parser.parse(source) and the Python form of import records.
#pragma once

#include <Python.h>

#include <vector>

#include "host/object.hpp"
#include "minimal_parser/types.hpp"

namespace modweave::minimal_parser {

// The record as a new dict: "type", then "module" and "level" for from-imports, then "names";
// keys of absent fields are left out.
host::Object into_py(ImportStmt statement);
host::Object alias_vec_to_list(std::vector<Alias> aliases);

// The definition of `parse`, for the parser submodule.
PyMethodDef* parse_method_definition();

}  // namespace modweave::minimal_parser

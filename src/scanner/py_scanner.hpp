// modweave.parser.scan(source) and the interpreter's form of identifiers for the scanner.
#pragma once

#include <Python.h>

#include "scanner/scanner.hpp"

namespace modweave::scanner {

// Normalises identifiers as the interpreter's parser does, with unicodedata.normalize("NFKC", ...).
// Callable from any thread: it takes the interpreter lock when the caller does not hold it. A
// failure of the call (which only running out of memory can cause) is an InternalFailure.
IdentifierNormalizer interpreter_normalizer();

// The definition of `scan`, for the parser submodule.
PyMethodDef* scan_method_definition();

}  // namespace modweave::scanner

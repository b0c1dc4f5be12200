// The text of a Python source file as the interpreter decodes it: a UTF-8 byte-order mark, or an
// encoding declaration on one of the first two lines, decides; without either the file is UTF-8.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "importlib/types.hpp"

namespace modweave::core {

// A declared encoding this module does not decode itself; the interpreter's codecs must.
struct ForeignEncoding {
    std::string encoding;  // as declared
    std::string bytes;     // the whole file
};

// Why the bytes are no source text.
struct UndecodableSource {
    std::string reason;
};

// The text of `bytes` as UTF-8 (without the byte-order mark), or what stands in the way. UTF-8
// and Latin-1 declarations are decoded here; any other declared encoding is handed back.
std::variant<std::string, ForeignEncoding, UndecodableSource> decode_source(std::string bytes);

// The same decoding without a copy where the bytes are UTF-8 already: then the text is a view
// into `bytes`; a decoded text of its own (Latin-1) is a string.
using DecodedSource =
    std::variant<std::string_view, std::string, ForeignEncoding, UndecodableSource>;
DecodedSource decode_source_view(std::string_view bytes);

// The encoding an encoding declaration names on `line`, or an empty view when the line declares
// none: a comment holding "coding", then ":" or "=", then the name.
std::string_view declared_encoding(std::string_view line);

// Logs at Warn that the file of `spec` was not read, and why.
void warn_unreadable(const importlib::ModuleSpec& spec, std::string_view reason);

}  // namespace modweave::core

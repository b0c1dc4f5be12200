// The debug dump of parsed imports, written to the process's standard output (file descriptor 1,
// not Python's sys.stdout), as verbose builds print them.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "minimal_parser/types.hpp"

namespace modweave::minimal_parser {

// Writes the dump of every record, in order, with one write loop; an empty list writes nothing.
// Throws InternalFailure "failed printing to stdout: <error>" when the write fails.
void dump_imports(const std::vector<ImportStmt>& imports);

// Appends the alias block of one record to `out`, each line indented by `indent` blanks.
void dump_alias(const std::vector<Alias>& names, std::size_t indent, std::string& out);

// The text dump_imports writes.
std::string format_imports(const std::vector<ImportStmt>& imports);

// Writes all of `bytes` to `fd`, retrying interrupted and partial writes. Throws InternalFailure
// "failed printing to <stream_name>: <error>" on failure.
void write_all(int fd, std::string_view bytes, std::string_view stream_name);

}  // namespace modweave::minimal_parser

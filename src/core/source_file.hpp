// Loading the source text of a module from the file its spec's origin names. The files are read
// through the operating system, not the interpreter, and taken as UTF-8 whatever they declare.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "importlib/types.hpp"
#include "text/utf8.hpp"

namespace modweave::core {

// The extension of the last component of `path`: the text after its last ".", or nothing when the
// component has no "." or begins with its only one (".py"), and for the names "", "." and "..".
// Trailing slashes and "." components are skipped, as path iteration skips them. "a." has the
// empty extension, which is an extension like any other.
std::optional<std::string_view> path_extension(std::string_view path);

// Source files must be valid UTF-8; reading checks them with this.
using text::find_invalid_utf8;

// Why a source file could not be opened: the operating system's error number.
struct OpenFailure {
    int error_number;
};

// Why an opened file could not be read whole: the operating system's error number.
struct ReadFailure {
    int error_number;
};

// The bytes of the regular file at `path`, or why it could not be opened or read: what
// read_source_file reads, without judging the content and without throwing.
std::variant<std::string, OpenFailure, ReadFailure> read_file_bytes(const std::string& path);

// The same read into `buffer`, whose first bytes, as many as the answer says, are then the
// file's. The buffer only grows, so that a reader of many files allocates and clears memory once
// rather than per file.
std::variant<std::size_t, OpenFailure, ReadFailure> read_file_into(const std::string& path,
                                                                   std::string& buffer);

// The whole content of the regular file at `path`. A file that cannot be opened is an
// OpenFailure; so is anything that is not a regular file (a directory reports EISDIR, other kinds
// EINVAL), which would otherwise fail on reading or block, and a path holding a NUL byte (EINVAL),
// which the operating system would silently cut short. Throws InternalFailure, naming the path and
// the reason, when the opened file cannot be read whole or is not valid UTF-8.
std::variant<std::string, OpenFailure> read_source_file(const std::string& path);

// "System error: <description> (os error <number>)\n".
std::string system_error_line(int error_number);

// Writes `system_error_line(error_number)` to the process's standard error (file descriptor 2).
// A closed standard error drops the line; any other write error is an InternalFailure
// "failed printing to stderr: <error>".
void report_system_error(int error_number);

// The source text of the module `spec` describes, when its origin is a Python source file that
// can be opened; nothing for absent, "frozen" and "built-in" origins, other extensions, and files
// that cannot be opened. Logs and reports under modweave::core::builder as the builder documents.
std::optional<std::string> load_source(const importlib::ModuleSpec& spec);

}  // namespace modweave::core

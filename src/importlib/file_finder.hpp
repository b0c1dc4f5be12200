// The interpreter's file finder for one directory of the import path, reproduced natively: which
// file or folder a module name finds there, by the same rules (a package folder before a module
// file of the same name, suffixes tried in the finder's order, a folder without an `__init__` as
// a possible namespace portion). Directory listings and file kinds are read once per FileSystemView
// and kept, as the interpreter keeps them while a directory does not change.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <variant>
#include <vector>

#include "importlib/types.hpp"
#include "text/string_hash.hpp"

namespace modweave::importlib {

// What the file system holds, as far as lookups have asked: directory listings with the kind of
// each entry as the listing reports it, so that most questions about a file cost no call of their
// own. Not safe for use from two threads.
class FileSystemView {
public:
    enum class Kind : std::uint8_t { Missing, File, Directory, Other, Unknown };
    using Listing =
        std::unordered_map<std::string, Kind, text::TransparentStringHash, std::equal_to<>>;

    // The entries of `directory`; empty when it cannot be listed (missing, not a folder, no
    // access).
    const Listing& listing(std::string_view directory);

    // What `name` in `directory` is, symbolic links followed: from the listing where it says,
    // from the file's status otherwise.
    Kind kind(std::string_view directory, std::string_view name);

private:
    Listing& entries_of(std::string_view directory);

    std::unordered_map<std::string, Listing, text::TransparentStringHash, std::equal_to<>>
        listings_;
};

// The outcome of one directory's lookup.
struct FoundModule {
    ModuleSpec spec;  // a module file, or a package with its `__init__` file
};
struct NamespacePortion {
    std::string location;  // a folder of the name's last component, without an `__init__`
};
using DirectoryMatch = std::variant<std::monostate, FoundModule, NamespacePortion>;

// Looks `fullname` up in `directory` (a file finder's absolute path) with the finder's suffixes
// in its order, as the interpreter's file finder does on a case-sensitive system.
DirectoryMatch find_in_directory(FileSystemView& files, std::string_view directory,
                                 const std::vector<std::string>& suffixes,
                                 std::string_view fullname);

// The path of `name` inside `directory`, joined as the import system joins paths: trailing
// slashes of the directory dropped, one slash between.
std::string join_path(std::string_view directory, std::string_view name);

}  // namespace modweave::importlib

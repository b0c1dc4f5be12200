#include "importlib/file_finder.hpp"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

namespace modweave::importlib {

namespace {

struct DirectoryCloser {
    void operator()(DIR* directory) const noexcept { ::closedir(directory); }
};

std::string_view last_component(std::string_view fullname) {
    const auto dot = fullname.rfind('.');
    return dot == std::string_view::npos ? fullname : fullname.substr(dot + 1);
}

std::string_view parent_of(std::string_view fullname) {
    const auto dot = fullname.rfind('.');
    return dot == std::string_view::npos ? std::string_view() : fullname.substr(0, dot);
}

}  // namespace

const FileSystemView::Listing& FileSystemView::listing(std::string_view directory) {
    return entries_of(directory);
}

FileSystemView::Listing& FileSystemView::entries_of(std::string_view directory) {
    const auto known = listings_.find(directory);
    if (known != listings_.end()) return known->second;
    Listing entries;
    const std::string path(directory);
    // A folder that cannot be listed finds nothing, as for the interpreter.
    if (const std::unique_ptr<DIR, DirectoryCloser> stream{::opendir(path.c_str())}) {
        while (const dirent* entry = ::readdir(stream.get())) {
            const std::string_view name = entry->d_name;
            if (name == "." || name == "..") continue;
            // A link or a file system that does not tell is asked about the file itself.
            const Kind kind = entry->d_type == DT_REG   ? Kind::File
                              : entry->d_type == DT_DIR ? Kind::Directory
                              : entry->d_type == DT_LNK || entry->d_type == DT_UNKNOWN
                                  ? Kind::Unknown
                                  : Kind::Other;
            entries.emplace(name, kind);
        }
    }
    return listings_.emplace(path, std::move(entries)).first->second;
}

FileSystemView::Kind FileSystemView::kind(std::string_view directory, std::string_view name) {
    Listing& entries = entries_of(directory);
    const auto entry = entries.find(name);
    if (entry == entries.end()) return Kind::Missing;
    if (entry->second != Kind::Unknown) return entry->second;
    struct stat status {};
    const std::string path = join_path(directory, name);
    Kind found = Kind::Missing;
    if (::stat(path.c_str(), &status) == 0) {
        found = S_ISREG(status.st_mode)   ? Kind::File
                : S_ISDIR(status.st_mode) ? Kind::Directory
                                          : Kind::Other;
    }
    entry->second = found;
    return found;
}

std::string join_path(std::string_view directory, std::string_view name) {
    while (!directory.empty() && directory.back() == '/')
        directory.remove_suffix(1);
    std::string path;
    path.reserve(directory.size() + 1 + name.size());
    path.append(directory);
    path.push_back('/');
    path.append(name);
    return path;
}

DirectoryMatch find_in_directory(FileSystemView& files, std::string_view directory,
                                 const std::vector<std::string>& suffixes,
                                 std::string_view fullname) {
    using Kind = FileSystemView::Kind;
    const std::string_view tail = last_component(fullname);
    // A NUL would end the path early for the system, and the interpreter refuses such names.
    if (tail.find('\0') != std::string_view::npos) return std::monostate{};

    std::string candidate;
    bool possible_namespace = false;
    std::string package_folder;
    const Kind tail_kind = files.kind(directory, tail);
    if (tail_kind != Kind::Missing) {
        package_folder = join_path(directory, tail);
        for (const std::string& suffix : suffixes) {
            candidate.assign("__init__").append(suffix);
            if (files.kind(package_folder, candidate) == Kind::File) {
                return FoundModule{ModuleSpec{
                    .name = std::string(fullname),
                    .origin = join_path(package_folder, candidate),
                    .parent = std::string(fullname),
                    .submodule_search_locations = std::vector<std::string>{package_folder},
                }};
            }
        }
        possible_namespace = tail_kind == Kind::Directory;
    }
    for (const std::string& suffix : suffixes) {
        candidate.assign(tail).append(suffix);
        if (files.kind(directory, candidate) == Kind::File) {
            return FoundModule{ModuleSpec{
                .name = std::string(fullname),
                .origin = join_path(directory, candidate),
                .parent = std::string(parent_of(fullname)),
                .submodule_search_locations = std::nullopt,
            }};
        }
    }
    if (possible_namespace) return NamespacePortion{std::move(package_folder)};
    return std::monostate{};
}

}  // namespace modweave::importlib

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

const FileSystemView::NameSet& FileSystemView::listing(const std::string& directory) {
    const auto known = listings_.find(directory);
    if (known != listings_.end()) return known->second;
    NameSet names;
    // A folder that cannot be listed finds nothing, as for the interpreter.
    if (const std::unique_ptr<DIR, DirectoryCloser> stream{::opendir(directory.c_str())}) {
        while (const dirent* entry = ::readdir(stream.get())) {
            const std::string_view name = entry->d_name;
            if (name != "." && name != "..") names.emplace(name);
        }
    }
    return listings_.emplace(directory, std::move(names)).first->second;
}

FileSystemView::Kind FileSystemView::kind(const std::string& path) {
    const auto known = kinds_.find(path);
    if (known != kinds_.end()) return known->second;
    struct stat status {};
    Kind found = Kind::Missing;
    if (::stat(path.c_str(), &status) == 0) {
        found = S_ISREG(status.st_mode)   ? Kind::File
                : S_ISDIR(status.st_mode) ? Kind::Directory
                                          : Kind::Other;
    }
    kinds_.emplace(path, found);
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
    const std::string_view tail = last_component(fullname);
    // A NUL would end the path early for the system, and the interpreter refuses such names.
    if (tail.find('\0') != std::string_view::npos) return std::monostate{};
    const FileSystemView::NameSet& names = files.listing(std::string(directory));

    std::string candidate;
    bool possible_namespace = false;
    std::string package_folder;
    if (names.contains(tail)) {
        package_folder = join_path(directory, tail);
        for (const std::string& suffix : suffixes) {
            candidate.assign("__init__").append(suffix);
            std::string init_file = join_path(package_folder, candidate);
            if (files.is_file(init_file)) {
                return FoundModule{ModuleSpec{
                    .name = std::string(fullname),
                    .origin = std::move(init_file),
                    .parent = std::string(fullname),
                    .submodule_search_locations = std::vector<std::string>{package_folder},
                }};
            }
        }
        possible_namespace = files.is_directory(package_folder);
    }
    for (const std::string& suffix : suffixes) {
        candidate.assign(tail).append(suffix);
        if (!names.contains(candidate)) continue;
        std::string file = join_path(directory, candidate);
        if (files.is_file(file)) {
            return FoundModule{ModuleSpec{
                .name = std::string(fullname),
                .origin = std::move(file),
                .parent = std::string(parent_of(fullname)),
                .submodule_search_locations = std::nullopt,
            }};
        }
    }
    if (possible_namespace) return NamespacePortion{std::move(package_folder)};
    return std::monostate{};
}

}  // namespace modweave::importlib
